#include "reports/TextOutput.h"

#include "common/Bytes.h"

#include "logaccess/LogStats.h"
#include "settings/CodePageTables.h"

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelt {

namespace {

const char HexDigits[] = "0123456789abcdef";

const char16_t* pageTable(CodePageId codePage)
{
    const char16_t* fallback = nullptr;
    for (std::size_t i = 0; i < codepages::PageCount; ++i) {
        if (codepages::Pages[i].number == codePage)
            return codepages::Pages[i].toUnicode;
        if (codepages::Pages[i].number == 1252)
            fallback = codepages::Pages[i].toUnicode;
    }
    return fallback;
}

// Appends one byte below 0x80 inside a JSON string.
template <class Out> void appendJsonAscii(Out& out, unsigned char c)
{
    switch (c) {
    case '"':
        out += "\\\"";
        break;
    case '\\':
        out += "\\\\";
        break;
    case '\n':
        out += "\\n";
        break;
    case '\r':
        out += "\\r";
        break;
    case '\t':
        out += "\\t";
        break;
    default:
        if (c < 0x20) {
            out += "\\u00";
            out += HexDigits[c >> 4];
            out += HexDigits[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
}

// Appends \xNN (as JSON text: the backslash itself escaped).
template <class Out> void appendJsonByteEscape(Out& out, unsigned char c)
{
    out += "\\\\x";
    out += HexDigits[c >> 4];
    out += HexDigits[c & 0x0F];
}

// Appends ASCII text inside a JSON string, runs of plain bytes in one piece; returns false, with
// nothing appended, when the text holds a byte of 0x80 or above.
template <class Out> bool appendJsonAsciiRun(Out& out, std::string_view bytes)
{
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    const std::size_t start = out.size();
    const char* run = p;
    while (p < end) {
#if defined(__SSE2__)
        // Sixteen bytes at a time while none needs a look: 0x20 to 0x7F except '"' and '\\'.
        const __m128i space = _mm_set1_epi8(0x1F);
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        while (end - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            // Signed compare: bytes of 0x80 and above are negative, so below 0x20 as well.
            const __m128i low = _mm_cmpgt_epi8(_mm_add_epi8(space, _mm_set1_epi8(1)), v);
            const __m128i bad = _mm_or_si128(
                low, _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
            if (_mm_movemask_epi8(bad) != 0)
                break;
            p += 16;
        }
        if (p >= end)
            break;
#endif
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x80) {
            out.resize(start);
            return false;
        }
        if (c < 0x20 || c == '"' || c == '\\') {
            out.append(run, static_cast<std::size_t>(p - run));
            appendJsonAscii(out, c);
            run = p + 1;
        }
        ++p;
    }
    out.append(run, static_cast<std::size_t>(end - run));
    return true;
}

int twoDigits(std::string_view text, std::size_t at)
{
    const unsigned a = static_cast<unsigned char>(text[at]) - 48u;
    const unsigned b = static_cast<unsigned char>(text[at + 1]) - 48u;
    if (a > 9u || b > 9u)
        return -1;
    return static_cast<int>(a * 10 + b);
}

// A buffer that the caller has made large enough, written like a string.
struct RawOut
{
    char* begin;
    char* p;
    void operator+=(char c) { *p++ = c; }
    template <std::size_t N> void operator+=(const char (&text)[N])
    {
        std::memcpy(p, text, N - 1);
        p += N - 1;
    }
    void append(const char* data, std::size_t n)
    {
        std::memcpy(p, data, n);
        p += n;
    }
    std::size_t size() const { return static_cast<std::size_t>(p - begin); }
    void resize(std::size_t n) { p = begin + n; }
    void pop_back() { --p; }
};

template <class Out> void appendJsonUtf8(Out& out, std::string_view utf8)
{
    out += '"';
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x80)
            out += ch;
        else
            appendJsonAscii(out, c);
    }
    out += '"';
}

template <class Out> bool appendJsonText(Out& out, std::string_view bytes, CodePageId codePage)
{
    out += '"';
    if (appendJsonAsciiRun(out, bytes)) {
        out += '"';
        return true;
    }
    out.pop_back();
    if (IsValidUtf8(bytes)) {
        appendJsonUtf8(out, bytes);
        return true;
    }
    const std::size_t start = out.size();
    out += '"';
    // Under 65001 a text that is not valid UTF-8 holds bytes that cannot be shown.
    if (codePage != CodePageUtf8) {
        const char16_t* table = pageTable(codePage);
        bool lossless = true;
        for (const char ch : bytes) {
            const auto c = static_cast<unsigned char>(ch);
            if (c < 0x80) {
                appendJsonAscii(out, c);
            } else if (table[c] == 0xFFFD) {
                lossless = false;
                break;
            } else {
                AppendUtf8(out, table[c]);
            }
        }
        if (lossless) {
            out += '"';
            return true;
        }
    }
    // Escaped: each byte that cannot be shown, and each backslash, as \xNN.
    out.resize(start);
    out += '"';
    const char16_t* table = codePage == CodePageUtf8 ? nullptr : pageTable(codePage);
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\') {
            appendJsonByteEscape(out, c);
            ++i;
        } else if (c < 0x80) {
            appendJsonAscii(out, c);
            ++i;
        } else if (table) {
            if (table[c] == 0xFFFD)
                appendJsonByteEscape(out, c);
            else
                AppendUtf8(out, table[c]);
            ++i;
        } else {
            // 65001: keep whole well-formed sequences, escape the stray bytes.
            std::size_t length = 0;
            if (c >= 0xC2 && c <= 0xF4) {
                length = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
                if (i + length > bytes.size() || !IsValidUtf8(bytes.substr(i, length)))
                    length = 0;
            }
            if (length == 0) {
                appendJsonByteEscape(out, c);
                ++i;
            } else {
                out.append(bytes.data() + i, length);
                i += length;
            }
        }
    }
    out += '"';
    return false;
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
    appendJsonUtf8(out, utf8);
}

bool AppendJsonText(std::string& out, std::string_view bytes, CodePageId codePage)
{
    return appendJsonText(out, bytes, codePage);
}

char* WriteJsonText(char* to, std::string_view bytes, CodePageId codePage, bool& lossless)
{
    RawOut out{to, to};
    lossless = appendJsonText(out, bytes, codePage);
    return out.p;
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

std::string IsoTime(std::string_view line, std::string_view date)
{
    // dd/Mon/yyyy:hh:mm:ss, then a space and a zone +hhmm or -hhmm.
    if (date.size() != 20 || date[2] != '/' || date[6] != '/' || date[11] != ':' ||
        date[14] != ':' || date[17] != ':')
        return {};
    const std::uint32_t day = DayNumber(date.substr(0, 11));
    const int hour = twoDigits(date, 12);
    const int minute = twoDigits(date, 15);
    const int second = twoDigits(date, 18);
    if (day == 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
        return {};
    const auto end = static_cast<std::size_t>(date.data() + date.size() - line.data());
    if (end + 6 > line.size() || line[end] != ' ' || (line[end + 1] != '+' && line[end + 1] != '-'))
        return {};
    const std::string_view zone = line.substr(end + 2, 4);
    const int zoneHours = twoDigits(zone, 0);
    const int zoneMinutes = twoDigits(zone, 2);
    if (zoneHours < 0 || zoneMinutes < 0 || zoneMinutes > 59)
        return {};
    std::string out;
    out.reserve(25);
    const auto put = [&](unsigned value, int digits) {
        char buffer[8];
        for (int i = digits - 1; i >= 0; --i) {
            buffer[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        out.append(buffer, static_cast<std::size_t>(digits));
    };
    put(day / 10000, 4);
    out += '-';
    put(day / 100 % 100, 2);
    out += '-';
    put(day % 100, 2);
    out += 'T';
    out.append(date.substr(12, 8));
    out += line[end + 1];
    out.append(zone.substr(0, 2));
    out += ':';
    out.append(zone.substr(2, 2));
    return out;
}

} // namespace qelt
