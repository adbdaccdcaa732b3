#pragma once
#include <chrono>
#include <cstdio>
#include <cstdlib>
inline void tracePhase(const char* what)
{
    static const bool on = std::getenv("QELT_PHASES") != nullptr;
    static const auto start = std::chrono::steady_clock::now();
    if (on)
        std::fprintf(stderr, "%8.1f ms  %s\n",
                     std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count(), what);
}
