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

// Keys (an owner number and a text) numbered in order of insertion, by open addressing. The
// table keeps its own packed copy of the keys, so that a lookup reads a slot and a few bytes
// nearby instead of the far-away place in the log where the text first stood.
class KeyTable
{
public:
    KeyTable() : m_slots(64, 0), m_mask(63) { m_keyStart.push_back(0); }

    std::uint32_t find(std::uint64_t hash, std::uint32_t owner, std::string_view text) const
    {
        const std::uint64_t tag = hash >> 32;
        std::size_t i = static_cast<std::size_t>(hash) & m_mask;
        for (;;) {
            const std::uint64_t slot = m_slots[i];
            if (slot == 0)
                return None;
            if ((slot >> 32) == tag) {
                const auto entry = static_cast<std::uint32_t>(slot) - 1;
                const std::size_t begin = m_keyStart[entry];
                if (m_keyStart[entry + 1] - begin == sizeof owner + text.size()) {
                    const char* key = m_keys.data() + begin;
                    std::uint32_t keyOwner;
                    std::memcpy(&keyOwner, key, sizeof keyOwner);
                    if (keyOwner == owner &&
                        SameBytes(key + sizeof owner, text.data(), text.size()))
                        return entry;
                }
            }
            i = (i + 1) & m_mask;
        }
    }

    void insert(std::uint64_t hash, std::uint32_t owner, std::string_view text)
    {
        const auto entry = static_cast<std::uint32_t>(m_hashes.size());
        m_hashes.push_back(hash);
        const char* ownerBytes = reinterpret_cast<const char*>(&owner);
        m_keys.insert(m_keys.end(), ownerBytes, ownerBytes + sizeof owner);
        m_keys.insert(m_keys.end(), text.begin(), text.end());
        m_keyStart.push_back(m_keys.size());
        if (m_hashes.size() * 2 > m_mask + 1) {
            std::vector<std::uint64_t>(2 * (m_mask + 1), 0).swap(m_slots);
            m_mask = m_slots.size() - 1;
            for (std::size_t e = 0; e < m_hashes.size(); ++e)
                place(m_hashes[e], static_cast<std::uint32_t>(e));
        } else {
            place(hash, entry);
        }
    }

private:
    void place(std::uint64_t hash, std::uint32_t entry)
    {
        std::size_t i = static_cast<std::size_t>(hash) & m_mask;
        while (m_slots[i] != 0)
            i = (i + 1) & m_mask;
        m_slots[i] = ((hash >> 32) << 32) | (static_cast<std::uint64_t>(entry) + 1);
    }

    std::vector<std::uint64_t> m_slots; // hash's high half << 32 | entry + 1; 0 is empty
    std::size_t m_mask;
    std::vector<std::uint64_t> m_hashes; // per entry, to place the entries again when growing
    std::vector<std::size_t> m_keyStart; // per entry, and one past the last
    std::vector<char> m_keys;            // owner and text of every entry, back to back
};

struct UserCount
{
    std::string_view name;
    RequestCount requests = 0;
    LinePosition firstAt = 0;
    LinePosition lastAt = 0;
    bool inScope = false;
};

struct HostCount
{
    std::uint32_t owner = 0;
    ConnectionKind kind = 0;
    bool inScope = false;
    std::string_view host;
    RequestCount requests = 0;
    LinePosition firstAt = 0;
    LinePosition lastAt = 0;
};

// The host texts of one user, by open addressing. Each text is kept in a record of its own,
// packed one after the other: the counts of its lines, its entry number and a copy of its bytes.
// A lookup reads an eight-byte slot and the record, which holds everything the line then
// updates; one set per user keeps the sets of busy users small enough to stay in the cache.
class HostSet
{
public:
    struct Record
    {
        std::uint64_t hash;
        RequestCount requests;
        LinePosition lastAt;
        std::uint32_t entry;
        std::uint32_t size;
        // followed by the text's bytes, padded to eight
    };
    static constexpr std::size_t HeaderWords = sizeof(Record) / 8;

    // The record of text (a word offset), or None.
    std::uint32_t find(std::uint64_t hash, std::string_view text) const
    {
        if (m_count == 0)
            return None;
        const std::uint64_t tag = hash >> 32;
        std::size_t i = static_cast<std::size_t>(hash) & m_mask;
        for (;;) {
            const std::uint64_t slot = m_slots[i];
            if (slot == 0)
                return None;
            if ((slot >> 32) == tag) {
                const auto at = static_cast<std::uint32_t>(slot) - 1;
                const Record& r = record(at);
                if (r.size == text.size() && SameBytes(bytesOf(at), text.data(), text.size()))
                    return at;
            }
            i = (i + 1) & m_mask;
        }
    }

    // Adds a text that find did not find; returns its record.
    std::uint32_t insert(std::uint64_t hash, std::string_view text, std::uint32_t entry)
    {
        if (m_slots.empty() || (m_count + 1) * 2 > m_slots.size())
            grow();
        const auto at = static_cast<std::uint32_t>(m_words.size());
        m_words.resize(m_words.size() + HeaderWords + (text.size() + 7) / 8, 0);
        Record& r = record(at);
        r.hash = hash;
        r.requests = 0;
        r.lastAt = 0;
        r.entry = entry;
        r.size = static_cast<std::uint32_t>(text.size());
        if (!text.empty())
            std::memcpy(m_words.data() + at + HeaderWords, text.data(), text.size());
        place(hash, at);
        ++m_count;
        return at;
    }

    Record& record(std::uint32_t at) { return *reinterpret_cast<Record*>(m_words.data() + at); }
    const Record& record(std::uint32_t at) const
    {
        return *reinterpret_cast<const Record*>(m_words.data() + at);
    }

    template <class F> void forEach(F&& f) const
    {
        for (std::size_t at = 0; at < m_words.size();) {
            const Record& r = record(static_cast<std::uint32_t>(at));
            f(r);
            at += HeaderWords + (r.size + 7) / 8;
        }
    }

    // Hints for a lookup that comes soon: the slot it starts at, and the record that slot holds.
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
            __builtin_prefetch(m_words.data() + (static_cast<std::uint32_t>(slot) - 1));
    }

private:
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
    std::size_t m_count = 0;
    std::vector<std::uint64_t> m_words; // the records
};

// The counts of one run of lines, or of several runs merged; entries in order of first
// appearance.
struct Counts
{
    const StatsScope* scope = nullptr;
    std::vector<UserCount> users;
    std::vector<HostCount> hosts;
    KeyTable userTable;
    std::vector<HostSet> sets; // per user: its hosts
    bool started = false;
    std::array<RequestCount, HourSlots> byHour{};
    std::array<RequestCount, KindSlots> byKind{};
    std::vector<DayCount> days; // in order of first appearance
    std::unordered_map<std::string_view, std::uint32_t> dayIndex;
    bool cancelled = false;
    bool endedAtNul = false;

    std::uint32_t findUser(std::string_view name, std::uint64_t hash) const
    {
        return userTable.find(hash, 0, name);
    }
    std::uint32_t addUser(std::string_view name, std::uint64_t hash, LinePosition at)
    {
        const auto entry = static_cast<std::uint32_t>(users.size());
        UserCount user;
        user.name = name;
        user.firstAt = at;
        user.inScope = scope->level == StatsScope::Level::All ||
                       (scope->level == StatsScope::Level::User && name == scope->user);
        users.push_back(user);
        sets.emplace_back();
        userTable.insert(hash, 0, name);
        return entry;
    }
    // Adds a host entry of owner and returns its slot in the owner's set.
    std::uint32_t addHost(std::uint32_t owner, std::string_view host, ConnectionKind kind,
                          std::uint64_t hash, LinePosition at)
    {
        const auto entry = static_cast<std::uint32_t>(hosts.size());
        HostCount count;
        count.owner = owner;
        count.kind = kind;
        count.host = host;
        count.firstAt = at;
        count.inScope = scope->level == StatsScope::Level::Host &&
                        users[owner].name == scope->user && host == scope->host;
        hosts.push_back(count);
        return sets[owner].insert(hash, host, entry);
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
constexpr std::size_t DayLength = 11;

// Counts the lines of text, whose first byte is at position base.
//
// Looking a host up mostly waits for memory, so the lookups run a few lines behind the parsing:
// each line's set slot is prefetched when the line is parsed, its key a few lines later, and the
// lookup happens once both are likely in the cache. Lookups still happen in line order, so the
// entries keep the order of first appearance.
void countPart(std::string_view text, LinePosition base, Counts& counts,
               const std::atomic<bool>* cancel)
{
    const char* const start = text.data();
    const char* p = start;
    const char* const end = p + text.size();
    const bool hostLevel = counts.scope->level == StatsScope::Level::Host;
    std::string_view lastName;
    std::uint32_t lastUser = None;
    std::string_view lastDay;
    RequestCount* lastDayCount = nullptr;

    // Per user: its hosts, the host of its latest line (copied: the line it first stood in may
    // be far back; a user's requests come in runs to one host) and that host's entry, known once
    // the lookup of that line has happened.
    constexpr std::size_t Room = 48;
    struct Recent
    {
        std::uint64_t hash = 0;
        std::uint32_t size = 0xFFFFFFFFu;
        std::uint32_t slot = None;
        // Lines to the same host since the line that looked it up, not yet in its slot.
        std::uint32_t extra = 0;
        LinePosition extraAt = 0;
        char bytes[48] = {};
    };
    std::vector<HostSet>& sets = counts.sets;
    std::vector<Recent> recent;

    const auto countInScope = [&](const IndexFields& fields, std::string_view line) {
        ++counts.byKind[fields.hasKind ? fields.kind : NoKindSlot];
        const std::string_view date = ExtractDateText(line);
        ++counts.byHour[HourOfDate(date)];
        const std::string_view day = date.substr(0, DayLength);
        if (!lastDayCount || day.size() != lastDay.size() ||
            !SameBytes(day.data(), lastDay.data(), day.size())) {
            lastDayCount = &counts.day(day);
            lastDay = day;
        }
        ++*lastDayCount;
    };

    struct Pending
    {
        std::uint32_t user;
        bool sameAsBefore; // the host of the user's line before: no lookup needed
        ConnectionKind kind;
        bool hasKind;
        std::uint64_t hash;
        std::string_view host;
        std::string_view line;
        LinePosition at;
        std::uint32_t extraBefore; // lines to the user's host before this one
        LinePosition extraAt;
    };
    constexpr std::size_t RingSize = 8; // a power of two
    constexpr std::size_t Lag = RingSize - 1;
    constexpr std::size_t KeyHintLag = Lag / 2;
    Pending ring[RingSize];
    std::size_t produced = 0;
    std::size_t consumed = 0;

    const auto consume = [&] {
        const Pending& pending = ring[consumed++ & (RingSize - 1)];
        Recent& last = recent[pending.user];
        HostSet& set = sets[pending.user];
        if (pending.extraBefore > 0) {
            HostSet::Record& before = set.record(last.slot);
            before.requests += pending.extraBefore;
            before.lastAt = pending.extraAt;
        }
        if (!pending.sameAsBefore) {
            std::uint32_t at = set.find(pending.hash, pending.host);
            if (at == None)
                at = counts.addHost(pending.user, pending.host, pending.kind, pending.hash,
                                    pending.at);
            last.slot = at;
        }
        HostSet::Record& record = set.record(last.slot);
        ++record.requests;
        record.lastAt = pending.at;
        if (hostLevel && counts.hosts[record.entry].inScope) {
            IndexFields fields;
            fields.hasKind = pending.hasKind;
            fields.kind = pending.kind;
            countInScope(fields, pending.line);
        }
    };

    while (p < end) {
        const char* blockEnd =
            (end - p > static_cast<std::ptrdiff_t>(BlockBytes)) ? p + BlockBytes : end;
        while (p < blockEnd) {
            const char* lineStart = p;
            const char* lineEnd = FindLineEndOrNul(p, end);
            const std::string_view line(p, static_cast<std::size_t>(lineEnd - p));
            if (lineEnd < end && *lineEnd == '\0') {
                counts.endedAtNul = true;
                p = end;
            } else {
                p = lineEnd + TerminatorLength(lineEnd, end);
            }

            const IndexFields fields = ExtractIndexFields(line);
            if (!fields.qualifies || fields.user.empty())
                continue;
            const LinePosition at = base + static_cast<LinePosition>(lineStart - start);
            std::uint32_t user;
            if (lastUser != None && fields.user.size() == lastName.size() &&
                SameBytes(fields.user.data(), lastName.data(), lastName.size())) {
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
            if (userCount.inScope)
                countInScope(fields, line);
            if (fields.host.empty())
                continue;

            Recent& last = recent[user];
            const bool same = last.size == fields.host.size() &&
                              SameBytes(last.bytes, fields.host.data(), fields.host.size());
            if (same && !hostLevel) {
                // Counted into the host's slot when the user's next lookup, or the block, ends.
                ++last.extra;
                last.extraAt = at;
                continue;
            }
            Pending pending{user,        same, fields.kind, fields.hasKind, 0,
                            fields.host, line, at,          last.extra,     last.extraAt};
            last.extra = 0;
            if (!same) {
                pending.hash = hostHash(fields.host);
                if (fields.host.size() <= Room) {
                    last.size = static_cast<std::uint32_t>(fields.host.size());
                    std::memcpy(last.bytes, fields.host.data(), fields.host.size());
                } else {
                    last.size = 0xFFFFFFFFu;
                }
                sets[user].prefetchSlot(pending.hash);
            }
            ring[produced++ & (RingSize - 1)] = pending;
            if (produced > KeyHintLag) {
                const Pending& soon = ring[(produced - 1 - KeyHintLag) & (RingSize - 1)];
                if (!soon.sameAsBefore)
                    sets[soon.user].prefetchKey(soon.hash);
            }
            if (produced - consumed > Lag)
                consume();
        }
        while (consumed < produced)
            consume();
        for (std::size_t u = 0; u < recent.size(); ++u) {
            Recent& last = recent[u];
            if (last.extra > 0) {
                HostSet::Record& record = sets[u].record(last.slot);
                record.requests += last.extra;
                record.lastAt = last.extraAt;
                last.extra = 0;
            }
        }
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            counts.cancelled = p < end && !counts.endedAtNul;
            break;
        }
    }
    for (const HostSet& set : sets) {
        set.forEach([&](const HostSet::Record& record) {
            counts.hosts[record.entry].requests = record.requests;
            counts.hosts[record.entry].lastAt = record.lastAt;
        });
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
    for (const HostCount& host : later.hosts) {
        const std::uint32_t owner = userOf[host.owner];
        const std::uint64_t hash = hostHash(host.host);
        std::uint32_t at = merged.sets[owner].find(hash, host.host);
        if (at == None)
            at = merged.addHost(owner, host.host, host.kind, hash, host.firstAt);
        HostCount& into = merged.hosts[merged.sets[owner].record(at).entry];
        into.requests += host.requests;
        into.lastAt = host.lastAt;
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
    for (const HostCount& count : merged.hosts) {
        HostStats& host = stats.hosts[next[count.owner]++];
        host.host = count.host;
        host.kind = count.kind;
        host.requests = count.requests;
        host.firstAt = count.firstAt;
        host.lastAt = count.lastAt;
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
            numbers.hosts = DistinctHosts(stats);
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

const char* KindSlotName(std::size_t slot)
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
        return "";
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
