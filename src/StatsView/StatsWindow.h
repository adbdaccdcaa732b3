#pragma once

#include "logaccess/LogStats.h"

#include <QByteArray>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAbstractItemModel;
class QChartView;
class QLabel;
class QPushButton;
class QSortFilterProxyModel;
class QTabWidget;
class QTableView;
class QThread;
class StatsTableModel;

// The statistics of a log, one of its users or one of its hosts: requests, distinct hosts,
// first and last request, requests by hour of day and by day, the top hosts (bar charts), and
// the hosts, users and connection types as sortable tables. The numbers are counted on a worker
// thread; the window stays usable meanwhile and stops the count when it closes.
//
//   auto* window = new StatsWindow({path}, qelt::StatsScope::ForUser("alice"), codePage, form);
//   connect(window, &StatsWindow::nodeRequested, form, ...);   // a click on a user or host
//   window->show();
class StatsWindow : public QWidget
{
    Q_OBJECT

public:
    enum Chart
    {
        HourChart,
        DayChart,
        TopHostsChart
    };

    // logPaths are the exact bytes of the logs' paths, counted as one log in this order.
    StatsWindow(std::vector<std::string> logPaths, qelt::StatsScope scope, int codePage,
                QWidget* parent = nullptr);
    ~StatsWindow() override;

    bool isCounting() const { return m_worker != nullptr; }
    const qelt::LogStats* stats() const { return m_stats.get(); }
    QChartView* chartView(Chart chart) const;
    QTableView* hostsTable() const { return m_hostsView; }
    QTableView* usersTable() const { return m_usersView; }
    QTableView* kindsTable() const { return m_kindsView; }
    QTabWidget* tabs() const { return m_tabs; }
    QString summaryText() const;

    // Where a file goes: asked of the user, or of a test. An empty answer cancels.
    using PathAsker = std::function<QString(const QString& caption, const QString& filter)>;
    void setPathAsker(PathAsker asker) { m_askPath = std::move(asker); }

    // The commands behind the buttons, with the path given; false and a message on failure.
    bool saveChartPng(Chart chart, const QString& path);
    bool exportTableCsv(QTableView* table, const QString& path);
    bool exportHtmlReport(const QString& path);

signals:
    // The numbers are shown (also when the count failed or was stopped).
    void statsReady();
    // A user or host row was clicked: its node's exact texts (host empty for a user).
    void nodeRequested(const QByteArray& user, const QByteArray& host);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void startCount();
    void showStats(std::shared_ptr<const qelt::LogStats> stats, const QString& error);
    void fillCharts();
    QTableView* makeTable(StatsTableModel* model, QSortFilterProxyModel*& proxy);
    void saveCurrentChart();
    void exportCurrentTable();
    void exportReport();
    void showError(const QString& message);
    void stopWorker();

    std::vector<std::string> m_logPaths;
    qelt::StatsScope m_scope;
    int m_codePage;
    std::shared_ptr<const qelt::LogStats> m_stats;
    std::shared_ptr<std::atomic<bool>> m_cancel;
    QThread* m_worker = nullptr;
    PathAsker m_askPath;

    QLabel* m_summary = nullptr;
    QTabWidget* m_tabs = nullptr;
    QChartView* m_charts[3] = {};
    StatsTableModel* m_hostsModel = nullptr;
    StatsTableModel* m_usersModel = nullptr;
    StatsTableModel* m_kindsModel = nullptr;
    QSortFilterProxyModel* m_hostsProxy = nullptr;
    QSortFilterProxyModel* m_usersProxy = nullptr;
    QSortFilterProxyModel* m_kindsProxy = nullptr;
    QTableView* m_hostsView = nullptr;
    QTableView* m_usersView = nullptr;
    QTableView* m_kindsView = nullptr;
    QPushButton* m_saveChart = nullptr;
    QPushButton* m_exportTable = nullptr;
    QPushButton* m_exportReport = nullptr;
};

// Writes the rows of a view's model in the order shown, with a header row, as CSV (RFC 4180,
// UTF-8), whole or not at all. Returns an empty text, or the message of what failed.
QString WriteViewCsv(const QAbstractItemModel& model, const QString& path);
