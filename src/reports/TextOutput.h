#pragma once

// Texts of a log as the reports write them: CSV fields (RFC 4180), JSON strings and HTML text,
// each decoded for display the way the window decodes them (valid UTF-8 as it is, anything else
// in the configured code page).
//
//   std::string row;
//   qelt::AppendCsvRow(row, {"Date", "URL"});           // "Date,URL\r\n"
//   qelt::AppendJsonText(row, logBytes, 1251);          // "\"...\"", false when escaped
//   qelt::AppendHtmlText(row, qelt::DecodeForDisplay(logBytes, 1251));

#include "settings/CodePage.h"

#include <string>
#include <string_view>
#include <vector>

namespace qelt {

// Appends one CSV field of UTF-8 text: enclosed in double quotes, inner quotes doubled, when it
// holds a comma, a quote, a CR or an LF (RFC 4180); as it is otherwise.
void AppendCsvField(std::string& out, std::string_view utf8);
// Appends the fields separated by commas and the line end CR LF.
void AppendCsvRow(std::string& out, const std::vector<std::string_view>& utf8Fields);

// Appends bytes of a log as a JSON string, quotes included. Valid UTF-8 goes as it is; other
// bytes are decoded from the code page. When the page leaves a byte undefined (or, under 65001,
// a byte is no part of a well-formed sequence) nothing is lost: the whole text is then written
// with each such byte as \xNN and each backslash as \x5c (the escaping of --format tsv), and
// the function returns false so that the caller can say the field is escaped.
bool AppendJsonText(std::string& out, std::string_view bytes, CodePageId codePage);
// AppendJsonText into a buffer of at least JsonTextBound(bytes.size()) bytes, for bytes followed
// by at least JsonPadding bytes that may be read (sixteen bytes are looked at at a time); returns
// the end of what was written.
char* WriteJsonText(char* to, std::string_view bytes, CodePageId codePage, bool& lossless);
inline constexpr std::size_t JsonPadding = 16;
inline std::size_t JsonTextBound(std::size_t bytes)
{
    return 6 * bytes + 2 + 16;
}
// Appends a JSON string of UTF-8 text (quotes, backslashes and control bytes escaped).
void AppendJsonUtf8(std::string& out, std::string_view utf8);

// Appends UTF-8 text with &, <, >, " and ' written as character references.
void AppendHtmlText(std::string& out, std::string_view utf8);

// The date text of a line and the zone after it as ISO 8601 ("2026-12-07T03:44:43+08:00"), or
// an empty text when they do not read as "dd/Mon/yyyy:hh:mm:ss +hhmm". date is a view into line.
std::string IsoTime(std::string_view line, std::string_view date);
// IsoTime into IsoTimeSize bytes at to; false, with nothing written, where IsoTime is empty.
inline constexpr std::size_t IsoTimeSize = 25;
bool WriteIsoTime(char* to, std::string_view line, std::string_view date);

} // namespace qelt
