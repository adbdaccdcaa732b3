#pragma once

// The grammar of one proxy log line: the text primitives and the fixed cuts that take a user, a
// connection type, a host, a date, a label and a URL out of a line. Every function is pure, never
// fails and never allocates: the results are views into the text it was given (or into the
// constant tables below).
//
//   const auto fields = qelt::ExtractIndexFields(line);
//   if (fields.qualifies && !fields.user.empty()) ...   // fields.host, fields.kind
//   const auto record = qelt::ExtractRecordFields(line);
//   record.date; record.label().view(); qelt::StripHttpVersion(record.rawUrl);

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qelt {

// The connection type of a request; at the same time the icon index of a host node.
using ConnectionKind = std::uint8_t;

inline constexpr ConnectionKind KindHttps = 0;
inline constexpr ConnectionKind KindHttp = 1;
inline constexpr ConnectionKind KindFtp = 3;
inline constexpr ConnectionKind KindMail = 4; // POP3 and SMTP
inline constexpr ConnectionKind KindMap = 5;
inline constexpr ConnectionKind KindSocks5 = 6;

// Icon indices of the viewer's image list.
using IconIndex = std::uint8_t;
inline constexpr IconIndex UserNodeIcon = 2;
inline constexpr IconIndex PlainRequestIcon = 7;
inline constexpr IconIndex ArchiveIcon = 8;
inline constexpr IconIndex PdfIcon = 9;

// How the host is cut out of the text that follows the request's opening bracket.
enum class HostRule
{
    Tunnel, // drop 9 bytes (a quote, CONNECT and a space), cut before ':'
    Web,    // after "http://" cut before '/', else after CONNECT cut before ':'
    Ftp,    // after '@', cut before '"'
    Mail    // after "Host:", cut before "-User"
};

struct ConnectionType
{
    std::string_view token; // with its two double quotes, upper case
    ConnectionKind kind;
    HostRule rule;
};

// Searched in this order; the first token that occurs anywhere wins, not the first in the line.
inline constexpr std::array<ConnectionType, 7> ConnectionTypeTable{{
    {"\"HTTPS\"", KindHttps, HostRule::Tunnel},
    {"\"HTTP\"", KindHttp, HostRule::Web},
    {"\"FTP\"", KindFtp, HostRule::Ftp},
    {"\"POP3\"", KindMail, HostRule::Mail},
    {"\"SMTP\"", KindMail, HostRule::Mail},
    {"\"MAP\"", KindMap, HostRule::Tunnel},
    {"\"SOCKS5\"", KindSocks5, HostRule::Tunnel},
}};

inline constexpr std::array<std::string_view, 7> ArchiveExtensionTable{
    ".rar", ".zip", ".cab", ".arj", ".tar", ".iso", ".lzh"};

// A text of at most N bytes held in place, like a length-prefixed fixed field.
template <std::size_t N> struct ShortText
{
    std::array<char, N> bytes{};
    std::uint8_t size = 0;

    std::string_view view() const { return {bytes.data(), size}; }
    std::string str() const { return std::string(view()); }
    // Appends as much of text as still fits.
    void append(std::string_view text)
    {
        const std::size_t room = N - size;
        const std::size_t n = text.size() < room ? text.size() : room;
        for (std::size_t i = 0; i < n; ++i)
            bytes[size + i] = text[i];
        size = static_cast<std::uint8_t>(size + n);
    }
};

inline constexpr std::size_t DateCapacity = 20;
inline constexpr std::size_t LabelCapacity = 17;
using LabelText = ShortText<LabelCapacity>;

// ---- Text primitives. All searches are exact and find the first occurrence; an empty marker or
// an empty text means the marker is absent.

// The bytes before the first marker; empty when the marker is absent.
std::string_view TakeBefore(std::string_view text, std::string_view marker);
// The bytes up to and including the first marker; empty when the marker is absent.
std::string_view TakeThrough(std::string_view text, std::string_view marker);
// The bytes after the first marker. When the marker is absent, its length minus one bytes are
// dropped from the front instead (nothing for a one-byte or empty marker).
std::string_view DropThrough(std::string_view text, std::string_view marker);
// The text without its first n bytes (empty when it is shorter).
std::string_view DropFirst(std::string_view text, std::size_t n);
// Whether token occurs in text when both are upper-cased by ASCII rules (only a-z change).
bool ContainsNoCase(std::string_view text, std::string_view token);

// Index of the first ConnectionTypeTable entry (in table order) whose token occurs in text by
// ContainsNoCase, or -1. One pass over the text instead of one search per token.
int FindConnectionType(std::string_view text);

// ---- Field extraction.

struct HostFields
{
    bool hasKind = false; // false: no token occurs; kind and host are then meaningless/empty
    ConnectionKind kind = 0;
    std::string_view host;
};

struct IndexFields
{
    bool qualifies = false; // the line holds " - "
    std::string_view user;
    bool hasKind = false;
    ConnectionKind kind = 0;
    std::string_view host;
};

// What the index takes from a line: user, connection kind and host.
IndexFields ExtractIndexFields(std::string_view line);

// A line of a text and its index fields.
struct IndexLine
{
    const char* end = nullptr; // the line's first CR, LF or NUL, or the end of the text
    IndexFields fields;        // ExtractIndexFields of the line
};
// The line that starts at p in the text [p, end) and its index fields, found in one pass over the
// line's bytes: the same as FindLineEndOrNul (LogFile.h) and ExtractIndexFields of what it ends.
IndexLine ScanIndexLine(const char* p, const char* end);
// The same, with the vector instructions up to `widest` (those the processor has), for the
// tests of each kind.
enum class ScanInstructions
{
    Plain,
    Sse2,
    Avx2,
    Avx512
};
IndexLine ScanIndexLine(ScanInstructions widest, const char* p, const char* end);
// The widest vector instructions this processor has, up to `widest`.
ScanInstructions InstructionsUpTo(ScanInstructions widest);
// The user from the text after the line's leading field: the bytes before " [".
std::string_view ExtractUser(std::string_view text);
// The connection kind and host from the text that starts at the request.
HostFields ExtractHost(std::string_view text);

struct RecordFields
{
    std::string_view date;       // at most 20 bytes
    std::string_view labelHead;  // the request up to and including its first space, cut to fit
    std::string_view labelToken; // the matched token (from the table), cut so the label fits 17
    std::string_view rawUrl;     // the target through the request's closing quote

    // The connection label: labelHead followed by labelToken, at most 17 bytes.
    LabelText label() const
    {
        LabelText text;
        text.append(labelHead);
        text.append(labelToken);
        return text;
    }
};

// What the request list takes from a line: date, connection label, raw URL.
RecordFields ExtractRecordFields(std::string_view line);
// Its raw URL alone. tokenFound: a connection token is known to occur in the line (the line's
// index fields have a kind), which spares looking for one.
std::string_view ExtractRawUrl(std::string_view line, bool tokenFound = false);
// 7 for a plain request, 8 for an archive, 9 for a PDF document.
IconIndex FileKindIcon(std::string_view rawUrl);
// The raw URL without its trailing " HTTP/1.x\"" (the display URL), or unchanged.
std::string_view StripHttpVersion(std::string_view rawUrl);

} // namespace qelt
