#include "logaccess/Deletion.h"
#include "logaccess/ReferenceLines.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace qelt;

namespace {

struct RecordingProgress : DeletionProgress
{
    int minimum = -1;
    int maximum = -1;
    std::vector<int> positions;
    int pumps = 0;
    void setRange(int min, int max) override
    {
        minimum = min;
        maximum = max;
    }
    void setPosition(int position) override { positions.push_back(position); }
    void pump() override { ++pumps; }
};

std::string joinCrLf(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += line + "\r\n";
    return text;
}

std::vector<std::string> toStrings(const std::vector<std::string_view>& views)
{
    return {views.begin(), views.end()};
}

std::string line(const std::string& user, const std::string& url)
{
    return "10.0.0.1 - " + user + " [01/Mar/2024:10:00:00 +0100] \"GET " + url +
           " HTTP/1.1\" \"HTTP\"";
}

bool contains(const std::string& text, const std::string& part)
{
    return !part.empty() && text.find(part) != std::string::npos;
}

// The record branch as the window runs it: restart the row scan after every removal, search the
// lines from the first for every row.
struct ReferenceRecords
{
    std::vector<std::string> lines;
    std::vector<bool> rowRemoved;
    std::vector<int> positions;
};
ReferenceRecords referenceRecords(std::vector<std::string> lines,
                                  const std::vector<std::string>& urls)
{
    struct Row
    {
        std::string url;
        std::size_t index;
    };
    std::vector<Row> rows;
    for (std::size_t i = 0; i < urls.size(); ++i)
        rows.push_back({urls[i], i});
    ReferenceRecords result;
    result.rowRemoved.assign(urls.size(), false);
    const int maximum = static_cast<int>(urls.size()) - 1;
    int position = 0;
    std::size_t r = 0;
    while (r < rows.size()) {
        std::size_t found = lines.size();
        for (std::size_t l = 0; l < lines.size() && found == lines.size(); ++l)
            if (contains(lines[l], rows[r].url))
                found = l;
        if (found == lines.size()) {
            ++r;
            continue;
        }
        result.rowRemoved[rows[r].index] = true;
        rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(r));
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(found));
        position = std::min(position + 1, maximum);
        result.positions.push_back(position);
        r = 0;
    }
    result.lines = lines;
    return result;
}

struct ReferenceNode
{
    std::vector<std::string> lines;
    std::vector<int> positions;
};
ReferenceNode referenceNode(std::vector<std::string> lines, const std::string& user,
                            const std::string& host)
{
    ReferenceNode result;
    std::size_t i = 0;
    while (i < lines.size()) {
        if (contains(lines[i], user) && contains(lines[i], host)) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
            result.positions.push_back(lines.empty() ? 100
                                                     : static_cast<int>(i * 100 / lines.size()));
        } else {
            ++i;
        }
    }
    result.lines = lines;
    return result;
}

std::vector<std::string_view> views(const std::vector<std::string>& texts)
{
    return {texts.begin(), texts.end()};
}

} // namespace

TEST(DeleteSelectedRecords, FourRowsFillTheBarFromTheThirdRemovalOn)
{
    const std::string text = joinCrLf({line("ann", "http://a/1"), line("ann", "http://a/2"),
                                       line("ann", "http://a/3"), line("ann", "http://a/4")});
    const std::vector<std::string> urls{"http://a/1", "http://a/2", "http://a/3", "http://a/4"};
    RecordingProgress progress;
    const auto result = DeleteSelectedRecords(text, views(urls), &progress);
    EXPECT_EQ(progress.minimum, 0);
    EXPECT_EQ(progress.maximum, 3);
    EXPECT_EQ(progress.positions, (std::vector<int>{0, 1, 2, 3, 3}));
    EXPECT_EQ(progress.pumps, 4);
    EXPECT_TRUE(KeptLines(text, result.kept).empty());
    EXPECT_TRUE(result.kept.ranges.empty());
    EXPECT_EQ(result.kept.removedLines, 4u);
}

TEST(DeleteSelectedRecords, MatchesTheFirstLineOfTheWholeFile)
{
    const std::vector<std::string> lines{
        line("bob", "http://a.com/page2"), // bob's line holds ann's URL as a prefix
        line("ann", "http://a.com/page"), line("ann", "http://b.com/"),
        line("ann", "http://a.com/page"), line("carl", "http://c.com/")};
    const std::string text = joinCrLf(lines);
    struct Case
    {
        const char* name;
        std::vector<std::string> urls;
        std::vector<std::string> kept;
        std::vector<bool> removed;
    };
    const std::vector<Case> cases{
        {"another user's earlier line goes",
         {"http://a.com/page"},
         {lines[1], lines[2], lines[3], lines[4]},
         {true}},
        {"two rows with one URL take two lines",
         {"http://a.com/page", "http://a.com/page"},
         {lines[2], lines[3], lines[4]},
         {true, true}},
        {"empty URL and missing URL stay",
         {"", "http://nowhere/", "http://c.com/"},
         {lines[0], lines[1], lines[2], lines[3]},
         {false, false, true}},
        {"more rows than lines for a URL",
         {"http://b.com/", "http://b.com/", "http://c.com/"},
         {lines[0], lines[1], lines[3]},
         {true, false, true}},
        {"a URL across a line end is in no line",
         {"http://c.com/ HTTP/1.1\" \"HTTP\"\r\n"},
         lines,
         {false}},
    };
    for (const auto& c : cases) {
        const auto result = DeleteSelectedRecords(text, views(c.urls));
        EXPECT_EQ(toStrings(KeptLines(text, result.kept)), c.kept) << c.name;
        EXPECT_EQ(result.rowRemoved, c.removed) << c.name;
    }
}

TEST(DeleteNodeLines, ReportsTheIndexAmongTheLinesLeft)
{
    std::vector<std::string> lines;
    for (int i = 0; i < 10; ++i)
        lines.push_back(line(i == 2 || i == 3 ? "ann" : "bob", "http://x/" + std::to_string(i)));
    const std::string text = joinCrLf(lines);
    RecordingProgress progress;
    const KeptText kept = DeleteNodeLines(text, "ann", " ", &progress);
    EXPECT_EQ(progress.minimum, 0);
    EXPECT_EQ(progress.maximum, 100);
    EXPECT_EQ(progress.positions, (std::vector<int>{22, 25}));
    EXPECT_EQ(progress.pumps, 2);
    EXPECT_EQ(kept.removedLines, 2u);
    ASSERT_EQ(kept.ranges.size(), 2u);
    EXPECT_EQ(KeptLines(text, kept).size(), 8u);
}

TEST(DeleteNodeLines, RemovingTheLastLineReportsFull)
{
    const std::string text =
        joinCrLf({line("bob", "http://x/"), line("ann", "http://y/"), line("bob", "http://z/")});
    RecordingProgress progress;
    const KeptText kept = DeleteNodeLines(text, "ann", " ", &progress);
    EXPECT_EQ(progress.positions, (std::vector<int>{50}));

    RecordingProgress all;
    const KeptText none = DeleteNodeLines(text, "01/Mar", " ", &all);
    EXPECT_EQ(all.positions, (std::vector<int>{0, 0, 100}));
    EXPECT_TRUE(none.ranges.empty());
    EXPECT_EQ(kept.removedLines, 1u);
}

TEST(DeleteNodeLines, MatchesTheTextsAnywhereInTheLine)
{
    const std::vector<std::string> lines{line("ann", "http://a.com/"),
                                         line("joanna", "http://j.com/"),
                                         line("bob", "http://ann.org/"),
                                         line("bob", "http://a.com/"),
                                         "no bracket ann here",
                                         "ann",
                                         line("ann", "http://b.com/a.com")};
    const std::string text = joinCrLf(lines);
    struct Case
    {
        const char* name;
        std::string user;
        std::string host;
        std::vector<std::string> kept;
    };
    const std::vector<Case> cases{
        {"user node ann takes joanna, URLs and lines without a date",
         "ann",
         " ",
         {lines[3], lines[5]}},
        {"host node needs both texts",
         "ann",
         "a.com",
         {lines[1], lines[2], lines[3], lines[4], lines[5]}},
        {"case matters", "ANN", " ", lines},
        {"empty user text is found nowhere", "", " ", lines},
        {"empty host text is found nowhere", "ann", "", lines},
        {"text with a line end is in no line", "ann\r\n", " ", lines},
    };
    for (const auto& c : cases) {
        const KeptText kept = DeleteNodeLines(text, c.user, c.host);
        EXPECT_EQ(toStrings(KeptLines(text, kept)), c.kept) << c.name;
        EXPECT_EQ(kept.removedLines, lines.size() - c.kept.size()) << c.name;
    }
}

TEST(Deletion, KeptRangesAreWholeLinesAndDoNotTouch)
{
    const std::string text = "ann 1\nbob 2\rann 3\r\nbob 4\r\nbob 5\nann 6";
    const KeptText kept = DeleteNodeLines(text, "ann", " ");
    ASSERT_EQ(kept.ranges.size(), 2u);
    EXPECT_EQ(text.substr(kept.ranges[0].begin, kept.ranges[0].end - kept.ranges[0].begin),
              "bob 2\r");
    EXPECT_EQ(text.substr(kept.ranges[1].begin, kept.ranges[1].end - kept.ranges[1].begin),
              "bob 4\r\nbob 5\n");
}

TEST(Deletion, CancelKeepsEveryLine)
{
    const std::string text = joinCrLf({line("ann", "http://a/"), line("ann", "http://b/")});
    CancelFlag cancel{true};
    const KeptText node = DeleteNodeLines(text, "ann", " ", nullptr, &cancel);
    EXPECT_TRUE(node.cancelled);
    EXPECT_EQ(node.removedLines, 0u);
    ASSERT_EQ(node.ranges.size(), 1u);
    EXPECT_EQ(node.ranges[0].end, text.size());

    const std::vector<std::string> urls{"http://a/", "http://b/"};
    const auto records = DeleteSelectedRecords(text, views(urls), nullptr, &cancel);
    EXPECT_TRUE(records.kept.cancelled);
    EXPECT_EQ(records.rowRemoved, (std::vector<bool>{false, false}));
    EXPECT_EQ(KeptLines(text, records.kept).size(), 2u);
}

// Small alphabets make overlapping URLs, shared lines and all kinds of line ends likely.
TEST(Deletion, AgreesWithTheRowScanAndTheLineLoopOnRandomLogs)
{
    std::mt19937 random(20240301);
    const std::string alphabet = "ab /";
    const std::vector<std::string> ends{"\r\n", "\n", "\r"};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int lineCount = static_cast<int>(random() % 12);
        for (int l = 0; l < lineCount; ++l) {
            const int length = static_cast<int>(random() % 7);
            for (int k = 0; k < length; ++k)
                text += alphabet[random() % alphabet.size()];
            if (l + 1 < lineCount || random() % 2 == 0)
                text += ends[random() % ends.size()];
        }
        auto word = [&] {
            std::string w;
            const int length = static_cast<int>(random() % 3);
            for (int k = 0; k < length; ++k)
                w += alphabet[random() % alphabet.size()];
            return w;
        };
        std::vector<std::string> urls;
        const int rowCount = 1 + static_cast<int>(random() % 6);
        for (int r = 0; r < rowCount; ++r)
            urls.push_back(word());

        const auto lines = qelt::test::ReferenceLines(text);
        const auto expected = referenceRecords(lines, urls);
        RecordingProgress progress;
        const auto result = DeleteSelectedRecords(text, views(urls), &progress);
        ASSERT_EQ(toStrings(KeptLines(text, result.kept)), expected.lines) << round;
        ASSERT_EQ(result.rowRemoved, expected.rowRemoved) << round;
        ASSERT_EQ(std::vector<int>(progress.positions.begin() + 1, progress.positions.end()),
                  expected.positions)
            << round;
        ASSERT_EQ(result.kept.removedLines, lines.size() - expected.lines.size()) << round;

        const std::string user = word();
        const std::string host = random() % 3 == 0 ? " " : word();
        const auto expectedNode = referenceNode(lines, user, host);
        RecordingProgress nodeProgress;
        const KeptText kept = DeleteNodeLines(text, user, host, &nodeProgress);
        ASSERT_EQ(toStrings(KeptLines(text, kept)), expectedNode.lines) << round;
        ASSERT_EQ(nodeProgress.positions, expectedNode.positions) << round;
    }
}

// Many rows with long URLs take the one-pass search for all URLs at once; URLs cut from the text
// itself overlap each other and recur, so that rows compete for the same lines.
TEST(Deletion, ManyRowsAgreeWithTheRowScan)
{
    std::mt19937 random(977);
    for (int round = 0; round < 300; ++round) {
        // Two letters make a URL recur in more lines than its rows ask for.
        const std::string alphabet = round % 2 == 0 ? "ab" : "abc/";
        std::string text;
        const int lineCount = 1 + static_cast<int>(random() % 40);
        for (int l = 0; l < lineCount; ++l) {
            const int length = static_cast<int>(random() % 30);
            for (int k = 0; k < length; ++k)
                text += alphabet[random() % alphabet.size()];
            text += random() % 5 == 0 ? "\n" : "\r\n";
        }
        std::vector<std::string> urls;
        const int rowCount = 8 + static_cast<int>(random() % 40);
        for (int r = 0; r < rowCount; ++r) {
            if (r > 0 && random() % 4 == 0) {
                urls.push_back(urls[random() % urls.size()]);
                continue;
            }
            const std::size_t length = 8 + random() % 5;
            const std::size_t start = random() % text.size();
            std::string url = text.substr(start, length);
            if (random() % 8 == 0)
                url = std::string(length, 'z'); // in no line
            urls.push_back(url);
        }
        const auto expected = referenceRecords(qelt::test::ReferenceLines(text), urls);
        const auto result = DeleteSelectedRecords(text, views(urls));
        ASSERT_EQ(toStrings(KeptLines(text, result.kept)), expected.lines) << round;
        ASSERT_EQ(result.rowRemoved, expected.rowRemoved) << round;
    }
}

// Rows of a real listing over a log of megabytes: the one pass over the text runs in steps and
// meets many URLs at once. URLs that are prefixes of others (each row must take the first line
// that holds its own URL, which may be a line of the longer one), URLs shorter than the pass's
// key, rows of one URL more than its lines, and URLs that cross from one line into the next.
TEST(Deletion, RowsOfALargeLogAgreeWithTheRowScan)
{
    std::mt19937 random(3131);
    std::string text;
    std::vector<std::string> known;
    for (int i = 0; i < 12000; ++i) {
        std::string url =
            "http://h" + std::to_string(random() % 60) + ".com/p" + std::to_string(random() % 400);
        if (random() % 3 == 0)
            url += std::to_string(random() % 10); // the URL before this one is its prefix
        if (i % 50 == 0)
            known.push_back(url);
        text +=
            line("u" + std::to_string(random() % 30), url) + (random() % 20 == 0 ? "\n" : "\r\n");
    }
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::string> urls;
        for (int r = 0; r < 150; ++r) {
            switch (random() % 6) {
            case 0:
                urls.push_back("p" + std::to_string(random() % 40)); // shorter than the key
                break;
            case 1:
                urls.push_back(urls.empty() ? "x" : urls[random() % urls.size()]);
                break;
            case 2:
                urls.push_back("HTTP\" \"HTTP\"\r\n10.0.0.1"); // across a line end: nowhere
                break;
            default:
                urls.push_back(known[random() % known.size()]);
                break;
            }
        }
        const auto expected = referenceRecords(qelt::test::ReferenceLines(text), urls);
        RecordingProgress progress;
        const auto result = DeleteSelectedRecords(text, views(urls), &progress);
        ASSERT_EQ(result.rowRemoved, expected.rowRemoved);
        ASSERT_TRUE(toStrings(KeptLines(text, result.kept)) == expected.lines);
        ASSERT_EQ(std::vector<int>(progress.positions.begin() + 1, progress.positions.end()),
                  expected.positions);
    }
}
