#include "logaccess/LogIndex.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/mman.h>
#include <thread>

namespace qelt {

namespace {

// A fast hash of a short byte string, eight bytes at a time.
std::uint64_t hashBytes(std::string_view text, std::uint64_t seed)
{
    constexpr std::uint64_t K = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = seed ^ (text.size() * K);
    const char* p = text.data();
    std::size_t n = text.size();
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * K;
        h ^= h >> 32;
        p += 8;
        n -= 8;
    }
    if (n > 0) {
        std::uint64_t w = 0;
        if (text.size() >= 8) {
            // The last eight bytes, overlapping what was hashed already: no byte-wise copy.
            std::memcpy(&w, text.data() + text.size() - 8, 8);
        } else {
            for (std::size_t i = 0; i < n; ++i)
                w |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
        }
        h = (h ^ w) * K;
        h ^= h >> 32;
    }
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return h;
}

// Whether two texts are equal; inline, as the texts compared here are short and many.
bool sameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    const char* p = a.data();
    const char* q = b.data();
    std::size_t n = a.size();
    for (; n >= 8; n -= 8, p += 8, q += 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, p, 8);
        std::memcpy(&y, q, 8);
        if (x != y)
            return false;
    }
    for (; n > 0; --n, ++p, ++q) {
        if (*p != *q)
            return false;
    }
    return true;
}

// Plain memory for the tables, on huge pages when the system allows: lookups jump around tables
// of megabytes, and with small pages much of their cost would be address translation.
template <class T> class PodBuffer
{
public:
    PodBuffer() = default;
    ~PodBuffer() { std::free(m_data); }
    PodBuffer(const PodBuffer&) = delete;
    PodBuffer& operator=(const PodBuffer&) = delete;
    PodBuffer(PodBuffer&& other) noexcept
        : m_data(other.m_data), m_size(other.m_size), m_capacity(other.m_capacity)
    {
        other.m_data = nullptr;
        other.m_size = other.m_capacity = 0;
    }
    PodBuffer& operator=(PodBuffer&&) = delete;

    std::size_t size() const { return m_size; }
    T* data() { return m_data; }
    const T* data() const { return m_data; }
    T& operator[](std::size_t i) { return m_data[i]; }
    const T& operator[](std::size_t i) const { return m_data[i]; }

    void push_back(const T& value)
    {
        if (m_size == m_capacity)
            reallocate(m_capacity < 64 ? 64 : m_capacity * 2);
        m_data[m_size++] = value;
    }
    void append(const T* values, std::size_t n)
    {
        if (m_size + n > m_capacity)
            reallocate(std::max(m_size + n, m_capacity * 2));
        std::memcpy(m_data + m_size, values, n * sizeof(T));
        m_size += n;
    }
    void release()
    {
        std::free(m_data);
        m_data = nullptr;
        m_size = m_capacity = 0;
    }
    // n value-initialised elements, the old content dropped.
    void assignZero(std::size_t n)
    {
        std::free(m_data);
        m_data = nullptr;
        m_size = m_capacity = 0;
        reallocate(n);
        std::memset(m_data, 0, n * sizeof(T));
        m_size = n;
    }

private:
    void reallocate(std::size_t capacity)
    {
        constexpr std::size_t HugePage = 2u << 20;
        std::size_t bytes = capacity * sizeof(T);
        void* fresh;
        if (bytes >= HugePage) {
            bytes = (bytes + HugePage - 1) / HugePage * HugePage;
            fresh = std::aligned_alloc(HugePage, bytes);
            if (fresh)
                ::madvise(fresh, bytes, MADV_HUGEPAGE);
        } else {
            fresh = std::malloc(bytes);
        }
        if (!fresh)
            throw std::bad_alloc();
        if (m_size > 0)
            std::memcpy(fresh, m_data, m_size * sizeof(T));
        std::free(m_data);
        m_data = static_cast<T*>(fresh);
        m_capacity = bytes / sizeof(T);
    }

    T* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

// A set of keys (an owner number and a text) numbered in order of insertion, by open addressing.
// It keeps its own copy of the key bytes, packed, so that a lookup touches a slot and a few
// bytes nearby instead of the far-away place in the log where the text first stood.
class KeyTable
{
public:
    static constexpr std::uint32_t NotFound = 0xFFFFFFFFu;

    KeyTable()
    {
        m_slots.assignZero(1024);
        m_mask = 1023;
        m_keyStart.push_back(0);
    }

    std::uint32_t find(std::uint64_t hash, std::uint32_t owner, std::string_view text) const
    {
        const std::uint64_t tag = hash >> 32;
        std::size_t i = static_cast<std::size_t>(hash) & m_mask;
        for (;;) {
            const std::uint64_t slot = m_slots[i];
            if (slot == 0)
                return NotFound;
            if ((slot >> 32) == tag) {
                const auto entry = static_cast<std::uint32_t>(slot) - 1;
                if (matches(entry, owner, text))
                    return entry;
            }
            i = (i + 1) & m_mask;
        }
    }

    // Adds a key that find did not find; returns its number.
    std::uint32_t insert(std::uint64_t hash, std::uint32_t owner, std::string_view text)
    {
        const auto entry = static_cast<std::uint32_t>(m_hashes.size());
        if ((static_cast<std::size_t>(entry) + 1) * 2 > m_mask + 1)
            grow();
        place(hash, entry);
        m_hashes.push_back(hash);
        m_keys.append(reinterpret_cast<const char*>(&owner), sizeof owner);
        m_keys.append(text.data(), text.size());
        m_keyStart.push_back(m_keys.size());
        return entry;
    }

private:
    bool matches(std::uint32_t entry, std::uint32_t owner, std::string_view text) const
    {
        const std::size_t begin = m_keyStart[entry];
        if (m_keyStart[entry + 1] - begin != sizeof owner + text.size())
            return false;
        const char* key = m_keys.data() + begin;
        return std::memcmp(key, &owner, sizeof owner) == 0 &&
               std::memcmp(key + sizeof owner, text.data(), text.size()) == 0;
    }

    void place(std::uint64_t hash, std::uint32_t entry)
    {
        std::size_t i = static_cast<std::size_t>(hash) & m_mask;
        while (m_slots[i] != 0)
            i = (i + 1) & m_mask;
        m_slots[i] = ((hash >> 32) << 32) | (static_cast<std::uint64_t>(entry) + 1);
    }

    void grow()
    {
        const std::size_t slots = (m_mask + 1) * 2;
        m_slots.assignZero(slots);
        m_mask = slots - 1;
        for (std::size_t entry = 0; entry < m_hashes.size(); ++entry)
            place(m_hashes[entry], static_cast<std::uint32_t>(entry));
    }

    PodBuffer<std::uint64_t> m_slots; // hash's high half << 32 | entry + 1; 0 is empty
    std::size_t m_mask = 0;
    PodBuffer<std::uint64_t> m_hashes; // per entry, to place the entries again when growing
    PodBuffer<std::size_t> m_keyStart; // per entry, and one past the last
    PodBuffer<char> m_keys;            // owner and text of every entry, back to back
};

// The host texts of one user, by open addressing, with its own packed copy of the bytes. One set
// per user keeps the sets of busy users small enough to stay in the cache.
class TextSet
{
public:
    bool contains(std::uint64_t hash, std::string_view text) const
    {
        return find(hash, text) != NotFound;
    }

    static constexpr std::uint32_t NotFound = 0xFFFFFFFFu;

    // Where the copy of text is kept (see keyAt), or NotFound.
    std::uint32_t find(std::uint64_t hash, std::string_view text) const
    {
        if (m_count == 0)
            return NotFound;
        const std::uint64_t tag = hash >> 32;
        std::size_t i = static_cast<std::size_t>(hash) & m_mask;
        for (;;) {
            const std::uint64_t slot = m_slots[i];
            if (slot == 0)
                return NotFound;
            if ((slot >> 32) == tag) {
                const auto offset = static_cast<std::uint32_t>(slot) - 1;
                if (sameText(keyAt(offset), text))
                    return offset;
            }
            i = (i + 1) & m_mask;
        }
    }

    // Adds a text that is not in the set, with the number of its entry in the index; returns
    // where its copy is kept (see keyAt).
    std::uint32_t insert(std::uint64_t hash, std::string_view text, std::uint32_t entry)
    {
        if (m_slots.size() == 0 || (m_count + 1) * 2 > m_mask + 1)
            grow();
        const auto offset = static_cast<std::uint32_t>(m_keys.size());
        const auto size = static_cast<std::uint32_t>(text.size());
        m_keys.append(reinterpret_cast<const char*>(&size), sizeof size);
        m_keys.append(reinterpret_cast<const char*>(&entry), sizeof entry);
        m_keys.append(text.data(), text.size());
        place(hash, offset);
        ++m_count;
        return offset;
    }

    // The copy of an inserted text. It moves while texts are added; once the set is complete it
    // stays put, also when the set itself is moved.
    std::string_view keyAt(std::uint32_t offset) const
    {
        std::uint32_t size;
        std::memcpy(&size, m_keys.data() + offset, sizeof size);
        return {m_keys.data() + offset + KeyHeader, size};
    }
    // The entry number the text was inserted with.
    std::uint32_t entryAt(std::uint32_t offset) const
    {
        std::uint32_t entry;
        std::memcpy(&entry, m_keys.data() + offset + sizeof entry, sizeof entry);
        return entry;
    }
    // Bytes of a key before its text: its size and its entry number.
    static constexpr std::uint32_t KeyHeader = 2 * sizeof(std::uint32_t);

    // Frees the lookup slots of a set that will only be read through keyAt from now on.
    void dropSlots()
    {
        m_slots.release();
        m_count = 0;
    }

    // Hints for a lookup that comes soon: the slot it starts at, and the key that slot holds now.
    void prefetchSlot(std::uint64_t hash) const
    {
        if (m_count > 0)
            __builtin_prefetch(m_slots.data() + (static_cast<std::size_t>(hash) & m_mask));
    }
    void prefetchKey(std::uint64_t hash) const
    {
        if (m_count == 0)
            return;
        const std::uint64_t slot = m_slots[static_cast<std::size_t>(hash) & m_mask];
        if (slot != 0)
            __builtin_prefetch(m_keys.data() + (static_cast<std::uint32_t>(slot) - 1));
    }

private:
    void place(std::uint64_t hash, std::uint32_t offset)
    {
        std::size_t i = static_cast<std::size_t>(hash) & m_mask;
        while (m_slots[i] != 0)
            i = (i + 1) & m_mask;
        m_slots[i] = ((hash >> 32) << 32) | (static_cast<std::uint64_t>(offset) + 1);
    }

    void grow();

    PodBuffer<std::uint64_t> m_slots; // hash's high half << 32 | key offset + 1; 0 is empty
    std::size_t m_mask = 7;           // slots - 1, once there are slots
    std::size_t m_count = 0;
    PodBuffer<char> m_keys; // a four-byte length, the entry number and the text, for every text
};

std::uint64_t hostHash(std::string_view host)
{
    return hashBytes(host, 0x2545F4914F6CDD1Dull);
}

void TextSet::grow()
{
    const std::size_t slots = m_slots.size() == 0 ? 16 : (m_mask + 1) * 2;
    m_slots.assignZero(slots);
    m_mask = slots - 1;
    for (std::size_t offset = 0; offset < m_keys.size();) {
        const std::string_view key = keyAt(static_cast<std::uint32_t>(offset));
        place(hostHash(key), static_cast<std::uint32_t>(offset));
        offset += KeyHeader + key.size();
    }
}

std::uint64_t userHash(std::string_view name)
{
    return hashBytes(name, 0x51ED270B27FC6F1Dull);
}

// The index of one run of lines, entries in order of first appearance within the run.
struct PartIndex
{
    std::vector<UserEntry> users;
    std::vector<HostEntry> hosts;
    KeyTable userTable;
    std::vector<TextSet> hostSets; // per user entry
    bool cancelled = false;
    bool endedAtNul = false; // the run holds a NUL: the log's text ends there

    std::uint32_t findUser(std::string_view name, std::uint64_t hash) const
    {
        return userTable.find(hash, 0, name);
    }
    // owner is the id of a user of this index: its entry number plus one.
    bool hasHost(UserId owner, std::string_view host, std::uint64_t hash) const
    {
        return hostSets[owner - 1].contains(hash, host);
    }
    std::uint32_t addUser(std::string_view name, std::uint64_t hash, ByteOffset line)
    {
        const std::uint32_t entry = userTable.insert(hash, 0, name);
        users.push_back(UserEntry{entry + 1, name, 1, line, line});
        hostSets.emplace_back();
        return entry;
    }
    // Returns the new entry's number.
    std::uint32_t addHost(UserId owner, ConnectionKind kind, std::string_view host,
                          std::uint64_t hash, ByteOffset line)
    {
        const auto entry = static_cast<std::uint32_t>(hosts.size());
        hostSets[owner - 1].insert(hash, host, entry);
        hosts.push_back(HostEntry{owner, kind, host, 1, line, line});
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

// A host of a line whose lookup waits for its table slot and key to arrive in the cache.
struct PendingHost
{
    std::uint32_t user; // entry number
    ConnectionKind kind;
    std::uint64_t hash;
    std::string_view host;
    ByteOffset line;
};

// Indexes the lines of text, which starts at `base` in the whole text, into part.
//
// Looking a host up mostly waits for memory, so the lookups run a few lines behind the parsing:
// each line's table slot is prefetched when the line is parsed, its key a few lines later, and
// the lookup itself happens once both are likely in the cache. Lookups and insertions still
// happen in line order, so the entries keep the order of first appearance. Reporting every entry
// as it is found needs the strict order of user and host events, so it looks up at once.
void indexPart(std::string_view text, ByteOffset base, PartIndex& part, Reporting reporting,
               ProgressSink* sink, const std::atomic<bool>* cancel)
{
    Reporter reporter(sink);
    constexpr std::size_t RingSize = 8; // a power of two
    const std::size_t lag = reporting == Reporting::EveryEntry ? 0 : RingSize - 1;
    const std::size_t keyHintLag = lag / 2;
    PendingHost ring[RingSize];
    std::size_t produced = 0;
    std::size_t consumed = 0;
    bool foundInBlock = false;

    // Per user, the host of its latest line: a user's requests come in runs to one host (a page
    // and its images), and the first of them decides. The line it came from may be far back and
    // out of the cache, so its bytes are only compared when the hashes agree. Once the host's
    // entry is known, the next lines of the run count into it at once.
    struct RecentHost
    {
        std::uint64_t hash = 0;
        std::string_view host;
        std::uint32_t entry = TextSet::NotFound;
    };
    std::vector<RecentHost> recent;

    const auto consume = [&] {
        const PendingHost& pending = ring[consumed++ & (RingSize - 1)];
        TextSet& set = part.hostSets[pending.user];
        const std::uint32_t at = set.find(pending.hash, pending.host);
        std::uint32_t entry;
        if (at != TextSet::NotFound) {
            entry = set.entryAt(at);
            HostEntry& host = part.hosts[entry];
            ++host.lines;
            // A later line of the run may have counted in already.
            host.lastLine = std::max(host.lastLine, pending.line);
        } else {
            entry = part.addHost(part.users[pending.user].id, pending.kind, pending.host,
                                 pending.hash, pending.line);
            foundInBlock = true;
            if (reporting == Reporting::EveryEntry) {
                reporter.host(pending.host);
                reporter.pump();
            }
        }
        RecentHost& last = recent[pending.user];
        if (last.entry == TextSet::NotFound && last.hash == pending.hash &&
            sameText(last.host, pending.host))
            last.entry = entry;
    };

    const char* p = text.data();
    const char* const end = p + text.size();
    std::string_view lastName;
    std::uint32_t lastUser = KeyTable::NotFound;
    std::size_t newUserEntry = 0; // what the last block report showed
    std::size_t newHostEntry = 0;

    while (p < end) {
        const char* blockEnd =
            (end - p > static_cast<std::ptrdiff_t>(BlockBytes)) ? p + BlockBytes : end;
        while (p < blockEnd) {
            const char* lineEnd = FindLineEndOrNul(p, end);
            const std::string_view line(p, static_cast<std::size_t>(lineEnd - p));
            if (lineEnd < end && *lineEnd == '\0') {
                // A NUL ends the text: this line is its last, and nothing after it counts.
                part.endedAtNul = true;
                p = end;
            } else {
                p = lineEnd + TerminatorLength(lineEnd, end);
            }

            const IndexFields fields = ExtractIndexFields(line);
            if (!fields.qualifies || fields.user.empty())
                continue;
            const ByteOffset lineAt = base + static_cast<ByteOffset>(line.data() - text.data());
            const std::string_view name = fields.user;
            std::uint32_t user;
            if (lastUser != KeyTable::NotFound && sameText(name, lastName)) {
                user = lastUser;
                UserEntry& entry = part.users[user];
                ++entry.lines;
                entry.lastLine = lineAt;
            } else {
                const std::uint64_t hash = userHash(name);
                user = part.findUser(name, hash);
                if (user != KeyTable::NotFound) {
                    UserEntry& entry = part.users[user];
                    ++entry.lines;
                    entry.lastLine = lineAt;
                } else {
                    user = part.addUser(name, hash, lineAt);
                    foundInBlock = true;
                    if (reporting == Reporting::EveryEntry) {
                        reporter.accounts(part.users.size());
                        reporter.user(fields.user);
                        reporter.pump();
                    }
                }
                lastUser = user;
                lastName = name;
            }
            if (fields.host.empty())
                continue;
            const std::string_view host = fields.host;
            const std::uint64_t hash = hostHash(host);
            if (user >= recent.size())
                recent.resize(part.users.size());
            RecentHost& last = recent[user];
            if (last.hash == hash && sameText(last.host, host)) {
                if (last.entry != TextSet::NotFound) {
                    HostEntry& entry = part.hosts[last.entry];
                    ++entry.lines;
                    entry.lastLine = lineAt;
                    continue;
                }
            } else {
                last = RecentHost{hash, host, TextSet::NotFound};
            }

            part.hostSets[user].prefetchSlot(hash);
            ring[produced++ & (RingSize - 1)] = PendingHost{user, fields.kind, hash, host, lineAt};
            if (keyHintLag > 0 && produced > keyHintLag) {
                const PendingHost& soon = ring[(produced - 1 - keyHintLag) & (RingSize - 1)];
                part.hostSets[soon.user].prefetchKey(soon.hash);
            }
            if (produced - consumed > lag)
                consume();
        }
        while (consumed < produced)
            consume();
        if (reporting == Reporting::PerBlock && foundInBlock) {
            if (part.users.size() != newUserEntry) {
                newUserEntry = part.users.size();
                reporter.accounts(part.users.size());
                reporter.user(part.users.back().name);
            }
            if (part.hosts.size() != newHostEntry) {
                newHostEntry = part.hosts.size();
                reporter.host(part.hosts.back().host);
            }
            reporter.pump();
        }
        foundInBlock = false;
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            part.cancelled = p < end && !part.endedAtNul;
            break;
        }
    }

    // The sets are complete: let the entries show the sets' packed copies of the host texts, so
    // that reading the tree goes through a few megabytes in order instead of jumping around the
    // whole log.
    // Each set keeps its copies in the order its user's hosts were found.
    std::vector<std::uint32_t> next(part.users.size(), 0);
    for (HostEntry& host : part.hosts) {
        std::uint32_t& at = next[host.owner - 1];
        host.host = part.hostSets[host.owner - 1].keyAt(at);
        at += static_cast<std::uint32_t>(TextSet::KeyHeader + host.host.size());
    }
}

// Appends to the first run's lists the entries of the later runs that are new, keeping the order
// of first appearance (a later run's lines all come after an earlier run's). A host of run k is
// new when no earlier run holds it for the same user; each run's host sets hold its own hosts, so
// those checks only read, and run on all cores. Nothing is looked up after the merge, so the
// merged entries need not enter any set. The counts of a node add up, its first line is that of
// the earliest run that holds it, its last line that of the latest.
void mergeParts(std::vector<PartIndex>& parts, std::size_t count)
{
    PartIndex& merged = parts[0];
    // Per run, the merged entry of each of its hosts.
    std::vector<std::vector<std::uint32_t>> mergedHost(count);
    mergedHost[0].resize(merged.hosts.size());
    for (std::size_t i = 0; i < merged.hosts.size(); ++i)
        mergedHost[0][i] = static_cast<std::uint32_t>(i);
    for (std::size_t k = 1; k < count; ++k) {
        const PartIndex& later = parts[k];
        const std::size_t userCount = later.users.size();
        // Where each of later's users stands in every earlier run, and its merged id.
        std::vector<std::uint32_t> entryIn(k * userCount, KeyTable::NotFound);
        std::vector<UserId> idOf(userCount + 1, 0);
        for (std::size_t i = 0; i < userCount; ++i) {
            const std::string_view name = later.users[i].name;
            const std::uint64_t hash = userHash(name);
            for (std::size_t j = 0; j < k; ++j)
                entryIn[j * userCount + i] = parts[j].findUser(name, hash);
            const UserEntry& counts = later.users[i];
            std::uint32_t entry = merged.findUser(name, hash);
            if (entry == KeyTable::NotFound) {
                entry = merged.addUser(name, hash, counts.firstLine);
                merged.users[entry].lines = counts.lines;
            } else {
                merged.users[entry].lines += counts.lines;
            }
            merged.users[entry].lastLine = counts.lastLine;
            idOf[later.users[i].id] = merged.users[entry].id;
        }

        // The merged entry of each of later's hosts that an earlier run holds, else NotFound.
        std::vector<std::uint32_t>& found = mergedHost[k];
        found.assign(later.hosts.size(), TextSet::NotFound);
        const auto check = [&](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; ++i) {
                const HostEntry& host = later.hosts[i];
                const std::size_t user = host.owner - 1;
                const std::uint64_t hash = hostHash(host.host);
                for (std::size_t j = 0; j < k; ++j) {
                    const std::uint32_t entry = entryIn[j * userCount + user];
                    if (entry == KeyTable::NotFound)
                        continue;
                    const TextSet& set = parts[j].hostSets[entry];
                    const std::uint32_t at = set.find(hash, host.host);
                    if (at != TextSet::NotFound) {
                        found[i] = mergedHost[j][set.entryAt(at)];
                        break;
                    }
                }
            }
        };
        const std::size_t half = later.hosts.size() / 2;
        if (half >= 32768 && std::thread::hardware_concurrency() > 1) {
            std::thread second(check, half, later.hosts.size());
            check(0, half);
            second.join();
        } else {
            check(0, later.hosts.size());
        }

        for (std::size_t i = 0; i < later.hosts.size(); ++i) {
            const HostEntry& host = later.hosts[i];
            if (found[i] != TextSet::NotFound) {
                HostEntry& into = merged.hosts[found[i]];
                into.lines += host.lines;
                into.lastLine = host.lastLine;
                continue;
            }
            found[i] = static_cast<std::uint32_t>(merged.hosts.size());
            merged.hosts.push_back(HostEntry{idOf[host.owner], host.kind, host.host, host.lines,
                                             host.firstLine, host.lastLine});
        }
        // This run's sets are still read by the checks of the runs after it.
    }
}

} // namespace

LogIndex BuildLogIndex(std::string_view text, ProgressSink* sink, const IndexOptions& options)
{
    unsigned threads = options.threads;
    if (threads == 0)
        threads = RunsForScan(text.size(), options.minBytesPerThread);
    const std::vector<std::string_view> parts = SplitAtLineEnds(text, std::max(1u, threads));

    std::vector<PartIndex> indexes(parts.size());
    if (parts.size() == 1) {
        indexPart(parts[0], 0, indexes[0], sink ? Reporting::EveryEntry : Reporting::None, sink,
                  options.cancel);
    } else {
        // The first run is indexed on this thread, so that the sink is only ever called here.
        RunParts(parts.size(), [&](std::size_t k) {
            const auto base = static_cast<ByteOffset>(parts[k].data() - text.data());
            if (k == 0)
                indexPart(parts[0], base, indexes[0], sink ? Reporting::PerBlock : Reporting::None,
                          sink, options.cancel);
            else
                indexPart(parts[k], base, indexes[k], Reporting::None, nullptr, options.cancel);
        });
        // The text ends at the first NUL: the runs after the one that holds it do not count.
        std::size_t counted = 0;
        while (counted < parts.size() && !indexes[counted].endedAtNul)
            ++counted;
        counted = std::min(counted + 1, parts.size());
        bool cancelled = false;
        for (std::size_t k = 0; k < counted; ++k)
            cancelled = cancelled || indexes[k].cancelled;
        if (!cancelled) {
            const std::size_t usersBefore = indexes[0].users.size();
            const std::size_t hostsBefore = indexes[0].hosts.size();
            mergeParts(indexes, counted);
            // The texts one run would have left: the last new user and the last new host.
            if (sink) {
                PartIndex& all = indexes[0];
                Reporter reporter(sink);
                if (all.users.size() != usersBefore) {
                    reporter.accounts(all.users.size());
                    reporter.user(all.users.back().name);
                }
                if (all.hosts.size() != hostsBefore)
                    reporter.host(all.hosts.back().host);
                reporter.pump();
            }
        } else {
            indexes[0].cancelled = true;
        }
    }

    LogIndex index;
    index.users = std::move(indexes[0].users);
    index.hosts = std::move(indexes[0].hosts);
    index.cancelled = indexes[0].cancelled;
    // The host texts live in the runs' sets: keep their copies, free everything else.
    for (PartIndex& part : indexes) {
        for (TextSet& set : part.hostSets)
            set.dropSlots();
        part.users = {};
        part.hosts = {};
    }
    index.storage = std::make_shared<const std::vector<PartIndex>>(std::move(indexes));
    return index;
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

LogTree MakeLogTree(const LogIndex& index)
{
    LogTree tree;
    tree.source = index.source;
    tree.storage = index.storage;
    tree.users.reserve(index.users.size());
    tree.hosts.resize(index.hosts.size());
    // Ids count from 1 without gaps, so a host's owner is its user's position plus one.
    std::vector<std::size_t> next(index.users.size() + 1, 0);
    for (const HostEntry& host : index.hosts)
        ++next[host.owner];
    std::size_t first = 0;
    for (const UserEntry& user : index.users) {
        const std::size_t count = next[user.id];
        tree.users.push_back(TreeUser{user.name, UserNodeIcon, first, count, user.lines,
                                      user.firstLine, user.lastLine});
        next[user.id] = first;
        first += count;
    }
    for (const HostEntry& host : index.hosts)
        tree.hosts[next[host.owner]++] =
            TreeHost{host.host, host.kind, host.lines, host.firstLine, host.lastLine};
    return tree;
}

} // namespace qelt
