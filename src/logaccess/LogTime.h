#pragma once

// The time of a request, from the date column of its row, so that requests compare as times and
// not as texts ("07/Dec/2026" sorts before "08/Jan/2026" as text).
//
//   qelt::ParseLogTime("07/Dec/2026:03:44:43");            // seconds on the log's own clock
//   qelt::ParseTimeBound("2026-12-07", TimeBound::Upper);  // 07/Dec/2026:23:59:59
//
// Times are counted in seconds from 01/Jan/1970:00:00:00 on the log's own clock; the zone that
// follows the date in a line is not part of the date column and is not applied.

#include <cstdint>
#include <optional>
#include <string_view>

namespace qelt {

using LogTime = std::int64_t;

// The time of a date column "DD/Mon/YYYY:HH:MM:SS" (the month as its English three-letter name in
// any case), or nothing when the text is not such a date.
std::optional<LogTime> ParseLogTime(std::string_view date);

enum class TimeBound
{
    Lower, // the parts left out are the start of the period: "2026-12-07" is its first second
    Upper  // the parts left out are its end: "2026-12-07" is its last second
};

// A bound typed by a person: the log's own form "DD/Mon/YYYY[:HH[:MM[:SS]]]" or
// "YYYY-MM-DD[ HH[:MM[:SS]]]" (a 'T' may stand for the space); spaces around it are ignored.
// Nothing when the text is none of these or names no real time.
std::optional<LogTime> ParseTimeBound(std::string_view text, TimeBound bound);

} // namespace qelt
