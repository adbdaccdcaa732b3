#include "logaccess/LogStats.h"

#include "common/Bytes.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelt {

namespace {

constexpr std::uint32_t None = 0xFFFFFFFFu;

std::uint64_t userHash(std::string_view name)
{
    return HashBytes(name, 0x51ED270B27FC6F1Dull);
}

std::uint64_t hostHash(std::string_view host)
{
    return HashBytes(host, 0x2545F4914F6CDD1Dull);
}

// Texts numbered 0, 1, ... in order of insertion, by open addressing. Each text is copied into a
// record of its own, packed one after the other (its hash, number and size, then its bytes
// padded to eight), so that a lookup reads an eight-byte slot and one record nearby instead of
// the far-away place in the log where the text first stood.
class TextTable
{
public:
    std::uint32_t size() const { return m_count; }

    // The number of text, or None.
    std::uint32_t find(std::uint64_t hash, std::string_view text) const
    {
        if (m_count == 0)
            return None;
        const std::uint64_t tag = hash >> 32;
        for (std::size_t i = static_cast<std::size_t>(hash) & m_mask;; i = (i + 1) & m_mask) {
            const std::uint64_t slot = m_slots[i];
            if (slot == 0)
                return None;
            if ((slot >> 32) == tag) {
                const auto at = static_cast<std::uint32_t>(slot) - 1;
                const Record& r = record(at);
                if (r.size == text.size() && SameBytes(bytesOf(at), text.data(), text.size()))
                    return r.number;
            }
        }
    }

    // Adds a text that find did not find; returns its number.
    std::uint32_t insert(std::uint64_t hash, std::string_view text)
    {
        if ((m_count + 1) * 2 > m_slots.size())
            grow();
        const auto at = static_cast<std::uint32_t>(m_words.size());
        m_words.resize(m_words.size() + HeaderWords + (text.size() + 7) / 8, 0);
        Record& r = *reinterpret_cast<Record*>(m_words.data() + at);
        r.hash = hash;
        r.number = m_count;
        r.size = static_cast<std::uint32_t>(text.size());
        if (!text.empty())
            std::memcpy(m_words.data() + at + HeaderWords, text.data(), text.size());
        place(hash, at);
        return m_count++;
    }

    // Hints for a lookup that comes soon: the slot it starts at, and the record that slot holds.
    [[gnu::always_inline]] void prefetchSlot(std::uint64_t hash) const // see FetchAhead
    {
        if (m_count > 0)
            __builtin_prefetch(m_slots.data() + (static_cast<std::size_t>(hash) & m_mask));
    }
    [[gnu::always_inline]] void prefetchRecord(std::uint64_t hash) const
    {
        if (m_count == 0)
            return;
        const std::uint64_t slot = m_slots[static_cast<std::size_t>(hash) & m_mask];
        if (slot != 0)
            __builtin_prefetch(m_words.data() + (static_cast<std::uint32_t>(slot) - 1));
    }

    // Calls f(number, hash, text) for every text, in the order of the numbers.
    template <class F> void forEach(F&& f) const
    {
        for (std::size_t at = 0; at < m_words.size();) {
            const Record& r = record(static_cast<std::uint32_t>(at));
            f(r.number, r.hash, std::string_view(bytesOf(static_cast<std::uint32_t>(at)), r.size));
            at += HeaderWords + (r.size + 7) / 8;
        }
    }

private:
    struct Record
    {
        std::uint64_t hash;
        std::uint32_t number;
        std::uint32_t size;
        // followed by the text's bytes, padded to eight
    };
    static constexpr std::size_t HeaderWords = sizeof(Record) / 8;

    const Record& record(std::uint32_t at) const
    {
        return *reinterpret_cast<const Record*>(m_words.data() + at);
    }
    const char* bytesOf(std::uint32_t at) const
    {
        return reinterpret_cast<const char*>(m_words.data() + at + HeaderWords);
    }

    void place(std::uint64_t hash, std::uint32_t at)
    {
        std::size_t i = static_cast<std::size_t>(hash) & m_mask;
        while (m_slots[i] != 0)
            i = (i + 1) & m_mask;
        m_slots[i] = ((hash >> 32) << 32) | (static_cast<std::uint64_t>(at) + 1);
    }

    void grow()
    {
        std::vector<std::uint64_t>(m_slots.empty() ? 16 : 2 * m_slots.size(), 0).swap(m_slots);
        m_mask = m_slots.size() - 1;
        for (std::size_t at = 0; at < m_words.size();) {
            const Record& r = record(static_cast<std::uint32_t>(at));
            place(r.hash, static_cast<std::uint32_t>(at));
            at += HeaderWords + (r.size + 7) / 8;
        }
    }

    std::vector<std::uint64_t> m_slots; // hash's high half << 32 | record + 1; 0 is empty
    std::size_t m_mask = 0;
    std::uint32_t m_count = 0;
    std::vector<std::uint64_t> m_words; // the records
};

// The hosts of one user: a host's number (plus one) to the count and the last line of its
// lines, by open addressing over sixteen-byte slots, four to a cache line, so that counting a
// line reads and writes one line of memory. Beside each slot, touched only when a host is added
// or its count passes 2^32, stand its entry and the high half of its count.
class PairTable
{
public:
    std::uint32_t find(std::uint32_t key) const
    {
        if (m_count == 0)
            return None;
        for (std::size_t i = indexOf(key);; i = (i + 1) & m_mask) {
            const std::uint32_t k = m_slots[i].key;
            if (k == key)
                return static_cast<std::uint32_t>(i);
            if (k == 0)
                return None;
        }
    }

    // Adds a key that find did not find, with no lines yet; returns its slot.
    std::uint32_t insert(std::uint32_t key, std::uint32_t entry)
    {
        if ((m_count + 1) * 4 > m_slots.size() * 3)
            grow();
        ++m_count;
        const std::size_t i = place(key);
        m_side[i].entry = entry;
        return static_cast<std::uint32_t>(i);
    }

    void count(std::uint32_t i, RequestCount lines, LinePosition lastAt)
    {
        Slot& slot = m_slots[i];
        const RequestCount sum = slot.requests + lines;
        slot.requests = static_cast<std::uint32_t>(sum);
        if ((sum >> 32) != 0)
            m_side[i].high += static_cast<std::uint32_t>(sum >> 32);
        slot.lastAt = lastAt;
    }

    std::uint32_t key(std::uint32_t i) const { return m_slots[i].key; }
    std::uint32_t entry(std::uint32_t i) const { return m_side[i].entry; }
    RequestCount requests(std::uint32_t i) const
    {
        return (RequestCount(m_side[i].high) << 32) | m_slots[i].requests;
    }
    LinePosition lastAt(std::uint32_t i) const { return m_slots[i].lastAt; }

    // Calls f(slot) for every slot in use.
    template <class F> void forEach(F&& f) const
    {
        for (std::size_t i = 0; i < m_slots.size(); ++i) {
            if (m_slots[i].key != 0)
                f(static_cast<std::uint32_t>(i));
        }
    }

    // A hint for a lookup of key that comes soon.
    [[gnu::always_inline]] void prefetch(std::uint32_t key) const // see FetchAhead
    {
        if (m_count > 0)
            __builtin_prefetch(m_slots.data() + indexOf(key));
    }

private:
    struct Slot
    {
        std::uint32_t key = 0; // 0: empty
        std::uint32_t requests = 0;
        LinePosition lastAt = 0;
    };
    struct Side
    {
        std::uint32_t entry = 0;
        std::uint32_t high = 0;
    };

    // Host numbers come in order, so a multiplicative hash spreads them over the table.
    std::size_t indexOf(std::uint32_t key) const
    {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> m_shift);
    }

    std::size_t place(std::uint32_t key)
    {
        std::size_t i = indexOf(key);
        while (m_slots[i].key != 0)
            i = (i + 1) & m_mask;
        m_slots[i].key = key;
        return i;
    }

    void grow()
    {
        std::vector<Slot> slots(m_slots.empty() ? 8 : 2 * m_slots.size());
        std::vector<Side> side(slots.size());
        slots.swap(m_slots);
        side.swap(m_side);
        m_mask = m_slots.size() - 1;
        m_shift = 64 - static_cast<unsigned>(__builtin_ctzll(m_slots.size()));
        for (std::size_t k = 0; k < slots.size(); ++k) {
            if (slots[k].key == 0)
                continue;
            const std::size_t i = place(slots[k].key);
            m_slots[i] = slots[k];
            m_side[i] = side[k];
        }
    }

    std::vector<Slot> m_slots;
    std::vector<Side> m_side;
    std::size_t m_mask = 0;
    unsigned m_shift = 63;
    std::size_t m_count = 0;
};

struct UserCount
{
    std::string_view name;
    RequestCount requests = 0;
    LinePosition firstAt = 0;
    LinePosition lastAt = 0;
    bool inScope = false;     // the scope's user (every user for All)
    bool bracketFree = false; // holds no '['
};

// A user-host entry: what its first line said. Its count and last line are in the user's
// PairTable.
struct HostCount
{
    std::string_view host;
    LinePosition firstAt = 0;
    std::uint32_t owner = 0;
    ConnectionKind kind = 0;
};

constexpr std::size_t DayLength = 11;

// The counts of one run of lines, or of several runs merged; entries in order of first
// appearance.
struct Counts
{
    const StatsScope* scope = nullptr;
    std::vector<UserCount> users;
    TextTable userTable;
    TextTable names; // every host text met, numbered
    std::vector<HostCount> hosts;
    std::vector<PairTable> pairs; // per user: its hosts' counts, keyed by number + 1
    bool started = false;
    std::array<RequestCount, HourSlots> byHour{};
    std::array<RequestCount, KindSlots> byKind{};
    std::vector<DayCount> days; // in order of first appearance
    std::unordered_map<std::string_view, std::uint32_t> dayIndex;
    bool cancelled = false;
    bool endedAtNul = false;

    std::uint32_t findUser(std::string_view name, std::uint64_t hash) const
    {
        return userTable.find(hash, name);
    }
    std::uint32_t addUser(std::string_view name, std::uint64_t hash, LinePosition at)
    {
        UserCount user;
        user.name = name;
        user.firstAt = at;
        user.inScope = scope->level == StatsScope::Level::All || name == scope->user;
        user.bracketFree = name.find('[') == std::string_view::npos;
        users.push_back(user);
        pairs.emplace_back();
        return userTable.insert(hash, name);
    }
    std::uint32_t addName(std::uint64_t hash, std::string_view host)
    {
        return names.insert(hash, host);
    }
    // Adds a host entry of owner under key; returns its slot in the owner's table.
    std::uint32_t addHost(std::uint32_t owner, std::uint32_t key, std::string_view host,
                          ConnectionKind kind, LinePosition at)
    {
        const auto entry = static_cast<std::uint32_t>(hosts.size());
        HostCount count;
        count.host = host;
        count.firstAt = at;
        count.owner = owner;
        count.kind = kind;
        hosts.push_back(count);
        return pairs[owner].insert(key, entry);
    }
    RequestCount& day(std::string_view text)
    {
        const auto found = dayIndex.find(text);
        if (found != dayIndex.end())
            return days[found->second].requests;
        dayIndex.emplace(text, static_cast<std::uint32_t>(days.size()));
        days.push_back(DayCount{text, 0});
        return days.back().requests;
    }
};

constexpr std::size_t BlockBytes = 4u << 20;

// ExtractDateText(line) for a line that the index counts, whose user field is user, found
// without a scan of the line's head when the line has the usual shape: no '[' in its first
// field or (bracketFree) its user, no '+' in its first 21 bytes, and a '+' 22 bytes after the
// '[' of the user's " [". The first '[' of the line is then that one, and the first '+' stands
// at least 21 bytes into the line, so the date is the 20 bytes after the '['.
std::string_view dateOfCountedLine(std::string_view line, std::string_view user, bool bracketFree)
{
#if defined(__SSE2__)
    const auto head = static_cast<std::size_t>(user.data() - line.data());
    const std::size_t bracket = head + user.size() + 1;
    if (bracketFree && head <= 16 && line.size() >= bracket + 23 && line[bracket] == '[' &&
        line[bracket + 22] == '+') {
        // Bytes 0 to 15 and 5 to 20.
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line.data()));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line.data() + 5));
        const __m128i plus = _mm_set1_epi8('+');
        const auto plusMask = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(first, plus), _mm_cmpeq_epi8(next, plus))));
        const auto bracketMask =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(first, _mm_set1_epi8('['))));
        if ((plusMask | (bracketMask & ((1u << head) - 1u))) == 0)
            return line.substr(bracket + 1, DateCapacity);
    }
#else
    (void)user;
    (void)bracketFree;
#endif
    return ExtractDateText(line);
}

// Counts the lines of text, whose first byte is at position base.
//
// Looking a host up mostly waits for memory, so the lookups run a few lines behind the parsing,
// in stages: when a line is parsed, the slot of its host text in the table of host texts is
// prefetched; a few lines later the record that slot points to; a few lines later still the
// text is looked up there, which gives its number, and the user's slot for that number is
// prefetched; and a few lines after that the line is counted there. Each stage takes the lines
// in line order, so the entries keep the order of first appearance.
void countPart(std::string_view text, LinePosition base, Counts& counts,
               const std::atomic<bool>* cancel)
{
    const char* const start = text.data();
    const char* p = start;
    const char* const end = p + text.size();
    const bool hostLevel = counts.scope->level == StatsScope::Level::Host;
    std::string_view lastName;
    std::uint32_t lastUser = None;
    // The date text of the latest line counted into the histograms, its hour, and its day's
    // counter: lines come in runs of the same second.
    std::string_view lastDate;
    std::size_t lastHour = UnknownHour;
    std::string_view lastDay;
    RequestCount* lastDayCount = nullptr;

    // Per user: the host of its latest line (copied: the line it first stood in may be far back;
    // a user's requests come in runs to one host), its slot in the user's table once the lookup
    // of that line has happened, and the lines to it since that lookup, not yet in the slot.
    constexpr std::size_t Room = 48;
    struct Recent
    {
        char bytes[Room] = {};
        std::uint32_t size = 0xFFFFFFFFu;
        std::uint32_t slot = None;
        std::uint32_t extra = 0;
        LinePosition extraAt = 0;
    };
    std::vector<Recent> recent;

    const auto countInScope = [&](const IndexFields& fields, std::string_view line,
                                  bool bracketFree) {
        ++counts.byKind[fields.hasKind ? fields.kind : NoKindSlot];
        const std::string_view date = dateOfCountedLine(line, fields.user, bracketFree);
        if (lastDayCount && SameText(date, lastDate)) {
            ++counts.byHour[lastHour];
            ++*lastDayCount;
            return;
        }
        lastDate = date;
        lastHour = HourOfDate(date);
        ++counts.byHour[lastHour];
        const std::string_view day = date.substr(0, DayLength);
        if (!lastDayCount || !SameText(day, lastDay)) {
            lastDayCount = &counts.day(day);
            lastDay = day;
        }
        ++*lastDayCount;
    };

    struct Pending
    {
        std::string_view host;
        std::uint64_t hash;
        LinePosition at;
        LinePosition extraAt;
        std::uint32_t user;
        std::uint32_t key;         // the host's number + 1, once looked up
        std::uint32_t extraBefore; // lines to the user's previous host, not yet counted
        ConnectionKind kind;
    };
    constexpr std::size_t RingSize = 16; // a power of two
    constexpr std::size_t RecordLag = 3;
    constexpr std::size_t NameLag = 6;
    constexpr std::size_t CountLag = RingSize - 1;
    Pending ring[RingSize];
    std::size_t produced = 0;
    std::size_t named = 0;
    std::size_t consumed = 0;

    const auto name = [&] {
        Pending& pending = ring[named++ & (RingSize - 1)];
        std::uint32_t number = counts.names.find(pending.hash, pending.host);
        if (number == None)
            number = counts.addName(pending.hash, pending.host);
        pending.key = number + 1;
        counts.pairs[pending.user].prefetch(pending.key);
    };
    const auto consume = [&] {
        const Pending& pending = ring[consumed++ & (RingSize - 1)];
        Recent& last = recent[pending.user];
        PairTable& table = counts.pairs[pending.user];
        if (pending.extraBefore > 0)
            table.count(last.slot, pending.extraBefore, pending.extraAt);
        std::uint32_t slot = table.find(pending.key);
        if (slot == None)
            slot =
                counts.addHost(pending.user, pending.key, pending.host, pending.kind, pending.at);
        table.count(slot, 1, pending.at);
        last.slot = slot;
    };

    while (p < end) {
        const char* blockEnd =
            (end - p > static_cast<std::ptrdiff_t>(BlockBytes)) ? p + BlockBytes : end;
        while (p < blockEnd) {
            const IndexLine scanned = ScanIndexLine(p, end);
            const char* const lineStart = p;
            const char* const lineEnd = scanned.end;
            const std::string_view line(p, static_cast<std::size_t>(lineEnd - p));
            if (lineEnd < end && *lineEnd == '\0') {
                counts.endedAtNul = true;
                p = end;
            } else {
                p = lineEnd + TerminatorLength(lineEnd, end);
            }

            const IndexFields& fields = scanned.fields;
            if (!fields.qualifies || fields.user.empty())
                continue;
            const LinePosition at = base + static_cast<LinePosition>(lineStart - start);
            std::uint32_t user;
            if (lastUser != None && SameText(fields.user, lastName)) {
                user = lastUser;
            } else {
                const std::uint64_t hash = userHash(fields.user);
                user = counts.findUser(fields.user, hash);
                if (user == None) {
                    user = counts.addUser(fields.user, hash, at);
                    recent.resize(counts.users.size());
                }
                lastUser = user;
                lastName = fields.user;
            }
            UserCount& userCount = counts.users[user];
            ++userCount.requests;
            userCount.lastAt = at;
            if (fields.host.empty()) {
                if (userCount.inScope && !hostLevel)
                    countInScope(fields, line, userCount.bracketFree);
                continue;
            }

            if (userCount.inScope && (!hostLevel || fields.host == counts.scope->host))
                countInScope(fields, line, userCount.bracketFree);

            Recent& last = recent[user];
            if (last.size == fields.host.size() &&
                SameBytes(last.bytes, fields.host.data(), fields.host.size())) {
                // Counted into the host's slot when the user's next lookup, or the block, ends.
                ++last.extra;
                last.extraAt = at;
                continue;
            }
            const std::uint64_t hash = hostHash(fields.host);
            counts.names.prefetchSlot(hash);
            ring[produced++ & (RingSize - 1)] =
                Pending{fields.host, hash, at, last.extraAt, user, 0, last.extra, fields.kind};
            last.extra = 0;
            if (fields.host.size() <= Room) {
                last.size = static_cast<std::uint32_t>(fields.host.size());
                std::memcpy(last.bytes, fields.host.data(), fields.host.size());
            } else {
                last.size = 0xFFFFFFFFu;
            }
            if (produced > RecordLag)
                counts.names.prefetchRecord(ring[(produced - 1 - RecordLag) & (RingSize - 1)].hash);
            if (produced - named > NameLag)
                name();
            if (produced - consumed > CountLag)
                consume();
        }
        while (named < produced)
            name();
        while (consumed < produced)
            consume();
        for (std::size_t u = 0; u < recent.size(); ++u) {
            Recent& last = recent[u];
            if (last.extra > 0) {
                counts.pairs[u].count(last.slot, last.extra, last.extraAt);
                last.extra = 0;
            }
        }
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            counts.cancelled = p < end && !counts.endedAtNul;
            break;
        }
    }
}

// Adds the counts of a later run into merged, keeping the order of first appearance.
void mergeInto(Counts& merged, Counts& later)
{
    if (!merged.started) {
        const StatsScope* scope = merged.scope;
        merged = std::move(later);
        merged.scope = scope;
        merged.started = true;
        return;
    }
    std::vector<std::uint32_t> userOf(later.users.size());
    for (std::size_t i = 0; i < later.users.size(); ++i) {
        const UserCount& user = later.users[i];
        const std::uint64_t hash = userHash(user.name);
        std::uint32_t entry = merged.findUser(user.name, hash);
        if (entry == None)
            entry = merged.addUser(user.name, hash, user.firstAt);
        UserCount& into = merged.users[entry];
        into.requests += user.requests;
        into.lastAt = user.lastAt;
        userOf[i] = entry;
    }
    std::vector<std::uint32_t> nameOf(later.names.size());
    later.names.forEach([&](std::uint32_t number, std::uint64_t hash, std::string_view text) {
        std::uint32_t name = merged.names.find(hash, text);
        if (name == None)
            name = merged.addName(hash, text);
        nameOf[number] = name;
    });
    // User by user, so that each lookup stays in one user's table; the hosts new to a user are
    // added in the order the later run met them.
    struct Fresh
    {
        std::uint32_t entry;
        std::uint32_t slot;
    };
    std::vector<Fresh> fresh;
    for (std::size_t u = 0; u < later.users.size(); ++u) {
        const std::uint32_t owner = userOf[u];
        const PairTable& from = later.pairs[u];
        PairTable& into = merged.pairs[owner];
        fresh.clear();
        from.forEach([&](std::uint32_t slot) {
            const std::uint32_t at = into.find(nameOf[from.key(slot) - 1] + 1);
            if (at == None)
                fresh.push_back(Fresh{from.entry(slot), slot});
            else
                into.count(at, from.requests(slot), from.lastAt(slot));
        });
        std::sort(fresh.begin(), fresh.end(),
                  [](const Fresh& a, const Fresh& b) { return a.entry < b.entry; });
        for (const Fresh& f : fresh) {
            const HostCount& host = later.hosts[f.entry];
            const std::uint32_t at = merged.addHost(owner, nameOf[from.key(f.slot) - 1] + 1,
                                                    host.host, host.kind, host.firstAt);
            into.count(at, from.requests(f.slot), from.lastAt(f.slot));
        }
    }
    for (std::size_t h = 0; h < HourSlots; ++h)
        merged.byHour[h] += later.byHour[h];
    for (std::size_t k = 0; k < KindSlots; ++k)
        merged.byKind[k] += later.byKind[k];
    for (const DayCount& day : later.days)
        merged.day(day.day) += day.requests;
    merged.cancelled = merged.cancelled || later.cancelled;
}

// Counts one text into merged; returns false when the count was stopped.
bool countText(std::string_view bytes, LinePosition base, Counts& merged,
               const StatsOptions& options)
{
    unsigned threads = options.threads;
    if (threads == 0)
        threads = RunsForScan(bytes.size(), options.minBytesPerThread);
    const std::vector<std::string_view> parts = SplitAtLineEnds(bytes, std::max(1u, threads));
    std::vector<Counts> counts(parts.size());
    for (Counts& part : counts)
        part.scope = merged.scope;
    RunParts(parts.size(), [&](std::size_t k) {
        countPart(parts[k], base + static_cast<LinePosition>(parts[k].data() - bytes.data()),
                  counts[k], options.cancel);
    });
    for (std::size_t k = 0; k < counts.size(); ++k) {
        mergeInto(merged, counts[k]);
        if (counts[k].endedAtNul || counts[k].cancelled)
            break;
    }
    return !merged.cancelled;
}

struct Source
{
    std::string_view bytes;
};

std::string_view dateAt(const std::vector<Source>& sources, LinePosition at)
{
    const std::string_view bytes = sources[at >> LinePositionFileShift].bytes;
    const std::size_t offset = at & ((LinePosition(1) << LinePositionFileShift) - 1);
    const char* const begin = bytes.data() + offset;
    const char* const lineEnd = FindLineEndOrNul(begin, bytes.data() + bytes.size());
    return ExtractDateText(std::string_view(begin, static_cast<std::size_t>(lineEnd - begin)));
}

LogStats finish(Counts& merged, const std::vector<Source>& sources, const StatsScope& scope,
                bool countDistinct)
{
    LogStats stats;
    stats.cancelled = merged.cancelled;
    stats.users.reserve(merged.users.size());
    std::vector<std::size_t> next(merged.users.size(), 0);
    for (const HostCount& host : merged.hosts)
        ++next[host.owner];
    std::size_t first = 0;
    for (std::size_t u = 0; u < merged.users.size(); ++u) {
        const UserCount& count = merged.users[u];
        UserStats user;
        user.name = count.name;
        user.requests = count.requests;
        user.firstAt = count.firstAt;
        user.lastAt = count.lastAt;
        user.first = dateAt(sources, count.firstAt);
        user.last = dateAt(sources, count.lastAt);
        user.firstHost = first;
        user.hostCount = next[u];
        next[u] = first;
        first += user.hostCount;
        stats.users.push_back(user);
    }
    stats.hosts.resize(merged.hosts.size());
    std::vector<std::size_t> placeOf(merged.hosts.size());
    for (std::size_t e = 0; e < merged.hosts.size(); ++e) {
        const HostCount& count = merged.hosts[e];
        placeOf[e] = next[count.owner]++;
        HostStats& host = stats.hosts[placeOf[e]];
        host.host = count.host;
        host.kind = count.kind;
        host.firstAt = count.firstAt;
    }
    for (const PairTable& table : merged.pairs) {
        table.forEach([&](std::uint32_t slot) {
            HostStats& host = stats.hosts[placeOf[table.entry(slot)]];
            host.requests = table.requests(slot);
            host.lastAt = table.lastAt(slot);
        });
    }

    ScopeStats& numbers = stats.scope;
    numbers.byHour = merged.byHour;
    numbers.byKind = merged.byKind;
    numbers.byDay = merged.days;
    std::stable_sort(numbers.byDay.begin(), numbers.byDay.end(),
                     [](const DayCount& a, const DayCount& b) {
                         const std::uint32_t x = DayNumber(a.day);
                         const std::uint32_t y = DayNumber(b.day);
                         // Days that cannot be read go last.
                         return (x == 0 ? 0xFFFFFFFFu : x) < (y == 0 ? 0xFFFFFFFFu : y);
                     });
    switch (scope.level) {
    case StatsScope::Level::All: {
        LinePosition firstAt = ~LinePosition(0);
        LinePosition lastAt = 0;
        for (const UserStats& user : stats.users) {
            numbers.requests += user.requests;
            if (user.firstAt < firstAt) {
                firstAt = user.firstAt;
                numbers.first = user.first;
            }
            if (user.lastAt >= lastAt) {
                lastAt = user.lastAt;
                numbers.last = user.last;
            }
        }
        if (countDistinct)
            numbers.hosts = merged.names.size();
        break;
    }
    case StatsScope::Level::User:
        if (const UserStats* user = stats.findUser(scope.user)) {
            numbers.requests = user->requests;
            numbers.hosts = user->hostCount;
            numbers.first = user->first;
            numbers.last = user->last;
        }
        break;
    case StatsScope::Level::Host:
        if (const UserStats* user = stats.findUser(scope.user)) {
            for (const HostStats& host : stats.hostsOf(*user)) {
                if (host.host == scope.host) {
                    numbers.requests = host.requests;
                    numbers.hosts = 1;
                    numbers.first = dateAt(sources, host.firstAt);
                    numbers.last = dateAt(sources, host.lastAt);
                }
            }
        }
        break;
    }
    return stats;
}

const std::array<std::uint8_t, 256>& digitValues()
{
    static const std::array<std::uint8_t, 256> table = [] {
        std::array<std::uint8_t, 256> t{};
        t.fill(0xFF);
        for (int d = 0; d < 10; ++d)
            t[static_cast<std::size_t>('0' + d)] = static_cast<std::uint8_t>(d);
        return t;
    }();
    return table;
}

int digitsAt(std::string_view text, std::size_t at, std::size_t count)
{
    const auto& values = digitValues();
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t d = values[static_cast<unsigned char>(text[at + i])];
        if (d > 9)
            return -1;
        value = value * 10 + d;
    }
    return value;
}

} // namespace

const UserStats* LogStats::findUser(std::string_view name) const
{
    for (const UserStats& user : users) {
        if (user.name == name)
            return &user;
    }
    return nullptr;
}

std::string_view ExtractDateText(std::string_view line)
{
    // As ExtractRecordFields: from after the first '[', as many bytes as the position of the
    // first '+' allows, at most 20. Both normally stand within the first few dozen bytes.
    const std::size_t size = line.size();
    const char* const text = line.data();
    std::size_t bracket = size;
    std::size_t plus = size;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i plusByte = _mm_set1_epi8('+');
    const __m128i bracketByte = _mm_set1_epi8('[');
    for (; i + 16 <= size; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const auto plusMask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, plusByte)));
        if (bracket == size) {
            const auto bracketMask =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, bracketByte)));
            if (bracketMask != 0)
                bracket = i + static_cast<std::size_t>(__builtin_ctz(bracketMask));
        }
        if (plusMask != 0) {
            plus = i + static_cast<std::size_t>(__builtin_ctz(plusMask));
            break;
        }
    }
#endif
    if (plus == size) {
        for (; i < size; ++i) {
            if (text[i] == '[' && bracket == size)
                bracket = i;
            if (text[i] == '+') {
                plus = i;
                break;
            }
        }
    }
    if (plus == size || plus < 1)
        return {};
    if (bracket == size) {
        const void* hit = std::memchr(text + plus, '[', size - plus);
        bracket = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text) : size;
    }
    const std::size_t begin = bracket == size ? 0 : bracket + 1;
    if (begin >= size)
        return {};
    return line.substr(begin, std::min(plus - 1, DateCapacity));
}

std::size_t HourOfDate(std::string_view date)
{
    if (date.size() < 14 || date[11] != ':')
        return UnknownHour;
    const int hour = digitsAt(date, 12, 2);
    return hour < 0 || hour > 23 ? UnknownHour : static_cast<std::size_t>(hour);
}

std::uint32_t DayNumber(std::string_view day)
{
    static constexpr std::array<std::string_view, 12> Months{
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (day.size() < DayLength || day[2] != '/' || day[6] != '/')
        return 0;
    const int dd = digitsAt(day, 0, 2);
    const int yyyy = digitsAt(day, 7, 4);
    const auto month = std::find(Months.begin(), Months.end(), day.substr(3, 3));
    if (dd < 1 || dd > 31 || yyyy < 0 || month == Months.end())
        return 0;
    const auto mm = static_cast<std::uint32_t>(month - Months.begin()) + 1;
    return static_cast<std::uint32_t>(yyyy) * 10000u + mm * 100u + static_cast<std::uint32_t>(dd);
}

LogStats ComputeLogStats(const std::vector<std::shared_ptr<const LogFile>>& files,
                         const StatsScope& scope, const StatsOptions& options)
{
    Counts merged;
    merged.scope = &scope;
    std::vector<Source> sources;
    for (std::size_t f = 0; f < files.size(); ++f) {
        // The count stops at the first NUL by itself, so it need not wait for the file's text.
        const std::string_view bytes = files[f]->bytes();
        sources.push_back(Source{bytes});
        const bool finished = countText(
            bytes, static_cast<LinePosition>(f) << LinePositionFileShift, merged, options);
        files[f]->checkNotCutShort();
        if (!finished)
            break;
    }
    LogStats stats = finish(merged, sources, scope, options.countDistinctHosts);
    stats.sources = files;
    for (const Source& source : sources)
        stats.texts.push_back(source.bytes);
    return stats;
}

LogStats ComputeLogStats(std::string_view text, const StatsScope& scope,
                         const StatsOptions& options)
{
    Counts merged;
    merged.scope = &scope;
    countText(text, 0, merged, options);
    LogStats stats = finish(merged, {Source{text}}, scope, options.countDistinctHosts);
    stats.texts.push_back(text);
    return stats;
}

std::vector<HostTotal> HostTotals(const LogStats& stats, const StatsScope& scope, std::size_t limit)
{
    std::vector<HostTotal> totals;
    const auto add = [&](const UserStats& user, const HostStats& host) {
        totals.push_back(HostTotal{host.host, host.kind, host.requests, 1, host.firstAt,
                                   host.lastAt, user.name});
    };
    if (scope.level == StatsScope::Level::All) {
        std::unordered_map<std::string_view, std::size_t> at;
        at.reserve(stats.hosts.size());
        for (const UserStats& user : stats.users) {
            for (const HostStats& host : stats.hostsOf(user)) {
                const auto [found, isNew] = at.emplace(host.host, totals.size());
                if (isNew) {
                    add(user, host);
                    continue;
                }
                HostTotal& total = totals[found->second];
                total.requests += host.requests;
                ++total.users;
                if (host.firstAt < total.firstAt) {
                    total.firstAt = host.firstAt;
                    total.kind = host.kind;
                    total.firstUser = user.name;
                }
                if (host.lastAt > total.lastAt) {
                    total.lastAt = host.lastAt;
                }
            }
        }
    } else if (const UserStats* user = stats.findUser(scope.user)) {
        for (const HostStats& host : stats.hostsOf(*user)) {
            if (scope.level == StatsScope::Level::User || host.host == scope.host)
                add(*user, host);
        }
    }
    std::vector<std::size_t> order(totals.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (totals[a].requests != totals[b].requests)
            return totals[a].requests > totals[b].requests;
        return totals[a].firstAt < totals[b].firstAt;
    });
    if (limit != 0 && order.size() > limit)
        order.resize(limit);
    std::vector<HostTotal> sorted;
    sorted.reserve(order.size());
    for (const std::size_t i : order)
        sorted.push_back(totals[i]);
    return sorted;
}

const char* KindSlotName(std::size_t slot, const char* unknown)
{
    switch (slot) {
    case KindHttps:
        return "HTTPS";
    case KindHttp:
        return "HTTP";
    case KindFtp:
        return "FTP";
    case KindMail:
        return "POP3/SMTP";
    case KindMap:
        return "MAP";
    case KindSocks5:
        return "SOCKS5";
    case NoKindSlot:
        return "none";
    default:
        return unknown;
    }
}

} // namespace qelt

namespace qelt {

std::size_t DistinctHosts(const LogStats& stats)
{
    std::unordered_set<std::string_view> distinct;
    distinct.reserve(stats.hosts.size());
    for (const HostStats& host : stats.hosts)
        distinct.insert(host.host);
    return distinct.size();
}

std::string_view DateAt(const LogStats& stats, LinePosition at)
{
    const std::size_t file = at >> LinePositionFileShift;
    if (file >= stats.texts.size())
        return {};
    const std::string_view bytes = stats.texts[file];
    const std::size_t offset = at & ((LinePosition(1) << LinePositionFileShift) - 1);
    if (offset >= bytes.size())
        return {};
    const char* const begin = bytes.data() + offset;
    const char* const lineEnd = FindLineEndOrNul(begin, bytes.data() + bytes.size());
    return ExtractDateText(std::string_view(begin, static_cast<std::size_t>(lineEnd - begin)));
}

} // namespace qelt
