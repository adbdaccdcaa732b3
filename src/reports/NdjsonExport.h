#pragma once

// The counted lines of logs as newline-delimited JSON, one object a line, for loading into an
// analytical database:
//
//   {"time":"2026-12-07T03:44:43+08:00","user":"alice","host":"dl1.example.com","kind":"HTTP",
//    "label":"GET \"HTTP\"","url":"http://dl1.example.com/files/setup.zip","client":"10.0.0.5",
//    "rest":"200 5120"}
//
// A line is written when the index counts it into a user node (its user field is not empty).
// time is the date text and zone in ISO 8601, null when they do not read as such (then "date"
// holds the date text as it stands); host and kind are null when the line has none; label and
// url are the request list's columns; client is the field before " - "; rest is what follows
// the line's last double quote, leading spaces dropped. Texts are decoded as the window decodes
// them; a text with bytes that the code page cannot show is written escaped (see
// WriteJsonText) and named in "escaped":["url",...].

#include "logaccess/LogFile.h"
#include "settings/CodePage.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qelt {

// Appends the object of one line and a LF, when the line is counted; returns whether it was.
bool AppendNdjsonLine(std::string& out, std::string_view line, CodePageId codePage);

// Writes the objects of the logs' lines in the order given, in pieces of a few hundred kilobytes,
// each handed to write on the calling thread in order; the lines are taken apart on every core.
// Returns the number of objects. Throws QeltError when a log was cut short while read, and
// whatever write throws.
std::size_t ExportNdjson(const std::vector<std::shared_ptr<const LogFile>>& files,
                         CodePageId codePage, const std::function<void(std::string_view)>& write,
                         const std::atomic<bool>* cancel = nullptr);

} // namespace qelt
