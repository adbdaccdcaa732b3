// ScanIndexLine: the end of a line and its index fields in one pass over its bytes.
//
// The line is read 64 bytes at a time into bit masks, one bit a byte: line ends (CR, LF, NUL),
// double quotes, spaces, dashes and square brackets. The markers the fields are cut at (" - ",
// " [", "] ", the quotes of the connection tokens) are then found with bit operations. The masks
// are made with the widest vector instructions the processor has; a line of more than MaxBlocks
// blocks is cut the plain way.
#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qelt {

namespace {

constexpr std::size_t BlockBytes = 64;
constexpr std::size_t MaxBlocks = 8;
constexpr std::size_t Absent = std::string_view::npos;

// The bytes of each class in a block of 64 readable bytes, bit i for byte i.
struct BlockBits
{
    std::uint64_t lineEnd; // CR, LF, NUL
    std::uint64_t quote;
    std::uint64_t space;
    std::uint64_t dash;
    std::uint64_t open;  // '['
    std::uint64_t close; // ']'
};

struct PlainBits
{
    static BlockBits of(const char* block)
    {
        BlockBits bits{};
        for (unsigned i = 0; i < BlockBytes; ++i) {
            const std::uint64_t bit = std::uint64_t(1) << i;
            switch (block[i]) {
            case '\r':
            case '\n':
            case '\0':
                bits.lineEnd |= bit;
                break;
            case '"':
                bits.quote |= bit;
                break;
            case ' ':
                bits.space |= bit;
                break;
            case '-':
                bits.dash |= bit;
                break;
            case '[':
                bits.open |= bit;
                break;
            case ']':
                bits.close |= bit;
                break;
            default:
                break;
            }
        }
        return bits;
    }
};

#if defined(__x86_64__)
struct Sse2Bits
{
    static std::uint64_t is(__m128i v, char c, unsigned k)
    {
        const __m128i hits = _mm_cmpeq_epi8(v, _mm_set1_epi8(c));
        return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits)))
               << (16 * k);
    }
    static BlockBits of(const char* block)
    {
        BlockBits bits{};
        for (unsigned k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
            bits.lineEnd |= is(v, '\r', k) | is(v, '\n', k) | is(v, '\0', k);
            bits.quote |= is(v, '"', k);
            bits.space |= is(v, ' ', k);
            bits.dash |= is(v, '-', k);
            bits.open |= is(v, '[', k);
            bits.close |= is(v, ']', k);
        }
        return bits;
    }
};

struct Avx2Bits
{
    __attribute__((target("avx2"))) static std::uint64_t is(__m256i v, char c, unsigned k)
    {
        const __m256i hits = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c));
        return static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(hits)))
               << (32 * k);
    }
    __attribute__((target("avx2"))) static BlockBits of(const char* block)
    {
        BlockBits bits{};
        for (unsigned k = 0; k < 2; ++k) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * k));
            bits.lineEnd |= is(v, '\r', k) | is(v, '\n', k) | is(v, '\0', k);
            bits.quote |= is(v, '"', k);
            bits.space |= is(v, ' ', k);
            bits.dash |= is(v, '-', k);
            bits.open |= is(v, '[', k);
            bits.close |= is(v, ']', k);
        }
        return bits;
    }
};

struct Avx512Bits
{
    __attribute__((target("avx512f,avx512bw"))) static std::uint64_t is(__m512i v, char c)
    {
        return static_cast<std::uint64_t>(_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c)));
    }
    __attribute__((target("avx512f,avx512bw"))) static BlockBits of(const char* block)
    {
        const __m512i v = _mm512_loadu_si512(block);
        BlockBits bits;
        bits.lineEnd = is(v, '\r') | is(v, '\n') | is(v, '\0');
        bits.quote = is(v, '"');
        bits.space = is(v, ' ');
        bits.dash = is(v, '-');
        bits.open = is(v, '[');
        bits.close = is(v, ']');
        return bits;
    }
};
#endif

// The masks of the blocks of one line.
struct LineBits
{
    BlockBits block[MaxBlocks + 1]; // the one after the last block made is all zeros
    std::size_t count = 0;

    // Bit i of the result stands for byte 64 w + i + s of the line (w at most count).
    std::uint64_t word(std::uint64_t BlockBits::*cls, std::size_t w, unsigned s = 0) const
    {
        if (s == 0)
            return block[w].*cls;
        return (block[w].*cls >> s) | (block[w + 1].*cls << (64 - s));
    }

    // The first i in [from, to) whose bit in pattern(w) is set, or Absent.
    template <class Pattern>
    std::size_t first(std::size_t from, std::size_t to, Pattern&& pattern) const
    {
        for (std::size_t w = from / BlockBytes; w * BlockBytes < to; ++w) {
            std::uint64_t m = pattern(w);
            if (w == from / BlockBytes)
                m &= ~std::uint64_t(0) << (from % BlockBytes);
            if (to - w * BlockBytes < BlockBytes)
                m &= (std::uint64_t(1) << (to - w * BlockBytes)) - 1;
            if (m != 0)
                return w * BlockBytes + static_cast<std::size_t>(__builtin_ctzll(m));
        }
        return Absent;
    }
};

template <class Bits> inline IndexLine scanLine(const char* p, const char* end)
{
    LineBits b;
    std::size_t length = 0;
    for (;;) {
        const char* at = p + b.count * BlockBytes;
        if (at >= end) {
            length = static_cast<std::size_t>(end - p);
            break;
        }
        if (b.count == MaxBlocks) {
            // A long line: the plain way.
            const char* lineEnd = FindLineEndOrNul(at, end);
            return {lineEnd,
                    ExtractIndexFields(std::string_view(p, static_cast<std::size_t>(lineEnd - p)))};
        }
        char tail[BlockBytes];
        if (static_cast<std::size_t>(end - at) < BlockBytes) {
            // The zeros after the text's last byte read as a line end right at its end.
            std::memset(tail, 0, BlockBytes);
            std::memcpy(tail, at, static_cast<std::size_t>(end - at));
            at = tail;
        }
        const BlockBits& bits = b.block[b.count++] = Bits::of(at);
        if (bits.lineEnd != 0) {
            length = (b.count - 1) * BlockBytes +
                     static_cast<std::size_t>(__builtin_ctzll(bits.lineEnd));
            break;
        }
    }
    b.block[b.count] = BlockBits{};
    IndexLine result;
    result.end = p + length;
    IndexFields& fields = result.fields;

    // " - ": a space, a dash, a space.
    const std::size_t dash = length < 3 ? Absent : b.first(0, length - 2, [&](std::size_t w) {
        return b.word(&BlockBits::space, w) & b.word(&BlockBits::dash, w, 1) &
               b.word(&BlockBits::space, w, 2);
    });
    if (dash == Absent)
        return result;
    fields.qualifies = true;
    const std::size_t from = dash + 3; // the rest after " - "
    // The user: the bytes before the rest's first " [".
    const std::size_t userEnd = b.first(from, length - 1, [&](std::size_t w) {
        return b.word(&BlockBits::space, w) & b.word(&BlockBits::open, w, 1);
    });
    if (userEnd != Absent)
        fields.user = std::string_view(p + from, userEnd - from);
    // The request: after the rest's first "] ", else the rest without its first byte.
    const std::size_t close = b.first(from, length - 1, [&](std::size_t w) {
        return b.word(&BlockBits::close, w) & b.word(&BlockBits::space, w, 1);
    });
    std::size_t request;
    if (close != Absent)
        request = close + 2;
    else
        request = length - from <= 1 ? length : from + 1;

    // The connection token: the lowest table index among the tokens at the request's quotes.
    int best = -1;
    for (std::size_t w = request / BlockBytes; w * BlockBytes < length && best != 0; ++w) {
        std::uint64_t m = b.block[w].quote;
        if (w == request / BlockBytes)
            m &= ~std::uint64_t(0) << (request % BlockBytes);
        if (length - w * BlockBytes < BlockBytes)
            m &= (std::uint64_t(1) << (length - w * BlockBytes)) - 1;
        for (; m != 0 && best != 0; m &= m - 1) {
            const std::size_t q = w * BlockBytes + static_cast<std::size_t>(__builtin_ctzll(m));
            const int k = ConnectionTokenAt(std::string_view(p + q, length - q));
            if (k >= 0 && (best < 0 || k < best))
                best = k;
        }
    }
    if (best < 0)
        return result;
    const HostFields host =
        ExtractHostOfType(std::string_view(p + request, length - request), best);
    fields.hasKind = true;
    fields.kind = host.kind;
    fields.host = host.host;
    return result;
}

using Scan = IndexLine (*)(const char*, const char*);

IndexLine scanPlain(const char* p, const char* end)
{
    return scanLine<PlainBits>(p, end);
}

#if defined(__x86_64__)
IndexLine scanSse2(const char* p, const char* end)
{
    return scanLine<Sse2Bits>(p, end);
}
__attribute__((target("avx2"), flatten)) IndexLine scanAvx2(const char* p, const char* end)
{
    return scanLine<Avx2Bits>(p, end);
}
__attribute__((target("avx512f,avx512bw"), flatten)) IndexLine scanAvx512(const char* p,
                                                                          const char* end)
{
    return scanLine<Avx512Bits>(p, end);
}
#endif

// The scan with the widest instructions this processor has, up to `widest`.
Scan pickScan(ScanInstructions widest)
{
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (widest >= ScanInstructions::Avx512 && __builtin_cpu_supports("avx512bw"))
        return scanAvx512;
    if (widest >= ScanInstructions::Avx2 && __builtin_cpu_supports("avx2"))
        return scanAvx2;
    if (widest >= ScanInstructions::Sse2)
        return scanSse2;
#else
    (void)widest;
#endif
    return scanPlain;
}

} // namespace

IndexLine ScanIndexLine(const char* p, const char* end)
{
    static const Scan chosen = pickScan(ScanInstructions::Avx512);
    return chosen(p, end);
}

IndexLine ScanIndexLine(ScanInstructions widest, const char* p, const char* end)
{
    return pickScan(widest)(p, end);
}

} // namespace qelt
