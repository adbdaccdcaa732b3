#include "logaccess/LogFile.h"
#include "logaccess/LogRewrite.h"
#include "settings/RunProgram.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using qelt::test::readFile;
using qelt::test::runProgram;
using qelt::test::TempFolder;
using qelt::test::writeFile;

namespace {

const char* const Users[] = {"ann", "bob", "joanna"};
const char* const Hosts[] = {"a.com", "b.com", "ann.org"};

std::string line(std::mt19937& random)
{
    return "10.0.0." + std::to_string(random() % 200) + " - " + Users[random() % 3] +
           " [05/Mar/2024:09:15:00 +0100] \"GET http://" + Hosts[random() % 3] + "/" +
           std::to_string(random() % 1000) + " HTTP/1.1\" \"HTTP\"";
}

// Lines mostly with CR LF, some with a lone LF or CR, at times none after the last one, and at
// times a NUL with bytes after it.
std::string randomLog(std::mt19937& random)
{
    std::string text;
    const int lines = 1 + static_cast<int>(random() % 40);
    for (int i = 0; i < lines; ++i) {
        const unsigned end = random() % 8;
        text += line(random) + (end == 0 ? "\n" : end == 1 ? "\r" : "\r\n");
    }
    if (random() % 4 == 0)
        text += line(random);
    if (random() % 5 == 0)
        text += std::string("\0junk\r\n", 7);
    return text;
}

// The log as a rewrite that removes nothing leaves it: every line with CR LF.
std::string withCrLf(const TempFolder& dir, const std::string& bytes)
{
    const std::string copy = dir / "copy.txt";
    writeFile(copy, bytes);
    const qelt::LogFile file(copy);
    std::vector<qelt::TextRange> all;
    if (!file.text().empty())
        all.push_back({0, file.text().size()});
    qelt::RewriteLogFile(copy, qelt::TakeLogSnapshot(file), file.text(), all);
    return readFile(copy);
}

// Runs qeltlog with its undo journal in dir.
qelt::test::ProgramResult qeltlog(const TempFolder& dir, const std::vector<std::string>& args)
{
    ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    return runProgram(QELTLOG_PATH, args);
}

} // namespace

TEST(UndoCommands, EveryDeletionUndoneGivesBackTheLogWithCrLfAndKeepsAppendedLines)
{
    std::mt19937 random(1208);
    for (int round = 0; round < 24; ++round) {
        TempFolder dir;
        const std::string log = dir / "log1.txt";
        const std::string before = randomLog(random);
        writeFile(log, before);
        std::vector<std::string> deletion;
        switch (random() % 3) {
        case 0:
            deletion = {"delete-node", log, Users[random() % 3]};
            break;
        case 1:
            deletion = {"delete-node", log, Users[random() % 3], Hosts[random() % 3]};
            break;
        default:
            deletion = {"delete-rows", log, "1," + std::to_string(2 + random() % 3) + "-6",
                        Users[random() % 3]};
        }
        const auto deleted = qeltlog(dir, deletion);
        if (deleted.status != 0) {
            // Rows beyond the node's last row: nothing happens.
            EXPECT_NE(deleted.err.find("List index out of bounds"), std::string::npos);
            EXPECT_EQ(readFile(log), before);
            continue;
        }
        const bool removed = deleted.out != "removed 0 lines\n";
        std::string expected = withCrLf(dir, before);
        if (random() % 2 == 0) {
            const std::string more = line(random) + "\r\n";
            writeFile(log, readFile(log) + more);
            expected = removed ? expected + more : readFile(log);
        }
        const auto undone = qeltlog(dir, {"undo", log});
        if (!removed) {
            // Nothing was recorded, and the log was not touched.
            EXPECT_EQ(undone.status, 1) << round;
            EXPECT_NE(undone.err.find("There is no recorded deletion to undo."), std::string::npos);
            continue;
        }
        ASSERT_EQ(undone.status, 0) << round << undone.err;
        // "removed 3 lines" then "restored 3 lines of ann ...".
        EXPECT_EQ(undone.out.rfind("restored " + deleted.out.substr(8, deleted.out.size() - 9) +
                                       " of " + deletion[deletion[0] == "delete-rows" ? 3 : 2],
                                   0),
                  0u)
            << undone.out;
        EXPECT_EQ(readFile(log), expected) << "round " << round << " " << deletion[0];
    }
}

TEST(UndoCommands, HistoryListsNewestFirstAndUndoWalksBackUntilNothingIsLeft)
{
    TempFolder dir;
    const std::string log = dir / "log1.txt";
    std::mt19937 random(5);
    std::string before;
    for (int i = 0; i < 30; ++i)
        before += line(random) + "\r\n";
    writeFile(log, before);
    ASSERT_EQ(qeltlog(dir, {"delete-node", log, "ann", "a.com"}).status, 0);
    const std::string afterFirst = readFile(log);
    ASSERT_EQ(qeltlog(dir, {"delete-rows", log, "1-2", "bob"}).status, 0);

    const auto history = qeltlog(dir, {"--format", "tsv", "history", log});
    ASSERT_EQ(history.status, 0) << history.err;
    std::vector<std::string> rows;
    for (std::size_t start = 0; start < history.out.size();) {
        const std::size_t end = history.out.find('\n', start);
        rows.push_back(history.out.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_EQ(rows.size(), 2u) << history.out;
    // number, time, kind, user, host, lines, bytes
    EXPECT_NE(rows[0].find("\trows\tbob\t\t2\t"), std::string::npos) << rows[0];
    EXPECT_NE(rows[1].find("\tnode\tann\ta.com\t"), std::string::npos) << rows[1];
    EXPECT_GT(std::stoull(rows[0]), std::stoull(rows[1]));

    EXPECT_EQ(qeltlog(dir, {"undo", log}).status, 0);
    EXPECT_EQ(readFile(log), afterFirst);
    EXPECT_EQ(qeltlog(dir, {"undo", log}).status, 0);
    EXPECT_EQ(readFile(log), before);
    const auto nothing = qeltlog(dir, {"undo", log});
    EXPECT_EQ(nothing.status, 1);
    EXPECT_EQ(nothing.out, "");
    EXPECT_EQ(qeltlog(dir, {"history", log}).out, "");
}

TEST(UndoCommands, RefusedWhenTheLogChangedAndNoDeletionWithoutItsRecord)
{
    TempFolder dir;
    const std::string log = dir / "log1.txt";
    std::mt19937 random(9);
    std::string before;
    for (int i = 0; i < 30; ++i)
        before += line(random) + "\r\n";
    writeFile(log, before);
    ASSERT_EQ(qeltlog(dir, {"delete-node", log, "bob"}).status, 0);
    std::string changed = readFile(log);
    changed[changed.size() / 2] = '#';
    writeFile(log, changed);
    const auto refused = qeltlog(dir, {"undo", log});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("changed since the deletion"), std::string::npos) << refused.err;
    EXPECT_EQ(readFile(log), changed);
    EXPECT_NE(qeltlog(dir, {"history", log}).out, "");

    // A journal that cannot be written stops the deletion.
    writeFile(dir / "not-a-folder", "x");
    ::setenv("XDG_STATE_HOME", (dir / "not-a-folder").c_str(), 1);
    const auto blocked = runProgram(QELTLOG_PATH, {"delete-node", log, "ann"});
    EXPECT_EQ(blocked.status, 1);
    EXPECT_NE(blocked.err.find("undo journal cannot be written"), std::string::npos) << blocked.err;
    EXPECT_EQ(readFile(log), changed);
}

TEST(UndoCommands, ALargeLogWithALoneLineEndFarInIsRewrittenAndUndoneExactly)
{
    // Far in, a lone LF is made CR LF: the record places the removed lines after it by what the
    // rewrite added, and the undo must give back every byte.
    std::mt19937 random(77);
    TempFolder dir;
    const std::string log = dir / "log1.txt";
    std::string before;
    std::string kept;
    while (before.size() < (48u << 20)) {
        const std::string next = line(random);
        const bool lone = before.size() > (40u << 20) && random() % 2000 == 0;
        before += next + (lone ? "\n" : "\r\n");
        if (next.find(" - bob [") == std::string::npos)
            kept += next + "\r\n";
    }
    writeFile(log, before);
    const auto deleted = qeltlog(dir, {"delete-node", log, "bob"});
    ASSERT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_TRUE(readFile(log) == kept);
    const auto undone = qeltlog(dir, {"undo", log});
    ASSERT_EQ(undone.status, 0) << undone.err;
    EXPECT_TRUE(readFile(log) == withCrLf(dir, before));
}
