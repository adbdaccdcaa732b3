#pragma once

// The index of a log file: its users, in order of first appearance, and the hosts each of them
// reached, with the connection kind of the first line that produced the pair; and the two-level
// tree the viewer shows from it.
//
//   auto file = std::make_shared<const qelt::LogFile>(path);
//   StatusBarSink sink;                                    // a ProgressSink of the caller
//   const qelt::LogIndex index = qelt::BuildLogIndex(file, &sink);
//   const qelt::LogTree tree = qelt::MakeLogTree(index);
//   for (const qelt::TreeUser& user : tree.users)
//       for (const qelt::TreeHost& host : tree.hostsOf(user)) ...
//
// The texts of the index and the tree are views into the text it was built from; built from a
// shared LogFile, the index (and a tree made from it) keeps that file alive. A log that grows is
// followed by indexing only what was appended (ExtendLogIndex).

#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace qelt {

// Every user keeps an identity of its own: ids count from 1 and never wrap.
using UserId = std::uint32_t;

// How many lines the index counted into a node, and where the first and the last of them start
// in the text it was built from (byte offsets, as RecordRow::line gives them).
using NodeLineCount = std::uint64_t;

struct UserEntry
{
    UserId id = 0;
    std::uint32_t hash = 0; // of the name, for the index's own lookups
    std::string_view name;  // the whole user text
    NodeLineCount lines = 0;
    ByteOffset firstLine = 0;
    ByteOffset lastLine = 0;
};

struct HostEntry
{
    UserId owner = 0;
    ConnectionKind kind = 0;
    std::string_view host; // the whole host text
    NodeLineCount lines = 0;
    ByteOffset firstLine = 0;
    ByteOffset lastLine = 0;
};

// The slots of the progress report.
enum StatusSlot : int
{
    AccountsSlot = 0, // "Total Accounts: %d"
    UserSlot = 1,     // "Found User: %s"
    HostSlot = 2      // "Found URL: %s"
};

// Where the build reports progress: three text slots and a pump. It is called only on the thread
// that runs BuildLogIndex.
class ProgressSink
{
public:
    virtual ~ProgressSink() = default;
    // Replaces the slot's text; an empty text clears it.
    virtual void ShowStatus(int slot, std::string_view text) = 0;
    // Lets the caller's window handle what is waiting, once.
    virtual void ProcessPending() = 0;
};

namespace detail {
// Memory of its own for a large list, which grows in place: never two copies at once.
void* GrowBlock(void* block, std::size_t oldBytes, std::size_t newBytes);
void FreeBlock(void* block, std::size_t bytes) noexcept;
// Gives the whole pages of [begin, end) of a block back to the system; they read as zeros then.
void DiscardPages(void* block, std::size_t capacityBytes, std::size_t begin,
                  std::size_t end) noexcept;
} // namespace detail

// A list of plain entries (the index holds millions of them) in memory that grows in place.
template <class T> class EntryList
{
public:
    EntryList() = default;
    ~EntryList() { detail::FreeBlock(m_data, m_capacity * sizeof(T)); }
    EntryList(const EntryList& other) { assign(other); }
    EntryList& operator=(const EntryList& other)
    {
        if (this != &other) {
            m_size = 0;
            assign(other);
        }
        return *this;
    }
    EntryList(EntryList&& other) noexcept { swap(other); }
    EntryList& operator=(EntryList&& other) noexcept
    {
        swap(other);
        return *this;
    }

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    T& operator[](std::size_t i) { return m_data[i]; }
    const T& operator[](std::size_t i) const { return m_data[i]; }
    T* begin() { return m_data; }
    T* end() { return m_data + m_size; }
    const T* begin() const { return m_data; }
    const T* end() const { return m_data + m_size; }
    T& back() { return m_data[m_size - 1]; }
    const T& back() const { return m_data[m_size - 1]; }
    void push_back(const T& value)
    {
        if (m_size == m_capacity)
            reserve(m_capacity < 256 ? 256 : m_capacity * 2);
        m_data[m_size++] = value;
    }
    void pop_back() { --m_size; }
    // Lets the memory of the entries before `n` go, for a list that is read once front to back:
    // they must not be read again.
    void discardBefore(std::size_t n) noexcept
    {
        detail::DiscardPages(m_data, m_capacity * sizeof(T), 0, n * sizeof(T));
    }
    void reserve(std::size_t capacity)
    {
        if (capacity <= m_capacity)
            return;
        m_data = static_cast<T*>(
            detail::GrowBlock(m_data, m_capacity * sizeof(T), capacity * sizeof(T)));
        m_capacity = capacity;
    }
    void swap(EntryList& other) noexcept
    {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
    }

private:
    void assign(const EntryList& other)
    {
        reserve(other.m_size);
        for (std::size_t i = 0; i < other.m_size; ++i)
            m_data[i] = other.m_data[i];
        m_size = other.m_size;
    }

    T* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

// What an index keeps to look its entries up, to follow a growing log.
struct IndexState;

struct LogIndex
{
    EntryList<UserEntry> users; // in order of first appearance
    EntryList<HostEntry> hosts; // of all users, in order of first appearance
    bool cancelled = false;     // the build was stopped: the lists hold what was found so far
    std::shared_ptr<const LogFile> source; // keeps the texts alive, when built from a file
    std::shared_ptr<IndexState> state;
};

struct IndexOptions
{
    // How many parts to index at once: 0 picks by the text's size and the machine's cores.
    unsigned threads = 0;
    // Texts shorter than this are indexed in one part when threads is 0.
    std::size_t minBytesPerThread = 16u << 20;
    // Checked every few megabytes; when set the build stops and returns what it has.
    const std::atomic<bool>* cancel = nullptr;
};

// Indexes the lines of text; a NUL ends the text, as it ends the text of a log. sink may be
// null. Indexed in one part, every new user and host is reported at once as it is found; in
// several parts, the progress is reported every few megabytes, and the final texts of the three
// slots are those that one part would leave.
LogIndex BuildLogIndex(std::string_view text, ProgressSink* sink, const IndexOptions& options = {});
LogIndex BuildLogIndex(std::shared_ptr<const LogFile> file, ProgressSink* sink,
                       const IndexOptions& options = {});

// Follows a log that grew: indexes only the bytes after those `index` was built from (a last line
// that had no line end yet is taken again with what was appended to it). `text` (or the file's
// bytes) must begin with the bytes the index was built from; the result equals BuildLogIndex of
// the whole of it, progress reports aside. The sink hears of the new users and hosts.
LogIndex ExtendLogIndex(LogIndex index, std::string_view text, ProgressSink* sink,
                        const IndexOptions& options = {});
LogIndex ExtendLogIndex(LogIndex index, std::shared_ptr<const LogFile> file, ProgressSink* sink,
                        const IndexOptions& options = {});

// ---- The tree the index describes.

struct TreeHost
{
    std::string_view text;
    IconIndex icon = 0; // the host's ConnectionKind
    NodeLineCount lines = 0;
    ByteOffset firstLine = 0;
    ByteOffset lastLine = 0;
};

struct TreeUser
{
    std::string_view text;
    IconIndex icon = UserNodeIcon;
    std::size_t firstHost = 0; // into LogTree::hosts
    std::size_t hostCount = 0;
    NodeLineCount lines = 0;
    ByteOffset firstLine = 0;
    ByteOffset lastLine = 0;
};

struct LogTree
{
    std::vector<TreeUser> users; // top-level nodes in order
    std::vector<TreeHost> hosts; // the children of users[0], then of users[1], ...
    std::shared_ptr<const LogFile> source;

    struct HostRange
    {
        const TreeHost* first;
        const TreeHost* last;
        const TreeHost* begin() const { return first; }
        const TreeHost* end() const { return last; }
        std::size_t size() const { return static_cast<std::size_t>(last - first); }
    };
    HostRange hostsOf(const TreeUser& user) const
    {
        const TreeHost* first = hosts.data() + user.firstHost;
        return {first, first + user.hostCount};
    }
};

LogTree MakeLogTree(const LogIndex& index);

// The hosts of the index in tree order, as positions in index.hosts: the hosts of users[0], then
// of users[1], ...; hostsStart[u] is where those of users[u] begin (one more at the end). For
// walking the tree of a large index without a copy of its entries.
struct HostOrder
{
    std::vector<std::uint32_t> hosts;
    std::vector<std::uint32_t> hostsStart;
};
HostOrder MakeHostOrder(const LogIndex& index);

} // namespace qelt
