#pragma once

#include "LogRewrite.h"
#include "RecordListing.h"

#include <atomic>
#include <optional>
#include <string_view>
#include <vector>

namespace qelt {

// Where a deletion reports its progress: the range and position of the processing panel's bar,
// and a pump after every step. A window that runs the deletion in a worker forwards these to its
// thread; one that runs it on its own thread dispatches its messages in pump().
class DeletionProgress
{
public:
    virtual ~DeletionProgress() = default;
    virtual void setRange(int minimum, int maximum) = 0;
    virtual void setPosition(int position) = 0;
    virtual void pump() {}
};

// Asks a running deletion to stop. A stopped deletion reports `cancelled` and keeps every line,
// so that the caller writes nothing: a deletion either finishes or changes nothing.
using CancelFlag = std::atomic<bool>;

// What a deletion keeps of a log's text: runs of whole lines in file order, ready for
// RewriteLogFile. The runs never overlap and never touch (adjacent kept lines form one run).
struct KeptText
{
    std::vector<TextRange> ranges;
    LineCount removedLines = 0;
    bool cancelled = false;
    bool metNul = false; // the node's search stopped at a NUL in the text it was given
};

// The record branch: removes exactly the lines of the selected rows, in one pass. `rowLines` are
// where the rows' lines start in text (RecordRow::line of a listing of this text, in list order).
// A row's line goes only if the offset still starts a line of text that belongs to `node`;
// otherwise the row stays. The progress range is 0 to (selected rows - 1), and the position goes
// up by one per removed row and stays within the range.
//
//   text "a - u [d] /x\r\nb - v [d] /y\r\n", rowLines {0}, node ForUser("u")
//   -> kept "b - v [d] /y\r\n", rowRemoved {true}
struct RecordDeletion
{
    KeptText kept;
    std::vector<bool> rowRemoved; // one per selected row: its row goes from the list
};
RecordDeletion DeleteSelectedRecords(std::string_view text, const std::vector<ByteOffset>& rowLines,
                                     const NodeSearchTexts& node,
                                     DeletionProgress* progress = nullptr,
                                     const CancelFlag* cancel = nullptr);

// The node branch: removes every line of the node (LineBelongsToNode). The progress range is 0 to
// 100; after each removal the position is (index of the removed line among the lines left) * 100
// / (lines left), and 100 once the last line of the text is gone. Each kept run also goes to
// `sink` as soon as it is known, so that RewriteLogFileFrom can write while the search goes on.
KeptText DeleteNodeLines(std::string_view text, const NodeSearchTexts& node,
                         DeletionProgress* progress = nullptr, const CancelFlag* cancel = nullptr,
                         const KeptRangeSink* sink = nullptr);

// Where the first line of the node starts in text, or nothing: a deletion that would remove no
// line leaves the log as it is, without rewriting it.
std::optional<ByteOffset> FirstNodeLine(std::string_view text, const NodeSearchTexts& node);

// The lines of a log that a deletion may remove: its text up to where the rewrite carries the
// bytes over as they stand (a last line still without its line end may still be being written).
std::string_view DeletableText(const LogFile& file, const LogSnapshot& snapshot);

// Where lines that a deletion kept start in the log it rewrote: the kept lines are written in
// order, each with CR LF, and the bytes of the log after `text` follow as they stand (a last line
// still without its line end). `lines` are line starts in the log, in any order; a line that the
// deletion removed, or an offset that starts no kept line, gives NotKept.
inline constexpr ByteOffset NotKept = static_cast<ByteOffset>(-1);
std::vector<ByteOffset> OffsetsAfterRewrite(std::string_view text, const KeptText& kept,
                                            const std::vector<ByteOffset>& lines);

// Whether `now`, the log read again, is the log that `listed` was taken of, unchanged or with
// bytes appended: the same file, not shorter, and the last bytes of what was listed as they were.
// Only then do the line offsets of a listing still point at the lines listed.
bool StillHoldsListedLog(const LogSnapshot& listed, const LogFile& now);

// The kept lines of a deletion (without their line ends), for callers that want the lines
// themselves rather than the runs.
std::vector<std::string_view> KeptLines(std::string_view text, const KeptText& kept);

} // namespace qelt
