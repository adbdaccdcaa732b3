#include "logaccess/TextSearch.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelt {

namespace {

inline unsigned char Fold(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c | 0x20) : c;
}

inline bool IsLetter(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

NoCaseFinder::NoCaseFinder(std::string_view needle)
{
    m_folded.reserve(needle.size());
    for (const char ch : needle)
        m_folded += static_cast<char>(Fold(static_cast<unsigned char>(ch)));
    if (!m_folded.empty()) {
        m_firstMask = IsLetter(static_cast<unsigned char>(m_folded.front())) ? 0x20 : 0;
        m_lastMask = IsLetter(static_cast<unsigned char>(m_folded.back())) ? 0x20 : 0;
    }
}

bool NoCaseFinder::matchesAt(const char* p) const
{
    for (std::size_t j = 0; j < m_folded.size(); ++j) {
        if (Fold(static_cast<unsigned char>(p[j])) != static_cast<unsigned char>(m_folded[j]))
            return false;
    }
    return true;
}

std::size_t NoCaseFinder::find(std::string_view text, std::size_t from) const
{
    const std::size_t n = m_folded.size();
    if (n == 0 || text.size() < n || from > text.size() - n)
        return npos;
    const char* const s = text.data();
    const std::size_t lastStart = text.size() - n;
    std::size_t i = from;
#if defined(__SSE2__)
    // A letter matches in either case when bit 0x20 is set on both sides; only bit 0x20 tells
    // the two cases apart, so this lets nothing else through.
    const __m128i first = _mm_set1_epi8(static_cast<char>(m_folded.front()));
    const __m128i last = _mm_set1_epi8(static_cast<char>(m_folded.back()));
    const __m128i firstMask = _mm_set1_epi8(static_cast<char>(m_firstMask));
    const __m128i lastMask = _mm_set1_epi8(static_cast<char>(m_lastMask));
    for (; i + 15 <= lastStart; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + n - 1));
        const __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, firstMask), first),
                                          _mm_cmpeq_epi8(_mm_or_si128(b, lastMask), last));
        auto bits = static_cast<unsigned>(_mm_movemask_epi8(hit));
        while (bits != 0) {
            const auto k = static_cast<std::size_t>(__builtin_ctz(bits));
            if (matchesAt(s + i + k))
                return i + k;
            bits &= bits - 1;
        }
    }
#endif
    for (; i <= lastStart; ++i) {
        if (matchesAt(s + i))
            return i;
    }
    return npos;
}

} // namespace qelt
