// Shows the main window on a sample log with a user listed and its rows coloured by filter
// groups, checks that the colours reach the screen, and saves pictures of the window.
// With QELT_SCREENSHOT_DIR set (scripts/screenshot does it under Xvfb) the pictures are kept
// there; otherwise they go to a temporary folder.

#include "Unit1/LogTreeModel.h"
#include "Unit1/RecordModel.h"
#include "Unit1/Unit1.h"
#include "filters/FilterStore.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <fstream>

namespace {

void WriteFile(const QString& path, const std::string& bytes)
{
    std::ofstream out(QFile::encodeName(path).toStdString(), std::ios::binary);
    out << bytes;
}

std::string Request(const std::string& user, const std::string& time, const std::string& request,
                    const std::string& type)
{
    return "10.0.0.5 - " + user + " [07/Dec/2026:" + time + " +0800] \"" + request + "\" \"" +
           type + "\"\r\n";
}

std::string SampleLog()
{
    std::string log;
    log +=
        Request("alice", "09:00:01", "GET http://dl1.example.com/files/setup.zip HTTP/1.1", "HTTP");
    log += Request("alice", "09:00:07", "CONNECT secure.example.com:443 HTTP/1.0", "HTTPS");
    log += Request("alice", "09:01:12", "GET http://news.example.net/index.html HTTP/1.1", "HTTP");
    log += Request("alice", "09:02:40", "GET http://docs.example.org/manual.pdf HTTP/1.1", "HTTP");
    log += Request("alice", "09:03:05", "GET http://video.example.tv/live/stream HTTP/1.1", "HTTP");
    log += Request("alice", "09:03:06", "GET http://video.example.tv/live/chunk2 HTTP/1.1", "HTTP");
    log += Request("alice", "09:04:51", "RETR ftp://mirror@ftp.example.org/pub/iso/disk1.iso\"",
                   "FTP");
    log += Request("bob", "09:05:00", "GET http://www.example.com/ HTTP/1.1", "HTTP");
    log += Request("bob", "09:05:30", "CONNECT mail.example.com:993 HTTP/1.0", "SOCKS5");
    log += Request("carol", "09:06:10", "GET http://shop.example.com/cart HTTP/1.1", "HTTP");
    return log;
}

} // namespace

class TestMainWindowScreenshot : public QObject
{
    Q_OBJECT

private slots:
    void coloredRowsReachTheScreen()
    {
        QTemporaryDir appDir;
        QTemporaryDir logDir;
        QTemporaryDir scratch;
        const QString outDir = qEnvironmentVariableIsSet("QELT_SCREENSHOT_DIR")
                                   ? qEnvironmentVariable("QELT_SCREENSHOT_DIR")
                                   : scratch.path();
        QVERIFY(QDir().mkpath(outDir));
        WriteFile(logDir.filePath(QStringLiteral("log1.txt")), SampleLog());
        WriteFile(logDir.filePath(QStringLiteral("log2.txt")),
                  Request("dave", "10:00:00", "GET http://a.b/ HTTP/1.1", "HTTP"));
        WriteFile(appDir.filePath(QStringLiteral("config.ini")),
                  "[Logger]\r\nLogDir=" + QFile::encodeName(logDir.path()).toStdString() +
                      "\r\nSeparator=150\r\nWidth=800\r\nHeight=500\r\n");
        const std::string app = QFile::encodeName(appDir.path()).toStdString() + "/";
        qelt::FilterStore store(app);
        QVERIFY(store.AddGroup("Downloads", 0x0080FF)); // orange
        QVERIFY(store.AddGroup("Video", 0xFFC0C0));     // light blue
        QVERIFY(store.AddGroup("Secure", 0x80FF80));    // light green
        QVERIFY(store.AddFilter("Downloads", ".zip"));
        QVERIFY(store.AddFilter("Downloads", ".iso"));
        QVERIFY(store.AddFilter("Video", "video."));
        QVERIFY(store.AddFilter("Secure", "secure."));

        TForm1 form(app);
        form.show();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        QSignalSpy built(&form, &TForm1::loadFinished);
        form.ComboBox1->setFocus();
        QTest::keyClick(form.ComboBox1, Qt::Key_Down);
        QVERIFY(built.count() > 0 || built.wait(10000));
        QCOMPARE(form.treeModel()->rowCount(), 3);
        form.TreeView1->expandAll();
        QTest::qWait(100);
        QVERIFY(form.grab().save(QDir(outDir).filePath(QStringLiteral("viewer-tree.png"))));

        QSignalSpy listed(&form, &TForm1::listingFinished);
        const QModelIndex alice = form.treeModel()->index(0, 0);
        QTest::mouseClick(form.TreeView1->viewport(), Qt::LeftButton, {},
                          form.TreeView1->visualRect(alice).center());
        QVERIFY(listed.count() > 0 || listed.wait(10000));
        QCOMPARE(form.recordModel()->rowCount(), 7);
        form.ListView1->selectionModel()->select(form.recordModel()->index(2, 0),
                                                 QItemSelectionModel::ClearAndSelect |
                                                     QItemSelectionModel::Rows);
        QTest::qWait(100);
        const QImage window = form.grab().toImage();
        QVERIFY(window.save(QDir(outDir).filePath(QStringLiteral("viewer-listing.png"))));

        // The coloured rows show their group colours on screen.
        const auto pixelOfRow = [&](int row) {
            const QRect cell = form.ListView1->visualRect(form.recordModel()->index(row, 2));
            const QPoint at = form.ListView1->viewport()->mapTo(
                &form, QPoint(cell.right() - 4, cell.center().y()));
            return window.pixelColor(at);
        };
        QCOMPARE(pixelOfRow(0), QColor(255, 128, 0));
        QCOMPARE(pixelOfRow(1), QColor(128, 255, 128));
        QCOMPARE(pixelOfRow(3), QColor(Qt::white));
        QCOMPARE(pixelOfRow(4), QColor(192, 192, 255));
        QCOMPARE(pixelOfRow(6), QColor(255, 128, 0));
    }
};

QTEST_MAIN(TestMainWindowScreenshot)
#include "test_mainwindow_screenshot.moc"
