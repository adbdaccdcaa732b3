#include "common/OpenWriters.h"

#include "common/FileDescriptor.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace qelt {

namespace {

bool allDigits(const char* name)
{
    if (*name == '\0')
        return false;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

// The first bytes of a small file under /proc, or empty.
std::string readSmall(int dirFd, const char* name)
{
    FileDescriptor fd(::openat(dirFd, name, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return {};
    char buffer[512];
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

// Whether the descriptor's open flags (octal, "flags:\t0100001") allow writing.
bool openForWriting(int fdinfoDir, const char* fdName)
{
    const std::string info = readSmall(fdinfoDir, fdName);
    const auto at = info.find("flags:");
    if (at == std::string::npos)
        return false;
    const long flags = std::strtol(info.c_str() + at + 6, nullptr, 8);
    return (flags & O_ACCMODE) != O_RDONLY;
}

class Directory
{
public:
    explicit Directory(int fd) : m_dir(fd >= 0 ? ::fdopendir(fd) : nullptr)
    {
        if (fd >= 0 && m_dir == nullptr)
            ::close(fd);
    }
    ~Directory()
    {
        if (m_dir)
            ::closedir(m_dir);
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    DIR* get() const { return m_dir; }

private:
    DIR* m_dir;
};

} // namespace

std::optional<OpenWriter> FindOpenWriter(std::uint64_t device, std::uint64_t inode)
{
    Directory proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc.get())
        return std::nullopt;
    const int procFd = ::dirfd(proc.get());
    const std::string self = std::to_string(::getpid());
    while (const dirent* process = ::readdir(proc.get())) {
        // Our own descriptors are the rewrite's: the log read, the new log being written.
        if (!allDigits(process->d_name) || self == process->d_name)
            continue;
        FileDescriptor processDir(
            ::openat(procFd, process->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (processDir.get() < 0)
            continue; // gone meanwhile
        Directory fds(::openat(processDir.get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fds.get())
            continue; // not ours to look into
        FileDescriptor fdinfo(
            ::openat(processDir.get(), "fdinfo", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        while (const dirent* entry = ::readdir(fds.get())) {
            if (!allDigits(entry->d_name))
                continue;
            struct stat st
            {};
            // The link leads to the open file itself, also when its name is gone.
            if (::fstatat(::dirfd(fds.get()), entry->d_name, &st, 0) != 0)
                continue;
            if (static_cast<std::uint64_t>(st.st_dev) != device ||
                static_cast<std::uint64_t>(st.st_ino) != inode)
                continue;
            if (!openForWriting(fdinfo.get(), entry->d_name))
                continue;
            OpenWriter writer;
            writer.pid = static_cast<pid_t>(std::atol(process->d_name));
            writer.program = readSmall(processDir.get(), "comm");
            while (!writer.program.empty() &&
                   (writer.program.back() == '\n' || writer.program.back() == '\0'))
                writer.program.pop_back();
            return writer;
        }
    }
    return std::nullopt;
}

std::optional<OpenWriter> FindLastingWriter(std::uint64_t device, std::uint64_t inode)
{
    // A writer that opens, appends and closes, however often, is missed by one look or another.
    std::optional<OpenWriter> writer = FindOpenWriter(device, inode);
    for (int look = 0; writer && look < 50; ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const std::optional<OpenWriter> again = FindOpenWriter(device, inode);
        if (!again || again->pid != writer->pid)
            return std::nullopt;
    }
    return writer;
}

std::string DescribeWriter(const OpenWriter& writer)
{
    return (writer.program.empty() ? std::string("A program") : writer.program) + " (process " +
           std::to_string(writer.pid) + ") has the log open for writing.";
}

} // namespace qelt
