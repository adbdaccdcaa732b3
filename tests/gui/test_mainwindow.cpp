// Drives the real main window as a person would: picks a log, clicks nodes, selects rows,
// deletes, answers the questions, closes; and checks the tree, the rows, the status bar, the
// colours and the bytes of the files.

#include "PngSpeedButton/PngSpeedButton.h"
#include "Unit1/DeleteAnimation.h"
#include "Unit1/LogTreeModel.h"
#include "Unit1/RecordModel.h"
#include "Unit1/Unit1.h"
#include "filters/FilterStore.h"
#include "widgets/Dialogs.h"
#include "widgets/ReadableColor.h"
#include "widgets/SafeUrl.h"

#include "test_files.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QSignalSpy>
#include <QSizeGrip>
#include <QSplitter>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>
#include <QTreeView>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

// Answers every dialog the window shows, and remembers what was asked.
class ScriptedDialogs : public Dialogs
{
public:
    QString folder;
    QMessageBox::StandardButton answer = QMessageBox::No;
    QStringList errors;
    struct Question
    {
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton;
        QMessageBox::StandardButton escapeButton;
    };
    QList<Question> questions;
    QStringList modalTitles;
    QStringList modalTexts;
    QList<Qt::WindowModality> modalities;
    QList<QMessageBox::Icon> modalIcons;
    QList<QMessageBox::StandardButtons> modalButtons;
    QList<bool> modalOwned;

    QString getExistingDirectory(QWidget*, const QString&, const QString&) override
    {
        return folder;
    }
    QMessageBox::StandardButton question(QWidget*, const QString& title, const QString& text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::StandardButton defaultButton,
                                         QMessageBox::StandardButton escapeButton) override
    {
        questions.append({title, text, buttons, defaultButton, escapeButton});
        return answer;
    }
    void showError(QWidget*, const QString& message) override { errors.append(message); }
    int execModal(QDialog& dialog) override
    {
        modalTitles.append(dialog.windowTitle());
        modalities.append(dialog.windowModality());
        modalOwned.append(dialog.parentWidget() != nullptr);
        if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
            modalTexts.append(box->text());
            modalIcons.append(box->icon());
            modalButtons.append(box->standardButtons());
        }
        return QDialog::Accepted;
    }
};

// Catches the URLs the window hands to the desktop.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.append(url); }
};

// "Иван" in code page 1251.
const std::string Ivan = "\xc8\xe2\xe0\xed";

const std::string Line0 = "10.0.0.5 - alice [07/Dec/2026:03:44:43 +0800] \"GET "
                          "http://dl1.example.com/files/setup.zip HTTP/1.1\" \"HTTP\"";
const std::string Line1 = "10.0.0.5 - alice [07/Dec/2026:03:44:50 +0800] \"CONNECT "
                          "secure.example.com:443 HTTP/1.0\" \"HTTPS\"";
const std::string Line2 = "10.0.0.7 - bob [07/Dec/2026:03:45:02 +0800] \"GET "
                          "http://docs.example.org/manual.pdf HTTP/1.1\" \"HTTP\"";
const std::string Line3 = "10.0.0.5 - alice [07/Dec/2026:03:46:10 +0800] \"GET "
                          "http://news.example.net/index.html HTTP/1.1\" \"HTTP\"";
const std::string Line4 = "10.0.0.9 - " + Ivan +
                          " [07/Dec/2026:03:47:00 +0800] \"GET "
                          "http://mail.example.com/inbox HTTP/1.1\" \"HTTP\"";

// The log as the proxy left it: one line ends in a lone LF.
std::string SampleLog()
{
    return Line0 + "\r\n" + Line1 + "\r\n" + Line2 + "\r\n" + Line3 + "\n" + Line4 + "\r\n";
}

std::string Crlf(std::initializer_list<std::string> lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

QByteArray Bytes(const std::string& text)
{
    return QByteArray::fromStdString(text);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_appDir;
    std::unique_ptr<QTemporaryDir> m_logDir;
    std::unique_ptr<QTemporaryDir> m_dataDir;
    ScriptedDialogs m_dialogs;
    std::unique_ptr<TForm1> m_form;

    QString appPath(const QString& name) const { return m_appDir->filePath(name); }
    QString logPath(const QString& name) const { return m_logDir->filePath(name); }
    std::string appDir() const { return QFile::encodeName(m_appDir->path()).toStdString() + "/"; }

    void writeConfig(const std::string& extra = {})
    {
        WriteFile(appPath(QStringLiteral("config.ini")),
                  "[Logger]\r\nLogDir=" + QFile::encodeName(m_logDir->path()).toStdString() +
                      "\r\n" + extra);
    }

    TForm1& openWindow()
    {
        m_form = std::make_unique<TForm1>(appDir());
        new QAbstractItemModelTester(m_form->treeModel(), m_form.get());
        new QAbstractItemModelTester(m_form->recordModel(), m_form.get());
        m_form->show();
        m_form->activateWindow();
        if (!QTest::qWaitForWindowActive(m_form.get()))
            qWarning("window not active");
        return *m_form;
    }

    // Picks the chooser's item as a person does, with the keyboard, and waits for the tree.
    void pickLog(TForm1& form, int item)
    {
        QSignalSpy built(&form, &TForm1::loadFinished);
        form.ComboBox1->setFocus();
        // Stand on the item above (the program's choice raises nothing), then step down onto
        // it with the keyboard: a user's choice.
        form.ComboBox1->setCurrentIndex(item - 1);
        QTest::keyClick(form.ComboBox1, Qt::Key_Down);
        QCOMPARE(form.ComboBox1->currentIndex(), item);
        QVERIFY(built.count() > 0 || built.wait(10000));
    }

    QModelIndex node(TForm1& form, int user, int host = -1)
    {
        const QModelIndex userIndex = form.treeModel()->index(user, 0);
        return host < 0 ? userIndex : form.treeModel()->index(host, 0, userIndex);
    }

    void clickNode(TForm1& form, const QModelIndex& index)
    {
        QSignalSpy listed(&form, &TForm1::listingFinished);
        if (index.parent().isValid())
            form.TreeView1->expand(index.parent());
        form.TreeView1->scrollTo(index);
        QTRY_VERIFY(form.TreeView1->visualRect(index).isValid());

        // Apart in time from the click before, so that the two make no double click.
        QTest::mouseClick(form.TreeView1->viewport(), Qt::LeftButton, {},
                          form.TreeView1->visualRect(index).center(),
                          QApplication::doubleClickInterval() + 1);
        QVERIFY(listed.count() > 0 || listed.wait(10000));
    }

    QByteArray cell(TForm1& form, int row, int column)
    {
        return form.recordModel()->index(row, column).data(RecordModel::BytesRole).toByteArray();
    }

    void clickDelete(TForm1& form)
    {
        QSignalSpy deleted(&form, &TForm1::deletionFinished);
        QTest::mouseClick(form.DeleteButton, Qt::LeftButton);
        QVERIFY(deleted.count() > 0 || deleted.wait(10000));
    }

private slots:
    void init()
    {
        m_appDir = std::make_unique<QTemporaryDir>();
        m_logDir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_appDir->isValid() && m_logDir->isValid());
        m_dialogs = ScriptedDialogs();
        Dialogs::setInstance(&m_dialogs);
        // Deleted logs go to a trash of the test's own.
        m_dataDir = std::make_unique<QTemporaryDir>();
        qputenv("XDG_DATA_HOME", m_dataDir->path().toLocal8Bit());
        WriteFile(logPath(QStringLiteral("log1.txt")), SampleLog());
        WriteFile(logPath(QStringLiteral("LOG2.TXT")), Crlf({Line2}));
        WriteFile(logPath(QStringLiteral("mylog.txt")), Crlf({Line2}));
        writeConfig();
    }

    void cleanup()
    {
        m_form.reset();
        Dialogs::setInstance(nullptr);
        qunsetenv("XDG_DATA_HOME");
    }

    void startsIdleWithTheChooserFilled()
    {
        TForm1& form = openWindow();
        QCOMPARE(form.windowTitle(), QStringLiteral("Qelt Viewer"));
        QVERIFY(!form.ProcessPanel->isVisible() && !form.Animate1->active());
        for (int panel = 0; panel < 3; ++panel)
            QVERIFY(form.panelText(panel).isEmpty());
        QCOMPARE(form.ComboBox1->count(), 2);
        QCOMPARE(form.ComboBox1->itemText(0), QStringLiteral("log1.txt"));
        QCOMPARE(form.ComboBox1->itemText(1), QStringLiteral("LOG2.TXT"));
        QCOMPARE(form.ComboBox1->currentIndex(), -1);
        QCOMPARE(form.treeModel()->rowCount(), 0);
        QCOMPARE(form.recordModel()->rowCount(), 0);
        QVERIFY(!form.windowIcon().isNull());
    }

    void pickingALogBuildsTheTree()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);
        LogTreeModel* tree = form.treeModel();
        QCOMPARE(tree->rowCount(), 3);
        QCOMPARE(node(form, 0).data(LogTreeModel::BytesRole).toByteArray(), QByteArray("alice"));
        QCOMPARE(node(form, 1).data(LogTreeModel::BytesRole).toByteArray(), QByteArray("bob"));
        // The node keeps the exact bytes and shows them decoded from the default code page.
        QCOMPARE(node(form, 2).data(LogTreeModel::BytesRole).toByteArray(), Bytes(Ivan));
        QCOMPARE(node(form, 2).data().toString(), QStringLiteral("Иван"));
        QCOMPARE(tree->rowCount(node(form, 0)), 3);
        QCOMPARE(node(form, 0, 1).data(LogTreeModel::BytesRole).toByteArray(),
                 QByteArray("secure.example.com"));
        // Icons: 2 for users, the connection kind for hosts.
        const auto iconKey = [](const QVariant& v) { return v.value<QIcon>().cacheKey(); };
        QCOMPARE(iconKey(node(form, 0).data(Qt::DecorationRole)), form.ImageList1[2].cacheKey());
        QCOMPARE(iconKey(node(form, 0, 0).data(Qt::DecorationRole)), form.ImageList1[1].cacheKey());
        QCOMPARE(iconKey(node(form, 0, 1).data(Qt::DecorationRole)), form.ImageList1[0].cacheKey());
        QCOMPARE(form.panelText(0), QStringLiteral("Total Accounts: 3"));
        QVERIFY(form.panelText(1).isEmpty() && form.panelText(2).isEmpty());
        QVERIFY(form.ComboBox1->isEnabled() && form.ControlBar1->isEnabled());
        QVERIFY(form.DeleteLogButton->isEnabled());
        QVERIFY(!form.DeleteButton->isEnabled());
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    }

    void clickingNodesListsTheirRequests()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        QCOMPARE(form.recordModel()->rowCount(), 3);
        QCOMPARE(cell(form, 0, 0), QByteArray("07/Dec/2026:03:44:43"));
        QCOMPARE(cell(form, 0, 1), QByteArray("GET \"HTTP\""));
        QCOMPARE(cell(form, 0, 2), QByteArray("http://dl1.example.com/files/setup.zip"));
        QCOMPARE(cell(form, 1, 1), QByteArray("CONNECT \"HTTPS\""));
        QCOMPARE(cell(form, 1, 2), QByteArray("secure.example.com:443"));
        QCOMPARE(form.recordModel()->table().icon(0), 8);
        QCOMPARE(form.recordModel()->table().icon(1), 7);
        QCOMPARE(form.panelText(2), QStringLiteral("Selected User: alice"));
        QCOMPARE(form.panelText(1), QStringLiteral("Records Count: 3"));
        QVERIFY(form.DeleteButton->isEnabled());
        QVERIFY(!ListingBusy);
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);

        // A host of another user: its own lines, and panel 2 keeps the user clicked before.
        clickNode(form, node(form, 1, 0));
        QCOMPARE(form.recordModel()->rowCount(), 1);
        QCOMPARE(cell(form, 0, 2), QByteArray("http://docs.example.org/manual.pdf"));
        QCOMPARE(form.recordModel()->table().icon(0), 9);
        QCOMPARE(form.panelText(2), QStringLiteral("Selected User: alice"));

        // A user whose name is not UTF-8 is listed by its bytes.
        clickNode(form, node(form, 2));
        QCOMPARE(form.recordModel()->rowCount(), 1);
        QCOMPARE(form.panelText(2), QStringLiteral("Selected User: Иван"));
    }

    void rowsTakeTheirGroupColours()
    {
        qelt::FilterStore store(appDir());
        QVERIFY(store.AddGroup("Archives", 0x0000FF));
        QVERIFY(store.AddGroup("Secure", 0xFF0000));
        QVERIFY(store.AddFilter("Archives", ".zip"));
        QVERIFY(store.AddFilter("Secure", "secure."));
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        const auto background = [&](int row) {
            return form.recordModel()->index(row, 2).data(Qt::BackgroundRole);
        };
        QCOMPARE(background(0).value<QColor>(), QColor(255, 0, 0));
        QCOMPARE(background(1).value<QColor>(), QColor(0, 0, 255));
        QVERIFY(!background(2).isValid());

        // The colour is painted, and a change in the store shows at the next paint.
        form.resize(1300, 500);
        form.ListView1->clearSelection();
        const auto pixel = [&](int row) {
            const QRect rect = form.ListView1->visualRect(form.recordModel()->index(row, 2));
            const QPoint blank(rect.right() - 3, rect.center().y());
            return form.ListView1->viewport()->grab().toImage().pixelColor(blank);
        };
        QCOMPARE(pixel(0), QColor(255, 0, 0));
        QCOMPARE(pixel(2), QColor(Qt::white));
        store.SetGroupColor("Archives", 0x00FF00);
        QCOMPARE(pixel(0), QColor(0, 255, 0));
        QVERIFY(m_dialogs.errors.isEmpty());
    }

    void anUnreadableStoreIsReportedOnce()
    {
        qelt::FilterStore store(appDir());
        QVERIFY(store.AddGroup("Archives", 0x0000FF));
        // A filter file that exists but is no file of records.
        QVERIFY(::mkfifo(QFile::encodeName(appPath(QStringLiteral("FilterFile.tdf"))).constData(),
                         0600) == 0);
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        for (int i = 0; i < 3; ++i)
            form.ListView1->viewport()->grab();
        QTRY_COMPARE(m_dialogs.errors.size(), 1);
        QTest::qWait(50);
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(!form.recordModel()->index(0, 2).data(Qt::BackgroundRole).isValid());
    }

    void deletingSelectedRowsWithTheFocusOnTheList()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        form.ListView1->setFocus();
        auto* selection = form.ListView1->selectionModel();
        selection->select(form.recordModel()->index(0, 0),
                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
        selection->select(form.recordModel()->index(2, 0),
                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
        // What the window looks like while the deletion runs, before its result comes back.
        QSignalSpy deleted(&form, &TForm1::deletionFinished);
        form.DeleteButtonClick();
        QVERIFY(form.ProcessPanel->isVisible() && form.Animate1->active());
        const QPoint offCentre =
            form.ProcessPanel->geometry().center() - form.ListView1->geometry().center();
        QVERIFY(qAbs(offCentre.x()) <= 1 && qAbs(offCentre.y()) <= 1);
        QVERIFY(!form.DeleteButton->isEnabled());
        QVERIFY(!form.TreeView1->isEnabled() && !form.ListView1->isEnabled() &&
                !form.ComboBox1->isEnabled());
        QCOMPARE(form.PB->maximum(), 1);
        QVERIFY(deleted.wait(10000));
        QCOMPARE(form.PB->value(), 1);
        QCOMPARE(ReadFile(logPath(QStringLiteral("log1.txt"))), Crlf({Line1, Line2, Line4}));
        QCOMPARE(form.recordModel()->rowCount(), 1);
        QCOMPARE(cell(form, 0, 2), QByteArray("secure.example.com:443"));
        QCOMPARE(form.panelText(1), QStringLiteral("Records Count: 1"));
        QVERIFY(!form.ProcessPanel->isVisible());
        QVERIFY(!form.Animate1->active());
        QVERIFY(form.DeleteButton->isEnabled());
        QVERIFY(form.TreeView1->isEnabled() && form.ListView1->isEnabled() &&
                form.ComboBox1->isEnabled());
        QCOMPARE(form.treeModel()->rowCount(), 3);

        // The list has the focus again, so the next press acts on its rows; removing the last
        // row of a listing removes the listed node.
        QCOMPARE(form.focusWidget(), form.ListView1);
        form.ListView1->selectAll();
        clickDelete(form);
        QCOMPARE(ReadFile(logPath(QStringLiteral("log1.txt"))), Crlf({Line2, Line4}));
        QCOMPARE(form.treeModel()->rowCount(), 2);
        QCOMPARE(node(form, 0).data(LogTreeModel::BytesRole).toByteArray(), QByteArray("bob"));
    }

    void everyOtherRowGoesAndTheRestFindTheirLinesAfterTheRewrite()
    {
        // Every other row of a user whose lines are all alike: each row removes its own line,
        // the removals fall into many runs, and the rows that stay still know their lines in the
        // rewritten log (one line end there was a lone LF).
        std::string log;
        std::string kept;
        for (int i = 0; i < 150; ++i) {
            const std::string line =
                "10.0.0.5 - zed [07/Dec/2026:05:10:10 +0800] \"GET http://h.example.com/ "
                "HTTP/1.1\" \"HTTP\"";
            log += line + (i == 3 ? "\n" : "\r\n");
            if (i % 2 == 1)
                kept += line + "\r\n";
            if (i == 70)
                log += "10.0.0.5 - other [07/Dec/2026:05:10:10 +0800] \"NOOP\"\r\n";
        }
        WriteFile(logPath(QStringLiteral("log1.txt")), log);
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        QCOMPARE(form.recordModel()->rowCount(), 150);
        form.ListView1->setFocus();
        QItemSelection even;
        for (int row = 0; row < 150; row += 2)
            even.select(form.recordModel()->index(row, 0), form.recordModel()->index(row, 2));
        form.ListView1->selectionModel()->select(even, QItemSelectionModel::ClearAndSelect);
        clickDelete(form);
        QCOMPARE(ReadFile(logPath(QStringLiteral("log1.txt"))).size(),
                 kept.size() + std::string("10.0.0.5 - other [07/Dec/2026:05:10:10 +0800] "
                                           "\"NOOP\"\r\n")
                                   .size());
        QCOMPARE(form.recordModel()->rowCount(), 75);
        QCOMPARE(form.panelText(1), QStringLiteral("Records Count: 75"));

        form.ListView1->setFocus();
        form.ListView1->selectAll();
        clickDelete(form);
        QCOMPARE(ReadFile(logPath(QStringLiteral("log1.txt"))),
                 std::string("10.0.0.5 - other [07/Dec/2026:05:10:10 +0800] \"NOOP\"\r\n"));
        QCOMPARE(form.recordModel()->rowCount(), 0);
        QCOMPARE(form.treeModel()->rowCount(), 1);
    }

    void deletingANodeWithTheFocusOnTheTree()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 1));
        QCOMPARE(form.panelText(2), QStringLiteral("Selected User: bob"));
        // bob's only host: the user goes with it, and its panel text.
        clickNode(form, node(form, 1, 0));
        form.TreeView1->setFocus();
        clickDelete(form);
        QCOMPARE(ReadFile(logPath(QStringLiteral("log1.txt"))), Crlf({Line0, Line1, Line3, Line4}));
        QCOMPARE(form.treeModel()->rowCount(), 2);
        QCOMPARE(node(form, 1).data(LogTreeModel::BytesRole).toByteArray(), Bytes(Ivan));
        QVERIFY(form.panelText(2).isEmpty());
        QCOMPARE(form.recordModel()->rowCount(), 0);
        QCOMPARE(form.panelText(1), QStringLiteral("Records Count: 0"));

        // The tree keeps the focus and has selected the user after bob, so pressing again
        // deletes that user.
        QCOMPARE(form.focusWidget(), form.TreeView1);
        QCOMPARE(form.TreeView1->selectionModel()->selectedIndexes().value(0),
                 QModelIndex(node(form, 1)));
        clickDelete(form);
        QCOMPARE(ReadFile(logPath(QStringLiteral("log1.txt"))), Crlf({Line0, Line1, Line3}));
        QCOMPARE(form.treeModel()->rowCount(), 1);
        // The previous sibling is selected then; alice keeps her hosts and stays.
        QCOMPARE(form.TreeView1->selectionModel()->selectedIndexes().value(0),
                 QModelIndex(node(form, 0)));

        // A user node: every line with its text and a space goes.
        clickNode(form, node(form, 0));
        clickDelete(form);
        QCOMPARE(ReadFile(logPath(QStringLiteral("log1.txt"))), std::string());
        QCOMPARE(form.treeModel()->rowCount(), 0);
    }

    void theLastRowTakesOnlyASelectedNodeWithIt()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 1));
        QCOMPARE(form.recordModel()->rowCount(), 1);
        // A control click takes the selection off bob's node; that click lists nothing.
        const QRect bob = form.TreeView1->visualRect(node(form, 1));
        QTest::mouseClick(form.TreeView1->viewport(), Qt::LeftButton, Qt::ControlModifier,
                          bob.center(), QApplication::doubleClickInterval() + 1);
        QVERIFY(form.TreeView1->selectionModel()->selectedIndexes().isEmpty());
        QVERIFY(!ListingBusy);
        form.ListView1->setFocus();
        form.ListView1->selectAll();
        // One row: the bar steps from empty to full, it does not turn into a busy indicator.
        QSignalSpy deleted(&form, &TForm1::deletionFinished);
        form.DeleteButtonClick();
        QVERIFY(form.PB->maximum() > form.PB->minimum());
        QCOMPARE(form.PB->value(), form.PB->minimum());
        QVERIFY(deleted.wait(10000));
        QVERIFY(form.PB->maximum() > form.PB->minimum());
        QCOMPARE(form.PB->value(), form.PB->maximum());
        QCOMPARE(ReadFile(logPath(QStringLiteral("log1.txt"))), Crlf({Line0, Line1, Line3, Line4}));
        QCOMPARE(form.recordModel()->rowCount(), 0);
        QCOMPARE(form.treeModel()->rowCount(), 3);
    }

    void deletingWithNothingSelectedLeavesTheLogAlone()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        form.ListView1->clearSelection();
        form.ListView1->setFocus();
        const QString path = logPath(QStringLiteral("log1.txt"));
        const QDateTime modified = QFileInfo(path).lastModified();
        clickDelete(form);
        // Nothing removed: the same bytes, the lone LF included, and the same time.
        QCOMPARE(ReadFile(path), SampleLog());
        QCOMPARE(QFileInfo(path).lastModified(), modified);
        QCOMPARE(form.recordModel()->rowCount(), 3);
    }

    void aFailedReadBringsTheWindowBack()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        QCOMPARE(form.panelText(1), QStringLiteral("Records Count: 3"));
        QVERIFY(QFile::remove(logPath(QStringLiteral("log1.txt"))));
        clickNode(form, node(form, 0));
        QCOMPARE(form.recordModel()->rowCount(), 0);
        QCOMPARE(form.panelText(1), QStringLiteral("Records Count: 0"));
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().startsWith(QStringLiteral("Cannot open file ")));
        QVERIFY(!ListingBusy);
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        QVERIFY(form.ListView1->updatesEnabled());

        // Deleting reads nothing, writes nothing and says so once.
        form.TreeView1->setFocus();
        clickDelete(form);
        QCOMPARE(m_dialogs.errors.size(), 2);
        QVERIFY(!QFile::exists(logPath(QStringLiteral("log1.txt"))));
        QVERIFY(form.TreeView1->isEnabled() && form.ComboBox1->isEnabled());

        // Later clicks work again.
        WriteFile(logPath(QStringLiteral("log1.txt")), SampleLog());
        clickNode(form, node(form, 1));
        QCOMPARE(form.recordModel()->rowCount(), 1);
        QVERIFY(form.DeleteButton->isEnabled());
    }

    void aFailedWriteKeepsTheRowsAndTheLog()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        form.ListView1->setFocus();
        form.ListView1->selectionModel()->select(form.recordModel()->index(0, 0),
                                                 QItemSelectionModel::ClearAndSelect |
                                                     QItemSelectionModel::Rows);
        // No file of this process may grow past a few bytes, so the rewrite fails half way.
        const sighandler_t oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlim_t oldSoft = limit.rlim_cur;
        limit.rlim_cur = 16;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        QSignalSpy deleted(&form, &TForm1::deletionFinished);
        QTest::mouseClick(form.DeleteButton, Qt::LeftButton);
        const bool finished = deleted.count() > 0 || deleted.wait(10000);
        limit.rlim_cur = oldSoft;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(finished);

        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().startsWith(QStringLiteral("Cannot create file ")));
        QCOMPARE(ReadFile(logPath(QStringLiteral("log1.txt"))), SampleLog());
        QCOMPARE(QDir(m_logDir->path()).entryList(QDir::Files | QDir::Hidden).size(), 3);
        // The window shows what the file still holds, and waits for the next listing.
        QCOMPARE(form.recordModel()->rowCount(), 3);
        QCOMPARE(form.panelText(1), QStringLiteral("Records Count: 3"));
        QCOMPARE(form.treeModel()->rowCount(), 3);
        QVERIFY(!form.ProcessPanel->isVisible() && !form.Animate1->active());
        QVERIFY(!form.DeleteButton->isEnabled());
        QVERIFY(form.TreeView1->isEnabled() && form.ListView1->isEnabled() &&
                form.ComboBox1->isEnabled());
        clickNode(form, node(form, 0));
        QVERIFY(form.DeleteButton->isEnabled());
    }

    void aLogThatCannotBeReadLeavesTheWindowIdle()
    {
        TForm1& form = openWindow();
        QVERIFY(QFile::remove(logPath(QStringLiteral("LOG2.TXT"))));
        pickLog(form, 1);
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().startsWith(QStringLiteral("Cannot open file ")));
        QVERIFY(form.ComboBox1->isEnabled() && form.ControlBar1->isEnabled());
        QVERIFY(!form.DeleteButton->isEnabled());
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        QCOMPARE(form.treeModel()->rowCount(), 0);
        // The next pick works.
        pickLog(form, 0);
        QCOMPARE(form.treeModel()->rowCount(), 3);
        QCOMPARE(m_dialogs.errors.size(), 1);

        // A log that cannot be read keeps the tree, the list and the panels of the log before;
        // DeleteButton waits for the next listing.
        clickNode(form, node(form, 0));
        pickLog(form, 1);
        QCOMPARE(m_dialogs.errors.size(), 2);
        QCOMPARE(form.treeModel()->rowCount(), 3);
        QCOMPARE(form.recordModel()->rowCount(), 3);
        QCOMPARE(form.panelText(0), QStringLiteral("Total Accounts: 3"));
        QCOMPARE(form.panelText(2), QStringLiteral("Selected User: alice"));
        QVERIFY(!form.DeleteButton->isEnabled());
        QVERIFY(form.ComboBox1->isEnabled() && form.ControlBar1->isEnabled());
    }

    void aFolderThatCannotBeStoredIsNotUsed()
    {
        // A folder whose name config.ini cannot hold, holding a log of the same name.
        QTemporaryDir parent;
        const QString other = parent.filePath(QStringLiteral("new\nline"));
        QVERIFY(QDir().mkpath(other));
        WriteFile(other + QStringLiteral("/log1.txt"), Crlf({Line2}));
        TForm1& form = openWindow();
        m_dialogs.folder = other;
        QTest::mouseClick(form.OpenButton, Qt::LeftButton);
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().startsWith(QStringLiteral("Unable to write to ")));
        QCOMPARE(form.ComboBox1->count(), 2);
        // The chooser's items are still the files of the folder before: those are loaded and
        // deleted.
        pickLog(form, 0);
        QCOMPARE(form.treeModel()->rowCount(), 3);
        m_dialogs.answer = QMessageBox::Yes;
        QSignalSpy built(&form, &TForm1::loadFinished);
        QTest::mouseClick(form.DeleteLogButton, Qt::LeftButton);
        QVERIFY(built.count() > 0 || built.wait(10000));
        QVERIFY(!QFile::exists(logPath(QStringLiteral("log1.txt"))));
        QCOMPARE(ReadFile(other + QStringLiteral("/log1.txt")), Crlf({Line2}));
    }

    void aMissingLogFolderClearsTheWindowAndSaysWhy()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        m_dialogs.folder = m_logDir->filePath(QStringLiteral("gone"));
        QTest::mouseClick(form.OpenButton, Qt::LeftButton);
        QVERIFY(m_dialogs.errors.isEmpty());
        QCOMPARE(form.ComboBox1->count(), 0);
        QCOMPARE(form.treeModel()->rowCount(), 0);
        QCOMPARE(form.recordModel()->rowCount(), 0);
        QVERIFY(!form.DeleteButton->isEnabled() && !form.DeleteLogButton->isEnabled());
        QCOMPARE(form.panelText(0), QString());
        QCOMPARE(form.panelText(2), QStringLiteral("Folder not found"));
        const auto* panel = form.StatusBar1->findChild<QLabel*>(QStringLiteral("StatusPanel2"));
        QVERIFY(panel && panel->toolTip().contains(m_dialogs.folder));
    }

    void deletingAUserRemovesExactlyThatNode()
    {
        // dave's one request names no host, so his node has no children.
        const std::string dave = "10.0.0.8 - dave [07/Dec/2026:03:49:00 +0800] \"GET "
                                 "ftp.example.com/x HTTP/1.1\" \"FTP\"";
        WriteFile(logPath(QStringLiteral("log1.txt")), Crlf({Line0, Line2, dave}));
        TForm1& form = openWindow();
        pickLog(form, 0);
        QCOMPARE(form.treeModel()->rowCount(), 3);
        QCOMPARE(form.treeModel()->rowCount(node(form, 2)), 0);
        clickNode(form, node(form, 1));
        QCOMPARE(form.panelText(2), QStringLiteral("Selected User: bob"));
        form.TreeView1->setFocus();
        clickDelete(form);
        QCOMPARE(ReadFile(logPath(QStringLiteral("log1.txt"))), Crlf({Line0, dave}));
        QCOMPARE(form.treeModel()->rowCount(), 2);
        QCOMPARE(node(form, 1).data(LogTreeModel::BytesRole).toByteArray(), QByteArray("dave"));
        // The status bar counts and names only users that are still there.
        QCOMPARE(form.panelText(0), QStringLiteral("Total Accounts: 2"));
        QVERIFY(form.panelText(2).isEmpty());
    }

    void aTenMegabyteLineIsElidedForDisplayOnly()
    {
        // A request of ten megabytes beside a short one.
        const std::string huge(10'000'000, 'a');
        const std::string shortUrl = "10.0.0.6 - eve [07/Dec/2026:03:50:00 +0800] \"GET "
                                     "http://e.example.com/ HTTP/1.1\" \"HTTP\"";
        const std::string longUrl = "10.0.0.6 - eve [07/Dec/2026:03:51:00 +0800] \"GET "
                                    "http://e.example.com/" +
                                    huge + " HTTP/1.1\" \"HTTP\"";
        WriteFile(logPath(QStringLiteral("log1.txt")), Crlf({shortUrl, longUrl, Line2}));
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        QCOMPARE(form.recordModel()->rowCount(), 2);
        // The cell and its tooltip show the start of the text, the bytes stay whole.
        const QModelIndex url = form.recordModel()->index(1, RecordModel::UrlColumn);
        const QString shown = url.data().toString();
        QVERIFY(shown.size() <= 2001 && shown.endsWith(QChar(0x2026)));
        QVERIFY(shown.startsWith(QStringLiteral("http://e.example.com/aaa")));
        QVERIFY(url.data(Qt::ToolTipRole).toString().size() < 1100);
        QCOMPARE(cell(form, 1, 2).size(), 10'000'021);
        QCOMPARE(form.recordModel()->index(0, 2).data().toString(),
                 QStringLiteral("http://e.example.com/"));
        // Deleting works on the whole bytes.
        form.ListView1->setFocus();
        form.ListView1->selectionModel()->select(url, QItemSelectionModel::ClearAndSelect |
                                                          QItemSelectionModel::Rows);
        clickDelete(form);
        QCOMPARE(ReadFile(logPath(QStringLiteral("log1.txt"))), Crlf({shortUrl, Line2}));
    }

    void ftpRowsOpenAndColouredRowsStayReadable()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("ftp"), &catcher, "open");
        const std::string ftp = "10.0.0.1 - kove [07/Dec/2026:00:00:05 +0800] \"RETR "
                                "ftp://anonymous@news28.de\" \"FTP\" 200 44292";
        WriteFile(logPath(QStringLiteral("log1.txt")), Crlf({ftp}));
        qelt::FilterStore store(appDir());
        QVERIFY(store.AddGroup("Mirrors", 0x000080)); // the box's first colour, maroon
        QVERIFY(store.AddFilter("Mirrors", "news28"));
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        // The column keeps the request's closing quote; the address opened goes without it.
        QCOMPARE(cell(form, 0, 2), QByteArray("ftp://anonymous@news28.de\""));
        const QRect rect = form.ListView1->visualRect(form.recordModel()->index(0, 2));
        QTest::mouseClick(form.ListView1->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(form.ListView1->viewport(), Qt::LeftButton, {}, rect.center());
        QCOMPARE(catcher.opened, QList<QUrl>{QUrl(QStringLiteral("ftp://anonymous@news28.de"))});
        QDesktopServices::unsetUrlHandler(QStringLiteral("ftp"));

        // Maroon rows take white text, and no colour of the box leaves text below 4.5:1.
        const QModelIndex row = form.recordModel()->index(0, 2);
        const QColor background = row.data(Qt::BackgroundRole).value<QColor>();
        QCOMPARE(background, QColor(128, 0, 0));
        QCOMPARE(row.data(Qt::ForegroundRole).value<QColor>(), QColor(Qt::white));
        for (int i = 0; i < 256; i += 5) {
            for (const QColor& c : {QColor(i, 0, 0), QColor(0, i, 0), QColor(0, 0, i),
                                    QColor(i, i, i), QColor(255 - i, i, 128)})
                QVERIFY(ContrastRatio(ReadableTextColor(c), c) >= 4.5);
        }
        QVERIFY(qAbs(ContrastRatio(Qt::black, Qt::white) - 21.0) < 1e-9);
    }

    void aListingCountsUpWhileItAddsRows()
    {
        std::string log;
        for (int i = 0; i < 1000; ++i)
            log += "10.0.0.5 - zed [07/Dec/2026:05:10:10 +0800] \"GET http://h" +
                   std::to_string(i) + ".example.com/ HTTP/1.1\" \"HTTP\"\r\n";
        WriteFile(logPath(QStringLiteral("log1.txt")), log);
        TForm1& form = openWindow();
        pickLog(form, 0);
        // What panel 1 shows each time more rows are about to come.
        QStringList counts;
        connect(form.recordModel(), &QAbstractItemModel::rowsAboutToBeInserted, &form,
                [&] { counts.append(form.panelText(1)); });
        clickNode(form, node(form, 0));
        QCOMPARE(form.recordModel()->rowCount(), 1000);
        QCOMPARE(form.panelText(1), QStringLiteral("Records Count: 1000"));
        QVERIFY(counts.contains(QStringLiteral("Records Count: 100")));
        QVERIFY(counts.contains(QStringLiteral("Records Count: 300")));
        QVERIFY(counts.size() >= 3);
    }

    void theTreeAnswersClicksAnywhereAndTracksTheMouse()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        QVERIFY(QFile::remove(logPath(QStringLiteral("log1.txt"))));
        WriteFile(logPath(QStringLiteral("log1.txt")), Crlf({Line0, Line2}));
        // A click on alice's expand arrow lists the selected node again, as a click anywhere
        // on the tree does, and opens the node.
        const QRect alice = form.TreeView1->visualRect(node(form, 0));
        const QPoint arrow(alice.left() - form.TreeView1->indentation() / 2, alice.center().y());
        QSignalSpy listed(&form, &TForm1::listingFinished);
        QTest::mouseClick(form.TreeView1->viewport(), Qt::LeftButton, {}, arrow,
                          QApplication::doubleClickInterval() + 1);
        QVERIFY(listed.wait(5000));
        QVERIFY(form.TreeView1->isExpanded(node(form, 0)));
        QCOMPARE(form.recordModel()->rowCount(), 1);
        // So does a click on the empty space below the nodes, which keeps the selection.
        WriteFile(logPath(QStringLiteral("log1.txt")), SampleLog());
        const QPoint below(10, form.TreeView1->viewport()->height() - 5);
        QVERIFY(!form.TreeView1->indexAt(below).isValid());
        QTest::mouseClick(form.TreeView1->viewport(), Qt::LeftButton, {}, below,
                          QApplication::doubleClickInterval() + 1);
        QVERIFY(listed.wait(5000));
        QCOMPARE(form.recordModel()->rowCount(), 3);
        QCOMPARE(form.TreeView1->selectionModel()->selectedIndexes().value(0),
                 QModelIndex(node(form, 0)));

        // The node under the mouse is drawn apart from the others (hot tracking).
        const QRect bob = form.TreeView1->visualRect(node(form, 1));
        const auto drawn = [&] { return form.TreeView1->viewport()->grab(bob).toImage(); };
        QTest::mouseMove(form.TreeView1->viewport(), below);
        QTest::qWait(20);
        const QImage away = drawn();
        QTest::mouseMove(form.TreeView1->viewport(), bob.center());
        QTest::qWait(20);
        QVERIFY(drawn() != away);
    }

    void storedSizesFitTheScreen_data()
    {
        QTest::addColumn<QString>("sizes");
        QTest::newRow("extremes")
            << "Width=-2147483648\r\nHeight=2147483647\r\nSeparator=2147483647\r\n";
        QTest::newRow("a larger monitor") << "Width=2560\r\nHeight=1400\r\nSeparator=300\r\n";
    }

    void storedSizesFitTheScreen()
    {
        QFETCH(QString, sizes);
        writeConfig(sizes.toStdString());
        TForm1& form = openWindow();
        const QRect room = form.screen()->availableGeometry();
        QVERIFY(room.contains(form.frameGeometry().topLeft()));
        QVERIFY(form.width() <= room.width() && form.height() <= room.height());
        QVERIFY(form.width() >= 100 && form.height() >= 100);
        // The list pane keeps its 30 pixels beside the divider.
        QVERIFY(form.Panel4->width() >= 30);
        QVERIFY(form.Panel4->geometry().right() <= form.Splitter1->width());
    }

    void deletingALogFileAsksFirst()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);

        m_dialogs.answer = QMessageBox::No;
        QTest::mouseClick(form.DeleteLogButton, Qt::LeftButton);
        QCOMPARE(m_dialogs.questions.size(), 1);
        const ScriptedDialogs::Question& asked = m_dialogs.questions.first();
        QCOMPARE(asked.title, QStringLiteral("Confirm"));
        QCOMPARE(asked.text, QStringLiteral("Are you sure you want to delete log1.txt log file?"));
        QCOMPARE(asked.buttons, QMessageBox::Yes | QMessageBox::No);
        // One Enter keeps the file.
        QCOMPARE(asked.defaultButton, QMessageBox::No);
        QCOMPARE(asked.escapeButton, QMessageBox::No);
        QVERIFY(QFile::exists(logPath(QStringLiteral("log1.txt"))));
        QCOMPARE(form.ComboBox1->count(), 2);

        m_dialogs.answer = QMessageBox::Yes;
        QSignalSpy built(&form, &TForm1::loadFinished);
        QTest::mouseClick(form.DeleteLogButton, Qt::LeftButton);
        QVERIFY(built.count() > 0 || built.wait(10000));
        QVERIFY(!QFile::exists(logPath(QStringLiteral("log1.txt"))));
        // In the desktop's trash, from where the file manager can put it back.
        QCOMPARE(ReadFile(m_dataDir->filePath(QStringLiteral("Trash/files/log1.txt"))),
                 SampleLog());
        QVERIFY(
            QFile::exists(m_dataDir->filePath(QStringLiteral("Trash/info/log1.txt.trashinfo"))));
        QCOMPARE(form.DeletionNote->text(), QStringLiteral("Moved log1.txt to the trash."));
        QCOMPARE(form.ComboBox1->count(), 1);
        QCOMPARE(form.ComboBox1->currentText(), QStringLiteral("LOG2.TXT"));
        QCOMPARE(form.treeModel()->rowCount(), 1);
        QCOMPARE(form.panelText(0), QStringLiteral("Total Accounts: 1"));

        // The last file: the chooser empties, the tree stays, and the commands touch nothing.
        QTest::mouseClick(form.DeleteLogButton, Qt::LeftButton);
        QCOMPARE(form.ComboBox1->count(), 0);
        QCOMPARE(form.treeModel()->rowCount(), 1);
        QVERIFY(form.DeleteLogButton->isEnabled());
        clickNode(form, node(form, 0));
        QCOMPARE(form.recordModel()->rowCount(), 0);
        QCOMPARE(m_dialogs.questions.size(), 3);
        QTest::mouseClick(form.DeleteLogButton, Qt::LeftButton);
        QCOMPARE(m_dialogs.questions.size(), 3);
    }

    void aLogThatCannotBeDeletedStaysInTheChooser()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);
        m_dialogs.answer = QMessageBox::Yes;
        // Gone already: that is what was asked, so its item goes without a word.
        QVERIFY(QFile::remove(logPath(QStringLiteral("log1.txt"))));
        QSignalSpy built(&form, &TForm1::loadFinished);
        QTest::mouseClick(form.DeleteLogButton, Qt::LeftButton);
        QVERIFY(built.count() > 0 || built.wait(10000));
        QVERIFY(m_dialogs.errors.isEmpty());
        QCOMPARE(form.ComboBox1->count(), 1);
        QCOMPARE(form.ComboBox1->currentText(), QStringLiteral("LOG2.TXT"));

        // Something in its place that cannot be removed (a folder with a file in it), where no
        // trash can take it: the question says so, the failure is shown, and the chooser and
        // the tree stay as they were.
        QVERIFY(QFile::remove(logPath(QStringLiteral("LOG2.TXT"))));
        QVERIFY(QDir(m_logDir->path()).mkpath(QStringLiteral("LOG2.TXT/keep")));
        const QString noFolder = m_dataDir->filePath(QStringLiteral("a file"));
        WriteFile(noFolder, "x");
        qputenv("XDG_DATA_HOME", noFolder.toLocal8Bit());
        QTest::mouseClick(form.DeleteLogButton, Qt::LeftButton);
        QVERIFY(m_dialogs.questions.last().text.endsWith(
            QStringLiteral("There is no trash for it here: it will be deleted for good.")));
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().startsWith(QStringLiteral("Cannot delete file ")));
        QVERIFY(QFileInfo::exists(logPath(QStringLiteral("LOG2.TXT"))));
        QCOMPARE(form.ComboBox1->count(), 1);
        QCOMPARE(form.ComboBox1->currentIndex(), 0);
        QCOMPARE(form.treeModel()->rowCount(), 1);
        QVERIFY(form.ComboBox1->isEnabled() && form.ControlBar1->isEnabled());
    }

    void choosingAFolderStoresItAndRefillsTheChooser()
    {
        QTemporaryDir other;
        WriteFile(other.filePath(QStringLiteral("log9.txt")), Crlf({Line0}));
        TForm1& form = openWindow();
        pickLog(form, 0);

        m_dialogs.folder.clear();
        QTest::mouseClick(form.OpenButton, Qt::LeftButton);
        QCOMPARE(form.ComboBox1->count(), 2);

        m_dialogs.folder = other.path();
        QTest::mouseClick(form.OpenButton, Qt::LeftButton);
        QCOMPARE(form.ComboBox1->count(), 1);
        QCOMPARE(form.ComboBox1->currentIndex(), -1);
        // The tree still shows the log loaded before.
        QCOMPARE(form.treeModel()->rowCount(), 3);
        const std::string ini = ReadFile(appPath(QStringLiteral("config.ini")));
        QVERIFY(ini.find("LogDir=" + QFile::encodeName(other.path()).toStdString() + "\r\n") !=
                std::string::npos);
    }

    void closingStoresTheSizes()
    {
        writeConfig("Width=758\r\nHeight=502\r\nSeparator=300\r\n");
        {
            TForm1& form = openWindow();
            QCOMPARE(form.width(), 750);
            QCOMPARE(form.height(), 475);
            QCOMPARE(form.TreeView1->width(), 300);
            form.resize(900, 600);
            form.Splitter1->setSizes({202, 900 - 206});
            QTest::qWait(20);
            form.close();
        }
        const std::string ini = ReadFile(appPath(QStringLiteral("config.ini")));
        QVERIFY(ini.find("Width=908\r\n") != std::string::npos);
        QVERIFY(ini.find("Height=627\r\n") != std::string::npos);
        QVERIFY(ini.find("Separator=200\r\n") != std::string::npos);
        QVERIFY(ini.find("LogDir=") != std::string::npos);
    }

    void aTreePaneSnappedShutStaysShut()
    {
        {
            TForm1& form = openWindow();
            form.Splitter1->setSizes({0, form.Splitter1->width()});
            form.close();
        }
        QVERIFY(ReadFile(appPath(QStringLiteral("config.ini"))).find("Separator=0\r\n") !=
                std::string::npos);
        TForm1& form = openWindow();
        QCOMPARE(form.Splitter1->sizes().value(0), 0);
    }

    void closingWhileALogLoadsAndAListingRuns()
    {
        TForm1& form = openWindow();
        pickLog(form, 0);
        // A listing and a rebuild in flight when the window closes: the close waits for them,
        // stores the sizes, and their late results do no harm.
        QTest::mouseClick(form.TreeView1->viewport(), Qt::LeftButton, {},
                          form.TreeView1->visualRect(node(form, 0)).center(),
                          QApplication::doubleClickInterval() + 1);
        QTest::keyClick(form.ComboBox1, Qt::Key_Down);
        form.close();
        QTest::qWait(20);
        m_form.reset();
        QTest::qWait(20);
        QVERIFY(ReadFile(appPath(QStringLiteral("config.ini"))).find("Width=708\r\n") !=
                std::string::npos);
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        QCOMPARE(ReadFile(logPath(QStringLiteral("log1.txt"))), SampleLog());
    }

    void theSplitterSnapsTheTreePaneShut()
    {
        TForm1& form = openWindow();
        QSplitterHandle* handle = form.Splitter1->handle(1);
        const QPoint grip(handle->width() / 2, handle->height() / 2);
        const auto drag = [&](int to) {
            const int from = form.Splitter1->sizes().value(0);
            QTest::mousePress(handle, Qt::LeftButton, {}, grip);
            QTest::mouseMove(handle, grip + QPoint(to - from, 0));
            QTest::mouseRelease(handle, Qt::LeftButton, {}, grip + QPoint(to - from, 0));
        };
        drag(100);
        QCOMPARE(form.Splitter1->sizes().value(0), 100);
        drag(31);
        QCOMPARE(form.Splitter1->sizes().value(0), 31);
        drag(29);
        QCOMPARE(form.Splitter1->sizes().value(0), 0);
    }

    void doubleClickOpensOnlyWebAddresses()
    {
        UrlCatcher catcher;
        for (const char* scheme : {"http", "https", "ftp", "file"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &catcher, "open");
        TForm1& form = openWindow();
        pickLog(form, 0);
        clickNode(form, node(form, 0));
        const auto doubleClick = [&](int row) {
            const QRect rect = form.ListView1->visualRect(form.recordModel()->index(row, 2));
            QTest::mouseClick(form.ListView1->viewport(), Qt::LeftButton, {}, rect.center());
            QTest::mouseDClick(form.ListView1->viewport(), Qt::LeftButton, {}, rect.center());
        };
        doubleClick(0);
        QCOMPARE(catcher.opened.size(), 1);
        QCOMPARE(catcher.opened.first(),
                 QUrl(QStringLiteral("http://dl1.example.com/files/setup.zip")));
        // A tunnelled request's host and port is no address to open. A note says why, and the
        // status panels stay in view beside it.
        doubleClick(1);
        QCOMPARE(catcher.opened.size(), 1);
        QVERIFY(m_dialogs.errors.isEmpty());
        QVERIFY(QToolTip::isVisible());
        QVERIFY(QToolTip::text().startsWith(QStringLiteral("Only http, https and ftp")));
        QCOMPARE(form.panelText(1), QStringLiteral("Records Count: 3"));
        for (const char* scheme : {"http", "https", "ftp", "file"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

    void theLayoutHasItsControlsInPlace()
    {
        TForm1& form = openWindow();
        // The toolbar in screen order: caption, left edge, enabled at start.
        const struct
        {
            TPngSpeedButton* button;
            const char* caption;
            int left;
            bool enabled;
        } buttons[] = {
            {form.OpenButton, "Open Log Folder", 0, true},
            {form.DeleteLogButton, "Delete Log File", 130, false},
            {form.DeleteButton, "Delete Record or Node", 260, false},
            {form.FMButton, "Filter Manager", 390, true},
            {form.PngSpeedButton1, "Software Version", 520, true},
        };
        for (const auto& b : buttons) {
            QCOMPARE(b.button->caption(), QString::fromLatin1(b.caption));
            QCOMPARE(b.button->geometry(), QRect(b.left, 0, 130, 50));
            QCOMPARE(b.button->parentWidget(), form.Panel3);
            QCOMPARE(b.button->isEnabled(), b.enabled);
            QCOMPARE(b.button->focusPolicy(), Qt::NoFocus);
        }
        QCOMPARE(form.Panel3->parentWidget(), form.ControlBar1);
        QCOMPARE(form.ControlBar1->height(), 54);
        QCOMPARE(form.StatusBar1->height(), 19);

        // Three status panels of 120, 180 and 120 pixels from the left edge, nothing after
        // them but the note of the last deletion and the size grip.
        QList<QLabel*> panels = form.StatusBar1->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
        panels.removeOne(form.DeletionNote);
        QVERIFY(form.DeletionNote->x() >= 420);
        std::sort(panels.begin(), panels.end(),
                  [](QLabel* a, QLabel* b) { return a->x() < b->x(); });
        QCOMPARE(panels.size(), 3);
        QCOMPARE(panels[0]->geometry(), QRect(0, 0, 120, 19));
        QCOMPARE(panels[1]->geometry(), QRect(120, 0, 180, 19));
        QCOMPARE(panels[2]->geometry(), QRect(300, 0, 120, 19));
        for (QWidget* child : form.StatusBar1->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            QVERIFY(!child->isVisible() || qobject_cast<QSizeGrip*>(child) ||
                    child == form.DeletionNote || child->geometry().right() < 420);

        // Nesting of the panes.
        QCOMPARE(form.ComboBox1->parentWidget(), form.Panel2);
        QCOMPARE(form.Panel2->parentWidget(), form.Panel1);
        QCOMPARE(form.TreeView1->parentWidget(), form.Panel1);
        QCOMPARE(form.ListView1->parentWidget(), form.Panel4);
        QCOMPARE(form.ProcessPanel->parentWidget(), form.Panel4);
        QCOMPARE(form.GroupBox1->parentWidget(), form.ProcessPanel);
        QCOMPARE(form.Animate1->parentWidget(), form.GroupBox1);
        QCOMPARE(form.PB->parentWidget(), form.GroupBox1);
        QCOMPARE(form.Splitter1->widget(0), form.Panel1);
        QCOMPARE(form.Splitter1->widget(1), form.Panel4);
        QCOMPARE(form.ProcessPanel->size(), QSize(367, 170));
        QCOMPARE(form.Panel2->height(), 30);
        QCOMPARE(form.Panel1->width(), 245);
        QCOMPARE(form.size(), QSize(700, 425));
        QCOMPARE(form.TreeView1->indentation(), 19);
        QCOMPARE(form.ComboBox1->maxVisibleItems(), 15);
        QCOMPARE(form.ComboBox1->view()->sizeHintForRow(0), 16);
        QCOMPARE(form.ListView1->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(form.ListView1->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(form.GroupBox1->title(), QStringLiteral("Processing..."));
        const QStringList captions{QStringLiteral("Date"), QStringLiteral("Connection Type"),
                                   QStringLiteral("URL")};
        const int widths[] = {130, 80, 400};
        for (int column = 0; column < 3; ++column) {
            QCOMPARE(form.recordModel()->headerData(column, Qt::Horizontal).toString(),
                     captions[column]);
            QCOMPARE(form.ListView1->header()->sectionSize(column), widths[column]);
        }

        // The colours as they reach the screen: the pale yellow tree, the white list.
        const QPoint blank(10, form.TreeView1->viewport()->height() - 10);
        QCOMPARE(form.TreeView1->viewport()->grab().toImage().pixelColor(blank),
                 QColor(252, 238, 176));
        const QPoint listBlank(10, form.ListView1->viewport()->height() - 10);
        QCOMPARE(form.ListView1->viewport()->grab().toImage().pixelColor(listBlank),
                 QColor(Qt::white));
    }

    void theCommandsAreGuardedWhileABuildAndAListingRun()
    {
        TForm1& form = openWindow();
        const auto waitCursor = [] {
            return QGuiApplication::overrideCursor() &&
                   QGuiApplication::overrideCursor()->shape() == Qt::WaitCursor;
        };
        // The results come back through the event loop, so until it runs the window shows
        // the states of a build in progress.
        QSignalSpy built(&form, &TForm1::loadFinished);
        form.ComboBox1->setCurrentIndex(0);
        form.ComboBox1Change();
        QVERIFY(!form.ComboBox1->isEnabled() && !form.ControlBar1->isEnabled());
        QVERIFY(!form.DeleteButton->isEnabled() && !form.DeleteLogButton->isEnabled());
        QVERIFY(waitCursor());
        QCOMPARE(form.treeModel()->rowCount(), 0);
        QVERIFY(built.wait(10000));
        QVERIFY(form.ComboBox1->isEnabled() && form.ControlBar1->isEnabled());
        QVERIFY(form.DeleteLogButton->isEnabled() && !form.DeleteButton->isEnabled());
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);

        // A listing: DeleteButton off and the hourglass; the chooser and toolbar stay usable.
        QSignalSpy listed(&form, &TForm1::listingFinished);
        const auto select = [&](const QModelIndex& index) {
            form.TreeView1->selectionModel()->setCurrentIndex(index,
                                                              QItemSelectionModel::ClearAndSelect);
        };
        select(node(form, 0));
        form.TreeView1Click();
        QVERIFY(ListingBusy);
        QVERIFY(!form.DeleteButton->isEnabled());
        QVERIFY(form.ComboBox1->isEnabled() && form.ControlBar1->isEnabled());
        QVERIFY(waitCursor());
        // A second click meanwhile is turned away, status bar and all.
        select(node(form, 1));
        form.TreeView1Click();
        QCOMPARE(form.panelText(2), QStringLiteral("Selected User: alice"));
        QVERIFY(listed.wait(10000));
        QTest::qWait(20);
        QCOMPARE(listed.count(), 1);
        QCOMPARE(form.recordModel()->rowCount(), 3);
        QVERIFY(!ListingBusy && form.DeleteButton->isEnabled());
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    }

    void textsAreShownInTheConfiguredCodePage()
    {
        // A UTF-8 user name shows as UTF-8 whatever the code page; other bytes in the code page.
        const std::string zhora = "\xd0\x96\xd0\xbe\xd1\x80\xd0\xb0"; // "Жора" in UTF-8
        WriteFile(logPath(QStringLiteral("log1.txt")),
                  Crlf({Line4, "10.0.0.9 - " + zhora +
                                   " [07/Dec/2026:03:48:00 +0800] \"GET "
                                   "http://mail.example.com/ HTTP/1.1\" \"HTTP\""}));
        writeConfig("CodePage=1252\r\n");
        {
            TForm1& form = openWindow();
            QCOMPARE(form.codePage(), 1252);
            pickLog(form, 0);
            QCOMPARE(node(form, 0).data().toString(), QStringLiteral("Èâàí"));
            QCOMPARE(node(form, 0).data(LogTreeModel::BytesRole).toByteArray(), Bytes(Ivan));
            QCOMPARE(node(form, 1).data().toString(), QStringLiteral("Жора"));
            // Listing matches the node's bytes, not the text shown.
            clickNode(form, node(form, 0));
            QCOMPARE(form.recordModel()->rowCount(), 1);
            QCOMPARE(form.panelText(2), QStringLiteral("Selected User: Èâàí"));
            form.close();
        }
        // The key is read, never written.
        const std::string ini = ReadFile(appPath(QStringLiteral("config.ini")));
        const std::size_t key = ini.find("CodePage=1252\r\n");
        QVERIFY(key != std::string::npos);
        QCOMPARE(ini.find("CodePage", key + 1), std::string::npos);
        QVERIFY(ini.find("Width=708\r\n") != std::string::npos);
    }

    void onlyWebAddressesWithAHostAreOpenable_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("openable");
        QTest::newRow("http") << "http://example.com/a?b=c" << true;
        QTest::newRow("https, upper case scheme") << "HTTPS://Example.com/" << true;
        QTest::newRow("ftp with a user") << "ftp://mirror@ftp.example.org/pub/x.iso" << true;
        QTest::newRow("spaces around") << "  http://example.com/  " << true;
        // Characters that browsers send but the URL grammar does not allow unescaped.
        QTest::newRow("bar in a query") << "http://fonts.example.com/css?family=A|B" << true;
        QTest::newRow("braces in a path") << "http://api.example.com/v1/{id}/x" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("host and port") << "secure.example.com:443" << false;
        QTest::newRow("bare host") << "example.com" << false;
        QTest::newRow("file") << "file:///etc/passwd" << false;
        QTest::newRow("javascript") << "javascript:alert(1)" << false;
        QTest::newRow("mailto") << "mailto:a@example.com" << false;
        QTest::newRow("no host") << "http:///etc/passwd" << false;
        QTest::newRow("smb") << "smb://server/share" << false;
        QTest::newRow("space in the host") << "http://a b" << false;
    }

    void onlyWebAddressesWithAHostAreOpenable()
    {
        QFETCH(QString, text);
        QFETCH(bool, openable);
        QString reason;
        const QUrl url = SafeOpenableUrl(text, &reason);
        QCOMPARE(url.isValid(), openable);
        // A refusal always says why.
        QCOMPARE(reason.isEmpty(), openable);
    }

    void theAboutBoxAndTheFilterManagerAreModal()
    {
        TForm1& form = openWindow();
        QTest::mouseClick(form.PngSpeedButton1, Qt::LeftButton);
        QCOMPARE(m_dialogs.modalTitles.value(0), QStringLiteral("About Software"));
        // Title line, blank, description, blank, three lines of credits.
        const QStringList lines = m_dialogs.modalTexts.value(0).split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 7);
        QCOMPARE(lines[0], QStringLiteral("Qelt Viewer 2.5 build 0716"));
        QVERIFY(lines[1].isEmpty() && lines[3].isEmpty());
        for (int line : {2, 4, 5, 6})
            QVERIFY(!lines[line].isEmpty());
        QCOMPARE(m_dialogs.modalIcons.value(0), QMessageBox::Information);
        QCOMPARE(m_dialogs.modalButtons.value(0), QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(m_dialogs.modalities.value(0), Qt::ApplicationModal);
        QVERIFY(!m_dialogs.modalOwned.value(0));
        QTest::mouseClick(form.FMButton, Qt::LeftButton);
        QCOMPARE(m_dialogs.modalTitles.value(1), QStringLiteral("Filter Manager"));
        // The filter manager is owned by the main window.
        QVERIFY(m_dialogs.modalOwned.value(1));
    }

    void treeNodeStyles_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<bool>("selected");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<QColor>("color");
        const QColor menu = QApplication::palette("QMenu").color(QPalette::Window);
        QTest::newRow("user") << 0 << false << true << QColor(0, 0, 128);
        QTest::newRow("selected user") << 0 << true << true << menu;
        QTest::newRow("host") << 1 << false << false << QColor(Qt::black);
        QTest::newRow("selected host") << 1 << true << false << menu;
        QTest::newRow("deeper") << 2 << false << false << QColor(0, 0, 128);
    }

    void treeNodeStyles()
    {
        QFETCH(int, level);
        QFETCH(bool, selected);
        const TreeNodeStyleResult style = TreeNodeStyle(level, selected);
        QTEST(style.bold, "bold");
        QTEST(style.color, "color");
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
