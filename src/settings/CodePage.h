#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qelt {

// Windows code page numbers as config.ini's CodePage names them.
using CodePageId = int;
constexpr CodePageId CodePageUtf8 = 65001;
constexpr CodePageId DefaultCodePage = 1251;

// True when bytes are well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// True for the code pages that have a table here (1250-1258, 866, 437, 28591) and for 65001.
bool IsSupportedCodePage(CodePageId codePage);

// The text to show for 8-bit bytes: valid UTF-8 passes unchanged, anything else is decoded from
// the single-byte code page (1250-1258, 866, 437, 28591 ...; an unknown one decodes as 1252).
// Bytes the page leaves undefined show as U+FFFD; with 65001 so does every malformed sequence.
std::string DecodeForDisplay(std::string_view bytes, CodePageId codePage);

// The bytes to store for a text the user typed (UTF-8): encoded in the code page, or nullopt when
// a character has no byte there (or the input is not UTF-8). With CodePageUtf8 well-formed UTF-8
// bytes are returned as they are. An unknown code page encodes as 1252.
std::optional<std::string> EncodeFromUtf8(std::string_view utf8, CodePageId codePage);

} // namespace qelt
