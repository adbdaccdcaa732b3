#pragma once

// Texts of a log as the reports write them: CSV fields (RFC 4180), JSON strings and HTML text,
// each decoded for display the way the window decodes them (valid UTF-8 as it is, anything else
// in the configured code page).
//
//   std::string row;
//   qelt::AppendCsvRow(row, {"Date", "URL"});           // "Date,URL\r\n"
//   qelt::AppendHtmlText(row, qelt::DecodeForDisplay(logBytes, 1251));

#include "settings/CodePage.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelt {

// Appends one CSV field of UTF-8 text: enclosed in double quotes, inner quotes doubled, when it
// holds a comma, a quote, a CR or an LF (RFC 4180); as it is otherwise.
void AppendCsvField(std::string& out, std::string_view utf8);
// Appends the fields separated by commas and the line end CR LF.
void AppendCsvRow(std::string& out, const std::vector<std::string_view>& utf8Fields);

// Writes bytes of a log as a JSON string, quotes included, into a buffer of at least
// JsonTextBound(bytes.size()) bytes, and returns the end of what was written. The bytes must be
// followed by at least JsonPadding bytes that may be read (sixteen bytes are looked at at a
// time). Valid UTF-8 goes as it is; other bytes are decoded from the code page. When the page
// leaves a byte undefined (or, under 65001, a byte is no part of a well-formed sequence) nothing
// is lost: the whole text is then written with each such byte as \xNN and each backslash as
// \x5c (the escaping of --format tsv), and lossless is set to false so that the caller can say
// the field is escaped. Inline: exports call it for every field of millions of lines.
inline char* WriteJsonText(char* to, std::string_view bytes, CodePageId codePage, bool& lossless);
inline constexpr std::size_t JsonPadding = 16;
inline std::size_t JsonTextBound(std::size_t bytes)
{
    return 6 * bytes + 2 + 16;
}

// Appends UTF-8 text with &, <, >, " and ' written as character references.
void AppendHtmlText(std::string& out, std::string_view utf8);

// The date text of a line and the zone after it as ISO 8601 ("2026-12-07T03:44:43+08:00"), or
// an empty text when they do not read as "dd/Mon/yyyy:hh:mm:ss +hhmm". date is a view into line.
std::string IsoTime(std::string_view line, std::string_view date);
inline constexpr std::size_t IsoTimeSize = 25;

// IsoTime of line after line. Lines come many a second, so the time of the line before is often
// this line's too, and its day more often still: each is worked out once.
class IsoTimeWriter
{
public:
    // The IsoTimeSize bytes of IsoTime(line, date), or null where it is empty. They stay until
    // the next call.
    const char* time(std::string_view line, std::string_view date);

private:
    static constexpr std::size_t StampSize = 26; // "dd/Mon/yyyy:hh:mm:ss +hhmm"
    static constexpr std::size_t DaySize = 11;   // "dd/Mon/yyyy"
    char m_stamp[StampSize] = {};
    bool m_haveStamp = false;
    bool m_timeValid = false;
    bool m_dayValid = false;
    char m_text[IsoTimeSize] = {};
};

namespace json_detail {

// One byte as text inside a JSON string: its UTF-8 form or escape sequence, at most 7 bytes.
// size 0: the code page defines no character for the byte. The eight bytes are copied whole.
struct JsonByte
{
    char text[7];
    std::uint8_t size;
};
static_assert(sizeof(JsonByte) == 8);
using JsonByteTable = std::array<JsonByte, 256>;

// Every byte below 0x80 as JSON text; bytes from 0x80 on as they are (in valid UTF-8).
extern const JsonByteTable Utf8Table;

// WriteJsonText of a text that holds a byte of 0x80 or above.
char* WriteNonAsciiText(char* to, std::string_view bytes, CodePageId codePage, bool& lossless);

} // namespace json_detail

inline char* WriteJsonText(char* to, std::string_view bytes, CodePageId codePage, bool& lossless)
{
    const json_detail::JsonByteTable& table = json_detail::Utf8Table;
    const char* const src = bytes.data();
    const std::size_t n = bytes.size();
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
        if (c >= 0x80)
            return json_detail::WriteNonAsciiText(to, bytes, codePage, lossless);
        std::memcpy(p, &table[c], sizeof(json_detail::JsonByte));
        p += table[c].size;
        ++i;
    }
#else
    for (; i < n; ++i) {
        const auto c = static_cast<unsigned char>(src[i]);
        if (c >= 0x80)
            return json_detail::WriteNonAsciiText(to, bytes, codePage, lossless);
        std::memcpy(p, &table[c], sizeof(json_detail::JsonByte));
        p += table[c].size;
    }
#endif
    *p++ = '"';
    lossless = true;
    return p;
}

} // namespace qelt
