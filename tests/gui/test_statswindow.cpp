// The statistics window over a generated log: its numbers against the core's count, sorting,
// the exports, and a click on a host that selects the host's node in the main window.

#include "StatsView/StatsWindow.h"
#include "Unit1/LogTreeModel.h"
#include "Unit1/Unit1.h"
#include "Unit1/WindowActions.h"
#include "logaccess/LogStats.h"
#include "widgets/Dialogs.h"

#include <QAbstractItemModelTester>
#include <QChartView>
#include <QComboBox>
#include <QFile>
#include <QGraphicsSimpleTextItem>
#include <QImage>
#include <QMenu>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <fstream>
#include <random>

namespace {

class QuietDialogs : public Dialogs
{
public:
    QStringList errors;
    void showError(QWidget*, const QString& message) override { errors << message; }
};

// A log of a few dozen users and hosts over three days, every connection type.
std::string generatedLog()
{
    std::mt19937 random(17);
    const char* const kinds[] = {"HTTP", "HTTPS", "FTP", "POP3", "MAP", "SOCKS5"};
    std::string text;
    for (int i = 0; i < 6000; ++i) {
        const std::string user = "user" + std::to_string(random() % 30);
        const std::string host = "host" + std::to_string(random() % (1 + random() % 60)) + ".org";
        const std::string kind = kinds[random() % 6];
        char date[40];
        std::snprintf(date, sizeof date, "%02d/Dec/2026:%02d:%02d:00 +0300", 7 + i / 2000,
                      static_cast<int>(random() % 24), static_cast<int>(random() % 60));
        std::string request;
        if (kind == "HTTP")
            request = "GET http://" + host + "/p HTTP/1.1";
        else if (kind == "FTP")
            request = "RETR ftp://u@" + host;
        else if (kind == "POP3")
            request = "RETR Host:" + host + "-User:x";
        else
            request = "CONNECT " + host + ":443 HTTP/1.0";
        text += "10.0.0.1 - " + user + " [" + date + "] \"" + request + "\" \"" + kind + "\"\r\n";
    }
    return text;
}

std::vector<std::string> readLines(const QString& path)
{
    std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

} // namespace

class TestStatsWindow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QuietDialogs m_dialogs;
    std::string m_log;

    std::string logPath() const
    {
        return QFile::encodeName(m_dir.filePath(QStringLiteral("log1.txt"))).toStdString();
    }

    static void waitForStats(StatsWindow& window)
    {
        QSignalSpy ready(&window, &StatsWindow::statsReady);
        QVERIFY(!window.isCounting() || ready.wait(20000));
        QVERIFY(window.stats());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        Dialogs::setInstance(&m_dialogs);
        m_log = generatedLog();
        std::ofstream(logPath(), std::ios::binary) << m_log;
    }

    void cleanupTestCase() { Dialogs::setInstance(nullptr); }

    void numbersTablesAndExports()
    {
        auto* window = new StatsWindow({logPath()}, qelt::StatsScope::ForAll(), 1251);
        window->show();
        waitForStats(*window);
        for (QTableView* table : {window->hostsTable(), window->usersTable(), window->kindsTable()})
            new QAbstractItemModelTester(table->model(), window);

        const qelt::LogStats expected = qelt::ComputeLogStats(m_log);
        QVERIFY(window->summaryText().contains(
            QStringLiteral("Requests: %1")
                .arg(QLocale().toString(qulonglong(expected.scope.requests)))));
        QCOMPARE(window->usersTable()->model()->rowCount(), int(expected.users.size()));
        const auto totals = qelt::HostTotals(expected, qelt::StatsScope::ForAll());
        QCOMPARE(window->hostsTable()->model()->rowCount(), int(totals.size()));

        // Sorted by requests, most first, as it opens; then by host name on a header click.
        QAbstractItemModel* hosts = window->hostsTable()->model();
        QCOMPARE(hosts->index(0, 0).data().toString(),
                 QString::fromStdString(std::string(totals[0].host)));
        QCOMPARE(hosts->index(0, 2).data(Qt::UserRole).toULongLong(),
                 qulonglong(totals[0].requests));
        window->hostsTable()->sortByColumn(0, Qt::AscendingOrder);
        QStringList names;
        for (int r = 0; r < hosts->rowCount(); ++r)
            names << hosts->index(r, 0).data().toString();
        QStringList sorted = names;
        std::sort(sorted.begin(), sorted.end(), [](const QString& a, const QString& b) {
            return QString::compare(a, b, Qt::CaseInsensitive) < 0;
        });
        QCOMPARE(names, sorted);

        // The charts hold the counted numbers.
        for (auto chart :
             {StatsWindow::HourChart, StatsWindow::DayChart, StatsWindow::TopHostsChart})
            QVERIFY(window->chartView(chart)->chart());
        QCOMPARE(window->chartView(StatsWindow::DayChart)->chart()->series().size(), 1);

        // Exports: a chart as PNG, the table as shown as CSV, the report.
        const QString png = m_dir.filePath(QStringLiteral("hours.png"));
        QVERIFY(window->saveChartPng(StatsWindow::HourChart, png));
        const QImage image(png);
        QVERIFY(!image.isNull() && image.width() >= 600);
        // A chart whose tab was never on top is laid out for its picture: its bars are there.
        const QString topHosts = m_dir.filePath(QStringLiteral("top-hosts.png"));
        QVERIFY(window->saveChartPng(StatsWindow::TopHostsChart, topHosts));
        const QImage hostsImage(topHosts);
        int blue = 0;
        for (int y = 0; y < hostsImage.height(); y += 2) {
            for (int x = 0; x < hostsImage.width(); x += 2)
                blue += hostsImage.pixelColor(x, y) == QColor(0x3a, 0x6e, 0xa5);
        }
        QVERIFY2(blue > 2000, qPrintable(QString::number(blue)));
        const QString csv = m_dir.filePath(QStringLiteral("hosts.csv"));
        QVERIFY(window->exportTableCsv(window->hostsTable(), csv));
        const auto lines = readLines(csv);
        QCOMPARE(int(lines.size()), hosts->rowCount() + 1);
        QCOMPARE(lines[0], std::string("Host,Type,Requests,Users,First request,Last request\r"));
        QCOMPARE(lines[1].substr(0, lines[1].find(',')), names[0].toStdString());
        const QString html = m_dir.filePath(QStringLiteral("report.html"));
        QVERIFY(window->exportHtmlReport(html));
        QCOMPARE(readLines(html).at(0), std::string("<!DOCTYPE html>"));
        QVERIFY(m_dialogs.errors.isEmpty());
        window->close();
    }

    void aClickOnAHostSelectsItsNode()
    {
        QTemporaryDir appDir;
        std::ofstream(
            QFile::encodeName(appDir.filePath(QStringLiteral("config.ini"))).toStdString())
            << "[Logger]\r\nLogDir=" << QFile::encodeName(m_dir.path()).toStdString() << "\r\n";
        TForm1 form(QFile::encodeName(appDir.path()).toStdString() + "/");
        form.show();
        QSignalSpy built(&form, &TForm1::loadFinished);
        form.ComboBox1->setCurrentIndex(0);
        form.ComboBox1Change();
        QVERIFY(built.count() > 0 || built.wait(10000));

        // The node's right-click menu opens the window of that node.
        const QModelIndex user = form.treeModel()->index(2, 0);
        form.TreeView1->setCurrentIndex(user);
        auto* statistics =
            form.actions()->nodeMenu()->findChild<QAction*>(QStringLiteral("StatisticsAction"));
        QVERIFY(statistics && form.actions()->nodeMenu()->actions().contains(statistics));
        statistics->trigger();
        auto* window = form.findChild<StatsWindow*>();
        QVERIFY(window);
        waitForStats(*window);
        const std::string userText = form.treeModel()->nodeText(user);
        QVERIFY(window->windowTitle().contains(QString::fromStdString(userText)));
        // A user's window counts that user's lines only.
        const qelt::LogStats expected =
            qelt::ComputeLogStats(m_log, qelt::StatsScope::ForUser(userText));
        QCOMPARE(window->stats()->scope.requests, expected.findUser(userText)->requests);
        QCOMPARE(window->stats()->scope.byHour, expected.scope.byHour);

        QTableView* hosts = window->hostsTable();
        window->tabs()->setCurrentWidget(hosts);
        const QModelIndex first = hosts->model()->index(0, 0);
        QSignalSpy listed(&form, &TForm1::listingFinished);
        QTest::mouseClick(hosts->viewport(), Qt::LeftButton, {}, hosts->visualRect(first).center());
        QVERIFY(listed.count() > 0 || listed.wait(10000));
        const QModelIndex current = form.TreeView1->currentIndex();
        QCOMPARE(current.parent(), user);
        QCOMPARE(QString::fromStdString(form.treeModel()->nodeText(current)),
                 first.data().toString());
        window->close();
    }

    // Every bar has its name in a window of ordinary size, as plain text (not markup), and no
    // two names overlap: 20 hosts beside their bars, 40 days slanted under theirs.
    void chartsNameTheirBars()
    {
        std::string log;
        for (int h = 0; h < 24; ++h) {
            const std::string host =
                h == 3 ? "h<b>&amp;.example.com" : "host" + std::to_string(h) + ".example.com";
            for (int i = 0; i < 30 - h; ++i) {
                char date[32];
                std::snprintf(date, sizeof date, "%02d/%s/2026:10:00:00", 1 + (h * 7 + i) % 28,
                              i % 3 ? "Nov" : "Dec");
                log += "10.0.0.1 - alice [" + std::string(date) + " +0300] \"GET http://" + host +
                       "/ HTTP/1.1\" \"HTTP\"\r\n";
            }
        }
        const QString path = m_dir.filePath(QStringLiteral("names.txt"));
        std::ofstream(QFile::encodeName(path).toStdString(), std::ios::binary) << log;
        auto* window = new StatsWindow({QFile::encodeName(path).toStdString()},
                                       qelt::StatsScope::ForAll(), 1251);
        window->show();
        waitForStats(*window);
        QCOMPARE(window->stats()->scope.byDay.size(), std::size_t(56));

        for (const auto chart : {StatsWindow::TopHostsChart, StatsWindow::DayChart}) {
            window->tabs()->setCurrentWidget(window->chartView(chart));
            QTest::qWait(50);
            QStringList shown;
            QList<QPolygonF> boxes;
            for (QGraphicsItem* item : window->chartView(chart)->chart()->childItems()) {
                auto* name = dynamic_cast<QGraphicsSimpleTextItem*>(item);
                if (!name || !name->isVisible())
                    continue;
                // The name's own rectangle, slanted as it is drawn.
                const QPolygonF box = name->mapToScene(name->boundingRect());
                for (const QPolygonF& other : boxes)
                    QVERIFY2(!box.intersects(other), qPrintable(name->text()));
                QVERIFY(window->chartView(chart)->sceneRect().contains(box.boundingRect()));
                boxes << box;
                shown << name->text();
            }
            if (chart == StatsWindow::TopHostsChart) {
                QCOMPARE(shown.size(), 20);
                QVERIFY(shown.contains(QStringLiteral("h<b>&amp;.example.com")));
                QVERIFY(shown.contains(QStringLiteral("host0.example.com")));
            } else {
                QVERIFY2(shown.size() >= 20, qPrintable(shown.join(u' ')));
                QVERIFY(shown.contains(QStringLiteral("01/Nov/2026")));
            }
        }
        window->close();
    }
};

QTEST_MAIN(TestStatsWindow)
#include "test_statswindow.moc"
