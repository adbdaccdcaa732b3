#include "filters/FilterStore.h"
#include "filters/RecordFile.h"
#include "filters/RowColor.h"
#include "filters/StoreTestFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace qelt;
using qelt::test::TempFolder;
using Pairs = std::vector<std::pair<std::string, std::string>>;
using Groups = std::vector<std::pair<std::string, ColorValue>>;
using Names = std::vector<std::string>;

namespace {

class FilterStoreTest : public ::testing::Test
{
protected:
    TempFolder dir;
    FilterStore store{dir.path()};
    std::string groupPath() const { return dir / "GroupFile.tdf"; }
    std::string filterPath() const { return dir / "FilterFile.tdf"; }
    void writeGroups(const Groups& groups)
    {
        test::writeFile(groupPath(), test::groupFile(groups));
    }
    void writeFilters(const Pairs& pairs)
    {
        test::writeFile(filterPath(), test::filterFile(pairs));
    }
    std::string groups() const { return test::readFile(groupPath()); }
    std::string filters() const { return test::readFile(filterPath()); }
};

TEST_F(FilterStoreTest, MissingFilesReadEmptyAndAreNeverCreatedByReadersOrDeleters)
{
    EXPECT_TRUE(store.ListGroups().empty());
    EXPECT_EQ(store.GroupColor("g"), std::nullopt);
    EXPECT_TRUE(store.ListFilters("g").empty());
    store.SetGroupColor("g", 1);
    store.DeleteGroup("g");
    store.DeleteFilter("g", "t");
    store.DeleteGroupFilters("g");
    EXPECT_FALSE(test::fileExists(groupPath()));
    EXPECT_FALSE(test::fileExists(filterPath()));
}

TEST_F(FilterStoreTest, AddGroupAppendsNewNamesOnly)
{
    EXPECT_TRUE(store.AddGroup("Work", 0x000080));
    EXPECT_TRUE(store.AddGroup("work", 0x0000FF)); // letter case makes a different group
    EXPECT_FALSE(store.AddGroup("Work", 0x00FF00));
    EXPECT_FALSE(store.AddGroup("", 0x00FF00));
    EXPECT_EQ(groups(), test::groupFile({{"Work", 0x000080}, {"work", 0x0000FF}}));
    EXPECT_EQ(store.ListGroups(), (Names{"Work", "work"}));
    EXPECT_EQ(store.GroupColor("work"), 0x0000FFu);
    EXPECT_EQ(store.GroupColor("WORK"), std::nullopt);
}

TEST_F(FilterStoreTest, LongNamesAndTextsAreStoredCutAndNeverMatchAgain)
{
    const std::string longName = "abcdefghijklmnopqrstuvwxyz0123"; // 30 bytes
    const std::string longText(31, 't');
    EXPECT_TRUE(store.AddGroup(longName, 1));
    EXPECT_TRUE(store.AddGroup(longName, 2)); // compared in full: a second record of the cut name
    EXPECT_EQ(store.ListGroups(), (Names{longName.substr(0, 25), longName.substr(0, 25)}));
    EXPECT_EQ(store.GroupColor(longName.substr(0, 25)), 1u);
    EXPECT_EQ(store.GroupColor(longName), std::nullopt);

    EXPECT_TRUE(store.AddFilter(longName, longText));
    EXPECT_TRUE(store.AddFilter(longName, longText));
    EXPECT_EQ(filters(), test::filterFile({{longName.substr(0, 25), longText.substr(0, 30)},
                                           {longName.substr(0, 25), longText.substr(0, 30)}}));
    EXPECT_EQ(store.ListFilters(longName.substr(0, 25)).size(), 2u);
}

TEST_F(FilterStoreTest, AddFilterNeedsANewPair)
{
    EXPECT_TRUE(store.AddFilter("g1", "mail"));
    EXPECT_TRUE(store.AddFilter("g2", "mail"));
    EXPECT_FALSE(store.AddFilter("g1", "mail"));
    EXPECT_FALSE(store.AddFilter("g1", ""));
    EXPECT_TRUE(store.AddFilter("g1", "news"));
    EXPECT_EQ(filters(), test::filterFile({{"g1", "mail"}, {"g2", "mail"}, {"g1", "news"}}));
    EXPECT_EQ(store.ListFilters("g1"), (Names{"mail", "news"}));
    EXPECT_EQ(store.ListFilters("g2"), (Names{"mail"}));
}

TEST_F(FilterStoreTest, SetGroupColorChangesOnlyTheFirstRecordsColourBytes)
{
    std::string bytes = test::groupFile({{"a", 1}, {"b", 2}, {"b", 3}});
    bytes[32 + 20] = 'J'; // junk after the name: another writer's bytes stay
    bytes[32 + 26] = 'K';
    test::writeFile(groupPath(), bytes);
    store.SetGroupColor("b", 0x00ABCDEF);
    std::string expected = bytes;
    expected.replace(32 + 28, 4, std::string("\xEF\xCD\xAB\x00", 4));
    EXPECT_EQ(groups(), expected);
    store.SetGroupColor("missing", 9);
    EXPECT_EQ(groups(), expected);
}

struct DeleteCase
{
    const char* name;
    Pairs before;
    std::function<void(FilterStore&)> action;
    Pairs after;
};

TEST_F(FilterStoreTest, FilterDeletionsLeaveTheDocumentedOrder)
{
    const DeleteCase cases[] = {
        {"group filters anywhere",
         {{"g1", "t1"}, {"g2", "t2"}, {"g1", "t3"}, {"g1", "t4"}},
         [](FilterStore& s) { s.DeleteGroupFilters("g1"); },
         {{"g2", "t2"}}},
        {"group filters at the end",
         {{"g2", "a"}, {"g3", "b"}, {"g1", "c"}, {"g1", "d"}},
         [](FilterStore& s) { s.DeleteGroupFilters("g1"); },
         {{"g2", "a"}, {"g3", "b"}}},
        {"moved record of the same group",
         {{"g1", "a"}, {"g2", "b"}, {"g1", "c"}},
         [](FilterStore& s) { s.DeleteGroupFilters("g1"); },
         {{"g2", "b"}}},
        {"all records of the group",
         {{"g1", "a"}, {"g1", "b"}},
         [](FilterStore& s) { s.DeleteGroupFilters("g1"); },
         {}},
        {"second of four",
         {{"g", "1"}, {"g", "2"}, {"g", "3"}, {"g", "4"}},
         [](FilterStore& s) { s.DeleteFilter("g", "2"); },
         {{"g", "1"}, {"g", "4"}, {"g", "3"}}},
        {"the group's record, not an earlier one of the same text",
         {{"g2", "t"}, {"g1", "t"}, {"g3", "x"}},
         [](FilterStore& s) { s.DeleteFilter("g1", "t"); },
         {{"g2", "t"}, {"g3", "x"}}},
        {"only the first of duplicates",
         {{"g", "t"}, {"h", "x"}, {"g", "t"}},
         [](FilterStore& s) { s.DeleteFilter("g", "t"); },
         {{"g", "t"}, {"h", "x"}}},
        {"nothing that is not stored",
         {{"g", "t"}},
         [](FilterStore& s) { s.DeleteFilter("g", "T"); },
         {{"g", "t"}}},
    };
    for (const auto& c : cases) {
        writeFilters(c.before);
        c.action(store);
        EXPECT_EQ(filters(), test::filterFile(c.after)) << c.name;
    }
}

TEST_F(FilterStoreTest, DeleteGroupRemovesItsFiltersThenMovesTheLastGroup)
{
    writeGroups({{"G1", 1}, {"G2", 2}, {"G3", 3}, {"G4", 4}});
    writeFilters({{"G2", "a"}, {"G1", "b"}, {"G2", "c"}});
    store.DeleteGroup("G2");
    EXPECT_EQ(groups(), test::groupFile({{"G1", 1}, {"G4", 4}, {"G3", 3}}));
    EXPECT_EQ(filters(), test::filterFile({{"G1", "b"}}));

    store.DeleteGroup("G9");
    EXPECT_EQ(groups(), test::groupFile({{"G1", 1}, {"G4", 4}, {"G3", 3}}));
    EXPECT_EQ(filters(), test::filterFile({{"G1", "b"}}));

    // The only record of a file: an empty file stays.
    writeGroups({{"G1", 1}});
    store.DeleteGroup("G1");
    EXPECT_TRUE(test::fileExists(groupPath()));
    EXPECT_EQ(groups(), "");
    EXPECT_EQ(filters(), "");
    EXPECT_TRUE(store.ListGroups().empty());
}

TEST_F(FilterStoreTest, DeleteGroupWithoutAFilterFileTouchesOnlyGroups)
{
    writeGroups({{"G1", 1}, {"G2", 2}});
    store.DeleteGroup("G1");
    EXPECT_EQ(groups(), test::groupFile({{"G2", 2}}));
    EXPECT_FALSE(test::fileExists(filterPath()));
}

TEST_F(FilterStoreTest, PartialRecordsAreIgnoredOverwrittenOrCutOff)
{
    // Shorter than one record: no record; an append writes at offset 0.
    test::writeFile(groupPath(), "\x03"
                                 "abc");
    EXPECT_TRUE(store.ListGroups().empty());
    EXPECT_TRUE(store.AddGroup("x", 7));
    EXPECT_EQ(groups(), test::groupFile({{"x", 7}}));

    // A stray tail after whole records: never read, overwritten by an append.
    test::writeFile(filterPath(), test::filterFile({{"g", "a"}}) + "\x01g\x05junk!");
    EXPECT_EQ(store.ListFilters("g"), (Names{"a"}));
    EXPECT_TRUE(store.AddFilter("g", "b"));
    EXPECT_EQ(filters(), test::filterFile({{"g", "a"}, {"g", "b"}}));

    // A deletion cuts the tail off.
    test::writeFile(filterPath(), test::filterFile({{"g", "a"}, {"h", "b"}}) + "tail");
    store.DeleteFilter("g", "a");
    EXPECT_EQ(filters(), test::filterFile({{"h", "b"}}));
}

TEST_F(FilterStoreTest, DamagedLengthBytesReadTheWholeFieldOnly)
{
    std::string bytes = test::groupBytes(std::string(25, 'n'), 5);
    bytes[0] = static_cast<char>(250);
    bytes[26] = 'X'; // an alignment byte right after the field must not join the name
    test::writeFile(groupPath(), bytes);
    EXPECT_EQ(store.ListGroups(), (Names{std::string(25, 'n')}));
    EXPECT_EQ(store.GroupColor(std::string(25, 'n')), 5u);

    std::string filter = test::filterBytes("g", std::string(30, 't'));
    filter[26] = static_cast<char>(99);
    test::writeFile(filterPath(), filter);
    EXPECT_EQ(store.ListFilters("g"), (Names{std::string(30, 't')}));
}

TEST_F(FilterStoreTest, UnwritableFilesFailWithoutTouchingTheOtherFile)
{
    writeGroups({{"G1", 1}, {"G2", 2}});
    writeFilters({{"G1", "a"}});
    test::openToAll(dir);
    ::chmod(groupPath().c_str(), 0444);
    const std::string before = filters();
    const std::string outcome = test::runAsNobody([&] {
        FilterStore other(dir.path());
        std::string messages;
        for (const auto& action : std::vector<std::function<void()>>{
                 [&] { other.ListGroups(); }, [&] { other.AddGroup("G3", 3); },
                 [&] { other.DeleteGroup("G1"); }, [&] { other.SetGroupColor("G1", 9); }}) {
            try {
                action();
                messages += "ok;";
            } catch (const FileIOError& e) {
                messages += std::string(e.what()) + ";";
            }
        }
        return messages;
    });
    EXPECT_EQ(outcome, "File access denied;File access denied;File access denied;"
                       "File access denied;");
    EXPECT_EQ(groups(), test::groupFile({{"G1", 1}, {"G2", 2}}));
    EXPECT_EQ(filters(), before);
}

TEST_F(FilterStoreTest, MissingOrReadOnlyFolderFailsToCreate)
{
    FilterStore nowhere(dir / "missing/folder");
    EXPECT_TRUE(nowhere.ListGroups().empty());
    try {
        nowhere.AddGroup("g", 1);
        FAIL() << "a group was added in a missing folder";
    } catch (const FileIOError& e) {
        EXPECT_EQ(std::string(e.what()), "Invalid filename");
    }

    test::openToAll(dir);
    ::mkdir((dir / "locked").c_str(), 0555);
    const std::string outcome = test::runAsNobody([&] {
        try {
            FilterStore(dir / "locked/").AddFilter("g", "t");
        } catch (const FileIOError& e) {
            return std::string(e.what());
        }
        return std::string("created");
    });
    EXPECT_EQ(outcome, "File access denied");
    EXPECT_FALSE(test::fileExists(dir / "locked/FilterFile.tdf"));
}

TEST_F(FilterStoreTest, AFolderThatCannotBeSearchedOrALinkLoopIsReportedNotTakenForNoFile)
{
    // Readable but not searchable: the names can be listed, the files not looked at.
    const std::string shut = dir / "shut/";
    ::mkdir(shut.c_str(), 0755);
    test::writeFile(shut + "GroupFile.tdf", test::groupFile({{"G", 1}}));
    test::writeFile(shut + "FilterFile.tdf", test::filterFile({{"G", "x"}}));
    ::chmod(shut.c_str(), 0644);
    test::openToAll(dir);
    const auto everyCall = [](const std::string& folder) {
        FilterStore other(folder);
        RowColorRule rule(folder);
        std::string messages;
        for (const auto& action : std::vector<std::function<void()>>{
                 [&] { other.ListGroups(); }, [&] { other.GroupColor("G"); },
                 [&] { other.SetGroupColor("G", 2); }, [&] { other.DeleteGroup("G"); },
                 [&] { other.ListFilters("G"); }, [&] { other.DeleteFilter("G", "x"); },
                 [&] { other.DeleteGroupFilters("G"); }, [&] { RowColor(folder, "x"); }}) {
            try {
                action();
                messages += "ok;";
            } catch (const FileIOError& e) {
                messages += std::string(e.what()) + ";";
            }
        }
        std::string error;
        rule.RowColorNoThrow("x", error);
        return messages + error;
    };
    std::string denied;
    for (int i = 0; i < 8; ++i)
        denied += "File access denied;";
    EXPECT_EQ(test::runAsNobody([&] { return everyCall(shut); }), denied + "File access denied");
    ::chmod(shut.c_str(), 0755);
    EXPECT_EQ(test::readFile(shut + "GroupFile.tdf"), test::groupFile({{"G", 1}}));
    EXPECT_EQ(test::readFile(shut + "FilterFile.tdf"), test::filterFile({{"G", "x"}}));

    // A link to itself cannot be looked at by anyone, root included.
    const std::string loop = dir / "loop/";
    ::mkdir(loop.c_str(), 0755);
    ASSERT_EQ(::symlink("GroupFile.tdf", (loop + "GroupFile.tdf").c_str()), 0);
    ASSERT_EQ(::symlink("FilterFile.tdf", (loop + "FilterFile.tdf").c_str()), 0);
    std::string invalid;
    for (int i = 0; i < 8; ++i)
        invalid += "Invalid filename;";
    EXPECT_EQ(everyCall(loop), invalid + "Invalid filename");
}

TEST_F(FilterStoreTest, AFolderInPlaceOfAFileIsNoFileAndCannotBeCreated)
{
    ::mkdir(groupPath().c_str(), 0755);
    EXPECT_TRUE(store.ListGroups().empty());
    EXPECT_THROW(store.AddGroup("g", 1), FileIOError);
}

} // namespace
