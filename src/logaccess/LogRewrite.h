#pragma once

#include "LogFile.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qelt {

using LineCount = std::size_t;

// A run of whole lines of a log's text, [begin, end) in bytes, with the line ends as they stand
// in the file. The last run may end in a line without a line end.
struct TextRange
{
    ByteOffset begin = 0;
    ByteOffset end = 0;
};

// How the lines of a text end: a log written on this platform may have lone LF or lone CR ends,
// which a rewrite turns into CR LF.
struct LineEndCounts
{
    LineCount lineEnds = 0; // CR LF, lone CR and lone LF, each counted once
    LineCount loneEnds = 0; // lone CR and lone LF
};

// Counts the line ends of a text (which holds no NUL: the text of a log ends at its first NUL).
// A CR at the very end of the text counts as lone even if the byte after it, outside, is an LF,
// so only ever count ranges that end after a complete line end or at the end of the text.
LineEndCounts CountLineEnds(std::string_view text);

// Whether a text has a lone CR or a lone LF (same caveat about a CR at its very end).
bool HasLoneLineEnds(std::string_view text);

// The state of a log file when it was read. A rewrite compares the file against it to tell lines
// that the proxy appended meanwhile (carried over) from any other change (the rewrite is refused).
struct LogSnapshot
{
    FileIdentity identity; // size: the whole file, the bytes after a NUL included
    std::string tail;      // a copy of the last bytes of the file as read
};

// How many bytes of the end of a log a snapshot keeps. An append leaves them as they were; a
// rewrite by another program that happens to grow the file almost surely changes them.
inline constexpr std::size_t SnapshotTailSize = 64 * 1024;

// Takes the snapshot of a log from its identity at read time and every byte read (not only the
// text before a NUL). Take it right after reading, before any long work.
LogSnapshot TakeLogSnapshot(const FileIdentity& identity, std::string_view fileBytes);
LogSnapshot TakeLogSnapshot(const LogFile& file);

// Writes the kept lines of a log back: every line of the ranges followed by CR LF, in order, then
// the bytes that another program appended to the log since the snapshot, as they stand.
//
// `text` is the text the ranges index (the file's bytes up to its first NUL). The new content goes
// to a temporary file in the log's folder, is flushed to disk and renamed over the log, keeping
// the log's permissions and, when allowed, its owner; until that rename the old log is untouched.
//
// An append is told from other changes this way: the log must still be the same file (device and
// inode), must not have shrunk, must keep its modification time if its size is unchanged, and
// the last SnapshotTailSize bytes of the old content must read as they were; this is checked
// before writing and again right before the rename. Anything else throws QeltError "Cannot create
// file <path>" with a second line saying why, as does any failure to write; in both cases the log
// keeps every line and the temporary file is removed.
//
// A log that ended in a line without a line end when it was read and has grown since was being
// written at that moment: that line is written as it was, without a line end, so that the
// appended bytes complete it, and it stays even when it was to be removed.
void RewriteLogFile(const std::string& path, const LogSnapshot& snapshot, std::string_view text,
                    const std::vector<TextRange>& kept);

// The same, for kept runs that are found while the log is written: `produce` hands each run to
// the sink as soon as it is known, in file order, so that the disk works while the search goes
// on. When `produce` returns false (a cancelled deletion), nothing is changed and the result is
// false.
using KeptRangeSink = std::function<void(TextRange)>;
using KeptRangeProducer = std::function<bool(const KeptRangeSink&)>;
bool RewriteLogFileFrom(const std::string& path, const LogSnapshot& snapshot, std::string_view text,
                        const KeptRangeProducer& produce);

} // namespace qelt
