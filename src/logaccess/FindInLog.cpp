#include "logaccess/FindInLog.h"

#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"
#include "logaccess/TextSearch.h"

#include <algorithm>
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

constexpr std::size_t CancelCheckBytes = 8u << 20;

// Counts the matching lines of one run of whole lines into matches.
void SearchRun(std::string_view run, const NoCaseFinder& finder, LogMatches& matches,
               const std::atomic<bool>* cancel)
{
    const char* const begin = run.data();
    const char* const end = begin + run.size();
    std::size_t pos = 0;
    std::size_t nextCheck = CancelCheckBytes;
    while (pos < run.size()) {
        const std::size_t hit = finder.find(run, pos);
        if (hit == NoCaseFinder::npos)
            return;
        if (cancel && hit >= nextCheck) {
            if (cancel->load(std::memory_order_relaxed)) {
                matches.cancelled = true;
                return;
            }
            nextCheck = hit + CancelCheckBytes;
        }
        // The line around the hit: back to the end of the line before it, but never before pos,
        // which is always the start of a line.
        const char* lineStart = begin + hit;
        while (lineStart > begin + pos && lineStart[-1] != '\n' && lineStart[-1] != '\r')
            --lineStart;
        const char* lineEnd = FindLineEnd(begin + hit, end);
        const std::string_view line(lineStart, static_cast<std::size_t>(lineEnd - lineStart));
        pos = static_cast<std::size_t>(lineEnd - begin) + TerminatorLength(lineEnd, end);
        // The hit may lie outside the URL, and the URL may hold a later one: look in the URL.
        if (!finder.in(StripHttpVersion(ExtractRecordFields(line).rawUrl)))
            continue;
        ++matches.lines;
        const IndexFields fields = ExtractIndexFields(line);
        if (!fields.qualifies || fields.user.empty())
            continue;
        UserMatches& user = matches.users[fields.user];
        ++user.count;
        if (!fields.host.empty())
            ++user.hosts[fields.host];
    }
}

void Merge(LogMatches& into, LogMatches& from)
{
    into.lines += from.lines;
    into.cancelled = into.cancelled || from.cancelled;
    for (auto& [name, user] : from.users) {
        UserMatches& target = into.users[name];
        target.count += user.count;
        for (const auto& [host, count] : user.hosts)
            target.hosts[host] += count;
    }
}

} // namespace

LogMatches FindInLog(std::string_view text, std::string_view needle, const FindOptions& options)
{
    LogMatches result;
    const NoCaseFinder finder(needle);
    if (finder.empty() || text.empty())
        return result;
    const unsigned parts = options.threads != 0 ? options.threads : RunsForScan(text.size());
    const std::vector<std::string_view> runs = SplitAtLineEnds(text, parts);
    std::vector<LogMatches> found(runs.size());
    RunParts(runs.size(),
             [&](std::size_t k) { SearchRun(runs[k], finder, found[k], options.cancel); });
    result = std::move(found[0]);
    for (std::size_t k = 1; k < found.size(); ++k)
        Merge(result, found[k]);
    return result;
}

} // namespace qelt

namespace qelt {

namespace {

// The first line of each wanted node within one run of lines.
struct FirstLines
{
    static constexpr std::size_t None = static_cast<std::size_t>(-1);
    std::vector<std::size_t> user;              // per wanted user: offset in the text, or None
    std::vector<std::vector<std::size_t>> host; // per wanted user, per wanted host
    std::vector<std::vector<ConnectionKind>> kind;
    std::size_t missing = 0;
};

struct WantedUser
{
    std::size_t index = 0;
    std::unordered_map<std::string_view, std::size_t> hosts; // host -> its index
};

} // namespace

std::vector<FoundUser> MatchesInTreeOrder(std::string_view text, const LogMatches& matches,
                                          const FindOptions& options)
{
    std::vector<FoundUser> users;
    std::unordered_map<std::string_view, WantedUser> wanted;
    std::size_t nodes = 0;
    for (const auto& [name, m] : matches.users) {
        if (m.count == 0)
            continue;
        WantedUser& w = wanted[name];
        w.index = users.size();
        FoundUser user;
        user.text = name;
        user.count = m.count;
        for (const auto& [host, count] : m.hosts) {
            w.hosts.emplace(host, user.hosts.size());
            user.hosts.push_back({host, 0, count});
        }
        nodes += 1 + user.hosts.size();
        users.push_back(std::move(user));
    }
    if (users.empty())
        return users;

    const unsigned parts = options.threads != 0 ? options.threads : RunsForScan(text.size());
    const std::vector<std::string_view> runs = SplitAtLineEnds(text, parts);
    std::vector<FirstLines> found(runs.size());
    std::atomic<bool> firstRunDone{false};
    RunParts(runs.size(), [&](std::size_t k) {
        FirstLines& f = found[k];
        f.user.assign(users.size(), FirstLines::None);
        f.host.resize(users.size());
        f.kind.resize(users.size());
        for (std::size_t u = 0; u < users.size(); ++u) {
            f.host[u].assign(users[u].hosts.size(), FirstLines::None);
            f.kind[u].assign(users[u].hosts.size(), 0);
        }
        f.missing = nodes;
        std::vector<std::size_t> hostsMissing(users.size());
        for (std::size_t u = 0; u < users.size(); ++u)
            hostsMissing[u] = users[u].hosts.size();
        std::string_view lastUser;
        const WantedUser* last = nullptr;
        const char* p = runs[k].data();
        const char* const end = p + runs[k].size();
        std::size_t lines = 0;
        while (p < end && f.missing > 0) {
            // A later run may stop once the first has met every node.
            if (k > 0 && (++lines & 0xFFF) == 0 && firstRunDone.load(std::memory_order_relaxed))
                return;
            const char* lineEnd = FindLineEnd(p, end);
            const std::string_view line(p, static_cast<std::size_t>(lineEnd - p));
            const std::size_t offset = static_cast<std::size_t>(p - text.data());
            p = lineEnd + TerminatorLength(lineEnd, end);
            const std::size_t dash = line.find(" - ");
            if (dash == std::string_view::npos)
                continue;
            const std::string_view user = ExtractUser(line.substr(dash + 3));
            // A user's lines come in bursts: most lines have the user of the line before.
            if (user != lastUser) {
                lastUser = user;
                const auto w = wanted.find(user);
                last = w == wanted.end() ? nullptr : &w->second;
                if (last && f.user[last->index] == FirstLines::None) {
                    f.user[last->index] = offset;
                    --f.missing;
                }
            }
            if (!last || hostsMissing[last->index] == 0)
                continue;
            const std::size_t u = last->index;
            const IndexFields fields = ExtractIndexFields(line);
            const auto h = last->hosts.find(fields.host);
            if (h == last->hosts.end() || f.host[u][h->second] != FirstLines::None)
                continue;
            f.host[u][h->second] = offset;
            f.kind[u][h->second] = fields.kind;
            --hostsMissing[u];
            --f.missing;
        }
        if (k == 0 && f.missing == 0)
            firstRunDone.store(true, std::memory_order_relaxed);
    });

    // Every node's first line is its first in the earliest run that met it.
    std::vector<std::size_t> userFirst(users.size(), FirstLines::None);
    for (std::size_t u = 0; u < users.size(); ++u) {
        std::vector<std::size_t> hostFirst(users[u].hosts.size(), FirstLines::None);
        for (const FirstLines& f : found) {
            if (f.user.empty())
                continue;
            userFirst[u] = std::min(userFirst[u], f.user[u]);
            for (std::size_t h = 0; h < hostFirst.size(); ++h) {
                if (f.host[u][h] < hostFirst[h]) {
                    hostFirst[h] = f.host[u][h];
                    users[u].hosts[h].kind = f.kind[u][h];
                }
            }
        }
        std::vector<std::size_t> order(hostFirst.size());
        for (std::size_t h = 0; h < order.size(); ++h)
            order[h] = h;
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return hostFirst[a] < hostFirst[b]; });
        std::vector<FoundHost> sorted;
        sorted.reserve(order.size());
        for (std::size_t h : order)
            sorted.push_back(users[u].hosts[h]);
        users[u].hosts = std::move(sorted);
    }
    std::vector<std::size_t> order(users.size());
    for (std::size_t u = 0; u < order.size(); ++u)
        order[u] = u;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return userFirst[a] < userFirst[b]; });
    std::vector<FoundUser> sorted;
    sorted.reserve(users.size());
    for (std::size_t u : order)
        sorted.push_back(std::move(users[u]));
    return sorted;
}

} // namespace qelt
