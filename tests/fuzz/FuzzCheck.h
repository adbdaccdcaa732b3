#pragma once

// What the fuzz targets check besides the sanitizers: a broken rule prints where and why and
// aborts, which libFuzzer reports as a crash and keeps the input for.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace qelt::fuzz {

// Whether view lies inside whole (an empty view anywhere counts as inside).
template <class View> bool within(const View& view, const View& whole)
{
    return view.empty() || (view.data() >= whole.data() &&
                            view.data() + view.size() <= whole.data() + whole.size());
}

} // namespace qelt::fuzz
