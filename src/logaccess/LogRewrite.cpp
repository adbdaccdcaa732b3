#include "LogRewrite.h"

#include "common/FileDescriptor.h"
#include "common/QeltError.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelt {

LineEndCounts CountLineEnds(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t lf = 0;
    std::size_t cr = 0;
    std::size_t crlf = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    // 16 bytes a step; the second load looks one byte ahead to pair each CR with an LF after it.
    // Matches are counted in bytes (a match is -1) and summed up before a byte can overflow.
    const __m128i lfs = _mm_set1_epi8('\n');
    const __m128i crs = _mm_set1_epi8('\r');
    const __m128i zero = _mm_setzero_si128();
    while (i + 17 <= n) {
        __m128i lfCount = zero;
        __m128i crCount = zero;
        __m128i crlfCount = zero;
        for (int step = 0; step < 255 && i + 17 <= n; ++step, i += 16) {
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
            const __m128i isLf = _mm_cmpeq_epi8(here, lfs);
            const __m128i isCr = _mm_cmpeq_epi8(here, crs);
            lfCount = _mm_sub_epi8(lfCount, isLf);
            crCount = _mm_sub_epi8(crCount, isCr);
            crlfCount = _mm_sub_epi8(crlfCount, _mm_and_si128(isCr, _mm_cmpeq_epi8(next, lfs)));
        }
        const auto total = [&](__m128i counts) {
            const __m128i sums = _mm_sad_epu8(counts, zero);
            return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                   static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
        };
        lf += total(lfCount);
        cr += total(crCount);
        crlf += total(crlfCount);
    }
#endif
    for (; i < n; ++i) {
        if (p[i] == '\n') {
            ++lf;
        } else if (p[i] == '\r') {
            ++cr;
            if (i + 1 < n && p[i + 1] == '\n')
                ++crlf;
        }
    }
    LineEndCounts counts;
    counts.lineEnds = lf + cr - crlf;
    counts.loneEnds = (lf - crlf) + (cr - crlf);
    return counts;
}

bool HasLoneLineEnds(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    unsigned carry = 0; // a CR in the last byte of the block before
#if defined(__SSE2__)
    // Every line end is CR LF exactly when the CRs, moved one byte on, fall on the LFs.
    const __m128i lfs = _mm_set1_epi8('\n');
    const __m128i crs = _mm_set1_epi8('\r');
    while (i + 16 <= n) {
        unsigned mismatch = 0;
        for (int step = 0; step < 16 && i + 16 <= n; ++step, i += 16) {
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            const auto cr = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, crs)));
            const auto lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, lfs)));
            mismatch |= (((cr << 1) | carry) ^ lf) & 0xFFFFu;
            carry = cr >> 15;
        }
        if (mismatch != 0)
            return true;
    }
#endif
    for (; i < n; ++i) {
        const bool lf = p[i] == '\n';
        if (lf != (carry != 0))
            return true;
        carry = p[i] == '\r' ? 1 : 0;
    }
    return carry != 0;
}

LogSnapshot TakeLogSnapshot(const FileIdentity& identity, std::string_view fileBytes)
{
    LogSnapshot snapshot;
    snapshot.identity = identity;
    snapshot.identity.size = fileBytes.size();
    const std::size_t keep = std::min(fileBytes.size(), SnapshotTailSize);
    snapshot.tail.assign(fileBytes.substr(fileBytes.size() - keep));
    return snapshot;
}

LogSnapshot TakeLogSnapshot(const LogFile& file)
{
    return TakeLogSnapshot(file.identity(), file.bytes());
}

namespace {

const char* const ChangedText =
    "Another program changed the log since it was read; it was left as it is.";

[[noreturn]] void failCreate(const std::string& path, const std::string& why)
{
    throw QeltError("Cannot create file " + path + "\n" + why);
}

std::string errnoText(int error)
{
    return std::strerror(error);
}

// Writes the new log in large blocks out of two aligned buffers: one is filled while the other
// is written by a helper thread, so that the disk works while the lines are copied. Copying into
// a buffer costs little, while the kernel's copy straight out of a file mapping is several times
// slower than out of ordinary memory. Where the file system allows, the blocks bypass the page
// cache (O_DIRECT): the data is then on disk when the last write returns and the flush before
// the rename has little left to wait for.
class BlockWriter
{
public:
    explicit BlockWriter(int fd) : m_fd(fd)
    {
        for (auto& buffer : m_buffers) {
            void* memory = std::aligned_alloc(Alignment, BufferSize);
            if (memory == nullptr)
                throw std::bad_alloc();
            buffer.reset(static_cast<char*>(memory));
        }
        const int flags = ::fcntl(m_fd, F_GETFL);
        m_direct = flags >= 0 && ::fcntl(m_fd, F_SETFL, flags | O_DIRECT) == 0;
    }

    ~BlockWriter()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    void append(const char* data, std::size_t size)
    {
        while (size > 0) {
            const std::size_t take = std::min(BufferSize - m_used, size);
            std::memcpy(m_buffers[m_current].get() + m_used, data, take);
            m_used += take;
            data += take;
            size -= take;
            if (m_used == BufferSize)
                submit(BufferSize);
        }
    }

    void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }

    // Writes what is left and leaves the file offset at the end of the content, with ordinary
    // writes possible again.
    void finish()
    {
        std::size_t padding = 0;
        if (m_used > 0) {
            // A direct write goes out padded to the alignment and is cut back to size after.
            if (m_direct) {
                padding = (Alignment - m_used % Alignment) % Alignment;
                std::memset(m_buffers[m_current].get() + m_used, 0, padding);
            }
            submit(m_used + padding);
        }
        waitForWrite();
        if (padding > 0) {
            m_written -= padding;
            if (::ftruncate(m_fd, static_cast<off_t>(m_written)) != 0)
                throw std::system_error(errno, std::generic_category());
        }
        if (m_direct)
            stopDirect();
        if (::lseek(m_fd, static_cast<off_t>(m_written), SEEK_SET) < 0)
            throw std::system_error(errno, std::generic_category());
    }

private:
    static constexpr std::size_t Alignment = 4096;
    static constexpr std::size_t BufferSize = 4 << 20;

    struct Free
    {
        void operator()(char* p) const { std::free(p); }
    };

    // Hands the current buffer to the helper thread once it is done with the other one.
    void submit(std::size_t size)
    {
        waitForWrite();
        if (!m_thread.joinable())
            m_thread = std::thread([this] { writeBlocks(); });
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_block = m_buffers[m_current].get();
            m_blockSize = size;
            m_busy = true;
        }
        m_changed.notify_all();
        m_current ^= 1;
        m_used = 0;
    }

    // Waits until the helper thread is idle; rethrows what its last write threw.
    void waitForWrite()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_busy; });
        if (m_failure) {
            const std::exception_ptr failure = m_failure;
            m_failure = nullptr;
            std::rethrow_exception(failure);
        }
    }

    // The helper thread: one block at a time, until the writer goes.
    void writeBlocks()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_busy || m_quit; });
            if (!m_busy)
                return;
            const char* const block = m_block;
            const std::size_t size = m_blockSize;
            lock.unlock();
            std::exception_ptr failure;
            try {
                write(block, size);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            m_failure = failure;
            m_busy = false;
            m_changed.notify_all();
        }
    }

    void stopDirect()
    {
        const int flags = ::fcntl(m_fd, F_GETFL);
        if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags & ~O_DIRECT) != 0)
            throw std::system_error(errno, std::generic_category());
        m_direct = false;
    }

    // Runs on the helper thread; the writer's own thread touches neither the file nor m_direct
    // nor m_written until it has waited for this.
    void write(const char* block, std::size_t size)
    {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t written = ::write(m_fd, block + done, size - done);
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0 && errno == EINVAL && m_direct && done == 0) {
                // The file system took the flag but not the I/O: write through the cache.
                stopDirect();
                continue;
            }
            if (written < 0)
                throw std::system_error(errno, std::generic_category());
            if (written == 0)
                throw std::system_error(EIO, std::generic_category());
            done += static_cast<std::size_t>(written);
            if (m_direct && done < size && done % Alignment != 0)
                stopDirect(); // a short direct write off the alignment: finish through the cache
        }
        m_written += size;
    }

    int m_fd;
    std::unique_ptr<char, Free> m_buffers[2];
    int m_current = 0;
    std::size_t m_used = 0;
    std::uint64_t m_written = 0;
    bool m_direct = false;
    // The hand-over to the helper thread.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    const char* m_block = nullptr;
    std::size_t m_blockSize = 0;
    bool m_busy = false;
    bool m_quit = false;
    std::exception_ptr m_failure;
    std::thread m_thread; // last: joined before anything it uses goes
};

// Writes one range of whole lines with every line end made CR LF. A last line without a line end
// gets one unless `leaveOpen`.
void writeLines(BlockWriter& out, std::string_view lines, bool leaveOpen)
{
    if (lines.empty())
        return;
    const char last = lines.back();
    const bool open = last != '\r' && last != '\n';
    // The usual case: the proxy writes CR LF, so the range goes out as it stands. It is checked
    // a piece at a time, right before the piece is copied, while the piece is in the cache.
    constexpr std::size_t Piece = 256 * 1024;
    std::size_t clean = 0;
    while (clean < lines.size()) {
        std::size_t size = std::min(Piece, lines.size() - clean);
        if (lines[clean + size - 1] == '\r' && clean + size < lines.size() &&
            lines[clean + size] == '\n')
            ++size; // keep a CR LF together
        const std::string_view piece = lines.substr(clean, size);
        if (HasLoneLineEnds(piece))
            break;
        out.append(piece);
        clean += size;
    }
    if (clean == lines.size()) {
        if (open && !leaveOpen)
            out.append("\r\n", 2);
        return;
    }
    // A clean piece never ends in a CR, so the rest starts at a line start or inside a line.
    lines.remove_prefix(clean);
    std::size_t start = 0;
    const std::size_t n = lines.size();
    while (start < n) {
        std::size_t end = start;
        while (end < n && lines[end] != '\r' && lines[end] != '\n')
            ++end;
        out.append(lines.substr(start, end - start));
        if (end == n) {
            if (!leaveOpen)
                out.append("\r\n", 2);
            break;
        }
        out.append("\r\n", 2);
        start = end + 1;
        if (lines[end] == '\r' && start < n && lines[start] == '\n')
            ++start;
    }
}

bool sameFile(const struct stat& st, const LogSnapshot& snapshot)
{
    return static_cast<std::uint64_t>(st.st_dev) == snapshot.identity.device &&
           static_cast<std::uint64_t>(st.st_ino) == snapshot.identity.inode;
}

bool readExactly(int fd, char* data, std::size_t size, std::uint64_t offset)
{
    while (size > 0) {
        const ssize_t got = ::pread(fd, data, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

// Why the log can no longer be rewritten from what was read, or empty when it only grew (or
// did not change at all).
std::string whyChanged(int fd, const struct stat& st, const LogSnapshot& snapshot)
{

    if (!sameFile(st, snapshot))
        return "Another program replaced the log since it was read; it was left as it is.";
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size < snapshot.identity.size)
        return "Another program shortened the log since it was read; it was left as it is.";
    // The clock behind modification times ticks in milliseconds, so a rewrite of the same size
    // right after our read may keep the time: the tail is compared in any case.
    if (size == snapshot.identity.size &&
        (st.st_mtim.tv_sec != snapshot.identity.mtimeSeconds ||
         st.st_mtim.tv_nsec != snapshot.identity.mtimeNanoseconds))
        return ChangedText;
    std::string now(snapshot.tail.size(), '\0');
    const std::uint64_t from = snapshot.identity.size - snapshot.tail.size();
    if (!readExactly(fd, now.data(), now.size(), from) || now != snapshot.tail)
        return ChangedText;
    return {};
}

// Copies the bytes [from, to) of the old log to the end of the new one.
void copyAppended(int source, int target, std::uint64_t from, std::uint64_t to, bool skipFirstLf)
{
    std::vector<char> buffer(1 << 20);
    while (from < to) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(to - from, buffer.size()));
        if (!readExactly(source, buffer.data(), want, from))
            throw std::system_error(errno ? errno : EIO, std::generic_category());
        const char* data = buffer.data();
        std::size_t size = want;
        if (skipFirstLf) {
            skipFirstLf = false;
            if (data[0] == '\n') {
                ++data;
                --size;
            }
        }
        while (size > 0) {
            const ssize_t written = ::write(target, data, size);
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                throw std::system_error(errno, std::generic_category());
            }
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        from += want;
    }
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Hands kept runs from the search to the thread that copies them out, in batches, so that the
// search, the copying and the disk all work at once.
class RangeQueue
{
public:
    void push(TextRange range)
    {
        m_batch.push_back(range);
        if (m_batch.size() >= BatchSize)
            flush(false);
    }

    void close() { flush(true); }

    // The next runs, or an empty batch once the queue is closed and drained.
    std::vector<TextRange> pop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return !m_pending.empty() || m_closed; });
        std::vector<TextRange> out;
        out.swap(m_pending);
        return out;
    }

private:
    static constexpr std::size_t BatchSize = 1024;

    void flush(bool last)
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_pending.insert(m_pending.end(), m_batch.begin(), m_batch.end());
            m_closed = m_closed || last;
        }
        m_batch.clear();
        m_ready.notify_one();
    }

    std::vector<TextRange> m_batch; // the search's side
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<TextRange> m_pending;
    bool m_closed = false;
};

} // namespace

void RewriteLogFile(const std::string& path, const LogSnapshot& snapshot, std::string_view text,
                    const std::vector<TextRange>& kept)
{
    RewriteLogFileFrom(path, snapshot, text, [&kept](const KeptRangeSink& sink) {
        for (const TextRange& range : kept)
            sink(range);
        return true;
    });
}

bool RewriteLogFileFrom(const std::string& path, const LogSnapshot& snapshot, std::string_view text,
                        const KeptRangeProducer& produce)
{
    // Through a symbolic link, the file the link names is the log: renaming over the link would
    // replace the link and leave the log as it was.
    std::string target = path;
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }
    FileDescriptor old(::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (old.get() < 0)
        failCreate(path, "The log cannot be opened any more: " + errnoText(errno));
    struct stat st
    {};
    if (::fstat(old.get(), &st) != 0)
        failCreate(path, errnoText(errno));
    // A pipe or a device read as a log is no file to replace: renaming over /dev/null would
    // put a plain file in its place.
    if (!S_ISREG(st.st_mode))
        failCreate(path, "The log is not a regular file; it was left as it is.");
    if (const std::string why = whyChanged(old.get(), st, snapshot); !why.empty())
        failCreate(path, why);
    // The new content replaces the log by a rename, which only asks the folder: a log that we
    // may not write (made read-only to keep it) must be refused as writing it in place would be.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
        failCreate(path, errnoText(errno));

    // A temporary name that the log folder listing (log*.txt) never shows.
    std::string tempPath = folderOf(target) + "/." + nameOf(target) + ".XXXXXX";
    FileDescriptor temp(::mkostemp(tempPath.data(), O_CLOEXEC));
    if (temp.get() < 0)
        failCreate(path, errnoText(errno));
    bool renamed = false;
    try {
        if (::fchmod(temp.get(), st.st_mode & 07777) != 0)
            throw std::system_error(errno, std::generic_category());
        // Only root may give a file away; anyone else keeps the log's group when allowed.
        if (::fchown(temp.get(), st.st_uid, st.st_gid) != 0 &&
            ::fchown(temp.get(), static_cast<uid_t>(-1), st.st_gid) != 0) {
            // The new log belongs to us then, as a copy would.
        }

        const bool wholeFile = text.size() == snapshot.identity.size;
        const bool endsOpen = !text.empty() && text.back() != '\r' && text.back() != '\n';
        // A last line without its line end was still being written when the log was read if
        // the log has grown since: asked when that line is written, as late as possible.
        const bool mayBeUnfinished = wholeFile && endsOpen;
        const auto grownNow = [&] {
            struct stat now
            {};
            return ::fstat(old.get(), &now) == 0 &&
                   static_cast<std::uint64_t>(now.st_size) > snapshot.identity.size;
        };

        BlockWriter out(temp.get());
        bool lastLineWritten = false;
        RangeQueue queue;
        // The copying thread stops copying after a failure but drains the queue, so that the
        // search never waits on it.
        auto copying = std::async(std::launch::async, [&] {
            std::exception_ptr failure;
            for (auto batch = queue.pop(); !batch.empty(); batch = queue.pop()) {
                for (const TextRange& range : batch) {
                    if (failure)
                        break;
                    try {
                        const bool reachesEnd = range.end == text.size();
                        const bool leaveOpen = reachesEnd && mayBeUnfinished && grownNow();
                        writeLines(out, text.substr(range.begin, range.end - range.begin),
                                   leaveOpen);
                        lastLineWritten = lastLineWritten || reachesEnd;
                    } catch (...) {
                        failure = std::current_exception();
                    }
                }
            }
            if (failure)
                std::rethrow_exception(failure);
        });
        bool produced = false;
        try {
            produced = produce([&queue](TextRange range) { queue.push(range); });
        } catch (...) {
            queue.close();
            copying.wait();
            throw;
        }
        queue.close();
        copying.get();
        if (!produced) {
            ::unlink(tempPath.c_str());
            return false;
        }
        if (mayBeUnfinished && !lastLineWritten && grownNow()) {
            std::size_t start = text.size();
            while (start > 0 && text[start - 1] != '\r' && text[start - 1] != '\n')
                --start;
            writeLines(out, text.substr(start), true);
        }
        out.finish();

        // A lone CR at the end may be the first half of a CR LF whose LF came later.
        bool skipLf = wholeFile && !text.empty() && text.back() == '\r';
        std::uint64_t copied = snapshot.identity.size;
        // The proxy may go on appending while we copy: follow it until the size holds still.
        for (int round = 0; round < 100; ++round) {
            if (::fstat(old.get(), &st) != 0)
                throw std::system_error(errno, std::generic_category());
            if (static_cast<std::uint64_t>(st.st_size) <= copied)
                break;
            copyAppended(old.get(), temp.get(), copied, static_cast<std::uint64_t>(st.st_size),
                         skipLf);
            skipLf = false;
            copied = static_cast<std::uint64_t>(st.st_size);
        }
        if (::fsync(temp.get()) != 0)
            throw std::system_error(errno, std::generic_category());

        // The last look before the old log goes: still the same file, changed only by appends.
        struct stat now
        {};
        if (::stat(target.c_str(), &now) != 0 || !sameFile(now, snapshot))
            failCreate(path,
                       "Another program replaced the log since it was read; it was left as it is.");
        if (const std::string why = whyChanged(old.get(), st, snapshot); !why.empty())
            failCreate(path, why);
        if (::rename(tempPath.c_str(), target.c_str()) != 0)
            throw std::system_error(errno, std::generic_category());
        renamed = true;

        // Bytes appended between the last look and the rename went to the old file: fetch them.
        // A writer that has opened the new log by now appends to it too, so write at its end.
        if (::fstat(old.get(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) > copied) {
            const int flags = ::fcntl(temp.get(), F_GETFL);
            if (flags < 0 || ::fcntl(temp.get(), F_SETFL, flags | O_APPEND) != 0)
                throw std::system_error(errno, std::generic_category());
            copyAppended(old.get(), temp.get(), copied, static_cast<std::uint64_t>(st.st_size),
                         skipLf && copied == snapshot.identity.size);
            if (::fsync(temp.get()) != 0)
                throw std::system_error(errno, std::generic_category());
        }
        if (temp.close() != 0)
            throw std::system_error(errno, std::generic_category());
        FileDescriptor folder(::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder.get() >= 0)
            ::fsync(folder.get());
    } catch (const std::system_error& e) {
        if (!renamed)
            ::unlink(tempPath.c_str());
        failCreate(path, errnoText(e.code().value()));
    } catch (...) {
        if (!renamed)
            ::unlink(tempPath.c_str());
        throw;
    }
    return true;
}

} // namespace qelt
