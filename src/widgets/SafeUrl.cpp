#include "widgets/SafeUrl.h"

#include <QCoreApplication>
#include <QDesktopServices>

QUrl SafeOpenableUrl(const QString& text, QString* reason)
{
    auto refuse = [reason](const QString& why) {
        if (reason)
            *reason = why;
        return QUrl();
    };
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return refuse(QCoreApplication::translate("SafeUrl", "No address to open"));
    // Tolerant: browsers send characters such as | and { unescaped, and a log holds what they
    // sent. Only the scheme and the host decide what is opened.
    const QUrl url(trimmed, QUrl::TolerantMode);
    if (!url.isValid())
        return refuse(
            QCoreApplication::translate("SafeUrl", "Not a valid address: %1").arg(trimmed));
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https") &&
        scheme != QLatin1String("ftp"))
        return refuse(QCoreApplication::translate("SafeUrl",
                                                  "Only http, https and ftp addresses are opened"));
    if (url.host().isEmpty())
        return refuse(QCoreApplication::translate("SafeUrl", "The address has no host"));
    return url;
}

bool OpenUrlSafely(const QString& text, QString* reason)
{
    const QUrl url = SafeOpenableUrl(text, reason);
    if (!url.isValid())
        return false;
    return QDesktopServices::openUrl(url);
}
