#include "UndoJournal.h"

#include "ContentHash.h"
#include "Deletion.h"
#include "common/FileDescriptor.h"
#include "common/QeltError.h"
#include "settings/IniFile.h"
#include "settings/Settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qelt {

namespace {

// An entry's file: the header, the removed runs' bytes one after the other (every line with
// CR LF), the runs' places, and a hash of everything before it. Numbers in this machine's byte
// order: the journal never leaves it.
//
// Version 2 (written now) goes out in the order a deletion learns its parts: the header and the
// removed bytes once the search is done, then the runs' places and the size and hash of the new
// log once that is written. Version 1 held those and a hash of the whole text before the deletion
// in its header; its entries are still undone, with that hash checked too.
constexpr char MagicV1[8] = {'Q', 'E', 'L', 'T', 'U', 'N', 'D', '1'};
constexpr char MagicV2[8] = {'Q', 'E', 'L', 'T', 'U', 'N', 'D', '2'};
constexpr const char* EntrySuffix = ".undo";

// Where a run of removed lines goes back: at newOffset of the log as the deletion wrote it.
struct RemovedRun
{
    std::uint64_t newOffset = 0;
    std::uint64_t lines = 0;
    std::uint64_t bytes = 0; // with every line end CR LF
    ByteOffset begin = 0;    // in the text the deletion read
    ByteOffset end = 0;
};

// Everything an entry holds besides the removed bytes.
struct EntryHeader
{
    int version = 2;
    std::uint64_t time = 0;
    std::string logPath;
    DeletionSubject subject;
    FileIdentity before;
    std::uint64_t oldTextSize = 0; // the bytes before the first NUL
    // The text as lines each ending with CR LF (a last line without a line end stays without
    // one): before the deletion (its hash only in version 1), and as the deletion wrote it (in
    // version 2 after the runs, so not read with the header alone).
    std::uint64_t oldSize = 0;
    std::uint64_t oldHash = 0;
    std::uint64_t newSize = 0;
    std::uint64_t newHash = 0;
    std::uint64_t removedLines = 0;
    std::uint64_t removedBytes = 0;
    std::uint64_t runCount = 0;
};

std::string errnoText(int error)
{
    return std::strerror(error);
}

// Calls out(piece) with the bytes of a run of whole lines as a rewrite writes them: every line
// end CR LF, except that a last line without a line end gets none.
template <class Out> void forNormalized(std::string_view lines, Out&& out)
{
    constexpr std::size_t Piece = 256 * 1024;
    std::string buffer;
    std::size_t start = 0;
    while (start < lines.size()) {
        std::size_t size = std::min(Piece, lines.size() - start);
        if (start + size < lines.size()) {
            // Cut after an LF (a CR LF stays whole), or take the rest when there is none.
            const std::string_view rest = lines.substr(start, size);
            const std::size_t lf = rest.rfind('\n');
            size = lf == std::string_view::npos ? lines.size() - start : lf + 1;
        }
        const std::string_view piece = lines.substr(start, size);
        start += size;
        if (!HasLoneLineEnds(piece)) {
            out(piece);
            continue;
        }
        buffer.clear();
        std::size_t p = 0;
        while (p < piece.size()) {
            const char* lineEnd = FindLineEnd(piece.data() + p, piece.data() + piece.size());
            const auto end = static_cast<std::size_t>(lineEnd - piece.data());
            buffer.append(piece.data() + p, end - p);
            if (end == piece.size())
                break; // a last line without a line end
            buffer += "\r\n";
            p = end + TerminatorLength(lineEnd, piece.data() + piece.size());
        }
        out(std::string_view(buffer));
    }
}

std::uint64_t normalizedSize(std::string_view lines, LineCount* lineCount)
{
    const LineEndCounts counts = CountLineEnds(lines);
    const bool open = !lines.empty() && lines.back() != '\n' && lines.back() != '\r';
    if (lineCount != nullptr)
        *lineCount = counts.lineEnds + (open ? 1 : 0);
    return lines.size() + counts.loneEnds;
}

// ---- Reading and writing entries.

class EntryWriter
{
public:
    explicit EntryWriter(int fd) : m_fd(fd) { m_buffer.reserve(BufferSize); }

    void bytes(std::string_view data)
    {
        m_hash.update(data);
        if (m_buffer.size() + data.size() > BufferSize)
            flush();
        if (data.size() >= BufferSize) {
            writeAll(data);
            return;
        }
        m_buffer.append(data);
    }
    void u64(std::uint64_t value) { bytes(std::string_view(reinterpret_cast<char*>(&value), 8)); }
    void text(std::string_view value)
    {
        u64(value.size());
        bytes(value);
    }
    void finish()
    {
        const std::uint64_t sum = m_hash.value();
        m_buffer.append(reinterpret_cast<const char*>(&sum), 8);
        flush();
    }
    // Writes what is buffered.
    void flush()
    {
        writeAll(m_buffer);
        m_buffer.clear();
    }

private:
    static constexpr std::size_t BufferSize = 1 << 20;

    void writeAll(std::string_view data)
    {
        while (!data.empty()) {
            const ssize_t written = ::write(m_fd, data.data(), data.size());
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0)
                throw std::system_error(errno, std::generic_category());
            if (written == 0)
                throw std::system_error(EIO, std::generic_category());
            data.remove_prefix(static_cast<std::size_t>(written));
        }
    }

    int m_fd;
    std::string m_buffer;
    ContentHash m_hash;
};

class EntryReader
{
public:
    explicit EntryReader(std::string_view data) : m_data(data) {}

    std::string_view bytes(std::uint64_t size)
    {
        if (size > m_data.size() - m_at)
            throw std::runtime_error("short");
        const std::string_view out = m_data.substr(m_at, static_cast<std::size_t>(size));
        m_at += static_cast<std::size_t>(size);
        return out;
    }
    std::uint64_t u64()
    {
        std::uint64_t value;
        std::memcpy(&value, bytes(8).data(), 8);
        return value;
    }
    std::string text() { return std::string(bytes(u64())); }
    std::size_t at() const { return m_at; }

private:
    std::string_view m_data;
    std::size_t m_at = 0;
};

// The header of a version 2 entry.
void writeHeader(EntryWriter& out, const EntryHeader& h)
{
    out.bytes(std::string_view(MagicV2, sizeof MagicV2));
    out.u64(h.time);
    out.text(h.logPath);
    out.u64(static_cast<std::uint64_t>(h.subject.kind));
    out.text(h.subject.user);
    out.text(h.subject.host);
    out.u64(h.before.device);
    out.u64(h.before.inode);
    out.u64(h.before.size);
    out.u64(static_cast<std::uint64_t>(h.before.mtimeSeconds));
    out.u64(static_cast<std::uint64_t>(h.before.mtimeNanoseconds));
    out.u64(h.oldTextSize);
    out.u64(h.removedLines);
    out.u64(h.removedBytes);
    out.u64(h.runCount);
}

EntryHeader readHeader(EntryReader& in)
{
    const std::string_view magic = in.bytes(sizeof MagicV2);
    EntryHeader h;
    if (magic == std::string_view(MagicV1, sizeof MagicV1))
        h.version = 1;
    else if (magic != std::string_view(MagicV2, sizeof MagicV2))
        throw std::runtime_error("magic");
    h.time = in.u64();
    h.logPath = in.text();
    h.subject.kind = in.u64() == 1 ? DeletionSubject::Kind::Rows : DeletionSubject::Kind::Node;
    h.subject.user = in.text();
    h.subject.host = in.text();
    h.before.device = in.u64();
    h.before.inode = in.u64();
    h.before.size = in.u64();
    h.before.mtimeSeconds = static_cast<std::int64_t>(in.u64());
    h.before.mtimeNanoseconds = static_cast<std::int64_t>(in.u64());
    h.oldTextSize = in.u64();
    if (h.version == 1) {
        h.oldSize = in.u64();
        h.oldHash = in.u64();
        h.newSize = in.u64();
        h.newHash = in.u64();
    }
    h.removedLines = in.u64();
    h.removedBytes = in.u64();
    h.runCount = in.u64();
    return h;
}

// Reads at most limit bytes of a file (all of it when limit is 0).
bool readFile(const std::string& path, std::string& out, std::size_t limit = 0)
{
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    struct stat st
    {};
    if (::fstat(fd.get(), &st) != 0)
        return false;
    std::size_t size = static_cast<std::size_t>(st.st_size);
    if (limit != 0)
        size = std::min(size, limit);
    out.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd.get(), out.data() + done, size - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    out.resize(done);
    return true;
}

// ---- The journal's folders.

std::string hex16(std::uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// The log as the rewrite sees it: symbolic links followed, made absolute.
std::string resolvedLogPath(const std::string& path)
{
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        std::string out = resolved;
        std::free(resolved);
        return out;
    }
    if (!path.empty() && path[0] == '/')
        return path;
    std::string cwd(4096, '\0');
    if (::getcwd(cwd.data(), cwd.size()) == nullptr)
        return path;
    cwd.resize(std::strlen(cwd.c_str()));
    return cwd + "/" + path;
}

void makeFolder(const std::string& path)
{
    // Each level in turn; the journal holds the removed lines, so its folders are the user's own.
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string level = path.substr(0, slash);
        if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::system_error(errno, std::generic_category());
        if (slash == std::string::npos)
            break;
    }
}

void syncFolder(const std::string& path)
{
    FileDescriptor folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0)
        ::fsync(folder.get());
}

struct EntryFile
{
    std::string folder; // the log's folder in the journal
    std::string path;
    std::uint64_t sequence = 0;
    std::uint64_t size = 0;
};

std::vector<std::string> subfolders(const std::string& folder)
{
    std::vector<std::string> out;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return out;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() == 16 && name.find_first_not_of("0123456789abcdef") == std::string::npos)
            out.push_back(folder + "/" + name);
    }
    ::closedir(dir);
    return out;
}

std::vector<EntryFile> entryFiles(const std::string& logFolder)
{
    std::vector<EntryFile> out;
    DIR* dir = ::opendir(logFolder.c_str());
    if (dir == nullptr)
        return out;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const std::size_t suffix = std::strlen(EntrySuffix);
        if (name.size() != 16 + suffix || name.compare(16, suffix, EntrySuffix) != 0 ||
            name.find_first_not_of("0123456789abcdef") != 16)
            continue;
        EntryFile file;
        file.folder = logFolder;
        file.path = logFolder + "/" + name;
        file.sequence = std::strtoull(name.substr(0, 16).c_str(), nullptr, 16);
        struct stat st
        {};
        if (::stat(file.path.c_str(), &st) == 0)
            file.size = static_cast<std::uint64_t>(st.st_size);
        out.push_back(std::move(file));
    }
    ::closedir(dir);
    // Newest first.
    std::sort(out.begin(), out.end(),
              [](const EntryFile& a, const EntryFile& b) { return a.sequence > b.sequence; });
    return out;
}

std::string logFolderFor(const std::string& journal, const std::string& resolvedPath)
{
    return journal + "/" + hex16(HashBytes(resolvedPath));
}

// Holds the journal's lock, so that the window and qeltlog take turns.
class JournalLock
{
public:
    explicit JournalLock(const std::string& folder) : m_fd(openLockFile(folder))
    {
        if (m_fd.get() < 0)
            throw std::system_error(errno, std::generic_category());
        while (::flock(m_fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR)
                throw std::system_error(errno, std::generic_category());
        }
    }

private:
    static int openLockFile(const std::string& folder)
    {
        makeFolder(folder);
        return ::open((folder + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    }

    FileDescriptor m_fd;
};

void removeEntry(const std::string& path)
{
    ::unlink(path.c_str());
    syncFolder(path.substr(0, path.rfind('/')));
}

JournalEntry entryFromHeader(const EntryHeader& h, const EntryFile& file)
{
    JournalEntry entry;
    entry.sequence = file.sequence;
    entry.time = static_cast<std::time_t>(h.time);
    entry.logPath = h.logPath;
    entry.subject = h.subject;
    entry.removedLines = h.removedLines;
    entry.removedBytes = h.removedBytes;
    entry.before = h.before;
    entry.fileSize = file.size;
    entry.file = file.path;
    return entry;
}

bool readEntryHeader(const EntryFile& file, EntryHeader& header)
{
    // The header is small; the paths and texts in it are at most a few kilobytes.
    std::string data;
    if (!readFile(file.path, data, 1 << 20))
        return false;
    try {
        EntryReader in(data);
        header = readHeader(in);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Drops entries, oldest first, until the journal holds at most `limit` bytes: first those of a
// log beyond its last KeptPerLog, then any.
void prune(const std::string& journal, std::uint64_t limit)
{
    std::vector<EntryFile> all;
    std::vector<EntryFile> beyond;
    std::uint64_t used = 0;
    for (const std::string& folder : subfolders(journal)) {
        std::vector<EntryFile> files = entryFiles(folder);
        for (std::size_t i = 0; i < files.size(); ++i) {
            used += files[i].size;
            (i < UndoJournal::KeptPerLog ? all : beyond).push_back(files[i]);
        }
    }
    const auto oldestFirst = [](const EntryFile& a, const EntryFile& b) {
        return a.sequence < b.sequence;
    };
    std::sort(beyond.begin(), beyond.end(), oldestFirst);
    std::sort(all.begin(), all.end(), oldestFirst);
    for (const std::vector<EntryFile>* list : {&beyond, &all}) {
        for (const EntryFile& file : *list) {
            if (used <= limit)
                return;
            removeEntry(file.path);
            used -= std::min(used, file.size);
        }
    }
}

std::uint64_t nextSequence(const std::string& journal)
{
    std::uint64_t last = 0;
    for (const std::string& folder : subfolders(journal)) {
        const std::vector<EntryFile> files = entryFiles(folder);
        if (!files.empty())
            last = std::max(last, files.front().sequence);
    }
    return last + 1;
}

std::string withThousands(std::uint64_t n)
{
    std::string digits = std::to_string(n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<std::size_t>(i), ",");
    return digits;
}

[[noreturn]] void refuseDeletion(const std::string& path, const std::string& why)
{
    throw QeltError("Cannot create file " + path + "\nThe undo journal cannot be written: " + why +
                    ". Nothing was deleted.");
}

// What a deletion records, worked out from the text and the kept runs.
struct DeletionRecord
{
    EntryHeader header;
    std::vector<RemovedRun> runs;
    std::string_view text; // the lines the deletion may remove: the runs index them
};

// The header and the removed runs; the runs' places in the new log and its hash come from the
// rewrite (placeRuns).
DeletionRecord describeDeletion(const LogFile& file, const LogSnapshot& snapshot,
                                std::string_view fullText, const KeptText& kept,
                                const DeletionSubject& subject)
{
    // A last line without a line end may still be being written: the rewrite carries it over
    // from the log whether or not the deletion chose it, so it is neither removed nor recorded.
    const std::string_view text =
        fullText.substr(0, std::min<std::uint64_t>(snapshot.carryFrom, fullText.size()));
    DeletionRecord record;
    record.text = text;
    EntryHeader& h = record.header;
    h.time = static_cast<std::uint64_t>(std::time(nullptr));
    h.logPath = resolvedLogPath(file.path());
    h.subject = subject;
    h.before = file.identity();
    h.oldTextSize = text.size();
    ByteOffset at = 0;
    const auto gap = [&](ByteOffset begin, ByteOffset end) {
        RemovedRun run;
        run.begin = begin;
        run.end = end;
        run.bytes = normalizedSize(text.substr(begin, end - begin), &run.lines);
        h.removedLines += run.lines;
        h.removedBytes += run.bytes;
        record.runs.push_back(run);
    };
    // The removed lines lie all over the text: each is asked for a few runs ahead, from where
    // the kept run before it ends.
    constexpr std::size_t Ahead = 8;
    for (std::size_t i = 0; i < kept.ranges.size(); ++i) {
        if (i + Ahead < kept.ranges.size() && kept.ranges[i + Ahead].end < text.size())
            __builtin_prefetch(text.data() + kept.ranges[i + Ahead].end);
        TextRange range = kept.ranges[i];
        range.end = std::min(range.end, text.size());
        if (range.begin >= range.end)
            break;
        if (range.begin > at)
            gap(at, range.begin);
        at = range.end;
    }
    if (at < text.size())
        gap(at, text.size());
    h.runCount = record.runs.size();
    return record;
}

// Puts each removed run at its place in the new log as the rewrite wrote it: after the kept
// lines before it, each line ending with CR LF. Where every line end already was CR LF, the kept
// bytes went out as they stand. False when the kept lines do not come to what was written.
bool placeRuns(DeletionRecord& record, const WrittenText& written)
{
    const std::string_view text = record.text;
    std::uint64_t keptBefore = 0;
    ByteOffset at = 0;
    // The kept lines are the pieces the rewrite wrote: what it added to those before `end`.
    std::size_t widened = 0;
    const auto keep = [&](ByteOffset end) {
        keptBefore += end - at;
        for (;
             widened < written.widened.size() && written.widened[widened].end <= text.data() + end;
             ++widened)
            keptBefore += written.widened[widened].added;
    };
    for (RemovedRun& run : record.runs) {
        keep(run.begin);
        run.newOffset = keptBefore;
        at = run.end;
    }
    keep(text.size());
    if (keptBefore != written.size)
        return false;
    record.header.newSize = written.size;
    record.header.newHash = written.hash;
    record.header.oldSize = written.size + record.header.removedBytes;
    return true;
}

std::uint64_t entrySizeEstimate(const DeletionRecord& record)
{
    const EntryHeader& h = record.header;
    return 256 + h.logPath.size() + h.subject.user.size() + h.subject.host.size() + h.removedBytes +
           h.runCount * 24;
}

// A deletion's entry while the new log is written. It is made in two steps, so that its bytes
// go to disk while the rewrite still writes: start() writes the header and the removed lines to a
// temporary file, finish() the runs' places and the new log's hash, then flushes the entry and
// puts it in place. Any failure throws QeltError (the deletion is refused); an entry that is not
// finished is removed.
class PendingEntry
{
public:
    PendingEntry(const UndoJournal& journal, const LogFile& file, DeletionRecord record)
        : m_journal(journal), m_logPath(file.path()), m_record(std::move(record))
    {}
    ~PendingEntry()
    {
        if (!m_tempPath.empty())
            ::unlink(m_tempPath.c_str());
    }
    PendingEntry(const PendingEntry&) = delete;
    PendingEntry& operator=(const PendingEntry&) = delete;

    void start()
    {
        const EntryHeader& h = m_record.header;
        const std::uint64_t needed = entrySizeEstimate(m_record);
        if (needed > m_journal.sizeLimit())
            refuseDeletion(m_logPath, "the removed lines take " + withThousands(h.removedBytes) +
                                          " bytes, more than its limit of " +
                                          withThousands(m_journal.sizeLimit()) +
                                          " bytes (UndoJournalMB in config.ini)");
        guarded([&] {
            // Room for the new entry first, so that a full journal never stops a deletion.
            prune(m_journal.folder(), m_journal.sizeLimit() - needed);
            m_entry.folder = logFolderFor(m_journal.folder(), h.logPath);
            makeFolder(m_entry.folder);
            m_entry.sequence = nextSequence(m_journal.folder());
            m_entry.path = m_entry.folder + "/" + hex16(m_entry.sequence) + EntrySuffix;
            std::string tempPath = m_entry.folder + "/.new-XXXXXX";
            FileDescriptor fd(::mkostemp(tempPath.data(), O_CLOEXEC));
            if (fd.get() < 0)
                throw std::system_error(errno, std::generic_category());
            m_tempPath = std::move(tempPath);
            m_fd = std::move(fd);
            m_out = std::make_unique<EntryWriter>(m_fd.get());
            writeHeader(*m_out, h);
            const std::string_view text = m_record.text;
            const std::vector<RemovedRun>& runs = m_record.runs;
            // The removed lines lie all over the text: each is asked for a few runs ahead.
            constexpr std::size_t Ahead = 8;
            for (std::size_t i = 0; i < runs.size(); ++i) {
                if (i + Ahead < runs.size()) {
                    __builtin_prefetch(text.data() + runs[i + Ahead].begin);
                    __builtin_prefetch(text.data() + runs[i + Ahead].begin + 64);
                }
                forNormalized(text.substr(runs[i].begin, runs[i].end - runs[i].begin),
                              [this](std::string_view piece) { m_out->bytes(piece); });
            }
            m_out->flush();
            // The disk takes these bytes while the new log is still being written.
            ::sync_file_range(m_fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        });
    }

    EntryFile finish(const WrittenText& written)
    {
        if (!placeRuns(m_record, written))
            refuseDeletion(m_logPath, "the lines it would record do not fit the new log");
        guarded([&] {
            for (const RemovedRun& run : m_record.runs) {
                m_out->u64(run.newOffset);
                m_out->u64(run.lines);
                m_out->u64(run.bytes);
            }
            m_out->u64(m_record.header.newSize);
            m_out->u64(m_record.header.newHash);
            m_out->finish();
            if (::fsync(m_fd.get()) != 0 || m_fd.close() != 0)
                throw std::system_error(errno, std::generic_category());
            // renameat, not rename: tools that watch or steer a rewrite's rename of the log (the
            // fault tests preload one) must not take the journal's for it.
            if (::renameat(AT_FDCWD, m_tempPath.c_str(), AT_FDCWD, m_entry.path.c_str()) != 0)
                throw std::system_error(errno, std::generic_category());
            m_tempPath.clear();
            syncFolder(m_entry.folder);
            struct stat st
            {};
            if (::stat(m_entry.path.c_str(), &st) == 0)
                m_entry.size = static_cast<std::uint64_t>(st.st_size);
        });
        return m_entry;
    }

    const EntryHeader& header() const { return m_record.header; }

private:
    template <class F> void guarded(F&& f)
    {
        try {
            f();
        } catch (const std::system_error& error) {
            refuseDeletion(m_logPath, m_journal.folder() + ": " + errnoText(error.code().value()));
        }
    }

    const UndoJournal& m_journal;
    std::string m_logPath;
    DeletionRecord m_record;
    EntryFile m_entry;
    std::string m_tempPath;
    FileDescriptor m_fd;
    std::unique_ptr<EntryWriter> m_out;
};

// A whole entry, checked.
struct LoadedEntry
{
    EntryHeader header;
    std::string data;
    std::size_t payload = 0; // where the removed bytes start in data
    std::vector<RemovedRun> runs;
};

bool loadEntry(const EntryFile& file, LoadedEntry& entry)
{
    if (!readFile(file.path, entry.data) || entry.data.size() < 8)
        return false;
    try {
        const std::string_view all(entry.data);
        std::uint64_t sum;
        std::memcpy(&sum, all.data() + all.size() - 8, 8);
        if (HashBytes(all.substr(0, all.size() - 8)) != sum)
            return false;
        EntryReader in(all.substr(0, all.size() - 8));
        entry.header = readHeader(in);
        entry.payload = in.at();
        in.bytes(entry.header.removedBytes);
        std::uint64_t total = 0;
        for (std::uint64_t i = 0; i < entry.header.runCount; ++i) {
            RemovedRun run;
            run.newOffset = in.u64();
            run.lines = in.u64();
            run.bytes = in.u64();
            total += run.bytes;
            entry.runs.push_back(run);
        }
        if (entry.header.version >= 2) {
            entry.header.newSize = in.u64();
            entry.header.newHash = in.u64();
            entry.header.oldSize = entry.header.newSize + entry.header.removedBytes;
        }
        return total == entry.header.removedBytes;
    } catch (const std::exception&) {
        return false;
    }
}

bool prefixHashes(std::string_view bytes, std::uint64_t size, std::uint64_t hash)
{
    return bytes.size() >= size &&
           HashBytes(bytes.substr(0, static_cast<std::size_t>(size))) == hash;
}

// Whether the log begins with the text as it was before the deletion (an undo that stopped before
// it could drop its record put it back): the removed lines stand at their old places, and the
// bytes around them are the new log's, as its hash says.
bool holdsTextBefore(std::string_view bytes, const LoadedEntry& entry)
{
    const EntryHeader& h = entry.header;
    if (h.version == 1)
        return prefixHashes(bytes, h.oldSize, h.oldHash);
    if (bytes.size() < h.oldSize)
        return false;
    ContentHash kept;
    std::uint64_t at = 0;
    std::uint64_t removedBefore = 0;
    std::size_t payload = entry.payload;
    for (const RemovedRun& run : entry.runs) {
        const std::uint64_t old = run.newOffset + removedBefore;
        if (old < at || run.bytes > h.oldSize - old)
            return false;
        kept.update(bytes.substr(at, old - at));
        if (bytes.substr(old, run.bytes) != std::string_view(entry.data).substr(payload, run.bytes))
            return false;
        at = old + run.bytes;
        payload += run.bytes;
        removedBefore += run.bytes;
    }
    kept.update(bytes.substr(at, h.oldSize - at));
    return kept.size() == h.newSize && kept.value() == h.newHash;
}

} // namespace

std::string SubjectText(const DeletionSubject& subject)
{
    return subject.host.empty() ? subject.user : subject.user + " / " + subject.host;
}

UndoJournal::UndoJournal(std::string folder, std::uint64_t sizeLimit)
    : m_folder(std::move(folder)), m_sizeLimit(sizeLimit)
{
    while (m_folder.size() > 1 && m_folder.back() == '/')
        m_folder.pop_back();
}

std::string UndoJournal::DefaultFolder()
{
    std::string state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && xdg[0] == '/') {
        state = xdg;
    } else {
        const char* home = std::getenv("HOME");
        std::string homeDir = home != nullptr && home[0] == '/' ? home : "";
        if (homeDir.empty()) {
            if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir)
                homeDir = user->pw_dir;
        }
        state = homeDir + "/.local/state";
    }
    return state + "/qelt-viewer/undo";
}

UndoJournal UndoJournal::ForAppDir(const std::string& appDir)
{
    const IniFile ini(ConfigPath(appDir));
    const std::int32_t megabytes = ini.ReadInteger(
        LoggerSection, "UndoJournalMB", static_cast<std::int32_t>(DefaultSizeLimit >> 20));
    const std::uint64_t limit =
        megabytes > 0 ? static_cast<std::uint64_t>(megabytes) << 20 : DefaultSizeLimit;
    return UndoJournal(DefaultFolder(), limit);
}

std::vector<JournalEntry> UndoJournal::history(const std::string& logPath) const
{
    const std::string resolved = resolvedLogPath(logPath);
    std::vector<JournalEntry> out;
    for (const EntryFile& file : entryFiles(logFolderFor(m_folder, resolved))) {
        EntryHeader header;
        if (readEntryHeader(file, header) && header.logPath == resolved)
            out.push_back(entryFromHeader(header, file));
    }
    return out;
}

std::uint64_t UndoJournal::usedBytes() const
{
    std::uint64_t used = 0;
    for (const std::string& folder : subfolders(m_folder)) {
        for (const EntryFile& file : entryFiles(folder))
            used += file.size;
    }
    return used;
}

UndoneDeletion UndoJournal::undo(const std::string& logPath) const
{
    const std::string resolved = resolvedLogPath(logPath);
    const auto refuse = [&](const std::string& why) -> QeltError {
        return QeltError("Cannot undo the deletion in " + logPath + "\n" + why);
    };
    std::optional<JournalLock> lock;
    try {
        lock.emplace(m_folder);
    } catch (const std::system_error& error) {
        throw refuse("The undo journal cannot be opened: " + errnoText(error.code().value()));
    }
    for (const EntryFile& file : entryFiles(logFolderFor(m_folder, resolved))) {
        LoadedEntry entry;
        if (!loadEntry(file, entry))
            throw refuse("The journal's record of the last deletion (" + file.path +
                         ") is damaged; the log was left as it is.");
        if (entry.header.logPath != resolved)
            continue;
        const EntryHeader& h = entry.header;
        const std::optional<FileIdentity> now = CurrentFileIdentity(resolved);
        if (!now)
            throw QeltError("Cannot open file " + logPath);
        if (*now == h.before) {
            // The log is still the file the deletion read: the deletion never replaced it.
            removeEntry(file.path);
            continue;
        }
        const LogFile log(resolved);
        log.checkNotCutShort();
        const std::string_view bytes = log.bytes();
        if (!prefixHashes(bytes, h.newSize, h.newHash)) {
            if (holdsTextBefore(bytes, entry)) {
                // The lines are back already (an undo that stopped before it could drop this).
                removeEntry(file.path);
                continue;
            }
            throw refuse("The log has changed since the deletion of " +
                         withThousands(h.removedLines) + " lines of " + SubjectText(h.subject) +
                         " other than by lines added at its end; undoing it would lose those "
                         "changes, so the log was left as it is.");
        }
        // A last line without a line end (cut short by a NUL, or being written) stays where it
        // is, after the restored lines, with whatever follows it.
        const auto newSize = static_cast<std::size_t>(h.newSize);
        std::size_t keptEnd = newSize;
        if (newSize > 0 && bytes[newSize - 1] != '\n') {
            const std::size_t lf = bytes.substr(0, newSize).rfind('\n');
            keptEnd = lf == std::string_view::npos ? 0 : lf + 1;
        }
        // The runs must fit the kept lines, in order, before anything is written.
        std::size_t from = 0;
        for (const RemovedRun& run : entry.runs) {
            if (run.newOffset < from || run.newOffset > keptEnd)
                throw refuse("The journal's record of the deletion (" + file.path +
                             ") does not fit the log; the log was left as it is.");
            from = static_cast<std::size_t>(run.newOffset);
        }
        // The kept lines and the removed ones go to the new log straight from the log and the
        // entry, never put together in memory. What goes back must be the text the deletion read,
        // line for line: the kept bytes are the new log's, which its hash vouches for, and the
        // removed ones the entry's, which its own hash does. A version 1 entry also has the hash
        // of the text before the deletion, which the pieces are checked against on their way.
        // Everything after the kept lines is carried over as the rewrite carries over lines
        // appended to a log.
        const LogSnapshot snapshot = TakeLogSnapshot(log.identity(), bytes.substr(0, keptEnd));
        bool matches = true;
        try {
            RewriteLogFileFromPieces(resolved, snapshot, [&](const PieceSink& sink) {
                ContentHash check;
                const auto put = [&](std::string_view piece) {
                    if (h.version == 1)
                        check.update(piece);
                    sink(piece);
                };
                std::size_t at = 0;
                std::size_t payload = entry.payload;
                for (const RemovedRun& run : entry.runs) {
                    const auto upTo = static_cast<std::size_t>(run.newOffset);
                    put(bytes.substr(at, upTo - at));
                    at = upTo;
                    put(std::string_view(entry.data)
                            .substr(payload, static_cast<std::size_t>(run.bytes)));
                    payload += static_cast<std::size_t>(run.bytes);
                }
                put(bytes.substr(at, keptEnd - at));
                if (h.version == 1) {
                    check.update(bytes.substr(keptEnd, newSize - keptEnd));
                    matches = check.value() == h.oldHash && check.size() == h.oldSize;
                }
                return matches;
            });
        } catch (const LogRewrittenError&) {
            // The lines are back; only the flush after the exchange failed.
            removeEntry(file.path);
            throw;
        }
        if (!matches)
            throw refuse("The journal's record of the deletion (" + file.path +
                         ") does not give back the log as it was; the log was left as it is.");
        removeEntry(file.path);
        UndoneDeletion done;
        done.entry = entryFromHeader(h, file);
        done.restoredLines = h.removedLines;
        return done;
    }
    throw refuse("There is no recorded deletion to undo.");
}

namespace {

// A deletion: the search hands its kept runs to the rewrite as it finds them; once it is done the
// entry's first part goes to the journal while the rewrite still writes, and the rest of it is
// made durable together with the new log, before that takes the log's place.
// `release`: the old log's cached pages may go behind the copy (RewriteLogFileFrom), as nothing
// reads the text after the deletion.
bool commit(const UndoJournal& journal, const LogFile& file, const LogSnapshot& snapshot,
            std::string_view text, const DeletionSubject& subject, const KeptTextProducer& produce,
            JournalEntry* entry, bool release)
{
    std::optional<JournalLock> lock;
    try {
        lock.emplace(journal.folder());
    } catch (const std::system_error& error) {
        refuseDeletion(file.path(), journal.folder() + ": " + errnoText(error.code().value()));
    }
    std::unique_ptr<PendingEntry> pending;
    std::optional<EntryFile> written;
    try {
        const bool done = RewriteLogFileFrom(
            file.path(), snapshot, text,
            [&](const KeptRangeSink& sink) {
                const KeptText kept = produce(sink);
                if (kept.cancelled || kept.removedLines == 0)
                    return false;
                DeletionRecord record = describeDeletion(file, snapshot, text, kept, subject);
                // Only a last line that is still being written was chosen, and that one stays.
                if (record.runs.empty())
                    return false;
                pending = std::make_unique<PendingEntry>(journal, file, std::move(record));
                pending->start();
                return true;
            },
            [&](const WrittenText& newLog) { written = pending->finish(newLog); },
            release ? &file : nullptr);
        if (!done)
            return false;
    } catch (const LogRewrittenError&) {
        // The new log is in place: the record stays, so that the deletion can be undone.
        throw;
    } catch (...) {
        // The log keeps its lines, so there is nothing to undo.
        if (written)
            removeEntry(written->path);
        throw;
    }
    if (entry != nullptr)
        *entry = entryFromHeader(pending->header(), *written);
    return true;
}

} // namespace

JournalEntry CommitDeletion(const UndoJournal& journal, const LogFile& file,
                            const LogSnapshot& snapshot, std::string_view text,
                            const KeptText& kept, const DeletionSubject& subject)
{
    JournalEntry entry;
    if (kept.cancelled || kept.removedLines == 0)
        return entry;
    commit(
        journal, file, snapshot, text, subject,
        [&kept](const KeptRangeSink& sink) {
            for (const TextRange& range : kept.ranges)
                sink(range);
            return kept;
        },
        &entry, false);
    return entry;
}

bool CommitDeletionFrom(const UndoJournal& journal, const LogFile& file,
                        const LogSnapshot& snapshot, std::string_view text,
                        const DeletionSubject& subject, const KeptTextProducer& produce,
                        JournalEntry* entry)
{
    return commit(journal, file, snapshot, text, subject, produce, entry, true);
}

} // namespace qelt
