#include "logaccess/TextSearch.h"

#include "logaccess/LogGrammar.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelt {

namespace {

inline unsigned char Fold(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c | 0x20) : c;
}

// Whether the bytes at p, folded, are the folded needle.
inline bool FoldedAt(std::string_view folded, const char* p)
{
    for (std::size_t j = 0; j < folded.size(); ++j) {
        if (Fold(static_cast<unsigned char>(p[j])) != static_cast<unsigned char>(folded[j]))
            return false;
    }
    return true;
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
    return FoldedAt(m_folded, p);
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

namespace {

// The bytes of a block of text as bit masks, bit i for byte i: those equal to a byte after the
// given bits are set on them (see find), and the NULs.
struct PlainVector
{
    static constexpr std::size_t Bytes = 1;
    static std::uint64_t equal(const char* p, unsigned char set, unsigned char c)
    {
        return (static_cast<unsigned char>(*p) | set) == c ? 1 : 0;
    }
    static std::uint64_t nul(const char* p) { return *p == '\0' ? 1 : 0; }
};

#if defined(__x86_64__)
struct Sse2Vector
{
    static constexpr std::size_t Bytes = 16;
    static std::uint64_t equal(const char* p, unsigned char set, unsigned char c)
    {
        const __m128i v = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                       _mm_set1_epi8(static_cast<char>(set)));
        return static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(c)))));
    }
    static std::uint64_t nul(const char* p)
    {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
    }
};

struct Avx2Vector
{
    static constexpr std::size_t Bytes = 32;
    __attribute__((target("avx2"))) static std::uint64_t equal(const char* p, unsigned char set,
                                                               unsigned char c)
    {
        const __m256i v = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                                          _mm256_set1_epi8(static_cast<char>(set)));
        return static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(c)))));
    }
    __attribute__((target("avx2"))) static std::uint64_t nul(const char* p)
    {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        return static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())));
    }
};

struct Avx512Vector
{
    static constexpr std::size_t Bytes = 64;
    __attribute__((target("avx512f,avx512bw"))) static std::uint64_t
    equal(const char* p, unsigned char set, unsigned char c)
    {
        const __m512i v =
            _mm512_or_si512(_mm512_loadu_si512(p), _mm512_set1_epi8(static_cast<char>(set)));
        return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(c)));
    }
    __attribute__((target("avx512f,avx512bw"))) static std::uint64_t nul(const char* p)
    {
        return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p), _mm512_setzero_si512());
    }
};
#endif

// The needle of a NoCaseFinder, for the searches below.
struct Needle
{
    std::string_view folded;
    unsigned char firstMask;
    unsigned char lastMask;
};

template <class Vector>
inline std::size_t findOrNulWith(const Needle& needle, std::string_view text, std::size_t from,
                                 bool& nul)
{
    const std::size_t n = needle.folded.size();
    const char* const s = text.data();
    const auto first = static_cast<unsigned char>(needle.folded.front());
    const auto last = static_cast<unsigned char>(needle.folded.back());
    std::size_t i = from;
    // A whole block of candidates, and the block n - 1 bytes on, lie inside the text.
    for (; text.size() >= n + Vector::Bytes - 1 && i <= text.size() - n - (Vector::Bytes - 1);
         i += Vector::Bytes) {
        std::uint64_t candidates = Vector::equal(s + i, needle.firstMask, first) &
                                   Vector::equal(s + i + n - 1, needle.lastMask, last);
        const std::uint64_t nuls = Vector::nul(s + i);
        if (nuls != 0)
            candidates &= (std::uint64_t(1) << __builtin_ctzll(nuls)) - 1;
        for (; candidates != 0; candidates &= candidates - 1) {
            const std::size_t k = i + static_cast<std::size_t>(__builtin_ctzll(candidates));
            if (FoldedAt(needle.folded, s + k))
                return k;
        }
        if (nuls != 0) {
            nul = true;
            return i + static_cast<std::size_t>(__builtin_ctzll(nuls));
        }
    }
    for (; i < text.size(); ++i) {
        if (s[i] == '\0') {
            nul = true;
            return i;
        }
        if (i + n <= text.size() && FoldedAt(needle.folded, s + i))
            return i;
    }
    return NoCaseFinder::npos;
}

using FindOrNul = std::size_t (*)(const Needle&, std::string_view, std::size_t, bool&);

std::size_t findOrNulPlain(const Needle& needle, std::string_view text, std::size_t from, bool& nul)
{
    return findOrNulWith<PlainVector>(needle, text, from, nul);
}

#if defined(__x86_64__)
std::size_t findOrNulSse2(const Needle& needle, std::string_view text, std::size_t from, bool& nul)
{
    return findOrNulWith<Sse2Vector>(needle, text, from, nul);
}
__attribute__((target("avx2"), flatten)) std::size_t
findOrNulAvx2(const Needle& needle, std::string_view text, std::size_t from, bool& nul)
{
    return findOrNulWith<Avx2Vector>(needle, text, from, nul);
}
__attribute__((target("avx512f,avx512bw"), flatten)) std::size_t
findOrNulAvx512(const Needle& needle, std::string_view text, std::size_t from, bool& nul)
{
    return findOrNulWith<Avx512Vector>(needle, text, from, nul);
}
#endif

FindOrNul pickFindOrNul(ScanInstructions widest)
{
#if defined(__x86_64__)
    const FindOrNul searches[] = {findOrNulPlain, findOrNulSse2, findOrNulAvx2, findOrNulAvx512};
    return searches[static_cast<int>(InstructionsUpTo(widest))];
#else
    (void)widest;
    return findOrNulPlain;
#endif
}

std::size_t findOrNulBy(FindOrNul search, const Needle& needle, std::string_view text,
                        std::size_t from, bool& nul)
{
    nul = false;
    if (from >= text.size())
        return NoCaseFinder::npos;
    if (needle.folded.empty() || needle.folded.find('\0') != std::string_view::npos) {
        // Found nowhere, as an occurrence would hold a NUL: only the NUL is looked for.
        const void* at = std::memchr(text.data() + from, '\0', text.size() - from);
        if (!at)
            return NoCaseFinder::npos;
        nul = true;
        return static_cast<std::size_t>(static_cast<const char*>(at) - text.data());
    }
    return search(needle, text, from, nul);
}

} // namespace

std::size_t NoCaseFinder::findOrNul(std::string_view text, std::size_t from, bool& nul) const
{
    static const FindOrNul chosen = pickFindOrNul(ScanInstructions::Avx512);
    return findOrNulBy(chosen, Needle{m_folded, m_firstMask, m_lastMask}, text, from, nul);
}

std::size_t NoCaseFinder::findOrNul(ScanInstructions widest, std::string_view text,
                                    std::size_t from, bool& nul) const
{
    return findOrNulBy(pickFindOrNul(widest), Needle{m_folded, m_firstMask, m_lastMask}, text, from,
                       nul);
}

} // namespace qelt
