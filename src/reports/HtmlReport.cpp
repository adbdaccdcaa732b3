#include "reports/HtmlReport.h"

#include "reports/TextOutput.h"

#include <algorithm>

namespace qelt {

namespace {

std::string decoded(std::string_view bytes, CodePageId codePage)
{
    return DecodeForDisplay(bytes, codePage);
}

std::string html(std::string_view utf8)
{
    std::string out;
    AppendHtmlText(out, utf8);
    return out;
}

std::string number(RequestCount n)
{
    // Thousands apart with a thin space, so that large numbers read at a glance.
    const std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += "\xE2\x80\x89";
        out += digits[i];
    }
    return out;
}

const char* const Style = R"(
body { font-family: sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; }
table { border-collapse: collapse; margin: 0.5em 0; }
th, td { border: 1px solid #bbb; padding: 2px 8px; text-align: left; vertical-align: top; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
th { background: #eee; }
svg text { font-family: sans-serif; font-size: 11px; fill: #222; }
svg rect.bar { fill: #3a6ea5; }
.note { color: #555; font-size: 0.9em; }
)";

} // namespace

std::string SvgBarChart(const std::vector<std::string>& labels,
                        const std::vector<RequestCount>& values, bool horizontal)
{
    RequestCount top = 1;
    for (const RequestCount v : values)
        top = std::max(top, v);
    std::string out;
    const std::size_t n = values.size();
    if (horizontal) {
        constexpr int Row = 18;
        constexpr int LabelWidth = 300;
        constexpr int BarRoom = 420;
        const int height = static_cast<int>(n) * Row + 10;
        out += "<svg width=\"" + std::to_string(LabelWidth + BarRoom + 90) + "\" height=\"" +
               std::to_string(height) + "\" role=\"img\">";
        for (std::size_t i = 0; i < n; ++i) {
            const int y = 5 + static_cast<int>(i) * Row;
            const int w =
                std::max(1, static_cast<int>(static_cast<double>(values[i]) / top * BarRoom));
            std::string label = labels[i];
            if (label.size() > 48)
                label = label.substr(0, 45) + "...";
            out += "<text x=\"" + std::to_string(LabelWidth - 6) + "\" y=\"" +
                   std::to_string(y + 13) + "\" text-anchor=\"end\">" + html(label) + "</text>";
            out += "<rect class=\"bar\" x=\"" + std::to_string(LabelWidth) + "\" y=\"" +
                   std::to_string(y + 2) + "\" width=\"" + std::to_string(w) + "\" height=\"" +
                   std::to_string(Row - 4) + "\"><title>" + html(labels[i]) + ": " +
                   std::to_string(values[i]) + "</title></rect>";
            out += "<text x=\"" + std::to_string(LabelWidth + w + 4) + "\" y=\"" +
                   std::to_string(y + 13) + "\">" + std::to_string(values[i]) + "</text>";
        }
        out += "</svg>";
        return out;
    }
    const bool slanted = n > 24;
    const int slot = n > 60 ? 10 : n > 24 ? 16 : 28;
    constexpr int Left = 60;
    constexpr int Plot = 200;
    const int bottom = slanted ? 80 : 24;
    const int width = Left + static_cast<int>(n) * slot + 10;
    const int height = 10 + Plot + bottom;
    out += "<svg width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) +
           "\" role=\"img\">";
    // The scale: the top value and zero.
    out += "<line x1=\"" + std::to_string(Left - 4) + "\" y1=\"" + std::to_string(10 + Plot) +
           "\" x2=\"" + std::to_string(width - 5) + "\" y2=\"" + std::to_string(10 + Plot) +
           "\" stroke=\"#888\"/>";
    out += "<text x=\"" + std::to_string(Left - 6) + "\" y=\"14\" text-anchor=\"end\">" +
           std::to_string(top) + "</text>";
    out += "<text x=\"" + std::to_string(Left - 6) + "\" y=\"" + std::to_string(10 + Plot) +
           "\" text-anchor=\"end\">0</text>";
    for (std::size_t i = 0; i < n; ++i) {
        const int h = static_cast<int>(static_cast<double>(values[i]) / top * Plot);
        const int x = Left + static_cast<int>(i) * slot;
        out += "<rect class=\"bar\" x=\"" + std::to_string(x + 1) + "\" y=\"" +
               std::to_string(10 + Plot - h) + "\" width=\"" + std::to_string(slot - 2) +
               "\" height=\"" + std::to_string(h) + "\"><title>" + html(labels[i]) + ": " +
               std::to_string(values[i]) + "</title></rect>";
        const int cx = x + slot / 2;
        const int ty = 10 + Plot + 14;
        if (slanted) {
            out += "<text x=\"" + std::to_string(cx) + "\" y=\"" + std::to_string(ty) +
                   "\" text-anchor=\"end\" transform=\"rotate(-50 " + std::to_string(cx) + " " +
                   std::to_string(ty) + ")\">" + html(labels[i]) + "</text>";
        } else {
            out += "<text x=\"" + std::to_string(cx) + "\" y=\"" + std::to_string(ty) +
                   "\" text-anchor=\"middle\">" + html(labels[i]) + "</text>";
        }
    }
    out += "</svg>";
    return out;
}

std::string HtmlReport(const LogStats& stats, const std::vector<std::string>& logNames,
                       CodePageId codePage)
{
    const ScopeStats& all = stats.scope;
    std::string out;
    out += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"/>"
           "<title>Proxy log report</title><style>";
    out += Style;
    out += "</style></head><body>\n<h1>Proxy log report</h1>\n<p>Logs: ";
    for (std::size_t i = 0; i < logNames.size(); ++i)
        out += (i > 0 ? ", " : "") + html(logNames[i]);
    out += "</p>\n";
    if (stats.cancelled)
        out += "<p class=\"note\">The count was stopped: the numbers cover part of the logs.</p>";

    out += "<table><tr><th>Requests</th><td class=\"n\">" + number(all.requests) +
           "</td></tr><tr><th>Users</th><td class=\"n\">" + number(stats.users.size()) +
           "</td></tr><tr><th>Distinct hosts</th><td class=\"n\">" + number(all.hosts) +
           "</td></tr><tr><th>First request</th><td>" + html(decoded(all.first, codePage)) +
           "</td></tr><tr><th>Last request</th><td>" + html(decoded(all.last, codePage)) +
           "</td></tr></table>\n";

    // Requests by hour of day.
    std::vector<std::string> labels;
    std::vector<RequestCount> values;
    for (std::size_t h = 0; h < 24; ++h) {
        labels.push_back(std::to_string(h));
        values.push_back(all.byHour[h]);
    }
    if (all.byHour[UnknownHour] > 0) {
        labels.push_back("?");
        values.push_back(all.byHour[UnknownHour]);
    }
    out += "<h2>Requests by hour of day</h2>\n" + SvgBarChart(labels, values, false) + "\n";

    labels.clear();
    values.clear();
    for (const DayCount& day : all.byDay) {
        labels.push_back(day.day.empty() ? "?" : decoded(day.day, codePage));
        values.push_back(day.requests);
    }
    out += "<h2>Requests by day</h2>\n" + SvgBarChart(labels, values, false) + "\n";

    const std::vector<HostTotal> top = HostTotals(stats, StatsScope::ForAll(), 20);
    labels.clear();
    values.clear();
    for (const HostTotal& host : top) {
        labels.push_back(decoded(host.host, codePage));
        values.push_back(host.requests);
    }
    out += "<h2>Top " + std::to_string(top.size()) + " hosts by requests</h2>\n" +
           SvgBarChart(labels, values, true) + "\n";
    out += "<table><tr><th>Host</th><th class=\"n\">Requests</th><th class=\"n\">Users</th>"
           "<th>First request</th><th>Last request</th></tr>\n";
    for (const HostTotal& host : top) {
        out += "<tr><td>" + html(decoded(host.host, codePage)) + "</td><td class=\"n\">" +
               number(host.requests) + "</td><td class=\"n\">" + number(host.users) + "</td><td>" +
               html(decoded(DateAt(stats, host.firstAt), codePage)) + "</td><td>" +
               html(decoded(DateAt(stats, host.lastAt), codePage)) + "</td></tr>\n";
    }
    out += "</table>\n";

    out += "<h2>Connection types</h2>\n<table><tr><th>Type</th><th class=\"n\">Requests</th>"
           "<th class=\"n\">Share</th></tr>\n";
    for (std::size_t k = 0; k < KindSlots; ++k) {
        if (all.byKind[k] == 0)
            continue;
        const double share = all.requests ? 100.0 * all.byKind[k] / all.requests : 0.0;
        char percent[32];
        std::snprintf(percent, sizeof percent, "%.1f %%", share);
        out += "<tr><td>" + std::string(KindSlotName(k)) + "</td><td class=\"n\">" +
               number(all.byKind[k]) + "</td><td class=\"n\">" + percent + "</td></tr>\n";
    }
    out += "</table>\n";

    // The users, busiest first.
    std::vector<const UserStats*> users;
    for (const UserStats& user : stats.users)
        users.push_back(&user);
    std::stable_sort(users.begin(), users.end(), [](const UserStats* a, const UserStats* b) {
        return a->requests > b->requests;
    });
    out += "<h2>Users</h2>\n<table><tr><th>User</th><th class=\"n\">Requests</th>"
           "<th class=\"n\">Hosts</th><th>First request</th><th>Last request</th>"
           "<th>Top hosts</th></tr>\n";
    for (const UserStats* user : users) {
        out += "<tr><td>" + html(decoded(user->name, codePage)) + "</td><td class=\"n\">" +
               number(user->requests) + "</td><td class=\"n\">" + number(user->hostCount) +
               "</td><td>" + html(decoded(user->first, codePage)) + "</td><td>" +
               html(decoded(user->last, codePage)) + "</td><td>";
        std::vector<const HostStats*> hosts;
        for (const HostStats& host : stats.hostsOf(*user))
            hosts.push_back(&host);
        const std::size_t shown = std::min<std::size_t>(3, hosts.size());
        std::partial_sort(hosts.begin(), hosts.begin() + static_cast<std::ptrdiff_t>(shown),
                          hosts.end(), [](const HostStats* a, const HostStats* b) {
                              if (a->requests != b->requests)
                                  return a->requests > b->requests;
                              return a->firstAt < b->firstAt;
                          });
        for (std::size_t i = 0; i < shown; ++i) {
            out += (i > 0 ? ", " : "") + html(decoded(hosts[i]->host, codePage)) + " (" +
                   number(hosts[i]->requests) + ")";
        }
        out += "</td></tr>\n";
    }
    out += "</table>\n</body></html>\n";
    return out;
}

} // namespace qelt
