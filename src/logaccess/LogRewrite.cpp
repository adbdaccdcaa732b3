#include "LogRewrite.h"

#include "ContentHash.h"
#include "common/FileDescriptor.h"
#include "common/OpenWriters.h"
#include "common/QeltError.h"

#include <algorithm>
#include <atomic>
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

#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
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

namespace {

#if defined(__x86_64__)
// Every line end is CR LF exactly when no text starts with an LF, ends with a CR, or has a CR
// without an LF right after it or an LF without a CR right before: a CR at i must come with an
// LF at i + 1, and the other way round. 32 bytes a step where the processor has AVX2, which
// takes the text about twice as fast as the 16 bytes below.
__attribute__((target("avx2"))) bool hasLoneLineEndsAvx2(const unsigned char* p, std::size_t n)
{
    if (n == 0)
        return false;
    if (p[0] == '\n' || p[n - 1] == '\r')
        return true;
    const __m256i lfs = _mm256_set1_epi8('\n');
    const __m256i crs = _mm256_set1_epi8('\r');
    std::size_t i = 0;
    while (i + 33 <= n) {
        __m256i mismatch = _mm256_setzero_si256();
        for (int step = 0; step < 32 && i + 33 <= n; ++step, i += 32) {
            const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
            const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
            mismatch = _mm256_or_si256(mismatch, _mm256_xor_si256(_mm256_cmpeq_epi8(here, crs),
                                                                  _mm256_cmpeq_epi8(next, lfs)));
        }
        if (!_mm256_testz_si256(mismatch, mismatch))
            return true;
    }
    for (; i + 1 < n; ++i) {
        if ((p[i] == '\r') != (p[i + 1] == '\n'))
            return true;
    }
    return false;
}

bool haveAvx2()
{
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return have;
}
#endif

} // namespace

bool HasLoneLineEnds(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
#if defined(__x86_64__)
    if (haveAvx2())
        return hasLoneLineEndsAvx2(p, n);
#endif
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

namespace {

LogSnapshot takeSnapshot(const FileIdentity& identity, std::string_view fileBytes,
                         std::size_t textSize)
{
    LogSnapshot snapshot;
    snapshot.identity = identity;
    snapshot.identity.size = fileBytes.size();
    const std::size_t keep = std::min(fileBytes.size(), SnapshotTailSize);
    snapshot.tail.assign(fileBytes.substr(fileBytes.size() - keep));
    snapshot.hasNul = textSize < fileBytes.size();
    std::size_t carryFrom = textSize;
    if (!snapshot.hasNul) {
        while (carryFrom > 0 && fileBytes[carryFrom - 1] != '\r' &&
               fileBytes[carryFrom - 1] != '\n')
            --carryFrom;
    }
    snapshot.carryFrom = carryFrom;
    return snapshot;
}

} // namespace

LogSnapshot TakeLogSnapshot(const FileIdentity& identity, std::string_view fileBytes)
{
    return takeSnapshot(identity, fileBytes, CutAtNul(fileBytes).size());
}

namespace {

// Where the text of a file's bytes ends, as CutAtNul finds it; a large file is searched from both
// ends of its halves at once.
std::size_t textSize(std::string_view bytes)
{
    constexpr std::size_t SplitFrom = 64 << 20;
    if (bytes.size() < SplitFrom)
        return CutAtNul(bytes).size();
    const std::size_t half = bytes.size() / 2;
    auto second = std::async(std::launch::async,
                             [bytes, half] { return CutAtNul(bytes.substr(half)).size(); });
    const std::size_t first = CutAtNul(bytes.substr(0, half)).size();
    const std::size_t rest = second.get();
    return first < half ? first : half + rest;
}

} // namespace

LogSnapshot TakeLogSnapshotWithoutNul(const LogFile& file)
{
    return takeSnapshot(file.identity(), file.bytes(), file.bytes().size());
}

LogSnapshot TakeLogSnapshot(const LogFile& file)
{
    // Not file.text(): that searches the whole file on one thread.
    return takeSnapshot(file.identity(), file.bytes(), textSize(file.bytes()));
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

// Writes the new log in large blocks out of two buffers: one is filled while the other is written
// by a helper thread, so that the disk works while the lines are copied. Copying into a buffer
// costs little, while the kernel's copy straight out of a file mapping is several times slower
// than out of ordinary memory. The helper hands each megabyte it wrote to the disk at once
// (sync_file_range), and before it writes on, waits for the megabyte sixteen back and lets its
// cached pages go: the disk always has several megabytes to take, neither the cache nor the
// flush before the rename grows with the log, and the writer never stalls on the kernel's
// writeback of a gigabyte of dirty pages. What is appended is hashed on the way in, while it is
// still in the cache: the helper thread does nothing but write, so the disk never waits for it.
class BlockWriter
{
public:
    explicit BlockWriter(int fd) : m_fd(fd)
    {
        for (auto& buffer : m_buffers)
            buffer.reset(new char[BufferSize]);
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
        m_hash.update(std::string_view(data, size));
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

    // Writes what is left and leaves the file offset at the end of the content. The last
    // megabytes may still be on their way to the disk: the caller's flush waits for them.
    void finish()
    {
        if (m_used > 0)
            submit(m_used);
        waitForWrite();
    }

    // The hash and size of everything appended; valid after finish().
    const ContentHash& contentHash() const { return m_hash; }

private:
    static constexpr std::size_t BufferSize = 4 << 20;
    static constexpr std::size_t PieceBytes = 1 << 20;  // handed to the disk at once
    static constexpr std::uint64_t InFlight = 16 << 20; // written but not waited for

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

    // Runs on the helper thread; the writer's own thread touches neither the file nor
    // m_written until it has waited for this.
    void write(const char* block, std::size_t size)
    {
        while (size > 0) {
            const std::size_t piece = std::min<std::size_t>(size, PieceBytes);
            writeAll(block, piece);
            if (m_streaming)
                stream(m_written, piece, SYNC_FILE_RANGE_WRITE);
            m_written += piece;
            block += piece;
            size -= piece;
            while (m_streaming && m_written - m_settled > InFlight) {
                stream(m_settled, PieceBytes,
                       SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                           SYNC_FILE_RANGE_WAIT_AFTER);
                ::posix_fadvise(m_fd, static_cast<off_t>(m_settled), PieceBytes,
                                POSIX_FADV_DONTNEED);
                m_settled += PieceBytes;
            }
        }
    }

    void writeAll(const char* data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t written = ::write(m_fd, data, size);
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0)
                throw std::system_error(errno, std::generic_category());
            if (written == 0)
                throw std::system_error(EIO, std::generic_category());
            data += written;
            size -= static_cast<std::size_t>(written);
        }
    }

    // A write that failed on the disk fails the rewrite here already; a file that cannot be
    // streamed so is left to the flush before the rename.
    void stream(std::uint64_t from, std::size_t size, unsigned flags)
    {
        if (::sync_file_range(m_fd, static_cast<off_t>(from), static_cast<off_t>(size), flags) == 0)
            return;
        if (errno == EIO || errno == ENOSPC || errno == EDQUOT)
            throw std::system_error(errno, std::generic_category());
        m_streaming = false;
    }

    int m_fd;
    std::unique_ptr<char[]> m_buffers[2];
    int m_current = 0;
    std::size_t m_used = 0;
    std::uint64_t m_written = 0;
    std::uint64_t m_settled = 0; // on the disk and out of the cache
    bool m_streaming = true;
    ContentHash m_hash; // of everything appended
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
// gets one unless `leaveOpen`. Returns whether it wrote other bytes than the range's own.
bool writeLines(BlockWriter& out, std::string_view lines, bool leaveOpen)
{
    if (lines.empty())
        return false;
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
        if (open && !leaveOpen) {
            out.append("\r\n", 2);
            return true;
        }
        return false;
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
    return true;
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

// Bytes of whole lines to write, as they stand in memory; a last line without a line end gets
// one unless `leaveOpen`.
struct Piece
{
    std::string_view bytes;
    bool leaveOpen = true;
};

// Hands kept runs from the search to the thread that copies them out, in batches, so that the
// search, the copying and the disk all work at once.
class RangeQueue
{
public:
    void push(Piece piece)
    {
        m_batch.push_back(piece);
        if (m_batch.size() >= BatchSize)
            flush(false);
    }

    void close() { flush(true); }

    // The next runs, or an empty batch once the queue is closed and drained.
    std::vector<Piece> pop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return !m_pending.empty() || m_closed; });
        std::vector<Piece> out;
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

    std::vector<Piece> m_batch; // the search's side
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<Piece> m_pending;
    bool m_closed = false;
};

} // namespace

namespace {

bool sameInode(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string rewriteFilePrefix(const std::string& logName)
{
    return "." + logName + ".qelt-";
}

// A temporary file of ours in the log's folder. It holds a shared lock for as long as it is open,
// which tells a later run that its writer is still at work; the file is removed on the way out
// unless it was handed on.
class TempFile
{
public:
    TempFile(const std::string& folder, const std::string& logName)
    {
        for (int attempt = 0;; ++attempt) {
            std::string path = folder + "/" + rewriteFilePrefix(logName) + "XXXXXX";
            FileDescriptor fd(::mkostemp(path.data(), O_CLOEXEC));
            if (fd.get() < 0)
                throw std::system_error(errno, std::generic_category());
            // A cleaner may have taken the unlocked file for a dead run's between the two steps.
            struct stat mine
            {};
            struct stat named
            {};
            if (::flock(fd.get(), LOCK_SH) == 0 && ::fstat(fd.get(), &mine) == 0 &&
                ::lstat(path.c_str(), &named) == 0 && sameInode(mine, named)) {
                m_path = std::move(path);
                m_fd = std::move(fd);
                return;
            }
            if (attempt == 3)
                throw std::system_error(EEXIST, std::generic_category());
        }
    }
    ~TempFile() { removeIfOurs(); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return m_path; }
    int fd() const { return m_fd.get(); }
    FileDescriptor takeDescriptor()
    {
        m_path.clear();
        return std::move(m_fd);
    }
    // Removes the file by its name if that still names the file we hold.
    void removeIfOurs()
    {
        if (m_path.empty() || m_fd.get() < 0)
            return;
        struct stat mine
        {};
        struct stat named
        {};
        if (::fstat(m_fd.get(), &mine) == 0 && ::lstat(m_path.c_str(), &named) == 0 &&
            sameInode(mine, named))
            ::unlink(m_path.c_str());
        m_path.clear();
    }

private:
    std::string m_path;
    FileDescriptor m_fd;
};

// Gives the new file the old one's owner, group, extended attributes (ACLs among them) and mode,
// in that order: a change of owner drops the set-ID bits, and an ACL sets the group bits. Empty,
// or why an attribute cannot be kept.
std::string copyAttributes(int from, int to, const struct stat& st)
{
    // Only root may give a file away; anyone else keeps the log's group when allowed.
    if (::fchown(to, st.st_uid, st.st_gid) != 0 &&
        ::fchown(to, static_cast<uid_t>(-1), st.st_gid) != 0) {
        // The new log belongs to us then, as a copy would.
    }
    ssize_t listed = ::flistxattr(from, nullptr, 0);
    if (listed < 0 && errno != ENOTSUP)
        return "The extended attributes of the log cannot be read: " + errnoText(errno);
    if (listed > 0) {
        std::vector<char> names(static_cast<std::size_t>(listed));
        listed = ::flistxattr(from, names.data(), names.size());
        if (listed < 0)
            return "The extended attributes of the log cannot be read: " + errnoText(errno);
        std::vector<char> value;
        for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
            const char* name = names.data() + at;
            at += std::strlen(name) + 1;
            ssize_t size = ::fgetxattr(from, name, nullptr, 0);
            if (size >= 0) {
                value.resize(static_cast<std::size_t>(size) + 1);
                size = ::fgetxattr(from, name, value.data(), value.size());
            }
            if (size < 0 ||
                ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0) != 0)
                return std::string("The extended attribute ") + name +
                       " of the log cannot be kept: " + errnoText(errno);
        }
    }
    if (::fchmod(to, st.st_mode & 07777) != 0)
        return "The permissions of the log cannot be kept: " + errnoText(errno);
    return {};
}

// Appends to `to` what was added to `from` after `copied`, until its size holds still.
void catchUp(int from, int to, std::uint64_t& copied, bool& skipLf)
{
    for (int round = 0; round < 100; ++round) {
        struct stat st
        {};
        if (::fstat(from, &st) != 0)
            throw std::system_error(errno, std::generic_category());
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (size <= copied)
            return;
        copyAppended(from, to, copied, size, skipLf);
        skipLf = false;
        copied = size;
    }
}

// Waits (up to about a second) until no process holds the file open for writing: one that opened
// it before it left the log's place may still be appending to it.
void waitForWriters(int fd)
{
    struct stat st
    {};
    if (::fstat(fd, &st) != 0)
        return;
    for (int i = 0; i < 100; ++i) {
        if (!FindOpenWriter(static_cast<std::uint64_t>(st.st_dev),
                            static_cast<std::uint64_t>(st.st_ino)))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

const char* const ReplacedText =
    "Another program replaced the log since it was read; it was left as it is.";

// Whether renameat2 cannot exchange on this file system (nor at all on this kernel).
bool exchangeUnsupported(int error)
{
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

} // namespace

void RemoveStaleRewriteFiles(const std::string& path)
{
    std::string target = path;
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }
    const std::string prefix = rewriteFilePrefix(nameOf(target));
    DIR* dir = ::opendir(folderOf(target).c_str());
    if (!dir)
        return;
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix)
            continue;
        FileDescriptor fd(
            ::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat held
        {};
        struct stat named
        {};
        // A running rewrite holds its files locked; the lock of a killed one went with it.
        if (fd.get() >= 0 && ::fstat(fd.get(), &held) == 0 && S_ISREG(held.st_mode) &&
            ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(dirFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameInode(held, named))
            ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

void RewriteLogFile(const std::string& path, const LogSnapshot& snapshot, std::string_view text,
                    const std::vector<TextRange>& kept)
{
    RewriteLogFileFrom(path, snapshot, text, [&kept](const KeptRangeSink& sink) {
        for (const TextRange& range : kept)
            sink(range);
        return true;
    });
}

namespace {

// Hands the pieces of the new content to the sink, in order; false drops the rewrite.
using PieceSource = std::function<bool(const std::function<void(Piece)>&)>;

// Lets the cached pages of the old log go behind the copy, while the disk is still busy with the
// new log: otherwise they are all freed at once when the old file goes, after the new log has taken
// its place. `mapped` is the old log's bytes as this process maps them. Only what the cache holds
// goes (the mapping's pages are read from the file again if they are used again); the search and
// the undo journal's copy of the removed lines must be done with them first.
class ReleaseBehind
{
public:
    ReleaseBehind(std::string_view mapped, int fd) : m_mapped(mapped), m_fd(fd) {}

    bool active() const { return !m_mapped.empty(); }
    // The copy has passed `piece`, a piece of the old log's bytes or not.
    void passed(std::string_view piece)
    {
        if (!active() || piece.data() < m_mapped.data() ||
            piece.data() + piece.size() > m_mapped.data() + m_mapped.size())
            return;
        m_passed.store(static_cast<std::size_t>(piece.data() + piece.size() - m_mapped.data()),
                       std::memory_order_release);
    }
    // Lets go what the copy has passed, a step at a time, until `done` is ready.
    template <class Future> void follow(Future& done)
    {
        constexpr std::size_t Step = 32u << 20;
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        while (done.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) {
            const std::size_t upto = m_passed.load(std::memory_order_acquire) / page * page;
            if (upto < m_released + Step)
                continue;
            char* const from = const_cast<char*>(m_mapped.data()) + m_released;
            ::madvise(from, upto - m_released, MADV_DONTNEED);
            ::posix_fadvise(m_fd, static_cast<off_t>(m_released),
                            static_cast<off_t>(upto - m_released), POSIX_FADV_DONTNEED);
            m_released = upto;
        }
    }

private:
    std::string_view m_mapped;
    int m_fd;
    std::atomic<std::size_t> m_passed{0};
    std::size_t m_released = 0;
};

bool rewriteFrom(const std::string& path, const LogSnapshot& snapshot, const PieceSource& produce,
                 const BeforeReplace& beforeReplace, std::string_view mapped = {})
{
    // Through a symbolic link, the file the link names is the log: renaming over the link would
    // replace the link and leave the log as it was.
    if (path == StandardInputPath)
        failCreate(path, "Standard input is read, never written back.");
    std::string target = path;
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }
    const std::string folder = folderOf(target);
    const std::string logName = nameOf(target);
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
    const struct stat original = st;
    if (const std::string why = whyChanged(old.get(), st, snapshot); !why.empty())
        failCreate(path, why);
    // The new content replaces the log by a rename, which only asks the folder: a log that we
    // may not write (made read-only to keep it) must be refused as writing it in place would be.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
        failCreate(path, errnoText(errno));
    RemoveStaleRewriteFiles(target);
    const auto lastingWriter = [](int fd) {
        struct stat now
        {};
        if (::fstat(fd, &now) != 0)
            return std::optional<OpenWriter>();
        return FindLastingWriter(static_cast<std::uint64_t>(now.st_dev),
                                 static_cast<std::uint64_t>(now.st_ino));
    };
    if (const auto writer = lastingWriter(old.get()))
        failCreate(path, DescribeWriter(*writer) + " It was left as it is.");

    // A lone CR at the very end may be the first half of a CR LF whose LF came later.
    bool skipLf = !snapshot.hasNul && !snapshot.tail.empty() && snapshot.tail.back() == '\r';
    std::uint64_t copied = snapshot.carryFrom;

    int round = 0;
    try {
        auto temp = std::make_unique<TempFile>(folder, logName);
        if (const std::string why = copyAttributes(old.get(), temp->fd(), original); !why.empty())
            failCreate(path, why);

        WrittenText written;
        {
            BlockWriter out(temp->fd());
            RangeQueue queue;
            ReleaseBehind release(mapped, old.get());
            // The copying thread stops copying after a failure but drains the queue, so that the
            // search never waits on it.
            auto copying = std::async(std::launch::async, [&] {
                std::exception_ptr failure;
                for (auto batch = queue.pop(); !batch.empty(); batch = queue.pop()) {
                    for (const Piece& piece : batch) {
                        if (failure)
                            break;
                        try {
                            const std::uint64_t before = out.contentHash().size();
                            const bool changed = writeLines(out, piece.bytes, piece.leaveOpen);
                            if (changed) {
                                written.widened.push_back(
                                    {piece.bytes.data() + piece.bytes.size(),
                                     out.contentHash().size() - before - piece.bytes.size()});
                            }
                            release.passed(piece.bytes);
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
                produced = produce([&queue](Piece piece) { queue.push(piece); });
            } catch (...) {
                queue.close();
                copying.wait();
                throw;
            }
            queue.close();
            // The search is done, and the journal has the removed lines: this thread has
            // nothing else to do while the copy goes on.
            if (produced && release.active())
                release.follow(copying);
            copying.get();
            if (!produced)
                return false; // the temporary file goes with `temp`
            out.finish();
            written.size = out.contentHash().size();
            written.hash = out.contentHash().value();
        }

        // The bytes carried over as they stand, and what the proxy appends while we copy.
        catchUp(old.get(), temp->fd(), copied, skipLf);
        if (beforeReplace) {
            // The new file is flushed while the caller makes its own record durable: both must
            // be on disk before the exchange, and the disk takes the two flushes together.
            const int tempFd = temp->fd();
            auto flushed = std::async(std::launch::async,
                                      [tempFd] { return ::fsync(tempFd) == 0 ? 0 : errno; });
            try {
                beforeReplace(written);
            } catch (...) {
                flushed.wait();
                throw;
            }
            if (const int error = flushed.get(); error != 0)
                throw std::system_error(error, std::generic_category());
        } else if (::fsync(temp->fd()) != 0) {
            throw std::system_error(errno, std::generic_category());
        }

        // Each round puts the new file in the log's place. Lines that reach the old file after
        // our last look (a writer opened it just before) must come before those that writers
        // append to the new one: a further round then makes a file with them in their place.
        struct stat expected = original; // the file in the log's place now
        bool exchange = true;
        for (;; ++round) {
            // After the first round the log is rewritten: a failure then says so.
            const auto fail = [&](const std::string& why) {
                if (round == 0)
                    failCreate(path, why);
                throw LogRewrittenError("The log " + path +
                                        " was rewritten, but lines appended meanwhile could not "
                                        "be put in their place: " +
                                        why);
            };
            catchUp(old.get(), temp->fd(), copied, skipLf);
            struct stat now
            {};
            if (::lstat(target.c_str(), &now) != 0 || !sameInode(now, expected))
                fail(ReplacedText);
            if (round == 0) {
                if (::fstat(old.get(), &st) != 0)
                    throw std::system_error(errno, std::generic_category());
                if (const std::string why = whyChanged(old.get(), st, snapshot); !why.empty())
                    failCreate(path, why);
                if (const auto writer = lastingWriter(old.get()))
                    failCreate(path, DescribeWriter(*writer) + " It was left as it is.");
            }
            catchUp(old.get(), temp->fd(), copied, skipLf);
            struct stat ours
            {};
            if (::fstat(temp->fd(), &ours) != 0)
                throw std::system_error(errno, std::generic_category());
            // Another program could still put a file in the log's place before the rename:
            // exchanging the two names tells, and puts that file back.
            if (exchange && ::renameat2(AT_FDCWD, temp->path().c_str(), AT_FDCWD, target.c_str(),
                                        RENAME_EXCHANGE) != 0) {
                if (!exchangeUnsupported(errno))
                    throw std::system_error(errno, std::generic_category());
                exchange = false;
            }
            if (exchange) {
                struct stat out
                {};
                if (::lstat(temp->path().c_str(), &out) != 0 || !sameInode(out, expected)) {
                    if (::renameat2(AT_FDCWD, temp->path().c_str(), AT_FDCWD, target.c_str(),
                                    RENAME_EXCHANGE) != 0)
                        throw LogRewrittenError(
                            "The log " + path +
                            " was rewritten, but another program had just put a file in its "
                            "place; that file is now " +
                            temp->path());
                    fail("Another program put a file in the log's place; it was left as it is.");
                }
            } else {
                // Without the exchange, a file put in the log's place between this look and the
                // rename would be replaced.
                if (::lstat(target.c_str(), &now) != 0 || !sameInode(now, expected))
                    fail(ReplacedText);
                if (::rename(temp->path().c_str(), target.c_str()) != 0)
                    throw std::system_error(errno, std::generic_category());
            }
            // The new content is the log now; the old file stands at the temporary name.
            const std::string outPath = exchange ? temp->path() : std::string();
            FileDescriptor current = temp->takeDescriptor();
            const auto removeOld = [&] {
                struct stat named
                {};
                struct stat held
                {};
                if (!outPath.empty() && ::lstat(outPath.c_str(), &named) == 0 &&
                    ::fstat(old.get(), &held) == 0 && sameInode(named, held))
                    ::unlink(outPath.c_str());
            };
            // A failure from here on leaves the log rewritten; say so.
            try {
                waitForWriters(old.get());
                if (::fstat(old.get(), &st) != 0)
                    throw std::system_error(errno, std::generic_category());
                if (static_cast<std::uint64_t>(st.st_size) > copied && round < 4) {
                    auto next = std::make_unique<TempFile>(folder, logName);
                    if (const std::string why = copyAttributes(current.get(), next->fd(), ours);
                        !why.empty())
                        throw QeltError(why);
                    // Ours first, then the old file's late lines, then what writers have
                    // appended to the new one since.
                    const auto head = static_cast<std::uint64_t>(ours.st_size);
                    copyAppended(current.get(), next->fd(), 0, head, false);
                    catchUp(old.get(), next->fd(), copied, skipLf);
                    removeOld();
                    old = std::move(current);
                    copied = head;
                    skipLf = false;
                    catchUp(old.get(), next->fd(), copied, skipLf);
                    if (::fsync(next->fd()) != 0)
                        throw std::system_error(errno, std::generic_category());
                    expected = ours;
                    temp = std::move(next);
                    continue;
                }
                if (static_cast<std::uint64_t>(st.st_size) > copied) {
                    // Still more after several rounds: keep them at the end rather than lose them.
                    const int flags = ::fcntl(current.get(), F_GETFL);
                    if (flags < 0 || ::fcntl(current.get(), F_SETFL, flags | O_APPEND) != 0)
                        throw std::system_error(errno, std::generic_category());
                    catchUp(old.get(), current.get(), copied, skipLf);
                }
                removeOld();
                if (::fsync(current.get()) != 0)
                    throw std::system_error(errno, std::generic_category());
                if (current.close() != 0)
                    throw std::system_error(errno, std::generic_category());
                FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                if (dir.get() >= 0 && ::fsync(dir.get()) != 0 && errno != EINVAL)
                    throw std::system_error(errno, std::generic_category());
            } catch (const std::system_error& e) {
                removeOld();
                throw LogRewrittenError(
                    "The log " + path +
                    " was rewritten, but its last step failed: " + errnoText(e.code().value()));
            } catch (const LogRewrittenError&) {
                throw;
            } catch (const std::exception& e) {
                removeOld();
                throw LogRewrittenError("The log " + path +
                                        " was rewritten, but its last step failed: " + e.what());
            }
            break;
        }
    } catch (const std::system_error& e) {
        if (round == 0)
            failCreate(path, errnoText(e.code().value()));
        throw LogRewrittenError("The log " + path +
                                " was rewritten, but lines appended meanwhile could not be put in "
                                "their place: " +
                                errnoText(e.code().value()));
    }
    return true;
}

} // namespace

bool RewriteLogFileFrom(const std::string& path, const LogSnapshot& snapshot, std::string_view text,
                        const KeptRangeProducer& produce, const BeforeReplace& beforeReplace,
                        const LogFile* mappedFrom)
{
    // Where the lines of `text` stop: a last line without a line end that the log also ended in
    // when it was read is carried over from the log as part of its bytes, not written from text.
    std::size_t clipAt = text.size();
    if (!snapshot.hasNul && snapshot.carryFrom < snapshot.identity.size) {
        const std::uint64_t openLength = snapshot.identity.size - snapshot.carryFrom;
        if (openLength <= text.size()) {
            const std::size_t start = text.size() - static_cast<std::size_t>(openLength);
            const std::size_t compare = std::min<std::size_t>(openLength, snapshot.tail.size());
            const bool atLineStart =
                start == 0 || text[start - 1] == '\r' || text[start - 1] == '\n';
            const std::string_view last = text.substr(start);
            if (atLineStart && last.find_first_of("\r\n") == std::string_view::npos &&
                last.substr(last.size() - compare) ==
                    std::string_view(snapshot.tail).substr(snapshot.tail.size() - compare))
                clipAt = start;
        }
    }
    return rewriteFrom(
        path, snapshot,
        [&](const std::function<void(Piece)>& sink) {
            return produce([&](TextRange range) {
                range.end = std::min(range.end, clipAt);
                if (range.begin < range.end)
                    sink({text.substr(range.begin, range.end - range.begin),
                          range.end == text.size()});
            });
        },
        beforeReplace,
        mappedFrom != nullptr && mappedFrom->isMapped() ? mappedFrom->bytes() : std::string_view());
}

bool RewriteLogFileFromPieces(const std::string& path, const LogSnapshot& snapshot,
                              const PieceProducer& produce)
{
    return rewriteFrom(path, snapshot,
                       [&](const std::function<void(Piece)>& sink) {
                           return produce([&](std::string_view bytes) {
                               if (!bytes.empty())
                                   sink({bytes, true});
                           });
                       },
                       {});
}

} // namespace qelt
