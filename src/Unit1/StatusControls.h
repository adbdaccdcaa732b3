#pragma once

#include <QObject>

class QAction;
class QMenu;
class TForm1;

// The switches of the status bar, on its right-click menu so that the bar itself keeps only its
// three panels: whether a growing log is followed, and the code page that texts which are not
// UTF-8 are shown in (written to config.ini's CodePage and applied at once).
class StatusControls : public QObject
{
    Q_OBJECT

public:
    explicit StatusControls(TForm1* form);

    QMenu* menu() const { return m_menu; }
    // Checked while a growing log is followed.
    QAction* followAction() const { return m_follow; }
    QMenu* codePageMenu() const { return m_codePages; }

    // Shows, writes and applies a code page.
    void chooseCodePage(int codePage);

private:
    void showCodePage();

    TForm1* m_form;
    QMenu* m_menu = nullptr;
    QAction* m_follow = nullptr;
    QMenu* m_codePages = nullptr;
};
