#pragma once

// Reading a log file and splitting it into lines.
//
// A log file is read whole: a regular file is mapped once (read-only, private), a pipe is read in
// one go into memory, at most PipeReadLimit bytes. The path "-" reads standard input. A device
// is refused, and so is a FIFO that no program opens for writing within two seconds. Its text ends
// at the first NUL byte. Lines end at CR LF, a lone CR or a lone LF; a last line without a
// terminator is still a line, a terminator at the very end adds no empty line, and empty lines
// between terminators are lines.
//
//   const qelt::LogFile file("/var/log/proxy/log1.txt");   // throws QeltError when unreadable
//   for (std::string_view line : qelt::Lines(file.text()))
//       use(line);                                           // no per-line allocation
//   qelt::ForEachLine(file.text(), [](std::string_view line) { ... });
//   const std::size_t offset = line.data() - file.text().data(); // where the line starts
//
// The views stay valid for as long as the LogFile lives. Nothing is copied per line.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelt {

using ByteOffset = std::size_t;

// Who a file was when it was read, to notice later that it changed or was replaced.
struct FileIdentity
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtimeSeconds = 0;
    std::int64_t mtimeNanoseconds = 0;

    bool operator==(const FileIdentity& other) const;
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// The identity of the file at path now, or nothing when it cannot be stat'ed.
std::optional<FileIdentity> CurrentFileIdentity(const std::string& path);

// The path that stands for standard input, and the most bytes read from a pipe (which has no
// size to map): a longer input is refused rather than filling the memory.
inline constexpr const char* StandardInputPath = "-";
inline constexpr std::size_t PipeReadLimit = std::size_t(4) << 30;

class LogFile
{
public:
    // Reads the file; throws QeltError "Cannot open file <path>" when it cannot be opened or read.
    explicit LogFile(std::string path);
    ~LogFile();
    LogFile(LogFile&& other) noexcept;
    LogFile& operator=(LogFile&& other) noexcept;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    const std::string& path() const { return m_path; }
    // Every byte of the file as read, NULs and all.
    std::string_view bytes() const { return {m_data, m_size}; }
    // The text the lines come from: the bytes before the first NUL. Found on the first call
    // (one pass over the file), which any thread may make.
    std::string_view text() const;
    ByteOffset fileSize() const { return m_size; }
    // The file's identity when it was opened (size is the number of bytes read).
    const FileIdentity& identity() const { return m_identity; }
    bool isMapped() const { return m_mapped; }
    // True when another program cut the file short while it was mapped: the vanished part then
    // reads as NULs instead of killing the process, and what was read from it is not the log.
    bool wasCutShort() const;
    // Throws QeltError "Cannot open file <path>" with the reason when wasCutShort().
    void checkNotCutShort() const;

private:
    void release() noexcept;

    std::string m_path;
    const char* m_data = nullptr;
    std::size_t m_size = 0;
    mutable std::size_t m_textSize = 0;
    std::unique_ptr<std::once_flag> m_textFound = std::make_unique<std::once_flag>();
    bool m_mapped = false;
    struct FreeMemory
    {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, FreeMemory> m_buffer; // when the file could not be mapped
    FileIdentity m_identity;
    int m_guard = -1; // the bus error guard's slot of the mapping, or -1
};

// The bytes of data before the first NUL.
std::string_view CutAtNul(std::string_view data);

// The first CR or LF in [p, end), or end.
const char* FindLineEnd(const char* p, const char* end);
// The first CR, LF or NUL in [p, end), or end: for scans over a file's bytes that stop at a NUL
// themselves instead of waiting for text().
const char* FindLineEndOrNul(const char* p, const char* end);

// The number of bytes of the line terminator at p: 2 for CR LF, 1 for a lone CR or LF, 0 at end.
inline std::size_t TerminatorLength(const char* p, const char* end)
{
    if (p >= end)
        return 0;
    return (*p == '\r' && p + 1 < end && p[1] == '\n') ? 2 : 1;
}

// The lines of a text as a range of views:  for (std::string_view line : Lines(text)).
class Lines
{
public:
    class iterator
    {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = const std::string_view*;
        using reference = const std::string_view&;

        iterator() = default;
        iterator(const char* p, const char* end) : m_end(end) { load(p); }

        reference operator*() const { return m_line; }
        pointer operator->() const { return &m_line; }
        iterator& operator++()
        {
            load(m_next);
            return *this;
        }
        iterator operator++(int)
        {
            iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const iterator& other) const
        {
            return m_line.data() == other.m_line.data();
        }
        bool operator!=(const iterator& other) const { return !(*this == other); }

    private:
        void load(const char* p)
        {
            if (!p || p >= m_end) {
                m_line = std::string_view();
                m_next = nullptr;
                return;
            }
            const char* lineEnd = FindLineEnd(p, m_end);
            m_line = std::string_view(p, static_cast<std::size_t>(lineEnd - p));
            m_next = lineEnd + TerminatorLength(lineEnd, m_end);
        }

        const char* m_end = nullptr;
        const char* m_next = nullptr;
        std::string_view m_line; // data() == nullptr marks the end
    };

    explicit Lines(std::string_view text) : m_text(text) {}
    iterator begin() const { return iterator(m_text.data(), m_text.data() + m_text.size()); }
    iterator end() const { return iterator(); }

private:
    std::string_view m_text;
};

// Calls f(line) for every line of text, in order.
template <class F> void ForEachLine(std::string_view text, F&& f)
{
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* lineEnd = FindLineEnd(p, end);
        f(std::string_view(p, static_cast<std::size_t>(lineEnd - p)));
        p = lineEnd + TerminatorLength(lineEnd, end);
    }
}

// Cuts text into about `parts` runs of whole lines (fewer when it has too few line ends), each
// ending right after an LF, so that each run splits into the same lines as it does in the whole.
std::vector<std::string_view> SplitAtLineEnds(std::string_view text, unsigned parts);

// How many runs a scan of a text of this many bytes is worth splitting into: one per core, but
// no run shorter than minBytesPerRun.
unsigned RunsForScan(std::size_t bytes, std::size_t minBytesPerRun = 16u << 20);

// Runs work(k) for every run k below count: run 0 on the calling thread, so that whatever it
// reports stays on that thread, the others on threads of their own. Waits for all of them, then
// rethrows the first error in run order.
void RunParts(std::size_t count, const std::function<void(std::size_t)>& work);

} // namespace qelt
