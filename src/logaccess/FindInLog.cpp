#include "logaccess/FindInLog.h"

#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"
#include "logaccess/LogIndex.h"
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

std::size_t LogMatches::orderedPrefix(std::string_view text) const
{
    std::size_t last = 0;
    bool any = false;
    for (const auto& [name, user] : users) {
        any = true;
        last = std::max(last, user.firstLine);
        for (const auto& [host, first] : user.hostFirstLines)
            last = std::max(last, first);
    }
    if (!any || last >= text.size())
        return any ? text.size() : 0;
    const char* end = FindLineEnd(text.data() + last, text.data() + text.size());
    return static_cast<std::size_t>(end - text.data()) +
           TerminatorLength(end, text.data() + text.size());
}

bool UrlContainsNoCase(std::string_view line, std::string_view needle)
{
    return NoCaseFinder(needle).in(StripHttpVersion(ExtractRecordFields(line).rawUrl));
}

namespace {

constexpr std::size_t CancelCheckBytes = 8u << 20;

// Counts the matching lines of one run of whole lines into matches.
void SearchRun(std::string_view run, std::size_t base, const NoCaseFinder& finder,
               LogMatches& matches, const std::atomic<bool>* cancel)
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
        const std::size_t at = base + static_cast<std::size_t>(lineStart - begin);
        UserMatches& user = matches.users[fields.user];
        if (user.count++ == 0)
            user.firstLine = at;
        if (!fields.host.empty()) {
            ++user.hosts[fields.host];
            user.hostFirstLines.try_emplace(fields.host, at);
        }
    }
}

void Merge(LogMatches& into, LogMatches& from)
{
    into.lines += from.lines;
    into.cancelled = into.cancelled || from.cancelled;
    for (auto& [name, user] : from.users) {
        // Runs are merged in text order: a node's first line is in the first run that has it.
        UserMatches& target = into.users[name];
        if (target.count == 0)
            target.firstLine = user.firstLine;
        target.count += user.count;
        for (const auto& [host, count] : user.hosts)
            target.hosts[host] += count;
        for (const auto& [host, first] : user.hostFirstLines)
            target.hostFirstLines.try_emplace(host, first);
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
    RunParts(runs.size(), [&](std::size_t k) {
        SearchRun(runs[k], static_cast<std::size_t>(runs[k].data() - text.data()), finder, found[k],
                  options.cancel);
    });
    result = std::move(found[0]);
    for (std::size_t k = 1; k < found.size(); ++k)
        Merge(result, found[k]);
    return result;
}

} // namespace qelt

namespace qelt {

std::vector<FoundUser> MatchesInTreeOrder(std::string_view text, const LogMatches& matches,
                                          const FindOptions& options)
{
    std::vector<FoundUser> found;
    if (matches.users.empty())
        return found;
    // The tree's order is the order of first lines in the log: the index of the part that holds
    // every matched node's first line knows it.
    IndexOptions indexing;
    indexing.threads = options.threads;
    indexing.cancel = options.cancel;
    const LogTree tree =
        MakeLogTree(BuildLogIndex(text.substr(0, matches.orderedPrefix(text)), nullptr, indexing));
    for (const TreeUser& user : tree.users) {
        const auto m = matches.users.find(user.text);
        if (m == matches.users.end() || m->second.count == 0)
            continue;
        FoundUser entry;
        entry.text = m->first;
        entry.count = m->second.count;
        for (const TreeHost& host : tree.hostsOf(user)) {
            const auto h = m->second.hosts.find(host.text);
            if (h != m->second.hosts.end() && h->second > 0)
                entry.hosts.push_back({h->first, host.icon, h->second});
        }
        found.push_back(std::move(entry));
    }
    return found;
}

} // namespace qelt
