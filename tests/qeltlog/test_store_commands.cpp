#include "filters/StoreTestFiles.h"
#include "settings/RunProgram.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using qelt::test::runProgram;
using qelt::test::TempFolder;

namespace {

class StoreCommands : public ::testing::Test
{
protected:
    TempFolder dir;
    qelt::test::ProgramResult run(std::vector<std::string> args, bool tsv = true)
    {
        std::vector<std::string> all{"--app-dir", dir.path()};
        if (tsv)
            all.insert(all.end(), {"--format", "tsv"});
        all.insert(all.end(), args.begin(), args.end());
        return runProgram(QELTLOG_PATH, all);
    }
    std::string out(std::vector<std::string> args)
    {
        const auto result = run(std::move(args));
        EXPECT_EQ(result.status, 0) << result.err;
        return result.out;
    }
};

TEST_F(StoreCommands, EditAndListGroupsAndFilters)
{
    EXPECT_EQ(out({"add-group", "Work", "clMaroon"}), "added\n");
    EXPECT_EQ(out({"add-group", "Work", "clRed"}), "exists\n");
    EXPECT_EQ(out({"add-group", "Pa\\th\x01", "$FF00"}), "added\n");
    EXPECT_EQ(out({"add-group", "Sky", "clskyblue"}), "added\n");
    EXPECT_EQ(out({"add-group", "Dec", "16711680"}), "added\n");
    EXPECT_EQ(out({"groups"}),
              "Work\t00000080\nPa\\x5cth\\x01\t0000ff00\nSky\t00f0caa6\nDec\t00ff0000\n");
    EXPECT_EQ(out({"set-colour", "Work", "0x123456"}), "");
    EXPECT_EQ(out({"add-filter", "Work", "mail"}), "added\n");
    EXPECT_EQ(out({"add-filter", "Work", "mail"}), "exists\n");
    EXPECT_EQ(out({"add-filter", "Sky", "ru"}), "added\n");
    EXPECT_EQ(out({"add-filter", "Work", "news\t"}), "added\n");
    EXPECT_EQ(out({"filters", "Work"}), "mail\nnews\\x09\n");
    EXPECT_EQ(out({"colour", "http://mail.ru/"}), "00123456\n");
    EXPECT_EQ(out({"colour", "http://x.ru/"}), "00f0caa6\n");
    EXPECT_EQ(out({"colour", "http://x.de/"}), "none\n");
    EXPECT_EQ(out({"delete-filter", "Work", "mail"}), "");
    EXPECT_EQ(out({"colour", "http://mail.ru/"}), "00f0caa6\n");
    EXPECT_EQ(out({"delete-group", "Sky"}), "");
    EXPECT_EQ(out({"colour", "http://mail.ru/"}), "none\n");
    // The last group moved into the deleted one's place.
    EXPECT_EQ(out({"groups"}), "Work\t00123456\nPa\\x5cth\\x01\t0000ff00\nDec\t00ff0000\n");
    EXPECT_EQ(out({"delete-group", "Nobody"}), "");
    EXPECT_EQ(out({"delete-filter", "Work", "nothing"}), "");
}

TEST_F(StoreCommands, TextFormatDecodesInTheConfiguredCodePageAndTsvKeepsTheBytes)
{
    qelt::test::writeFile(dir / "config.ini", "[Logger]\r\nCodePage=1251\r\n");
    const std::string name = "\xCF\xF0\xE8"; // "При" in code page 1251
    EXPECT_EQ(out({"add-group", name, "clRed"}), "added\n");
    EXPECT_EQ(out({"add-filter", name, "\xE0\x01"}), "added\n");

    const auto groups = run({"groups"}, false);
    EXPECT_EQ(groups.status, 0) << groups.err;
    EXPECT_EQ(groups.out, "\xD0\x9F\xD1\x80\xD0\xB8\t000000ff\n");
    const auto filters = run({"filters", name}, false);
    EXPECT_EQ(filters.status, 0) << filters.err;
    EXPECT_EQ(filters.out, "\xD0\xB0\\x01\n");

    EXPECT_EQ(out({"groups"}), name + "\t000000ff\n");
    EXPECT_EQ(out({"filters", name}), "\xE0\\x01\n");
}

TEST_F(StoreCommands, FilesAreByteExact)
{
    out({"add-group", "G", "clBlue"});
    out({"add-filter", "G", "t"});
    EXPECT_EQ(qelt::test::readFile(dir / "GroupFile.tdf"), qelt::test::groupBytes("G", 0xFF0000));
    EXPECT_EQ(qelt::test::readFile(dir / "FilterFile.tdf"), qelt::test::filterBytes("G", "t"));
}

TEST_F(StoreCommands, BadCommandLinesExitWithTwoAndChangeNothing)
{
    const std::vector<std::vector<std::string>> wrong = {
        {"add-group", "G", "clNope"},
        {"add-group", "G", "-1"},
        {"add-group", "G", "0x1000000"},
        {"add-group", "G", "12px"},
        {"add-group", "", "clRed"},
        {"add-filter", "G", ""},
        {"set-colour", "G", "Custom..."},
        {"add-group", "G"},
        {"colour"},
        {"filters", "a", "b"},
    };
    for (const auto& args : wrong) {
        const auto result = run(args);
        EXPECT_EQ(result.status, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_NE(result.err.find("usage:"), std::string::npos);
    }
    EXPECT_FALSE(qelt::test::fileExists(dir / "GroupFile.tdf"));
    EXPECT_FALSE(qelt::test::fileExists(dir / "FilterFile.tdf"));

    // An empty --app-dir must not fall back to the viewer's own store.
    const auto empty = runProgram(QELTLOG_PATH, {"--app-dir", "", "add-group", "G", "clRed"});
    EXPECT_EQ(empty.status, 2);
    EXPECT_NE(empty.err.find("--app-dir"), std::string::npos);
}

TEST_F(StoreCommands, FileErrorsExitWithOneAndTheSystemMessage)
{
    const auto missing =
        runProgram(QELTLOG_PATH, {"--app-dir", dir / "no/such", "add-group", "G", "clRed"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Invalid filename\n");
    const auto listMissing = runProgram(QELTLOG_PATH, {"--app-dir", dir / "no/such", "groups"});
    EXPECT_EQ(listMissing.status, 0);
    EXPECT_EQ(listMissing.out, "");

    qelt::test::writeFile(dir / "GroupFile.tdf", qelt::test::groupBytes("G", 1));
    ::chmod((dir / "GroupFile.tdf").c_str(), 0444);
    qelt::test::openToAll(dir);
    const std::string outcome = qelt::test::runAsNobody([&] {
        // A build folder closed to other users keeps the program from starting at all.
        if (::access(QELTLOG_PATH, X_OK) != 0)
            return std::string("<cannot run>");
        const auto result =
            runProgram(QELTLOG_PATH, {"--app-dir", dir.path(), "add-group", "H", "clRed"});
        return std::to_string(result.status) + ":" + result.err;
    });
    if (outcome == "<cannot run>" || outcome == "<setuid>")
        GTEST_SKIP() << "the user nobody cannot run " << QELTLOG_PATH
                     << "; a file that may not be written needs a user without privileges";
    EXPECT_EQ(outcome, "1:File access denied\n");

    // A store folder that cannot be searched is no empty store.
    ::chmod(dir.path().c_str(), 0666);
    const std::string shut = qelt::test::runAsNobody([&] {
        std::string outcomes;
        for (const auto& args :
             std::vector<std::vector<std::string>>{{"groups"}, {"colour", "x"}}) {
            std::vector<std::string> all{"--app-dir", dir.path()};
            all.insert(all.end(), args.begin(), args.end());
            const auto result = runProgram(QELTLOG_PATH, all);
            outcomes += std::to_string(result.status) + ":" + result.out + result.err;
        }
        return outcomes;
    });
    ::chmod(dir.path().c_str(), 0777);
    EXPECT_EQ(shut, "1:File access denied\n1:File access denied\n");
    EXPECT_EQ(qelt::test::readFile(dir / "GroupFile.tdf"), qelt::test::groupBytes("G", 1));
}

} // namespace
