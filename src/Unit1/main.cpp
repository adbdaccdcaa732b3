#include "Unit1/LogOpener.h"
#include "Unit1/Unit1.h"
#include "widgets/Translations.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QLocale>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Qelt Viewer"));
    QApplication::setApplicationVersion(QStringLiteral("2.5"));
    QGuiApplication::setDesktopFileName(QStringLiteral("qelt-viewer"));
    InstallTranslations(QLocale());

    TForm1 Form1;
    Form1.show();
    // qelt-viewer [FOLDER | LOG_FILE]
    if (argc > 1)
        Form1.opener()->openPath(QFile::decodeName(argv[1]));
    return QApplication::exec();
}
