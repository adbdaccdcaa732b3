#pragma once

class QLocale;

// Installs the windows' translation for locale (built into the program) and Qt's own for its
// dialogs and buttons (from Qt's translations folder) in the running application. English, the
// language of the source, needs neither. Returns whether the windows' translation was found.
bool InstallTranslations(const QLocale& locale);
