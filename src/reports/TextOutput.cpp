#include "reports/TextOutput.h"

#include "common/Bytes.h"

#include "logaccess/LogStats.h"
#include "settings/CodePageTables.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qelt {

namespace {

constexpr char HexDigits[] = "0123456789abcdef";

using json_detail::JsonByte;
using json_detail::JsonByteTable;

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

using json_detail::Utf8Table;

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
        page.escaped = Utf8Table;
        page.escaped['\\'] = byteEscape('\\');
        for (unsigned c = 0x80; c < 256; ++c) {
            std::string text;
            if (toUnicode[c] != 0xFFFD)
                AppendUtf8(text, toUnicode[c]);
            page.decoded[c] = jsonByte(text);
            page.escaped[c] =
                text.empty() ? byteEscape(static_cast<unsigned char>(c)) : page.decoded[c];
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

const json_detail::JsonByteTable json_detail::Utf8Table = makeUtf8Table();

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

char* json_detail::WriteNonAsciiText(char* to, std::string_view bytes, CodePageId codePage,
                                     bool& lossless)
{
    char* p = writeNonAscii(to + 1, bytes, codePage, lossless);
    *p++ = '"';
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

const char* IsoTimeWriter::time(std::string_view line, std::string_view date)
{
    // dd/Mon/yyyy:hh:mm:ss, then a space and a zone +hhmm or -hhmm.
    if (date.size() != 20)
        return nullptr;
    const auto at = static_cast<std::size_t>(date.data() - line.data());
    if (at + StampSize > line.size())
        return nullptr;
    const char* const stamp = line.data() + at;
    if (m_haveStamp && std::memcmp(stamp, m_stamp, StampSize) == 0)
        return m_timeValid ? m_text : nullptr;
    if (!m_haveStamp || std::memcmp(stamp, m_stamp, DaySize) != 0) {
        const std::uint32_t day =
            date[2] == '/' && date[6] == '/' ? DayNumber(date.substr(0, DaySize)) : 0;
        m_dayValid = day != 0;
        // yyyy-mm-dd
        const auto digit = [](std::uint32_t value) { return static_cast<char>('0' + value % 10); };
        m_text[0] = digit(day / 10000000);
        m_text[1] = digit(day / 1000000);
        m_text[2] = digit(day / 100000);
        m_text[3] = digit(day / 10000);
        m_text[4] = '-';
        m_text[5] = digit(day / 1000);
        m_text[6] = digit(day / 100);
        m_text[7] = '-';
        m_text[8] = digit(day / 10);
        m_text[9] = digit(day);
    }
    std::memcpy(m_stamp, stamp, StampSize);
    m_haveStamp = true;
    const std::string_view zone(stamp + 22, 4);
    const int hour = twoDigits(date, 12);
    const int minute = twoDigits(date, 15);
    const int second = twoDigits(date, 18);
    const int zoneHours = twoDigits(zone, 0);
    const int zoneMinutes = twoDigits(zone, 2);
    m_timeValid = m_dayValid && date[11] == ':' && date[14] == ':' && date[17] == ':' &&
                  hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 &&
                  second <= 60 && stamp[20] == ' ' && (stamp[21] == '+' || stamp[21] == '-') &&
                  zoneHours >= 0 && zoneMinutes >= 0 && zoneMinutes <= 59;
    if (!m_timeValid)
        return nullptr;
    // Thh:mm:ss+hh:mm
    m_text[10] = 'T';
    std::memcpy(m_text + 11, date.data() + 12, 8);
    m_text[19] = stamp[21];
    m_text[20] = zone[0];
    m_text[21] = zone[1];
    m_text[22] = ':';
    m_text[23] = zone[2];
    m_text[24] = zone[3];
    return m_text;
}

std::string IsoTime(std::string_view line, std::string_view date)
{
    IsoTimeWriter writer;
    const char* text = writer.time(line, date);
    return text ? std::string(text, IsoTimeSize) : std::string();
}

} // namespace qelt
