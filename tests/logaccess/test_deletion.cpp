#include "logaccess/Deletion.h"
#include "logaccess/ReferenceLines.h"
#include "settings/TempFolder.h"

#include <gtest/gtest.h>

#include <fstream>
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

// Where each line starts in joinCrLf(lines).
std::vector<ByteOffset> lineStarts(const std::vector<std::string>& lines)
{
    std::vector<ByteOffset> starts;
    ByteOffset at = 0;
    for (const auto& l : lines) {
        starts.push_back(at);
        at += l.size() + 2;
    }
    return starts;
}

} // namespace

TEST(DeleteSelectedRecords, FourRowsFillTheBarFromTheThirdRemovalOn)
{
    const std::vector<std::string> lines{line("ann", "http://a/1"), line("ann", "http://a/2"),
                                         line("ann", "http://a/3"), line("ann", "http://a/4")};
    const std::string text = joinCrLf(lines);
    RecordingProgress progress;
    const auto result =
        DeleteSelectedRecords(text, lineStarts(lines), NodeSearchTexts::ForUser("ann"), &progress);
    EXPECT_EQ(progress.minimum, 0);
    EXPECT_EQ(progress.maximum, 3);
    EXPECT_EQ(progress.positions, (std::vector<int>{0, 1, 2, 3, 3}));
    EXPECT_EQ(progress.pumps, 4);
    EXPECT_TRUE(KeptLines(text, result.kept).empty());
    EXPECT_TRUE(result.kept.ranges.empty());
    EXPECT_EQ(result.kept.removedLines, 4u);
}

TEST(DeleteSelectedRecords, EachRowRemovesItsOwnLineOnly)
{
    const std::vector<std::string> lines{
        line("bob", "http://a.com/page2"), // holds ann's URL as a prefix, earlier in the file
        line("ann", "http://a.com/page"),  // 1
        line("ann", "http://b.com/"),      // 2
        line("ann", "http://a.com/page"),  // 3: the same request as line 1
        line("carl", "http://c.com/")};
    const std::string text = joinCrLf(lines);
    const auto at = lineStarts(lines);
    const auto ann = NodeSearchTexts::ForUser("ann");
    struct Case
    {
        const char* name;
        std::vector<ByteOffset> rows;
        std::vector<std::string> kept;
        std::vector<bool> removed;
    };
    const std::vector<Case> cases{
        {"the second of two equal lines",
         {at[3]},
         {lines[0], lines[1], lines[2], lines[4]},
         {true}},
        {"rows in any order, one twice",
         {at[3], at[1], at[3]},
         {lines[0], lines[2], lines[4]},
         {true, true, true}},
        {"another user's line, a place inside a line, inside CR LF, past the end",
         {at[0], at[1] + 3, at[2] - 1, text.size(), at[2]},
         {lines[0], lines[1], lines[3], lines[4]},
         {false, false, false, false, true}},
    };
    for (const auto& c : cases) {
        const auto result = DeleteSelectedRecords(text, c.rows, ann);
        EXPECT_EQ(toStrings(KeptLines(text, result.kept)), c.kept) << c.name;
        EXPECT_EQ(result.rowRemoved, c.removed) << c.name;
    }
    // A host node's rows: a line of the user to another host stays.
    const auto host =
        DeleteSelectedRecords(text, {at[1], at[2]}, NodeSearchTexts::ForHost("ann", "a.com"));
    EXPECT_EQ(host.rowRemoved, (std::vector<bool>{true, false}));
}

TEST(DeleteNodeLines, ReportsTheIndexAmongTheLinesLeft)
{
    std::vector<std::string> lines;
    for (int i = 0; i < 10; ++i)
        lines.push_back(line(i == 2 || i == 3 ? "ann" : "bob", "http://x/" + std::to_string(i)));
    const std::string text = joinCrLf(lines);
    RecordingProgress progress;
    const KeptText kept = DeleteNodeLines(text, NodeSearchTexts::ForUser("ann"), &progress);
    EXPECT_EQ(progress.minimum, 0);
    EXPECT_EQ(progress.maximum, 100);
    EXPECT_EQ(progress.positions, (std::vector<int>{22, 25}));
    EXPECT_EQ(progress.pumps, 2);
    EXPECT_EQ(kept.removedLines, 2u);
    ASSERT_EQ(kept.ranges.size(), 2u);
    EXPECT_EQ(KeptLines(text, kept).size(), 8u);

    RecordingProgress all;
    const std::string one = joinCrLf({line("ann", "http://y/"), line("ann", "http://z/")});
    EXPECT_TRUE(DeleteNodeLines(one, NodeSearchTexts::ForUser("ann"), &all).ranges.empty());
    EXPECT_EQ(all.positions, (std::vector<int>{0, 100}));
}

TEST(DeleteNodeLines, TakesTheLinesWhoseFieldsAreTheNodesWholeTexts)
{
    const std::string finance = "CORP\\kido5.department.of.finance";
    const std::string hr = "CORP\\kido5.department.of.hr";
    const std::string financeCut = finance.substr(0, 25);
    const std::vector<std::string> lines{line("ann", "http://a.com/"),       // 0
                                         line("joanna", "http://j.com/"),    // 1
                                         line("bob", "http://ann.org/?ann"), // 2
                                         line("bob", "http://a.com/"),       // 3
                                         "no bracket - ann here",            // 4
                                         line("ann", "http://b.com/a.com"),  // 5
                                         line(finance, "http://a.com/"),     // 6
                                         line(hr, "http://a.com/"),          // 7
                                         line("ann", "http://a.com.cn/")};   // 8
    const std::string text = joinCrLf(lines);
    struct Case
    {
        const char* name;
        NodeSearchTexts node;
        std::vector<std::size_t> removed;
    };
    const std::vector<Case> cases{
        {"user node: its own lines only", NodeSearchTexts::ForUser("ann"), {0, 5, 8}},
        {"host node: the host field whole", NodeSearchTexts::ForHost("ann", "a.com"), {0}},
        {"accounts that share their first 25 bytes", NodeSearchTexts::ForUser(finance), {6}},
        {"the cut text is nobody", NodeSearchTexts::ForUser(financeCut), {}},
        {"case matters", NodeSearchTexts::ForUser("ANN"), {}},
        {"empty user text", NodeSearchTexts::ForUser(""), {}},
        {"text with a line end", NodeSearchTexts::ForUser("ann\r\n"), {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> kept;
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (std::find(c.removed.begin(), c.removed.end(), i) == c.removed.end())
                kept.push_back(lines[i]);
        const KeptText result = DeleteNodeLines(text, c.node);
        EXPECT_EQ(toStrings(KeptLines(text, result)), kept) << c.name;
        EXPECT_EQ(result.removedLines, c.removed.size()) << c.name;
        EXPECT_EQ(FirstNodeLine(text, c.node).has_value(), !c.removed.empty()) << c.name;
    }
}

TEST(Deletion, KeptRangesAreWholeLinesAndDoNotTouch)
{
    const std::string text = line("ann", "/1") + "\n" + line("bob", "/2") + "\r" +
                             line("ann", "/3") + "\r\n" + line("bob", "/4") + "\r\n" +
                             line("bob", "/5") + "\n" + line("ann", "/6");
    const KeptText kept = DeleteNodeLines(text, NodeSearchTexts::ForUser("ann"));
    ASSERT_EQ(kept.ranges.size(), 2u);
    EXPECT_EQ(text.substr(kept.ranges[0].begin, kept.ranges[0].end - kept.ranges[0].begin),
              line("bob", "/2") + "\r");
    EXPECT_EQ(text.substr(kept.ranges[1].begin, kept.ranges[1].end - kept.ranges[1].begin),
              line("bob", "/4") + "\r\n" + line("bob", "/5") + "\n");
}

TEST(Deletion, CancelKeepsEveryLine)
{
    const std::vector<std::string> lines{line("ann", "http://a/"), line("ann", "http://b/")};
    const std::string text = joinCrLf(lines);
    CancelFlag cancel{true};
    const KeptText node = DeleteNodeLines(text, NodeSearchTexts::ForUser("ann"), nullptr, &cancel);
    EXPECT_TRUE(node.cancelled);
    EXPECT_EQ(node.removedLines, 0u);
    ASSERT_EQ(node.ranges.size(), 1u);
    EXPECT_EQ(node.ranges[0].end, text.size());

    const auto records = DeleteSelectedRecords(text, lineStarts(lines),
                                               NodeSearchTexts::ForUser("ann"), nullptr, &cancel);
    EXPECT_TRUE(records.kept.cancelled);
    EXPECT_EQ(records.rowRemoved, (std::vector<bool>{false, false}));
    EXPECT_EQ(KeptLines(text, records.kept).size(), 2u);
}

// A listing's line offsets hold while the log only grows; a log rewritten or replaced meanwhile
// (same size and time, or shorter, or another file) moved its lines.
TEST(Deletion, ListedOffsetsHoldOnlyWhileTheLogOnlyGrew)
{
    qelt::test::TempFolder dir;
    const std::string path = dir / "log1.txt";
    const std::string first = joinCrLf({line("ann", "http://a/"), line("bob", "http://b/")});
    qelt::test::writeFile(path, first);
    const LogSnapshot listed = TakeLogSnapshot(LogFile(path));
    EXPECT_TRUE(StillHoldsListedLog(listed, LogFile(path)));
    {
        std::ofstream append(path, std::ios::binary | std::ios::app);
        append << line("ann", "http://c/") << "\r\n";
    }
    EXPECT_TRUE(StillHoldsListedLog(listed, LogFile(path)));
    // The same size, another first line: written in place.
    std::string changed = first + line("ann", "http://c/") + "\r\n";
    changed[first.find("bob")] = 'r';
    {
        std::ofstream rewrite(path, std::ios::binary | std::ios::in | std::ios::out);
        rewrite << changed.substr(0, first.size());
    }
    EXPECT_FALSE(StillHoldsListedLog(listed, LogFile(path)));
    qelt::test::writeFile(path, first.substr(0, 10));
    EXPECT_FALSE(StillHoldsListedLog(listed, LogFile(path)));
}
