// Shows the main window on a sample log with a user listed and its rows coloured by filter
// groups, checks that the colours reach the screen, and saves pictures of the window.
// With QELT_SCREENSHOT_DIR set (scripts/screenshot does it under Xvfb) the pictures are kept
// there; otherwise they go to a temporary folder.

#include "StatsView/StatsWindow.h"
#include "Unit1/LogTreeModel.h"
#include "Unit1/RecordModel.h"
#include "Unit1/Unit1.h"
#include "filters/FilterStore.h"

#include "test_files.h"

#include <QChartView>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <cmath>
#include <fstream>
#include <random>

namespace {

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

// Three days of a busy office: a few users do most of the requests, most of them to a few
// popular hosts, fewer at night.
std::string BusyLog()
{
    std::mt19937 random(7);
    const char* const users[] = {"alice", "bob",   "carol", "dave", "erin",    "frank",
                                 "grace", "heidi", "ivan",  "judy", "mallory", "oscar"};
    const std::string hosts[] = {
        "www.example.com",     "cdn.example.net",
        "mail.example.org",    "news.example.net",
        "video.example.tv",    "edge-cache-node-0042.region-eu-west.delivery.example.io",
        "docs.example.org",    "shop.example.com",
        "api.example.com",     "maps.example.com",
        "static.example.net",  "update.example.com",
        "ftp.example.org",     "chat.example.com",
        "weather.example.com", "forum.example.net",
        "bank.example.com",    "search.example.com",
        "photos.example.net",  "music.example.tv",
        "wiki.example.org",    "games.example.com",
        "sport.example.net",   "radio.example.tv"};
    const char* const kinds[] = {"HTTP", "HTTP", "HTTP", "HTTPS", "HTTPS", "FTP", "SOCKS5"};
    std::string log;
    for (int day = 7; day <= 9; ++day) {
        for (int hour = 0; hour < 24; ++hour) {
            const int busy = hour >= 8 && hour < 19 ? 120 : hour >= 19 && hour < 23 ? 50 : 12;
            for (int i = 0; i < busy * (day == 9 ? 2 : 3); ++i) {
                const auto zipf = [&](std::size_t n) {
                    const double u = std::uniform_real_distribution<double>(0, 1)(random);
                    return std::min(n - 1, static_cast<std::size_t>(std::pow(double(n), u) - 1));
                };
                const std::string user = users[zipf(std::size(users))];
                const std::string host = hosts[zipf(std::size(hosts))];
                const std::string kind = kinds[random() % std::size(kinds)];
                char time[16];
                std::snprintf(time, sizeof time, "%02d:%02d:%02d", hour,
                              static_cast<int>(random() % 60), static_cast<int>(random() % 60));
                const std::string request =
                    kind == "HTTP"  ? "GET http://" + host + "/index.html HTTP/1.1"
                    : kind == "FTP" ? "RETR ftp://anonymous@" + host + "/pub/file.iso\""
                                    : "CONNECT " + host + ":443 HTTP/1.0";
                log += "10.0.0." + std::to_string(5 + random() % 40) + " - " + user + " [0" +
                       std::to_string(day) + "/Dec/2026:" + time + " +0800] \"" + request +
                       "\" \"" + kind + "\"\r\n";
            }
        }
    }
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

    // The statistics window of a log, of a user and of a host: its charts reach the screen in
    // their colour, and pictures of the charts and the hosts table are kept.
    void statisticsWindowPictures()
    {
        QTemporaryDir logDir;
        QTemporaryDir scratch;
        const QString outDir = qEnvironmentVariableIsSet("QELT_SCREENSHOT_DIR")
                                   ? qEnvironmentVariable("QELT_SCREENSHOT_DIR")
                                   : scratch.path();
        const QString path = logDir.filePath(QStringLiteral("log1.txt"));
        WriteFile(path, BusyLog());
        const struct
        {
            qelt::StatsScope scope;
            const char* name;
        } scopes[] = {{qelt::StatsScope::ForAll(), "log"},
                      {qelt::StatsScope::ForUser("alice"), "user"},
                      {qelt::StatsScope::ForHost("bob", "www.example.com"), "host"}};
        const QStringList tabs = {QStringLiteral("hours"), QStringLiteral("days"),
                                  QStringLiteral("top-hosts"), QStringLiteral("hosts")};
        for (const auto& scope : scopes) {
            auto* window =
                new StatsWindow({QFile::encodeName(path).toStdString()}, scope.scope, 1251);
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window));
            QSignalSpy ready(window, &StatsWindow::statsReady);
            QVERIFY(!window->isCounting() || ready.wait(20000));
            for (int tab = 0; tab < tabs.size(); ++tab) {
                window->tabs()->setCurrentIndex(tab);
                QTest::qWait(50);
                const QImage picture = window->grab().toImage();
                QVERIFY(picture.save(QDir(outDir).filePath(
                    QStringLiteral("stats-%1-%2.png").arg(QLatin1String(scope.name), tabs[tab]))));
                if (tab > 2)
                    continue;
                // The bars' blue, in the middle of the chart's plot.
                const QChart* chart = window->chartView(StatsWindow::Chart(tab))->chart();
                QChartView* view = window->chartView(StatsWindow::Chart(tab));
                int bar = 0;
                const QRect plot = view->mapFromScene(chart->plotArea()).boundingRect();
                for (int y = plot.top(); y < plot.bottom(); y += 2) {
                    for (int x = plot.left(); x < plot.right(); x += 2) {
                        const QPoint at = view->viewport()->mapTo(window, QPoint(x, y));
                        bar += picture.pixelColor(at) == QColor(0x3a, 0x6e, 0xa5);
                    }
                }
                QVERIFY2(bar > 50, qPrintable(tabs[tab]));
            }
            window->close();
        }
    }
};

QTEST_MAIN(TestMainWindowScreenshot)
#include "test_mainwindow_screenshot.moc"
