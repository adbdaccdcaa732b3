#pragma once

#include <QString>
#include <QUrl>

// URLs come from log lines and filter texts, which anyone who can reach the proxy controls.
// Only http, https and ftp addresses with a host are handed to the desktop to open.
// Returns the URL to open, or an invalid QUrl with *reason set to why it is not opened.
QUrl SafeOpenableUrl(const QString& text, QString* reason = nullptr);

// Opens text in the browser when SafeOpenableUrl accepts it; returns false (and says why in
// *reason) when it opens nothing.
bool OpenUrlSafely(const QString& text, QString* reason = nullptr);
