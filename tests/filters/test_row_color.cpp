#include "filters/FilterStore.h"
#include "filters/RecordFile.h"
#include "filters/RowColor.h"
#include "filters/StoreTestFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace qelt;
using qelt::test::TempFolder;
using Pairs = std::vector<std::pair<std::string, std::string>>;
using Groups = std::vector<std::pair<std::string, ColorValue>>;

namespace {

struct ColourCase
{
    const char* name;
    Groups groups;
    Pairs filters;
    std::string url;
    std::optional<ColorValue> expected;
};

TEST(RowColor, FirstMatchingFilterInFileOrderDecides)
{
    const std::string longText(35, 'q');
    const ColourCase cases[] = {
        {"plain match", {{"Work", 0xFF}}, {{"Work", "mail"}}, "http://mail.ru/", 0xFFu},
        {"no match", {{"Work", 0xFF}}, {{"Work", "mail"}}, "http://news.ru/", std::nullopt},
        {"case matters", {{"Work", 0xFF}}, {{"Work", "Mail"}}, "http://mail.ru/", std::nullopt},
        {"first filter wins",
         {{"A", 1}, {"B", 2}},
         {{"B", "ru"}, {"A", "mail"}},
         "http://mail.ru/",
         2u},
        {"file order, not position in the url",
         {{"A", 1}, {"B", 2}},
         {{"A", "/x"}, {"B", "http"}},
         "http://h/x",
         1u},
        {"first match without group decides",
         {{"B", 2}},
         {{"Gone", "mail"}, {"B", "ru"}},
         "http://mail.ru/",
         std::nullopt},
        {"first group record of a name", {{"A", 1}, {"A", 2}}, {{"A", "m"}}, "m", 1u},
        {"group name compared exactly", {{"a", 1}}, {{"A", "m"}}, "m", std::nullopt},
        {"empty group file", {}, {{"A", "m"}}, "m", std::nullopt},
        {"empty filter text never matches", {{"A", 1}, {"B", 2}}, {{"A", ""}, {"B", "x"}}, "x", 2u},
        {"stored 30 characters match",
         {{"A", 3}},
         {{"A", longText.substr(0, 30)}},
         "http://" + longText.substr(0, 30) + "/",
         3u},
        {"one-byte text", {{"A", 1}, {"B", 2}}, {{"A", "zz"}, {"B", "?"}}, "http://h/?q", 2u},
        {"text as long as the url", {{"A", 7}}, {{"A", "http://h"}}, "http://h", 7u},
        {"text longer than the url", {{"A", 7}}, {{"A", "http://h/"}}, "http://h", std::nullopt},
        {"empty url", {{"A", 7}}, {{"A", "h"}}, "", std::nullopt},
        {"bytes above 127", {{"A", 5}}, {{"A", "\xCF\xF0"}}, "http://\xCF\xF0.ru", 5u},
        {"colour returned as stored", {{"A", 0xA4A0A0}}, {{"A", "x"}}, "x", 0xA4A0A0u},
    };
    for (const auto& c : cases) {
        TempFolder dir;
        test::writeFile(dir / "GroupFile.tdf", test::groupFile(c.groups));
        test::writeFile(dir / "FilterFile.tdf", test::filterFile(c.filters));
        EXPECT_EQ(RowColor(dir.path(), c.url), c.expected) << c.name;
        RowColorRule rule(dir.path());
        EXPECT_EQ(rule.RowColor(c.url), c.expected) << c.name << " (kept rule)";
        EXPECT_EQ(rule.RowColor(c.url), c.expected) << c.name << " (kept rule, again)";
    }
}

TEST(RowColor, MissingFilesGiveNoColourAndNothingIsWritten)
{
    TempFolder dir;
    EXPECT_EQ(RowColor(dir.path(), "x"), std::nullopt);
    test::writeFile(dir / "FilterFile.tdf", test::filterFile({{"A", "x"}}));
    EXPECT_EQ(RowColor(dir.path(), "x"), std::nullopt);
    EXPECT_FALSE(test::fileExists(dir / "GroupFile.tdf"));
    ::unlink((dir / "FilterFile.tdf").c_str());
    test::writeFile(dir / "GroupFile.tdf", test::groupFile({{"A", 1}}));
    EXPECT_EQ(RowColor(dir.path(), "x"), std::nullopt);
    EXPECT_FALSE(test::fileExists(dir / "FilterFile.tdf"));
}

TEST(RowColor, KeptRuleSeesEveryChangeOfEitherFile)
{
    TempFolder dir;
    FilterStore store(dir.path());
    RowColorRule rule(dir.path());
    store.AddGroup("A", 0x000001);
    store.AddGroup("B", 0x000002);
    store.AddFilter("A", "aaaa");
    store.AddFilter("B", "bbbb");
    EXPECT_EQ(rule.RowColor("x-aaaa-bbbb"), 1u);

    // Same sizes, within the same moment: colour bytes and filter texts rewritten in place.
    store.SetGroupColor("A", 0x000003);
    EXPECT_EQ(rule.RowColor("x-aaaa-bbbb"), 3u);
    test::writeFile(dir / "FilterFile.tdf", test::filterFile({{"B", "bbbb"}, {"A", "aaaa"}}));
    EXPECT_EQ(rule.RowColor("x-aaaa-bbbb"), 2u);
    test::writeFile(dir / "FilterFile.tdf", test::filterFile({{"B", "cccc"}, {"A", "aaaa"}}));
    EXPECT_EQ(rule.RowColor("x-aaaa-bbbb"), 3u);

    // Replaced files (a new inode) and removed ones.
    test::writeFile(dir / "g.tmp", test::groupFile({{"A", 9}}));
    ::rename((dir / "g.tmp").c_str(), (dir / "GroupFile.tdf").c_str());
    EXPECT_EQ(rule.RowColor("x-aaaa-bbbb"), 9u);
    ::unlink((dir / "GroupFile.tdf").c_str());
    EXPECT_EQ(rule.RowColor("x-aaaa-bbbb"), std::nullopt);
    store.AddGroup("A", 4);
    EXPECT_EQ(rule.RowColor("x-aaaa-bbbb"), 4u);
    store.DeleteFilter("A", "aaaa");
    EXPECT_EQ(rule.RowColor("x-aaaa-bbbb"), std::nullopt);
}

TEST(RowColor, ManyFiltersSharingPrefixesKeepFileOrder)
{
    TempFolder dir;
    Pairs filters;
    Groups groups;
    for (int i = 0; i < 300; ++i) {
        groups.emplace_back("g" + std::to_string(i), static_cast<ColorValue>(i));
        filters.emplace_back("g" + std::to_string(i), "www.site" + std::to_string(299 - i));
    }
    test::writeFile(dir / "GroupFile.tdf", test::groupFile(groups));
    test::writeFile(dir / "FilterFile.tdf", test::filterFile(filters));
    RowColorRule rule(dir.path());
    // "www.site2" is filter 297; "www.site29" (filter 270) is a longer text of a later-ordered
    // prefix, "www.site299" is filter 0.
    EXPECT_EQ(rule.RowColor("http://www.site299/"), 0u);
    EXPECT_EQ(rule.RowColor("http://www.site29/"), 270u);
    EXPECT_EQ(rule.RowColor("http://www.site2/"), 297u);
    EXPECT_EQ(rule.RowColor("http://www.site/"), std::nullopt);
}

TEST(RowColor, UnreadableFileIsReportedOnceUntilReadableAgain)
{
    TempFolder dir;
    test::openToAll(dir);
    test::writeFile(dir / "GroupFile.tdf", test::groupFile({{"A", 1}}));
    test::writeFile(dir / "FilterFile.tdf", test::filterFile({{"A", "x"}}));
    for (const char* name : {"GroupFile.tdf", "FilterFile.tdf"})
        ::chown((dir / name).c_str(), 65534, 65534);
    const std::string group = dir / "GroupFile.tdf";
    const std::string outcome = test::runAsNobody([&] {
        RowColorRule rule(dir.path());
        std::string log;
        std::string error;
        const auto paint = [&](const char* url) {
            const auto colour = rule.RowColorNoThrow(url, error);
            log +=
                (colour ? std::to_string(*colour) : "-") + (error.empty() ? "" : "!" + error) + ";";
        };
        paint("x");
        ::chmod(group.c_str(), 0);
        paint("x");
        paint("y"); // no match: the group file is not read, and nothing new is reported
        paint("x");
        try {
            rule.RowColor("x");
            log += "no throw;";
        } catch (const FileIOError& e) {
            log += std::string("throws ") + e.what() + ";";
        }
        ::chmod(group.c_str(), 0444); // read-only: readable, so rows colour again
        paint("x");
        ::chmod(group.c_str(), 0);
        paint("x");
        return log;
    });
    EXPECT_EQ(outcome, "1;-!File access denied;-;-;throws File access denied;1;"
                       "-!File access denied;");
}

} // namespace
