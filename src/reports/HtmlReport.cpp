#include "reports/HtmlReport.h"

#include "reports/TextOutput.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

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

std::string px(double value)
{
    return std::to_string(static_cast<long long>(std::lround(value)));
}

// Characters of UTF-8 text: every byte that does not continue a sequence starts one.
std::size_t characters(std::string_view utf8)
{
    std::size_t n = 0;
    for (const char c : utf8)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// At most max characters of UTF-8 text, cut at a character's start and ended with an ellipsis
// when cut.
std::string shortened(const std::string& utf8, std::size_t max)
{
    if (characters(utf8) <= max)
        return utf8;
    std::size_t kept = 0;
    std::size_t at = 0;
    for (; at < utf8.size(); ++at) {
        if ((static_cast<unsigned char>(utf8[at]) & 0xC0) != 0x80 && kept++ == max - 1)
            break;
    }
    return utf8.substr(0, at) + "\xE2\x80\xA6";
}

// The width of a label in the charts' 11 px sans-serif, generously: wide enough for digits and
// most letters.
double labelWidth(const std::string& utf8)
{
    return 6.4 * static_cast<double>(characters(utf8));
}

// A round step for about four lines of scale up to top: 1, 2 or 5 times a power of ten.
RequestCount scaleStep(RequestCount top)
{
    const double raw = static_cast<double>(top) / 4;
    RequestCount power = 1;
    while (static_cast<double>(power) * 10 <= raw)
        power *= 10;
    for (const RequestCount factor : {1, 2, 5, 10}) {
        if (static_cast<double>(power * factor) >= raw)
            return power * factor;
    }
    return power * 10;
}

std::string svgOpen(double width, double height)
{
    // The viewBox lets the chart shrink with a narrow window instead of running off its side.
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + px(width) + "\" height=\"" +
           px(height) + "\" viewBox=\"0 0 " + px(width) + " " + px(height) + "\" role=\"img\">";
}

const char* const Style = R"(
body { font-family: sans-serif; margin: 1.5em; color: #222; background: #fff; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; }
table { border-collapse: collapse; margin: 0.5em 0; }
th, td { border: 1px solid #bbb; padding: 2px 8px; text-align: left; vertical-align: top; }
td { overflow-wrap: anywhere; }
td.n, th.n { text-align: right; white-space: nowrap; font-variant-numeric: tabular-nums; }
td.d { white-space: nowrap; }
td:first-child { min-width: 7em; }
td.top { min-width: 12em; }
th { background: #eee; }
svg { display: block; max-width: 100%; height: auto; }
svg text { font-family: sans-serif; font-size: 11px; fill: #222; }
svg .bar { fill: #3a6ea5; }
svg .grid { stroke: #ddd; }
svg .axis { stroke: #888; }
.note { color: #555; font-size: 0.9em; }
@media (max-width: 60em) {
  body { margin: 0.5em; font-size: 0.9em; }
  th, td { padding: 2px 4px; }
  td.top { min-width: 10em; }
}
)";

// Most users the table lists: a log of a million users would otherwise make a report that no
// browser opens.
constexpr std::size_t MaxUserRows = 1000;

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
        // Labels right-aligned before the bars, each bar's number after it.
        constexpr double Row = 18;
        constexpr double BarRoom = 420;
        constexpr std::size_t MaxLabel = 48;
        double labelRoom = 40;
        std::vector<std::string> shown;
        for (const std::string& label : labels) {
            shown.push_back(shortened(label, MaxLabel));
            labelRoom = std::max(labelRoom, labelWidth(shown.back()));
        }
        const double left = labelRoom + 8;
        const double width = left + BarRoom + labelWidth(number(top)) + 10;
        out += svgOpen(width, static_cast<double>(n) * Row + 6);
        for (std::size_t i = 0; i < n; ++i) {
            const double y = 3 + static_cast<double>(i) * Row;
            const double w =
                std::max(1.0, static_cast<double>(values[i]) / static_cast<double>(top) * BarRoom);
            out += "<text x=\"" + px(left - 6) + "\" y=\"" + px(y + 13) +
                   "\" text-anchor=\"end\">" + html(shown[i]) + "</text>";
            out += "<rect class=\"bar\" x=\"" + px(left) + "\" y=\"" + px(y + 2) + "\" width=\"" +
                   px(w) + "\" height=\"" + px(Row - 4) + "\"><title>" + html(labels[i]) + ": " +
                   std::to_string(values[i]) + "</title></rect>";
            out += "<text x=\"" + px(left + w + 4) + "\" y=\"" + px(y + 13) + "\">" +
                   number(values[i]) + "</text>";
        }
        out += "</svg>";
        return out;
    }

    // Vertical bars over a scale of round numbers with light lines across.
    constexpr std::size_t MaxLabel = 16;
    constexpr double Plot = 200;
    constexpr double Top = 10;
    constexpr double MaxPlotWidth = 1000;
    const RequestCount step = scaleStep(top);
    const RequestCount scaleTop = (top + step - 1) / step * step;
    double widest = 0;
    std::vector<std::string> shown;
    for (const std::string& label : labels) {
        shown.push_back(shortened(label, MaxLabel));
        widest = std::max(widest, labelWidth(shown.back()));
    }
    double left = labelWidth(number(scaleTop)) + 12;
    // Labels stand upright when each fits under its bar within the width, else slanted; when
    // even slanted ones would touch, only every k-th bar is labelled.
    double slot = std::max(28.0, widest + 8);
    const bool slanted = static_cast<double>(n) * slot > MaxPlotWidth;
    std::size_t every = 1;
    if (slanted) {
        slot = std::clamp(MaxPlotWidth / static_cast<double>(n), 4.0, 28.0);
        every = static_cast<std::size_t>(std::ceil(15.0 / slot));
        // The first label, slanted down to the left, stays inside the chart.
        left = std::max(left, widest * 0.64 - slot / 2 + 2);
    }
    const double bar = std::min(slot - 2, 40.0);
    const double base = Top + Plot;
    const double bottom = slanted ? widest * 0.77 + 20 : 24;
    const double width = left + static_cast<double>(n) * slot + 10;
    out += svgOpen(width, base + bottom);
    for (RequestCount tick = 0; tick <= scaleTop; tick += step) {
        const double y = base - static_cast<double>(tick) / static_cast<double>(scaleTop) * Plot;
        out += "<line class=\"" + std::string(tick == 0 ? "axis" : "grid") + "\" x1=\"" +
               px(left - 4) + "\" y1=\"" + px(y) + "\" x2=\"" + px(width - 5) + "\" y2=\"" + px(y) +
               "\"/>";
        out += "<text x=\"" + px(left - 7) + "\" y=\"" + px(y + 4) + "\" text-anchor=\"end\">" +
               number(tick) + "</text>";
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double h = static_cast<double>(values[i]) / static_cast<double>(scaleTop) * Plot;
        const double x = left + static_cast<double>(i) * slot;
        const double cx = x + slot / 2;
        out += "<rect class=\"bar\" x=\"" + px(cx - bar / 2) + "\" y=\"" + px(base - h) +
               "\" width=\"" + px(bar) + "\" height=\"" + px(h) + "\"><title>" + html(labels[i]) +
               ": " + std::to_string(values[i]) + "</title></rect>";
        if (i % every != 0)
            continue;
        const double ty = base + 14;
        if (slanted) {
            out += "<text x=\"" + px(cx + 3) + "\" y=\"" + px(ty) +
                   "\" text-anchor=\"end\" transform=\"rotate(-50 " + px(cx + 3) + " " + px(ty) +
                   ")\">" + html(shown[i]) + "</text>";
        } else {
            out += "<text x=\"" + px(cx) + "\" y=\"" + px(ty) + "\" text-anchor=\"middle\">" +
                   html(shown[i]) + "</text>";
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
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>"
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
           "</td></tr><tr><th>First request</th><td class=\"d\">" +
           html(decoded(all.first, codePage)) +
           "</td></tr><tr><th>Last request</th><td class=\"d\">" +
           html(decoded(all.last, codePage)) + "</td></tr></table>\n";
    if (all.requests == 0) {
        out += "<p class=\"note\">No requests: the logs hold no line of a user.</p>\n"
               "</body></html>\n";
        return out;
    }

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
    out += top.size() < all.hosts
               ? "<h2>Top " + std::to_string(top.size()) + " hosts by requests</h2>\n"
               : std::string("<h2>Hosts by requests</h2>\n");
    out += SvgBarChart(labels, values, true) + "\n";
    out += "<table><tr><th>Host</th><th class=\"n\">Requests</th><th class=\"n\">Users</th>"
           "<th>First request</th><th>Last request</th></tr>\n";
    for (const HostTotal& host : top) {
        out += "<tr><td>" + html(decoded(host.host, codePage)) + "</td><td class=\"n\">" +
               number(host.requests) + "</td><td class=\"n\">" + number(host.users) +
               "</td><td class=\"d\">" + html(decoded(DateAt(stats, host.firstAt), codePage)) +
               "</td><td class=\"d\">" + html(decoded(DateAt(stats, host.lastAt), codePage)) +
               "</td></tr>\n";
    }
    out += "</table>\n";

    // Connection types, most requests first.
    std::vector<std::size_t> kinds;
    for (std::size_t k = 0; k < KindSlots; ++k) {
        if (all.byKind[k] > 0)
            kinds.push_back(k);
    }
    std::stable_sort(kinds.begin(), kinds.end(),
                     [&](std::size_t a, std::size_t b) { return all.byKind[a] > all.byKind[b]; });
    out += "<h2>Connection types</h2>\n<table><tr><th>Type</th><th class=\"n\">Requests</th>"
           "<th class=\"n\">Share</th></tr>\n";
    for (const std::size_t k : kinds) {
        const double share =
            100.0 * static_cast<double>(all.byKind[k]) / static_cast<double>(all.requests);
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
    const std::size_t listed = std::min(users.size(), MaxUserRows);
    out += "<h2>Users</h2>\n";
    if (listed < users.size()) {
        RequestCount rest = 0;
        for (std::size_t i = listed; i < users.size(); ++i)
            rest += users[i]->requests;
        out += "<p class=\"note\">The " + number(listed) + " busiest of " + number(users.size()) +
               " users; the other " + number(users.size() - listed) + " made " + number(rest) +
               " requests.</p>\n";
    }
    out += "<table><tr><th>User</th><th class=\"n\">Requests</th>"
           "<th class=\"n\">Hosts</th><th>First request</th><th>Last request</th>"
           "<th>Top hosts</th></tr>\n";
    for (std::size_t u = 0; u < listed; ++u) {
        const UserStats* user = users[u];
        out += "<tr><td>" + html(decoded(user->name, codePage)) + "</td><td class=\"n\">" +
               number(user->requests) + "</td><td class=\"n\">" + number(user->hostCount) +
               "</td><td class=\"d\">" + html(decoded(user->first, codePage)) +
               "</td><td class=\"d\">" + html(decoded(user->last, codePage)) +
               "</td><td class=\"top\">";
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
