// bench_find: the parts of find in the log on one file, each timed on its own.
//
//   bench_find LOG TEXT [RUNS]
//
// Prints the best of RUNS (default 3) for the search of the text (FindInLog) and for putting the
// nodes it met into tree order (MatchesInTreeOrder), with the numbers they found.
#include "logaccess/FindInLog.h"
#include "logaccess/LogFile.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_find LOG TEXT [RUNS]\n");
        return 2;
    }
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    const qelt::LogFile file(argv[1]);
    const std::string_view text = file.text();
    using Clock = std::chrono::steady_clock;
    double bestFind = 1e9;
    double bestOrder = 1e9;
    qelt::LogMatches matches;
    std::size_t users = 0;
    std::size_t hosts = 0;
    for (int run = 0; run < runs; ++run) {
        const auto t0 = Clock::now();
        matches = qelt::FindInLog(text, argv[2]);
        const auto t1 = Clock::now();
        const auto found = qelt::MatchesInTreeOrder(text, matches);
        const auto t2 = Clock::now();
        bestFind = std::min(bestFind, std::chrono::duration<double>(t1 - t0).count());
        bestOrder = std::min(bestOrder, std::chrono::duration<double>(t2 - t1).count());
        users = found.size();
        hosts = 0;
        for (const auto& user : found)
            hosts += user.hosts.size();
    }
    std::printf("search %.3f s, tree order %.3f s: %zu matching lines, %zu users, %zu hosts\n",
                bestFind, bestOrder, matches.lines, users, hosts);
    return 0;
}
