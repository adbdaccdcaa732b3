#pragma once

class QLocale;
class QString;

// Installs the windows' translation for locale (built into the program) and Qt's own for its
// dialogs and buttons (from Qt's translations folder) in the running application. English, the
// language of the source, needs neither. Returns whether the windows' translation was found.
bool InstallTranslations(const QLocale& locale);

// A message of the core (an error's what(), English) in the user's language, line by line: the
// system's messages ("Cannot open file %s", "File access denied", ...) and the fixed reasons that
// follow them are translated, with the names in them kept; any other line stays as it is.
QString TranslateCoreMessage(const QString& message);
