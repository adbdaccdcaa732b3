#pragma once

#include "LogRewrite.h"

#include <atomic>
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
};

// The record branch. `selectedUrls` are the display URLs of the selected rows, top to bottom.
// Each takes away the first line of the whole text that contains it at that moment (the same
// line the row scan that restarts after every removal finds); a row whose URL no line contains,
// or whose URL is empty, stays. The progress range is 0 to (selected rows - 1), and the position
// goes up by one per removed row and stays within the range.
//
//   text: "a /x\r\nb /y\r\nc /x\r\n", urls {"/x", "/x", "/z"}
//   -> kept "b /y\r\n", rowRemoved {true, true, false}
struct RecordDeletion
{
    KeptText kept;
    std::vector<bool> rowRemoved; // one per selected URL: its row goes from the list
};
RecordDeletion DeleteSelectedRecords(std::string_view text,
                                     const std::vector<std::string_view>& selectedUrls,
                                     DeletionProgress* progress = nullptr,
                                     const CancelFlag* cancel = nullptr);

// The node branch: removes every line that contains both search texts (the user search text and
// the host search text of a tree node). The progress range is 0 to 100; after each removal the
// position is (index of the removed line among the lines left) * 100 / (lines left), and 100 once
// the last line of the text is gone. Each kept run also goes to `sink` as soon as it is known, so
// that RewriteLogFileFrom can write while the search goes on.
KeptText DeleteNodeLines(std::string_view text, std::string_view userText,
                         std::string_view hostText, DeletionProgress* progress = nullptr,
                         const CancelFlag* cancel = nullptr, const KeptRangeSink* sink = nullptr);

// The kept lines of a deletion (without their line ends), for callers that want the lines
// themselves rather than the runs.
std::vector<std::string_view> KeptLines(std::string_view text, const KeptText& kept);

} // namespace qelt
