#pragma once

#include "LogFile.h"
#include "common/QeltError.h"

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
    // Where the bytes begin that a rewrite carries over as they stand: the first NUL, or else
    // the start of a last line without a line end (it may still be being written), or else the
    // end of the file.
    std::uint64_t carryFrom = 0;
    bool hasNul = false; // carryFrom is the first NUL
};

// How many bytes of the end of a log a snapshot keeps. An append leaves them as they were; a
// rewrite by another program that happens to grow the file almost surely changes them.
inline constexpr std::size_t SnapshotTailSize = 64 * 1024;

// Takes the snapshot of a log from its identity at read time and every byte read (not only the
// text before a NUL). Take it right after reading, before any long work.
LogSnapshot TakeLogSnapshot(const FileIdentity& identity, std::string_view fileBytes);
LogSnapshot TakeLogSnapshot(const LogFile& file);
// The snapshot of a log taken as if it held no NUL, without a search of its bytes for one: for a
// deletion whose own search stops at a NUL and tells (NodeLineSearch does). When it meets one, it
// drops what it did and starts again from TakeLogSnapshot.
LogSnapshot TakeLogSnapshotWithoutNul(const LogFile& file);

// A rewrite that put the new content in the log's place and then failed (a flush or a close):
// the log is rewritten, but the failure may have cost the durability of its last bytes.
class LogRewrittenError : public QeltError
{
public:
    using QeltError::QeltError;
};

// Writes the kept lines of a log back, keeping every byte it was not asked to remove:
// - every line of the ranges of `text`, in order, followed by CR LF (lone CR and LF ends become
//   CR LF); a last line of `text` without a line end is written as it stands;
// - then the bytes of the log from snapshot.carryFrom to its end as it is now, unchanged: what
//   follows the first NUL, a last line that had no line end yet (kept even when a range leaves
//   it out: it is written from the log, never from `text`, when `text` ends in it), and what
//   another program appended since the snapshot.
//
// `text` is any buffer (usually the log's own bytes before its first NUL). The new content goes to
// a temporary file `.NAME.qelt-XXXXXX` in the log's folder, which keeps the log's mode, owner,
// group, ACLs and extended attributes, is flushed to disk and exchanged with the log in one step;
// until then the old log is untouched. A temporary file that a killed rewrite left behind is
// removed by the next rewrite of the log.
//
// The rewrite is refused (QeltError "Cannot create file <path>" with a second line saying why,
// the log left as it is, the temporary file removed) when writing fails, when the log was
// changed other than by appends, when another file was put in its place, and when another process
// of this machine holds the log open for writing (the second line names the program and its
// process id). Lines that writers append with open, write, close while the rewrite runs are
// carried over in their order. An append is told from other changes this way: the log must still
// be the same file (device and inode), must not have shrunk, must keep its modification time if
// its size is unchanged, and the last SnapshotTailSize bytes of the old content must read as
// they were. A failure after the new content took the log's place throws LogRewrittenError.
void RewriteLogFile(const std::string& path, const LogSnapshot& snapshot, std::string_view text,
                    const std::vector<TextRange>& kept);

// The same, for kept runs that are found while the log is written: `produce` hands each run to
// the sink as soon as it is known, in file order, so that the disk works while the search goes
// on. When `produce` returns false (a cancelled deletion), nothing is changed and the result is
// false.
//
// `beforeReplace`, when given, is called once the kept lines are written, with what was written
// of them, while the new file is flushed to disk and before it takes the log's place: what it
// records (the undo journal's entry) it must make durable before it returns. An exception from it
// refuses the rewrite, changing nothing.
using KeptRangeSink = std::function<void(TextRange)>;
using KeptRangeProducer = std::function<bool(const KeptRangeSink&)>;
struct WrittenText
{
    std::uint64_t size = 0; // the kept lines as written, without the bytes carried over after them
    std::uint64_t hash = 0; // their ContentHash
    // The pieces in which a lone CR or LF became CR LF, in order: where each ends (in the text
    // the pieces were taken from) and how many bytes that added, so that the places of the kept
    // lines in the new log are known without reading the text again. With none, size is the sum
    // of the runs' sizes.
    struct Widened
    {
        const char* end = nullptr;
        std::uint64_t added = 0;
    };
    std::vector<Widened> widened;
};
using BeforeReplace = std::function<void(const WrittenText&)>;
//
// `mappedFrom`, when given, is the log as this process reads it, `text` being its bytes or the
// first of them: once `produce` is done, the old log's cached pages that the copy has passed are
// let go while the disk takes the new log, instead of all at once when the old file goes. Reading
// those bytes again afterwards reads them from the disk.
bool RewriteLogFileFrom(const std::string& path, const LogSnapshot& snapshot, std::string_view text,
                        const KeptRangeProducer& produce, const BeforeReplace& beforeReplace = {},
                        const LogFile* mappedFrom = nullptr);

// The same for a new content that is not one buffer (an undo puts the log's kept lines and the
// journal's removed lines back together): `produce` hands it over as pieces of whole lines, in
// order, each written as it stands but for lone line ends made CR LF, and each valid until the
// rewrite returns. The bytes of the log from snapshot.carryFrom on follow them.
using PieceSink = std::function<void(std::string_view)>;
using PieceProducer = std::function<bool(const PieceSink&)>;
bool RewriteLogFileFromPieces(const std::string& path, const LogSnapshot& snapshot,
                              const PieceProducer& produce);

// Removes the temporary files of rewrites of the log at `path` whose process is gone (killed
// half way). RewriteLogFile does this first; a file in use by a running rewrite stays.
void RemoveStaleRewriteFiles(const std::string& path);

} // namespace qelt
