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
// The user texts of the index and the tree are views into the text it was built from; built from
// a shared LogFile, the index (and a tree made from it) keeps that file alive. The host texts are
// views into the index's own packed copies, which it and its trees keep alive.

#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
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
    std::string_view name; // the whole user text
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

struct LogIndex
{
    std::vector<UserEntry> users; // in order of first appearance
    std::vector<HostEntry> hosts; // of all users, in order of first appearance
    bool cancelled = false;       // the build was stopped: the lists hold what was found so far
    std::shared_ptr<const LogFile> source; // keeps the user texts alive, when built from a file
    std::shared_ptr<const void> storage;   // keeps the host texts alive
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
    std::shared_ptr<const void> storage;

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

} // namespace qelt
