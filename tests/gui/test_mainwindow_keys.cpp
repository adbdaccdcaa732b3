// Drives the real main window through what goes beyond its toolbar: the filter bar over the list,
// sorting by the column headers, the keyboard and the right-click menus.

#include "PngSpeedButton/PngSpeedButton.h"
#include "Unit1/FilterBar.h"
#include "Unit1/FindBar.h"
#include "Unit1/LogFollower.h"
#include "Unit1/LogOpener.h"
#include "Unit1/LogTreeModel.h"
#include "Unit1/RecordModel.h"
#include "Unit1/StatusControls.h"
#include "Unit1/Unit1.h"
#include "Unit1/WindowActions.h"
#include "filters/FilterStore.h"
#include "settings/IniFile.h"
#include "widgets/Dialogs.h"
#include "widgets/DisplayText.h"

#include "test_files.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <QElapsedTimer>

#include <fstream>
#include <memory>
#include <sstream>

namespace {

// Answers every dialog the window shows.
class QuietDialogs : public Dialogs
{
public:
    QStringList errors;
    QString getExistingDirectory(QWidget*, const QString&, const QString&) override { return {}; }
    QMessageBox::StandardButton question(QWidget*, const QString&, const QString&,
                                         QMessageBox::StandardButtons, QMessageBox::StandardButton,
                                         QMessageBox::StandardButton) override
    {
        return QMessageBox::Yes;
    }
    void showError(QWidget*, const QString& message) override { errors.append(message); }
    int execModal(QDialog&) override { return QDialog::Accepted; }
};

std::string Line(const std::string& user, const std::string& stamp, const std::string& url)
{
    return "10.0.0.5 - " + user + " [" + stamp + " +0800] \"GET " + url + " HTTP/1.1\" \"HTTP\"";
}

// alice's requests over a turn of the year: as texts the dates sort otherwise than as times.
const std::string A0 = Line("alice", "31/Dec/2026:23:59:00", "http://b.example.com/one");
const std::string A1 = Line("alice", "01/Jan/2027:00:00:10", "http://a.example.org/two");
const std::string B0 = Line("bob", "31/Dec/2026:10:00:00", "http://c.example.com/bob");
const std::string A2 = Line("alice", "15/Dec/2026:08:30:00", "http://c.EXAMPLE.com/three");
const std::string A3 = Line("alice", "02/Jan/2027:12:00:00", "http://d.example.net/four");

} // namespace

class TestMainWindowKeys : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_appDir;
    std::unique_ptr<QTemporaryDir> m_logDir;
    QuietDialogs m_dialogs;
    std::unique_ptr<TForm1> m_form;

    QString logPath() const { return m_logDir->filePath(QStringLiteral("log1.txt")); }

    TForm1& openWindow()
    {
        m_form = std::make_unique<TForm1>(QFile::encodeName(m_appDir->path()).toStdString());
        new QAbstractItemModelTester(m_form->treeModel(), m_form.get());
        new QAbstractItemModelTester(m_form->recordModel(), m_form.get());
        m_form->show();
        m_form->activateWindow();
        if (!QTest::qWaitForWindowActive(m_form.get()))
            qWarning("window not active");
        QSignalSpy built(m_form.get(), &TForm1::loadFinished);
        m_form->ComboBox1->setFocus();
        QTest::keyClick(m_form->ComboBox1, Qt::Key_Down);
        if (!built.wait(10000))
            qWarning("no tree");
        return *m_form;
    }

    void list(TForm1& form, int user)
    {
        QSignalSpy listed(&form, &TForm1::listingFinished);
        const QModelIndex index = form.treeModel()->index(user, 0);
        QTest::mouseClick(form.TreeView1->viewport(), Qt::LeftButton, {},
                          form.TreeView1->visualRect(index).center(),
                          QApplication::doubleClickInterval() + 1);
        QVERIFY(listed.count() > 0 || listed.wait(10000));
    }

    // The URL column of the shown rows, top to bottom.
    QStringList urls(TForm1& form)
    {
        QStringList out;
        RecordModel* model = form.recordModel();
        for (int row = 0; row < model->rowCount(); ++row)
            out << model->index(row, RecordModel::UrlColumn).data().toString();
        return out;
    }

    void clickHeader(TForm1& form, int column)
    {
        QHeaderView* header = form.ListView1->header();
        const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    }

private slots:
    void init()
    {
        m_appDir = std::make_unique<QTemporaryDir>();
        m_logDir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_appDir->isValid() && m_logDir->isValid());
        m_dialogs = QuietDialogs();
        Dialogs::setInstance(&m_dialogs);
        WriteFile(logPath(), A0 + "\r\n" + A1 + "\r\n" + B0 + "\r\n" + A2 + "\r\n" + A3 + "\r\n");
        WriteFile(m_appDir->filePath(QStringLiteral("config.ini")),
                  "[Logger]\r\nLogDir=" + QFile::encodeName(m_logDir->path()).toStdString() +
                      "\r\n");
    }

    void cleanup()
    {
        m_form.reset();
        Dialogs::setInstance(nullptr);
    }

    void theFilterBarNarrowsTheListAsItIsTyped()
    {
        TForm1& form = openWindow();
        // The tree shows how many lines each node holds, and orders by them on request.
        LogTreeModel* tree = form.treeModel();
        QCOMPARE(tree->index(0, 0).data(LogTreeModel::CountRole).toULongLong(), 4ull);
        QCOMPARE(tree->index(1, 0).data(LogTreeModel::CountRole).toULongLong(), 1ull);
        tree->setOrder(LogTreeModel::Order::Name);
        QCOMPARE(tree->index(0, 0).data().toString(), QStringLiteral("alice"));
        list(form, 0);
        FilterBar* bar = form.filterBar();
        QCOMPARE(bar->countText(), QStringLiteral("4 of 4 rows"));

        // Case is ignored; every key narrows at once.
        QTest::keyClicks(bar->urlEdit(), QStringLiteral("EXAMPLE.c"));
        QCOMPARE(urls(form), QStringList({QStringLiteral("http://b.example.com/one"),
                                          QStringLiteral("http://c.EXAMPLE.com/three")}));
        QTest::keyClick(bar->urlEdit(), Qt::Key_O);
        QCOMPARE(form.recordModel()->rowCount(), 2);
        QCOMPARE(bar->countText(), QStringLiteral("2 of 4 rows"));
        QCOMPARE(form.panelText(1), QStringLiteral("Records Count: 2"));
        bar->urlEdit()->clear();

        // Times, not texts: from the last day of 2026 to the first of 2027, whole days.
        QTest::keyClicks(bar->fromEdit(), QStringLiteral("31/Dec/2026"));
        QTest::keyClicks(bar->toEdit(), QStringLiteral("2027-01-01"));
        QCOMPARE(urls(form), QStringList({QStringLiteral("http://b.example.com/one"),
                                          QStringLiteral("http://a.example.org/two")}));
        // A bound that names no time is left open until it is mended.
        bar->toEdit()->setText(QStringLiteral("soon"));
        QCOMPARE(form.recordModel()->rowCount(), 3);
        bar->fromEdit()->clear();
        bar->toEdit()->clear();
        QCOMPARE(bar->countText(), QStringLiteral("4 of 4 rows"));

        // The filter stays for the next listing.
        QTest::keyClicks(bar->urlEdit(), QStringLiteral(".com"));
        list(form, 1);
        QCOMPARE(urls(form), QStringList({QStringLiteral("http://c.example.com/bob")}));
        QCOMPARE(bar->countText(), QStringLiteral("1 of 1 rows"));
    }

    void headerClicksSortReverseAndRestoreFileOrder()
    {
        TForm1& form = openWindow();
        list(form, 0);
        const QString one = QStringLiteral("http://b.example.com/one");
        const QString two = QStringLiteral("http://a.example.org/two");
        const QString three = QStringLiteral("http://c.EXAMPLE.com/three");
        const QString four = QStringLiteral("http://d.example.net/four");
        clickHeader(form, RecordModel::DateColumn);
        QCOMPARE(urls(form), QStringList({three, one, two, four}));
        QCOMPARE(form.ListView1->header()->sortIndicatorOrder(), Qt::AscendingOrder);
        clickHeader(form, RecordModel::DateColumn);
        QCOMPARE(urls(form), QStringList({four, two, one, three}));
        clickHeader(form, RecordModel::DateColumn);
        QCOMPARE(urls(form), QStringList({one, two, three, four}));
        QVERIFY(!form.ListView1->header()->isSortIndicatorShown());
        clickHeader(form, RecordModel::UrlColumn);
        QCOMPARE(urls(form), QStringList({two, one, three, four}));

        // Sorted and filtered at once; a deletion removes only the rows shown and selected.
        form.filterBar()->urlEdit()->setText(QStringLiteral("example.com"));
        QCOMPARE(urls(form), QStringList({one, three}));
        form.ListView1->setFocus();
        form.ListView1->selectAll();
        QSignalSpy deleted(&form, &TForm1::deletionFinished);
        QTest::mouseClick(form.DeleteButton, Qt::LeftButton);
        QVERIFY(deleted.count() > 0 || deleted.wait(10000));
        QCOMPARE(ReadFile(logPath()), A1 + "\r\n" + B0 + "\r\n" + A3 + "\r\n");
        QCOMPARE(form.recordModel()->rowCount(), 0);
        QCOMPARE(form.filterBar()->countText(), QStringLiteral("0 of 2 rows"));
        form.filterBar()->urlEdit()->clear();
        QCOMPARE(urls(form), QStringList({two, four}));
    }

    void theKeyboardListsDeletesAndCopies()
    {
        TForm1& form = openWindow();
        QTreeView* tree = form.TreeView1;
        tree->setFocus();
        QSignalSpy listed(&form, &TForm1::listingFinished);
        QElapsedTimer clock;
        clock.start();
        QTest::keyClick(tree, Qt::Key_Down);
        QCOMPARE(tree->currentIndex(), form.treeModel()->index(0, 0));
        // Not at once, so that stepping over nodes lists only the one stood on.
        QCOMPARE(listed.count(), 0);
        QVERIFY(listed.wait(5000));
        QVERIFY(clock.elapsed() >= WindowActions::KeyboardListDelay - 50);
        QCOMPARE(form.recordModel()->rowCount(), 4);

        // Enter lists at once.
        QTest::keyClick(tree, Qt::Key_Down);
        QTest::keyClick(tree, Qt::Key_Return);
        QVERIFY(listed.count() == 2 || listed.wait(5000));
        QCOMPARE(form.recordModel()->rowCount(), 1);
        QCOMPARE(form.panelText(2), QStringLiteral("Selected User: bob"));

        // Back on alice, two rows selected from the bottom up; Ctrl+C copies them in list order.
        QTest::keyClick(tree, Qt::Key_Up);
        QTest::keyClick(tree, Qt::Key_Enter);
        QVERIFY(listed.count() >= 3 || listed.wait(5000));
        QTRY_COMPARE(form.recordModel()->rowCount(), 4);
        QTreeView* list = form.ListView1;
        list->setFocus();
        list->selectionModel()->select(form.recordModel()->index(3, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
        list->selectionModel()->select(form.recordModel()->index(0, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(),
                 QStringLiteral("31/Dec/2026:23:59:00\tGET \"HTTP\"\thttp://b.example.com/one\n"
                                "02/Jan/2027:12:00:00\tGET \"HTTP\"\thttp://d.example.net/four\n"));

        // The Delete key deletes as the button does, the selected rows with the focus on the list.
        QSignalSpy deleted(&form, &TForm1::deletionFinished);
        QTest::keyClick(list, Qt::Key_Delete);
        QVERIFY(deleted.wait(10000));
        QCOMPARE(ReadFile(logPath()), A1 + "\r\n" + B0 + "\r\n" + A2 + "\r\n");
        QCOMPARE(form.recordModel()->rowCount(), 2);

        // On the tree it deletes the node.
        tree->setFocus();
        QTest::keyClick(tree, Qt::Key_Delete);
        QVERIFY(deleted.count() == 2 || deleted.wait(10000));
        QCOMPARE(ReadFile(logPath()), B0 + "\r\n");
        QCOMPARE(form.treeModel()->rowCount(), 1);

        // F5 reads the log again; Ctrl+Q closes the window.
        QSignalSpy built(&form, &TForm1::loadFinished);
        QTest::keyClick(&form, Qt::Key_F5);
        QVERIFY(built.count() > 0 || built.wait(10000));
        QCOMPARE(form.treeModel()->rowCount(), 1);
        QTest::keyClick(&form, Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(!form.isVisible());
    }

    void findInTheLogShowsOnlyNodesWithMatchesAndTheirRows()
    {
        const std::string A4 = Line("alice", "03/Jan/2027:00:00:00", "http://d.example.net/five");
        WriteFile(logPath(), A0 + "\r\n" + A1 + "\r\n" + B0 + "\r\n" + A2 + "\r\n" + A3 + "\r\n" +
                                 A4 + "\r\n");
        TForm1& form = openWindow();
        LogTreeModel* tree = form.treeModel();
        FindBar* find = form.findBar();
        QVERIFY(!find->isVisible());
        QTest::keyClick(&form, Qt::Key_F, Qt::ControlModifier);
        QVERIFY(find->isVisible() && find->edit()->hasFocus());

        QSignalSpy searched(find, &FindBar::searched);
        const auto search = [&](const QString& text) {
            searched.clear();
            find->edit()->clear();
            QTest::keyClicks(find->edit(), text);
            QVERIFY(searched.wait(5000));
        };
        const auto shown = [&](const QModelIndex& parent) {
            QStringList out;
            for (int row = 0; row < tree->rowCount(parent); ++row) {
                const QModelIndex index = tree->index(row, 0, parent);
                out << index.data().toString() + QLatin1Char('=') +
                           index.data(LogTreeModel::CountRole).toString();
            }
            return out;
        };
        // A user's name is not its URL: searching for it finds only the URL that holds it.
        search(QStringLiteral("BOB"));
        QCOMPARE(shown({}), QStringList{QStringLiteral("bob=1")});
        search(QStringLiteral("EXAMPLE.COM"));
        QCOMPARE(shown({}), QStringList({QStringLiteral("alice=2"), QStringLiteral("bob=1")}));
        QCOMPARE(shown(tree->index(0, 0)), QStringList({QStringLiteral("b.example.com=1"),
                                                        QStringLiteral("c.EXAMPLE.com=1")}));
        // Listing a node shows only its matching rows.
        list(form, 0);
        QCOMPARE(urls(form), QStringList({QStringLiteral("http://b.example.com/one"),
                                          QStringLiteral("http://c.EXAMPLE.com/three")}));

        // The order of the tree keeps the node chosen.
        search(QStringLiteral("example"));
        const QModelIndex alice = tree->index(0, 0);
        QCOMPARE(
            shown(alice),
            QStringList({QStringLiteral("b.example.com=1"), QStringLiteral("a.example.org=1"),
                         QStringLiteral("c.EXAMPLE.com=1"), QStringLiteral("d.example.net=2")}));
        form.TreeView1->setCurrentIndex(tree->index(3, 0, alice));
        tree->setOrder(LogTreeModel::Order::Count);
        QCOMPARE(shown(alice).first(), QStringLiteral("d.example.net=2"));
        QCOMPARE(form.TreeView1->currentIndex().data().toString(), QStringLiteral("d.example.net"));
        tree->setOrder(LogTreeModel::Order::Name);
        QCOMPARE(
            shown(alice),
            QStringList({QStringLiteral("a.example.org=1"), QStringLiteral("b.example.com=1"),
                         QStringLiteral("c.EXAMPLE.com=1"), QStringLiteral("d.example.net=2")}));
        QCOMPARE(form.TreeView1->currentIndex().data().toString(), QStringLiteral("d.example.net"));
        tree->setOrder(LogTreeModel::Order::Log);

        // Esc shows everything again.
        find->edit()->setFocus();
        QTest::keyClick(find->edit(), Qt::Key_Escape);
        QVERIFY(!find->isVisible());
        QCOMPARE(tree->rowCount(), 2);
        QCOMPARE(tree->rowCount(tree->index(0, 0)), 4);
        QCOMPARE(form.recordModel()->rowCount(), 5);
    }

    void logsOpenFromAPathADropAndTheRecentFolders()
    {
        QTemporaryDir other;
        const QString otherLog = QDir(other.path()).filePath(QStringLiteral("log7.txt"));
        WriteFile(otherLog, B0 + "\r\n");
        WriteFile(QDir(other.path()).filePath(QStringLiteral("log1.txt")), A0 + "\r\n");
        TForm1& form = openWindow();
        const std::string config =
            QFile::encodeName(m_appDir->filePath(QStringLiteral("config.ini"))).toStdString();
        const auto plain = [](const QString& path) {
            return QFile::encodeName(path).toStdString();
        };
        const auto folder = [](const QString& path) {
            return QFile::encodeName(path).toStdString() + "/";
        };

        // A log file: its folder, and the log picked and read.
        QSignalSpy built(&form, &TForm1::loadFinished);
        QVERIFY(form.opener()->openPath(otherLog));
        QVERIFY(built.count() > 0 || built.wait(10000));
        QCOMPARE(form.ComboBox1->currentText(), QStringLiteral("log7.txt"));
        QCOMPARE(form.treeModel()->index(0, 0).data().toString(), QStringLiteral("bob"));
        qelt::IniFile ini(config);
        QCOMPARE(ini.ReadString("Logger", "LogDir", ""), plain(other.path()));

        // A folder dropped on the window.
        auto* mime = new QMimeData;
        mime->setUrls({QUrl::fromLocalFile(m_logDir->path())});
        QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, mime, Qt::LeftButton, {});
        QApplication::sendEvent(&form, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(50, 50), Qt::CopyAction, mime, Qt::LeftButton, {});
        QApplication::sendEvent(&form, &drop);
        QCOMPARE(ini.ReadString("Logger", "LogDir", ""), plain(m_logDir->path()));
        QCOMPARE(form.ComboBox1->count(), 1);
        QCOMPARE(form.ComboBox1->currentIndex(), -1);
        delete mime;

        // The recent folders, newest first; choosing one opens it.
        emit form.OpenButton->customContextMenuRequested(QPoint(5, 5));
        QMenu* recent = form.opener()->recentMenu();
        QTRY_VERIFY(recent->isVisible());
        const QList<QAction*> actions = recent->actions();
        QVERIFY(actions.size() >= 2);
        QCOMPARE(actions[0]->text(),
                 QFile::decodeName(QByteArray::fromStdString(folder(m_logDir->path()))));
        QCOMPARE(actions[1]->text(),
                 QFile::decodeName(QByteArray::fromStdString(folder(other.path()))));
        actions[1]->trigger();
        recent->hide();
        QCOMPARE(form.ComboBox1->count(), 2);
        QCOMPARE(ini.ReadString("Logger", "LogDir", ""), plain(other.path()));

        // Neither a folder nor a log: said so, nothing changes.
        QVERIFY(!form.opener()->openPath(QDir(other.path()).filePath(QStringLiteral("none.txt"))));
        QCOMPARE(m_dialogs.errors.size(), 1);
        QCOMPARE(ini.ReadString("Logger", "LogDir", ""), plain(other.path()));
    }

    void theCodePageIsChosenInTheWindowAndAppliesAtOnce()
    {
        const std::string ivan = "\xc8\xe2\xe0\xed"; // in code page 1251
        WriteFile(logPath(),
                  Line(ivan, "07/Dec/2026:03:47:00", "http://mail.example.com/") + "\r\n");
        TForm1& form = openWindow();
        const QModelIndex user = form.treeModel()->index(0, 0);
        QCOMPARE(user.data().toString(), QStringLiteral("Иван"));
        form.statusControls()->chooseCodePage(866);
        QCOMPARE(user.data().toString(), DisplayText(ivan, 866));
        QVERIFY(user.data().toString() != QStringLiteral("Иван"));
        QCOMPARE(form.codePage(), 866);
        QVERIFY(form.statusControls()->codePageMenu()->title().contains(QStringLiteral("866")));
        qelt::IniFile ini(
            QFile::encodeName(m_appDir->filePath(QStringLiteral("config.ini"))).toStdString());
        QCOMPARE(ini.ReadInteger("Logger", "CodePage", 0), 866);
    }

    void aGrowingLogIsFollowedAndAShrunkOneReloaded()
    {
        TForm1& form = openWindow();
        list(form, 0);
        QTreeView* rows = form.ListView1;
        rows->selectionModel()->select(form.recordModel()->index(1, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QSignalSpy followed(form.follower(), &LogFollower::followed);

        // The proxy appends: a row of alice's on a new host, a new user, a line half written.
        const std::string A5 = Line("alice", "04/Jan/2027:00:00:00", "http://e.example.com/five");
        const std::string C0 = Line("carol", "04/Jan/2027:00:00:01", "http://f.example.com/");
        {
            std::ofstream out(QFile::encodeName(logPath()).toStdString(),
                              std::ios::binary | std::ios::app);
            out << A5 << "\r\n" << C0 << "\r\n" << C0.substr(0, 20);
        }
        QVERIFY(followed.wait(5000));
        QCOMPARE(form.treeModel()->rowCount(), 3);
        QCOMPARE(form.treeModel()->index(2, 0).data().toString(), QStringLiteral("carol"));
        const QModelIndex alice = form.treeModel()->index(0, 0);
        QCOMPARE(form.treeModel()
                     ->index(form.treeModel()->rowCount(alice) - 1, 0, alice)
                     .data()
                     .toString(),
                 QStringLiteral("e.example.com"));
        QCOMPARE(urls(form).size(), 5);
        QCOMPARE(urls(form).last(), QStringLiteral("http://e.example.com/five"));
        // Each node shows the lines it holds, the new ones counted in.
        QCOMPARE(alice.data(LogTreeModel::CountRole).toULongLong(), 5ull);
        QCOMPARE(form.treeModel()->index(2, 0).data(LogTreeModel::CountRole).toULongLong(), 2ull);
        QCOMPARE(rows->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(rows->selectionModel()->selectedRows().first().row(), 1);

        // The half line completed: nothing new for alice, and nothing twice.
        {
            std::ofstream out(QFile::encodeName(logPath()).toStdString(),
                              std::ios::binary | std::ios::app);
            out << C0.substr(20) << "\r\n";
        }
        QVERIFY(followed.wait(5000));
        QCOMPARE(urls(form).size(), 5);
        QCOMPARE(form.treeModel()->rowCount(), 3);
        QCOMPARE(form.treeModel()->index(2, 0).data(LogTreeModel::CountRole).toULongLong(), 2ull);

        // Switched off, the log is left alone.
        form.statusControls()->followAction()->trigger();
        QVERIFY(!form.follower()->enabled());
        {
            std::ofstream out(QFile::encodeName(logPath()).toStdString(),
                              std::ios::binary | std::ios::app);
            out << Line("dave", "05/Jan/2027:00:00:00", "http://g.example.com/") << "\r\n";
        }
        QVERIFY(!followed.wait(LogFollower::PollInterval * 2));
        QCOMPARE(form.treeModel()->rowCount(), 3);
        form.statusControls()->followAction()->trigger();
        QVERIFY(followed.wait(5000));
        QCOMPARE(form.treeModel()->rowCount(), 4);

        // A log cut short is read again whole.
        QSignalSpy built(&form, &TForm1::loadFinished);
        WriteFile(logPath(), B0 + "\r\n");
        QVERIFY(built.wait(5000));
        QCOMPARE(form.treeModel()->rowCount(), 1);
    }

    void theRightClickMenusActOnTheirRowAndNode()
    {
        qelt::FilterStore store(QFile::encodeName(m_appDir->path()).toStdString());
        store.AddGroup("Web", 0x0000FF);
        TForm1& form = openWindow();
        list(form, 0);
        QTreeView* list = form.ListView1;
        const QModelIndex second = form.recordModel()->index(1, 0);
        list->selectionModel()->select(second,
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
        emit list->customContextMenuRequested(list->visualRect(second).center());
        QMenu* rows = form.actions()->rowMenu();
        QTRY_VERIFY(rows->isVisible());
        const auto action = [](QMenu* menu, const QString& text) -> QAction* {
            for (QAction* a : menu->actions()) {
                if (a->text() == text)
                    return a;
            }
            return nullptr;
        };
        QAction* copyUrl = action(rows, QStringLiteral("Copy URL"));
        QVERIFY(copyUrl && copyUrl->isEnabled());
        copyUrl->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("http://a.example.org/two"));
        QAction* groups = action(rows, QStringLiteral("Add Host to Filter Group"));
        QVERIFY(groups && groups->menu() && groups->isEnabled());
        QAction* web = action(groups->menu(), QStringLiteral("Web"));
        QVERIFY(web);
        web->trigger();
        QCOMPARE(store.ListFilters("Web"), std::vector<std::string>{"a.example.org"});
        QVERIFY(action(rows, QStringLiteral("Delete"))->isEnabled());
        QVERIFY(rows->actions().contains(form.UndoAction));
        rows->hide();

        // The node menu chooses the node under the mouse and deletes it with its lines.
        QTreeView* tree = form.TreeView1;
        const QModelIndex bob = form.treeModel()->index(1, 0);
        emit tree->customContextMenuRequested(tree->visualRect(bob).center());
        QMenu* nodes = form.actions()->nodeMenu();
        QTRY_VERIFY(nodes->isVisible());
        QCOMPARE(tree->currentIndex(), bob);
        action(nodes, QStringLiteral("Copy Name"))->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("bob"));
        QSignalSpy deleted(&form, &TForm1::deletionFinished);
        action(nodes, QStringLiteral("Delete"))->trigger();
        QVERIFY(deleted.count() > 0 || deleted.wait(10000));
        QCOMPARE(ReadFile(logPath()), A0 + "\r\n" + A1 + "\r\n" + A2 + "\r\n" + A3 + "\r\n");
        QCOMPARE(UrlHost("http://user:pw@www.example.com:8080/a?b"),
                 std::string_view("www.example.com"));
        QCOMPARE(UrlHost("secure.example.com:443"), std::string_view("secure.example.com"));
    }
};

QTEST_MAIN(TestMainWindowKeys)
#include "test_mainwindow_keys.moc"
