#include "logaccess/RecordListing.h"
#include "settings/TempFolder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace qelt;

namespace {

std::string line(const std::string& user, const std::string& request, const std::string& type,
                 const std::string& stamp = "07/Dec/2026:03:44:43")
{
    return "10.0.0.5 - " + user + " [" + stamp + " +0800] \"" + request + "\" \"" + type + "\"";
}

// Rows as "date|label|url|icon".
std::vector<std::string> rowsOf(const RecordList& list)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        out.push_back(std::string(list.date(i)) + "|" + list.label(i).str() + "|" +
                      std::string(list.url(i)) + "|" + std::to_string(list.icon(i)));
    }
    return out;
}

// What a plain scan of every line gives.
std::vector<std::string_view> naiveLines(std::string_view text, const NodeSearchTexts& texts)
{
    std::vector<std::string_view> out;
    ForEachLine(text, [&](std::string_view l) {
        if (LineBelongsToNode(l, texts))
            out.push_back(l);
    });
    return out;
}

} // namespace

TEST(RecordListing, RowsOfUserAndHostNodes)
{
    using V = std::vector<std::string>;
    const std::string zipLine =
        line("alice", "GET http://dl1.example.com/setup.zip HTTP/1.1", "HTTP");
    const std::string log =
        zipLine + "\r\n" + // 0
        line("joanna", "GET http://news.example/ HTTP/1.1", "HTTP", "07/Dec/2026:03:50:00") +
        "\r\n" +                                                                               // 1
        line("bob", "GET http://h.example/?q=ann&r=dl1.example.com HTTP/1.1", "HTTP") + "\n" + // 2
        "ann without bracket\r\n" +                                                            // 3
        line("ann", "CONNECT secure.example.com:443 HTTP/1.0", "HTTPS") + "\r" +               // 4
        line("ann", "GET /odd", "UNKNOWN") + "\r\n" +                                          // 5
        zipLine + "\r\n" + zipLine; // 6, 7
    const std::string zipRow =
        "07/Dec/2026:03:44:43|GET \"HTTP\"|http://dl1.example.com/setup.zip|8";
    struct Case
    {
        const char* what;
        NodeSearchTexts texts;
        V rows;
    };
    const std::string annRow = "07/Dec/2026:03:44:43|CONNECT \"HTTPS\"|secure.example.com:443|7";
    const Case cases[] = {
        {"user node: its own lines, not joanna's nor a query that names it",
         NodeSearchTexts::ForUser("ann"),
         {annRow, "07/Dec/2026:03:44:43|||7"}},
        {"host node: the user's lines to the host, identical lines twice",
         NodeSearchTexts::ForHost("alice", "dl1.example.com"),
         {zipRow, zipRow, zipRow}},
        {"host node of another user whose query names the host",
         NodeSearchTexts::ForHost("bob", "dl1.example.com"),
         {}},
        {"host node of a tunnel", NodeSearchTexts::ForHost("ann", "secure.example.com"), {annRow}},
        {"a user that is the start of another", NodeSearchTexts::ForUser("jo"), {}},
        {"empty user text", NodeSearchTexts::ForUser(""), {}},
        {"search text with a line end", NodeSearchTexts::ForUser("ann\r\n"), {}},
        {"nobody", NodeSearchTexts::ForUser("zed"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(rowsOf(ListNodeRecords(log, c.texts)), c.rows);
    }
    EXPECT_TRUE(ListNodeRecords(std::string_view(), NodeSearchTexts::ForUser("a")).empty());
}

TEST(RecordListing, RowsPointAtTheirLines)
{
    const std::string log = "x - a [d] \"GET /1\" \"HTTP\"\r\nskip\r\nx - a [d] \"GET /2\" \"FTP\"";
    const RecordList list = ListNodeRecords(log, NodeSearchTexts::ForUser("a"));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.line(0), "x - a [d] \"GET /1\" \"HTTP\"");
    EXPECT_EQ(list.line(1), "x - a [d] \"GET /2\" \"FTP\"");
    EXPECT_EQ(list.rows()[1].line, log.size() - list.line(1).size());
    EXPECT_EQ(list.label(1).view(), "GET \"FTP\"");
}

TEST(RecordListing, SameLinesAsAPlainScan)
{
    // Random texts of short lines with every kind of line end, listed for users and hosts that
    // occur at line starts, line ends, across line ends, inside other fields and nowhere.
    std::mt19937 random(5);
    const std::vector<std::string> pieces = {"a",   "b",  " [", " ",  "ab",      "\r\n",
                                             "\r",  "\n", "x",  "[",  "ba",      "\r\r\n",
                                             " - ", "] ", ":",  "\"", "\"map\"", "\"MAP\" "};
    const std::vector<std::string> needles = {"a",  "ab", " [", "b a",   "x",       "",
                                              "bx", " ",  "[a", "ab ab", "a [ba ba"};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (int n = static_cast<int>(random() % 120); n > 0; --n)
            text += pieces[random() % pieces.size()];
        const NodeSearchTexts texts{needles[random() % needles.size()],
                                    needles[random() % needles.size()]};
        const auto expected = naiveLines(text, texts);
        std::vector<std::string_view> found;
        ForEachNodeLine(text, texts, [&](std::string_view l) { found.push_back(l); });
        ASSERT_EQ(found.size(), expected.size()) << ::testing::PrintToString(text);
        const RecordList inRuns = ListNodeRecords(text, texts, 1 + round % 4);
        ASSERT_EQ(inRuns.size(), expected.size()) << ::testing::PrintToString(text);
        for (std::size_t i = 0; i < found.size(); ++i) {
            // The very same lines, not merely equal texts.
            ASSERT_EQ(found[i].data(), expected[i].data()) << ::testing::PrintToString(text);
            ASSERT_EQ(found[i].size(), expected[i].size()) << ::testing::PrintToString(text);
            ASSERT_EQ(inRuns.line(i).data(), expected[i].data()) << ::testing::PrintToString(text);
            ASSERT_EQ(inRuns.line(i).size(), expected[i].size());
        }
    }
}

TEST(RecordListing, FromAFileKeepsItMapped)
{
    qelt::test::TempFolder dir;
    qelt::test::writeFile(dir / "log1.txt",
                          line("alice", "GET http://a/doc.pdf HTTP/1.1", "HTTP") + "\r\n");
    RecordList list;
    {
        auto file = std::make_shared<const LogFile>(dir / "log1.txt");
        list = ListNodeRecords(std::move(file), NodeSearchTexts::ForUser("alice"));
    }
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.url(0), "http://a/doc.pdf");
    EXPECT_EQ(list.icon(0), PdfIcon);
}
