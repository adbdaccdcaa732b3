#pragma once

// Find in the log: for every user and host node, how many of its lines have a display URL that
// contains a text, ASCII case ignored. A line counts for the user its user field names and, when
// it has one, for that user's host its host field names (the fields ExtractIndexFields takes),
// so each node's count is the number of its own lines that match.
//
//   auto file = std::make_shared<const qelt::LogFile>(path);
//   const qelt::LogMatches matches = qelt::FindInLog(file->text(), "example.com");
//   matches.userCount("alice");  matches.hostCount("alice", "dl1.example.com");
//
// The text is searched for the needle first, on all cores; only lines where it occurs are taken
// apart. The node texts of the result are views into the searched text.

#include "logaccess/LogGrammar.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qelt {

// Where the search met a node first: the earliest of the lines it read (every line in which the
// text occurs anywhere, matching or not) that counts for the node, and for a host the kind that
// line gives it.
struct FirstMet
{
    std::size_t line = 0;
    ConnectionKind kind = 0;
};

struct UserMatches
{
    std::size_t count = 0;
    std::unordered_map<std::string_view, std::size_t> hosts;
    FirstMet firstMet;
    std::unordered_map<std::string_view, FirstMet> hostsFirstMet; // of the hosts in `hosts`
};

struct LogMatches
{
    std::unordered_map<std::string_view, UserMatches> users; // the users with a match
    std::size_t lines = 0;  // matching lines, whether or not they name a user
    bool cancelled = false; // the search was stopped: the counts are incomplete
    std::string needle;     // what was searched for

    std::size_t userCount(std::string_view user) const;
    std::size_t hostCount(std::string_view user, std::string_view host) const;
};

struct FindOptions
{
    // How many parts to search at once: 0 picks by the text's size and the machine's cores.
    unsigned threads = 0;
    // Checked every few hundred kilobytes; when set the search stops.
    const std::atomic<bool>* cancel = nullptr;
};

// Whether the display URL of a line contains needle, ASCII case ignored (never across lines: the
// URL is cut from the one line). An empty needle is found nowhere.
bool UrlContainsNoCase(std::string_view line, std::string_view needle);

// The matches of needle in the lines of text: a log's bytes() or text(); a NUL ends the text, as
// it ends a log's text.
LogMatches FindInLog(std::string_view text, std::string_view needle,
                     const FindOptions& options = {});

} // namespace qelt

namespace qelt {

struct FoundHost
{
    std::string_view text;
    ConnectionKind kind = 0; // of the first line of the user with this host, as the tree shows it
    std::size_t count = 0;
};

struct FoundUser
{
    std::string_view text;
    std::size_t count = 0;
    std::vector<FoundHost> hosts; // with matches, in tree order
};

// The users and hosts with matches in tree order: users in the order of their first line in the
// text, the hosts of a user in the order of their first line with that user, each host with the
// kind the tree gives it (that of its first line). text is the one matches were found in. A node
// whose text contains the needle has all its lines among those the search read, so its first
// line is known; the others are looked for in the part of the text before the first line the
// search met of them, which is read on all cores. The texts of the result are views into matches.
std::vector<FoundUser> MatchesInTreeOrder(std::string_view text, const LogMatches& matches,
                                          const FindOptions& options = {});

struct FoundInTreeOrder
{
    std::vector<FoundUser> users;             // with matches, in tree order
    std::size_t lines = 0;                    // matching lines, whether or not they name a user
    bool cancelled = false;                   // the search was stopped: the counts are incomplete
    std::shared_ptr<const std::string> texts; // what the texts of users and hosts are views into
};

// MatchesInTreeOrder of FindInLog, for a caller that needs nothing else of the matches: the nodes
// go from the search to their order without the maps of LogMatches. The texts of the result are
// views into a copy of their bytes, in tree order, that the result holds (texts): reading them
// again does not go back to places all over the log, and they outlive it.
FoundInTreeOrder FindInTreeOrder(std::string_view text, std::string_view needle,
                                 const FindOptions& options = {});

} // namespace qelt
