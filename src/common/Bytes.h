#pragma once

// Small byte helpers that the index, the counting, the search and the text writers share.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace qelt {

// A fast hash of a short byte string, eight bytes at a time.
inline std::uint64_t HashBytes(std::string_view text, std::uint64_t seed)
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

// Asks for the text a few kilobytes after p, before end: a scan that reads a text line by line
// goes faster than the text comes from memory by itself, as the hardware does not fetch ahead
// across pages. Called once a line, it asks for three cache lines (a line is about two).
//
// A function that does nothing but fetch ahead must be inlined where it is called
// (always_inline), here and wherever one is written: GCC takes such a function for one without
// effects and drops the calls to it that it did not inline early (seen with GCC 12 at -O2: this
// one cost the index a tenth of its time, unnoticed).
[[gnu::always_inline]] inline void FetchAhead(const char* p, const char* end)
{
    constexpr std::ptrdiff_t Ahead = 4096;
    if (end - p > Ahead + 128) {
        __builtin_prefetch(p + Ahead);
        __builtin_prefetch(p + Ahead + 64);
        __builtin_prefetch(p + Ahead + 128);
    }
}

// Whether n bytes at p and q are equal; inline, as the texts compared in the index and the
// counting are short and many, eight bytes at a time.
inline bool SameBytes(const char* p, const char* q, std::size_t n)
{
    const auto word = [](const char* at) {
        std::uint64_t w;
        std::memcpy(&w, at, 8);
        return w;
    };
    const auto half = [](const char* at) {
        std::uint32_t w;
        std::memcpy(&w, at, 4);
        return w;
    };
    if (n >= 8) {
        for (; n > 8; n -= 8, p += 8, q += 8) {
            if (word(p) != word(q))
                return false;
        }
        // The last eight bytes, overlapping what was compared already.
        return word(p + n - 8) == word(q + n - 8);
    }
    if (n >= 4)
        return half(p) == half(q) && half(p + n - 4) == half(q + n - 4);
    for (; n > 0; --n, ++p, ++q) {
        if (*p != *q)
            return false;
    }
    return true;
}

// Whether two texts are equal: SameBytes for texts of the same size.
inline bool SameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && SameBytes(a.data(), b.data(), a.size());
}

// Appends the UTF-8 form of a code point to a string-like `out` (anything with += char).
template <class Out> void AppendUtf8(Out& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace qelt
