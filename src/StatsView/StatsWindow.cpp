#include "StatsView/StatsWindow.h"

#include "StatsView/StatsTableModel.h"
#include "Unit1/Worker.h"
#include "reports/HtmlReport.h"
#include "reports/TextOutput.h"
#include "widgets/Dialogs.h"
#include "widgets/DisplayText.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHorizontalBarSeries>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QTabWidget>
#include <QTableView>
#include <QThread>
#include <QVBoxLayout>
#include <QValueAxis>

namespace {

struct CountResult
{
    std::shared_ptr<const qelt::LogStats> stats;
    std::vector<qelt::HostTotal> hosts;
    QString error;
};

std::vector<std::shared_ptr<const qelt::LogFile>> openLogs(const std::vector<std::string>& paths)
{
    std::vector<std::shared_ptr<const qelt::LogFile>> files;
    for (const std::string& path : paths)
        files.push_back(std::make_shared<const qelt::LogFile>(path));
    return files;
}

QString fileName(const std::string& path, int codePage)
{
    const std::size_t slash = path.find_last_of('/');
    return DisplayText(slash == std::string::npos ? path : path.substr(slash + 1), codePage);
}

QString writeWhole(const QString& path, const std::string& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
            static_cast<qint64>(bytes.size()) ||
        !file.commit())
        return QStringLiteral("Cannot create file %1").arg(path);
    return {};
}

// A bar chart of values over categories; horizontal bars list the first category on top.
QChart* barChart(const QString& title, const QStringList& categories,
                 const std::vector<qelt::RequestCount>& values, bool horizontal)
{
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->legend()->hide();
    chart->setAnimationOptions(QChart::NoAnimation);
    auto* set = new QBarSet(QString());
    set->setColor(QColor(0x3a, 0x6e, 0xa5));
    set->setLabelColor(Qt::black);
    qelt::RequestCount top = 0;
    QStringList labels = categories;
    std::vector<qelt::RequestCount> ordered = values;
    if (horizontal) {
        std::reverse(labels.begin(), labels.end());
        std::reverse(ordered.begin(), ordered.end());
    }
    for (const qelt::RequestCount value : ordered) {
        *set << static_cast<qreal>(value);
        top = std::max(top, value);
    }
    QAbstractBarSeries* series = horizontal
                                     ? static_cast<QAbstractBarSeries*>(new QHorizontalBarSeries)
                                     : static_cast<QAbstractBarSeries*>(new QBarSeries);
    series->append(set);
    series->setBarWidth(0.8);
    if (horizontal) {
        series->setLabelsVisible(true);
        series->setLabelsPosition(QAbstractBarSeries::LabelsOutsideEnd);
        series->setLabelsFormat(QStringLiteral("@value"));
        series->setLabelsPrecision(15);
    }
    chart->addSeries(series);
    auto* categoryAxis = new QBarCategoryAxis;
    categoryAxis->append(labels);
    auto* valueAxis = new QValueAxis;
    valueAxis->setRange(0, top == 0 ? 1.0 : static_cast<qreal>(top) * (horizontal ? 1.15 : 1.05));
    valueAxis->setLabelFormat(QStringLiteral("%.0f"));
    valueAxis->applyNiceNumbers();
    if (horizontal) {
        chart->addAxis(categoryAxis, Qt::AlignLeft);
        chart->addAxis(valueAxis, Qt::AlignBottom);
    } else {
        chart->addAxis(categoryAxis, Qt::AlignBottom);
        chart->addAxis(valueAxis, Qt::AlignLeft);
        if (categories.size() > 31)
            categoryAxis->setLabelsAngle(-60);
    }
    series->attachAxis(categoryAxis);
    series->attachAxis(valueAxis);
    return chart;
}

} // namespace

QString WriteViewCsv(const QAbstractItemModel& model, const QString& path)
{
    std::string out;
    std::vector<std::string> fields(static_cast<std::size_t>(model.columnCount()));
    const auto row = [&] {
        std::vector<std::string_view> views(fields.begin(), fields.end());
        qelt::AppendCsvRow(out, views);
    };
    for (int c = 0; c < model.columnCount(); ++c)
        fields[std::size_t(c)] = model.headerData(c, Qt::Horizontal).toString().toStdString();
    row();
    for (int r = 0; r < model.rowCount(); ++r) {
        for (int c = 0; c < model.columnCount(); ++c)
            fields[std::size_t(c)] = model.index(r, c).data().toString().toStdString();
        row();
    }
    return writeWhole(path, out);
}

StatsWindow::StatsWindow(std::vector<std::string> logPaths, qelt::StatsScope scope, int codePage,
                         QWidget* parent)
    : QWidget(parent, Qt::Window), m_logPaths(std::move(logPaths)), m_scope(std::move(scope)),
      m_codePage(codePage)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("StatsWindow"));
    m_askPath = [this](const QString& caption, const QString& filter) {
        return QFileDialog::getSaveFileName(this, caption, QString(), filter);
    };
    buildControls();
    startCount();
}

StatsWindow::~StatsWindow()
{
    stopWorker();
}

void StatsWindow::stopWorker()
{
    if (m_cancel)
        m_cancel->store(true);
    if (m_worker) {
        m_worker->wait();
        m_worker = nullptr;
    }
}

void StatsWindow::closeEvent(QCloseEvent* event)
{
    stopWorker();
    QWidget::closeEvent(event);
}

QChartView* StatsWindow::chartView(Chart chart) const
{
    return m_charts[chart];
}

QString StatsWindow::summaryText() const
{
    return m_summary->text();
}

QTableView* StatsWindow::makeTable(StatsTableModel* model, QSortFilterProxyModel*& proxy)
{
    proxy = new QSortFilterProxyModel(this);
    proxy->setSourceModel(model);
    proxy->setSortRole(StatsTableModel::SortRole);
    proxy->setSortCaseSensitivity(Qt::CaseInsensitive);
    auto* view = new QTableView(this);
    view->setModel(proxy);
    view->setSortingEnabled(true);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(20);
    view->horizontalHeader()->setStretchLastSection(true);
    view->setAlternatingRowColors(true);
    return view;
}

void StatsWindow::buildControls()
{
    QString subject;
    const QString log = m_logPaths.size() == 1
                            ? fileName(m_logPaths[0], m_codePage)
                            : tr("%n logs", nullptr, static_cast<int>(m_logPaths.size()));
    switch (m_scope.level) {
    case qelt::StatsScope::Level::All:
        subject = log;
        break;
    case qelt::StatsScope::Level::User:
        subject = tr("user %1 in %2").arg(DisplayText(m_scope.user, m_codePage), log);
        break;
    case qelt::StatsScope::Level::Host:
        subject = tr("host %1 of user %2 in %3")
                      .arg(DisplayText(m_scope.host, m_codePage),
                           DisplayText(m_scope.user, m_codePage), log);
        break;
    }
    setWindowTitle(tr("Statistics - %1").arg(subject));
    resize(900, 640);

    auto* layout = new QVBoxLayout(this);
    m_summary = new QLabel(tr("Counting..."), this);
    m_summary->setObjectName(QStringLiteral("StatsSummary"));
    m_summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_summary);

    m_tabs = new QTabWidget(this);
    const QString chartTitles[] = {tr("By hour of day"), tr("By day"), tr("Top hosts")};
    for (int c = 0; c < 3; ++c) {
        m_charts[c] = new QChartView(this);
        m_charts[c]->setRenderHint(QPainter::Antialiasing);
        m_tabs->addTab(m_charts[c], chartTitles[c]);
    }
    m_hostsModel = new StatsTableModel(StatsTableModel::Table::Hosts, m_codePage, this);
    m_hostsView = makeTable(m_hostsModel, m_hostsProxy);
    m_hostsView->setObjectName(QStringLiteral("StatsHosts"));
    m_tabs->addTab(m_hostsView, tr("Hosts"));
    m_usersModel = new StatsTableModel(StatsTableModel::Table::Users, m_codePage, this);
    m_usersView = makeTable(m_usersModel, m_usersProxy);
    m_usersView->setObjectName(QStringLiteral("StatsUsers"));
    m_tabs->addTab(m_usersView, tr("Users"));
    m_kindsModel = new StatsTableModel(StatsTableModel::Table::Kinds, m_codePage, this);
    m_kindsView = makeTable(m_kindsModel, m_kindsProxy);
    m_kindsView->setObjectName(QStringLiteral("StatsKinds"));
    m_tabs->addTab(m_kindsView, tr("Connection types"));
    layout->addWidget(m_tabs, 1);

    auto* buttons = new QHBoxLayout;
    m_saveChart = new QPushButton(tr("Save chart as PNG..."), this);
    m_exportTable = new QPushButton(tr("Export table as CSV..."), this);
    m_exportReport = new QPushButton(tr("Export HTML report..."), this);
    auto* close = new QPushButton(tr("Close"), this);
    buttons->addWidget(m_saveChart);
    buttons->addWidget(m_exportTable);
    buttons->addWidget(m_exportReport);
    buttons->addStretch(1);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    for (QPushButton* button : {m_saveChart, m_exportTable, m_exportReport})
        button->setEnabled(false);

    connect(close, &QPushButton::clicked, this, &QWidget::close);
    connect(m_saveChart, &QPushButton::clicked, this, &StatsWindow::saveCurrentChart);
    connect(m_exportTable, &QPushButton::clicked, this, &StatsWindow::exportCurrentTable);
    connect(m_exportReport, &QPushButton::clicked, this, &StatsWindow::exportReport);
    const auto updateButtons = [this] {
        const int tab = m_tabs->currentIndex();
        m_saveChart->setEnabled(m_stats && tab < 3);
        m_exportTable->setEnabled(m_stats && tab >= 3);
    };
    connect(m_tabs, &QTabWidget::currentChanged, this, updateButtons);
    connect(this, &StatsWindow::statsReady, this, updateButtons);

    const auto goToNode = [this](const QModelIndex& index) {
        const QByteArray user = index.data(StatsTableModel::UserRole).toByteArray();
        const QByteArray host = index.data(StatsTableModel::HostRole).toByteArray();
        if (!user.isEmpty())
            emit nodeRequested(user, host);
    };
    connect(m_hostsView, &QTableView::clicked, this, goToNode);
    connect(m_usersView, &QTableView::clicked, this, goToNode);
}

void StatsWindow::startCount()
{
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    auto work = [paths = m_logPaths, scope = m_scope, cancel = m_cancel]() -> CountResult {
        CountResult result;
        try {
            qelt::StatsOptions options;
            options.cancel = cancel.get();
            auto stats = std::make_shared<qelt::LogStats>(
                qelt::ComputeLogStats(openLogs(paths), scope, options));
            result.hosts = qelt::HostTotals(*stats, scope);
            result.stats = std::move(stats);
        } catch (const std::exception& error) {
            result.error = QString::fromLocal8Bit(error.what());
        }
        return result;
    };
    m_worker = RunOnWorker<CountResult>(this, std::move(work), [this](CountResult result) {
        m_worker = nullptr;
        if (result.stats) {
            m_hostsModel->setStats(result.stats, std::move(result.hosts));
            m_usersModel->setStats(result.stats, {});
            m_kindsModel->setStats(result.stats, {});
        }
        showStats(std::move(result.stats), result.error);
    });
}

void StatsWindow::showStats(std::shared_ptr<const qelt::LogStats> stats, const QString& error)
{
    m_stats = std::move(stats);
    if (!m_stats) {
        m_summary->setText(tr("The statistics could not be counted."));
        emit statsReady();
        if (!error.isEmpty())
            showError(error);
        return;
    }
    const qelt::ScopeStats& numbers = m_stats->scope;
    QString text =
        tr("Requests: %1    Distinct hosts: %2    First request: %3    Last request: %4")
            .arg(QLocale().toString(qulonglong(numbers.requests)),
                 QLocale().toString(qulonglong(numbers.hosts)),
                 DisplayText(numbers.first, m_codePage), DisplayText(numbers.last, m_codePage));
    if (m_scope.level == qelt::StatsScope::Level::All)
        text += tr("    Users: %1").arg(QLocale().toString(qulonglong(m_stats->users.size())));
    if (m_stats->cancelled)
        text += tr("    (stopped: part of the log)");
    m_summary->setText(text);
    fillCharts();
    m_hostsView->sortByColumn(2, Qt::DescendingOrder);
    m_usersView->sortByColumn(1, Qt::DescendingOrder);
    m_kindsView->sortByColumn(1, Qt::DescendingOrder);
    for (QTableView* view : {m_hostsView, m_usersView, m_kindsView}) {
        view->horizontalHeader()->setResizeContentsPrecision(500);
        view->resizeColumnsToContents();
        view->setColumnWidth(0, std::min(view->columnWidth(0), 360));
    }
    m_exportReport->setEnabled(true);
    emit statsReady();
}

void StatsWindow::fillCharts()
{
    const qelt::ScopeStats& numbers = m_stats->scope;
    QStringList hours;
    std::vector<qelt::RequestCount> values;
    for (int h = 0; h < 24; ++h) {
        hours << QString::number(h);
        values.push_back(numbers.byHour[std::size_t(h)]);
    }
    if (numbers.byHour[qelt::UnknownHour] > 0) {
        hours << QStringLiteral("?");
        values.push_back(numbers.byHour[qelt::UnknownHour]);
    }
    m_charts[HourChart]->setChart(barChart(tr("Requests by hour of day"), hours, values, false));

    QStringList days;
    values.clear();
    for (const qelt::DayCount& day : numbers.byDay) {
        days << (day.day.empty() ? QStringLiteral("?") : DisplayText(day.day, m_codePage));
        values.push_back(day.requests);
    }
    m_charts[DayChart]->setChart(barChart(tr("Requests by day"), days, values, false));

    QStringList hosts;
    values.clear();
    const std::size_t top = std::min<std::size_t>(20, std::size_t(m_hostsModel->rowCount()));
    // The hosts model holds the scope's hosts, most requests first.
    const std::vector<qelt::HostTotal> totals = qelt::HostTotals(*m_stats, m_scope, top);
    for (const qelt::HostTotal& host : totals) {
        QString label = DisplayText(host.host, m_codePage);
        if (label.size() > 48)
            label = label.left(45) + QStringLiteral("...");
        hosts << label;
        values.push_back(host.requests);
    }
    m_charts[TopHostsChart]->setChart(
        barChart(tr("Top %n hosts by requests", nullptr, static_cast<int>(totals.size())), hosts,
                 values, true));
}

bool StatsWindow::saveChartPng(Chart chart, const QString& path)
{
    QChartView* view = m_charts[chart];
    // The chart as it would show at a readable size, also when its tab is not on top.
    const QSize size = view->isVisible() && view->width() >= 600 ? view->size() : QSize(900, 520);
    QPixmap pixmap(size);
    pixmap.fill(Qt::white);
    {
        const QSize old = view->size();
        if (!view->isVisible())
            view->resize(size);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        view->render(&painter, QRectF(), QRect(QPoint(0, 0), size));
        if (!view->isVisible())
            view->resize(old);
    }
    if (!pixmap.save(path, "PNG")) {
        showError(QStringLiteral("Cannot create file %1").arg(path));
        return false;
    }
    return true;
}

bool StatsWindow::exportTableCsv(QTableView* table, const QString& path)
{
    const QString error = WriteViewCsv(*table->model(), path);
    if (!error.isEmpty()) {
        showError(error);
        return false;
    }
    return true;
}

bool StatsWindow::exportHtmlReport(const QString& path)
{
    // The report is of the whole log: counted again unless these are its numbers.
    std::shared_ptr<const qelt::LogStats> stats = m_stats;
    std::string html;
    try {
        qelt::LogStats whole;
        if (m_scope.level != qelt::StatsScope::Level::All || !stats) {
            whole = qelt::ComputeLogStats(openLogs(m_logPaths));
            stats = std::make_shared<const qelt::LogStats>(std::move(whole));
        }
        std::vector<std::string> names;
        for (const std::string& log : m_logPaths)
            names.push_back(fileName(log, m_codePage).toStdString());
        html = qelt::HtmlReport(*stats, names, m_codePage);
    } catch (const std::exception& error) {
        showError(QString::fromLocal8Bit(error.what()));
        return false;
    }
    const QString error = writeWhole(path, html);
    if (!error.isEmpty()) {
        showError(error);
        return false;
    }
    return true;
}

void StatsWindow::saveCurrentChart()
{
    const int tab = m_tabs->currentIndex();
    if (tab < 0 || tab > 2)
        return;
    const QString path = m_askPath(tr("Save chart as PNG"), tr("PNG images (*.png)"));
    if (!path.isEmpty())
        saveChartPng(static_cast<Chart>(tab), path);
}

void StatsWindow::exportCurrentTable()
{
    auto* table = qobject_cast<QTableView*>(m_tabs->currentWidget());
    if (!table)
        return;
    const QString path = m_askPath(tr("Export table as CSV"), tr("CSV files (*.csv)"));
    if (!path.isEmpty())
        exportTableCsv(table, path);
}

void StatsWindow::exportReport()
{
    const QString path = m_askPath(tr("Export HTML report"), tr("HTML files (*.html)"));
    if (path.isEmpty())
        return;
    // Counting the whole log for a user's or host's window takes a moment: off this thread.
    if (m_scope.level == qelt::StatsScope::Level::All) {
        exportHtmlReport(path);
        return;
    }
    m_exportReport->setEnabled(false);
    struct ReportResult
    {
        QString error;
    };
    std::vector<std::string> names;
    for (const std::string& log : m_logPaths)
        names.push_back(fileName(log, m_codePage).toStdString());
    auto work = [paths = m_logPaths, names, codePage = m_codePage, path,
                 cancel = m_cancel]() -> ReportResult {
        ReportResult result;
        try {
            qelt::StatsOptions options;
            options.cancel = cancel.get();
            const qelt::LogStats whole = qelt::ComputeLogStats(openLogs(paths), {}, options);
            if (!whole.cancelled)
                result.error = writeWhole(path, qelt::HtmlReport(whole, names, codePage));
        } catch (const std::exception& error) {
            result.error = QString::fromLocal8Bit(error.what());
        }
        return result;
    };
    m_worker = RunOnWorker<ReportResult>(this, std::move(work), [this](ReportResult result) {
        m_worker = nullptr;
        m_exportReport->setEnabled(true);
        if (!result.error.isEmpty())
            showError(result.error);
    });
}

void StatsWindow::showError(const QString& message)
{
    Dialogs::instance().showError(this, message);
}
