#include "logaccess/LogFile.h"

#include "common/FileDescriptor.h"
#include "common/QeltError.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelt {

namespace {

FileIdentity identityOf(const struct stat& st)
{
    FileIdentity id;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::uint64_t>(st.st_size);
    id.mtimeSeconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    id.mtimeNanoseconds = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    return id;
}

[[noreturn]] void cannotOpen(const std::string& path)
{
    throw QeltError("Cannot open file " + path);
}

// A program that truncates a log in place while we have it mapped would kill us with SIGBUS at
// the next read of a page past the new end. The guard maps zero pages over the rest of such a
// mapping instead and marks it cut short: readers see NULs there, where the text ends, and the
// operation that read it reports the file as unreadable rather than taking it for the log.
// The slots are plain atomics, since the handler may run on any thread at any moment.
struct GuardSlot
{
    std::atomic<bool> used{false};
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> cut{false};
};

constexpr int GuardSlots = 64;
GuardSlot g_guards[GuardSlots];
struct sigaction g_previousBusAction;

void onBusError(int signal, siginfo_t* info, void* context)
{
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    for (GuardSlot& slot : g_guards) {
        const std::uintptr_t begin = slot.begin.load();
        const std::uintptr_t end = slot.end.load();
        if (address < begin || address >= end)
            continue;
        const std::uintptr_t page = address & ~(pageSize - 1);
        void* zeros = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros != MAP_FAILED) {
            slot.cut.store(true);
            return; // the read is tried again and finds zeros
        }
    }
    // Not one of our logs: whatever was there before us handles it.
    if ((g_previousBusAction.sa_flags & SA_SIGINFO) && g_previousBusAction.sa_sigaction) {
        g_previousBusAction.sa_sigaction(signal, info, context);
    } else if (g_previousBusAction.sa_handler != SIG_DFL &&
               g_previousBusAction.sa_handler != SIG_IGN) {
        g_previousBusAction.sa_handler(signal);
    } else {
        ::signal(SIGBUS, SIG_DFL); // the faulting read runs again and ends the process
    }
}

void installBusErrorGuard()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &g_previousBusAction);
    });
}

// Watches [data, data + size); -1 when every slot is taken (the mapping then goes unguarded).
int guardMapping(const char* data, std::size_t size)
{
    installBusErrorGuard();
    for (int i = 0; i < GuardSlots; ++i) {
        bool expected = false;
        if (g_guards[i].used.compare_exchange_strong(expected, true)) {
            g_guards[i].cut.store(false);
            g_guards[i].end.store(reinterpret_cast<std::uintptr_t>(data) + size);
            g_guards[i].begin.store(reinterpret_cast<std::uintptr_t>(data));
            return i;
        }
    }
    return -1;
}

void unguardMapping(int slot)
{
    if (slot < 0)
        return;
    g_guards[slot].begin.store(0);
    g_guards[slot].end.store(0);
    g_guards[slot].used.store(false);
}

} // namespace

bool FileIdentity::operator==(const FileIdentity& other) const
{
    return device == other.device && inode == other.inode && size == other.size &&
           mtimeSeconds == other.mtimeSeconds && mtimeNanoseconds == other.mtimeNanoseconds;
}

std::optional<FileIdentity> CurrentFileIdentity(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return identityOf(st);
}

LogFile::LogFile(std::string path) : m_path(std::move(path))
{
    int raw;
    if (m_path == StandardInputPath) {
        raw = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    } else {
        // Without O_NONBLOCK, opening a FIFO waits for a writer, perhaps for ever.
        do {
            raw = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        } while (raw < 0 && errno == EINTR);
    }
    if (raw < 0)
        cannotOpen(m_path);
    const FileDescriptor fd(raw);

    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode))
        cannotOpen(m_path);
    // A device has no end to read to (/dev/zero) or is no log at all (a terminal, a disk).
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        throw QeltError("Cannot open file " + m_path + "\nIt is a device, not a log file.");
    m_identity = identityOf(st);

    if (S_ISREG(st.st_mode)) {
        const auto size = static_cast<std::size_t>(st.st_size);
        if (size == 0) {
            m_data = "";
            return;
        }
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (map != MAP_FAILED) {
            ::madvise(map, size, MADV_SEQUENTIAL);
            m_data = static_cast<const char*>(map);
            m_size = size;
            m_mapped = true;
            m_guard = guardMapping(m_data, m_size);
            return;
        }
    }

    // A FIFO that no program has opened for writing would read as empty: give a writer a moment
    // to come, then refuse it rather than wait for ever.
    if (S_ISFIFO(st.st_mode) && m_path != StandardInputPath) {
        pollfd ready{fd.get(), POLLIN, 0};
        int polled;
        do {
            polled = ::poll(&ready, 1, 2000);
        } while (polled < 0 && errno == EINTR);
        if (polled == 0)
            throw QeltError("Cannot open file " + m_path + "\nNo program writes into this pipe.");
    }

    // Pipes, or a file that could not be mapped: read it all into one buffer, which grows in
    // place where it can.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK))
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    std::size_t capacity = S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) + 1 : 1 << 20;
    std::unique_ptr<char, FreeMemory> buffer(static_cast<char*>(std::malloc(capacity)));
    if (!buffer)
        throw std::bad_alloc();
    std::size_t size = 0;
    for (;;) {
        if (size == capacity) {
            if (capacity >= PipeReadLimit)
                throw QeltError("Cannot open file " + m_path + "\nIt is longer than " +
                                std::to_string(PipeReadLimit >> 30) +
                                " GiB, the most that is read from a pipe.");
            const std::size_t grown = std::min(capacity * 2, PipeReadLimit);
            void* bigger = std::realloc(buffer.get(), grown);
            if (!bigger)
                throw std::bad_alloc();
            buffer.release();
            buffer.reset(static_cast<char*>(bigger));
            capacity = grown;
        }
        const ssize_t n = ::read(fd.get(), buffer.get() + size, capacity - size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            cannotOpen(m_path);
        }
        if (n == 0)
            break;
        size += static_cast<std::size_t>(n);
    }
    m_buffer = std::move(buffer);
    m_data = m_buffer.get();
    m_size = size;
    m_identity.size = size;
}

std::string_view LogFile::text() const
{
    if (!m_textFound) // moved from
        return {};
    std::call_once(*m_textFound, [this] { m_textSize = CutAtNul(bytes()).size(); });
    return {m_data, m_textSize};
}

LogFile::~LogFile()
{
    release();
}

LogFile::LogFile(LogFile&& other) noexcept
    : m_path(std::move(other.m_path)), m_data(other.m_data), m_size(other.m_size),
      m_textSize(other.m_textSize), m_textFound(std::move(other.m_textFound)),
      m_mapped(other.m_mapped), m_buffer(std::move(other.m_buffer)), m_identity(other.m_identity),
      m_guard(std::exchange(other.m_guard, -1))
{
    other.m_data = nullptr;
    other.m_size = other.m_textSize = 0;
    other.m_mapped = false;
}

LogFile& LogFile::operator=(LogFile&& other) noexcept
{
    if (this != &other) {
        release();
        m_path = std::move(other.m_path);
        m_data = other.m_data;
        m_size = other.m_size;
        m_textSize = other.m_textSize;
        m_textFound = std::move(other.m_textFound);
        m_mapped = other.m_mapped;
        m_buffer = std::move(other.m_buffer);
        m_identity = other.m_identity;
        m_guard = std::exchange(other.m_guard, -1);
        other.m_data = nullptr;
        other.m_size = other.m_textSize = 0;
        other.m_mapped = false;
    }
    return *this;
}

bool LogFile::wasCutShort() const
{
    return m_guard >= 0 && g_guards[m_guard].cut.load();
}

void LogFile::checkNotCutShort() const
{
    if (wasCutShort())
        throw QeltError("Cannot open file " + m_path +
                        "\nAnother program cut the file short while it was read.");
}

void LogFile::release() noexcept
{
    // Unguard first, so that the handler never maps over a range that is no longer ours.
    unguardMapping(std::exchange(m_guard, -1));
    if (m_mapped && m_data) {
        char* const data = const_cast<char*>(m_data);
        // Taking down the page tables of a large mapping is work munmap does on one core (30 ms a
        // GB here); letting the pages go first does it on two, and munmap finds nothing left.
        constexpr std::size_t TwoCoresFrom = 64u << 20;
        if (m_size >= TwoCoresFrom) {
            static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
            const std::size_t half = m_size / 2 / page * page;
            try {
                std::thread second([&] { ::madvise(data + half, m_size - half, MADV_DONTNEED); });
                ::madvise(data, half, MADV_DONTNEED);
                second.join();
            } catch (...) {
                // No thread to be had: munmap does it all.
            }
        }
        ::munmap(data, m_size);
    }
    m_mapped = false;
    m_data = nullptr;
    m_buffer.reset();
}

std::string_view CutAtNul(std::string_view data)
{
    const void* nul = data.empty() ? nullptr : std::memchr(data.data(), '\0', data.size());
    return nul ? data.substr(0,
                             static_cast<std::size_t>(static_cast<const char*>(nul) - data.data()))
               : data;
}

const char* FindLineEnd(const char* p, const char* end)
{
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int mask =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
        if (mask != 0)
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < end && *p != '\r' && *p != '\n')
        ++p;
    return p;
}

const char* FindLineEndOrNul(const char* p, const char* end)
{
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i nul = _mm_setzero_si128();
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hits = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, nul));
        const int mask = _mm_movemask_epi8(hits);
        if (mask != 0)
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < end && *p != '\r' && *p != '\n' && *p != '\0')
        ++p;
    return p;
}

std::vector<std::string_view> SplitAtLineEnds(std::string_view text, unsigned parts)
{
    std::vector<std::string_view> out;
    std::size_t begin = 0;
    for (unsigned k = 1; k < parts && begin < text.size(); ++k) {
        std::size_t cut = std::max(begin, text.size() / parts * k);
        // An LF always ends a line (alone or after a CR), so a cut right after one never splits
        // a line or a CR LF pair.
        const void* lf = std::memchr(text.data() + cut, '\n', text.size() - cut);
        if (!lf)
            break;
        cut = static_cast<std::size_t>(static_cast<const char*>(lf) - text.data()) + 1;
        out.push_back(text.substr(begin, cut - begin));
        begin = cut;
    }
    out.push_back(text.substr(begin));
    return out;
}

unsigned RunsForScan(std::size_t bytes, std::size_t minBytesPerRun)
{
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t bySize = bytes / std::max<std::size_t>(1, minBytesPerRun);
    return static_cast<unsigned>(std::clamp<std::size_t>(bySize, 1, cores));
}

void RunParts(std::size_t count, const std::function<void(std::size_t)>& work)
{
    std::vector<std::exception_ptr> errors(count);
    auto guarded = [&](std::size_t k) {
        try {
            work(k);
        } catch (...) {
            errors[k] = std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    for (std::size_t k = 1; k < count; ++k)
        workers.emplace_back(guarded, k);
    if (count > 0)
        guarded(0);
    for (auto& worker : workers)
        worker.join();
    for (const auto& error : errors) {
        if (error)
            std::rethrow_exception(error);
    }
}

} // namespace qelt
