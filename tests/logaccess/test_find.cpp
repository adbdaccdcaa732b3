#include "ReferenceLines.h"
#include "logaccess/FindInLog.h"
#include "logaccess/LogGrammar.h"
#include "logaccess/LogIndex.h"
#include "logaccess/LogTime.h"
#include "logaccess/TextSearch.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

using namespace qelt;

namespace {

char FoldByte(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c;
}

// The search spelled out: both texts lowered by ASCII rules, then a plain find.
std::size_t ReferenceFind(const std::string& text, const std::string& needle, std::size_t from)
{
    if (needle.empty())
        return std::string::npos;
    std::string a = text, b = needle;
    for (char& c : a)
        c = FoldByte(c);
    for (char& c : b)
        c = FoldByte(c);
    return a.find(b, from);
}

} // namespace

// Bytes that differ from letters only in bit 0x20 ('@' and '`', '[' and '{', 0xC1 and 0xE1) must
// not match each other; letters match in either case; every position of a 16-byte block counts.
// The search that stops at a NUL agrees with the same rule on the text up to its NUL.
TEST(NoCaseFinder, AgreesWithLoweredFindOnRandomTexts)
{
    std::mt19937 rng(7);
    const std::string alphabet = "aAbBzZ@`[{^~.-/\xc1\xe1\x01";
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    for (int round = 0; round < 3000; ++round) {
        std::string text(rng() % 90, ' ');
        for (char& c : text)
            c = alphabet[pick(rng)];
        std::string needle(1 + rng() % 4, ' ');
        for (char& c : needle)
            c = alphabet[pick(rng)];
        const NoCaseFinder finder(needle);
        for (std::size_t from = 0; from <= text.size(); from += 1 + rng() % 20)
            ASSERT_EQ(finder.find(text, from), ReferenceFind(text, needle, from))
                << "text '" << text << "' needle '" << needle << "' from " << from;
    }
    // The search that also stops at a NUL, with each width of vector instructions: texts longer
    // than two vectors, NULs anywhere (in the needle too), occurrences running into a NUL.
    const std::string withNul = alphabet + std::string(2, '\0');
    std::uniform_int_distribution<std::size_t> pickNul(0, withNul.size() - 1);
    for (int round = 0; round < 3000; ++round) {
        std::string text(rng() % 200, ' ');
        for (char& c : text)
            c = rng() % 8 == 0 ? withNul[pickNul(rng)] : alphabet[pick(rng)];
        std::string needle(1 + rng() % 4, ' ');
        for (char& c : needle)
            c = rng() % 20 == 0 ? '\0' : alphabet[pick(rng)];
        const NoCaseFinder finder(needle);
        for (std::size_t from = 0; from <= text.size(); from += 1 + rng() % 40) {
            // The text ends at its first NUL from `from` on.
            const std::size_t nulAt = text.find('\0', from);
            const std::size_t found = ReferenceFind(
                text.substr(0, nulAt == std::string::npos ? text.size() : nulAt), needle, from);
            const std::size_t expected = found != std::string::npos ? found : nulAt;
            for (const ScanInstructions widest :
                 {ScanInstructions::Plain, ScanInstructions::Sse2, ScanInstructions::Avx2,
                  ScanInstructions::Avx512}) {
                bool nul = false;
                ASSERT_EQ(finder.findOrNul(widest, text, from, nul), expected)
                    << "needle '" << needle << "' from " << from << " width "
                    << static_cast<int>(widest);
                EXPECT_EQ(nul, found == std::string::npos && nulAt != std::string::npos);
            }
        }
    }
    EXPECT_TRUE(NoCaseFinder("ExAmPle.COM").in("GET http://www.EXAMPLE.com/"));
    EXPECT_FALSE(NoCaseFinder("").in("anything"));
    EXPECT_FALSE(NoCaseFinder("\xc1").in("\xe1"));
}

// Every node's count against a plain per-line count by the rule itself: the line's display URL
// contains the needle (case ignored), and the line counts for the user and host its fields name.
TEST(FindInLog, CountsEqualAPlainCountOverEveryLineInOneOrSeveralParts)
{
    std::mt19937 rng(11);
    const std::vector<std::string> users = {"alice", "Bob", "carol.Example", "dave"};
    const std::vector<std::string> hosts = {"dl1.example.com", "news.EXAMPLE.org", "other.net",
                                            "mail.site"};
    const std::vector<std::string> ends = {"\r\n", "\n", "\r"};
    std::string log;
    for (int i = 0; i < 4000; ++i) {
        const std::string& user = users[rng() % users.size()];
        const std::string& host = hosts[rng() % hosts.size()];
        std::string l;
        switch (rng() % 6) {
        case 0: // the needle only in the host of a tunnel line, where the URL is host:port
            l = "10.0.0.1 - " + user + " [07/Dec/2026:03:44:43 +0800] \"CONNECT " + host +
                ":443 HTTP/1.0\" \"HTTPS\"";
            break;
        case 1: // the needle only after the request: not part of the URL
            l = "10.0.0.1 - " + user + " [07/Dec/2026:03:44:43 +0800] \"GET http://" + host +
                "/a HTTP/1.1\" \"HTTP\" referer example.com";
            break;
        case 2: // a mail line: the URL is empty, the host field still names a host
            l = "10.0.0.1 - " + user + " [07/Dec/2026:03:44:43 +0800] \"USER Host:" + host +
                "-User x\" \"POP3\"";
            break;
        case 3: // no user: counts as a line, for no node
            l = "no user here \"GET http://example.com/x HTTP/1.1\" \"HTTP\"";
            break;
        default:
            l = "10.0.0.1 - " + user + " [07/Dec/2026:03:44:43 +0800] \"GET http://" + host +
                "/p?q=" + (rng() % 2 ? "ExAmple.Com" : "x") + " HTTP/1.1\" \"HTTP\"";
        }
        log += l + ends[rng() % ends.size()];
    }
    // A needle split by a line end never matches across it.
    log += "10.0.0.1 - alice [07/Dec/2026:03:44:43 +0800] \"GET http://exam\r\nple.com HTTP/1.1\"";

    for (const std::string needle : {"example.com", "EXAMPLE", "q=", "zzz", "/"}) {
        std::map<std::string, std::size_t> wantUsers;
        std::map<std::pair<std::string, std::string>, std::size_t> wantHosts;
        std::size_t wantLines = 0;
        for (const std::string& l : test::ReferenceLines(log)) {
            const std::string url(StripHttpVersion(ExtractRecordFields(l).rawUrl));
            if (ReferenceFind(url, needle, 0) == std::string::npos)
                continue;
            ++wantLines;
            const IndexFields f = ExtractIndexFields(l);
            if (!f.qualifies || f.user.empty())
                continue;
            ++wantUsers[std::string(f.user)];
            if (!f.host.empty())
                ++wantHosts[{std::string(f.user), std::string(f.host)}];
        }
        for (unsigned threads : {1u, 3u}) {
            FindOptions options;
            options.threads = threads;
            const LogMatches got = FindInLog(log, needle, options);
            EXPECT_EQ(got.lines, wantLines) << needle;
            std::map<std::string, std::size_t> gotUsers;
            std::map<std::pair<std::string, std::string>, std::size_t> gotHosts;
            for (const auto& [user, m] : got.users) {
                gotUsers[std::string(user)] = m.count;
                for (const auto& [host, count] : m.hosts)
                    gotHosts[{std::string(user), std::string(host)}] = count;
            }
            EXPECT_EQ(gotUsers, wantUsers) << needle << " in " << threads << " parts";
            EXPECT_EQ(gotHosts, wantHosts) << needle << " in " << threads << " parts";

            // In tree order: the tree of the whole log with only the nodes that matched, each
            // host with the kind the tree gives it.
            std::vector<std::string> wantOrder;
            const LogTree tree = MakeLogTree(BuildLogIndex(log, nullptr));
            for (const TreeUser& user : tree.users) {
                if (!wantUsers.count(std::string(user.text)))
                    continue;
                wantOrder.push_back("U " + std::string(user.text));
                for (const TreeHost& host : tree.hostsOf(user)) {
                    if (wantHosts.count({std::string(user.text), std::string(host.text)}))
                        wantOrder.push_back("H " + std::to_string(host.icon) + " " +
                                            std::string(host.text));
                }
            }
            std::vector<std::string> gotOrder;
            for (const FoundUser& user : MatchesInTreeOrder(log, got, options)) {
                gotOrder.push_back("U " + std::string(user.text));
                EXPECT_EQ(user.count, wantUsers[std::string(user.text)]);
                for (const FoundHost& host : user.hosts)
                    gotOrder.push_back("H " + std::to_string(host.kind) + " " +
                                       std::string(host.text));
            }
            EXPECT_EQ(gotOrder, wantOrder) << needle << " in " << threads << " parts";
        }
    }
    EXPECT_EQ(FindInLog(log, "").lines, 0u);
}

// Tree order and kinds against the tree of the whole log, on a log where most nodes have lines
// long before their first match: hosts first named by tunnel or mail lines (another kind),
// lines that hold the needle only after the request, users and hosts whose names hold the needle,
// users and hosts that come in late. Searched in one part and in several, and once more with a
// NUL that ends the text before lines that would match.
TEST(FindInLog, TreeOrderAndKindsEqualTheTreeOfTheWholeLog)
{
    std::mt19937 rng(5);
    std::vector<std::string> users;
    std::vector<std::string> hosts;
    for (int i = 0; i < 40; ++i)
        users.push_back((i % 7 == 3 ? "Example" : "user") + std::to_string(i));
    for (int i = 0; i < 60; ++i)
        hosts.push_back((i % 5 == 2 ? "files.EXAMPLE" : "site") + std::to_string(i) + ".org");
    const int count = 30000;
    std::string log;
    for (int i = 0; i < count; ++i) {
        // The later a user or host in its list, the later its first line.
        const auto seen = [&](std::size_t n) {
            return 1 + rng() % std::min<std::size_t>(n, 1 + std::size_t(i) * n * 2 / count);
        };
        const std::string& user = users[seen(users.size()) - 1];
        const std::string& host = hosts[seen(hosts.size()) - 1];
        const std::string head = "10.0.0.7 - " + user + " [07/Dec/2026:03:44:43 +0800] \"";
        switch (rng() % 8) {
        case 0:
            log += head + "CONNECT " + host + ":443 HTTP/1.0\" \"HTTPS\" 200 1";
            break;
        case 1:
            log += head + "USER Host:" + host + "-User x\" \"POP3\" 200 1";
            break;
        case 2:
            log += head + "GET http://" + host + "/a HTTP/1.1\" \"HTTP\" 200 1 report.pdf example";
            break;
        default:
            log += head + "GET http://" + host + "/" + (rng() % 40 == 0 ? "Report.PDF" : "page") +
                   (rng() % 60 == 0 ? "?from=example" : "") +
                   (rng() % 50 == 0 ? "?u=" + user : "") + " HTTP/1.1\" \"HTTP\" 200 1";
        }
        log += i % 3 == 0 ? "\r\n" : "\n";
    }
    std::string cut = log;
    cut += '\0';
    cut += "10.0.0.7 - lateuser [07/Dec/2026:03:44:43 +0800] \"GET http://late.example.org/"
           "report.pdf HTTP/1.1\" \"HTTP\"\n";

    const LogTree tree = MakeLogTree(BuildLogIndex(log, nullptr));
    for (const std::string needle : {"report.pdf", "example", "user1", ":443", "zzz"}) {
        std::map<std::string, std::size_t> wantUsers;
        std::map<std::pair<std::string, std::string>, std::size_t> wantHosts;
        for (const std::string& l : test::ReferenceLines(log)) {
            const std::string url(StripHttpVersion(ExtractRecordFields(l).rawUrl));
            const IndexFields f = ExtractIndexFields(l);
            if (ReferenceFind(url, needle, 0) == std::string::npos || f.user.empty())
                continue;
            ++wantUsers[std::string(f.user)];
            if (!f.host.empty())
                ++wantHosts[{std::string(f.user), std::string(f.host)}];
        }
        std::vector<std::string> want;
        for (const TreeUser& user : tree.users) {
            const std::string name(user.text);
            if (!wantUsers.count(name))
                continue;
            want.push_back("U " + name + " " + std::to_string(wantUsers[name]));
            for (const TreeHost& host : tree.hostsOf(user)) {
                const auto h = wantHosts.find({name, std::string(host.text)});
                if (h != wantHosts.end())
                    want.push_back("H " + std::to_string(host.icon) + " " + h->first.second + " " +
                                   std::to_string(h->second));
            }
        }
        EXPECT_EQ(want.size() > 20, needle != std::string("zzz")) << needle;
        for (const std::string* text : {&log, &cut}) {
            for (unsigned threads : {1u, 2u, 3u}) {
                FindOptions options;
                options.threads = threads;
                const auto listed = [](const std::vector<FoundUser>& found) {
                    std::vector<std::string> got;
                    for (const FoundUser& user : found) {
                        got.push_back("U " + std::string(user.text) + " " +
                                      std::to_string(user.count));
                        for (const FoundHost& host : user.hosts)
                            got.push_back("H " + std::to_string(host.kind) + " " +
                                          std::string(host.text) + " " +
                                          std::to_string(host.count));
                    }
                    return got;
                };
                EXPECT_EQ(
                    listed(MatchesInTreeOrder(*text, FindInLog(*text, needle, options), options)),
                    want)
                    << needle << " in " << threads << " parts" << (text == &cut ? ", NUL" : "");
                // The result's texts are its own: they stay when the log's bytes are gone.
                std::string gone = *text;
                const FoundInTreeOrder found = FindInTreeOrder(gone, needle, options);
                std::fill(gone.begin(), gone.end(), 'x');
                EXPECT_EQ(listed(found.users), want)
                    << needle << " in " << threads << " parts" << (text == &cut ? ", NUL" : "");
            }
        }
    }
}

TEST(LogTime, DatesCompareAsTimesAndBoundsFillTheirPeriod)
{
    EXPECT_EQ(ParseLogTime("01/Jan/1970:00:00:00"), 0);
    EXPECT_EQ(ParseLogTime("07/Dec/2026:03:44:43"), 1796615083);
    EXPECT_EQ(ParseLogTime("29/feb/2024:23:59:59"), 1709251199);
    // Later as a time, earlier as a text.
    EXPECT_LT(*ParseLogTime("31/Dec/2025:23:59:59"), *ParseLogTime("01/Jan/2026:00:00:00"));
    EXPECT_LT(*ParseLogTime("07/Dec/2026:03:44:43"), *ParseLogTime("06/Jan/2027:00:00:00"));
    for (const char* bad :
         {"29/Feb/2023:00:00:00", "07/Dek/2026:03:44:43", "07/Dec/2026:24:00:00",
          "07/Dec/2026:03:44:4", "07/Dec/2026 03:44:43", "", "0/Dec/2026:03:44:43x"})
        EXPECT_FALSE(ParseLogTime(bad)) << bad;

    const LogTime day = *ParseLogTime("07/Dec/2026:00:00:00");
    struct Case
    {
        const char* text;
        LogTime lower;
        LogTime upper;
    };
    const Case cases[] = {
        {"07/Dec/2026", day, day + 86399},
        {" 2026-12-07 ", day, day + 86399},
        {"07/dec/2026:03", day + 3 * 3600, day + 4 * 3600 - 1},
        {"2026-12-07 03:44", day + 3 * 3600 + 44 * 60, day + 3 * 3600 + 45 * 60 - 1},
        {"2026-12-07T03:44:43", day + 13483, day + 13483},
        {"07/Dec/2026:03:44:43", day + 13483, day + 13483},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseTimeBound(c.text, TimeBound::Lower), c.lower) << c.text;
        EXPECT_EQ(ParseTimeBound(c.text, TimeBound::Upper), c.upper) << c.text;
    }
    for (const char* bad : {"2026-13-01", "yesterday", "2026-12-07 3:44", "07/Dec/2026:"})
        EXPECT_FALSE(ParseTimeBound(bad, TimeBound::Lower)) << bad;
}
