// bench_find: the parts of find in the log on one file, each timed on its own.
//
//   bench_find LOG TEXT [RUNS]
//
// Prints the best of RUNS (default 3) for the search of the text (FindInLog) and for putting the
// nodes it met into tree order (MatchesInTreeOrder), and for both in one (FindInTreeOrder, as
// qeltlog find runs them), with the numbers they found: the time they took and the processor time
// of all their threads (which a busy machine changes less).
#include "logaccess/FindInLog.h"
#include "logaccess/LogFile.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_find LOG TEXT [RUNS]\n");
        return 2;
    }
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    const qelt::LogFile file(argv[1]);
    const std::string_view text = file.bytes(); // as qeltlog find reads it: a NUL ends the search
    using Clock = std::chrono::steady_clock;
    double bestFind = 1e9;
    double bestOrder = 1e9;
    double cpuFind = 1e9;
    double cpuOrder = 1e9;
    qelt::LogMatches matches;
    std::size_t users = 0;
    std::size_t hosts = 0;
    for (int run = 0; run < runs; ++run) {
        const double c0 = cpuSeconds();
        const auto t0 = Clock::now();
        matches = qelt::FindInLog(text, argv[2]);
        const double c1 = cpuSeconds();
        const auto t1 = Clock::now();
        const auto found = qelt::MatchesInTreeOrder(text, matches);
        const double c2 = cpuSeconds();
        const auto t2 = Clock::now();
        cpuFind = std::min(cpuFind, c1 - c0);
        cpuOrder = std::min(cpuOrder, c2 - c1);
        bestFind = std::min(bestFind, std::chrono::duration<double>(t1 - t0).count());
        bestOrder = std::min(bestOrder, std::chrono::duration<double>(t2 - t1).count());
        users = found.size();
        hosts = 0;
        for (const auto& user : found)
            hosts += user.hosts.size();
    }
    // Both in one, as qeltlog find does it.
    double bestBoth = 1e9;
    double cpuBoth = 1e9;
    for (int run = 0; run < runs; ++run) {
        const double c0 = cpuSeconds();
        const auto t0 = Clock::now();
        const qelt::FoundInTreeOrder both = qelt::FindInTreeOrder(text, argv[2]);
        cpuBoth = std::min(cpuBoth, cpuSeconds() - c0);
        bestBoth = std::min(bestBoth, std::chrono::duration<double>(Clock::now() - t0).count());
        if (both.users.size() != users) {
            std::fprintf(stderr, "FindInTreeOrder found %zu users, not %zu\n", both.users.size(),
                         users);
            return 1;
        }
    }
    std::printf("search %.3f s (CPU %.3f s), tree order %.3f s (CPU %.3f s), both in one %.3f s "
                "(CPU %.3f s): %zu matching lines, %zu users, %zu hosts\n",
                bestFind, cpuFind, bestOrder, cpuOrder, bestBoth, cpuBoth, matches.lines, users,
                hosts);
    return 0;
}
