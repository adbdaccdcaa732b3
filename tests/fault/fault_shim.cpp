// A library to preload into a program under test (LD_PRELOAD) that makes system calls fail the way
// a full disk or a failing device would, steered by the environment:
//   QELT_FAULT_WRITE_AFTER=N        write() to a regular file (not fd 0-2) fails with ENOSPC once N
//   bytes went QELT_FAULT_AFTER_RENAME=close   after the first successful rename, close() of a
//   regular file QELT_FAULT_AFTER_RENAME=fsync   (or fsync()) closes or flushes and then reports
//   EIO QELT_FAULT_PLACE_BEFORE_RENAME=FILE   right before the first rename, FILE is moved to the
//                                   rename's destination, as another program might do
//   QELT_FAULT_NO_EXCHANGE=1        renameat2 cannot exchange (EINVAL), as on some file systems
//   QELT_FAULT_SYNC_RANGE=EIO       sync_file_range() of a regular file fails with EIO, as a
//                                   failing disk would, or with EINVAL, as where it is not
//                                   supported
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<long long> g_written{0};
std::atomic<bool> g_renamed{false};
std::atomic<bool> g_placed{false};

template <class F> F real(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

// A file the program opened itself: standard output and error may be files too, and must go on
// working to tell what happened.
bool regularFile(int fd)
{
    if (fd <= 2)
        return false;
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

bool failAfterRename(const char* call)
{
    const char* what = std::getenv("QELT_FAULT_AFTER_RENAME");
    return what && std::strcmp(what, call) == 0 && g_renamed.load();
}

void placeBeforeRename(const char* destination)
{
    const char* source = std::getenv("QELT_FAULT_PLACE_BEFORE_RENAME");
    if (source && !g_placed.exchange(true)) {
        using Rename = int (*)(const char*, const char*);
        static const Rename renameReal = real<Rename>("rename");
        renameReal(source, destination);
    }
}

} // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t size)
{
    using Write = ssize_t (*)(int, const void*, size_t);
    static const Write writeReal = real<Write>("write");
    if (const char* limit = std::getenv("QELT_FAULT_WRITE_AFTER")) {
        if (regularFile(fd) &&
            g_written.fetch_add(static_cast<long long>(size)) + static_cast<long long>(size) >
                std::atoll(limit)) {
            errno = ENOSPC;
            return -1;
        }
    }
    return writeReal(fd, data, size);
}

int sync_file_range(int fd, off64_t offset, off64_t nbytes, unsigned int flags)
{
    using SyncRange = int (*)(int, off64_t, off64_t, unsigned int);
    static const SyncRange syncRangeReal = real<SyncRange>("sync_file_range");
    if (const char* error = std::getenv("QELT_FAULT_SYNC_RANGE"); error && regularFile(fd)) {
        errno = std::strcmp(error, "EIO") == 0 ? EIO : EINVAL;
        return -1;
    }
    return syncRangeReal(fd, offset, nbytes, flags);
}

int close(int fd)
{
    using Close = int (*)(int);
    static const Close closeReal = real<Close>("close");
    const bool fail = failAfterRename("close") && regularFile(fd);
    const int result = closeReal(fd);
    if (fail && result == 0) {
        errno = EIO;
        return -1;
    }
    return result;
}

int fsync(int fd)
{
    using Fsync = int (*)(int);
    static const Fsync fsyncReal = real<Fsync>("fsync");
    const int result = fsyncReal(fd);
    if (result == 0 && failAfterRename("fsync") && regularFile(fd)) {
        errno = EIO;
        return -1;
    }
    return result;
}

int rename(const char* from, const char* to)
{
    using Rename = int (*)(const char*, const char*);
    static const Rename renameReal = real<Rename>("rename");
    placeBeforeRename(to);
    const int result = renameReal(from, to);
    if (result == 0)
        g_renamed = true;
    return result;
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags)
{
    using Rename2 = int (*)(int, const char*, int, const char*, unsigned);
    static const Rename2 renameReal = real<Rename2>("renameat2");
    if (std::getenv("QELT_FAULT_NO_EXCHANGE") && (flags & RENAME_EXCHANGE)) {
        errno = EINVAL;
        return -1;
    }
    placeBeforeRename(to);
    const int result = renameReal(fromDir, from, toDir, to, flags);
    if (result == 0)
        g_renamed = true;
    return result;
}

} // extern "C"
