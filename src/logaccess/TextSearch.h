#pragma once

// A search for one text that ignores ASCII case (only a-z and A-Z are folded; every other byte,
// those above 127 included, must match exactly), prepared once and run over many texts.
//
//   const qelt::NoCaseFinder finder("Example.COM");
//   finder.in(url);                       // whether url contains it
//   finder.find(text, from);              // where it occurs next, or npos
//
// Sixteen candidate positions are tested at once by their first and last byte; only candidates
// are compared whole, so a scan over a large buffer costs about a memchr.

#include <cstddef>
#include <string>
#include <string_view>

namespace qelt {

enum class ScanInstructions; // LogGrammar.h

class NoCaseFinder
{
public:
    static constexpr std::size_t npos = std::string_view::npos;

    NoCaseFinder() = default;
    explicit NoCaseFinder(std::string_view needle);

    // An empty text is found nowhere.
    bool empty() const { return m_folded.empty(); }
    std::size_t size() const { return m_folded.size(); }
    // The position of the first occurrence at or after from, or npos.
    std::size_t find(std::string_view text, std::size_t from = 0) const;
    bool in(std::string_view text) const { return find(text) != npos; }
    // For a text that ends at its first NUL: the position of the first occurrence at or after
    // from, or of the first NUL there if that comes first (nul is then set), or npos. One pass
    // over the bytes does both, with the widest vector instructions the processor has.
    std::size_t findOrNul(std::string_view text, std::size_t from, bool& nul) const;
    // The same with the vector instructions up to `widest` (those the processor has), for the
    // tests of each kind.
    std::size_t findOrNul(ScanInstructions widest, std::string_view text, std::size_t from,
                          bool& nul) const;

private:
    bool matchesAt(const char* p) const;

    std::string m_folded; // the needle with A-Z lowered
    // Per end byte (first, last): the bits to set in a text byte before comparing it with the
    // folded byte, 0x20 for a letter, 0 for anything else.
    unsigned char m_firstMask = 0;
    unsigned char m_lastMask = 0;
};

} // namespace qelt
