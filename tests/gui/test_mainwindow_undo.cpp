// Undoing deletions in the main window: Ctrl+Z takes back the latest recorded deletion of the
// chosen log, made in the window or by qeltlog, and the tree and the list show the lines again.

#include "Unit1/LogTreeModel.h"
#include "Unit1/RecordModel.h"
#include "Unit1/Unit1.h"
#include "logaccess/Deletion.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogRewrite.h"
#include "logaccess/UndoJournal.h"
#include "widgets/Dialogs.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <fstream>
#include <memory>
#include <sstream>

namespace {

class ScriptedDialogs : public Dialogs
{
public:
    QStringList errors;
    void showError(QWidget*, const QString& message) override { errors.append(message); }
    QMessageBox::StandardButton question(QWidget*, const QString&, const QString&,
                                         QMessageBox::StandardButtons, QMessageBox::StandardButton,
                                         QMessageBox::StandardButton escapeButton) override
    {
        return escapeButton;
    }
};

std::string line(const std::string& user, const std::string& url)
{
    return "10.0.0.5 - " + user + " [07/Dec/2026:03:44:43 +0800] \"GET " + url +
           " HTTP/1.1\" \"HTTP\"";
}

void writeFile(const QString& path, const std::string& bytes)
{
    std::ofstream out(QFile::encodeName(path).toStdString(), std::ios::binary);
    out << bytes;
}

std::string readFile(const QString& path)
{
    std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

class TestMainWindowUndo : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    ScriptedDialogs m_dialogs;
    std::unique_ptr<TForm1> m_form;

    QString path(const char* name) const { return m_dir->filePath(QLatin1String(name)); }

    TForm1& openOnLog()
    {
        m_form = std::make_unique<TForm1>(QFile::encodeName(path("app")).toStdString() + "/");
        QSignalSpy built(m_form.get(), &TForm1::loadFinished);
        m_form->show();
        m_form->activateWindow();
        if (!QTest::qWaitForWindowActive(m_form.get()))
            qWarning("window not active");
        m_form->ComboBox1->setCurrentIndex(0);
        m_form->LoadSelectedLog();
        if (built.count() == 0)
            built.wait(10000);
        return *m_form;
    }

    // Ctrl+Z, and the rebuild of the tree that a successful undo starts.
    void pressUndo(TForm1& form, bool rebuilds)
    {
        QSignalSpy undone(&form, &TForm1::deletionFinished);
        QSignalSpy built(&form, &TForm1::loadFinished);
        QTest::keyClick(&form, Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(undone.count() > 0 || undone.wait(10000));
        if (rebuilds) {
            QVERIFY(built.count() > 0 || built.wait(10000));
            QSignalSpy listed(&form, &TForm1::listingFinished);
            QVERIFY(listed.count() > 0 || listed.wait(10000));
        }
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("app")));
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("logs")));
        qputenv("XDG_STATE_HOME", QFile::encodeName(path("state")));
        writeFile(path("app/config.ini"),
                  "[Logger]\r\nLogDir=" + QFile::encodeName(path("logs")).toStdString() + "\r\n");
        m_dialogs = ScriptedDialogs();
        Dialogs::setInstance(&m_dialogs);
    }

    void cleanup()
    {
        m_form.reset();
        Dialogs::setInstance(nullptr);
    }

    void ctrlZTakesBackADeletionMadeElsewhereAndListsItsNodeAgain()
    {
        const std::string before = line("bob", "http://b.example/1") + "\r\n" +
                                   line("alice", "http://a.example/1") + "\n" +
                                   line("bob", "http://b.example/2") + "\r\n" +
                                   line("alice", "http://a.example/2") + "\r\n";
        writeFile(path("logs/log1.txt"), before);
        TForm1& form = openOnLog();
        QCOMPARE(form.UndoAction->shortcut(), QKeySequence(QKeySequence::Undo));
        // Also offered where the window offers its commands: the right-click menus.
        for (const char* menu : {"RowMenu", "NodeMenu"})
            QVERIFY(
                form.findChild<QMenu*>(QLatin1String(menu))->actions().contains(form.UndoAction));
        QCOMPARE(form.treeModel()->rowCount(), 2);

        // qeltlog removes alice's two lines meanwhile, recording them in the shared journal.
        {
            const std::string log = QFile::encodeName(path("logs/log1.txt")).toStdString();
            const qelt::LogFile file(log);
            qelt::KeptText kept;
            const std::size_t second = before.find("\n") + 1;
            const std::size_t third = before.find("\n", second) + 1;
            const std::size_t fourth = before.find("\r\n", third) + 2;
            kept.ranges = {{0, second}, {third, fourth}};
            kept.removedLines = 2;
            qelt::CommitDeletion(qelt::UndoJournal::ForAppDir({}), file,
                                 qelt::TakeLogSnapshot(file), file.text(), kept, {"alice", ""});
        }
        QCOMPARE(readFile(path("logs/log1.txt")), line("bob", "http://b.example/1") + "\r\n" +
                                                      line("bob", "http://b.example/2") + "\r\n");

        pressUndo(form, true);
        QVERIFY(m_dialogs.errors.isEmpty());
        // Every line where it stood, each ending with CR LF.
        QCOMPARE(readFile(path("logs/log1.txt")), line("bob", "http://b.example/1") + "\r\n" +
                                                      line("alice", "http://a.example/1") + "\r\n" +
                                                      line("bob", "http://b.example/2") + "\r\n" +
                                                      line("alice", "http://a.example/2") + "\r\n");
        QCOMPARE(form.DeletionNote->text(), QStringLiteral("Restored 2 lines of alice."));
        const QModelIndex current = form.TreeView1->currentIndex();
        QCOMPARE(form.treeModel()->nodeText(current), std::string("alice"));
        QCOMPARE(form.recordModel()->rowCount(), 2);

        // Nothing more to undo: said so, nothing changes.
        const std::string restored = readFile(path("logs/log1.txt"));
        pressUndo(form, false);
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().contains(
            QStringLiteral("There is no recorded deletion to undo.")));
        QCOMPARE(readFile(path("logs/log1.txt")), restored);
        QCOMPARE(form.recordModel()->rowCount(), 2);
    }

    void aDeletionInTheWindowSaysWhatWentAndCtrlZPutsItBack()
    {
        const std::string before = line("alice", "http://a.example/1") + "\r\n" +
                                   line("bob", "http://b.example/1") + "\n" +
                                   line("alice", "http://a.example/2") + "\r\n";
        const std::string crlf = line("alice", "http://a.example/1") + "\r\n" +
                                 line("bob", "http://b.example/1") + "\r\n" +
                                 line("alice", "http://a.example/2") + "\r\n";
        writeFile(path("logs/log1.txt"), before);
        TForm1& form = openOnLog();
        const QModelIndex alice = form.treeModel()->index(0, 0);
        QCOMPARE(form.treeModel()->nodeText(alice), std::string("alice"));

        // The node branch.
        form.TreeView1->setFocus();
        form.TreeView1->selectionModel()->setCurrentIndex(alice,
                                                          QItemSelectionModel::ClearAndSelect);
        QSignalSpy deleted(&form, &TForm1::deletionFinished);
        form.DeleteButtonClick();
        QVERIFY(deleted.count() > 0 || deleted.wait(10000));
        QCOMPARE(readFile(path("logs/log1.txt")), line("bob", "http://b.example/1") + "\r\n");
        QCOMPARE(form.DeletionNote->text(),
                 QStringLiteral("Deleted 2 lines of alice. Ctrl+Z undoes it."));
        pressUndo(form, true);
        QCOMPARE(readFile(path("logs/log1.txt")), crlf);
        QCOMPARE(form.recordModel()->rowCount(), 2);

        // The record branch, on the rows that the undo listed again.
        form.ListView1->setFocus();
        form.ListView1->selectionModel()->select(form.recordModel()->index(1, 0),
                                                 QItemSelectionModel::ClearAndSelect |
                                                     QItemSelectionModel::Rows);
        QSignalSpy rowsDeleted(&form, &TForm1::deletionFinished);
        form.DeleteButtonClick();
        QVERIFY(rowsDeleted.count() > 0 || rowsDeleted.wait(10000));
        QCOMPARE(readFile(path("logs/log1.txt")), line("alice", "http://a.example/1") + "\r\n" +
                                                      line("bob", "http://b.example/1") + "\r\n");
        QCOMPARE(form.DeletionNote->text(),
                 QStringLiteral("Deleted 1 line of alice. Ctrl+Z undoes it."));
        pressUndo(form, true);
        QCOMPARE(readFile(path("logs/log1.txt")), crlf);
        QCOMPARE(form.DeletionNote->text(), QStringLiteral("Restored 1 line of alice."));
        QVERIFY(m_dialogs.errors.isEmpty());
    }
};

QTEST_MAIN(TestMainWindowUndo)
#include "test_mainwindow_undo.moc"
