#include "Deletion.h"

#include "LogFile.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

namespace qelt {

namespace {

bool isLineEnd(char c)
{
    return c == '\r' || c == '\n';
}

// The line around a byte: where it starts (not before `floor`, itself a line start), where its
// line end stands, and where the next line starts.
struct LineSpan
{
    ByteOffset start;
    ByteOffset end;
    ByteOffset next;
};

LineSpan lineAround(std::string_view text, ByteOffset floor, ByteOffset at)
{
    LineSpan span{at, at, at};
    const char* const data = text.data();
    while (span.start > floor && data[span.start - 1] != '\r' && data[span.start - 1] != '\n')
        --span.start;
    span.end = static_cast<ByteOffset>(FindLineEnd(data + at, data + text.size()) - data);
    span.next = span.end;
    if (span.next < text.size()) {
        ++span.next;
        if (text[span.end] == '\r' && span.next < text.size() && text[span.next] == '\n')
            ++span.next;
    }
    return span;
}

bool isCancelled(const CancelFlag* cancel)
{
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

KeptText everything(std::string_view text, bool cancelled)
{
    KeptText kept;
    if (!text.empty())
        kept.ranges.push_back({0, text.size()});
    kept.cancelled = cancelled;
    return kept;
}

LineCount countLines(std::string_view text)
{
    if (text.empty())
        return 0;
    return CountLineEnds(text).lineEnds + (isLineEnd(text.back()) ? 0 : 1);
}

int clampToInt(LineCount value)
{
    return static_cast<int>(std::min<LineCount>(value, static_cast<LineCount>(INT32_MAX)));
}

} // namespace

namespace {

bool startsLine(std::string_view text, ByteOffset at)
{
    if (at >= text.size())
        return false;
    if (at == 0)
        return true;
    const char before = text[at - 1];
    // Between the CR and the LF of one line end no line starts.
    return before == '\n' || (before == '\r' && text[at] != '\n');
}

// Turns the removed lines, [start, next) in ascending order, into the kept runs between them.
void keepAllBut(std::string_view text, const std::vector<LineSpan>& gone, KeptText& kept)
{
    ByteOffset keptStart = 0;
    for (const LineSpan& line : gone) {
        if (line.start > keptStart)
            kept.ranges.push_back({keptStart, line.start});
        keptStart = line.next;
    }
    if (keptStart < text.size())
        kept.ranges.push_back({keptStart, text.size()});
    kept.removedLines = gone.size();
}

} // namespace

RecordDeletion DeleteSelectedRecords(std::string_view text, const std::vector<ByteOffset>& rowLines,
                                     const NodeSearchTexts& node, DeletionProgress* progress,
                                     const CancelFlag* cancel)
{
    const int maximum = rowLines.empty() ? 0 : clampToInt(rowLines.size() - 1);
    if (progress != nullptr) {
        progress->setRange(0, maximum);
        progress->setPosition(0);
    }
    RecordDeletion result;
    result.rowRemoved.assign(rowLines.size(), false);

    // The rows in file order; rows of one listing mostly are already.
    std::vector<std::size_t> order(rowLines.size());
    for (std::size_t row = 0; row < order.size(); ++row)
        order[row] = row;
    if (!std::is_sorted(rowLines.begin(), rowLines.end()))
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return rowLines[a] < rowLines[b]; });

    std::vector<LineSpan> gone;
    gone.reserve(rowLines.size());
    constexpr std::size_t CancelCheckRows = 4096;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::size_t row = order[i];
        const ByteOffset at = rowLines[row];
        if (!gone.empty() && gone.back().start == at) {
            result.rowRemoved[row] = true; // the same line twice: it goes once
            continue;
        }
        if (!startsLine(text, at))
            continue;
        const LineSpan line = lineAround(text, at, at);
        if (!LineBelongsToNode(text.substr(line.start, line.end - line.start), node))
            continue;
        gone.push_back(line);
        result.rowRemoved[row] = true;
        if (i % CancelCheckRows == 0 && isCancelled(cancel))
            break;
    }
    if (isCancelled(cancel)) {
        RecordDeletion unchanged;
        unchanged.kept = everything(text, true);
        unchanged.rowRemoved.assign(rowLines.size(), false);
        return unchanged;
    }
    keepAllBut(text, gone, result.kept);

    // One step per removed row, in list order.
    if (progress != nullptr) {
        int position = 0;
        for (std::size_t row = 0; row < rowLines.size(); ++row) {
            if (!result.rowRemoved[row])
                continue;
            position = std::min(position + 1, maximum);
            progress->setPosition(position);
            progress->pump();
        }
    }
    return result;
}

std::optional<ByteOffset> FirstNodeLine(std::string_view text, const NodeSearchTexts& node)
{
    std::optional<ByteOffset> first;
    NodeLineSearch(text, node).runWhile(text, [&](std::string_view line) {
        first = static_cast<ByteOffset>(line.data() - text.data());
        return false;
    });
    return first;
}

KeptText DeleteNodeLines(std::string_view text, const NodeSearchTexts& node,
                         DeletionProgress* progress, const CancelFlag* cancel,
                         const KeptRangeSink* sink)
{
    KeptText kept;
    const auto keep = [&](TextRange range) {
        kept.ranges.push_back(range);
        if (sink != nullptr)
            (*sink)(range);
    };
    if (progress != nullptr)
        progress->setRange(0, 100);
    const LineCount total = progress != nullptr ? countLines(text) : 0;

    ByteOffset keptStart = 0;
    ByteOffset counted = 0;   // the kept lines before this offset are in keptBefore
    LineCount keptBefore = 0; // the index among the lines left of the next removed line
    bool stopped = false;
    kept.metNul = NodeLineSearch(text, node).runWhile(text, [&](std::string_view found) {
        const auto start = static_cast<ByteOffset>(found.data() - text.data());
        const LineSpan line = lineAround(text, start, start);
        if (line.start > keptStart)
            keep({keptStart, line.start});
        keptStart = line.next;
        ++kept.removedLines;
        if (progress != nullptr) {
            keptBefore += CountLineEnds(text.substr(counted, line.start - counted)).lineEnds;
            counted = line.next;
            const LineCount left = total - kept.removedLines;
            const LineCount position = left == 0 ? 100 : keptBefore * 100 / left;
            progress->setPosition(clampToInt(position));
            progress->pump();
        }
        stopped = isCancelled(cancel);
        return !stopped;
    });
    if (stopped)
        return everything(text, true);
    if (keptStart < text.size())
        keep({keptStart, text.size()});
    return kept;
}

std::string_view DeletableText(const LogFile& file, const LogSnapshot& snapshot)
{
    // The snapshot of this file ends its text at carryFrom or before: file.text(), a search of the
    // whole file, is only needed for a snapshot of another state of it.
    const std::string_view bytes = snapshot.identity.size == file.fileSize() &&
                                           snapshot.identity.inode == file.identity().inode
                                       ? file.bytes()
                                       : file.text();
    return bytes.substr(
        0, static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), snapshot.carryFrom)));
}

std::vector<ByteOffset> OffsetsAfterRewrite(std::string_view text, const KeptText& kept,
                                            const std::vector<ByteOffset>& lines)
{
    std::vector<ByteOffset> result(lines.size(), NotKept);
    std::vector<std::size_t> order(lines.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    if (!std::is_sorted(lines.begin(), lines.end()))
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return lines[a] < lines[b]; });

    // Walks the kept runs once: `at` in text is at `written` in the new log. Every lone line end
    // becomes CR LF, one byte longer; a run ends after a whole line end, so none is split.
    std::size_t range = 0;
    ByteOffset at = kept.ranges.empty() ? 0 : kept.ranges[0].begin;
    ByteOffset written = 0;
    for (const std::size_t i : order) {
        const ByteOffset line = lines[i];
        while (range < kept.ranges.size() && kept.ranges[range].end <= line) {
            const std::string_view rest = text.substr(at, kept.ranges[range].end - at);
            written += rest.size() + CountLineEnds(rest).loneEnds;
            ++range;
            at = range < kept.ranges.size() ? kept.ranges[range].begin : text.size();
        }
        if (range == kept.ranges.size() && line >= text.size()) {
            // Bytes after the text are carried over as they stand, after the kept lines.
            result[i] = written + (line - text.size());
            continue;
        }
        if (range == kept.ranges.size() || line < kept.ranges[range].begin ||
            !startsLine(text, line))
            continue;
        const std::string_view before = text.substr(at, line - at);
        written += before.size() + CountLineEnds(before).loneEnds;
        at = line;
        result[i] = written;
    }
    return result;
}

bool StillHoldsListedLog(const LogSnapshot& listed, const LogFile& now)
{
    const FileIdentity& before = listed.identity;
    const FileIdentity& after = now.identity();
    if (before.device != after.device || before.inode != after.inode || after.size < before.size)
        return false;
    if (after.size == before.size && (before.mtimeSeconds != after.mtimeSeconds ||
                                      before.mtimeNanoseconds != after.mtimeNanoseconds))
        return false;
    const std::string_view bytes = now.bytes();
    const std::size_t tailSize = listed.tail.size();
    if (before.size < tailSize || bytes.size() < before.size)
        return false;
    return bytes.substr(static_cast<std::size_t>(before.size) - tailSize, tailSize) == listed.tail;
}

std::vector<std::string_view> KeptLines(std::string_view text, const KeptText& kept)
{
    std::vector<std::string_view> lines;
    for (const TextRange& range : kept.ranges) {
        ByteOffset start = range.begin;
        while (start < range.end) {
            const LineSpan line = lineAround(text, start, start);
            lines.push_back(text.substr(line.start, line.end - line.start));
            start = line.next;
        }
    }
    return lines;
}

} // namespace qelt
