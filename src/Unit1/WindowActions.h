#pragma once

#include <QObject>
#include <QPersistentModelIndex>

#include <string>
#include <string_view>

class QAction;
class QMenu;
class QPoint;
class QTimer;
class TForm1;

// The host part of a row's URL, for a filter: after "://" up to the first '/', ':' or '?'; a URL
// without a scheme (a tunnel's host:port) up to its ':' or '/'.
std::string_view UrlHost(std::string_view url);

// What the main window does from the keyboard and its right-click menus, beside the toolbar:
// a node chosen with the keys is listed after a short pause (Enter lists at once), Delete deletes
// as DeleteButton does, Ctrl+C copies, Ctrl+O opens a folder, F5 reloads the log, Ctrl+Q quits;
// the menus of a row and of a node. Everything runs through the window's own handlers, under the
// same guards as its buttons.
class WindowActions : public QObject
{
    Q_OBJECT

public:
    explicit WindowActions(TForm1* form);

    // How long a node chosen with the keyboard waits before it is listed.
    static constexpr int KeyboardListDelay = 400;

    // The menus, built once; other parts of the window may add entries to them.
    QMenu* rowMenu() const { return m_rowMenu; }
    QMenu* nodeMenu() const { return m_nodeMenu; }

    // The selected rows as text, one a line, the columns separated by tabs, in list order.
    QString selectedRowsText() const;
    void copySelectedRows();

private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void buildMenus();
    void showRowMenu(const QPoint& pos);
    void showNodeMenu(const QPoint& pos);
    void listCurrentNode();
    void deleteFrom(QWidget* view);
    bool commandsOpen() const;
    void fillGroupMenu();

    TForm1* m_form;
    QObject* m_tree = nullptr; // TreeView1, whose keys are watched
    QTimer* m_listTimer = nullptr;
    bool m_keyMove = false;
    bool m_listWaiting = false;
    QPersistentModelIndex m_menuRow;
    QMenu* m_rowMenu = nullptr;
    QMenu* m_nodeMenu = nullptr;
    QMenu* m_groupMenu = nullptr;
    QMenu* m_orderMenu = nullptr;
    QAction* m_openRow = nullptr;
    QAction* m_copyUrl = nullptr;
    QAction* m_copyRows = nullptr;
    QAction* m_deleteRows = nullptr;
    QAction* m_listNode = nullptr;
    QAction* m_copyName = nullptr;
    QAction* m_deleteNode = nullptr;
};
