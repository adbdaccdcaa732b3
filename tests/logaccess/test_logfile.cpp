#include "common/QeltError.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogIndex.h"
#include "logaccess/RecordListing.h"
#include "settings/RunProgram.h"
#include "settings/TempFolder.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

#include <unistd.h>
#include <vector>

using namespace qelt;
using qelt::test::TempFolder;
using qelt::test::writeFile;

namespace {

std::vector<std::string> linesOf(std::string_view text)
{
    std::vector<std::string> out;
    for (std::string_view line : Lines(text))
        out.emplace_back(line);
    return out;
}

std::size_t countLines(std::string_view text)
{
    std::size_t count = 0;
    ForEachLine(text, [&](std::string_view) { ++count; });
    return count;
}

} // namespace

TEST(LineSplitting, ReadingRule)
{
    using V = std::vector<std::string>;
    struct Case
    {
        std::string text;
        V lines;
    };
    const Case cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\rb\nc\r\nd", {"a", "b", "c", "d"}},
        {"a\n\r", {"a", ""}}, // LF then a lone CR: an empty line between them
        {"a\r\r\nb", {"a", "", "b"}},
        {"\n", {""}},
        {"\r\n\r\n", {"", ""}},
        {"\r\r\r", {"", "", ""}}, // only CRs
        {"a\n\nb", {"a", "", "b"}},
        {"\xff\xfe\x80 x\r\n", {"\xff\xfe\x80 x"}},
        // a line longer than the vector step with the terminator at every offset
        {std::string(31, 'x') + "\r\n" + std::string(17, 'y'),
         {std::string(31, 'x'), std::string(17, 'y')}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text));
        EXPECT_EQ(linesOf(c.text), c.lines);
        std::vector<std::string> viaCallback;
        ForEachLine(c.text, [&](std::string_view line) { viaCallback.emplace_back(line); });
        EXPECT_EQ(viaCallback, c.lines);
        EXPECT_EQ(countLines(c.text), c.lines.size());
    }
}

TEST(LineSplitting, FindLineEndAtEveryOffset)
{
    for (std::size_t at = 0; at < 40; ++at) {
        for (const char terminator : {'\r', '\n'}) {
            std::string text(40, 'z');
            text[at] = terminator;
            EXPECT_EQ(FindLineEnd(text.data(), text.data() + text.size()) - text.data(),
                      static_cast<std::ptrdiff_t>(at));
        }
    }
    const std::string none(40, 'z');
    EXPECT_EQ(FindLineEnd(none.data(), none.data() + none.size()), none.data() + none.size());
}

TEST(LogFileReading, ContentNulAndIdentity)
{
    TempFolder dir;
    struct Case
    {
        std::string name, bytes, text;
        std::size_t lines;
    };
    const Case cases[] = {
        {"empty.txt", "", "", 0},
        {"plain.txt", "a\r\nb\r\n", "a\r\nb\r\n", 2},
        {"nul.txt", std::string("a\r\nb\0c\r\nd\r\n", 11), "a\r\nb", 2},
        {"nulfirst.txt", std::string("\0abc", 4), "", 0},
        {"noend.txt", "just one line", "just one line", 1},
        {"crs.txt", std::string(5000, '\r'), std::string(5000, '\r'), 5000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / c.name, c.bytes);
        const LogFile file(dir / c.name);
        EXPECT_EQ(file.bytes(), c.bytes);
        EXPECT_EQ(file.text(), c.text);
        EXPECT_EQ(file.fileSize(), c.bytes.size());
        EXPECT_EQ(countLines(file.text()), c.lines);
        EXPECT_EQ(file.identity().size, c.bytes.size());
        EXPECT_EQ(CurrentFileIdentity(dir / c.name), file.identity());
    }
}

TEST(LogFileReading, MultiMegabyteLineAndMove)
{
    TempFolder dir;
    const std::string big(5 * 1024 * 1024, 'q');
    writeFile(dir / "big.txt", "first\n" + big + "\nlast");
    LogFile file(dir / "big.txt");
    const auto lines = linesOf(file.text());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].size(), big.size());
    EXPECT_EQ(lines[2], "last");

    // A moved-from file gives up its mapping; the new owner's views stay the same bytes.
    const char* data = file.text().data();
    LogFile moved(std::move(file));
    EXPECT_EQ(moved.text().data(), data);
    EXPECT_EQ(moved.text().size(), big.size() + 11);
}

TEST(LogFileReading, IdentityNoticesChange)
{
    TempFolder dir;
    writeFile(dir / "log.txt", "a\r\n");
    const LogFile file(dir / "log.txt");
    writeFile(dir / "log.txt", "a\r\nbb\r\n");
    EXPECT_NE(CurrentFileIdentity(dir / "log.txt"), file.identity());
    EXPECT_EQ(file.text(), "a\r\n"); // what was read stays what was read
    EXPECT_FALSE(CurrentFileIdentity(dir / "missing.txt").has_value());
}

TEST(LogFileReading, NonRegularFileIsReadWhole)
{
    // A pipe cannot be mapped; it is read in one go instead.
    TempFolder dir;
    const std::string fifo = dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Write from a shell in the background: two writers, one after the other, into the pipe.
    const std::string writer = "( printf 'line one\\r\\n'; head -c 200000 /dev/zero | tr '\\000' "
                               "p ) > '" +
                               fifo + "' &";
    ASSERT_EQ(std::system(writer.c_str()), 0);
    const LogFile file(fifo);
    EXPECT_FALSE(file.isMapped());
    const auto lines = linesOf(file.text());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "line one");
    EXPECT_EQ(lines[1].size(), 200000u);
}

// A device is refused at once (reading /dev/zero would never end), and so is a FIFO that no
// program writes into, instead of waiting for ever. Each runs in a child that an alarm ends if
// it waits.
TEST(LogFileReading, DevicesAndIdlePipesAreRefused)
{
    TempFolder dir;
    const std::string fifo = dir / "log1.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/zero", "It is a device, not a log file."},
        {fifo, "No program writes into this pipe."},
    };
    for (const auto& [path, why] : cases) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::alarm(10);
            try {
                const LogFile file(path);
            } catch (const QeltError& e) {
                ::_exit(std::string(e.what()) == "Cannot open file " + path + "\n" + why ? 0 : 2);
            }
            ::_exit(1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << path << ": 1 read, 2 another message, else it waited: " << status;
    }
}

// "-" reads standard input, a pipe here: `zcat log.gz | qeltlog tree -`.
TEST(LogFileReading, StandardInputIsReadWhole)
{
    const std::string log = qelt::test::readFile(QELT_TEST_DATA_DIR "/access-small.txt");
    ASSERT_FALSE(log.empty());
    const auto fromPipe = [&log](const std::function<void()>& read) {
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        ASSERT_EQ(::write(ends[1], log.data(), log.size()), static_cast<ssize_t>(log.size()));
        ::close(ends[1]);
        const int saved = ::dup(STDIN_FILENO);
        ::dup2(ends[0], STDIN_FILENO);
        ::close(ends[0]);
        read();
        ::dup2(saved, STDIN_FILENO);
        ::close(saved);
    };
    fromPipe([&] {
        const LogFile file(StandardInputPath);
        EXPECT_FALSE(file.isMapped());
        EXPECT_EQ(file.bytes(), log);
    });
    qelt::test::ProgramResult piped;
    fromPipe([&] { piped = qelt::test::runProgram(QELTLOG_PATH, {"tree", "-"}); });
    const auto named =
        qelt::test::runProgram(QELTLOG_PATH, {"tree", QELT_TEST_DATA_DIR "/access-small.txt"});
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_FALSE(piped.out.empty());
    EXPECT_EQ(piped.out, named.out);
}

TEST(LogFileReading, UnreadableGivesTheSystemMessage)
{
    TempFolder dir;
    const std::string paths[] = {dir / "missing.txt", dir.path() /* a folder */};
    for (const auto& path : paths) {
        try {
            const LogFile file(path);
            ADD_FAILURE() << "no error for " << path;
        } catch (const QeltError& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot open file " + path);
        }
    }
}

TEST(LogFileReading, ALogCutShortWhileMappedIsReportedNotFatal)
{
    TempFolder dir;
    const std::string path = dir / "log1.txt";
    std::string line = "10.0.0.5 - alice [07/Dec/2026:03:44:43 +0800] \"GET http://a.example/ "
                       "HTTP/1.1\" \"HTTP\"\r\n";
    std::string content;
    while (content.size() < (1u << 20))
        content += line;
    writeFile(path, content);

    auto file = std::make_shared<const LogFile>(path);
    ASSERT_TRUE(file->isMapped());
    EXPECT_FALSE(file->wasCutShort());
    EXPECT_NO_THROW(file->checkNotCutShort());

    // Copy-and-truncate rotation: the file shrinks to a few lines under our mapping.
    ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
    std::size_t nuls = 0;
    for (const char c : file->bytes())
        nuls += c == '\0';
    EXPECT_EQ(nuls, content.size() - 4096); // the vanished part reads as NULs
    EXPECT_EQ(file->text().size(), 4096u);
    EXPECT_TRUE(file->wasCutShort());
    try {
        file->checkNotCutShort();
        FAIL() << "a cut file must be reported";
    } catch (const QeltError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot open file " + path + "\n", 0), 0u)
            << e.what();
    }

    // What is built from the cut file is not taken for the log.
    EXPECT_THROW(BuildLogIndex(file, nullptr), QeltError);
    EXPECT_THROW(ListNodeRecords(file, NodeSearchTexts::ForUser("alice")), QeltError);

    // A file mapped afterwards is whole again.
    const LogFile again(path);
    EXPECT_FALSE(again.wasCutShort());
    EXPECT_EQ(again.bytes(), content.substr(0, 4096));
}
