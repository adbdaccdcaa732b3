#include "settings/RunProgram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

using qelt::test::readFile;
using qelt::test::runProgram;
using qelt::test::TempFolder;
using qelt::test::writeFile;

namespace {

std::string line(const std::string& user, const std::string& url)
{
    return "10.0.0.7 - " + user + " [05/Mar/2024:09:15:00 +0100] \"GET " + url +
           " HTTP/1.1\" \"HTTP\"";
}

const std::vector<std::string> Lines{
    line("ann", "http://a.com/1"),   line("joanna", "http://j.com/"),
    line("bob", "http://a.com/1"),   line("bob", "http://b.com/"),
    line("ann", "http://b.com/x"),   line("ann\xE9", "http://c.com/"),
    line("carl", "http://ann.org/"),
};

std::string joined(const std::vector<std::size_t>& indices, const std::string& end = "\r\n")
{
    std::string text;
    for (const std::size_t i : indices)
        text += Lines[i] + end;
    return text;
}

TEST(DeleteCommands, RemoveTheNodesOwnLinesAndWriteTheLogBack)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> args; // after the log
        std::vector<std::size_t> kept; // empty: the log is left as it was
        std::string summary;           // text format
    };
    const std::vector<Case> cases{
        {"user node: its own lines", {"delete-node", "ann"}, {1, 2, 3, 5, 6}, "removed 2 lines\n"},
        {"host node", {"delete-node", "ann", "b.com"}, {0, 1, 2, 3, 5, 6}, "removed 1 line\n"},
        {"user bytes as given", {"delete-node", "ann\xE9"}, {0, 1, 2, 3, 4, 6}, "removed 1 line\n"},
        {"nothing found: not rewritten", {"delete-node", "dave"}, {}, "removed 0 lines\n"},
        {"an empty host names no node", {"delete-node", "ann", ""}, {}, "removed 0 lines\n"},
        {"a row of a user node",
         {"delete-rows", "2", "ann"},
         {0, 1, 2, 3, 5, 6},
         "removed 1 line\n"},
        {"rows and ranges, one twice",
         {"delete-rows", "2,1-2", "bob"},
         {0, 1, 4, 5, 6},
         "removed 2 lines\n"},
        {"a row of a host node",
         {"delete-rows", "1", "bob", "a.com"},
         {0, 1, 3, 4, 5, 6},
         "removed 1 line\n"},
        // A last line without its line end may still be being written: it stays.
        {"the last line, still open", {"delete-node", "carl"}, {}, "removed 0 lines\n"},
        {"the row of the last line", {"delete-rows", "1", "carl"}, {}, "removed 0 lines\n"},
    };
    for (const char* format : {"text", "tsv"}) {
        for (const auto& c : cases) {
            TempFolder dir;
            const std::string log = dir / "log1.txt";
            // Lone LF line ends, which the rewrite makes CR LF, and no end after the last line,
            // which may still be being written and stays as it is.
            std::string before = joined({0, 1, 2, 3, 4, 5, 6}, "\n");
            before.pop_back();
            writeFile(log, before);
            std::vector<std::string> args{"--format", format, c.args[0], log};
            args.insert(args.end(), c.args.begin() + 1, c.args.end());
            const auto result = runProgram(QELTLOG_PATH, args);
            EXPECT_EQ(result.status, 0) << c.name << result.err;
            EXPECT_EQ(result.err, "") << c.name;
            EXPECT_EQ(result.out, std::string(format) == "tsv" ? "" : c.summary) << c.name;
            // The last line had no line end and keeps none.
            std::vector<std::size_t> kept = c.kept;
            kept.erase(std::remove(kept.begin(), kept.end(), 6u), kept.end());
            EXPECT_EQ(readFile(log), c.kept.empty() ? before : joined(kept) + Lines[6])
                << c.name << " " << format;
        }
    }
}

TEST(DeleteCommands, FailuresExitWithTheMessageAndChangeNothing)
{
    TempFolder dir;
    const std::string missing = dir / "log9.txt";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"delete-node", missing, "ann"},
          {"delete-rows", missing, "1", "ann"}}) {
        const auto result = runProgram(QELTLOG_PATH, args);
        EXPECT_EQ(result.status, 1) << args[0];
        EXPECT_EQ(result.out, "") << args[0];
        EXPECT_EQ(result.err, "Cannot open file " + missing + "\n") << args[0];
        EXPECT_FALSE(qelt::test::fileExists(missing)) << args[0];
    }

    const std::string log = dir / "log1.txt";
    writeFile(log, joined({0, 1, 4}));
    // ann has two rows: a row beyond them is no row, and nothing goes.
    for (const std::string rows : {"3", "1,3-5", "1-3"}) {
        const auto beyond = runProgram(QELTLOG_PATH, {"delete-rows", log, rows, "ann"});
        EXPECT_EQ(beyond.status, 1) << rows;
        EXPECT_EQ(beyond.err, "List index out of bounds (3)\n") << rows;
    }
    EXPECT_EQ(runProgram(QELTLOG_PATH, {"delete-rows", log, "1", "ann", "nowhere"}).err,
              "List index out of bounds (1)\n");
    EXPECT_EQ(runProgram(QELTLOG_PATH, {"delete-node", log}).status, 2);
    EXPECT_EQ(runProgram(QELTLOG_PATH, {"delete-rows", log, "1"}).status, 2);
    EXPECT_EQ(runProgram(QELTLOG_PATH, {"delete-node", log, "a", "b", "c"}).status, 2);
    for (const std::string rows : {"0", "2-1", "a", "1,", "", "-3", "1-2-3", " 1", "1;2", "+1"}) {
        const auto wrong = runProgram(QELTLOG_PATH, {"delete-rows", log, rows, "ann"});
        EXPECT_EQ(wrong.status, 2) << rows;
        EXPECT_EQ(wrong.out, "") << rows;
    }
    EXPECT_EQ(readFile(log), joined({0, 1, 4}));
}

// Rows are the node's lines counted from 1 in file order; any mix of numbers and ranges, in any
// order and overlapping, removes exactly those rows' lines, and a row beyond the last changes
// nothing. Compared with that rule taken literally on random logs.
TEST(DeleteCommands, RowsRemoveExactlyTheirLinesOnRandomLogs)
{
    std::mt19937 random(4711);
    const std::vector<std::string> users{"ann", "annа", "bob", "an"};
    for (int trial = 0; trial < 30; ++trial) {
        SCOPED_TRACE(trial);
        TempFolder dir;
        const std::string log = dir / "log1.txt";
        std::vector<std::string> lines;
        std::string text;
        const int count = 1 + static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i) {
            lines.push_back(line(users[random() % users.size()], "http://h" + std::to_string(i)));
            text += lines.back() + (i + 1 == count && random() % 3 == 0 ? ""
                                    : random() % 4 == 0                 ? "\n"
                                                                        : "\r\n");
        }
        writeFile(log, text);
        std::vector<std::size_t> annRows; // line numbers of ann's rows
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].find(" - ann [") != std::string::npos)
                annRows.push_back(i);
        std::string rows;
        std::set<std::size_t> selected; // row numbers from 1
        for (int r = 0; r <= static_cast<int>(random() % 3); ++r) {
            const std::size_t first = 1 + random() % (annRows.size() + 2);
            const std::size_t last = first + random() % 4;
            rows += (rows.empty() ? "" : ",") + std::to_string(first) +
                    (last > first ? "-" + std::to_string(last) : "");
            for (std::size_t row = first; row <= last; ++row)
                selected.insert(row);
        }
        const auto result = runProgram(QELTLOG_PATH, {"delete-rows", log, rows, "ann"});
        if (*selected.rbegin() > annRows.size()) {
            EXPECT_EQ(result.status, 1) << rows;
            EXPECT_EQ(readFile(log), text) << rows;
            continue;
        }
        std::string expected;
        std::size_t removed = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const auto row = std::find(annRows.begin(), annRows.end(), i) - annRows.begin() + 1;
            const bool open = i + 1 == lines.size() && text.back() != '\n';
            if (!open && selected.count(static_cast<std::size_t>(row)) != 0 &&
                static_cast<std::size_t>(row) <= annRows.size()) {
                ++removed;
                continue;
            }
            expected += lines[i] + (open ? "" : "\r\n");
        }
        EXPECT_EQ(result.out,
                  "removed " + std::to_string(removed) + (removed == 1 ? " line\n" : " lines\n"))
            << rows;
        EXPECT_EQ(readFile(log), removed == 0 ? text : expected) << rows;
    }
}

TEST(DeleteCommands, AnUnwritableFolderIsAFailure)
{
    TempFolder dir;
    const std::string log = dir / "log1.txt";
    writeFile(log, joined({0, 3}));
    const std::string folder = dir.path();
    ::chmod(folder.c_str(), 0555);
    // root writes into a folder without write permission; an immutable folder stops root too.
    const bool immutable =
        ::geteuid() == 0 && std::system(("chattr +i '" + folder + "' 2>/dev/null").c_str()) == 0;
    if (::geteuid() == 0 && !immutable)
        GTEST_SKIP() << "cannot make a folder unwritable for root here";
    const auto result = runProgram(QELTLOG_PATH, {"--format", "tsv", "delete-node", log, "ann"});
    if (immutable) [[maybe_unused]]
        const int status = std::system(("chattr -i '" + folder + "'").c_str());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')), "Cannot create file " + log);
    EXPECT_EQ(readFile(log), joined({0, 3}));
}

} // namespace
