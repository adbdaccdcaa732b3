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
#include <QFontMetrics>
#include <QGraphicsLayout>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
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
#include <QtMath>

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

// The bars' names, as plain text items of the chart's own: the category axis takes its labels
// for rich text (a host with "<" in it lost part of its name) and writes "..." for every label
// larger than its share of the axis, which with 20 hosts in a window of ordinary height, or a
// month of days, left no name at all. Names stand beside horizontal bars; under vertical ones
// upright when they fit, else slanted, and then only every so many when they would touch.
void nameBars(QChart* chart, QAbstractBarSeries* series, QBarCategoryAxis* axis,
              const QStringList& labels, bool horizontal)
{
    constexpr int MaxLabelWidth = 300;
    constexpr qreal Slant = 60; // degrees
    const QFont font = axis->labelsFont();
    const QFontMetrics metrics(font);
    int widest = 0;
    std::vector<QGraphicsSimpleTextItem*> items;
    for (const QString& label : labels) {
        auto* item = new QGraphicsSimpleTextItem(
            metrics.elidedText(label, Qt::ElideMiddle, MaxLabelWidth), chart);
        item->setFont(font);
        item->setBrush(axis->labelsBrush());
        item->setToolTip(label);
        widest = std::max(widest, metrics.horizontalAdvance(item->text()));
        items.push_back(item);
    }
    axis->setLabelsVisible(false);
    const qreal line = metrics.height();
    const qreal slantRad = qDegreesToRadians(Slant);
    // Upright names under vertical bars need about their width each across the chart.
    const bool slanted = !horizontal && qreal(widest + 8) * qreal(labels.size()) > 700;
    QMargins margins = chart->margins();
    if (horizontal)
        margins.setLeft(margins.left() + widest + 8);
    else if (slanted)
        margins.setBottom(margins.bottom() +
                          int(std::ceil(widest * std::sin(slantRad) + line * std::cos(slantRad))));
    else
        margins.setBottom(margins.bottom() + int(std::ceil(line)));
    chart->setMargins(margins);
    for (QGraphicsSimpleTextItem* item : items) {
        const QRectF box = item->boundingRect();
        item->setTransformOriginPoint(box.width(), box.height() / 2);
        if (slanted)
            item->setRotation(-Slant);
    }

    QObject::connect(
        chart, &QChart::plotAreaChanged, chart,
        [chart, series, items, horizontal, slanted, widest, line, slantRad](const QRectF& plot) {
            const qreal slot =
                items.size() > 0 ? (horizontal ? plot.height() : plot.width()) / items.size() : 1;
            const qreal need = horizontal ? line
                               : slanted  ? (line + 3) / std::sin(slantRad)
                                          : widest + 8;
            const std::size_t every = std::max<std::size_t>(1, std::size_t(std::ceil(need / slot)));
            for (std::size_t i = 0; i < items.size(); ++i) {
                QGraphicsSimpleTextItem* item = items[i];
                const QRectF box = item->boundingRect();
                const QPointF at = chart->mapToPosition(
                    horizontal ? QPointF(0, qreal(i)) : QPointF(qreal(i), 0), series);
                // The first bar (on top, or at the left) always has its name.
                item->setVisible((horizontal ? items.size() - 1 - i : i) % every == 0);
                if (horizontal)
                    item->setPos(plot.left() - 8 - box.width(), at.y() - box.height() / 2);
                else if (slanted)
                    item->setPos(at.x() - box.width(), plot.bottom() + 6 - box.height() / 2);
                else
                    item->setPos(at.x() - box.width() / 2, plot.bottom() + 4);
            }
        });
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
    // A few bars stay bars, not slabs across the whole chart.
    const qsizetype n = labels.size();
    series->setBarWidth(n >= 8 ? 0.8 : 0.1 * qreal(n));
    if (horizontal) {
        series->setLabelsVisible(true);
        series->setLabelsPosition(QAbstractBarSeries::LabelsOutsideEnd);
        series->setLabelsFormat(QStringLiteral("@value"));
        series->setLabelsPrecision(15);
    }
    chart->addSeries(series);
    auto* categoryAxis = new QBarCategoryAxis;
    // The axis wants distinct categories; nameBars shows the labels.
    for (qsizetype i = 0; i < n; ++i)
        categoryAxis->append(QString::number(i));
    auto* valueAxis = new QValueAxis;
    // A scale of whole, round numbers (1, 2 or 5 times a power of ten apart): the axis's own
    // nice numbers gave steps of 0.2 for small counts, written "0 0 0 1 1 1". Horizontal bars
    // keep room for their numbers after them.
    const double room = std::max(1.0, double(top) * (horizontal ? 1.15 : 1.05));
    double step = 1;
    while (step * 10 <= room / 4)
        step *= 10;
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (step * factor >= room / 5) {
            step *= factor;
            break;
        }
    }
    const double scaleTop = std::ceil(room / step) * step;
    valueAxis->setRange(0, scaleTop);
    valueAxis->setTickCount(int(std::lround(scaleTop / step)) + 1);
    valueAxis->setLabelFormat(QStringLiteral("%.0f"));
    if (horizontal) {
        chart->addAxis(categoryAxis, Qt::AlignLeft);
        chart->addAxis(valueAxis, Qt::AlignBottom);
    } else {
        chart->addAxis(categoryAxis, Qt::AlignBottom);
        chart->addAxis(valueAxis, Qt::AlignLeft);
    }
    series->attachAxis(categoryAxis);
    series->attachAxis(valueAxis);
    nameBars(chart, series, categoryAxis, labels, horizontal);
    return chart;
}

// The view takes the chart and lets the one it had go without deleting it (at first an empty one
// it made itself): that one is deleted here.
void setChart(QChartView* view, QChart* chart)
{
    QChart* old = view->chart();
    view->setChart(chart);
    delete old;
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
    m_summary->setWordWrap(true);
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
    // Its numbers stay beside their names instead of at the far side of the window.
    m_kindsView->horizontalHeader()->setStretchLastSection(false);
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
    if (numbers.requests == 0)
        text = tr("No requests.");
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
    setChart(m_charts[HourChart], barChart(tr("Requests by hour of day"), hours, values, false));

    QStringList days;
    values.clear();
    for (const qelt::DayCount& day : numbers.byDay) {
        days << (day.day.empty() ? QStringLiteral("?") : DisplayText(day.day, m_codePage));
        values.push_back(day.requests);
    }
    setChart(m_charts[DayChart], barChart(tr("Requests by day"), days, values, false));

    QStringList hosts;
    values.clear();
    const std::size_t top = std::min<std::size_t>(20, std::size_t(m_hostsModel->rowCount()));
    // The hosts model holds the scope's hosts, most requests first.
    const std::vector<qelt::HostTotal> totals = qelt::HostTotals(*m_stats, m_scope, top);
    for (const qelt::HostTotal& host : totals) {
        hosts << DisplayText(host.host, m_codePage);
        values.push_back(host.requests);
    }
    // "Top 20" when there are more hosts than the chart shows.
    const QString title =
        std::size_t(m_hostsModel->rowCount()) > totals.size()
            ? tr("Top %n hosts by requests", nullptr, static_cast<int>(totals.size()))
            : tr("Hosts by requests");
    setChart(m_charts[TopHostsChart], barChart(title, hosts, values, true));
}

bool StatsWindow::saveChartPng(Chart which, const QString& path)
{
    QChartView* view = m_charts[which];
    QChart* chart = view->chart();
    // The chart as it shows, or at a readable size when its tab is not on top or the window is
    // narrow. A chart whose view was never shown has never been laid out (its names and bars
    // sat in a heap at its corner): it is laid out at that size now and put back after.
    const bool asShown = view->isVisible() && view->width() >= 600;
    const QSizeF size = asShown ? QSizeF(view->size()) : QSizeF(900, 520);
    const QSizeF old = chart->size();
    if (!asShown) {
        chart->resize(size);
        chart->layout()->activate();
    }
    QPixmap pixmap(size.toSize());
    pixmap.fill(Qt::white);
    {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        chart->scene()->render(&painter, QRectF(QPointF(0, 0), size),
                               QRectF(chart->scenePos(), size));
    }
    if (!asShown) {
        chart->resize(old);
        chart->layout()->activate();
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
