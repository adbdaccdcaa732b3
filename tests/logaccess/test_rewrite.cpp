#include "common/QeltError.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogRewrite.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace qelt;
namespace fs = std::filesystem;

namespace {

class TempFolder
{
public:
    TempFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "qelt-rewrite-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(m_path, ignored);
    }
    std::string file(const std::string& name) const { return (m_path / name).string(); }
    const fs::path& path() const { return m_path; }
    std::vector<std::string> names() const
    {
        std::vector<std::string> all;
        for (const auto& entry : fs::directory_iterator(m_path))
            all.push_back(entry.path().filename().string());
        std::sort(all.begin(), all.end());
        return all;
    }

private:
    fs::path m_path;
};

void writeFile(const std::string& path, const std::string& bytes,
               std::ios::openmode mode = std::ios::trunc)
{
    std::ofstream out(path, std::ios::binary | std::ios::out | mode);
    out << bytes;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<TextRange> everything(std::string_view text)
{
    if (text.empty())
        return {};
    return {{0, text.size()}};
}

// Reads the log, lets `meanwhile` act as another program would, then writes back what `keep`
// chooses of the text read.
void rewrite(const std::string& path, const std::function<void()>& meanwhile,
             const std::function<std::vector<TextRange>(std::string_view)>& keep = everything)
{
    const LogFile file(path);
    const LogSnapshot snapshot = TakeLogSnapshot(file);
    const auto kept = keep(file.text());
    if (meanwhile)
        meanwhile();
    RewriteLogFile(file.path(), snapshot, file.text(), kept);
}

// The runs of whole lines (reading rule, line ends included) that do not contain `word`.
std::vector<TextRange> linesWithout(std::string_view text, std::string_view word)
{
    std::vector<TextRange> runs;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = at;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n')
            ++end;
        const bool dropped = text.substr(at, end - at).find(word) != std::string_view::npos;
        if (end < text.size())
            end += text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1;
        if (!dropped) {
            if (!runs.empty() && runs.back().end == at)
                runs.back().end = end;
            else
                runs.push_back({at, end});
        }
        at = end;
    }
    return runs;
}

std::function<std::vector<TextRange>(std::string_view)> removeNode(const std::string& user)
{
    return [user](std::string_view text) { return linesWithout(text, user); };
}

} // namespace

TEST(RewriteLogFile, EndsEveryKeptLineWithCrLfAndKeepsTheRestAsItStands)
{
    struct Case
    {
        std::string before;
        std::string after;
    };
    const std::vector<Case> cases{
        {"", ""},
        {"a\r\nb\r\n", "a\r\nb\r\n"},
        // A last line without its line end may still be being written: it stays as it is.
        {"a\nb\rc\r\nd", "a\r\nb\r\nc\r\nd"},
        {"\r\r\n\n", "\r\n\r\n\r\n"},
        {"\r\r\r", "\r\n\r\n\r\n"},
        {"\rb\r\n", "\r\nb\r\n"},
        {"no line end", "no line end"},
        // Everything from the first NUL on is written back as it stands, and the line that the
        // NUL cut short runs straight into it.
        {std::string("a\nb\0c\nd\r", 9), std::string("a\r\nb\0c\nd\r", 10)},
        {std::string("\0a\r\n", 4), std::string("\0a\r\n", 4)},
        {std::string("a\r\n\0\0", 5), std::string("a\r\n\0\0", 5)},
        {"x\xff\x80\x01y\n", "x\xff\x80\x01y\r\n"},
    };
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    for (const auto& c : cases) {
        writeFile(path, c.before);
        rewrite(path, nullptr);
        EXPECT_EQ(readFile(path), c.after) << testing::PrintToString(c.before);
    }
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"log1.txt"}));
}

TEST(RewriteLogFile, WritesTheKeptLinesOfManySmallAndLargeRuns)
{
    // Several buffers full, short and long runs, lines longer than a disk block, and lone line
    // ends among them.
    std::string before;
    std::string expected;
    for (int i = 0; i < 6000; ++i) {
        const bool big = i % 5 == 1;
        // Dense removals first, then runs of megabytes between them.
        const bool removed = i % 3 == 0 && (i < 3000 || i % 600 == 0);
        const std::string body = (removed ? "ann " : "bob ") + std::to_string(i) +
                                 std::string(big ? 17000 : i * 37 % 700, 'x');
        before += body + (i % 1000 == 999 ? "\n" : "\r\n");
        if (!removed)
            expected += body + "\r\n";
    }
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    writeFile(path, before);
    rewrite(path, nullptr, removeNode("ann"));
    EXPECT_TRUE(readFile(path) == expected);
}

TEST(RewriteLogFile, CarriesOverWhatAnotherProgramAppended)
{
    struct Case
    {
        const char* name;
        std::string before;
        std::string appended;
        std::string after; // after removing the lines with "ann"
    };
    const std::vector<Case> cases{
        {"whole lines", "ann 1\r\nbob 2\r\n", "ann 3\r\n", "bob 2\r\nann 3\r\n"},
        {"appended bytes stay as they are", "bob\n", "x\ny", "bob\r\nx\ny"},
        {"an unfinished last line is completed, even when it matched", "bob\r\nan", "n 2\r\n",
         "bob\r\nann 2\r\n"},
        {"an unfinished last line stays as it is, also when nothing follows", "bob\r\nann", "",
         "bob\r\nann"},
        {"an unfinished kept line is completed", "ann 1\r\nbob", " 2\r\n", "bob 2\r\n"},
        {"a CR at the end and the LF after it are one line end", "bob\r", "\nann 2\r\n",
         "bob\r\nann 2\r\n"},
        {"what follows a NUL stays, and so do the appended bytes", std::string("bob\r\n\0\0", 7),
         "bob 2\r\n", std::string("bob\r\n\0\0bob 2\r\n", 14)},
        {"the line a NUL cut short goes when removed", std::string("bob 1\nann 2\0x\r\n", 15), "",
         std::string("bob 1\r\n\0x\r\n", 11)},
        {"a kept line cut short runs into the bytes after the NUL",
         std::string("ann 1\nbob 2\0x\r\nann 3\r\n", 22), "",
         std::string("bob 2\0x\r\nann 3\r\n", 16)},
    };
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    for (const auto& c : cases) {
        writeFile(path, c.before);
        rewrite(
            path, [&] { writeFile(path, c.appended, std::ios::app); }, removeNode("ann"));
        EXPECT_EQ(readFile(path), c.after) << c.name;
    }
}

TEST(RewriteLogFile, RefusesALogChangedInAnyOtherWay)
{
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    const std::string before = "ann 1\r\nbob 2\r\n" + std::string(100000, 'z') + "\r\nbob 3\r\n";
    struct Case
    {
        const char* name;
        std::function<void()> change;
        bool exists;
    };
    const std::vector<Case> cases{
        {"rewritten, same size",
         [&] {
             std::string other = before;
             other[other.size() - 3] = '4';
             writeFile(path, other);
             const timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
             ::utimensat(AT_FDCWD, path.c_str(), times, 0);
         },
         true},
        {"rewritten, same size and time",
         [&] {
             struct stat st
             {};
             ::stat(path.c_str(), &st);
             std::string other = before;
             other[other.size() - 3] = '4';
             writeFile(path, other);
             const timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
             ::utimensat(AT_FDCWD, path.c_str(), times, 0);
         },
         true},
        {"shortened", [&] { writeFile(path, "ann 1\r\n"); }, true},
        {"rewritten longer", [&] { writeFile(path, "y" + before + before); }, true},
        {"replaced",
         [&] {
             writeFile(path + ".new", before);
             fs::rename(path + ".new", path);
         },
         true},
        {"deleted", [&] { fs::remove(path); }, false},
    };
    for (const auto& c : cases) {
        writeFile(path, before);
        std::string changed;
        try {
            rewrite(
                path,
                [&] {
                    c.change();
                    changed = c.exists ? readFile(path) : "";
                },
                removeNode("ann"));
            ADD_FAILURE() << c.name << ": no error";
        } catch (const QeltError& e) {
            const std::string message = e.what();
            const std::string first = "Cannot create file " + path + "\n";
            EXPECT_EQ(message.substr(0, first.size()), first) << c.name;
            EXPECT_GT(message.size(), first.size()) << c.name;
        }
        EXPECT_EQ(fs::exists(path), c.exists) << c.name;
        if (c.exists) {
            EXPECT_TRUE(readFile(path) == changed) << c.name;
        }
        EXPECT_EQ(folder.names().size(), c.exists ? 1u : 0u) << c.name;
    }
}

TEST(RewriteLogFile, WritesRunsAsTheyAreFoundOrNothingWhenAbandoned)
{
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    const std::string before = "ann 1\r\nbob 2\nann 3\r\nbob 4";
    for (const bool finish : {false, true}) {
        writeFile(path, before);
        const LogFile file(path);
        const bool written = RewriteLogFileFrom(
            path, TakeLogSnapshot(file), file.text(), [&](const KeptRangeSink& sink) {
                const std::vector<TextRange> kept = linesWithout(file.text(), "ann");
                EXPECT_EQ(kept.size(), 2u);
                for (const TextRange& range : kept)
                    sink(range);
                return finish;
            });
        EXPECT_EQ(written, finish);
        EXPECT_EQ(readFile(path), finish ? "bob 2\r\nbob 4" : before);
        EXPECT_EQ(folder.names(), (std::vector<std::string>{"log1.txt"}));
    }
}

TEST(RewriteLogFile, AWriteThatFailsHalfWayLeavesTheLogWhole)
{
    // A limit on the size of files we write fails the writes half way, as a full disk would.
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    std::string before;
    for (int i = 0; i < 30000; ++i)
        before += (i % 7 == 0 ? "ann " : "bob ") + std::to_string(i) + " [x]\r\n";
    writeFile(path, before);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 100 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    try {
        rewrite(path, nullptr, removeNode("ann"));
    } catch (const QeltError& e) {
        message = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);
    EXPECT_EQ(message, "Cannot create file " + path + "\n" + std::strerror(EFBIG));
    EXPECT_TRUE(readFile(path) == before);
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"log1.txt"}));
}

TEST(RewriteLogFile, CarriesOverLinesAppendedWhileItWrites)
{
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    writeFile(path, "ann 1\r\nbob 2\r\nbob 3");
    const LogFile file(path);
    RewriteLogFileFrom(path, TakeLogSnapshot(file), file.text(), [&](const KeptRangeSink& sink) {
        // After the rewrite's first look at the log, before the last line is written.
        writeFile(path, " more\r\nann 4\r\n", std::ios::app);
        for (const TextRange& range : linesWithout(file.text(), "ann"))
            sink(range);
        return true;
    });
    EXPECT_EQ(readFile(path), "bob 2\r\nbob 3 more\r\nann 4\r\n");
}

TEST(RewriteLogFile, ALinkedLogIsRewrittenWhereItLies)
{
    TempFolder folder;
    fs::create_directory(folder.path() / "real");
    const std::string real = folder.file("real/log1.txt");
    const std::string link = folder.file("log1.txt");
    writeFile(real, "ann 1\r\nbob 2\r\n");
    fs::create_symlink(real, link);
    rewrite(link, nullptr, removeNode("ann"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(real), "bob 2\r\n");
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"log1.txt", "real"}));
}

TEST(RewriteLogFile, AFolderThatCannotBeWrittenLeavesTheLogWhole)
{
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    const std::string before = "ann 1\nbob 2\n";
    writeFile(path, before);
    // root writes into a folder without write permission; an immutable folder stops root too.
    const std::string dir = folder.path().string();
    ::chmod(dir.c_str(), 0555);
    const bool immutable =
        ::geteuid() == 0 && std::system(("chattr +i '" + dir + "' 2>/dev/null").c_str()) == 0;
    if (::geteuid() == 0 && !immutable)
        GTEST_SKIP() << "cannot make a folder unwritable for root here";
    // Made writable again however the test ends, so that the folder can be removed.
    struct Unlock
    {
        std::string dir;
        bool immutable;
        ~Unlock()
        {
            if (immutable) [[maybe_unused]]
                const int status = std::system(("chattr -i '" + dir + "'").c_str());
        }
    } unlock{dir, immutable};
    try {
        rewrite(path, nullptr, removeNode("ann"));
        ADD_FAILURE() << "no error";
    } catch (const QeltError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot create file " + path + "\n", 0), 0u)
            << e.what();
    }
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"log1.txt"}));
}

TEST(LineEnds, ScansAgreeWithAByteLoop)
{
    std::mt19937 random(7);
    const char bytes[] = {'a', '\r', '\n', 'b'};
    for (int round = 0; round < 2000; ++round) {
        // Long texts cross the counters' flush every 4080 bytes; most are mostly clean.
        const std::size_t size = round % 50 == 0 ? 9000 + random() % 100 : random() % 70;
        std::string text;
        for (std::size_t i = 0; i < size; ++i)
            text += random() % 4 == 0 ? bytes[random() % 4] : (i % 7 == 0 ? '\r' : 'x');
        if (round % 2 == 0) // clean line ends only, except perhaps one
            text = std::regex_replace(text, std::regex("\r\n?|\n"), "\r\n");
        if (round % 4 == 0 && !text.empty())
            text[random() % text.size()] = round % 8 == 0 ? '\n' : '\r';
        std::size_t ends = 0;
        std::size_t lone = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++ends;
                ++i;
            } else if (text[i] == '\r' || text[i] == '\n') {
                ++ends;
                ++lone;
            }
        }
        const LineEndCounts counts = CountLineEnds(text);
        ASSERT_EQ(counts.lineEnds, ends) << round;
        ASSERT_EQ(counts.loneEnds, lone) << round;
        ASSERT_EQ(HasLoneLineEnds(text), lone > 0) << round;
    }
}

// The block writer copies clean runs as they stand and takes lone line ends apart a piece at a
// time; whatever the mix, the file must be the kept lines of the reading rule, each followed by
// CR LF. Line ends are put right at and around the writer's piece boundaries on purpose.
TEST(RewriteLogFile, RandomLogsGiveTheKeptLinesEachWithCrLf)
{
    std::mt19937 random(4242);
    const std::vector<std::string> ends{"\r\n", "\r\n", "\r\n", "\n", "\r", "\r\r\n", "\n\r"};
    constexpr std::size_t Piece = 256 * 1024;
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        std::string text;
        const std::size_t size = random() % 3 == 0 ? random() % 200 : Piece * (1 + random() % 5);
        while (text.size() < size) {
            text += (random() % 2 ? "ann " : "bob ") + std::string(random() % 300, 'x');
            text += random() % 10 == 0 ? ends[random() % ends.size()] : "\r\n";
        }
        // Lone ends and CR LF pairs split across the boundaries.
        for (std::size_t at = Piece; at + 2 < text.size(); at += Piece) {
            const std::size_t spot = at - 1 + random() % 3;
            text[spot] = random() % 2 ? '\r' : '\n';
            if (random() % 2)
                text[spot + 1] = '\n';
        }
        if (random() % 2 && !text.empty())
            text.pop_back(); // a last line without its end, or a lone CR at the end
        std::string afterNul;
        if (round % 4 == 1 && !text.empty()) {
            const std::size_t at = random() % text.size();
            afterNul = std::string(1, '\0') + text.substr(at) + "ann\r\n";
            text.resize(at);
        }
        writeFile(path, text + afterNul);

        std::vector<std::string> lines;
        bool open = false;
        {
            std::string current;
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (text[i] == '\r' || text[i] == '\n') {
                    lines.push_back(current);
                    current.clear();
                    open = false;
                    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                        ++i;
                } else {
                    current += text[i];
                    open = true;
                }
            }
            if (open)
                lines.push_back(current);
        }
        // A last line without its line end: cut short by a NUL it may go, else it stays; kept,
        // it is written as it stands.
        const bool byNode = round % 3 != 0;
        std::string expected;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const bool last = open && i + 1 == lines.size();
            const bool removed =
                byNode && lines[i].find("ann") != std::string::npos && !(last && afterNul.empty());
            if (!removed)
                expected += lines[i] + (last ? "" : "\r\n");
        }
        expected += afterNul;
        rewrite(path, nullptr, byNode ? removeNode("ann") : everything);
        ASSERT_TRUE(readFile(path) == expected) << (byNode ? "node" : "all") << " " << size;
    }
}

// A rename needs only the folder's permission; the log's own must hold all the same. root may
// write any file, so the check runs as an ordinary user in a child process.
TEST(RewriteLogFile, ALogWeMayNotWriteIsLeftWhole)
{
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    const std::string before = "ann 1\r\nbob 2\r\n";
    writeFile(path, before);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(folder.path().c_str(), 0777), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        int status = 1;
        try {
            rewrite(path, nullptr, removeNode("ann"));
        } catch (const QeltError& e) {
            const std::string expected = "Cannot create file " + path + "\n";
            status = std::string(e.what()).rfind(expected, 0) == 0 ? 0 : 2;
        }
        ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 3) << "cannot become an ordinary user here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: rewritten, 2: another message";
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"log1.txt"}));
}

// A pipe or a device given as the log is read like a file but never replaced: the rewrite would
// put a plain file where it stood. Neither may the open wait for a writer of the pipe.
TEST(RewriteLogFile, APipeIsNotReplaced)
{
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
    const auto identity = CurrentFileIdentity(path);
    ASSERT_TRUE(identity.has_value());
    try {
        RewriteLogFile(path, TakeLogSnapshot(*identity, ""), "", {});
        ADD_FAILURE() << "no error";
    } catch (const QeltError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot create file " + path + "\n", 0), 0u)
            << e.what();
    }
    struct stat st
    {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"log1.txt"}));
}

namespace {

// Runs `body` in a child process and returns its pid; the child ends when body returns.
pid_t inChild(const std::function<void()>& body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        body();
        ::_exit(0);
    }
    return child;
}

void appendInOneGo(const std::string& path, const std::string& bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    [[maybe_unused]] const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    ::close(fd);
}

} // namespace

// A process that holds the log open for writing would go on writing into the replaced file, and
// its lines would be lost: the rewrite is refused while it does. Writers that open, append and
// close are no hindrance; their lines are carried over.
TEST(RewriteLogFile, NeverWritesUnderAProcessThatHoldsTheLogOpenForWriting)
{
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    const std::string before = "ann 1\r\nbob 2\r\n";
    writeFile(path, before);
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t writer = inChild([&] {
        ::close(release[1]);
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
        [[maybe_unused]] ssize_t io = ::write(ready[1], "x", 1);
        char byte = 0;
        io = ::read(release[0], &byte, 1);
        io = ::write(fd, "bob 3\r\n", 7);
        ::close(fd);
    });
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    const std::string program = readFile("/proc/" + std::to_string(writer) + "/comm");
    try {
        rewrite(path, nullptr, removeNode("ann"));
        ADD_FAILURE() << "no error";
    } catch (const QeltError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot create file " + path + "\n" + program.substr(0, program.find('\n')) +
                      " (process " + std::to_string(writer) +
                      ") has the log open for writing. It was left as it is.");
    }
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"log1.txt"}));

    // The writer appends its line and goes.
    ::close(release[1]);
    ASSERT_EQ(::waitpid(writer, nullptr, 0), writer);
    rewrite(path, nullptr, removeNode("ann"));
    EXPECT_EQ(readFile(path), "bob 2\r\nbob 3\r\n");
    // One that opens, appends and closes between the reading and the rewriting.
    rewrite(
        path,
        [&] {
            const pid_t appender = inChild([&] { appendInOneGo(path, "ann 4\r\ncarl 5\r\n"); });
            ::waitpid(appender, nullptr, 0);
        },
        removeNode("bob"));
    EXPECT_EQ(readFile(path), "ann 4\r\ncarl 5\r\n");
    ::close(ready[0]);
    ::close(ready[1]);
    ::close(release[0]);
}

// A writer that opens, appends a line and closes, over and over, while rewrites run one after
// another: every line arrives once, whole and in its place, also those written in two parts.
TEST(RewriteLogFile, LinesAppendedWhileItRunsStayWholeAndInOrder)
{
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    std::string before;
    for (int i = 0; i < 20000; ++i)
        before += (i % 3 == 0 ? "ann " : "bob ") + std::to_string(i) + " [" + std::string(40, 'x') +
                  "]\r\n";
    writeFile(path, before);
    constexpr int Count = 1500;
    // The writer waits for a finished rewrite every Count / 8 lines, so that rewrites and appends
    // overlap however slowly a rewrite runs (under the sanitizers, say).
    int rewritten[2];
    ASSERT_EQ(::pipe(rewritten), 0);
    const pid_t writer = inChild([&] {
        ::close(rewritten[1]); // the pipe ends when the test does
        for (int n = 0; n < Count; ++n) {
            char token;
            if (n > 0 && n % (Count / 8) == 0 && ::read(rewritten[0], &token, 1) != 1)
                std::_Exit(1);
            const std::string line =
                "carl " + std::to_string(n) + " [" + std::string(60, 'y') + "]\r\n";
            const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
            if (n % 3 == 0) {
                // The line in two writes, the proxy's buffer having filled in between.
                [[maybe_unused]] ssize_t io = ::write(fd, line.data(), 20);
                ::usleep(100);
                io = ::write(fd, line.data() + 20, line.size() - 20);
            } else {
                [[maybe_unused]] const ssize_t io = ::write(fd, line.data(), line.size());
            }
            ::close(fd);
            ::usleep(400);
        }
    });
    int rewrites = 0;
    int status = 0;
    while (::waitpid(writer, &status, WNOHANG) == 0) {
        rewrite(path, nullptr, removeNode(rewrites % 2 ? "ann" : "nobody"));
        ++rewrites;
        ASSERT_EQ(::write(rewritten[1], "r", 1), 1);
    }
    ::close(rewritten[0]);
    ::close(rewritten[1]);
    EXPECT_EQ(status, 0);
    EXPECT_GT(rewrites, 3);
    int next = 0;
    const std::string after = readFile(path);
    for (std::string_view line : Lines(after)) {
        if (line.substr(0, 5) != "carl ")
            continue;
        const std::string expected =
            "carl " + std::to_string(next) + " [" + std::string(60, 'y') + "]";
        ASSERT_EQ(line, expected);
        ++next;
    }
    EXPECT_EQ(next, Count);
}

// The new log keeps the old one's mode, owner, group, ACL and other extended attributes exactly:
// an ACL lets another user append, while the group's own entry stays read-only.
TEST(RewriteLogFile, KeepsModeOwnerAclAndExtendedAttributes)
{
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    writeFile(path, "ann 1\r\nbob 2\r\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(path.c_str(), 4321, 8765), 0);
    }
    // The ACL as the kernel stores it: a version, then tag, permissions and id of each entry.
    std::string acl;
    const auto put32 = [&acl](std::uint32_t v) {
        acl.append(reinterpret_cast<const char*>(&v), 4);
    };
    const auto entry = [&](std::uint16_t tag, std::uint16_t perm, std::uint32_t id) {
        acl.append(reinterpret_cast<const char*>(&tag), 2);
        acl.append(reinterpret_cast<const char*>(&perm), 2);
        put32(id);
    };
    put32(2);
    entry(0x01, 6, ~0u);  // owner rw-
    entry(0x02, 6, 4322); // user 4322 rw-
    entry(0x04, 4, ~0u);  // owning group r--
    entry(0x10, 6, ~0u);  // mask rw-
    entry(0x20, 0, ~0u);  // others ---
    const bool acls =
        ::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
    const bool userAttributes = ::setxattr(path.c_str(), "user.origin", "proxy", 5, 0) == 0;
    if (!acls && !userAttributes)
        GTEST_SKIP() << "no extended attributes on this file system";
    struct stat before
    {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    const auto attributes = [&path] {
        std::vector<std::pair<std::string, std::string>> all;
        char names[4096];
        const ssize_t size = ::listxattr(path.c_str(), names, sizeof names);
        for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
            char value[4096];
            const ssize_t length = ::getxattr(path.c_str(), names + at, value, sizeof value);
            all.emplace_back(names + at, std::string(value, static_cast<std::size_t>(
                                                                std::max<ssize_t>(length, 0))));
        }
        std::sort(all.begin(), all.end());
        return all;
    };
    const auto attributesBefore = attributes();

    rewrite(path, nullptr, removeNode("ann"));
    struct stat after
    {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(readFile(path), "bob 2\r\n");
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(attributes(), attributesBefore);
    if (acls) {
        EXPECT_EQ(attributes().size(), userAttributes ? 2u : 1u);
    }
}

// The text need not be the log's own: a content assembled in memory (an undo putting lines back)
// takes the place of the lines, and the bytes from the first NUL on, a last line still open and
// what was appended meanwhile are kept all the same.
TEST(RewriteLogFile, AContentAssembledInMemoryReplacesTheLinesAndKeepsTheRest)
{
    struct Case
    {
        const char* name;
        std::string log;
        std::string content;
        std::string appended;
        std::string after;
    };
    const std::vector<Case> cases{
        {"whole lines", "bob 2\r\n", "ann 1\nbob 2\r\n", "carl 3\r\n",
         "ann 1\r\nbob 2\r\ncarl 3\r\n"},
        {"after a NUL", std::string("bob 2\r\n\0x", 9), "ann 1\r\nbob 2\r\n", "",
         std::string("ann 1\r\nbob 2\r\n\0x", 16)},
        {"a last line still open, ending the content too", "bob 2\r\nca", "ann 1\r\nbob 2\r\nca",
         "rl 3\r\n", "ann 1\r\nbob 2\r\ncarl 3\r\n"},
        {"a last line still open, not in the content", "bob 2\r\nca", "ann 1\r\n", "rl 3\r\n",
         "ann 1\r\ncarl 3\r\n"},
    };
    TempFolder folder;
    const std::string path = folder.file("log1.txt");
    for (const Case& c : cases) {
        writeFile(path, c.log);
        const LogFile file(path);
        const LogSnapshot snapshot = TakeLogSnapshot(file);
        writeFile(path, c.appended, std::ios::app);
        RewriteLogFile(path, snapshot, c.content, everything(c.content));
        EXPECT_EQ(readFile(path), c.after) << c.name;
    }
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"log1.txt"}));
}
