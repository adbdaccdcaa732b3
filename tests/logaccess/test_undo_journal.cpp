#include "common/QeltError.h"
#include "logaccess/ContentHash.h"
#include "logaccess/Deletion.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogRewrite.h"
#include "logaccess/UndoJournal.h"
#include "settings/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>

#include <random>
#include <string>
#include <vector>

#include <unistd.h>

using namespace qelt;
using qelt::test::fileExists;
using qelt::test::readFile;
using qelt::test::TempFolder;
using qelt::test::writeFile;

namespace {

std::string line(std::mt19937& random, int n)
{
    static const char* const users[] = {"ann", "bob", "carl", "dora\xE9"};
    std::string text = "10.0.0." + std::to_string(random() % 250) + " - " + users[random() % 4] +
                       " [05/Mar/2024:09:15:00 +0100] \"GET http://h" + std::to_string(n) +
                       ".example/" + std::string(random() % 40, 'x') + " HTTP/1.1\" \"HTTP\"";
    return text;
}

// A log of random lines whose ends are mostly CR LF, some lone LF or CR, sometimes none after
// the last line, and sometimes a NUL with bytes after it.
std::string randomLog(std::mt19937& random, int lines)
{
    std::string text;
    for (int i = 0; i < lines; ++i) {
        text += line(random, i);
        const unsigned end = random() % 10;
        text += end == 0 ? "\n" : end == 1 ? "\r" : "\r\n";
    }
    if (!text.empty() && random() % 3 == 0) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
    }
    // What follows a NUL is no text, and stays as it is.
    if (random() % 4 == 0)
        text += std::string("\0tail\r\nafter a NUL", 19);
    return text;
}

// Keeps a random choice of the lines, as runs of whole lines.
KeptText randomKept(std::mt19937& random, std::string_view text, unsigned removePercent)
{
    KeptText kept;
    ByteOffset start = 0;
    while (start < text.size()) {
        const char* end = FindLineEnd(text.data() + start, text.data() + text.size());
        const ByteOffset next = static_cast<ByteOffset>(end - text.data()) +
                                TerminatorLength(end, text.data() + text.size());
        if (random() % 100 < removePercent) {
            ++kept.removedLines;
        } else if (!kept.ranges.empty() && kept.ranges.back().end == start) {
            kept.ranges.back().end = next;
        } else {
            kept.ranges.push_back({start, next});
        }
        start = next;
    }
    return kept;
}

// What the log looks like once every line ends with CR LF: a rewrite that removes nothing.
std::string rewrittenWhole(const TempFolder& dir, const std::string& bytes)
{
    const std::string copy = dir / "whole-copy.txt";
    writeFile(copy, bytes);
    const LogFile file(copy);
    std::vector<TextRange> all;
    if (!file.text().empty())
        all.push_back({0, file.text().size()});
    RewriteLogFile(copy, TakeLogSnapshot(file), file.text(), all);
    return readFile(copy);
}

JournalEntry deleteRandomLines(const UndoJournal& journal, const std::string& path,
                               std::mt19937& random, unsigned removePercent)
{
    const LogFile file(path);
    const LogSnapshot snapshot = TakeLogSnapshot(file);
    const KeptText kept = randomKept(random, file.text(), removePercent);
    return CommitDeletion(journal, file, snapshot, file.text(), kept,
                          {"ann", "", DeletionSubject::Kind::Rows});
}

std::string undoError(const UndoJournal& journal, const std::string& path)
{
    try {
        journal.undo(path);
    } catch (const QeltError& error) {
        return error.what();
    }
    return "";
}

// An entry as journals made before the present form hold it: the header also has the size and
// hash of the text before the deletion, and the new log's size and hash stand in the header, not
// after the runs. Made from an entry of the present form and that text.
std::string asFirstVersion(const std::string& entry, const std::string& textBefore)
{
    std::size_t at = 0;
    const auto take = [&](std::size_t n) {
        const std::string bytes = entry.substr(at, n);
        at += n;
        return bytes;
    };
    const auto number = [&] {
        std::uint64_t value;
        std::memcpy(&value, take(8).data(), 8);
        return value;
    };
    const auto u64 = [](std::uint64_t value) {
        return std::string(reinterpret_cast<const char*>(&value), 8);
    };
    EXPECT_EQ(take(8), "QELTUND2");
    std::string out = "QELTUND1" + take(8); // time
    for (int text = 0; text < 3; ++text) {  // path, kind and user, host
        const std::uint64_t size = number();
        out += u64(size) + take(size);
        if (text == 0)
            out += take(8);
    }
    out += take(6 * 8); // identity, size of the text read
    const std::string counts = take(3 * 8);
    std::uint64_t removedBytes;
    std::uint64_t runCount;
    std::memcpy(&removedBytes, counts.data() + 8, 8);
    std::memcpy(&runCount, counts.data() + 16, 8);
    const std::string removed = take(removedBytes);
    const std::string runs = take(runCount * 24);
    const std::string newLog = take(16);
    out += u64(textBefore.size()) + u64(HashBytes(textBefore)) + newLog + counts + removed + runs;
    return out + u64(HashBytes(out));
}

} // namespace

TEST(UndoJournal, RandomDeletionsUndoneOneByOneGiveBackEveryStageWithLinesAppendedKept)
{
    std::mt19937 random(20261208);
    for (int round = 0; round < 12; ++round) {
        TempFolder dir;
        const UndoJournal journal(dir / "state/undo");
        const std::string log = dir / "log1.txt";
        writeFile(log, randomLog(random, static_cast<int>(random() % 60)));
        // Each stage as a rewrite that removes nothing would leave it.
        std::vector<std::string> stages{rewrittenWhole(dir, readFile(log))};
        const int deletions = 1 + static_cast<int>(random() % 3);
        int recorded = 0;
        for (int d = 0; d < deletions; ++d) {
            const JournalEntry entry = deleteRandomLines(journal, log, random, 1 + random() % 99);
            if (entry.removedLines == 0)
                continue;
            ++recorded;
            stages.push_back(readFile(log));
            // The proxy goes on writing: its lines must stay at the end through every undo.
            if (random() % 2 == 0) {
                const std::string more = line(random, 1000 + d) + "\r\n";
                writeFile(log, readFile(log) + more);
                for (std::string& stage : stages)
                    stage += more;
            }
        }
        ASSERT_EQ(journal.history(log).size(), static_cast<std::size_t>(recorded));
        for (int u = recorded; u > 0; --u) {
            const UndoneDeletion undone = journal.undo(log);
            EXPECT_EQ(undone.restoredLines, undone.entry.removedLines);
            ASSERT_EQ(readFile(log), stages[static_cast<std::size_t>(u - 1)])
                << "round " << round << " undo " << u;
        }
        EXPECT_NE(undoError(journal, log).find("There is no recorded deletion to undo."),
                  std::string::npos);
    }
}

TEST(UndoJournal, RefusesWhenTheLogChangedOtherThanByAppendingAndChangesNothing)
{
    std::mt19937 random(7);
    struct Case
    {
        const char* name;
        std::function<std::string(std::string)> change;
    };
    const std::vector<Case> cases{
        {"a byte in the middle",
         [](std::string s) {
             s[s.size() / 2] ^= 1;
             return s;
         }},
        {"a line end made LF",
         [](std::string s) {
             s.erase(s.find("\r\n"), 1);
             return s + "x";
         }},
        {"shortened", [](std::string s) { return s.substr(0, s.size() - 3); }},
        {"a line inserted at the top", [](std::string s) { return "new line\r\n" + s; }},
    };
    for (const Case& c : cases) {
        TempFolder dir;
        const UndoJournal journal(dir / "undo");
        const std::string log = dir / "log1.txt";
        writeFile(log, randomLog(random, 40) + "\r\n");
        deleteRandomLines(journal, log, random, 30);
        const std::string changed = c.change(readFile(log));
        writeFile(log, changed);
        const std::string error = undoError(journal, log);
        EXPECT_NE(error.find("changed since the deletion"), std::string::npos) << c.name << error;
        EXPECT_EQ(readFile(log), changed) << c.name;
        EXPECT_EQ(journal.history(log).size(), 1u) << c.name;
    }
}

TEST(UndoJournal, KeepsTheLastDeletionsOfEachLogWithinItsSizeAndRefusesWhatCannotBeRecorded)
{
    std::mt19937 random(99);
    TempFolder dir;
    const std::string busy = dir / "log1.txt";
    const std::string quiet = dir / "log2.txt";
    writeFile(busy, randomLog(random, 400) + "\r\n");
    writeFile(quiet, randomLog(random, 400) + "\r\n");
    // Room for about 30 small deletions.
    const UndoJournal journal(dir / "undo", 30 * 700);
    for (int i = 0; i < 5; ++i)
        ASSERT_GT(deleteRandomLines(journal, quiet, random, 1).removedLines, 0u);
    std::vector<std::uint64_t> sequences;
    for (int i = 0; i < 40; ++i) {
        const JournalEntry entry = deleteRandomLines(journal, busy, random, 1);
        if (entry.removedLines > 0)
            sequences.push_back(entry.sequence);
        ASSERT_LE(journal.usedBytes(), journal.sizeLimit());
    }
    const std::vector<JournalEntry> kept = journal.history(busy);
    ASSERT_GE(kept.size(), UndoJournal::KeptPerLog);
    // The newest, newest first, with no gap.
    for (std::size_t i = 0; i < kept.size(); ++i)
        EXPECT_EQ(kept[i].sequence, sequences[sequences.size() - 1 - i]);
    // The quiet log's few deletions outlive the busy log's older ones.
    EXPECT_EQ(journal.history(quiet).size(), 5u);

    // A deletion that the journal cannot hold, or that it cannot record at all, does not happen.
    const std::string before = readFile(busy);
    const UndoJournal tiny(dir / "undo", 100);
    std::string error;
    try {
        deleteRandomLines(tiny, busy, random, 50);
    } catch (const QeltError& e) {
        error = e.what();
    }
    EXPECT_NE(error.find("undo journal cannot be written"), std::string::npos) << error;
    writeFile(dir / "not-a-folder", "x");
    const UndoJournal blocked(dir / "not-a-folder/undo");
    EXPECT_THROW(deleteRandomLines(blocked, busy, random, 50), QeltError);
    EXPECT_EQ(readFile(busy), before);
}

TEST(UndoJournal, AFailedRewriteLeavesNoRecordAndARecordOfADeletionThatNeverLandedIsSkipped)
{
    std::mt19937 random(3);
    TempFolder dir;
    const UndoJournal journal(dir / "undo");
    const std::string log = dir / "log1.txt";
    writeFile(log, randomLog(random, 30) + "\r\n");
    const std::string original = rewrittenWhole(dir, readFile(log));
    deleteRandomLines(journal, log, random, 20);
    const std::string afterFirst = readFile(log);

    // The log changes between the read and the rewrite: the deletion fails, nothing is recorded.
    {
        const LogFile file(log);
        const LogSnapshot snapshot = TakeLogSnapshot(file);
        const KeptText kept = randomKept(random, file.text(), 50);
        std::string changed = afterFirst;
        changed[5] ^= 1;
        writeFile(log, changed);
        EXPECT_THROW(CommitDeletion(journal, file, snapshot, file.text(), kept, {"bob", "", {}}),
                     QeltError);
        writeFile(log, afterFirst);
    }
    EXPECT_EQ(journal.history(log).size(), 1u);

    // A deletion recorded but whose new log never replaced the old one (a crash between the two):
    // the old file is back, the very same file as the deletion read.
    const std::string oldFile = dir / "old-inode";
    ASSERT_EQ(::link(log.c_str(), oldFile.c_str()), 0);
    deleteRandomLines(journal, log, random, 50);
    ASSERT_EQ(::rename(oldFile.c_str(), log.c_str()), 0);
    EXPECT_EQ(journal.history(log).size(), 2u);

    const UndoneDeletion undone = journal.undo(log);
    EXPECT_EQ(undone.entry.subject.user, "ann");
    EXPECT_EQ(readFile(log), original);
    EXPECT_TRUE(journal.history(log).empty());
    EXPECT_EQ(journal.usedBytes(), 0u);
}

TEST(UndoJournal, EntriesOfTheFirstFormAreUndoneAndAnUndoWhoseRecordCameBackIsNotRepeated)
{
    std::mt19937 random(11);
    TempFolder dir;
    const UndoJournal journal(dir / "undo");
    const std::string log = dir / "log1.txt";
    std::string text;
    for (int i = 0; i < 300; ++i)
        text += line(random, i) + (random() % 5 == 0 ? "\n" : "\r\n");
    writeFile(log, text);
    const std::string before = rewrittenWhole(dir, text);

    // An entry of the first form undoes, and its hash of the text before is checked.
    ASSERT_GT(deleteRandomLines(journal, log, random, 40).removedLines, 0u);
    const std::string afterDeletion = readFile(log);
    const std::string entryPath = journal.history(log).at(0).file;
    const std::string entry = readFile(entryPath);
    std::string wrongHash = before;
    wrongHash[wrongHash.size() / 2] ^= 1;
    writeFile(entryPath, asFirstVersion(entry, wrongHash));
    EXPECT_NE(undoError(journal, log).find("does not give back the log"), std::string::npos);
    EXPECT_EQ(readFile(log), afterDeletion);
    writeFile(entryPath, asFirstVersion(entry, before));
    const JournalEntry first = journal.history(log).at(0);
    EXPECT_EQ(first.removedBytes, before.size() - afterDeletion.size());
    EXPECT_EQ(journal.undo(log).restoredLines, first.removedLines);
    EXPECT_EQ(readFile(log), before);

    // An undo that stopped before it could drop its record: that record is dropped, the log
    // stays as it is, and the deletion before it is the next to undo.
    for (int d = 0; d < 2; ++d)
        ASSERT_GT(deleteRandomLines(journal, log, random, 30).removedLines, 0u);
    const std::string latest = journal.history(log).at(0).file;
    const std::string record = readFile(latest);
    journal.undo(log);
    const std::string afterUndo = readFile(log);
    writeFile(latest, record);
    journal.undo(log);
    EXPECT_EQ(readFile(log), before);
    EXPECT_TRUE(journal.history(log).empty());
    EXPECT_NE(afterUndo, before);
}
