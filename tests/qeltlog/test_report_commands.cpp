#include "settings/RunProgram.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

using qelt::test::runProgram;
using qelt::test::TempFolder;

namespace {

const std::string SmallLog = std::string(QELT_TEST_DATA_DIR) + "/access-small.txt";

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(StatsCommand, UsersAndHostsOfOneAndOfSeveralLogs)
{
    const auto one = runProgram(QELTLOG_PATH, {"--format", "tsv", "stats", SmallLog});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, "U\talice\t3\t2\t07/Dec/2026:03:44:43\t07/Dec/2026:03:45:09\n"
                       "U\tbob\t2\t2\t07/Dec/2026:03:45:02\t07/Dec/2026:03:47:30\n"
                       "U\tcarol\t2\t1\t07/Dec/2026:03:46:11\t07/Dec/2026:03:48:00\n");

    // A second log of the next day: counted after the first, in the order given.
    TempFolder folder;
    const std::string later = folder / "log2.txt";
    writeFile(later,
              "10.0.0.7 - bob [08/Dec/2026:09:00:00 +0800] \"CONNECT a.b:443 HTTP/1.0\" "
              "\"HTTPS\"\r\n"
              "10.0.0.8 - dave\\x [08/Dec/2026:09:01:00 +0800] \"GET http://dl1.example.com/ "
              "HTTP/1.1\" \"HTTP\"\r\n");
    const auto two = runProgram(QELTLOG_PATH, {"--format", "tsv", "stats", SmallLog, later});
    EXPECT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(two.out, "U\talice\t3\t2\t07/Dec/2026:03:44:43\t07/Dec/2026:03:45:09\n"
                       "U\tbob\t3\t3\t07/Dec/2026:03:45:02\t08/Dec/2026:09:00:00\n"
                       "U\tcarol\t2\t1\t07/Dec/2026:03:46:11\t07/Dec/2026:03:48:00\n"
                       "U\tdave\\x5cx\t1\t1\t08/Dec/2026:09:01:00\t08/Dec/2026:09:01:00\n");
    const auto reversed = runProgram(QELTLOG_PATH, {"--format", "tsv", "stats", later, SmallLog});
    EXPECT_EQ(reversed.out.substr(0, 6), "U\tbob\t");

    const auto bob =
        runProgram(QELTLOG_PATH, {"--format", "tsv", "stats", SmallLog, later, "--user", "bob"});
    EXPECT_EQ(bob.status, 0) << bob.err;
    EXPECT_EQ(bob.out, "H\t1\tdocs.example.org\t1\t07/Dec/2026:03:45:02\t07/Dec/2026:03:45:02\n"
                       "H\t1\tdl1.example.com\t1\t07/Dec/2026:03:47:30\t07/Dec/2026:03:47:30\n"
                       "H\t0\ta.b\t1\t08/Dec/2026:09:00:00\t08/Dec/2026:09:00:00\n");
    // Whole texts only: "bo" is nobody's name here.
    const auto bo =
        runProgram(QELTLOG_PATH, {"--format", "tsv", "stats", SmallLog, "--user", "bo"});
    EXPECT_EQ(bo.status, 0);
    EXPECT_EQ(bo.out, "");

    const auto text = runProgram(QELTLOG_PATH, {"stats", SmallLog});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("7 requests, 4 hosts, 3 users\n"), std::string::npos) << text.out;

    EXPECT_EQ(runProgram(QELTLOG_PATH, {"stats", "--user", "bob"}).status, 2);
    EXPECT_EQ(runProgram(QELTLOG_PATH, {"stats", SmallLog, "--user"}).status, 2);
    const auto missing = runProgram(QELTLOG_PATH, {"stats", folder / "none.txt"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("Cannot open file"), std::string::npos);
}

} // namespace
