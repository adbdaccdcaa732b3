// bench_gui_filter: how long the list takes to show a change of the filter bar on a listing of
// 1,000,000 rows (goal: within 100 ms), and how long a sort by a column header takes.
//
//   QT_QPA_PLATFORM=offscreen bench_gui_filter [ROWS]
//
// Each change is timed from the model's new filter until the view has repainted.
#include "Unit1/RecordModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

RecordTable MakeRows(std::size_t rows)
{
    static const char* const months[] = {"Nov", "Dec", "Jan"};
    static const char* const hosts[] = {"cloud8.org",    "www.example.com", "news.site.ru",
                                        "dl1.files.net", "mail4525.info",   "api.maps20.de"};
    static const char* const paths[] = {"/search/photo.jpg?id=", "/download/report.PDF?id=",
                                        "/assets/app.js?v=", "/content/index.html?q="};
    std::mt19937 rng(5);
    RecordTable table;
    table.reserve(rows, rows * 110);
    char date[32];
    for (std::size_t i = 0; i < rows; ++i) {
        std::snprintf(date, sizeof date, "%02u/%s/2026:%02u:%02u:%02u", unsigned(1 + rng() % 28),
                      months[rng() % 3], unsigned(rng() % 24), unsigned(rng() % 60),
                      unsigned(rng() % 60));
        std::string url = std::string("http://") + hosts[rng() % 6] + paths[rng() % 4];
        for (int k = 0; k < 30; ++k)
            url += char('a' + rng() % 26);
        table.append(date, "GET \"HTTP\"", url, 7);
    }
    return table;
}

double TimeChange(QTreeView& view, RecordModel& model, const RecordFilter& filter)
{
    QElapsedTimer clock;
    clock.start();
    model.setFilter(filter);
    view.viewport()->repaint();
    QCoreApplication::processEvents();
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const std::size_t rows = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    RecordModel model;
    QTreeView view;
    view.setUniformRowHeights(true);
    view.setRootIsDecorated(false);
    view.setModel(&model);
    view.resize(900, 600);
    view.show();
    QElapsedTimer clock;
    clock.start();
    model.setTable(MakeRows(rows));
    QCoreApplication::processEvents();
    std::printf("%zu rows listed in %.0f ms\n", rows, double(clock.nsecsElapsed()) / 1e6);

    // A person typing a URL text, then deleting it again, then a range of dates.
    std::vector<double> times;
    const std::string typed = "report.pdf?id=q";
    RecordFilter filter;
    for (std::size_t n = 1; n <= typed.size(); ++n) {
        filter.url = typed.substr(0, n);
        times.push_back(TimeChange(view, model, filter));
    }
    for (std::size_t n = typed.size(); n-- > 0;) {
        filter.url = typed.substr(0, n);
        times.push_back(TimeChange(view, model, filter));
    }
    filter.from = qelt::ParseTimeBound("2026-12-01", qelt::TimeBound::Lower);
    times.push_back(TimeChange(view, model, filter));
    filter.to = qelt::ParseTimeBound("2026-12-15", qelt::TimeBound::Upper);
    times.push_back(TimeChange(view, model, filter));
    filter.url = "example";
    times.push_back(TimeChange(view, model, filter));
    {
        RecordModel bare;
        bare.setTable(MakeRows(rows));
        QElapsedTimer c;
        c.start();
        RecordFilter f;
        f.url = "r";
        bare.setFilter(f);
        std::printf("model alone, 'r': %.1f ms\n", double(c.nsecsElapsed()) / 1e6);
        c.restart();
        f.url = "report.pdf?id=q";
        bare.setFilter(f);
        std::printf("model alone, long: %.1f ms\n", double(c.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    std::printf(
        "filter change shown: median %.1f ms, slowest %.1f ms over %zu changes (goal 100 ms)\n",
        times[times.size() / 2], times.back(), times.size());

    model.setFilter({});
    for (int column : {RecordModel::DateColumn, RecordModel::UrlColumn}) {
        clock.restart();
        model.sortRows(column);
        view.viewport()->repaint();
        std::printf("sort by column %d: %.0f ms\n", column, double(clock.nsecsElapsed()) / 1e6);
    }
    return 0;
}
