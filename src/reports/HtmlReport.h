#pragma once

// The whole-log report as one self-contained HTML file: the totals, requests by hour of day, by
// day and by connection type, the top hosts, and a table of the users with their numbers and
// top hosts. The charts are inline SVG; the file refers to nothing outside itself and needs no
// script. It is also well-formed XML, so that it can be checked and processed as such.
//
//   const qelt::LogStats stats = qelt::ComputeLogStats(files);
//   const std::string html = qelt::HtmlReport(stats, {"log1.txt"}, codePage);

#include "logaccess/LogStats.h"
#include "settings/CodePage.h"

#include <string>
#include <vector>

namespace qelt {

// stats must be counted for the whole log (StatsScope::ForAll). logNames are UTF-8 texts.
std::string HtmlReport(const LogStats& stats, const std::vector<std::string>& logNames,
                       CodePageId codePage);

// One bar chart as an inline SVG element: labels (UTF-8) under vertical bars, or beside
// horizontal ones; every bar carries its exact number as a tooltip and, for horizontal bars, as
// text at its end.
std::string SvgBarChart(const std::vector<std::string>& labels,
                        const std::vector<RequestCount>& values, bool horizontal);

} // namespace qelt
