#pragma once

// The numbers of one or more logs, counted in one pass over each: per user and per host node the
// requests and the date texts of the first and last line, and for the lines of a chosen scope
// (the whole log, one user node or one host node) the requests by hour of day, by day and by
// connection kind.
//
//   std::vector<std::shared_ptr<const qelt::LogFile>> files{std::make_shared<...>(path), ...};
//   const qelt::LogStats stats = qelt::ComputeLogStats(files, qelt::StatsScope::ForUser("alice"));
//   for (const qelt::UserStats& user : stats.users)          // tree order
//       for (const qelt::HostStats& host : stats.hostsOf(user)) ...
//   stats.scope.requests; stats.scope.byHour[3]; stats.scope.byDay;
//
// A node holds exactly the lines the index counts into it: a line is the user node U's when its
// user field, as ExtractIndexFields takes it, equals U byte for byte, and the host node H's of U
// when its host field equals H as well. Texts are whole, never cut. Several logs count as one
// log made of them in the order given. The texts are views into the files, which the result
// keeps alive.

#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qelt {

using RequestCount = std::uint64_t;

// Where a line stands in the logs counted together: the log's place in the order given in the
// high bits, the line's byte offset in the low 40 bits. Later lines have larger positions.
using LinePosition = std::uint64_t;
inline constexpr unsigned LinePositionFileShift = 40;

// byKind slots: the ConnectionKinds 0 to 6 (2 is never used), and one for lines without a token.
inline constexpr std::size_t NoKindSlot = 7;
inline constexpr std::size_t KindSlots = 8;
// byHour slots: 0 to 23, and one for date texts without a readable hour.
inline constexpr std::size_t UnknownHour = 24;
inline constexpr std::size_t HourSlots = 25;

struct HostStats
{
    std::string_view host;   // whole text
    ConnectionKind kind = 0; // of the first line that produced this user and host
    RequestCount requests = 0;
    LinePosition firstAt = 0; // the node's first line: its date text is DateAt(stats, firstAt)
    LinePosition lastAt = 0;
};

struct UserStats
{
    std::string_view name; // whole text
    RequestCount requests = 0;
    std::string_view first;
    std::string_view last;
    LinePosition firstAt = 0;
    LinePosition lastAt = 0;
    std::size_t firstHost = 0; // into LogStats::hosts
    std::size_t hostCount = 0; // the user's distinct hosts
};

struct DayCount
{
    std::string_view day; // the first 11 bytes of the date text ("07/Dec/2026")
    RequestCount requests = 0;
};

// Which lines the histograms count.
struct StatsScope
{
    enum class Level
    {
        All,
        User,
        Host
    };
    Level level = Level::All;
    std::string user;
    std::string host;

    static StatsScope ForAll() { return {}; }
    static StatsScope ForUser(std::string user) { return {Level::User, std::move(user), {}}; }
    static StatsScope ForHost(std::string user, std::string host)
    {
        return {Level::Host, std::move(user), std::move(host)};
    }
};

// The numbers of the lines in the scope: for All, every line that some user node holds.
struct ScopeStats
{
    RequestCount requests = 0;
    std::size_t hosts = 0; // distinct host texts among them
    std::string_view first;
    std::string_view last;
    std::array<RequestCount, HourSlots> byHour{};
    std::vector<DayCount> byDay; // in date order; days that cannot be read last, as found
    std::array<RequestCount, KindSlots> byKind{};
};

struct LogStats
{
    std::vector<UserStats> users; // in tree order: order of first appearance
    std::vector<HostStats> hosts; // the hosts of users[0] in tree order, then of users[1], ...
    ScopeStats scope;
    bool cancelled = false; // stopped early: the numbers cover only part of the logs
    std::vector<std::shared_ptr<const LogFile>> sources; // keeps the texts alive
    std::vector<std::string_view> texts;                 // the bytes of each log counted

    struct HostRange
    {
        const HostStats* first;
        const HostStats* last;
        const HostStats* begin() const { return first; }
        const HostStats* end() const { return last; }
        std::size_t size() const { return static_cast<std::size_t>(last - first); }
    };
    HostRange hostsOf(const UserStats& user) const
    {
        const HostStats* first = hosts.data() + user.firstHost;
        return {first, first + user.hostCount};
    }
    // The user node whose name equals name, or null.
    const UserStats* findUser(std::string_view name) const;
};

struct StatsOptions
{
    // How many parts to count at once: 0 picks by the text's size and the machine's cores.
    unsigned threads = 0;
    std::size_t minBytesPerThread = 16u << 20;
    // Checked every few megabytes; when set the count stops and returns what it has.
    const std::atomic<bool>* cancel = nullptr;
    // Whether to count the distinct host texts of the whole log (ScopeStats::hosts for All).
    bool countDistinctHosts = true;
};

// The date text of the line at a position of stats' logs (empty when there is none).
std::string_view DateAt(const LogStats& stats, LinePosition at);
// How many distinct host texts the users of stats reached.
std::size_t DistinctHosts(const LogStats& stats);

// Counts the logs, in the order given. Throws QeltError when a log was cut short while read.
LogStats ComputeLogStats(const std::vector<std::shared_ptr<const LogFile>>& files,
                         const StatsScope& scope = {}, const StatsOptions& options = {});
// Counts one text (a NUL ends it, as it ends a log's text).
LogStats ComputeLogStats(std::string_view text, const StatsScope& scope = {},
                         const StatsOptions& options = {});

// The date text of a line, as the request list shows it (ExtractRecordFields' date), found
// without looking for the connection type.
std::string_view ExtractDateText(std::string_view line);
// The hour of a date text "dd/Mon/yyyy:hh:mm:ss", or UnknownHour.
std::size_t HourOfDate(std::string_view date);
// yyyymmdd of a day text "dd/Mon/yyyy", or 0 when it cannot be read.
std::uint32_t DayNumber(std::string_view day);

// A host text summed over the users of the scope.
struct HostTotal
{
    std::string_view host;
    ConnectionKind kind = 0; // the kind of its first line among them
    RequestCount requests = 0;
    std::size_t users = 0; // how many users reached it
    LinePosition firstAt = 0;
    LinePosition lastAt = 0;
    std::string_view firstUser; // the user of the host's first line: where a click goes
};

// The hosts of the scope's lines: for All every host text summed over all users, for a user its
// hosts, for a host that host. Sorted by requests, most first (ties: earlier first line first),
// at most limit of them (0: all).
std::vector<HostTotal> HostTotals(const LogStats& stats, const StatsScope& scope,
                                  std::size_t limit = 0);

// The name of a connection kind or byKind slot: "HTTPS", "HTTP", "FTP", "POP3/SMTP", "MAP",
// "SOCKS5", and "none" for NoKindSlot; unknown for any other number.
const char* KindSlotName(std::size_t slot, const char* unknown = "");

} // namespace qelt
