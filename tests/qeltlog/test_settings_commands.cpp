#include "settings/RunProgram.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using qelt::test::runProgram;
using qelt::test::TempFolder;

namespace {

TEST(LogsCommand, ListsLogFilesInChooserOrder)
{
    TempFolder dir;
    for (const char* name : {"log2.txt", "LOG1.TXT", "notes.txt", "log\xE9\x01.txt"})
        qelt::test::writeFile(dir / name, "");
    ::mkdir((dir / "log0.txt").c_str(), 0755);

    const auto tsv = runProgram(QELTLOG_PATH, {"--format", "tsv", "logs", dir.path()});
    EXPECT_EQ(tsv.status, 0) << tsv.err;
    EXPECT_EQ(tsv.out, "LOG1.TXT\nlog2.txt\nlog\xE9\\x01.txt\n");
    EXPECT_EQ(tsv.err, "");

    // Text output decodes in config.ini's code page; the folder may lack its trailing slash.
    qelt::test::writeFile(dir / "config.ini", "[Logger]\r\nCodePage=1252\r\n");
    const auto text = runProgram(QELTLOG_PATH, {"--app-dir", dir.path(), "logs",
                                                dir.path().substr(0, dir.path().size() - 1)});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "LOG1.TXT\nlog2.txt\nlog\xC3\xA9\\x01.txt\n");

    qelt::test::writeFile(dir / "config.ini", "[Logger]\r\nCodePage=1251\r\n");
    const auto cyrillic = runProgram(QELTLOG_PATH, {"--app-dir", dir.path(), "logs", dir.path()});
    EXPECT_EQ(cyrillic.out, "LOG1.TXT\nlog2.txt\nlog\xD0\xB9\\x01.txt\n");
}

TEST(LogsCommand, EmptyFolderPrintsNothing)
{
    TempFolder dir;
    const auto result = runProgram(QELTLOG_PATH, {"logs", dir.path()});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
}

TEST(LogsCommand, MissingFolderFailsWithMessage)
{
    TempFolder dir;
    const std::string missing = dir / "gone";
    const auto result = runProgram(QELTLOG_PATH, {"logs", missing});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')), "Cannot open folder " + missing + "/");

    const auto usage = runProgram(QELTLOG_PATH, {"logs"});
    EXPECT_EQ(usage.status, 2);

    // An empty DIR names no folder, least of all the working one (which holds a log here).
    qelt::test::writeFile(dir / "log1.txt", "");
    char saved[4096];
    ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    const auto empty = runProgram(QELTLOG_PATH, {"logs", ""});
    ASSERT_EQ(::chdir(saved), 0);
    EXPECT_EQ(empty.status, 2);
    EXPECT_EQ(empty.out, "");
    EXPECT_NE(empty.err.find("DIR must not be empty"), std::string::npos);
}

} // namespace
