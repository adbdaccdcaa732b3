#include "Deletion.h"

#include "LogFile.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string.h> // memmem
#include <unordered_map>
#include <utility>

namespace qelt {

namespace {

bool isLineEnd(char c)
{
    return c == '\r' || c == '\n';
}

// A search text with a line end in it can never lie within one line.
bool fitsInLine(std::string_view searchText)
{
    return std::none_of(searchText.begin(), searchText.end(), isLineEnd);
}

ByteOffset find(std::string_view text, ByteOffset from, std::string_view needle)
{
    if (from >= text.size())
        return std::string_view::npos;
    const void* hit =
        ::memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
    if (hit == nullptr)
        return std::string_view::npos;
    return static_cast<ByteOffset>(static_cast<const char*>(hit) - text.data());
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

RecordDeletion DeleteSelectedRecords(std::string_view text,
                                     const std::vector<std::string_view>& selectedUrls,
                                     DeletionProgress* progress, const CancelFlag* cancel)
{
    // The row scan restarts at the top after every removal, but the rows above the removed one
    // are either unselected or found no line before, and removing lines finds them none now: so
    // one pass over the selected rows in order removes the same lines.
    const int maximum = selectedUrls.empty() ? 0 : clampToInt(selectedUrls.size() - 1);
    if (progress != nullptr) {
        progress->setRange(0, maximum);
        progress->setPosition(0);
    }
    RecordDeletion result;
    result.rowRemoved.assign(selectedUrls.size(), false);

    // Lines are only ever removed, so no line before where a URL's last search stopped can hold
    // it now: each URL's search goes on from there instead of from the top.
    std::unordered_map<std::string_view, ByteOffset> resumeAt;
    std::unordered_map<ByteOffset, ByteOffset> removed; // line start -> next line's start
    int position = 0;
    for (std::size_t row = 0; row < selectedUrls.size(); ++row) {
        const std::string_view url = selectedUrls[row];
        if (!url.empty() && fitsInLine(url)) {
            ByteOffset& from = resumeAt.try_emplace(url, 0).first->second;
            while (from < text.size()) {
                const ByteOffset hit = find(text, from, url);
                if (hit == std::string_view::npos) {
                    from = text.size();
                    break;
                }
                const LineSpan line = lineAround(text, from, hit);
                from = line.next;
                if (removed.emplace(line.start, line.next).second) {
                    result.rowRemoved[row] = true;
                    break;
                }
            }
        }
        if (progress != nullptr) {
            if (result.rowRemoved[row]) {
                position = std::min(position + 1, maximum);
                progress->setPosition(position);
            }
            progress->pump();
        }
        if (isCancelled(cancel)) {
            RecordDeletion unchanged;
            unchanged.kept = everything(text, true);
            unchanged.rowRemoved.assign(selectedUrls.size(), false);
            return unchanged;
        }
    }

    std::vector<std::pair<ByteOffset, ByteOffset>> gone(removed.begin(), removed.end());
    std::sort(gone.begin(), gone.end());
    ByteOffset keptStart = 0;
    for (const auto& [start, next] : gone) {
        if (start > keptStart)
            result.kept.ranges.push_back({keptStart, start});
        keptStart = next;
    }
    if (keptStart < text.size())
        result.kept.ranges.push_back({keptStart, text.size()});
    result.kept.removedLines = gone.size();
    return result;
}

KeptText DeleteNodeLines(std::string_view text, std::string_view userText,
                         std::string_view hostText, DeletionProgress* progress,
                         const CancelFlag* cancel, const KeptRangeSink* sink)
{
    KeptText kept;
    const auto keep = [&](TextRange range) {
        kept.ranges.push_back(range);
        if (sink != nullptr)
            (*sink)(range);
    };
    if (progress != nullptr)
        progress->setRange(0, 100);
    if (userText.empty() || hostText.empty() || !fitsInLine(userText) || !fitsInLine(hostText)) {
        if (!text.empty())
            keep({0, text.size()});
        return kept;
    }

    // Both texts must be in the line, so search the buffer for one and test only the lines it
    // hits for the other. The longer text is the rarer as a rule: a user node's host text is a
    // single space, found in every line.
    const bool byUser = userText.size() >= hostText.size();
    const std::string_view probe = byUser ? userText : hostText;
    const std::string_view other = byUser ? hostText : userText;
    const LineCount total = progress != nullptr ? countLines(text) : 0;

    ByteOffset keptStart = 0;
    ByteOffset counted = 0;    // the kept lines before this offset are in keptBefore
    LineCount keptBefore = 0;  // the index among the lines left of the next removed line
    ByteOffset searchFrom = 0; // always a line start
    while (searchFrom < text.size()) {
        const ByteOffset hit = find(text, searchFrom, probe);
        if (hit == std::string_view::npos)
            break;
        const LineSpan line = lineAround(text, searchFrom, hit);
        searchFrom = line.next;
        if (find(text.substr(0, line.end), line.start, other) == std::string_view::npos)
            continue;

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
        if (isCancelled(cancel))
            return everything(text, true);
    }
    if (keptStart < text.size())
        keep({keptStart, text.size()});
    return kept;
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
