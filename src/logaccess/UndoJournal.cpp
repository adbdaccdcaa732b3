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
#include <future>
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
constexpr char Magic[8] = {'Q', 'E', 'L', 'T', 'U', 'N', 'D', '1'};
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
    std::uint64_t time = 0;
    std::string logPath;
    DeletionSubject subject;
    FileIdentity before;
    std::uint64_t oldTextSize = 0; // the bytes before the first NUL
    // The text as lines each ending with CR LF (a last line without a line end stays without
    // one): before the deletion, and as the deletion wrote it.
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

// The hash and size of a run of whole lines in the form above.
void hashNormalized(ContentHash& hash, std::string_view lines)
{
    forNormalized(lines, [&hash](std::string_view piece) { hash.update(piece); });
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

private:
    static constexpr std::size_t BufferSize = 1 << 20;

    void flush()
    {
        writeAll(m_buffer);
        m_buffer.clear();
    }
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

void writeHeader(EntryWriter& out, const EntryHeader& h)
{
    out.bytes(std::string_view(Magic, sizeof Magic));
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
    out.u64(h.oldSize);
    out.u64(h.oldHash);
    out.u64(h.newSize);
    out.u64(h.newHash);
    out.u64(h.removedLines);
    out.u64(h.removedBytes);
    out.u64(h.runCount);
}

EntryHeader readHeader(EntryReader& in)
{
    if (in.bytes(sizeof Magic) != std::string_view(Magic, sizeof Magic))
        throw std::runtime_error("magic");
    EntryHeader h;
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
    h.oldSize = in.u64();
    h.oldHash = in.u64();
    h.newSize = in.u64();
    h.newHash = in.u64();
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
};

DeletionRecord describeDeletion(const LogFile& file, const LogSnapshot& snapshot,
                                std::string_view fullText, const KeptText& kept,
                                const DeletionSubject& subject)
{
    // A last line without a line end may still be being written: the rewrite carries it over
    // from the log whether or not the deletion chose it, so it is neither removed nor recorded.
    const std::string_view text =
        fullText.substr(0, std::min<std::uint64_t>(snapshot.carryFrom, fullText.size()));
    DeletionRecord record;
    EntryHeader& h = record.header;
    h.time = static_cast<std::uint64_t>(std::time(nullptr));
    h.logPath = resolvedLogPath(file.path());
    h.subject = subject;
    h.before = file.identity();
    h.oldTextSize = text.size();

    // The text before the deletion on a thread of its own, the kept lines on this one.
    auto oldHash = std::async(std::launch::async, [text] {
        ContentHash hash;
        hashNormalized(hash, text);
        return std::make_pair(hash.value(), hash.size());
    });
    try {
        ContentHash newHash;
        ByteOffset at = 0;
        const auto gap = [&](ByteOffset begin, ByteOffset end) {
            RemovedRun run;
            run.newOffset = newHash.size();
            run.begin = begin;
            run.end = end;
            run.bytes = normalizedSize(text.substr(begin, end - begin), &run.lines);
            h.removedLines += run.lines;
            h.removedBytes += run.bytes;
            record.runs.push_back(run);
        };
        for (TextRange range : kept.ranges) {
            range.end = std::min(range.end, text.size());
            if (range.begin >= range.end)
                break;
            if (range.begin > at)
                gap(at, range.begin);
            hashNormalized(newHash, text.substr(range.begin, range.end - range.begin));
            at = range.end;
        }
        if (at < text.size())
            gap(at, text.size());
        h.newHash = newHash.value();
        h.newSize = newHash.size();
    } catch (...) {
        oldHash.wait();
        throw;
    }
    const auto [hash, size] = oldHash.get();
    h.oldHash = hash;
    h.oldSize = size;
    h.runCount = record.runs.size();
    return record;
}

std::uint64_t entrySizeEstimate(const DeletionRecord& record)
{
    const EntryHeader& h = record.header;
    return 256 + h.logPath.size() + h.subject.user.size() + h.subject.host.size() + h.removedBytes +
           h.runCount * 24;
}

// Writes the entry and returns its file; throws QeltError (deletion refused) on any failure.
EntryFile writeEntry(const UndoJournal& journal, const LogFile& file, std::string_view text,
                     const DeletionRecord& record)
{
    const std::string& logPath = record.header.logPath;
    const std::uint64_t needed = entrySizeEstimate(record);
    if (needed > journal.sizeLimit())
        refuseDeletion(file.path(),
                       "the removed lines take " + withThousands(record.header.removedBytes) +
                           " bytes, more than its limit of " + withThousands(journal.sizeLimit()) +
                           " bytes (UndoJournalMB in config.ini)");
    EntryFile entry;
    std::string tempPath;
    try {
        // Room for the new entry first, so that a full journal never stops a deletion.
        prune(journal.folder(), journal.sizeLimit() - needed);
        entry.folder = logFolderFor(journal.folder(), logPath);
        makeFolder(entry.folder);
        entry.sequence = nextSequence(journal.folder());
        entry.path = entry.folder + "/" + hex16(entry.sequence) + EntrySuffix;
        tempPath = entry.folder + "/.new-XXXXXX";
        FileDescriptor fd(::mkostemp(tempPath.data(), O_CLOEXEC));
        if (fd.get() < 0) {
            tempPath.clear();
            throw std::system_error(errno, std::generic_category());
        }
        EntryWriter out(fd.get());
        writeHeader(out, record.header);
        for (const RemovedRun& run : record.runs)
            forNormalized(text.substr(run.begin, run.end - run.begin),
                          [&out](std::string_view piece) { out.bytes(piece); });
        for (const RemovedRun& run : record.runs) {
            out.u64(run.newOffset);
            out.u64(run.lines);
            out.u64(run.bytes);
        }
        out.finish();
        if (::fsync(fd.get()) != 0 || fd.close() != 0)
            throw std::system_error(errno, std::generic_category());
        // renameat, not rename: tools that watch or steer a rewrite's rename of the log (the
        // fault tests preload one) must not take the journal's for it.
        if (::renameat(AT_FDCWD, tempPath.c_str(), AT_FDCWD, entry.path.c_str()) != 0)
            throw std::system_error(errno, std::generic_category());
        tempPath.clear();
        syncFolder(entry.folder);
        struct stat st
        {};
        if (::stat(entry.path.c_str(), &st) == 0)
            entry.size = static_cast<std::uint64_t>(st.st_size);
    } catch (const std::system_error& error) {
        if (!tempPath.empty())
            ::unlink(tempPath.c_str());
        refuseDeletion(file.path(), journal.folder() + ": " + errnoText(error.code().value()));
    }
    return entry;
}

JournalEntry recordAndRewrite(const UndoJournal& journal, const LogFile& file,
                              std::string_view text, const DeletionRecord& record,
                              const std::function<void()>& rewrite)
{
    const EntryFile written = writeEntry(journal, file, text, record);
    try {
        rewrite();
    } catch (const LogRewrittenError&) {
        // The new log is in place: the record stays, so that the deletion can be undone.
        throw;
    } catch (...) {
        // The log keeps its lines, so there is nothing to undo.
        removeEntry(written.path);
        throw;
    }
    return entryFromHeader(record.header, written);
}

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

// A buffer of any size that is not cleared first.
struct RawBuffer
{
    explicit RawBuffer(std::size_t n) : data(new char[n == 0 ? 1 : n]), size(n) {}
    std::unique_ptr<char[]> data;
    std::size_t size;
    std::string_view view() const { return {data.get(), size}; }
};

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
            if (prefixHashes(bytes, h.oldSize, h.oldHash)) {
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
        RawBuffer restored(keptEnd + static_cast<std::size_t>(h.removedBytes));
        std::size_t out = 0;
        std::size_t from = 0;
        std::size_t payload = entry.payload;
        for (const RemovedRun& run : entry.runs) {
            if (run.newOffset < from || run.newOffset > keptEnd)
                throw refuse("The journal's record of the deletion (" + file.path +
                             ") does not fit the log; the log was left as it is.");
            const auto upTo = static_cast<std::size_t>(run.newOffset);
            std::memcpy(restored.data.get() + out, bytes.data() + from, upTo - from);
            out += upTo - from;
            from = upTo;
            std::memcpy(restored.data.get() + out, entry.data.data() + payload,
                        static_cast<std::size_t>(run.bytes));
            out += static_cast<std::size_t>(run.bytes);
            payload += static_cast<std::size_t>(run.bytes);
        }
        std::memcpy(restored.data.get() + out, bytes.data() + from, keptEnd - from);
        // What goes back must be the text the deletion read, line for line.
        ContentHash check;
        check.update(restored.view());
        check.update(bytes.substr(keptEnd, newSize - keptEnd));
        if (check.value() != h.oldHash || check.size() != h.oldSize)
            throw refuse("The journal's record of the deletion (" + file.path +
                         ") does not give back the log as it was; the log was left as it is.");
        // Everything after the kept lines is carried over as the rewrite carries over lines
        // appended to a log.
        const LogSnapshot snapshot = TakeLogSnapshot(log.identity(), bytes.substr(0, keptEnd));
        try {
            RewriteLogFile(resolved, snapshot, restored.view(), {TextRange{0, restored.size}});
        } catch (const LogRewrittenError&) {
            // The lines are back; only the flush after the exchange failed.
            removeEntry(file.path);
            throw;
        }
        removeEntry(file.path);
        UndoneDeletion done;
        done.entry = entryFromHeader(h, file);
        done.restoredLines = h.removedLines;
        return done;
    }
    throw refuse("There is no recorded deletion to undo.");
}

JournalEntry CommitDeletion(const UndoJournal& journal, const LogFile& file,
                            const LogSnapshot& snapshot, std::string_view text,
                            const KeptText& kept, const DeletionSubject& subject)
{
    if (kept.cancelled || kept.removedLines == 0)
        return {};
    const DeletionRecord record = describeDeletion(file, snapshot, text, kept, subject);
    // Only a last line that is still being written was chosen, and that one stays.
    if (record.runs.empty())
        return {};
    std::optional<JournalLock> lock;
    try {
        lock.emplace(journal.folder());
    } catch (const std::system_error& error) {
        refuseDeletion(file.path(), journal.folder() + ": " + errnoText(error.code().value()));
    }
    return recordAndRewrite(journal, file, text, record,
                            [&] { RewriteLogFile(file.path(), snapshot, text, kept.ranges); });
}

bool CommitDeletionFrom(const UndoJournal& journal, const LogFile& file,
                        const LogSnapshot& snapshot, std::string_view text,
                        const DeletionSubject& subject, const KeptTextProducer& produce,
                        JournalEntry* entry)
{
    std::optional<JournalLock> lock;
    try {
        lock.emplace(journal.folder());
    } catch (const std::system_error& error) {
        refuseDeletion(file.path(), journal.folder() + ": " + errnoText(error.code().value()));
    }
    std::optional<EntryFile> written;
    JournalEntry result;
    bool done = false;
    try {
        done = RewriteLogFileFrom(file.path(), snapshot, text, [&](const KeptRangeSink& sink) {
            const KeptText kept = produce(sink);
            if (kept.cancelled || kept.removedLines == 0)
                return false;
            // Before the new log replaces the old one.
            const DeletionRecord record = describeDeletion(file, snapshot, text, kept, subject);
            if (record.runs.empty())
                return false;
            written = writeEntry(journal, file, text, record);
            result = entryFromHeader(record.header, *written);
            return true;
        });
    } catch (const LogRewrittenError&) {
        throw;
    } catch (...) {
        if (written)
            removeEntry(written->path);
        throw;
    }
    if (done && entry != nullptr)
        *entry = result;
    return done;
}

} // namespace qelt
