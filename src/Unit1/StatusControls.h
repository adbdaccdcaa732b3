#pragma once

#include <QObject>

class QToolButton;
class TForm1;

// The switches at the right end of the status bar: the code page that texts which are not UTF-8
// are shown in (written to config.ini's CodePage and applied at once), and whether a growing log
// is followed.
class StatusControls : public QObject
{
    Q_OBJECT

public:
    explicit StatusControls(TForm1* form);

    QToolButton* codePageButton() const { return m_codePage; }
    QToolButton* followButton() const { return m_follow; }

    // Shows, writes and applies a code page.
    void chooseCodePage(int codePage);

private:
    void showCodePage();

    TForm1* m_form;
    QToolButton* m_codePage = nullptr;
    QToolButton* m_follow = nullptr;
};
