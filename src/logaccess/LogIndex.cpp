#include "logaccess/LogIndex.h"

#include "common/Bytes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace qelt {

namespace detail {

// Large lists live in mappings of their own, which mremap grows without copying; small ones on
// the heap.
namespace {
constexpr std::size_t MappedFrom = 64 * 1024;
}

void* GrowBlock(void* block, std::size_t oldBytes, std::size_t newBytes)
{
    if (newBytes < MappedFrom) {
        void* fresh = std::realloc(block, newBytes);
        if (!fresh)
            throw std::bad_alloc();
        return fresh;
    }
    void* fresh;
    if (oldBytes >= MappedFrom) {
        fresh = ::mremap(block, oldBytes, newBytes, MREMAP_MAYMOVE);
    } else {
        fresh =
            ::mmap(nullptr, newBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#if defined(MADV_HUGEPAGE)
        // Lookups jump all over the large lists: large pages spare most of the address
        // translations. The mapping keeps the advice as mremap grows it.
        if (fresh != MAP_FAILED)
            ::madvise(fresh, newBytes, MADV_HUGEPAGE);
#endif
        if (fresh != MAP_FAILED && oldBytes > 0)
            std::memcpy(fresh, block, oldBytes);
        if (fresh != MAP_FAILED)
            std::free(block);
    }
    if (fresh == MAP_FAILED)
        throw std::bad_alloc();
    return fresh;
}

void FreeBlock(void* block, std::size_t bytes) noexcept
{
    if (!block)
        return;
    if (bytes >= MappedFrom)
        ::munmap(block, bytes);
    else
        std::free(block);
}

void DiscardPages(void* block, std::size_t capacityBytes, std::size_t begin,
                  std::size_t end) noexcept
{
    if (!block || capacityBytes < MappedFrom)
        return;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t from = (begin + page - 1) / page * page;
    const std::size_t to = end / page * page;
    if (to > from)
        ::madvise(static_cast<char*>(block) + from, to - from, MADV_DONTNEED);
}

} // namespace detail

namespace {

std::uint32_t userHash(std::string_view name)
{
    return static_cast<std::uint32_t>(HashBytes(name, 0x51ED270B27FC6F1Dull));
}

// A host is looked up by its owner and its text. The owner takes part through the hash of its
// name, which is the same in every part of a build, so that merging parts keeps each host's hash.
std::uint32_t hostHash(std::uint32_t ownerHash, std::string_view host)
{
    std::uint32_t h = static_cast<std::uint32_t>(HashBytes(host, 0x2545F4914F6CDD1Dull)) ^
                      (ownerHash * 0x9E3779B1u);
    h ^= h >> 15;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    return h;
}

// A slot that keeps its entry's hash beside the entry's number: a lookup reads an entry only when
// the hashes agree, and growing or taking out never reads the entries. For the hosts, which are
// many and looked up all over memory.
struct HashedSlot
{
    static constexpr bool HasHash = true;
    std::uint32_t hash;
    std::uint32_t entry; // plus one, 0: empty
};

// A slot of the entry's number alone, half the memory: the entry keeps its hash. For the users,
// of which a log has few, or many with few lines each.
struct PlainSlot
{
    static constexpr bool HasHash = false;
    std::uint32_t entry; // plus one, 0: empty
};

constexpr std::uint32_t NotFound = 0xFFFFFFFFu;

// For a table whose slots keep the hashes: it never asks an entry for its hash.
struct NoHashOf
{
    std::uint32_t operator()(std::uint32_t) const { return 0; }
};

// Entry numbers by open addressing, at most three quarters full. `hashOf(entry)` gives the hash of
// an entry again where the slots do not keep it.
template <class Slot> class SlotTable
{
public:
    // The entry whose key `matches`, or NotFound; probing starts at the hash. Where the slots keep
    // no hashes, `matches` compares the entry's own hash first.
    template <class Matches> std::uint32_t find(std::uint32_t hash, Matches&& matches) const
    {
        if (m_slots.empty())
            return NotFound;
        for (std::size_t i = hash & m_mask;; i = (i + 1) & m_mask) {
            const Slot slot = m_slots[i];
            if (slot.entry == 0)
                return NotFound;
            if (hashAgrees(slot, hash) && matches(slot.entry - 1))
                return slot.entry - 1;
        }
    }

    template <class HashOf = NoHashOf>
    void insert(std::uint32_t hash, std::uint32_t entry, HashOf&& hashOf = HashOf())
    {
        if ((m_count + 1) * 4 > m_slots.size() * 3)
            grow(hashOf);
        place(make(hash, entry + 1), hash);
        ++m_count;
    }

    // Takes the entry out; the entries after it in its run of slots move back to where a lookup
    // finds them.
    template <class HashOf = NoHashOf>
    void erase(std::uint32_t hash, std::uint32_t entry, HashOf&& hashOf = HashOf())
    {
        std::size_t i = hash & m_mask;
        while (m_slots[i].entry != entry + 1)
            i = (i + 1) & m_mask;
        for (std::size_t j = (i + 1) & m_mask; m_slots[j].entry != 0; j = (j + 1) & m_mask) {
            const std::size_t home = hashIn(m_slots[j], hashOf) & m_mask;
            // The entry at j may move to i when i lies on its way from home to j.
            if (((j - home) & m_mask) >= ((j - i) & m_mask)) {
                m_slots[i] = m_slots[j];
                i = j;
            }
        }
        m_slots[i] = Slot{};
        --m_count;
    }

    [[gnu::always_inline]] void prefetch(std::uint32_t hash) const // see FetchAhead
    {
        if (!m_slots.empty())
            __builtin_prefetch(&m_slots[hash & m_mask]);
    }
    // The entry in the hash's first slot when that slot holds the same hash, else NotFound.
    std::uint32_t likelyAt(std::uint32_t hash) const
    {
        static_assert(Slot::HasHash);
        if (m_slots.empty())
            return NotFound;
        const Slot slot = m_slots[hash & m_mask];
        return slot.entry != 0 && slot.hash == hash ? slot.entry - 1 : NotFound;
    }

    // Calls f(hash, entry) for every entry.
    template <class F> void forEach(F&& f) const
    {
        static_assert(Slot::HasHash);
        for (const Slot& slot : m_slots)
            if (slot.entry != 0)
                f(slot.hash, slot.entry - 1);
    }

private:
    static Slot make(std::uint32_t hash, std::uint32_t entryPlusOne)
    {
        if constexpr (Slot::HasHash)
            return Slot{hash, entryPlusOne};
        else
            return Slot{entryPlusOne};
    }
    static bool hashAgrees(const Slot& slot, std::uint32_t hash)
    {
        if constexpr (Slot::HasHash)
            return slot.hash == hash;
        else
            return true;
    }
    template <class HashOf> static std::uint32_t hashIn(const Slot& slot, HashOf& hashOf)
    {
        if constexpr (Slot::HasHash)
            return slot.hash;
        else
            return hashOf(slot.entry - 1);
    }

    void place(Slot slot, std::uint32_t hash)
    {
        std::size_t i = hash & m_mask;
        while (m_slots[i].entry != 0)
            i = (i + 1) & m_mask;
        m_slots[i] = slot;
    }

    template <class HashOf> void grow(HashOf& hashOf)
    {
        const std::size_t size = m_slots.empty() ? 1024 : m_slots.size() * 2;
        EntryList<Slot> old;
        old.swap(m_slots);
        m_slots.reserve(size);
        for (std::size_t i = 0; i < size; ++i)
            m_slots.push_back(Slot{});
        m_mask = size - 1;
        for (const Slot& slot : old)
            if (slot.entry != 0)
                place(slot, hashIn(slot, hashOf));
    }

    EntryList<Slot> m_slots;
    std::size_t m_mask = 0;
    std::size_t m_count = 0;
};

using UserTable = SlotTable<PlainSlot>;
using HostTable = SlotTable<HashedSlot>;

} // namespace

// The lookups of an index: its users by name and its hosts by owner and text, the host of each
// user's latest line, and how far the text was indexed.
struct IndexState
{
    UserTable userTable;
    HostTable hostTable;
    // The hashes of the last host entries, which a merge added without putting them in
    // hostTable: the table takes them when a lookup needs them (Builder::completeTable).
    EntryList<std::uint32_t> untabled;
    EntryList<std::uint32_t> lastHost; // per user: the host entry of its latest line, or NotFound
    const char* base = nullptr;        // the text the entries' views point into
    ByteOffset indexed = 0;            // the bytes indexed, the line without a line end aside
    bool endedAtNul = false;
    // A last line without a line end was counted (it may still be being written): what to take
    // back before the text it grew into is indexed.
    struct Tail
    {
        bool counted = false;
        std::uint32_t user = NotFound;
        bool newUser = false;
        UserEntry userBefore;
        std::uint32_t lastHostBefore = NotFound;
        std::uint32_t host = NotFound;
        std::uint32_t hostHash = 0;
        bool newHost = false;
        HostEntry hostBefore;
    } tail;
};

namespace {

// Copies of the first host texts a run meets, close together, for its comparisons. A host text
// stands in the lines of many users, and every lookup compares a line's host with its entry's
// text: at the entry's place in the log that text is mostly far from the cache (the log's pages
// are small, and nearly each one costs a walk of the page tables), while a few thousand copies in
// one block stay in it. The first texts of a build are copied, up to the block's size; an entry of
// another text keeps the place of its first line. Before the build ends, the entries' texts are put
// back in the log (ToLog): the index's texts are views of the log's bytes.
class HostTexts
{
public:
    // For a run over textBytes of the log.
    explicit HostTexts(std::size_t textBytes)
        : m_blockBytes(std::clamp<std::size_t>(textBytes / 256, 4096, MaxBlockBytes))
    {
        m_block.reset(new char[m_blockBytes]);
        m_slotCount = 256;
        while (m_slotCount * 16 < m_blockBytes)
            m_slotCount *= 2;
        m_slots.resize(m_slotCount);
    }

    // A view of the host's text for a new entry: the copy, made now if there is room, else the
    // host itself.
    std::string_view place(std::string_view host)
    {
        if (host.size() > MaxText || m_full)
            return host;
        const auto hash = static_cast<std::uint32_t>(HashBytes(host, 0x9E3779B97F4A7C15ull));
        for (std::size_t i = hash & (m_slotCount - 1);; i = (i + 1) & (m_slotCount - 1)) {
            const Slot slot = m_slots[i];
            if (slot.at == 0) {
                const std::size_t need = sizeof(Header) + host.size();
                // Full: the hosts from now on keep their places in the log, and are no longer
                // looked for here (a log of a million hosts has mostly new ones from here on).
                if (m_used + need > m_blockBytes || (m_count + 1) * 4 > m_slotCount * 3) {
                    m_full = true;
                    return host;
                }
                char* record = m_block.get() + m_used;
                const Header header{host.data(), static_cast<std::uint32_t>(host.size())};
                std::memcpy(record, &header, sizeof header);
                std::memcpy(record + sizeof header, host.data(), host.size());
                m_slots[i] = Slot{hash, static_cast<std::uint32_t>(m_used + sizeof header)};
                m_used += (need + alignof(Header) - 1) / alignof(Header) * alignof(Header);
                ++m_count;
                return std::string_view(record + sizeof header, host.size());
            }
            if (slot.hash == hash) {
                const std::string_view copy = textAt(slot.at);
                if (SameText(copy, host))
                    return copy;
            }
        }
    }

    bool holds(const char* p) const
    {
        return p >= m_block.get() && p < m_block.get() + m_blockBytes;
    }

    // The place in the log of the text a copy was made of: the same bytes.
    static std::string_view ToLog(std::string_view copy)
    {
        Header header;
        std::memcpy(&header, copy.data() - sizeof header, sizeof header);
        return std::string_view(header.place, copy.size());
    }

private:
    struct Header
    {
        const char* place; // in the log
        std::uint32_t size;
    };
    struct Slot
    {
        std::uint32_t hash = 0;
        std::uint32_t at = 0; // of the copy in the block; 0: empty
    };
    static constexpr std::size_t MaxBlockBytes = 4u << 20;
    static constexpr std::size_t MaxText = 255;

    std::string_view textAt(std::uint32_t at) const
    {
        Header header;
        std::memcpy(&header, m_block.get() + at - sizeof header, sizeof header);
        return std::string_view(m_block.get() + at, header.size);
    }

    std::size_t m_blockBytes;
    std::unique_ptr<char[]> m_block;
    std::size_t m_slotCount;
    std::vector<Slot> m_slots;
    std::size_t m_used = 0;
    std::size_t m_count = 0;
    bool m_full = false;
};

// One index being built: its entries and its lookups.
struct Builder
{
    EntryList<UserEntry> users;
    EntryList<HostEntry> hosts;
    IndexState state;
    bool cancelled = false;
    // The copies of host texts of this build's runs; the last is the one a run adds to.
    std::vector<std::unique_ptr<HostTexts>> texts;

    // Whether an entry's text is a copy: it stays where it is, close to the others.
    bool copied(const HostEntry& host) const
    {
        for (const auto& block : texts)
            if (block->holds(host.host.data()))
                return true;
        return false;
    }

    std::uint32_t findUser(std::string_view name, std::uint32_t hash) const
    {
        return state.userTable.find(hash, [&](std::uint32_t entry) {
            return users[entry].hash == hash && SameText(users[entry].name, name);
        });
    }
    std::uint32_t findHost(UserId owner, std::string_view host, std::uint32_t hash) const
    {
        return state.hostTable.find(hash, [&](std::uint32_t entry) {
            const HostEntry& h = hosts[entry];
            return h.owner == owner && SameText(h.host, host);
        });
    }
    std::uint32_t addUser(std::string_view name, std::uint32_t hash, ByteOffset line)
    {
        const auto entry = static_cast<std::uint32_t>(users.size());
        users.push_back(UserEntry{entry + 1, hash, name, 1, line, line});
        state.lastHost.push_back(NotFound);
        state.userTable.insert(hash, entry, [&](std::uint32_t e) { return users[e].hash; });
        return entry;
    }
    // Puts the hosts a merge added in the host table.
    void completeTable()
    {
        const std::size_t first = hosts.size() - state.untabled.size();
        for (std::size_t i = 0; i < state.untabled.size(); ++i)
            state.hostTable.insert(state.untabled[i], static_cast<std::uint32_t>(first + i));
        state.untabled = {};
    }
    std::uint32_t addHost(UserId owner, ConnectionKind kind, std::string_view host,
                          std::uint32_t hash, ByteOffset line)
    {
        const auto entry = static_cast<std::uint32_t>(hosts.size());
        hosts.push_back(HostEntry{owner, kind, host, 1, line, line});
        state.hostTable.insert(hash, entry);
        return entry;
    }
};

// Writes the progress texts into the sink, reusing one buffer.
class Reporter
{
public:
    explicit Reporter(ProgressSink* sink) : m_sink(sink) {}

    void accounts(std::size_t count)
    {
        m_buffer = "Total Accounts: ";
        m_buffer += std::to_string(count);
        m_sink->ShowStatus(AccountsSlot, m_buffer);
    }
    void user(std::string_view whole)
    {
        m_buffer = "Found User: ";
        m_buffer.append(whole.data(), whole.size());
        m_sink->ShowStatus(UserSlot, m_buffer);
    }
    void host(std::string_view whole)
    {
        m_buffer = "Found URL: ";
        m_buffer.append(whole.data(), whole.size());
        m_sink->ShowStatus(HostSlot, m_buffer);
    }
    void pump() { m_sink->ProcessPending(); }

private:
    ProgressSink* m_sink;
    std::string m_buffer;
};

enum class Reporting
{
    None,
    EveryEntry, // as each new user and host is found
    PerBlock    // the latest texts, once per block that found anything
};

constexpr std::size_t BlockBytes = 4u << 20;

// A host of a line whose lookup waits for its table slot and entry to arrive in the cache.
struct PendingHost
{
    std::uint32_t user; // entry number
    ConnectionKind kind;
    bool asBefore; // the same user and host as the pending host before it: no lookup
    std::uint32_t hash;
    std::string_view host;
    ByteOffset line;
};

// Indexes the lines of text, which starts at `base` in the whole text, into b.
//
// Looking a host up mostly waits for memory, so the lookups run a few dozen lines behind the
// parsing: each line's table slot is prefetched when the line is parsed, the entry it holds some
// lines later, the entry's text later still, and the lookup itself happens once all are likely in
// the cache. Lookups and insertions still happen in line order, so the entries keep the order of
// first appearance. Reporting every entry as it is found needs the strict order of user and host
// events, so it looks up at once.
void indexLines(std::string_view text, ByteOffset base, Builder& b, Reporting reporting,
                ProgressSink* sink, const std::atomic<bool>* cancel)
{
    b.completeTable();
    Reporter reporter(sink);
    constexpr std::size_t RingSize = 32;  // a power of two
    constexpr std::size_t EntryStage = 8; // pending hosts after the slot's prefetch: the entry's
    constexpr std::size_t TextStage = 16; // the entry's text
    const std::size_t lag = reporting == Reporting::EveryEntry ? 0 : 24; // the lookup
    PendingHost ring[RingSize];
    std::size_t produced = 0;
    std::size_t consumed = 0;
    bool foundInBlock = false;
    std::uint32_t consumedEntry = NotFound; // the host entry of the last lookup
    b.texts.push_back(std::make_unique<HostTexts>(text.size()));
    HostTexts& copies = *b.texts.back();

    const auto consume = [&] {
        const PendingHost& pending = ring[consumed++ & (RingSize - 1)];
        const UserId owner = b.users[pending.user].id;
        std::uint32_t entry =
            pending.asBefore ? consumedEntry : b.findHost(owner, pending.host, pending.hash);
        if (entry != NotFound) {
            HostEntry& host = b.hosts[entry];
            ++host.lines;
            // A later line of a run to this host may have counted in already.
            host.lastLine = std::max(host.lastLine, pending.line);
        } else {
            entry = b.addHost(owner, pending.kind, copies.place(pending.host), pending.hash,
                              pending.line);
            foundInBlock = true;
            if (reporting == Reporting::EveryEntry) {
                reporter.host(pending.host);
                reporter.pump();
            }
        }
        b.state.lastHost[pending.user] = entry;
        consumedEntry = entry;
    };

    const char* p = text.data();
    const char* const end = p + text.size();
    std::string_view lastName;
    std::uint32_t lastUser = NotFound;
    std::size_t newUserEntry = b.users.size(); // what the last block report showed
    std::size_t newHostEntry = b.hosts.size();

    while (p < end) {
        const char* blockEnd =
            (end - p > static_cast<std::ptrdiff_t>(BlockBytes)) ? p + BlockBytes : end;
        while (p < blockEnd) {
            FetchAhead(p, end);
            const IndexLine scanned = ScanIndexLine(p, end);
            const char* const lineStart = p;
            const char* const lineEnd = scanned.end;
            if (lineEnd < end && *lineEnd == '\0') {
                // A NUL ends the text: this line is its last, and nothing after it counts.
                b.state.endedAtNul = true;
                p = end;
            } else {
                p = lineEnd + TerminatorLength(lineEnd, end);
            }

            const IndexFields& fields = scanned.fields;
            if (!fields.qualifies || fields.user.empty())
                continue;
            const ByteOffset lineAt = base + static_cast<ByteOffset>(lineStart - text.data());
            const std::string_view name = fields.user;
            std::uint32_t user;
            if (lastUser != NotFound && SameText(name, lastName)) {
                user = lastUser;
                ++b.users[user].lines;
                b.users[user].lastLine = lineAt;
            } else {
                const std::uint32_t hash = userHash(name);
                user = b.findUser(name, hash);
                if (user != NotFound) {
                    ++b.users[user].lines;
                    b.users[user].lastLine = lineAt;
                    // The latest place of the same bytes is likelier in the cache when the next
                    // line compares with it.
                    b.users[user].name = name;
                } else {
                    user = b.addUser(name, hash, lineAt);
                    foundInBlock = true;
                    if (reporting == Reporting::EveryEntry) {
                        reporter.accounts(b.users.size());
                        reporter.user(name);
                        reporter.pump();
                    }
                }
                lastUser = user;
                lastName = name;
            }
            if (fields.host.empty())
                continue;
            // A user's requests come in runs to one host (a page and its images): the host of
            // its latest line decides most lines without a lookup.
            const std::uint32_t recent = b.state.lastHost[user];
            if (recent != NotFound && SameText(b.hosts[recent].host, fields.host)) {
                HostEntry& host = b.hosts[recent];
                ++host.lines;
                host.lastLine = std::max(host.lastLine, lineAt);
                continue;
            }
            // The same user and host as the line that went into the ring before it (a run of
            // one user's lines to one host): its entry is that line's, whatever the lookup finds.
            if (produced > 0) {
                const PendingHost& before = ring[(produced - 1) & (RingSize - 1)];
                if (before.user == user && SameText(before.host, fields.host)) {
                    ring[produced++ & (RingSize - 1)] =
                        PendingHost{user, fields.kind, true, before.hash, fields.host, lineAt};
                    if (produced - consumed > lag)
                        consume();
                    continue;
                }
            }
            const std::uint32_t hash = hostHash(b.users[user].hash, fields.host);
            b.state.hostTable.prefetch(hash);
            ring[produced++ & (RingSize - 1)] =
                PendingHost{user, fields.kind, false, hash, fields.host, lineAt};
            // Some lines later the slot is likely in the cache: when it holds the same hash, its
            // entry is fetched, and later the text it compares with. A host seen for the first
            // time costs no more than its slot.
            if (lag > 0 && produced > EntryStage) {
                const PendingHost& soon = ring[(produced - 1 - EntryStage) & (RingSize - 1)];
                const std::uint32_t entry = b.state.hostTable.likelyAt(soon.hash);
                if (!soon.asBefore && entry != NotFound && entry < b.hosts.size())
                    __builtin_prefetch(&b.hosts[entry]);
            }
            if (lag > 0 && produced > TextStage) {
                const PendingHost& next = ring[(produced - 1 - TextStage) & (RingSize - 1)];
                const std::uint32_t entry = b.state.hostTable.likelyAt(next.hash);
                if (!next.asBefore && entry != NotFound && entry < b.hosts.size())
                    __builtin_prefetch(b.hosts[entry].host.data());
            }
            if (produced - consumed > lag)
                consume();
        }
        while (consumed < produced)
            consume();
        if (reporting == Reporting::PerBlock && foundInBlock) {
            if (b.users.size() != newUserEntry) {
                newUserEntry = b.users.size();
                reporter.accounts(b.users.size());
                reporter.user(b.users.back().name);
            }
            if (b.hosts.size() != newHostEntry) {
                newHostEntry = b.hosts.size();
                reporter.host(b.hosts.back().host);
            }
            reporter.pump();
        }
        foundInBlock = false;
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            b.cancelled = p < end && !b.state.endedAtNul;
            break;
        }
    }
}

// Adds the entries of a later run to `into`, keeping the order of first appearance (all of the
// later run's lines come after those of `into`): the counts of a node add up, its first line is
// the earliest, its last line the latest. Reports the last new user and host as one run would
// have left them.
void mergeInto(Builder& into, Builder& later, ProgressSink* sink)
{
    // The hosts an earlier merge added: this one looks them up too.
    into.completeTable();
    // The later run's entries may have copies for texts: they stay until the build ends.
    for (auto& block : later.texts)
        into.texts.push_back(std::move(block));
    later.texts.clear();
    const std::size_t usersBefore = into.users.size();
    const std::size_t hostsBefore = into.hosts.size();
    // A host's hash does not depend on its owner's id, so it stays the same in the merged index:
    // mergedHost holds each later host's hash until it is merged, then its merged entry.
    std::vector<std::uint32_t> mergedHost(later.hosts.size());
    later.state.hostTable.forEach(
        [&](std::uint32_t hash, std::uint32_t entry) { mergedHost[entry] = hash; });
    // The later run's memory goes as it is merged, so that the two never take much more than the
    // merged index alone.
    later.state.userTable = UserTable();
    later.state.hostTable = HostTable();
    constexpr std::size_t DiscardStep = 1u << 16;
    const std::size_t laterUsers = later.users.size();
    std::vector<UserId> idOf(laterUsers + 1, 0);
    for (std::size_t i = 0; i < laterUsers; ++i) {
        const UserEntry& user = later.users[i];
        std::uint32_t entry = into.findUser(user.name, user.hash);
        if (entry == NotFound) {
            entry = into.addUser(user.name, user.hash, user.firstLine);
            into.users[entry].lines = user.lines;
        } else {
            into.users[entry].lines += user.lines;
        }
        into.users[entry].lastLine = user.lastLine;
        into.state.lastHost[entry] = NotFound;
        idOf[user.id] = entry + 1;
        if ((i + 1) % DiscardStep == 0)
            later.users.discardBefore(i + 1);
    }
    later.users = {};
    // The later hosts differ from each other, so each is looked up in the earlier ones alone: the
    // lookups read nothing that the merge changes, and run on two cores, each on half of them.
    std::vector<std::uint32_t> earlier(later.hosts.size());
    RunParts(2, [&](std::size_t k) {
        const std::size_t from = k * earlier.size() / 2;
        const std::size_t to = (k + 1) * earlier.size() / 2;
        for (std::size_t i = from; i < to; ++i) {
            if (i + 8 < to)
                into.state.hostTable.prefetch(mergedHost[i + 8]);
            const HostEntry& host = later.hosts[i];
            earlier[i] = into.findHost(idOf[host.owner], host.host, mergedHost[i]);
        }
    });
    for (std::size_t i = 0; i < later.hosts.size(); ++i) {
        const HostEntry& host = later.hosts[i];
        const UserId owner = idOf[host.owner];
        const std::uint32_t hash = mergedHost[i];
        std::uint32_t entry = earlier[i];
        if (entry == NotFound) {
            // No other host of the later run is this one: the table can take it when a lookup
            // needs it, which a tree that is only read never does.
            entry = static_cast<std::uint32_t>(into.hosts.size());
            into.hosts.push_back(
                HostEntry{owner, host.kind, host.host, host.lines, host.firstLine, host.lastLine});
            into.state.untabled.push_back(hash);
        } else {
            into.hosts[entry].lines += host.lines;
        }
        into.hosts[entry].lastLine = host.lastLine;
        mergedHost[i] = entry;
        if ((i + 1) % DiscardStep == 0)
            later.hosts.discardBefore(i + 1);
    }
    later.hosts = {};
    // Each user's latest host, as the later run knew it.
    for (std::size_t i = 0; i < laterUsers; ++i) {
        const std::uint32_t recent = later.state.lastHost[i];
        if (recent != NotFound)
            into.state.lastHost[idOf[i + 1] - 1] = mergedHost[recent];
    }
    into.state.endedAtNul = later.state.endedAtNul;
    into.cancelled = into.cancelled || later.cancelled;
    if (sink) {
        Reporter reporter(sink);
        if (into.users.size() != usersBefore) {
            reporter.accounts(into.users.size());
            reporter.user(into.users.back().name);
        }
        if (into.hosts.size() != hostsBefore)
            reporter.host(into.hosts.back().host);
        if (into.users.size() != usersBefore || into.hosts.size() != hostsBefore)
            reporter.pump();
    }
}

// Indexes text[from, to) into b, on several cores when it is large: the first run on this
// thread into b itself (so that the sink is only called here), the others into builders of their
// own, merged in order.
void indexParts(std::string_view text, ByteOffset from, ByteOffset to, Builder& b,
                ProgressSink* sink, const IndexOptions& options)
{
    const std::string_view range = text.substr(from, to - from);
    unsigned threads = options.threads;
    if (threads == 0)
        threads = RunsForScan(range.size(), options.minBytesPerThread);
    const std::vector<std::string_view> parts = SplitAtLineEnds(range, std::max(1u, threads));
    if (parts.size() <= 1) {
        indexLines(range, from, b, sink ? Reporting::EveryEntry : Reporting::None, sink,
                   options.cancel);
        return;
    }
    std::vector<Builder> later(parts.size() - 1);
    RunParts(parts.size(), [&](std::size_t k) {
        const auto base = static_cast<ByteOffset>(parts[k].data() - text.data());
        if (k == 0)
            indexLines(parts[0], base, b, sink ? Reporting::PerBlock : Reporting::None, sink,
                       options.cancel);
        else
            indexLines(parts[k], base, later[k - 1], Reporting::None, nullptr, options.cancel);
    });
    for (Builder& part : later) {
        // The text ends at the first NUL: the runs after the one that holds it do not count.
        if (b.state.endedAtNul || b.cancelled)
            break;
        mergeInto(b, part, sink);
        part = Builder();
    }
}

// indexParts, after which the new entries' texts that are copies are put back in the log.
void indexRange(std::string_view text, ByteOffset from, ByteOffset to, Builder& b,
                ProgressSink* sink, const IndexOptions& options)
{
    const std::size_t hostsBefore = b.hosts.size();
    indexParts(text, from, to, b, sink, options);
    for (std::size_t i = hostsBefore; i < b.hosts.size(); ++i) {
        if (b.copied(b.hosts[i]))
            b.hosts[i].host = HostTexts::ToLog(b.hosts[i].host);
    }
    b.texts.clear();
}

// Where the last line of text starts when it has no line end (nor a NUL), else text's size.
ByteOffset openLineStart(std::string_view text)
{
    if (text.empty() || text.back() == '\n' || text.back() == '\r')
        return text.size();
    ByteOffset at = text.size();
    while (at > 0 && text[at - 1] != '\n' && text[at - 1] != '\r') {
        if (text[at - 1] == '\0')
            return text.size();
        --at;
    }
    return at;
}

// Indexes text from where b stopped: the whole lines first, then a last line without a line end,
// which is noted so that a later extension can take it back.
void indexFrom(std::string_view text, ByteOffset from, Builder& b, ProgressSink* sink,
               const IndexOptions& options)
{
    b.state.base = text.data();
    const ByteOffset open = std::max(from, openLineStart(text));
    indexRange(text, from, open, b, sink, options);
    b.state.indexed = open;
    if (b.cancelled || b.state.endedAtNul || open == text.size())
        return;
    IndexState::Tail& tail = b.state.tail;
    const std::string_view line = text.substr(open);
    const IndexFields fields = ExtractIndexFields(line);
    if (!fields.qualifies || fields.user.empty())
        return;
    tail.counted = true;
    b.completeTable();
    const std::uint32_t nameHash = userHash(fields.user);
    tail.user = b.findUser(fields.user, nameHash);
    tail.newUser = tail.user == NotFound;
    tail.hostHash = hostHash(nameHash, fields.host);
    if (!tail.newUser) {
        tail.userBefore = b.users[tail.user];
        tail.lastHostBefore = b.state.lastHost[tail.user];
        if (!fields.host.empty()) {
            tail.host = b.findHost(tail.user + 1, fields.host, tail.hostHash);
            if (tail.host != NotFound)
                tail.hostBefore = b.hosts[tail.host];
        }
    }
    tail.newHost = !fields.host.empty() && tail.host == NotFound;
    indexRange(text, open, text.size(), b, sink, options);
    if (tail.newUser)
        tail.user = static_cast<std::uint32_t>(b.users.size() - 1);
    if (tail.newHost)
        tail.host = static_cast<std::uint32_t>(b.hosts.size() - 1);
}

// Takes back what the last line without a line end added.
void takeBackOpenLine(Builder& b)
{
    IndexState::Tail& tail = b.state.tail;
    if (!tail.counted)
        return;
    b.completeTable();
    if (tail.newHost) {
        b.state.hostTable.erase(tail.hostHash, tail.host);
        b.hosts.pop_back();
    } else if (tail.host != NotFound) {
        b.hosts[tail.host].lines = tail.hostBefore.lines;
        b.hosts[tail.host].lastLine = tail.hostBefore.lastLine;
    }
    if (tail.newUser) {
        b.state.userTable.erase(b.users[tail.user].hash, tail.user,
                                [&](std::uint32_t e) { return b.users[e].hash; });
        b.users.pop_back();
        b.state.lastHost.pop_back();
    } else {
        // Only the counts: the texts may have moved to another mapping of the log since.
        b.users[tail.user].lines = tail.userBefore.lines;
        b.users[tail.user].lastLine = tail.userBefore.lastLine;
        b.state.lastHost[tail.user] = tail.lastHostBefore;
    }
    tail = IndexState::Tail();
}

LogIndex finish(Builder&& b, std::shared_ptr<const LogFile> source)
{
    LogIndex index;
    index.cancelled = b.cancelled;
    index.users = std::move(b.users);
    index.hosts = std::move(b.hosts);
    index.source = std::move(source);
    index.state = std::make_shared<IndexState>(std::move(b.state));
    return index;
}

} // namespace

LogIndex BuildLogIndex(std::string_view text, ProgressSink* sink, const IndexOptions& options)
{
    Builder b;
    indexFrom(text, 0, b, sink, options);
    return finish(std::move(b), nullptr);
}

LogIndex BuildLogIndex(std::shared_ptr<const LogFile> file, ProgressSink* sink,
                       const IndexOptions& options)
{
    // The index stops at the first NUL by itself, so it need not wait for the file's text.
    LogIndex index = BuildLogIndex(file->bytes(), sink, options);
    file->checkNotCutShort();
    index.source = std::move(file);
    return index;
}

LogIndex ExtendLogIndex(LogIndex index, std::string_view text, ProgressSink* sink,
                        const IndexOptions& options)
{
    if (!index.state || index.cancelled || text.size() < index.state->indexed)
        return BuildLogIndex(text, sink, options);
    Builder b;
    b.users = std::move(index.users);
    b.hosts = std::move(index.hosts);
    // Another holder of the state keeps its own copy.
    b.state = index.state.use_count() == 1 ? std::move(*index.state) : *index.state;
    // The entries' texts move with the text, which begins with the bytes they were taken from.
    const char* const oldBase = b.state.base;
    if (oldBase != text.data()) {
        const auto rebase = [&](std::string_view view) {
            return std::string_view(text.data() + (view.data() - oldBase), view.size());
        };
        for (UserEntry& user : b.users)
            user.name = rebase(user.name);
        for (HostEntry& host : b.hosts)
            host.host = rebase(host.host);
        b.state.base = text.data();
    }
    if (!b.state.endedAtNul) {
        takeBackOpenLine(b);
        indexFrom(text, b.state.indexed, b, sink, options);
    }
    return finish(std::move(b), std::move(index.source));
}

LogIndex ExtendLogIndex(LogIndex index, std::shared_ptr<const LogFile> file, ProgressSink* sink,
                        const IndexOptions& options)
{
    LogIndex extended = ExtendLogIndex(std::move(index), file->bytes(), sink, options);
    file->checkNotCutShort();
    extended.source = std::move(file);
    return extended;
}

HostOrder MakeHostOrder(const LogIndex& index)
{
    HostOrder order;
    order.hostsStart.assign(index.users.size() + 1, 0);
    // Ids count from 1 without gaps, so a host's owner is its user's position plus one.
    for (const HostEntry& host : index.hosts)
        ++order.hostsStart[host.owner];
    for (std::size_t u = 1; u < order.hostsStart.size(); ++u)
        order.hostsStart[u] += order.hostsStart[u - 1];
    std::vector<std::uint32_t> next(order.hostsStart.begin(), order.hostsStart.end() - 1);
    order.hosts.resize(index.hosts.size());
    for (std::size_t i = 0; i < index.hosts.size(); ++i)
        order.hosts[next[index.hosts[i].owner - 1]++] = static_cast<std::uint32_t>(i);
    return order;
}

LogTree MakeLogTree(const LogIndex& index)
{
    LogTree tree;
    tree.source = index.source;
    const HostOrder order = MakeHostOrder(index);
    tree.users.reserve(index.users.size());
    tree.hosts.reserve(index.hosts.size());
    for (std::size_t u = 0; u < index.users.size(); ++u) {
        const UserEntry& user = index.users[u];
        const std::size_t first = order.hostsStart[u];
        const std::size_t count = order.hostsStart[u + 1] - first;
        tree.users.push_back(TreeUser{user.name, UserNodeIcon, first, count, user.lines,
                                      user.firstLine, user.lastLine});
    }
    for (const std::uint32_t h : order.hosts) {
        const HostEntry& host = index.hosts[h];
        tree.hosts.push_back(
            TreeHost{host.host, host.kind, host.lines, host.firstLine, host.lastLine});
    }
    return tree;
}

} // namespace qelt
