#include "Unit1/WindowActions.h"

#include "PngSpeedButton/PngSpeedButton.h"
#include "Unit1/FindBar.h"
#include "Unit1/LogTreeModel.h"
#include "Unit1/RecordModel.h"
#include "Unit1/Unit1.h"
#include "common/QeltError.h"
#include "filters/FilterStore.h"
#include "widgets/Dialogs.h"
#include "widgets/DisplayText.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QKeyEvent>
#include <QMenu>
#include <QShortcut>
#include <QTimer>
#include <QTreeView>

#include <algorithm>

std::string_view UrlHost(std::string_view url)
{
    const std::size_t scheme = url.find("://");
    if (scheme != std::string_view::npos)
        url.remove_prefix(scheme + 3);
    // user:password@host
    const std::size_t at = url.find('@');
    if (at != std::string_view::npos && at < url.find('/'))
        url.remove_prefix(at + 1);
    return url.substr(0, url.find_first_of(":/?#"));
}

WindowActions::WindowActions(TForm1* form) : QObject(form), m_form(form)
{
    m_listTimer = new QTimer(this);
    m_listTimer->setSingleShot(true);
    m_listTimer->setInterval(KeyboardListDelay);
    connect(m_listTimer, &QTimer::timeout, this, &WindowActions::listCurrentNode);
    m_tree = form->TreeView1;
    m_tree->installEventFilter(this);
    connect(form->TreeView1->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] {
        if (m_keyMove)
            m_listTimer->start();
        m_keyMove = false;
    });
    // A node chosen while another listing ran is listed when that one ends.
    connect(form, &TForm1::listingFinished, this, [this] {
        if (m_listWaiting) {
            m_listWaiting = false;
            m_listTimer->start(0);
        }
    });

    const auto shortcut = [this](const QKeySequence& keys, QWidget* on, auto slot) {
        auto* s = new QShortcut(keys, on, slot);
        s->setContext(on == m_form ? Qt::WindowShortcut : Qt::WidgetShortcut);
        return s;
    };
    shortcut(QKeySequence::Delete, form->ListView1, [this] { deleteFrom(m_form->ListView1); });
    shortcut(QKeySequence::Delete, form->TreeView1, [this] { deleteFrom(m_form->TreeView1); });
    shortcut(QKeySequence::Copy, form->ListView1, [this] { copySelectedRows(); });
    shortcut(QKeySequence::Copy, form->TreeView1, [this] {
        const QModelIndex node = m_form->TreeView1->currentIndex();
        if (node.isValid())
            QApplication::clipboard()->setText(node.data(Qt::DisplayRole).toString());
    });
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_O), form, [this] {
        if (commandsOpen())
            m_form->OpenButtonClick();
    });
    shortcut(QKeySequence(Qt::Key_F5), form, [this] {
        if (commandsOpen() && m_form->ComboBox1->isEnabled())
            m_form->LoadSelectedLog();
    });
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), form, [this] { m_form->close(); });
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_F), form, [this] { m_form->findBar()->open(); });

    buildMenus();
}

bool WindowActions::commandsOpen() const
{
    return m_form->ControlBar1->isEnabled() && !m_form->isDeleting();
}

bool WindowActions::eventFilter(QObject* watched, QEvent* event)
{
    // Only a key press looks at the window: while the window is taken down, other events still
    // pass here when it is no longer a TForm1.
    if (event->type() == QEvent::KeyPress && watched == m_tree) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            m_listTimer->stop();
            listCurrentNode();
            return true;
        }
        // Whatever moves the current node during this key press moves it by keyboard.
        m_keyMove = true;
        QTimer::singleShot(0, this, [this] { m_keyMove = false; });
    }
    return QObject::eventFilter(watched, event);
}

void WindowActions::listCurrentNode()
{
    if (ListingBusy) {
        m_listWaiting = true;
        return;
    }
    m_form->TreeView1Click();
}

void WindowActions::deleteFrom(QWidget* view)
{
    // As the button: only while it may be pressed, acting on the view that has the focus.
    if (!m_form->DeleteButton->isEnabled() || !commandsOpen())
        return;
    view->setFocus(Qt::ShortcutFocusReason);
    m_form->DeleteButtonClick();
}

QString WindowActions::selectedRowsText() const
{
    QModelIndexList rows = m_form->ListView1->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QString text;
    for (const QModelIndex& row : rows) {
        for (int column = 0; column < RecordModel::ColumnCount; ++column) {
            if (column > 0)
                text += QLatin1Char('\t');
            text += row.sibling(row.row(), column).data(Qt::DisplayRole).toString();
        }
        text += QLatin1Char('\n');
    }
    return text;
}

void WindowActions::copySelectedRows()
{
    const QString text = selectedRowsText();
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}

void WindowActions::buildMenus()
{
    QTreeView* list = m_form->ListView1;
    m_rowMenu = new QMenu(list);
    m_rowMenu->setObjectName(QStringLiteral("RowMenu"));
    m_openRow = m_rowMenu->addAction(tr("Open"), m_form, &TForm1::ListView1DblClick);
    m_copyUrl = m_rowMenu->addAction(tr("Copy URL"), this, [this] {
        if (m_menuRow.isValid())
            QApplication::clipboard()->setText(
                m_menuRow.sibling(m_menuRow.row(), RecordModel::UrlColumn)
                    .data(Qt::DisplayRole)
                    .toString());
    });
    m_copyRows = m_rowMenu->addAction(tr("Copy Rows"), this, &WindowActions::copySelectedRows);
    m_copyRows->setShortcut(QKeySequence::Copy);
    m_groupMenu = m_rowMenu->addMenu(tr("Add Host to Filter Group"));
    m_groupMenu->setObjectName(QStringLiteral("GroupMenu"));
    m_rowMenu->addSeparator();
    m_deleteRows =
        m_rowMenu->addAction(tr("Delete"), this, [this] { deleteFrom(m_form->ListView1); });
    m_deleteRows->setShortcut(QKeySequence::Delete);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list, &QWidget::customContextMenuRequested, this, &WindowActions::showRowMenu);

    QTreeView* tree = m_form->TreeView1;
    m_nodeMenu = new QMenu(tree);
    m_nodeMenu->setObjectName(QStringLiteral("NodeMenu"));
    m_listNode = m_nodeMenu->addAction(tr("List"), this, &WindowActions::listCurrentNode);
    m_copyName = m_nodeMenu->addAction(tr("Copy Name"), this, [this] {
        const QModelIndex node = m_form->TreeView1->currentIndex();
        if (node.isValid())
            QApplication::clipboard()->setText(node.data(Qt::DisplayRole).toString());
    });
    m_nodeMenu->addSeparator();
    m_orderMenu = m_nodeMenu->addMenu(tr("Order Tree"));
    m_orderMenu->setObjectName(QStringLiteral("OrderMenu"));
    auto* orders = new QActionGroup(this);
    const std::pair<QString, LogTreeModel::Order> entries[] = {
        {tr("As in the Log"), LogTreeModel::Order::Log},
        {tr("By Name"), LogTreeModel::Order::Name},
        {tr("By Count"), LogTreeModel::Order::Count}};
    for (const auto& [caption, order] : entries) {
        QAction* action = m_orderMenu->addAction(
            caption, this, [this, order = order] { m_form->treeModel()->setOrder(order); });
        action->setCheckable(true);
        action->setChecked(order == LogTreeModel::Order::Log);
        orders->addAction(action);
    }
    m_nodeMenu->addSeparator();
    m_deleteNode =
        m_nodeMenu->addAction(tr("Delete"), this, [this] { deleteFrom(m_form->TreeView1); });
    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tree, &QWidget::customContextMenuRequested, this, &WindowActions::showNodeMenu);
}

void WindowActions::fillGroupMenu()
{
    m_groupMenu->clear();
    std::vector<std::string> groups;
    try {
        groups = qelt::FilterStore(m_form->appDir()).ListGroups();
    } catch (const std::exception& error) {
        Dialogs::instance().showError(m_form, QString::fromLocal8Bit(error.what()));
    }
    const std::string host(m_menuRow.isValid()
                               ? UrlHost(m_form->recordModel()->table().url(
                                     m_form->recordModel()->tableRow(m_menuRow.row())))
                               : std::string_view());
    for (const std::string& group : groups) {
        QAction* action = m_groupMenu->addAction(DisplayText(group, m_form->codePage()));
        connect(action, &QAction::triggered, this, [this, group, host] {
            try {
                qelt::FilterStore(m_form->appDir()).AddFilter(group, host);
            } catch (const std::exception& error) {
                Dialogs::instance().showError(m_form, QString::fromLocal8Bit(error.what()));
            }
            // The rows take the group's colour at once.
            m_form->ListView1->viewport()->update();
        });
    }
    m_groupMenu->setEnabled(!groups.empty() && !host.empty());
}

void WindowActions::showRowMenu(const QPoint& pos)
{
    QTreeView* list = m_form->ListView1;
    const QModelIndex row = list->indexAt(pos);
    m_menuRow = row;
    const bool selected = list->selectionModel()->hasSelection();
    m_openRow->setEnabled(selected);
    m_copyUrl->setEnabled(row.isValid());
    m_copyRows->setEnabled(selected);
    m_deleteRows->setEnabled(selected && m_form->DeleteButton->isEnabled() && commandsOpen());
    fillGroupMenu();
    // The window's Undo, made after the menus, joins the rows' menu the first time it is shown.
    if (m_form->UndoAction && !m_rowMenu->actions().contains(m_form->UndoAction)) {
        m_rowMenu->addSeparator();
        m_rowMenu->addAction(m_form->UndoAction);
    }
    m_rowMenu->popup(list->viewport()->mapToGlobal(pos));
}

void WindowActions::showNodeMenu(const QPoint& pos)
{
    QTreeView* tree = m_form->TreeView1;
    const QModelIndex node = tree->indexAt(pos);
    if (!node.isValid()) {
        // Below the nodes only the order of the tree can be chosen.
        m_orderMenu->popup(tree->viewport()->mapToGlobal(pos));
        return;
    }
    tree->selectionModel()->setCurrentIndex(node, QItemSelectionModel::ClearAndSelect);
    m_listNode->setEnabled(!ListingBusy);
    m_copyName->setEnabled(true);
    m_deleteNode->setEnabled(m_form->DeleteButton->isEnabled() && commandsOpen());
    m_nodeMenu->popup(tree->viewport()->mapToGlobal(pos));
}
