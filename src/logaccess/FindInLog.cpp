#include "logaccess/FindInLog.h"

#include "common/Bytes.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"
#include "logaccess/TextSearch.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qelt {

std::size_t LogMatches::userCount(std::string_view user) const
{
    const auto it = users.find(user);
    return it == users.end() ? 0 : it->second.count;
}

std::size_t LogMatches::hostCount(std::string_view user, std::string_view host) const
{
    const auto it = users.find(user);
    if (it == users.end())
        return 0;
    const auto h = it->second.hosts.find(host);
    return h == it->second.hosts.end() ? 0 : h->second;
}

bool UrlContainsNoCase(std::string_view line, std::string_view needle)
{
    return NoCaseFinder(needle).in(StripHttpVersion(ExtractRecordFields(line).rawUrl));
}

namespace {

// The text is read in blocks of whole lines of about this size; the lines of a block that hold
// the needle are read whole while they are still in the cache. The search looks for a NUL (which
// ends the text) as it goes.
constexpr std::size_t BlockBytes = 256u << 10;

// The end of the block of whole lines that starts at from: the end of the line that holds the
// byte BlockBytes further on, or the end of the run.
std::size_t blockEnd(std::string_view run, std::size_t from)
{
    if (run.size() - from <= BlockBytes)
        return run.size();
    const char* const end = run.data() + run.size();
    const char* lineEnd = FindLineEnd(run.data() + from + BlockBytes, end);
    return static_cast<std::size_t>(lineEnd - run.data()) + TerminatorLength(lineEnd, end);
}

constexpr std::uint32_t NoNode = std::numeric_limits<std::uint32_t>::max();

std::uint64_t mixHash(std::uint64_t h)
{
    h ^= h >> 31;
    h *= 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    return h;
}

// The users or the hosts one run of the search met, numbered in the order met, found again by a
// hash of their text (of a host: and of its user) by open addressing. The texts are copied side
// by side, so that comparing them does not read the log all over again.
class MetNodes
{
public:
    struct Node
    {
        std::string_view text; // in the searched text
        std::uint32_t owner = 0;
        ConnectionKind kind = 0; // of its first line
        std::size_t count = 0;   // of matching lines
        std::size_t first = 0;   // where its first line met starts
    };

    std::size_t size() const { return m_nodes.size(); }
    // Node n's text in the copies: the same bytes, close to the other nodes' texts.
    std::string_view copy(std::size_t n) const
    {
        return std::string_view(m_keys.data() + m_keyAt[n], m_keyAt[n + 1] - m_keyAt[n]);
    }
    Node& operator[](std::size_t n) { return m_nodes[n]; }
    const Node& operator[](std::size_t n) const { return m_nodes[n]; }

    // The number of the node text of owner, added as first met at `at` when it is new. bytes:
    // the same bytes as text, where they are quicker to read (text is the one the node keeps).
    std::uint32_t meet(std::uint32_t owner, std::string_view text, std::size_t at,
                       ConnectionKind kind)
    {
        return meet(owner, text, text, at, kind);
    }
    std::uint32_t meet(std::uint32_t owner, std::string_view text, std::string_view bytes,
                       std::size_t at, ConnectionKind kind)
    {
        return meet(owner, text, bytes, at, kind, hashOf(owner, bytes));
    }
    // The same, with hash = hashOf(owner, bytes).
    std::uint32_t meet(std::uint32_t owner, std::string_view text, std::string_view bytes,
                       std::size_t at, ConnectionKind kind, std::uint64_t hash)
    {
        if ((m_nodes.size() + 1) * 2 > m_slots.size())
            grow();
        std::size_t i = hash & m_mask;
        for (; m_slots[i].node != 0; i = (i + 1) & m_mask) {
            const Slot& slot = m_slots[i];
            if (slot.hash != hash)
                continue;
            const std::uint32_t n = slot.node - 1;
            if (m_nodes[n].owner == owner && SameText(copy(n), bytes))
                return n;
        }
        const auto n = static_cast<std::uint32_t>(m_nodes.size());
        m_slots[i] = Slot{hash, n + 1};
        m_nodes.push_back(Node{text, owner, kind, 0, at});
        m_keys.append(bytes);
        m_keyAt.push_back(m_keys.size());
        return n;
    }

    static std::uint64_t hashOf(std::uint32_t owner, std::string_view bytes)
    {
        return mixHash(HashBytes(bytes, 0x2545F4914F6CDD1Dull) + owner);
    }

    // A lookup of hash misses the cache three times over: at its slot, at its node and where
    // its copy starts, and at the copy. These ask for each in turn, each once the one before
    // has arrived (see FetchAhead); they change nothing.
    [[gnu::always_inline]] void fetchSlot(std::uint64_t hash) const
    {
        if (!m_slots.empty())
            __builtin_prefetch(&m_slots[hash & m_mask]);
    }
    [[gnu::always_inline]] void fetchNode(std::uint64_t hash) const
    {
        if (m_slots.empty())
            return;
        const Slot& slot = m_slots[hash & m_mask];
        if (slot.node != 0 && slot.hash == hash) {
            __builtin_prefetch(&m_nodes[slot.node - 1]);
            __builtin_prefetch(&m_keyAt[slot.node - 1]);
        }
    }
    [[gnu::always_inline]] void fetchCopy(std::uint64_t hash) const
    {
        if (m_slots.empty())
            return;
        const Slot& slot = m_slots[hash & m_mask];
        if (slot.node != 0 && slot.hash == hash)
            __builtin_prefetch(m_keys.data() + m_keyAt[slot.node - 1]);
    }

private:
    struct Slot
    {
        std::uint64_t hash = 0;
        std::uint32_t node = 0; // plus one; 0 is empty
    };

    void grow()
    {
        const std::vector<Slot> old = std::move(m_slots);
        const std::size_t size = old.empty() ? 1024 : old.size() * 2;
        m_slots.assign(size, Slot());
        m_mask = size - 1;
        for (const Slot& slot : old) {
            if (slot.node == 0)
                continue;
            std::size_t i = slot.hash & m_mask;
            while (m_slots[i].node != 0)
                i = (i + 1) & m_mask;
            m_slots[i] = slot;
        }
    }

    std::vector<Node> m_nodes;
    std::vector<Slot> m_slots;
    std::size_t m_mask = 0;
    std::string m_keys;
    std::vector<std::size_t> m_keyAt{0}; // node n's copy is [m_keyAt[n], m_keyAt[n + 1])
};

// Users met recently, by their names' length and first bytes: most lines name one of a few
// hundred users, and finding the name here spares hashing it whole and looking it up. A name
// found here must still be compared with the user's.
class RecentUsers
{
public:
    RecentUsers() { m_nodes.fill(NoNode); }
    std::uint32_t& at(std::string_view name) { return m_nodes[slot(name)]; }
    std::uint32_t at(std::string_view name) const { return m_nodes[slot(name)]; }

private:
    static constexpr std::size_t Size = 1024;
    static std::size_t slot(std::string_view name)
    {
        std::uint64_t first = 0;
        std::memcpy(&first, name.data(), std::min<std::size_t>(name.size(), 8));
        return static_cast<std::size_t>(mixHash(first * 0x9E3779B97F4A7C15ull + name.size()) &
                                        (Size - 1));
    }
    std::array<std::uint32_t, Size> m_nodes;
};

// Whole lines of the text that the search did not read, [from, to).
struct Unread
{
    std::size_t from;
    std::size_t to;
};

// What the search of one run of the text found: every node of the lines it read.
struct RunFound
{
    // The user whose text is `text`, from the users met recently, or NoNode.
    std::uint32_t knownUser(std::string_view text) const
    {
        const std::uint32_t node = recentUsers.at(text);
        return node != NoNode && SameText(users.copy(node), text) ? node : NoNode;
    }
    RecentUsers recentUsers;

    // Adds the lines [from, to) to those not read. Lines read between two parts not read count
    // as not read when they are few: the scan reads them again rather than step over them.
    void skipped(std::size_t from, std::size_t to)
    {
        constexpr std::size_t FewBytes = 256;
        if (from == to)
            return;
        if (!unread.empty() && from - unread.back().to < FewBytes)
            unread.back().to = to;
        else
            unread.push_back(Unread{from, to});
    }

    MetNodes users;
    MetNodes hosts; // their owners are numbers in users
    // The user of the latest line read, with its text there, and per user the text of the host
    // of its latest line and that host (NoNode until it is looked up).
    std::uint32_t user = NoNode;
    std::string_view userText;
    struct RecentHost
    {
        std::string_view text;
        std::uint32_t node = NoNode;
    };
    std::vector<RecentHost> recentHost;
    // The lines not read, in order (and some read): a node's first line is the first the
    // search met, or one of these before it.
    std::vector<Unread> unread;
    std::size_t lines = 0;
    bool cancelled = false;
    bool endedAtNul = false;
};

// A line of a block that holds the needle, read and waiting for its host to be looked up.
struct BlockHit
{
    std::size_t at;
    std::string_view host;
    std::uint64_t hash; // of the host and its user, as MetNodes::hashOf
    std::uint32_t user;
    ConnectionKind kind;
    bool matches;
    bool asBefore; // the host of the user's line before: no lookup (and no hash)
};

// The start of the line that holds the byte at `hit`: after the last line end before it, but
// never before `from`, a line start.
const char* lineStartOf(const char* from, const char* hit)
{
    const auto before = static_cast<std::size_t>(hit - from);
    const void* lf = ::memrchr(from, '\n', before);
    const char* start = lf ? static_cast<const char*>(lf) + 1 : from;
    const void* cr = ::memrchr(start, '\r', static_cast<std::size_t>(hit - start));
    return cr ? static_cast<const char*>(cr) + 1 : start;
}

// Looks up the hosts of a block's lines read.
void processHosts(RunFound& found, const std::vector<BlockHit>& hits)
{
    constexpr std::size_t NodeAhead = 4;
    constexpr std::size_t CopyAhead = 2;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        if (i + NodeAhead < hits.size() && !hits[i + NodeAhead].asBefore)
            found.hosts.fetchNode(hits[i + NodeAhead].hash);
        if (i + CopyAhead < hits.size() && !hits[i + CopyAhead].asBefore)
            found.hosts.fetchCopy(hits[i + CopyAhead].hash);
        const BlockHit& hit = hits[i];
        std::uint32_t& host = found.recentHost[hit.user].node;
        if (!hit.asBefore)
            host = found.hosts.meet(hit.user, hit.host, hit.host, hit.at, hit.kind, hit.hash);
        found.hosts[host].count += hit.matches ? 1 : 0;
    }
}

// Reads the lines of a block of whole lines in which the needle occurs: counts those whose URL
// holds it, and notes the nodes of all of them. The users are looked up as the lines are read
// (there are few), the hosts once the block has been read: by then their slots have arrived in
// the cache, and the rest of each lookup is asked for a few lines ahead.
void searchBlock(std::string_view block, std::size_t base, const NoCaseFinder& finder,
                 RunFound& found, std::vector<BlockHit>& hits)
{
    const char* const begin = block.data();
    const char* const end = begin + block.size();
    hits.clear();
    std::size_t pos = 0;
    while (pos < block.size()) {
        bool nul = false;
        const std::size_t hit = finder.findOrNul(block, pos, nul);
        if (hit == NoCaseFinder::npos)
            break;
        if (nul) {
            // The text ends here, its last line with it (which no node found has a first line
            // in: its first line is before a line found).
            found.endedAtNul = true;
            return processHosts(found, hits);
        }
        // The line around the hit: back to the end of the line before it, but never before pos,
        // which is always the start of a line.
        const char* lineStart = lineStartOf(begin + pos, begin + hit);
        found.skipped(base + pos, base + static_cast<std::size_t>(lineStart - begin));
        // Its end and index fields in one pass. The line ends at a NUL, and so does the text.
        const IndexLine scanned = ScanIndexLine(lineStart, end);
        const char* lineEnd = scanned.end;
        const std::string_view line(lineStart, static_cast<std::size_t>(lineEnd - lineStart));
        if (lineEnd < end && *lineEnd == '\0') {
            found.endedAtNul = true;
            pos = block.size();
        } else {
            pos = static_cast<std::size_t>(lineEnd - begin) + TerminatorLength(lineEnd, end);
        }
        // The hit may lie outside the URL, and the URL may hold a later one: look in the URL.
        const IndexFields& fields = scanned.fields;
        const bool matches = finder.in(StripHttpVersion(ExtractRawUrl(line, fields.hasKind)));
        found.lines += matches ? 1 : 0;
        if (!fields.qualifies || fields.user.empty())
            continue;
        const std::size_t at = base + static_cast<std::size_t>(lineStart - begin);
        // Lines of one user come in runs: the user of the line before is compared first.
        if (found.user == NoNode || !SameText(found.userText, fields.user)) {
            found.user = found.knownUser(fields.user);
            if (found.user == NoNode) {
                found.user = found.users.meet(0, fields.user, at, 0);
                found.recentUsers.at(fields.user) = found.user;
            }
            if (found.user == found.recentHost.size())
                found.recentHost.emplace_back();
        }
        found.userText = fields.user;
        found.users[found.user].count += matches ? 1 : 0;
        if (fields.host.empty())
            continue;
        // A user's requests come in runs to one host (a page and its images): the user's latest
        // host is compared first.
        std::string_view& recent = found.recentHost[found.user].text;
        const bool asBefore = SameText(recent, fields.host);
        recent = fields.host;
        std::uint64_t hash = 0;
        if (!asBefore) {
            hash = MetNodes::hashOf(found.user, fields.host);
            found.hosts.fetchSlot(hash);
        }
        hits.push_back(BlockHit{at, fields.host, hash, found.user, fields.kind, matches, asBefore});
    }
    found.skipped(base + pos, base + block.size());
    processHosts(found, hits);
}

void searchRun(std::string_view run, std::size_t base, const NoCaseFinder& finder, RunFound& found,
               const std::atomic<bool>* cancel)
{
    std::vector<BlockHit> hits;
    for (std::size_t from = 0; from < run.size();) {
        const std::size_t to = blockEnd(run, from);
        searchBlock(run.substr(from, to - from), base + from, finder, found, hits);
        if (found.endedAtNul)
            return;
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            found.cancelled = true;
            return;
        }
        from = to;
    }
}

// Adds what a later run found: a node's first line is in the first run that has it.
void merge(RunFound& into, const RunFound& later)
{
    into.lines += later.lines;
    into.cancelled = into.cancelled || later.cancelled;
    into.endedAtNul = later.endedAtNul;
    for (const Unread& part : later.unread)
        into.skipped(part.from, part.to);
    std::vector<std::uint32_t> userOf(later.users.size());
    for (std::size_t u = 0; u < later.users.size(); ++u) {
        const MetNodes::Node& user = later.users[u];
        userOf[u] = into.users.meet(0, user.text, later.users.copy(u), user.first, 0);
        into.users[userOf[u]].count += user.count;
    }
    for (std::size_t h = 0; h < later.hosts.size(); ++h) {
        const MetNodes::Node& host = later.hosts[h];
        const std::uint32_t n = into.hosts.meet(userOf[host.owner], host.text, later.hosts.copy(h),
                                                host.first, host.kind);
        into.hosts[n].count += host.count;
    }
}

// Searches the runs of text on their threads and merges what they met into the first.
RunFound SearchText(std::string_view text, const NoCaseFinder& finder, const FindOptions& options)
{
    if (finder.empty() || text.empty())
        return RunFound();
    const unsigned parts = options.threads != 0 ? options.threads : RunsForScan(text.size());
    const std::vector<std::string_view> runs = SplitAtLineEnds(text, parts);
    std::vector<RunFound> found(runs.size());
    RunParts(runs.size(), [&](std::size_t k) {
        searchRun(runs[k], static_cast<std::size_t>(runs[k].data() - text.data()), finder, found[k],
                  options.cancel);
    });
    RunFound& all = found[0];
    // The runs after the one that holds a NUL are not part of the text.
    for (std::size_t k = 1; k < found.size() && !all.endedAtNul; ++k)
        merge(all, found[k]);
    return std::move(all);
}

} // namespace

LogMatches FindInLog(std::string_view text, std::string_view needle, const FindOptions& options)
{
    LogMatches result;
    result.needle = std::string(needle);
    const RunFound all = SearchText(text, NoCaseFinder(needle), options);
    result.lines = all.lines;
    result.cancelled = all.cancelled;
    std::vector<UserMatches*> entryOf(all.users.size(), nullptr);
    for (std::size_t u = 0; u < all.users.size(); ++u) {
        const MetNodes::Node& user = all.users[u];
        if (user.count == 0)
            continue;
        UserMatches& entry = result.users[user.text];
        entry.count = user.count;
        entry.firstMet = FirstMet{user.first, 0};
        entryOf[u] = &entry;
    }
    for (std::size_t h = 0; h < all.hosts.size(); ++h) {
        const MetNodes::Node& host = all.hosts[h];
        if (host.count == 0)
            continue;
        UserMatches& entry = *entryOf[host.owner];
        entry.hosts.emplace(host.text, host.count);
        entry.hostsFirstMet.emplace(host.text, FirstMet{host.first, host.kind});
    }
    return result;
}

} // namespace qelt

namespace qelt {

namespace {

struct OrderNode
{
    std::string_view text; // in the searched text
    std::string_view copy; // the same bytes where they are quicker to read again
    std::size_t count = 0;
    std::size_t first = 0; // the earliest line of the node known so far
    ConnectionKind kind = 0;
    bool known = false;        // first is the node's first line in the text
    std::uint32_t owner = 0;   // of a host: its user
    std::uint32_t looking = 0; // of a user: how many of its hosts are looked for
};

// The nodes looked for by a 64-bit fingerprint of their texts (of a host: and of its user),
// by open addressing. No two of them share a fingerprint (the seed is changed until none do), so
// a line's node is looked for only if it is the one node with the line's fingerprint: only
// then, and only when that node's line would be an earlier one, are the texts compared. A node's
// text is kept in a block of the table's own, close to the others.
class NodeTable
{
public:
    std::uint64_t fingerprint(std::string_view text, std::uint32_t owner) const
    {
        return mixHash(HashBytes(text, m_seed) + owner);
    }

    // Places the nodes keys[i] (owners[i]), numbered i.
    void build(const std::vector<std::string_view>& keys, const std::vector<std::uint32_t>& owners)
    {
        std::size_t size = 16;
        while (size < keys.size() * 2)
            size *= 2;
        m_mask = size - 1;
        std::size_t bytes = 0;
        for (const std::string_view key : keys)
            bytes += key.size();
        m_texts.clear();
        m_texts.reserve(bytes);
        m_keys.clear();
        m_owners = owners;
        for (const std::string_view key : keys) {
            m_keys.emplace_back(m_texts.data() + m_texts.size(), key.size());
            m_texts.append(key);
        }
        for (m_seed = 0x2545F4914F6CDD1Dull;; m_seed += 0x9E3779B97F4A7C15ull) {
            m_slots.assign(size, Slot());
            bool unique = true;
            for (std::uint32_t n = 0; n < keys.size() && unique; ++n)
                unique = place(fingerprint(keys[n], owners[n]), n);
            if (unique)
                break;
        }
    }

    // The one node whose fingerprint is f, or NoNode.
    std::uint32_t find(std::uint64_t f) const
    {
        for (std::size_t i = f & m_mask;; i = (i + 1) & m_mask) {
            const Slot& slot = m_slots[i];
            if (slot.node == 0)
                return NoNode;
            if (slot.fingerprint == f)
                return slot.node - 1;
        }
    }
    // See FetchAhead.
    [[gnu::always_inline]] void prefetch(std::uint64_t f) const
    {
        __builtin_prefetch(&m_slots[f & m_mask]);
    }

    std::size_t size() const { return m_keys.size(); }
    std::string_view key(std::uint32_t n) const { return m_keys[n]; }
    std::uint32_t owner(std::uint32_t n) const { return m_owners[n]; }

    // Whether node n is text with owner.
    bool is(std::uint32_t n, std::string_view text, std::uint32_t owner) const
    {
        return m_owners[n] == owner && SameText(m_keys[n], text);
    }

private:
    struct Slot
    {
        std::uint64_t fingerprint = 0;
        std::uint32_t node = 0; // plus one; 0 is empty
    };
    bool place(std::uint64_t f, std::uint32_t node)
    {
        std::size_t i = f & m_mask;
        for (; m_slots[i].node != 0; i = (i + 1) & m_mask) {
            if (m_slots[i].fingerprint == f)
                return false;
        }
        m_slots[i] = Slot{f, node + 1};
        return true;
    }

    std::vector<Slot> m_slots;
    std::size_t m_mask = 0;
    std::uint64_t m_seed = 0;
    std::string m_texts;
    std::vector<std::string_view> m_keys;
    std::vector<std::uint32_t> m_owners;
};

// The nodes with matches, and which of them still need their first line.
struct Nodes
{
    std::vector<OrderNode> users;
    std::vector<OrderNode> hosts;
    // Of the users looked for or with hosts looked for, and of the hosts looked for: their place
    // in users and hosts.
    std::vector<std::uint32_t> userOf;
    std::vector<std::uint32_t> hostOf;
    NodeTable userTable;
    NodeTable hostTable;
    // Per entry of userTable: whether any of its hosts are looked for.
    std::vector<char> userLooks;
};

// A rough hash of a host and its user, quicker than a fingerprint: of the host's length and its
// first and last eight bytes. Hosts that differ only in between share it, which only costs them
// a lookup.
std::uint64_t QuickHash(std::string_view host, std::uint32_t owner)
{
    const std::size_t n = host.size();
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    if (n >= 8) {
        std::memcpy(&first, host.data(), 8);
        std::memcpy(&last, host.data() + n - 8, 8);
    } else {
        for (std::size_t i = 0; i < n; ++i)
            first |= std::uint64_t(static_cast<unsigned char>(host[i])) << (8 * i);
    }
    return mixHash((first * 0x9E3779B97F4A7C15ull) ^ (last * 0xC2B2AE3D27D4EB4Full) ^
                   (std::uint64_t(n) << 32 | owner));
}

// The hosts of a table that one thread of the scan may still meet, by a few bits of their quick
// hashes: a line whose bit is clear names none of them and needs no lookup. A host leaves
// once the thread has read a line of it: the thread reads its chunks in order, so no later line
// can be earlier. Each bit counts its hosts; a count that reached its limit stays.
class UnmetHosts
{
public:
    explicit UnmetHosts(const NodeTable& table)
    {
        std::size_t cells = 64;
        while (cells < table.size() * 8)
            cells *= 2;
        m_mask = cells - 1;
        m_bits.assign(cells / 64, 0);
        m_counts.assign(cells, 0);
        m_left.assign(table.size(), 0);
        for (std::uint32_t n = 0; n < table.size(); ++n) {
            const std::size_t c = cell(QuickHash(table.key(n), table.owner(n)));
            m_bits[c / 64] |= std::uint64_t(1) << (c % 64);
            if (m_counts[c] != Full)
                ++m_counts[c];
        }
    }

    bool mayHold(std::uint64_t quick) const
    {
        const std::size_t c = cell(quick);
        return (m_bits[c / 64] >> (c % 64) & 1) != 0;
    }
    // Host n, with this quick hash, has been read by the thread.
    void leave(std::uint32_t n, std::uint64_t quick)
    {
        if (m_left[n])
            return;
        m_left[n] = 1;
        const std::size_t c = cell(quick);
        if (m_counts[c] != Full && --m_counts[c] == 0)
            m_bits[c / 64] &= ~(std::uint64_t(1) << (c % 64));
    }

private:
    static constexpr std::uint8_t Full = 255;
    std::size_t cell(std::uint64_t quick) const { return (quick >> 40) & m_mask; }

    std::vector<std::uint64_t> m_bits;
    std::vector<std::uint8_t> m_counts;
    std::vector<char> m_left; // per host
    std::size_t m_mask = 0;
};

constexpr std::size_t MaxChunkBytes = 4u << 20;
constexpr std::size_t MinChunkBytes = 4u << 10;
constexpr std::size_t CheckBytes = 256u << 10;

// The scan of the lines the search did not read before the first lines it met, for earlier lines
// of the nodes looked for. Those lines are read in chunks, which the threads take in order; each
// thread keeps the earliest line it read of every node (a node's lines come to a thread in order,
// so the first one it reads is its earliest there), and the earliest of those is the node's first
// line. A node is settled once it has been met, or once every chunk that starts before the first
// line the search met has been taken. Once every node is settled, the chunks after those taken can
// hold no earlier line: the chunks taken are read to their ends (a node met in a later chunk may
// have an earlier line in them), and no further one is taken.
class FirstLineScan
{
public:
    // The earliest lines one thread read of the nodes looked for (numbered as in their tables):
    // each starts one past the first line the search met, so that line counts as met too.
    struct Firsts
    {
        std::vector<std::size_t> users;
        std::vector<std::size_t> hosts;
        std::vector<ConnectionKind> kinds;
    };

    // unread: the lines not read by the search, in order, inside text.
    FirstLineScan(std::string_view text, std::vector<Unread> unread, const Nodes& nodes,
                  Firsts start, std::size_t looking, const std::atomic<bool>* cancel)
        : m_text(text), m_unread(std::move(unread)), m_nodes(nodes), m_start(std::move(start)),
          m_unmetHosts(nodes.hostTable),
          m_met(new std::atomic<bool>[m_start.users.size() + m_start.hosts.size()]),
          m_unmet(looking), m_cancel(cancel)
    {
        for (std::size_t i = 0; i < m_start.users.size() + m_start.hosts.size(); ++i)
            m_met[i].store(false, std::memory_order_relaxed);
    }

    // Runs on `threads` threads; the earliest lines of each.
    std::vector<Firsts> run(unsigned threads)
    {
        std::vector<Firsts> firsts(std::max(1u, threads), m_start);
        makeChunks(firsts.size());
        RunParts(firsts.size(), [&](std::size_t k) { scan(firsts[k]); });
        return firsts;
    }

private:
    // A line's host whose lookup waits for its table slot, and then for its node's entry, to
    // arrive in the cache.
    struct PendingHost
    {
        std::uint64_t quick;
        std::uint64_t fingerprint;
        std::size_t at;
        std::string_view host;
        std::uint32_t user;
        std::uint32_t node;
        ConnectionKind kind;
    };

    // Cuts the unread lines into chunks of about the same number of bytes, enough for the
    // threads to share the work evenly, each starting at a line start; and sorts the nodes looked
    // for by the chunk that settles them.
    void makeChunks(std::size_t threads)
    {
        std::vector<std::size_t> before(m_unread.size() + 1, 0); // unread bytes before each part
        for (std::size_t r = 0; r < m_unread.size(); ++r)
            before[r + 1] = before[r] + (m_unread[r].to - m_unread[r].from);
        const std::size_t total = before.back();
        const std::size_t chunkBytes =
            std::clamp<std::size_t>(total / (threads * 8), MinChunkBytes, MaxChunkBytes);
        const std::size_t chunks = (total + chunkBytes - 1) / chunkBytes;
        m_chunkStart.assign(chunks + 1, m_text.size());
        for (std::size_t c = 0; c < chunks; ++c) {
            const std::size_t offset = c * chunkBytes;
            const std::size_t r = static_cast<std::size_t>(
                std::upper_bound(before.begin(), before.end(), offset) - before.begin() - 1);
            const Unread& part = m_unread[r];
            std::size_t at = part.from + (offset - before[r]);
            if (at != part.from) {
                // After the next LF, so that the chunks split into the same lines as the whole.
                const void* lf = std::memchr(m_text.data() + at, '\n', part.to - at);
                at = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - m_text.data()) + 1
                        : part.to;
            }
            m_chunkStart[c] = c == 0 ? at : std::max(at, m_chunkStart[c - 1]);
        }
        // A node whose first line met starts at s (one past that line) is settled once every
        // chunk that starts before s has been taken: by the time the chunk before the first that
        // starts at or after s is taken.
        const auto settledAt = [&](std::size_t s) {
            const auto after = static_cast<std::size_t>(
                std::lower_bound(m_chunkStart.begin(), m_chunkStart.end(), s) -
                m_chunkStart.begin());
            return after == 0 ? 0 : after - 1;
        };
        // The nodes by that chunk: counted per chunk, then placed.
        const std::size_t users = m_start.users.size();
        const auto startOf = [&](std::size_t i) {
            return i < users ? m_start.users[i] : m_start.hosts[i - users];
        };
        const auto looked = [&](std::size_t i) { return i >= users || m_start.users[i] != 0; };
        std::vector<std::size_t> chunkOf(users + m_start.hosts.size());
        m_settleFrom.assign(m_chunkStart.size() + 1, 0);
        for (std::size_t i = 0; i < chunkOf.size(); ++i) {
            if (!looked(i)) // a user whose first line is known
                continue;
            chunkOf[i] = settledAt(startOf(i));
            ++m_settleFrom[chunkOf[i] + 1];
        }
        for (std::size_t c = 1; c < m_settleFrom.size(); ++c)
            m_settleFrom[c] += m_settleFrom[c - 1];
        m_settleNode.resize(m_settleFrom.back());
        std::vector<std::size_t> next(m_settleFrom.begin(), m_settleFrom.end() - 1);
        for (std::size_t i = 0; i < chunkOf.size(); ++i) {
            if (looked(i))
                m_settleNode[next[chunkOf[i]]++] = static_cast<std::uint32_t>(i);
        }
    }

    // Settles the nodes that taking chunk c settles; how many were not met yet.
    std::size_t settle(std::size_t c)
    {
        std::size_t settled = 0;
        const std::lock_guard<std::mutex> lock(m_settleMutex);
        const std::size_t upTo = m_settleFrom[std::min(c + 1, m_settleFrom.size() - 1)];
        for (; m_settled < upTo; ++m_settled)
            settled += meet(m_settleNode[m_settled]) ? 1 : 0;
        return settled;
    }

    bool cancelled() const { return m_cancel && m_cancel->load(std::memory_order_relaxed); }

    // Notes that node i (users first, then hosts) has been met: whether it is the first time.
    // The other thread has often met it already, and reading the flag is cheaper than writing it
    // where the other thread writes too.
    bool meet(std::size_t i)
    {
        return !m_met[i].load(std::memory_order_relaxed) &&
               !m_met[i].exchange(true, std::memory_order_relaxed);
    }

    // The lookups run a few lines behind the reading, as they mostly wait for memory: a line's
    // table slot is fetched ahead when the line is read, its node's entry once the slot is in,
    // and the node is compared a few lines later. They still happen in line order.
    void scan(Firsts& firsts)
    {
        const Nodes& nodes = m_nodes;
        const std::size_t userNodes = firsts.users.size();
        constexpr std::size_t RingSize = 8; // a power of two
        constexpr std::size_t SlotLag = 3;  // lines between fetching a slot and reading it
        constexpr std::size_t EntryLag = 3; // lines between fetching an entry and reading it
        PendingHost ring[RingSize];
        UnmetHosts unmet = m_unmetHosts;
        std::size_t produced = 0;
        std::size_t placed = 0;
        std::size_t consumed = 0;
        // The nodes first met by this thread since it last took a chunk: the count of those
        // still unmet goes down by them all at once (the threads read it only when they take a
        // chunk).
        std::size_t metHere = 0;
        const auto place = [&] {
            PendingHost& pending = ring[placed++ & (RingSize - 1)];
            pending.node = nodes.hostTable.find(pending.fingerprint);
            if (pending.node != NoNode)
                __builtin_prefetch(&firsts.hosts[pending.node]);
        };
        const auto consume = [&] {
            const PendingHost& pending = ring[consumed++ & (RingSize - 1)];
            const std::uint32_t h = pending.node;
            if (h == NoNode || !nodes.hostTable.is(h, pending.host, pending.user))
                return;
            unmet.leave(h, pending.quick);
            if (pending.at >= firsts.hosts[h])
                return;
            firsts.hosts[h] = pending.at;
            firsts.kinds[h] = pending.kind;
            metHere += meet(userNodes + h) ? 1 : 0;
        };

        std::string_view lastName;
        std::uint32_t lastUser = NoNode;
        for (;;) {
            if (metHere != 0) {
                m_unmet.fetch_sub(metHere, std::memory_order_relaxed);
                metHere = 0;
            }
            if (m_unmet.load(std::memory_order_relaxed) == 0 || cancelled())
                break;
            const std::size_t c = m_nextChunk.fetch_add(1, std::memory_order_relaxed);
            if (c + 1 >= m_chunkStart.size())
                break;
            metHere += settle(c);
            const std::size_t chunkEnd = m_chunkStart[c + 1];
            const char* const chunkLast = m_text.data() + chunkEnd;
            // The unread parts in the chunk.
            auto part = std::upper_bound(
                m_unread.begin(), m_unread.end(), m_chunkStart[c],
                [](std::size_t at, const Unread& unread) { return at < unread.to; });
            for (; part != m_unread.end() && part->from < chunkEnd; ++part) {
                const char* p = m_text.data() + std::max(part->from, m_chunkStart[c]);
                const char* const end = m_text.data() + std::min(part->to, chunkEnd);
                const char* nextCheck = p + CheckBytes;
                while (p < end) {
                    // Up to the chunk's end: the lines read between its parts come after this
                    // part's, and are read from the cache just as well.
                    FetchAhead(p, chunkLast);
                    // The part read holds no NUL: it ends before the first line met.
                    const IndexLine scanned = ScanIndexLine(p, end);
                    const auto at = static_cast<std::size_t>(p - m_text.data());
                    p = scanned.end + TerminatorLength(scanned.end, end);
                    if (p >= nextCheck) {
                        if (cancelled())
                            return;
                        nextCheck = p + CheckBytes;
                    }
                    const IndexFields& fields = scanned.fields;
                    if (!fields.qualifies || fields.user.empty())
                        continue;
                    if (!SameText(fields.user, lastName)) {
                        lastName = fields.user;
                        lastUser =
                            nodes.userTable.find(nodes.userTable.fingerprint(fields.user, 0));
                        if (lastUser != NoNode && !nodes.userTable.is(lastUser, fields.user, 0))
                            lastUser = NoNode;
                    }
                    if (lastUser == NoNode)
                        continue;
                    if (at < firsts.users[lastUser]) {
                        firsts.users[lastUser] = at;
                        metHere += meet(lastUser) ? 1 : 0;
                    }
                    if (!nodes.userLooks[lastUser] || fields.host.empty())
                        continue;
                    // A host this thread has read a line of is no longer in unmet, nor is one of
                    // the many hosts not looked for, so that nearly every line stops here.
                    // (Comparing the host with the user's latest one first, as the search does,
                    // costs more than it spares: the comparison goes one way or the other at
                    // random.)
                    const std::uint64_t quick = QuickHash(fields.host, lastUser);
                    if (!unmet.mayHold(quick))
                        continue;
                    const std::uint64_t fingerprint =
                        nodes.hostTable.fingerprint(fields.host, lastUser);
                    nodes.hostTable.prefetch(fingerprint);
                    ring[produced++ & (RingSize - 1)] = PendingHost{
                        quick, fingerprint, at, fields.host, lastUser, NoNode, fields.kind};
                    if (produced - placed > SlotLag)
                        place();
                    if (placed - consumed > EntryLag)
                        consume();
                }
            }
        }
        while (placed < produced)
            place();
        while (consumed < produced)
            consume();
    }

    std::string_view m_text;
    const std::vector<Unread> m_unread;
    const Nodes& m_nodes;
    const Firsts m_start;
    const UnmetHosts m_unmetHosts; // each thread starts from a copy
    std::unique_ptr<std::atomic<bool>[]> m_met;
    std::atomic<std::size_t> m_unmet;
    std::atomic<std::size_t> m_nextChunk{0};
    std::vector<std::size_t> m_chunkStart; // of each chunk, and the text's end
    // The nodes looked for (users first, then hosts), by the chunk whose taking settles them.
    std::vector<std::uint32_t> m_settleNode;
    std::vector<std::size_t> m_settleFrom; // where the nodes of each chunk start in m_settleNode
    std::mutex m_settleMutex;
    std::size_t m_settled = 0; // of those, guarded by m_settleMutex
    const std::atomic<bool>* m_cancel;
};

// The nodes with matches, gathered for InTreeOrder: every line of a node whose text contains
// the needle holds the needle, so the search read them all and met the first one. Of the others,
// only the lines before the first the search met can be earlier: the scan ends there.
class OrderNodes
{
public:
    // copy: the same bytes as text, where reading them is quicker (the log's are all over it).
    // known: the text contains the needle.
    std::uint32_t addUser(std::string_view text, std::string_view copy, std::size_t count,
                          std::size_t first, bool known)
    {
        OrderNode user;
        user.text = text;
        user.copy = copy;
        user.count = count;
        user.first = first;
        user.known = known;
        if (!user.known)
            scanEnd = std::max(scanEnd, first);
        nodes.users.push_back(user);
        return static_cast<std::uint32_t>(nodes.users.size() - 1);
    }
    void addHost(std::uint32_t user, std::string_view text, std::string_view copy,
                 std::size_t count, std::size_t first, ConnectionKind kind, bool known)
    {
        OrderNode host;
        host.text = text;
        host.copy = copy;
        host.count = count;
        host.owner = user;
        host.first = first;
        host.kind = kind;
        host.known = known;
        if (!host.known) {
            ++nodes.users[user].looking;
            scanEnd = std::max(scanEnd, first);
        }
        nodes.hosts.push_back(host);
    }

    Nodes nodes;
    std::size_t scanEnd = 0;
};

// The nodes in tree order, with the first lines the search did not meet looked for.
// unread: the lines the search did not read, in order.
std::vector<FoundUser> InTreeOrder(std::string_view text, std::vector<Unread> unread,
                                   OrderNodes& order, const FindOptions& options)
{
    Nodes& nodes = order.nodes;
    const std::size_t scanEnd = order.scanEnd;
    std::vector<FoundUser> found;
    // The tables of the nodes looked for, and where the scan starts from.
    std::vector<std::string_view> keys;
    std::vector<std::uint32_t> owners;
    std::vector<std::uint32_t> entryOf(nodes.users.size(), NoNode);
    FirstLineScan::Firsts start;
    std::size_t looking = 0;
    for (std::uint32_t u = 0; u < nodes.users.size(); ++u) {
        const OrderNode& user = nodes.users[u];
        if (user.known && user.looking == 0)
            continue;
        entryOf[u] = static_cast<std::uint32_t>(keys.size());
        keys.push_back(user.copy);
        owners.push_back(0);
        nodes.userOf.push_back(u);
        nodes.userLooks.push_back(user.looking > 0 ? 1 : 0);
        // A user whose first line is known is never met, nor lowered.
        start.users.push_back(user.known ? 0 : user.first + 1);
        looking += user.known ? 0 : 1;
    }
    nodes.userTable.build(keys, owners);
    keys.clear();
    owners.clear();
    keys.reserve(nodes.hosts.size());
    owners.reserve(nodes.hosts.size());
    nodes.hostOf.reserve(nodes.hosts.size());
    start.hosts.reserve(nodes.hosts.size());
    for (std::uint32_t h = 0; h < nodes.hosts.size(); ++h) {
        const OrderNode& host = nodes.hosts[h];
        if (host.known)
            continue;
        keys.push_back(host.copy);
        owners.push_back(entryOf[host.owner]);
        nodes.hostOf.push_back(h);
        start.hosts.push_back(host.first + 1);
    }
    nodes.hostTable.build(keys, owners);
    start.kinds.assign(start.hosts.size(), 0);
    looking += start.hosts.size();

    if (looking > 0) {
        const std::string_view prefix = text.substr(0, std::min(scanEnd, text.size()));
        // Only the unread lines before the first lines met.
        std::size_t bytes = 0;
        while (!unread.empty() && unread.back().from >= prefix.size())
            unread.pop_back();
        if (!unread.empty())
            unread.back().to = std::min(unread.back().to, prefix.size());
        for (const Unread& part : unread)
            bytes += part.to - part.from;
        const unsigned threads = options.threads != 0 ? options.threads : RunsForScan(bytes);
        FirstLineScan scan(prefix, std::move(unread), nodes, std::move(start), looking,
                           options.cancel);
        const std::vector<FirstLineScan::Firsts> firsts = scan.run(threads);
        // A node's first line is the earliest any thread read.
        for (std::size_t e = 0; e < nodes.userOf.size(); ++e) {
            OrderNode& user = nodes.users[nodes.userOf[e]];
            for (const FirstLineScan::Firsts& thread : firsts) {
                if (!user.known && thread.users[e] < user.first)
                    user.first = thread.users[e];
            }
        }
        for (std::size_t e = 0; e < nodes.hostOf.size(); ++e) {
            OrderNode& host = nodes.hosts[nodes.hostOf[e]];
            for (const FirstLineScan::Firsts& thread : firsts) {
                if (thread.hosts[e] < host.first) {
                    host.first = thread.hosts[e];
                    host.kind = thread.kinds[e];
                }
            }
        }
    }

    // Users by their first line, and the hosts of each by theirs.
    std::vector<std::uint32_t> userOrder(nodes.users.size());
    for (std::uint32_t u = 0; u < userOrder.size(); ++u)
        userOrder[u] = u;
    std::sort(userOrder.begin(), userOrder.end(), [&](std::uint32_t a, std::uint32_t b) {
        return nodes.users[a].first < nodes.users[b].first;
    });
    // The hosts grouped by user, then each user's sorted: the keys side by side, not the nodes.
    std::vector<std::size_t> hostsStart(nodes.users.size() + 1, 0);
    for (const OrderNode& host : nodes.hosts)
        ++hostsStart[host.owner + 1];
    for (std::size_t u = 1; u < hostsStart.size(); ++u)
        hostsStart[u] += hostsStart[u - 1];
    std::vector<std::pair<std::size_t, std::uint32_t>> byFirst(nodes.hosts.size());
    {
        std::vector<std::size_t> next(hostsStart.begin(), hostsStart.end() - 1);
        for (std::uint32_t h = 0; h < nodes.hosts.size(); ++h)
            byFirst[next[nodes.hosts[h].owner]++] = {nodes.hosts[h].first, h};
    }
    for (std::size_t u = 0; u < nodes.users.size(); ++u)
        std::sort(byFirst.begin() + static_cast<std::ptrdiff_t>(hostsStart[u]),
                  byFirst.begin() + static_cast<std::ptrdiff_t>(hostsStart[u + 1]));

    found.reserve(nodes.users.size());
    for (const std::uint32_t u : userOrder) {
        const OrderNode& user = nodes.users[u];
        FoundUser entry;
        entry.text = user.copy;
        entry.count = user.count;
        entry.hosts.reserve(hostsStart[u + 1] - hostsStart[u]);
        for (std::size_t i = hostsStart[u]; i < hostsStart[u + 1]; ++i) {
            const OrderNode& host = nodes.hosts[byFirst[i].second];
            entry.hosts.push_back({host.copy, host.kind, host.count});
        }
        found.push_back(std::move(entry));
    }
    return found;
}

} // namespace

std::vector<FoundUser> MatchesInTreeOrder(std::string_view text, const LogMatches& matches,
                                          const FindOptions& options)
{
    const NoCaseFinder finder(matches.needle);
    OrderNodes order;
    for (const auto& [name, m] : matches.users) {
        if (m.count == 0)
            continue;
        const std::uint32_t u =
            order.addUser(name, name, m.count, m.firstMet.line, finder.in(name));
        for (const auto& [host, count] : m.hosts) {
            const auto first = m.hostsFirstMet.find(host);
            if (count != 0 && first != m.hostsFirstMet.end())
                order.addHost(u, host, host, count, first->second.line, first->second.kind,
                              finder.in(host));
        }
    }
    // Without the search's own record, every line counts as unread.
    return InTreeOrder(text, {Unread{0, text.size()}}, order, options);
}

FoundInTreeOrder FindInTreeOrder(std::string_view text, std::string_view needle,
                                 const FindOptions& options)
{
    const NoCaseFinder finder(needle);
    const RunFound all = SearchText(text, finder, options);
    FoundInTreeOrder result;
    result.lines = all.lines;
    result.cancelled = all.cancelled;
    OrderNodes order;
    std::vector<std::uint32_t> orderOf(all.users.size(), NoNode);
    for (std::size_t u = 0; u < all.users.size(); ++u) {
        const MetNodes::Node& user = all.users[u];
        if (user.count != 0)
            orderOf[u] = order.addUser(user.text, all.users.copy(u), user.count, user.first,
                                       finder.in(all.users.copy(u)));
    }
    // Which host texts hold the needle, on the cores the search had: there can be a great many.
    std::vector<char> holds(all.hosts.size());
    const std::size_t parts =
        options.threads != 0 ? options.threads : (holds.size() >= (1u << 14) ? 2 : 1);
    RunParts(parts, [&](std::size_t k) {
        for (std::size_t h = k * holds.size() / parts; h < (k + 1) * holds.size() / parts; ++h)
            holds[h] = all.hosts[h].count != 0 && finder.in(all.hosts.copy(h));
    });
    order.nodes.hosts.reserve(all.hosts.size());
    for (std::size_t h = 0; h < all.hosts.size(); ++h) {
        const MetNodes::Node& host = all.hosts[h];
        if (host.count != 0)
            order.addHost(orderOf[host.owner], host.text, all.hosts.copy(h), host.count, host.first,
                          host.kind, holds[h] != 0);
    }
    result.users = InTreeOrder(text, all.unread, order, options);
    // The texts are views into the search's copies until here.
    std::size_t bytes = 0;
    for (const FoundUser& user : result.users) {
        bytes += user.text.size();
        for (const FoundHost& host : user.hosts)
            bytes += host.text.size();
    }
    auto texts = std::make_shared<std::string>();
    texts->reserve(bytes);
    const auto keep = [&](std::string_view& view) {
        const std::size_t at = texts->size();
        texts->append(view);
        view = std::string_view(texts->data() + at, view.size());
    };
    for (FoundUser& user : result.users) {
        keep(user.text);
        for (FoundHost& host : user.hosts)
            keep(host.text);
    }
    result.texts = std::move(texts);
    return result;
}

} // namespace qelt
