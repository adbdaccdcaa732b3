// The rewrite under faults: killed at any moment, failing writes and flushes, a file put in the
// log's place at the last moment. The failing system calls come from a preloaded library
// (fault_shim) under qeltlog; the kills hit a rewrite in a child process.
#include "common/QeltError.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogRewrite.h"
#include "settings/RunProgram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace qelt;
using qelt::test::readFile;
using qelt::test::runProgram;
using qelt::test::TempFolder;
using qelt::test::writeFile;

namespace {

std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string logLine(const std::string& user, int n)
{
    return "10.0.0.7 - " + user + " [05/Mar/2024:09:15:00 +0100] \"GET http://h" +
           std::to_string(n % 7) + ".com/" + std::to_string(n) + " HTTP/1.1\" \"HTTP\" 200 1";
}

// A log of `count` lines, every fourth of user ann, and the log without ann's lines.
std::pair<std::string, std::string> logAndWithoutAnn(int count)
{
    std::pair<std::string, std::string> both;
    for (int i = 0; i < count; ++i) {
        const std::string line = logLine(i % 4 == 0 ? "ann" : "bob", i) + "\r\n";
        both.first += line;
        if (i % 4 != 0)
            both.second += line;
    }
    return both;
}

// Reads the log and writes back its lines but ann's, as the deleting commands do.
void removeAnn(const std::string& path)
{
    const LogFile file(path);
    const LogSnapshot snapshot = TakeLogSnapshot(file);
    std::vector<TextRange> kept;
    const std::string_view text = file.text();
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at) + 1;
        if (text.substr(at, end - at).find(" - ann ") == std::string_view::npos)
            kept.push_back({at, end});
        at = end;
    }
    RewriteLogFile(path, snapshot, text, kept);
}

// A process that holds a file open with a shared lock, as a rewrite at work holds its temporary
// file, until it is ended.
pid_t holdLocked(const std::string& path)
{
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
        ::flock(fd, LOCK_SH);
        [[maybe_unused]] const ssize_t sent = ::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    [[maybe_unused]] const ssize_t got = ::read(ready[0], &byte, 1);
    ::close(ready[0]);
    ::close(ready[1]);
    return child;
}

} // namespace

// Killed at any moment, a rewrite leaves the old log or the new one, whole, and a temporary file
// that the next rewrite of the log removes. The temporary file of a rewrite that is still at work
// in another process stays.
TEST(RewriteFaults, AKilledRewriteLeavesTheOldOrTheNewLogAndTheNextRunTidiesUp)
{
    TempFolder folder;
    const std::string dir = folder / "";
    const std::string path = folder / "log1.txt";
    const auto [before, after] = logAndWithoutAnn(60000); // about 5 MB
    writeFile(folder / ".log1.txt.qelt-k1ll3d", "left by a rewrite killed long ago");
    const pid_t holder = holdLocked(folder / ".log1.txt.qelt-atw0rk");
    ASSERT_GT(holder, 0);

    // How long one rewrite takes here, so that the kills fall all over it.
    writeFile(path, before);
    const auto start = std::chrono::steady_clock::now();
    removeAnn(path);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    ASSERT_EQ(readFile(path), after);

    constexpr int Trials = 16;
    int oldLeft = 0;
    int newLeft = 0;
    for (int trial = 0; trial < Trials; ++trial) {
        SCOPED_TRACE(trial);
        writeFile(path, before);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                removeAnn(path);
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        // From the start to past the end; the last two kill a child that is done or nearly.
        const auto delay = trial < Trials - 2 ? took * trial / (Trials - 4) : took * 3 + 50000;
        ::usleep(static_cast<useconds_t>(delay));
        ::kill(child, SIGKILL);
        ASSERT_EQ(::waitpid(child, nullptr, 0), child);
        const std::string left = readFile(path);
        ASSERT_TRUE(left == before || left == after) << left.size();
        ++(left == before ? oldLeft : newLeft);

        removeAnn(path);
        EXPECT_TRUE(readFile(path) == after);
        EXPECT_EQ(namesIn(dir), (std::vector<std::string>{".log1.txt.qelt-atw0rk", "log1.txt"}));
    }
    EXPECT_GT(oldLeft, 0);
    EXPECT_GT(newLeft, 0);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    removeAnn(path);
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"log1.txt"}));
}

// qeltlog delete-node with system calls that fail: before the new log takes the old one's place
// nothing changes (exit 1); after, the log is rewritten and the message says so (exit 3).
TEST(RewriteFaults, FailingCallsUnderQeltlog)
{
    const auto [before, after] = logAndWithoutAnn(3000);
    struct Case
    {
        const char* name;
        std::vector<std::string> environment;
        int status;
        std::string message; // the start of standard error; LOG stands for the log's path
        bool rewritten;
    };
    const std::vector<Case> cases{
        {"a write fails half way",
         {"QELT_FAULT_WRITE_AFTER=65536"},
         1,
         "Cannot create file LOG\n",
         false},
        {"a file is put in the log's place right before the rename",
         {"QELT_FAULT_PLACE_BEFORE_RENAME=INTRUDER"},
         1,
         "Cannot create file LOG\nAnother program put a file in the log's place",
         false},
        {"the disk fails a write handed to it early",
         {"QELT_FAULT_SYNC_RANGE=EIO"},
         1,
         "Cannot create file LOG\n",
         false},
        {"a file system that cannot hand writes to the disk early: the flush does",
         {"QELT_FAULT_SYNC_RANGE=EINVAL"},
         0,
         "",
         true},
        {"a file system that cannot exchange: a plain rename",
         {"QELT_FAULT_NO_EXCHANGE=1"},
         0,
         "",
         true},
        {"the close after the rename fails",
         {"QELT_FAULT_AFTER_RENAME=close"},
         3,
         "The log LOG was rewritten, but",
         true},
        {"the flush after the rename fails",
         {"QELT_FAULT_AFTER_RENAME=fsync"},
         3,
         "The log LOG was rewritten, but",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const std::string path = folder / "log1.txt";
        const std::string intruder = folder / "intruder.txt";
        writeFile(path, before);
        writeFile(intruder, "another program's file\r\n");
        for (std::string setting : c.environment) {
            const auto at = setting.find("INTRUDER");
            if (at != std::string::npos)
                setting.replace(at, 8, intruder);
            const auto eq = setting.find('=');
            ::setenv(setting.substr(0, eq).c_str(), setting.substr(eq + 1).c_str(), 1);
        }
        ::setenv("LD_PRELOAD", QELT_FAULT_SHIM, 1);
        ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0", 1);
        const auto result = runProgram(QELTLOG_PATH, {"delete-node", path, "ann"});
        ::unsetenv("LD_PRELOAD");
        ::unsetenv("ASAN_OPTIONS");
        for (const std::string& setting : c.environment)
            ::unsetenv(setting.substr(0, setting.find('=')).c_str());

        std::string message = c.message;
        if (const auto at = message.find("LOG"); at != std::string::npos)
            message.replace(at, 3, path);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_EQ(result.err.substr(0, message.size()), message);
        if (c.environment[0].rfind("QELT_FAULT_PLACE", 0) == 0) {
            // The file that came in place stays there as it was.
            EXPECT_EQ(readFile(path), "another program's file\r\n");
            EXPECT_EQ(namesIn(folder / ""), (std::vector<std::string>{"log1.txt"}));
        } else {
            EXPECT_TRUE(readFile(path) == (c.rewritten ? after : before));
            EXPECT_EQ(namesIn(folder / ""), (std::vector<std::string>{"intruder.txt", "log1.txt"}));
        }
    }
}
