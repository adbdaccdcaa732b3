#pragma once

#include <QObject>
#include <QString>

#include <string>

class QMenu;
class TForm1;

// Opening logs besides the folder browser: a folder or a log file named on the command line or
// dropped on the window, and the menu of the folders opened last (a right click on
// OpenButton). A folder is opened as OpenButton opens it; a log file opens its folder and is
// picked in the chooser.
class LogOpener : public QObject
{
    Q_OBJECT

public:
    explicit LogOpener(TForm1* form);

    // Opens a folder, or a log file's folder and then the log; false (and a message) when path
    // is neither, or names a file that is no log*.txt.
    bool openPath(const QString& path);
    // Makes folder (its bytes) LogDir, as choosing it in the folder browser does.
    bool openFolder(std::string folder);

    // The menu of the recent folders, filled afresh each time it is shown.
    QMenu* recentMenu() const { return m_recent; }

private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void fillRecentMenu();
    bool idle() const;

    TForm1* m_form;
    QMenu* m_recent = nullptr;
};
