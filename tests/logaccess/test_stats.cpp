#include "common/Bytes.h"
#include "logaccess/LogStats.h"
#include "logaccess/ReferenceLines.h"
#include "settings/TempFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace qelt;

namespace {

const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A log of many users and hosts with every kind, long texts that differ only after their 25th
// (50th) byte, dates over several days and hours (often the same second in a row), lines that
// qualify without user or host, lines that do not qualify, and line ends of all sorts. Now and
// then a '[' or '+' stands before the date (in the first field or the user), in it, or only
// after it (another time zone), or the first field is long.
std::string generatedLog(unsigned seed, int lines)
{
    std::mt19937 random(seed);
    const char* const ends[] = {"\r\n", "\r\n", "\r\n", "\n", "\r"};
    std::string text;
    char date[64] = {};
    for (int i = 0; i < lines; ++i) {
        const unsigned u = random() % 300;
        std::string user = "user" + std::to_string(u);
        if (u % 7 == 0)
            user = std::string(30, 'x') + std::to_string(u); // differs after byte 25
        if (u % 13 == 0)
            user = "CORP\\" + user + " with space";
        if (u % 17 == 0)
            user += "[+]";
        const unsigned h = random() % 900;
        std::string host = "host" + std::to_string(h) + ".example";
        if (h % 11 == 0)
            host = std::string(55, 'z') + std::to_string(h); // differs after byte 50
        const auto day = static_cast<unsigned>(1 + random() % 4);
        const auto hour = static_cast<unsigned>(random() % 24);
        // Half the lines stand in the same second as the line before, as in a real log.
        if (i == 0 || random() % 2 == 0)
            std::snprintf(date, sizeof date, "%02u/%s/2026:%02u:%02u:%02u %s", day,
                          Months[(day * 5) % 12], hour, static_cast<unsigned>(random() % 60),
                          static_cast<unsigned>(random() % 60),
                          random() % 10 == 0 ? "-0500" : (random() % 20 == 0 ? "+" : "+0800"));
        if (random() % 30 == 0)
            date[random() % 2 ? 15 : 1] = '+';
        const unsigned client = random() % 30;
        const std::string head = (client == 0   ? std::string("client.with.a.long.name")
                                  : client == 1 ? std::string("10.0.0.1+[")
                                  : client == 2 ? std::string("10.0.0.1.example[")
                                  : client == 3 ? std::string("1")
                                                : "10.0.0." + std::to_string(client % 9)) +
                                 " - " + user + " [" + date + "] \"";
        std::string l;
        switch (random() % 9) {
        case 0:
            l = head + "GET http://" + host + "/x?y+z HTTP/1.1\" \"HTTP\" 200 5";
            break;
        case 1:
            l = head + "CONNECT " + host + ":443 HTTP/1.0\" \"HTTPS\"";
            break;
        case 2:
            l = head + "RETR Host:" + host + "-User:x\" \"" + (random() % 2 ? "POP3" : "smtp") +
                "\"";
            break;
        case 3:
            l = head + "CONNECT " + host + ":1080 HTTP/1.0\" \"SOCKS5\"";
            break;
        case 4:
            l = head + "RETR ftp://u@" + host + "\" \"FTP\"";
            break;
        case 5:
            l = head + "GET /no/token HTTP/1.1\""; // qualifies, user, no kind, no host
            break;
        case 6:
            l = "10.0.0.1 - [" + std::string(date) + "] \"GET http://" + host + "/ HTTP/1.1\" " +
                "\"HTTP\""; // empty user
            break;
        case 7:
            l = "garbage without the separator " + host; // does not qualify
            break;
        default:
            l = head + "CONNECT " + host + ":9 HTTP/1.0\" \"MAP\"";
            break;
        }
        text += l + ends[random() % 5];
    }
    return text;
}

// The numbers counted the plain way: one line after the other, maps keyed by whole texts.
struct PlainNode
{
    RequestCount requests = 0;
    std::string first, last;
    int kind = -1;
};
struct PlainCount
{
    std::vector<std::string> users; // in order of first appearance
    std::map<std::string, PlainNode> user;
    std::map<std::string, std::vector<std::string>> hostOrder;
    std::map<std::pair<std::string, std::string>, PlainNode> host;
    RequestCount requests = 0;
    std::map<std::string, bool> distinct;
    std::array<RequestCount, HourSlots> byHour{};
    std::map<std::string, RequestCount> byDay;
    std::array<RequestCount, KindSlots> byKind{};
};

PlainCount plainCount(const std::string& text, const StatsScope& scope)
{
    PlainCount plain;
    for (const std::string& line : test::ReferenceLines(text)) {
        const IndexFields f = ExtractIndexFields(line);
        if (!f.qualifies || f.user.empty())
            continue;
        const std::string user(f.user);
        const std::string host(f.host);
        const std::string date(ExtractRecordFields(line).date);
        if (!plain.user.count(user))
            plain.users.push_back(user);
        PlainNode& u = plain.user[user];
        if (u.requests++ == 0)
            u.first = date;
        u.last = date;
        if (!host.empty()) {
            const auto key = std::make_pair(user, host);
            if (!plain.host.count(key))
                plain.hostOrder[user].push_back(host);
            PlainNode& h = plain.host[key];
            if (h.requests++ == 0) {
                h.first = date;
                h.kind = f.kind;
            }
            h.last = date;
        }
        const bool inScope = scope.level == StatsScope::Level::All ||
                             (user == scope.user && (scope.level == StatsScope::Level::User ||
                                                     (!host.empty() && host == scope.host)));
        if (!inScope)
            continue;
        ++plain.requests;
        if (!host.empty())
            plain.distinct[host] = true;
        const bool hourReadable = date.size() >= 14 && date[11] == ':' &&
                                  std::isdigit(static_cast<unsigned char>(date[12])) &&
                                  std::isdigit(static_cast<unsigned char>(date[13])) &&
                                  std::stoi(date.substr(12, 2)) < 24;
        ++plain.byHour[hourReadable ? std::stoul(date.substr(12, 2)) : UnknownHour];
        ++plain.byDay[date.substr(0, 11)];
        ++plain.byKind[f.hasKind ? f.kind : NoKindSlot];
    }
    return plain;
}

void expectEqualToPlain(const LogStats& stats, const PlainCount& plain, const StatsScope& scope)
{
    ASSERT_EQ(stats.users.size(), plain.users.size());
    for (std::size_t i = 0; i < stats.users.size(); ++i) {
        const UserStats& user = stats.users[i];
        const std::string name(user.name);
        ASSERT_EQ(name, plain.users[i]) << i;
        const PlainNode& expected = plain.user.at(name);
        EXPECT_EQ(user.requests, expected.requests) << name;
        EXPECT_EQ(user.first, expected.first) << name;
        EXPECT_EQ(user.last, expected.last) << name;
        const auto order = plain.hostOrder.find(name);
        const std::size_t hostCount = order == plain.hostOrder.end() ? 0 : order->second.size();
        ASSERT_EQ(user.hostCount, hostCount) << name;
        std::size_t k = 0;
        for (const HostStats& host : stats.hostsOf(user)) {
            ASSERT_EQ(std::string(host.host), order->second[k++]) << name;
            const PlainNode& h = plain.host.at({name, std::string(host.host)});
            EXPECT_EQ(host.requests, h.requests);
            EXPECT_EQ(host.kind, h.kind);
            EXPECT_EQ(DateAt(stats, host.firstAt), h.first);
            EXPECT_EQ(DateAt(stats, host.lastAt), h.last);
        }
    }
    EXPECT_EQ(stats.scope.requests, plain.requests);
    if (scope.level != StatsScope::Level::Host || plain.requests > 0) {
        EXPECT_EQ(stats.scope.hosts, plain.distinct.size());
    }
    EXPECT_EQ(stats.scope.byHour, plain.byHour);
    EXPECT_EQ(stats.scope.byKind, plain.byKind);
    std::map<std::string, RequestCount> byDay;
    std::uint32_t previous = 0;
    for (const DayCount& day : stats.scope.byDay) {
        const std::uint32_t number = DayNumber(day.day) == 0 ? 0xFFFFFFFFu : DayNumber(day.day);
        EXPECT_GE(number, previous) << "days in date order, days that cannot be read last";
        previous = number;
        byDay[std::string(day.day)] = day.requests;
    }
    EXPECT_EQ(byDay, plain.byDay);
}

} // namespace

TEST(LogStats, EqualsAPlainCountForEveryScopeAndNumberOfRuns)
{
    const std::string text = generatedLog(5, 20000);
    const LogStats all = ComputeLogStats(text);
    ASSERT_GT(all.users.size(), 150u);
    const UserStats& busy = all.users[3];
    const std::string someUser(busy.name);
    const std::string someHost(all.hostsOf(busy).begin()->host);
    const std::string longUser = std::string(30, 'x') + "7";
    for (const StatsScope& scope :
         {StatsScope::ForAll(), StatsScope::ForUser(someUser), StatsScope::ForUser(longUser),
          StatsScope::ForHost(someUser, someHost), StatsScope::ForUser("nobody")}) {
        SCOPED_TRACE(scope.user + " / " + scope.host);
        const PlainCount plain = plainCount(text, scope);
        for (const unsigned threads : {1u, 3u}) {
            SCOPED_TRACE(threads);
            StatsOptions options;
            options.threads = threads;
            expectEqualToPlain(ComputeLogStats(text, scope, options), plain, scope);
        }
    }
}

TEST(LogStats, SeveralLogsCountAsOneInTheOrderGivenAndANulEndsEach)
{
    test::TempFolder folder;
    const std::string first = generatedLog(8, 3000);
    std::string second = generatedLog(9, 3000);
    const std::string beforeNul = second.substr(0, second.size() / 2);
    second = beforeNul + std::string(1, '\0') + second.substr(second.size() / 2);
    std::ofstream(folder / "log1.txt", std::ios::binary) << first;
    std::ofstream(folder / "log2.txt", std::ios::binary) << second;
    const std::vector<std::shared_ptr<const LogFile>> files{
        std::make_shared<const LogFile>(folder / "log2.txt"),
        std::make_shared<const LogFile>(folder / "log1.txt")};
    // log2 first: its text ends at the NUL, and a line cut there counts as it stands.
    const std::string joined = beforeNul + "\n" + first;
    const LogStats stats = ComputeLogStats(files);
    expectEqualToPlain(stats, plainCount(joined, {}), {});
    // The positions tell the logs apart: the last line of a user seen in both is in log1.
    bool sawBoth = false;
    for (const UserStats& user : stats.users) {
        if ((user.firstAt >> LinePositionFileShift) == 0 &&
            (user.lastAt >> LinePositionFileShift) == 1)
            sawBoth = true;
        EXPECT_EQ(DateAt(stats, user.lastAt), user.last);
    }
    EXPECT_TRUE(sawBoth);
}

TEST(LogStats, HostTotalsSumAUserHostOverUsersMostFirst)
{
    const std::string text = generatedLog(21, 8000);
    const LogStats stats = ComputeLogStats(text);
    std::map<std::string, RequestCount> perHost;
    std::map<std::string, std::size_t> users;
    for (const HostStats& host : stats.hosts) {
        perHost[std::string(host.host)] += host.requests;
        ++users[std::string(host.host)];
    }
    const std::vector<HostTotal> totals = HostTotals(stats, StatsScope::ForAll());
    ASSERT_EQ(totals.size(), perHost.size());
    EXPECT_EQ(stats.scope.hosts, perHost.size());
    for (std::size_t i = 0; i < totals.size(); ++i) {
        EXPECT_EQ(totals[i].requests, perHost[std::string(totals[i].host)]);
        EXPECT_EQ(totals[i].users, users[std::string(totals[i].host)]);
        if (i > 0) {
            EXPECT_GE(totals[i - 1].requests, totals[i].requests);
        }
    }
    const std::vector<HostTotal> top = HostTotals(stats, StatsScope::ForAll(), 20);
    ASSERT_EQ(top.size(), 20u);
    EXPECT_EQ(top[0].host, totals[0].host);
    const UserStats& user = stats.users[0];
    const auto mine = HostTotals(stats, StatsScope::ForUser(std::string(user.name)));
    EXPECT_EQ(mine.size(), user.hostCount);
}

TEST(LogStats, DateTextHourAndDayFollowTheListingRule)
{
    // The date the list shows, for lines of every shape: '+' or '[' missing, early, late, twice.
    std::mt19937 random(3);
    const std::string pieces[] = {"[", "+", " - ", "07/Dec/2026:03:44:43", "x", "]", "\"", " "};
    for (int i = 0; i < 20000; ++i) {
        std::string line;
        const int n = static_cast<int>(random() % 12);
        for (int k = 0; k < n; ++k)
            line += pieces[random() % 8];
        ASSERT_EQ(ExtractDateText(line), ExtractRecordFields(line).date) << line;
    }
    EXPECT_EQ(HourOfDate("07/Dec/2026:03:44:43"), 3u);
    EXPECT_EQ(HourOfDate("07/Dec/2026:24:00:00"), UnknownHour);
    EXPECT_EQ(HourOfDate("07/Dec/2026"), UnknownHour);
    EXPECT_EQ(DayNumber("07/Dec/2026"), 20261207u);
    EXPECT_EQ(DayNumber("31/Jan/2027:00"), 20270131u);
    EXPECT_EQ(DayNumber("07/Dex/2026"), 0u);
}

TEST(LogStats, CancelStopsAndSaysSo)
{
    const std::string text = generatedLog(4, 100000);
    std::atomic<bool> cancel{true};
    StatsOptions options;
    options.cancel = &cancel;
    options.threads = 2;
    const LogStats stats = ComputeLogStats(text, {}, options);
    EXPECT_TRUE(stats.cancelled);
    EXPECT_LT(stats.scope.requests, plainCount(text, {}).requests);
}

TEST(LogStats, SameBytesSeesADifferenceInEveryByteAtEveryLength)
{
    // The counting tells texts apart by SameBytes, which compares words that overlap at the end.
    const std::string a = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJ";
    for (std::size_t n = 0; n <= 40; ++n) {
        std::string b = a;
        EXPECT_TRUE(SameBytes(a.data() + 3, b.data() + 3, n)) << n;
        for (std::size_t i = 0; i < n; ++i) {
            b[3 + i] = '#';
            EXPECT_FALSE(SameBytes(a.data() + 3, b.data() + 3, n)) << n << " " << i;
            b[3 + i] = a[3 + i];
        }
        b[3 + n] = '#'; // just past the end: no difference
        EXPECT_TRUE(SameBytes(a.data() + 3, b.data() + 3, n)) << n;
    }
}
