// The grammar, the index, the listing and the deletions against word-for-word transcriptions of
// their rules: 1-based positions, one search per marker, linear lookups from the first entry, one
// line at a time. The fast paths (one-pass token search, hash tables, parallel runs, buffer-wide
// search) must give exactly what these give, on random lines built to hit the corner cases: tokens
// in any letter case and anywhere, markers at the very start and end, several " - " and "[" and "+"
// in one line, users and hosts that are prefixes of one another, long texts.
#include "logaccess/Deletion.h"
#include "logaccess/LogGrammar.h"
#include "logaccess/LogIndex.h"
#include "logaccess/RecordListing.h"
#include "logaccess/ReferenceLines.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace qelt;

namespace literal {

// 1-based position of the first occurrence of marker in text; 0 when absent, also for an empty
// marker or text.
std::size_t Pos(const std::string& marker, const std::string& text)
{
    if (marker.empty() || text.empty())
        return 0;
    const std::size_t at = text.find(marker);
    return at == std::string::npos ? 0 : at + 1;
}

// Characters from 1-based position `from`, at most `count` of them.
std::string Copy(const std::string& text, std::size_t from, std::size_t count)
{
    if (from < 1 || from > text.size())
        return {};
    return text.substr(from - 1, count);
}

std::string TakeBefore(const std::string& text, const std::string& marker)
{
    const std::size_t p = Pos(marker, text);
    return p == 0 ? std::string() : Copy(text, 1, p - 1);
}

std::string TakeThrough(const std::string& text, const std::string& marker)
{
    const std::size_t p = Pos(marker, text);
    return p == 0 ? std::string() : Copy(text, 1, p - 1 + marker.size());
}

std::string DropFirst(const std::string& text, std::size_t n)
{
    return n >= text.size() ? std::string() : text.substr(n);
}

std::string DropThrough(const std::string& text, const std::string& marker)
{
    const std::size_t p = Pos(marker, text);
    if (p != 0)
        return Copy(text, p + marker.size(), text.size());
    return DropFirst(text, marker.empty() ? 0 : marker.size() - 1);
}

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool ContainsNoCase(const std::string& text, const std::string& token)
{
    return Pos(Upper(token), Upper(text)) != 0;
}

struct Type
{
    std::string token;
    int kind;
    char rule; // T tunnel, W web, F ftp, M mail
};
const Type Table[] = {{"\"HTTPS\"", 0, 'T'}, {"\"HTTP\"", 1, 'W'}, {"\"FTP\"", 3, 'F'},
                      {"\"POP3\"", 4, 'M'},  {"\"SMTP\"", 4, 'M'}, {"\"MAP\"", 5, 'T'},
                      {"\"SOCKS5\"", 6, 'T'}};

struct Host
{
    int kind = -1; // -1: no token
    std::string host;
};

Host ExtractHost(const std::string& text)
{
    Host result;
    for (const Type& type : Table) {
        if (!ContainsNoCase(text, type.token))
            continue;
        result.kind = type.kind;
        switch (type.rule) {
        case 'T':
            result.host = TakeBefore(DropFirst(text, 9), ":");
            break;
        case 'W':
            if (Pos("http://", text) != 0)
                result.host = TakeBefore(DropThrough(text, "http://"), "/");
            else if (Pos("CONNECT", text) != 0)
                result.host = TakeBefore(DropFirst(text, 9), ":");
            break;
        case 'F':
            result.host = TakeBefore(DropThrough(text, "@"), "\"");
            break;
        default:
            result.host = TakeBefore(DropThrough(text, "Host:"), "-User");
            break;
        }
        break;
    }
    return result;
}

struct Index
{
    bool qualifies = false;
    std::string user;
    Host host;
};

Index ExtractIndexFields(const std::string& line)
{
    Index result;
    if (Pos(" - ", line) == 0)
        return result;
    result.qualifies = true;
    std::string rest = DropThrough(line, " - ");
    result.user = TakeBefore(rest, " [");
    rest = DropThrough(rest, "] ");
    result.host = ExtractHost(rest);
    return result;
}

struct Record
{
    std::string date;
    std::string label;
    std::string rawUrl;
};

Record ExtractRecordFields(const std::string& line)
{
    Record result;
    const long p = static_cast<long>(Pos("+", line));
    const std::size_t q = Pos("[", line);
    if (p != 0 && p - 2 >= 0)
        result.date = Copy(line, q + 1, static_cast<std::size_t>(p - 2)).substr(0, 20);
    for (const Type& type : Table) {
        if (!ContainsNoCase(line, type.token))
            continue;
        std::string rest = DropThrough(line, "] \"");
        result.label = (TakeThrough(rest, " ") + type.token).substr(0, 17);
        rest = DropThrough(rest, " ");
        result.rawUrl = TakeThrough(rest, "\"");
        break;
    }
    return result;
}

int FileKindIcon(const std::string& rawUrl)
{
    int icon = 7;
    for (const char* extension : {".rar", ".zip", ".cab", ".arj", ".tar", ".iso", ".lzh"})
        if (ContainsNoCase(rawUrl, extension))
            icon = 8;
    if (ContainsNoCase(rawUrl, ".pdf"))
        icon = 9;
    return icon;
}

std::string StripHttpVersion(const std::string& rawUrl)
{
    const std::size_t p = Pos("HTTP/1.", rawUrl);
    if (p != 0 && rawUrl.size() == p + 8)
        return rawUrl.size() >= 10 ? rawUrl.substr(0, rawUrl.size() - 10) : std::string();
    return rawUrl;
}

// The reading rule.
using test::ReferenceLines;

// The index by linear search over whole texts. Returns the tree as "U name lines first last" /
// "H kind host lines first last" (first and last: where the node's first and last line start)
// and the progress calls.
struct Build
{
    std::vector<std::string> tree;
    std::vector<std::string> calls;
};

Build BuildLogIndex(const std::vector<std::string>& lines, const std::vector<std::size_t>& starts)
{
    struct Counts
    {
        std::size_t lines = 0;
        std::size_t first = 0;
        std::size_t last = 0;
        void add(std::size_t at)
        {
            if (lines++ == 0)
                first = at;
            last = at;
        }
        std::string str() const
        {
            return " " + std::to_string(lines) + " " + std::to_string(first) + " " +
                   std::to_string(last);
        }
    };
    struct User
    {
        unsigned id;
        std::string name;
        Counts counts;
    };
    struct HostEntry
    {
        unsigned owner;
        int kind;
        std::string host;
        Counts counts;
    };
    std::vector<User> users;
    std::vector<HostEntry> hosts;
    Build build;
    unsigned count = 1;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        const Index fields = ExtractIndexFields(line);
        if (!fields.qualifies)
            continue;
        const std::string& name = fields.user;
        if (!fields.user.empty()) {
            bool found = false;
            for (const User& user : users)
                found = found || user.name == name;
            if (!found) {
                users.push_back({count, name, {}});
                ++count;
                build.calls.push_back("0:Total Accounts: " + std::to_string(count - 1));
                build.calls.push_back("1:Found User: " + fields.user);
                build.calls.push_back("pump");
            }
            for (User& user : users) {
                if (user.name == name) {
                    user.counts.add(starts[n]);
                    break;
                }
            }
        }
        if (!fields.user.empty() && !fields.host.host.empty()) {
            unsigned id = 0;
            for (const User& user : users) {
                if (user.name == name) {
                    id = user.id;
                    break;
                }
            }
            const std::string& host = fields.host.host;
            bool found = false;
            for (const HostEntry& entry : hosts)
                found = found || (entry.host == host && entry.owner == id);
            if (!found) {
                hosts.push_back({id, fields.host.kind, host, {}});
                build.calls.push_back("2:Found URL: " + fields.host.host);
                build.calls.push_back("pump");
            }
            for (HostEntry& entry : hosts) {
                if (entry.host == host && entry.owner == id) {
                    entry.counts.add(starts[n]);
                    break;
                }
            }
        }
    }
    for (const User& user : users) {
        build.tree.push_back("U " + user.name + user.counts.str());
        for (const HostEntry& host : hosts)
            if (host.owner == user.id)
                build.tree.push_back("H " + std::to_string(host.kind) + " " + host.host +
                                     host.counts.str());
    }
    return build;
}

// Whether a line belongs to the node of user (and of host, when it is not empty): the index takes
// the line's user and host from it as it builds the tree, and they must equal the node's texts.
bool BelongsToNode(const std::string& line, const std::string& user, const std::string& host)
{
    const Index fields = ExtractIndexFields(line);
    return fields.qualifies && !user.empty() && fields.user == user &&
           (host.empty() || fields.host.host == host);
}

// The rows of a node as "date|label|url|icon".
std::vector<std::string> ListNodeRecords(const std::vector<std::string>& lines,
                                         const std::string& user, const std::string& host)
{
    std::vector<std::string> rows;
    for (const std::string& line : lines) {
        if (!BelongsToNode(line, user, host))
            continue;
        const Record record = ExtractRecordFields(line);
        rows.push_back(record.date + "|" + record.label + "|" + StripHttpVersion(record.rawUrl) +
                       "|" + std::to_string(FileKindIcon(record.rawUrl)));
    }
    return rows;
}

} // namespace literal

namespace {

// Pieces that lines are built of: markers whole and in halves, tokens in all letter cases, the
// host rules' markers, archive and PDF names, high bytes.
const std::vector<std::string> Pieces = {" - ",
                                         " -",
                                         "- ",
                                         " [",
                                         "[",
                                         "]",
                                         "] ",
                                         "] \"",
                                         "+",
                                         "+0800",
                                         "\"",
                                         " ",
                                         ":",
                                         "/",
                                         "@",
                                         "Host:",
                                         "-User",
                                         "http://",
                                         "HTTP://",
                                         "CONNECT ",
                                         "CONNECT",
                                         "\"HTTP\"",
                                         "\"http\"",
                                         "\"HtTpS\"",
                                         "\"HTTPS\"",
                                         "\"FTP\"",
                                         "\"ftp\"",
                                         "\"POP3\"",
                                         "\"pop3\"",
                                         "\"SMTP\"",
                                         "\"MAP\"",
                                         "\"map\"",
                                         "\"SOCKS5\"",
                                         "\"Socks5\"",
                                         "HTTP/1.1\"",
                                         "HTTP/1.",
                                         "http/1.1",
                                         "ann",
                                         "joanna",
                                         "an",
                                         "a.com",
                                         "a.co",
                                         ".zip",
                                         ".ZIP",
                                         ".pdf",
                                         ".Pdf",
                                         ".tar.gz",
                                         ".lzh",
                                         "\xe9\xfc",
                                         "x",
                                         "GET ",
                                         "01/Dec/2026:10:00:00",
                                         "POSTPOSTPOSTPOST ",
                                         "-",
                                         "host.example.com:8080/p"};

std::string randomLine(std::mt19937& random)
{
    std::string line;
    // Now and then the shape of a real line, with pieces spliced into its fields.
    if (random() % 3 == 0) {
        auto piece = [&] { return random() % 2 ? Pieces[random() % Pieces.size()] : ""; };
        line = piece() + "10.0.0.5 - " + piece() + "ann" + piece() + " [07/Dec/2026:03:44:43 " +
               piece() + "+0800] \"GET http://" + piece() + "a.com" + piece() + "/f" + piece() +
               " HTTP/1.1\" \"" + (random() % 2 ? "HTTP" : "https") + "\"" + piece();
        return line;
    }
    for (int n = static_cast<int>(random() % 16); n > 0; --n)
        line += Pieces[random() % Pieces.size()];
    return line;
}

} // namespace

TEST(LiteralRules, FieldExtractionAgreesOnRandomLines)
{
    std::mt19937 random(2026);
    for (int round = 0; round < 40000; ++round) {
        const std::string line = randomLine(random);
        SCOPED_TRACE(::testing::PrintToString(line));

        const literal::Index expected = literal::ExtractIndexFields(line);
        const IndexFields fields = ExtractIndexFields(line);
        ASSERT_EQ(fields.qualifies, expected.qualifies);
        if (expected.qualifies) {
            ASSERT_EQ(fields.user, expected.user);
            ASSERT_EQ(fields.hasKind, expected.host.kind >= 0);
            if (fields.hasKind) {
                ASSERT_EQ(fields.kind, expected.host.kind);
            }
            ASSERT_EQ(fields.host, expected.host.host);
        }

        const literal::Record record = literal::ExtractRecordFields(line);
        const RecordFields actual = ExtractRecordFields(line);
        ASSERT_EQ(actual.date, record.date);
        ASSERT_EQ(actual.label().str(), record.label);
        ASSERT_EQ(actual.rawUrl, record.rawUrl);
        ASSERT_EQ(FileKindIcon(actual.rawUrl), literal::FileKindIcon(record.rawUrl));
        ASSERT_EQ(StripHttpVersion(actual.rawUrl), literal::StripHttpVersion(record.rawUrl));
        // The primitives on the line itself, with the markers the rules use.
        for (const char* marker : {" - ", "] ", "] \"", "Host:", "@", " ", "http://", ""}) {
            ASSERT_EQ(DropThrough(line, marker), literal::DropThrough(line, marker)) << marker;
            ASSERT_EQ(TakeBefore(line, marker), literal::TakeBefore(line, marker)) << marker;
            ASSERT_EQ(TakeThrough(line, marker), literal::TakeThrough(line, marker)) << marker;
        }
        ASSERT_EQ(StripHttpVersion(line), literal::StripHttpVersion(line));
    }
}

namespace {

class RecordingSink : public ProgressSink
{
public:
    void ShowStatus(int slot, std::string_view text) override
    {
        calls.push_back(std::to_string(slot) + ":" + std::string(text));
    }
    void ProcessPending() override { calls.push_back("pump"); }
    std::vector<std::string> calls;
};

std::vector<std::string> toStrings(const std::vector<std::string_view>& views)
{
    return {views.begin(), views.end()};
}

std::string countsOf(NodeLineCount lines, ByteOffset first, ByteOffset last)
{
    return " " + std::to_string(lines) + " " + std::to_string(first) + " " + std::to_string(last);
}

std::vector<std::string> treeOf(const LogIndex& index)
{
    std::vector<std::string> out;
    const LogTree tree = MakeLogTree(index);
    for (const TreeUser& user : tree.users) {
        out.push_back("U " + std::string(user.text) +
                      countsOf(user.lines, user.firstLine, user.lastLine));
        for (const TreeHost& host : tree.hostsOf(user))
            out.push_back("H " + std::to_string(host.icon) + " " + std::string(host.text) +
                          countsOf(host.lines, host.firstLine, host.lastLine));
    }
    return out;
}

// A log of real-shaped lines from few users and hosts that are prefixes of one another, long
// names that share their first 25 (50) bytes, garbled lines, and every kind of line end.
std::string randomLog(std::mt19937& random, int lineCount)
{
    const std::vector<std::string> users = {"ann",
                                            "an",
                                            "joanna",
                                            "Ann",
                                            "ann ",
                                            std::string(25, 'u'),
                                            std::string(25, 'u') + "1",
                                            std::string(25, 'u') + "2",
                                            "m\xfcller"};
    const std::vector<std::string> hosts = {
        "a.com", "a.co", "a.com.cn", "b.org", std::string(50, 'h'), std::string(50, 'h') + ".x",
        "A.COM"};
    const char* const ends[] = {"\r\n", "\r\n", "\n", "\r", "\r\r\n"};
    std::string text;
    for (int i = 0; i < lineCount; ++i) {
        const std::string& user = users[random() % users.size()];
        const std::string& host = hosts[random() % hosts.size()];
        std::string line = "10.0.0." + std::to_string(random() % 9) + " - " + user +
                           " [07/Dec/2026:03:44:43 +0800] \"";
        switch (random() % 7) {
        case 0:
            line += "GET http://" + host + "/x.zip HTTP/1.1\" \"HTTP\"";
            break;
        case 1:
            line += "CONNECT " + host + ":443 HTTP/1.0\" \"https\"";
            break;
        case 2:
            line += "RETR ftp://u@" + host + "\" \"FTP\"";
            break;
        case 3:
            line += "Host:" + host + "-User:x\" \"" + (random() % 2 ? "POP3" : "smtp") + "\"";
            break;
        case 4:
            line += "CONNECT " + host + ":1080 HTTP/1.0\" \"SOCKS5\" \"HTTP\"";
            break;
        case 5:
            line = randomLine(random);
            break;
        default:
            line += "GET http://" + host + "/" + users[random() % users.size()] +
                    " HTTP/1.1\" \"HTTP\"";
            break;
        }
        text += line;
        if (i + 1 < lineCount || random() % 2)
            text += ends[random() % 5];
    }
    return text;
}

} // namespace

TEST(LiteralRules, IndexAgreesWithLinearSearchOnRandomLogs)
{
    std::mt19937 random(77);
    for (int round = 0; round < 300; ++round) {
        std::string text = randomLog(random, 1 + static_cast<int>(random() % 200));
        if (round % 10 == 0)
            text.insert(random() % text.size(), 1, '\0');
        SCOPED_TRACE(round);
        const literal::Build expected =
            literal::BuildLogIndex(literal::ReferenceLines(text), test::ReferenceLineStarts(text));
        RecordingSink sink;
        IndexOptions one;
        one.threads = 1;
        const LogIndex index = BuildLogIndex(text, &sink, one);
        ASSERT_EQ(treeOf(index), expected.tree);
        ASSERT_EQ(sink.calls, expected.calls);
        for (const unsigned threads : {2u, 5u}) {
            IndexOptions options;
            options.threads = threads;
            ASSERT_EQ(treeOf(BuildLogIndex(text, nullptr, options)), expected.tree) << threads;
        }
    }
}

// The listing, the node branch and the record branch against the line-by-line rule: every line
// of the node is listed and removed by its node, a row removes its own line and no other, and
// whatever is not removed stays as it was.
TEST(LiteralRules, ListingAndDeletionAgreeWithTheNodeRuleLineByLine)
{
    std::mt19937 random(31);
    const std::vector<std::pair<std::string, std::string>> nodes = {
        {"ann", ""},
        {"an", ""},
        {"ann", "a.com"},
        {"ann", "a.co"},
        {"joanna", "a.com"},
        {"Ann", "A.COM"},
        {"ann ", ""},
        {"ann", " "},
        {"", ""},
        {"m\xfcller", "b.org"},
        {"an", "x.zip"},
        {"-", " - "},
        {std::string(25, 'u'), ""},
        {std::string(25, 'u') + "1", std::string(50, 'h')},
        {std::string(25, 'u') + "2", std::string(50, 'h') + ".x"}};
    for (int round = 0; round < 300; ++round) {
        std::string text = randomLog(random, static_cast<int>(random() % 150));
        if (round % 10 == 0 && !text.empty())
            text.insert(random() % text.size(), 1, '\0');
        const auto lines = literal::ReferenceLines(text);
        const std::string_view logText = CutAtNul(text);
        for (const auto& [user, host] : nodes) {
            SCOPED_TRACE(round);
            SCOPED_TRACE(user + "|" + host);
            const NodeSearchTexts node{user, host};
            const auto expected = literal::ListNodeRecords(lines, user, host);
            for (const unsigned runs : {1u, 3u}) {
                const RecordList list = ListNodeRecords(text, node, runs);
                std::vector<std::string> rows;
                for (std::size_t i = 0; i < list.size(); ++i)
                    rows.push_back(std::string(list.date(i)) + "|" + list.label(i).str() + "|" +
                                   std::string(list.url(i)) + "|" + std::to_string(list.icon(i)));
                ASSERT_EQ(rows, expected) << runs;
            }

            std::vector<std::string> others;
            for (const std::string& line : lines)
                if (!literal::BelongsToNode(line, user, host))
                    others.push_back(line);
            const KeptText kept = DeleteNodeLines(logText, node);
            ASSERT_EQ(toStrings(KeptLines(logText, kept)), others);
            ASSERT_EQ(kept.removedLines, lines.size() - others.size());

            // Some rows of the listing, in list order: exactly their lines go.
            const RecordList list = ListNodeRecords(logText, node, 1);
            std::vector<ByteOffset> rowLines;
            std::vector<bool> chosen(list.size(), false);
            for (std::size_t row = 0; row < list.size(); ++row) {
                if (random() % 3 == 0) {
                    chosen[row] = true;
                    rowLines.push_back(list.rows()[row].line);
                }
            }
            std::vector<std::string> left;
            std::size_t row = 0;
            for (const std::string& line : lines) {
                if (literal::BelongsToNode(line, user, host) && chosen[row++])
                    continue;
                left.push_back(line);
            }
            const RecordDeletion deletion = DeleteSelectedRecords(logText, rowLines, node);
            ASSERT_EQ(toStrings(KeptLines(logText, deletion.kept)), left);
            ASSERT_EQ(deletion.rowRemoved, std::vector<bool>(rowLines.size(), true));

            // The rows that stay find their lines in the log as the rewrite writes it.
            std::string rewritten;
            for (const std::string& l : left)
                rewritten += l + "\r\n";
            std::vector<ByteOffset> all;
            for (const RecordRow& r : list.rows())
                all.push_back(r.line);
            const std::vector<ByteOffset> moved = OffsetsAfterRewrite(logText, deletion.kept, all);
            for (std::size_t r = 0; r < all.size(); ++r) {
                if (chosen[r]) {
                    ASSERT_EQ(moved[r], NotKept);
                    continue;
                }
                ASSERT_NE(moved[r], NotKept);
                ASSERT_EQ(rewritten.compare(moved[r], list.line(r).size(), list.line(r)), 0);
                ASSERT_TRUE(moved[r] == 0 || rewritten[moved[r] - 1] == '\n');
            }
        }
    }
}
