#include "reports/TextOutput.h"

#include "common/Bytes.h"

#include "logaccess/LogStats.h"
#include "settings/CodePageTables.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelt {

namespace {

constexpr char HexDigits[] = "0123456789abcdef";

// One byte as text inside a JSON string: its UTF-8 form or escape sequence, at most 7 bytes.
// size 0: the code page defines no character for the byte. The eight bytes are copied whole.
struct JsonByte
{
    char text[7];
    std::uint8_t size;
};
static_assert(sizeof(JsonByte) == 8);
using JsonByteTable = std::array<JsonByte, 256>;

constexpr JsonByte jsonByte(std::string_view text)
{
    JsonByte entry{};
    for (std::size_t i = 0; i < text.size(); ++i)
        entry.text[i] = text[i];
    entry.size = static_cast<std::uint8_t>(text.size());
    return entry;
}

// \xNN written as JSON text: its backslash escaped.
constexpr JsonByte byteEscape(unsigned char c)
{
    const char text[] = {'\\', '\\', 'x', HexDigits[c >> 4], HexDigits[c & 0x0F]};
    return jsonByte({text, sizeof text});
}

// Every byte below 0x80 as JSON text; bytes from 0x80 on as they are (in valid UTF-8).
constexpr JsonByteTable makeUtf8Table()
{
    JsonByteTable table{};
    for (unsigned c = 0; c < 256; ++c) {
        const char plain[] = {static_cast<char>(c)};
        const char control[] = {'\\', 'u', '0', '0', HexDigits[c >> 4], HexDigits[c & 0x0F]};
        switch (c) {
        case '"':
            table[c] = jsonByte("\\\"");
            break;
        case '\\':
            table[c] = jsonByte("\\\\");
            break;
        case '\n':
            table[c] = jsonByte("\\n");
            break;
        case '\r':
            table[c] = jsonByte("\\r");
            break;
        case '\t':
            table[c] = jsonByte("\\t");
            break;
        default:
            table[c] = c < 0x20 ? jsonByte({control, sizeof control}) : jsonByte({plain, 1});
        }
    }
    return table;
}

constexpr JsonByteTable Utf8Table = makeUtf8Table();

// A single-byte code page as JSON text: decoded, and decoded with each byte that the page leaves
// undefined, and each backslash, as \xNN (the escaping of --format tsv).
struct JsonPage
{
    int number = 0;
    JsonByteTable decoded{};
    JsonByteTable escaped{};
};

std::vector<JsonPage> makeJsonPages()
{
    std::vector<JsonPage> pages(codepages::PageCount);
    for (std::size_t i = 0; i < codepages::PageCount; ++i) {
        const char16_t* toUnicode = codepages::Pages[i].toUnicode;
        JsonPage& page = pages[i];
        page.number = codepages::Pages[i].number;
        page.decoded = Utf8Table;
        for (unsigned c = 0x80; c < 256; ++c) {
            std::string text;
            if (toUnicode[c] != 0xFFFD)
                AppendUtf8(text, toUnicode[c]);
            page.decoded[c] = jsonByte(text);
        }
        page.escaped = page.decoded;
        page.escaped['\\'] = byteEscape('\\');
        for (unsigned c = 0x80; c < 256; ++c) {
            if (page.escaped[c].size == 0)
                page.escaped[c] = byteEscape(static_cast<unsigned char>(c));
        }
    }
    return pages;
}

// The page of a code page number other than 65001; 1252 for a number that names none.
const JsonPage& jsonPage(CodePageId codePage)
{
    static const std::vector<JsonPage> pages = makeJsonPages();
    const JsonPage* fallback = nullptr;
    for (const JsonPage& page : pages) {
        if (page.number == codePage)
            return page;
        if (page.number == 1252)
            fallback = &page;
    }
    return *fallback;
}

// Writes every byte of the text through the table; returns the end, or null at the first byte
// that the table has no text for.
char* writeThrough(char* p, std::string_view bytes, const JsonByteTable& table)
{
    for (const char ch : bytes) {
        const JsonByte& entry = table[static_cast<unsigned char>(ch)];
        if (entry.size == 0)
            return nullptr;
        std::memcpy(p, &entry, sizeof entry);
        p += entry.size;
    }
    return p;
}

// The text between the quotes when it holds a byte of 0x80 or above.
char* writeNonAscii(char* p, std::string_view bytes, CodePageId codePage, bool& lossless)
{
    lossless = true;
    if (IsValidUtf8(bytes))
        return writeThrough(p, bytes, Utf8Table);
    lossless = false;
    if (codePage != CodePageUtf8) {
        const JsonPage& page = jsonPage(codePage);
        if (char* end = writeThrough(p, bytes, page.decoded)) {
            lossless = true;
            return end;
        }
        return writeThrough(p, bytes, page.escaped);
    }
    // 65001: the text is not valid UTF-8; keep whole well-formed sequences, escape the other
    // bytes and the backslashes.
    const JsonByteTable& table = Utf8Table;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 1;
        if (c >= 0xC2 && c <= 0xF4) {
            length = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            if (i + length > bytes.size() || !IsValidUtf8(bytes.substr(i, length)))
                length = 0;
        } else if (c >= 0x80) {
            length = 0;
        }
        if (length == 0 || c == '\\') {
            const JsonByte entry = byteEscape(c);
            std::memcpy(p, &entry, sizeof entry);
            p += entry.size;
            ++i;
        } else if (length == 1) {
            std::memcpy(p, &table[c], sizeof(JsonByte));
            p += table[c].size;
            ++i;
        } else {
            std::memcpy(p, bytes.data() + i, length);
            p += length;
            i += length;
        }
    }
    return p;
}

int twoDigits(std::string_view text, std::size_t at)
{
    const unsigned a = static_cast<unsigned char>(text[at]) - 48u;
    const unsigned b = static_cast<unsigned char>(text[at + 1]) - 48u;
    if (a > 9u || b > 9u)
        return -1;
    return static_cast<int>(a * 10 + b);
}

} // namespace

void AppendCsvField(std::string& out, std::string_view utf8)
{
    if (utf8.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(utf8.data(), utf8.size());
        return;
    }
    out += '"';
    for (const char c : utf8) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

void AppendCsvRow(std::string& out, const std::vector<std::string_view>& utf8Fields)
{
    for (std::size_t i = 0; i < utf8Fields.size(); ++i) {
        if (i > 0)
            out += ',';
        AppendCsvField(out, utf8Fields[i]);
    }
    out += "\r\n";
}

void AppendJsonUtf8(std::string& out, std::string_view utf8)
{
    const std::size_t start = out.size();
    out.resize(start + JsonTextBound(utf8.size()));
    char* p = out.data() + start;
    *p++ = '"';
    p = writeThrough(p, utf8, Utf8Table);
    *p++ = '"';
    out.resize(static_cast<std::size_t>(p - out.data()));
}

bool AppendJsonText(std::string& out, std::string_view bytes, CodePageId codePage)
{
    // The fast writer reads up to JsonPadding bytes past the text: it reads a copy.
    std::string padded(bytes.size() + JsonPadding, '\0');
    std::memcpy(padded.data(), bytes.data(), bytes.size());
    const std::size_t start = out.size();
    out.resize(start + JsonTextBound(bytes.size()));
    bool lossless = true;
    char* end = WriteJsonText(out.data() + start, std::string_view(padded.data(), bytes.size()),
                              codePage, lossless);
    out.resize(static_cast<std::size_t>(end - out.data()));
    return lossless;
}

char* WriteJsonText(char* to, std::string_view bytes, CodePageId codePage, bool& lossless)
{
    const char* const src = bytes.data();
    const std::size_t n = bytes.size();
    const JsonByteTable& table = Utf8Table;
    char* p = to;
    *p++ = '"';
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time, copied before they are looked at: a byte that needs a look ends
    // the copy there. Plain bytes are 0x20 to 0x7F except '"' and '\\'.
    const __m128i below = _mm_set1_epi8(0x20);
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    for (;;) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
        // Signed compare: bytes of 0x80 and above are negative, so below 0x20 as well.
        const __m128i look =
            _mm_or_si128(_mm_cmplt_epi8(v, below),
                         _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(look));
        const std::size_t left = n - i;
        if (left < 16)
            mask &= (1u << left) - 1;
        if (mask == 0) {
            if (left <= 16) {
                p += left;
                break;
            }
            p += 16;
            i += 16;
            continue;
        }
        const auto skip = static_cast<std::size_t>(__builtin_ctz(mask));
        p += skip;
        i += skip;
        const auto c = static_cast<unsigned char>(src[i]);
        if (c >= 0x80) {
            p = writeNonAscii(to + 1, bytes, codePage, lossless);
            *p++ = '"';
            return p;
        }
        std::memcpy(p, &table[c], sizeof(JsonByte));
        p += table[c].size;
        ++i;
    }
#else
    for (; i < n; ++i) {
        const auto c = static_cast<unsigned char>(src[i]);
        if (c >= 0x80) {
            p = writeNonAscii(to + 1, bytes, codePage, lossless);
            *p++ = '"';
            return p;
        }
        std::memcpy(p, &table[c], sizeof(JsonByte));
        p += table[c].size;
    }
#endif
    *p++ = '"';
    lossless = true;
    return p;
}

void AppendHtmlText(std::string& out, std::string_view utf8)
{
    for (const char c : utf8) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            // Control bytes are not allowed in an XML document; show them as a replacement.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                out += "\xEF\xBF\xBD";
            else
                out += c;
        }
    }
}

bool WriteIsoTime(char* to, std::string_view line, std::string_view date)
{
    // dd/Mon/yyyy:hh:mm:ss, then a space and a zone +hhmm or -hhmm.
    if (date.size() != 20 || date[2] != '/' || date[6] != '/' || date[11] != ':' ||
        date[14] != ':' || date[17] != ':')
        return false;
    const std::uint32_t day = DayNumber(date.substr(0, 11));
    const int hour = twoDigits(date, 12);
    const int minute = twoDigits(date, 15);
    const int second = twoDigits(date, 18);
    if (day == 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
        return false;
    const auto end = static_cast<std::size_t>(date.data() + date.size() - line.data());
    if (end + 6 > line.size() || line[end] != ' ' || (line[end + 1] != '+' && line[end + 1] != '-'))
        return false;
    const std::string_view zone = line.substr(end + 2, 4);
    const int zoneHours = twoDigits(zone, 0);
    const int zoneMinutes = twoDigits(zone, 2);
    if (zoneHours < 0 || zoneMinutes < 0 || zoneMinutes > 59)
        return false;
    // yyyy-mm-ddThh:mm:ss+hh:mm
    const auto digit = [](std::uint32_t value) { return static_cast<char>('0' + value % 10); };
    to[0] = digit(day / 10000000);
    to[1] = digit(day / 1000000);
    to[2] = digit(day / 100000);
    to[3] = digit(day / 10000);
    to[4] = '-';
    to[5] = digit(day / 1000);
    to[6] = digit(day / 100);
    to[7] = '-';
    to[8] = digit(day / 10);
    to[9] = digit(day);
    to[10] = 'T';
    std::memcpy(to + 11, date.data() + 12, 8);
    to[19] = line[end + 1];
    to[20] = zone[0];
    to[21] = zone[1];
    to[22] = ':';
    to[23] = zone[2];
    to[24] = zone[3];
    return true;
}

std::string IsoTime(std::string_view line, std::string_view date)
{
    char text[IsoTimeSize];
    if (!WriteIsoTime(text, line, date))
        return {};
    return std::string(text, IsoTimeSize);
}

} // namespace qelt
