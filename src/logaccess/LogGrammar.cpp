#include "logaccess/LogGrammar.h"

#include "logaccess/LogFile.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelt {

namespace {

constexpr std::size_t Absent = std::string_view::npos;

// First occurrence of marker, or Absent; an empty marker or text is never found.
std::size_t find(std::string_view text, std::string_view marker)
{
    if (marker.empty() || text.empty())
        return Absent;
    return text.find(marker);
}

constexpr unsigned char upperAscii(unsigned char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

// Whether text starts with token when both are upper-cased by ASCII rules.
bool startsWithNoCase(std::string_view text, std::string_view token)
{
    if (text.size() < token.size())
        return false;
    for (std::size_t i = 0; i < token.size(); ++i) {
        if (upperAscii(static_cast<unsigned char>(text[i])) !=
            upperAscii(static_cast<unsigned char>(token[i])))
            return false;
    }
    return true;
}

} // namespace

std::string_view TakeBefore(std::string_view text, std::string_view marker)
{
    const std::size_t pos = find(text, marker);
    return pos == Absent ? std::string_view() : text.substr(0, pos);
}

std::string_view TakeThrough(std::string_view text, std::string_view marker)
{
    const std::size_t pos = find(text, marker);
    return pos == Absent ? std::string_view() : text.substr(0, pos + marker.size());
}

std::string_view DropThrough(std::string_view text, std::string_view marker)
{
    const std::size_t pos = find(text, marker);
    if (pos != Absent)
        return text.substr(pos + marker.size());
    return marker.empty() ? text : DropFirst(text, marker.size() - 1);
}

std::string_view DropFirst(std::string_view text, std::size_t n)
{
    return n >= text.size() ? std::string_view() : text.substr(n);
}

bool ContainsNoCase(std::string_view text, std::string_view token)
{
    if (token.empty() || text.size() < token.size())
        return false;
    const unsigned char first = upperAscii(static_cast<unsigned char>(token[0]));
    const bool letter = first >= 'A' && first <= 'Z';
    const std::size_t last = text.size() - token.size();
    for (std::size_t i = 0; i <= last; ++i) {
        if (!letter) {
            // Only the byte itself upper-cases to a non-letter: let memchr skip ahead.
            const void* hit = std::memchr(text.data() + i, first, last - i + 1);
            if (!hit)
                return false;
            i = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
        } else if (upperAscii(static_cast<unsigned char>(text[i])) != first) {
            continue;
        }
        if (startsWithNoCase(text.substr(i), token))
            return true;
    }
    return false;
}

namespace {

// A token as eight bytes: the token upper-cased, which bits a letter may differ in (the case bit
// of the letters, nothing for the quotes and digits), and which bytes belong to it.
struct PackedToken
{
    std::uint64_t bytes = 0;
    std::uint64_t caseBits = 0;
    std::uint64_t used = 0;
};

constexpr PackedToken pack(std::string_view token)
{
    PackedToken packed;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const auto c = static_cast<unsigned char>(token[i]);
        packed.bytes |= std::uint64_t(c) << (8 * i);
        if (c >= 'A' && c <= 'Z')
            packed.caseBits |= std::uint64_t(0x20) << (8 * i);
        packed.used |= std::uint64_t(0xFF) << (8 * i);
    }
    return packed;
}

constexpr std::array<PackedToken, 7> PackedTokens{
    pack(ConnectionTypeTable[0].token), pack(ConnectionTypeTable[1].token),
    pack(ConnectionTypeTable[2].token), pack(ConnectionTypeTable[3].token),
    pack(ConnectionTypeTable[4].token), pack(ConnectionTypeTable[5].token),
    pack(ConnectionTypeTable[6].token)};

// Whether text starts with table token k, compared as ContainsNoCase compares.
bool tokenStartsAt(std::string_view text, int k)
{
    const std::size_t index = static_cast<std::size_t>(k);
    if (text.size() >= 8 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        // Clearing the case bit of a letter position upper-cases exactly the bytes a-z there
        // that can equal the token's letter; every other position must match as it is.
        std::uint64_t w;
        std::memcpy(&w, text.data(), 8);
        const PackedToken& t = PackedTokens[index];
        return ((w & ~t.caseBits) & t.used) == t.bytes;
    }
    return startsWithNoCase(text, ConnectionTypeTable[index].token);
}

// The table index of the token that starts at text[0] (a double quote), or -1. At most one token
// can start at a given quote; the byte after the quote tells which ones may.
int tokenAt(std::string_view text)
{
    if (text.size() < 5)
        return -1;
    switch (upperAscii(static_cast<unsigned char>(text[1]))) {
    case 'H':
        if (tokenStartsAt(text, 0))
            return 0;
        return tokenStartsAt(text, 1) ? 1 : -1;
    case 'F':
        return tokenStartsAt(text, 2) ? 2 : -1;
    case 'P':
        return tokenStartsAt(text, 3) ? 3 : -1;
    case 'S':
        if (tokenStartsAt(text, 4))
            return 4;
        return tokenStartsAt(text, 6) ? 6 : -1;
    case 'M':
        return tokenStartsAt(text, 5) ? 5 : -1;
    default:
        return -1;
    }
}

} // namespace

int FindConnectionType(std::string_view text)
{
    // Every token begins with a double quote, so an occurrence of any token starts at one of the
    // text's quotes. The winner is the smallest table index among all occurrences, which is what
    // searching the tokens in table order gives.
    int best = -1;
    const auto consider = [&](std::size_t at) {
        const int k = tokenAt(text.substr(at));
        if (k >= 0 && (best < 0 || k < best))
            best = k;
        return best == 0;
    };
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    for (; i + 16 <= text.size(); i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, quote)));
        while (mask != 0) {
            if (consider(i + static_cast<std::size_t>(__builtin_ctz(mask))))
                return best;
            mask &= mask - 1;
        }
    }
#endif
    for (; i < text.size(); ++i) {
        if (text[i] == '"' && consider(i))
            return best;
    }
    return best;
}

std::string_view ExtractUser(std::string_view text)
{
    return TakeBefore(text, " [");
}

namespace {

// The host of the text that starts at the request, by the rule of table token k (not -1), with
// its kind: written straight where the caller keeps them (the scan of a line copying a host from
// the stack right after writing it stalled on the copy).
void hostOfType(std::string_view text, int k, ConnectionKind& kind, std::string_view& host)
{
    const ConnectionType& type = ConnectionTypeTable[static_cast<std::size_t>(k)];
    kind = type.kind;
    switch (type.rule) {
    case HostRule::Tunnel:
        host = TakeBefore(DropFirst(text, 9), ":");
        break;
    case HostRule::Web: {
        const std::size_t web = find(text, "http://");
        if (web != Absent)
            host = TakeBefore(text.substr(web + 7), "/");
        else if (find(text, "CONNECT") != Absent)
            host = TakeBefore(DropFirst(text, 9), ":");
        break;
    }
    case HostRule::Ftp:
        host = TakeBefore(DropThrough(text, "@"), "\"");
        break;
    case HostRule::Mail:
        host = TakeBefore(DropThrough(text, "Host:"), "-User");
        break;
    }
}

HostFields hostOfType(std::string_view text, int k)
{
    HostFields result;
    result.hasKind = true;
    hostOfType(text, k, result.kind, result.host);
    return result;
}

} // namespace

HostFields ExtractHost(std::string_view text)
{
    const int k = FindConnectionType(text);
    return k < 0 ? HostFields() : hostOfType(text, k);
}

IndexFields ExtractIndexFields(std::string_view line)
{
    IndexFields result;
    const std::size_t dash = find(line, " - ");
    if (dash == Absent)
        return result;
    result.qualifies = true;
    std::string_view rest = line.substr(dash + 3);
    result.user = ExtractUser(rest);
    rest = DropThrough(rest, "] ");
    const HostFields host = ExtractHost(rest);
    result.hasKind = host.hasKind;
    result.kind = host.kind;
    result.host = host.host;
    return result;
}

namespace {

// The raw URL of the request whose text (after its opening quote) is `request`: after its first
// space, through the next double quote.
std::string_view rawUrlAfterHead(std::string_view request)
{
    return TakeThrough(DropThrough(request, " "), "\"");
}

} // namespace

RecordFields ExtractRecordFields(std::string_view line)
{
    RecordFields result;

    // The count comes from where '+' stands in the whole line, not from its distance to '['.
    const std::size_t plus = line.find('+');
    if (plus != Absent && plus >= 1) {
        // 1-based: p = plus + 1, begin at q + 1 with q the position of '[' (0 when absent), take
        // p - 2 bytes, of which the date keeps the first 20.
        const std::size_t bracket = line.find('[');
        const std::size_t begin = bracket == Absent ? 0 : bracket + 1;
        std::size_t count = plus - 1;
        if (count > DateCapacity)
            count = DateCapacity;
        result.date = begin >= line.size() ? std::string_view() : line.substr(begin, count);
    }

    const int k = FindConnectionType(line);
    if (k < 0)
        return result;
    const std::string_view token = ConnectionTypeTable[static_cast<std::size_t>(k)].token;
    std::string_view rest = DropThrough(line, "] \"");
    std::string_view head = TakeThrough(rest, " ");
    if (head.size() > LabelCapacity)
        head = head.substr(0, LabelCapacity);
    result.labelHead = head;
    result.labelToken = token.substr(0, LabelCapacity - head.size());
    result.rawUrl = rawUrlAfterHead(rest);
    return result;
}

std::string_view ExtractRawUrl(std::string_view line, bool tokenFound)
{
    if (!tokenFound && FindConnectionType(line) < 0)
        return {};
    return rawUrlAfterHead(DropThrough(line, "] \""));
}

IconIndex FileKindIcon(std::string_view rawUrl)
{
    // Every extension of interest is a dot and three bytes, so one pass over the dots decides.
    bool archive = false;
    const char* const end = rawUrl.data() + rawUrl.size();
    const char* p = rawUrl.data();
    while (p < end) {
        const void* hit = std::memchr(p, '.', static_cast<std::size_t>(end - p));
        if (!hit)
            break;
        const char* dot = static_cast<const char*>(hit);
        const std::string_view at(dot, static_cast<std::size_t>(end - dot));
        if (startsWithNoCase(at, ".pdf"))
            return PdfIcon;
        if (!archive) {
            for (const std::string_view extension : ArchiveExtensionTable) {
                if (startsWithNoCase(at, extension)) {
                    archive = true;
                    break;
                }
            }
        }
        p = dot + 1;
    }
    return archive ? ArchiveIcon : PlainRequestIcon;
}

std::string_view StripHttpVersion(std::string_view rawUrl)
{
    const std::size_t pos = find(rawUrl, "HTTP/1.");
    // 1-based position p = pos + 1; the text must be exactly p + 8 bytes long.
    if (pos == Absent || rawUrl.size() != pos + 9)
        return rawUrl;
    return rawUrl.size() <= 10 ? std::string_view() : rawUrl.substr(0, rawUrl.size() - 10);
}

// ---- ScanIndexLine: the end of a line and its index fields in one pass over its bytes.
//
// The line is read 64 bytes at a time into bit masks, one bit a byte: line ends (CR, LF, NUL),
// double quotes, spaces, dashes and square brackets. The markers the fields are cut at (" - ",
// " [", "] ", the quotes of the connection tokens) are then found with bit operations. The masks
// are made with the widest vector instructions the processor has; a line of more than MaxBlocks
// blocks is cut the plain way.

namespace {

constexpr std::size_t BlockBytes = 64;
constexpr std::size_t MaxBlocks = 8;

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

// Writes the line's end and fields into `result` as it finds them, which spares copying a whole
// IndexLine pieced together on the stack.
template <class Bits> inline void scanLine(const char* p, const char* end, IndexLine& result)
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
            result.end = lineEnd;
            result.fields =
                ExtractIndexFields(std::string_view(p, static_cast<std::size_t>(lineEnd - p)));
            return;
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
    result.end = p + length;
    IndexFields& fields = result.fields;

    // " - ": a space, a dash, a space.
    const std::size_t dash = length < 3 ? Absent : b.first(0, length - 2, [&](std::size_t w) {
        return b.word(&BlockBits::space, w) & b.word(&BlockBits::dash, w, 1) &
               b.word(&BlockBits::space, w, 2);
    });
    if (dash == Absent)
        return;
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

    // The connection token: the lowest table index among the tokens at the request's quotes. A
    // token is five to eight bytes from its quote to its closing quote, which rules most quotes
    // out at once.
    int best = -1;
    for (std::size_t w = request / BlockBytes; w * BlockBytes < length && best != 0; ++w) {
        const std::uint64_t here = b.block[w].quote;
        const std::uint64_t next = b.block[w + 1].quote;
        const std::uint64_t closing = (here >> 4 | next << 60) | (here >> 5 | next << 59) |
                                      (here >> 6 | next << 58) | (here >> 7 | next << 57);
        std::uint64_t m = here & closing;
        if (w == request / BlockBytes)
            m &= ~std::uint64_t(0) << (request % BlockBytes);
        if (length - w * BlockBytes < BlockBytes)
            m &= (std::uint64_t(1) << (length - w * BlockBytes)) - 1;
        for (; m != 0 && best != 0; m &= m - 1) {
            const std::size_t q = w * BlockBytes + static_cast<std::size_t>(__builtin_ctzll(m));
            const int k = tokenAt(std::string_view(p + q, length - q));
            if (k >= 0 && (best < 0 || k < best))
                best = k;
        }
    }
    if (best < 0)
        return;
    fields.hasKind = true;
    hostOfType(std::string_view(p + request, length - request), best, fields.kind, fields.host);
}

using Scan = void (*)(const char*, const char*, IndexLine&);

void scanPlain(const char* p, const char* end, IndexLine& result)
{
    scanLine<PlainBits>(p, end, result);
}

#if defined(__x86_64__)
void scanSse2(const char* p, const char* end, IndexLine& result)
{
    scanLine<Sse2Bits>(p, end, result);
}
__attribute__((target("avx2"), flatten)) void scanAvx2(const char* p, const char* end,
                                                       IndexLine& result)
{
    scanLine<Avx2Bits>(p, end, result);
}
__attribute__((target("avx512f,avx512bw"), flatten)) void scanAvx512(const char* p, const char* end,
                                                                     IndexLine& result)
{
    scanLine<Avx512Bits>(p, end, result);
}
#endif

// The scan with the widest instructions this processor has, up to `widest`.
Scan pickScan(ScanInstructions widest)
{
#if defined(__x86_64__)
    const Scan scans[] = {scanPlain, scanSse2, scanAvx2, scanAvx512};
    return scans[static_cast<int>(InstructionsUpTo(widest))];
#else
    (void)widest;
    return scanPlain;
#endif
}

} // namespace

ScanInstructions InstructionsUpTo(ScanInstructions widest)
{
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (widest >= ScanInstructions::Avx512 && __builtin_cpu_supports("avx512bw"))
        return ScanInstructions::Avx512;
    if (widest >= ScanInstructions::Avx2 && __builtin_cpu_supports("avx2"))
        return ScanInstructions::Avx2;
    if (widest >= ScanInstructions::Sse2)
        return ScanInstructions::Sse2;
#else
    (void)widest;
#endif
    return ScanInstructions::Plain;
}

IndexLine ScanIndexLine(const char* p, const char* end)
{
    static const Scan chosen = pickScan(ScanInstructions::Avx512);
    IndexLine result;
    chosen(p, end, result);
    return result;
}

IndexLine ScanIndexLine(ScanInstructions widest, const char* p, const char* end)
{
    IndexLine result;
    pickScan(widest)(p, end, result);
    return result;
}

} // namespace qelt
