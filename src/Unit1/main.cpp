#include "Unit1/Unit1.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Qelt Viewer"));
    QApplication::setApplicationVersion(QStringLiteral("2.5"));
    QGuiApplication::setDesktopFileName(QStringLiteral("qelt-viewer"));

    TForm1 Form1;
    Form1.show();
    return QApplication::exec();
}
