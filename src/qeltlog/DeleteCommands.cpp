// The deleting commands of qeltlog: the node branch and the record branch of the window's
// delete command, each followed by the rewrite of the log when it removed a line, with the
// removed lines recorded in the undo journal before the new log takes the old one's place
// (CommitDeletionFrom).
#include "Cli.h"
#include "common/QeltError.h"
#include "logaccess/Deletion.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogRewrite.h"
#include "logaccess/RecordListing.h"
#include "logaccess/UndoJournal.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>

namespace qelt::cli {

namespace {

void reportRemoved(const Context& context, LineCount removed)
{
    // tsv output carries data only, and a deletion has none to give.
    if (context.format == OutputFormat::Text)
        context.out << "removed " << removed << (removed == 1 ? " line" : " lines") << '\n';
}

// The node named by USER [HOST] from the first argument on. An empty HOST names no node of the
// tree, so it holds no line.
struct NamedNode
{
    NodeSearchTexts texts;
    bool exists = true;
};

NamedNode namedNode(const std::vector<std::string>& args, std::size_t first)
{
    if (args.size() > first + 1)
        return {NodeSearchTexts::ForHost(args[first], args[first + 1]), !args[first + 1].empty()};
    return {NodeSearchTexts::ForUser(args[first]), true};
}

int runDeleteNode(const Context& context, const std::vector<std::string>& args)
{
    const LogFile file(args[0]);
    const NamedNode node = namedNode(args, 1);
    // The search stops at a NUL and tells, so the log is taken to hold none, which spares a pass
    // over it; one that does is done again with its text cut at the NUL.
    LogSnapshot snapshot = TakeLogSnapshotWithoutNul(file);
    LineCount removed = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0)
            snapshot = TakeLogSnapshot(file);
        const std::string_view text = DeletableText(file, snapshot);
        // A node without lines leaves the log as it is.
        if (!node.exists || !FirstNodeLine(text, node.texts))
            break;
        // The kept lines are written as the search finds them.
        bool metNul = false;
        const DeletionSubject subject{std::string(node.texts.user), std::string(node.texts.host),
                                      DeletionSubject::Kind::Node};
        CommitDeletionFrom(
            undoJournal(context), file, snapshot, text, subject, [&](const KeptRangeSink& sink) {
                KeptText kept = DeleteNodeLines(text, node.texts, nullptr, nullptr, &sink);
                metNul = kept.metNul && !snapshot.hasNul;
                removed = metNul ? 0 : kept.removedLines;
                kept.cancelled = kept.cancelled || metNul || file.wasCutShort();
                return kept;
            });
        if (!metNul)
            break;
    }
    file.checkNotCutShort();
    reportRemoved(context, removed);
    return 0;
}

// ROWS: row numbers from 1 and ranges N-M (N <= M), separated by commas: "3,7,12-40".
struct RowRange
{
    std::size_t first;
    std::size_t last;
};

std::size_t parseRowNumber(std::string_view text, const std::string& rows)
{
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string_view::npos)
        throw UsageError{"ROWS must be row numbers from 1 and ranges N-M: " + rows};
    std::size_t value = 0;
    for (const char c : text)
        value = value * 10 + static_cast<std::size_t>(c - '0');
    if (value == 0)
        throw UsageError{"ROWS must be row numbers from 1 and ranges N-M: " + rows};
    return value;
}

std::vector<RowRange> parseRows(const std::string& rows)
{
    std::vector<RowRange> ranges;
    std::string_view rest = rows;
    for (;;) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        const std::size_t dash = item.find('-');
        RowRange range;
        range.first = parseRowNumber(item.substr(0, dash), rows);
        range.last = dash == std::string_view::npos ? range.first
                                                    : parseRowNumber(item.substr(dash + 1), rows);
        if (range.last < range.first)
            throw UsageError{"ROWS must be row numbers from 1 and ranges N-M: " + rows};
        ranges.push_back(range);
        if (comma == std::string_view::npos)
            return ranges;
        rest = rest.substr(comma + 1);
    }
}

int runDeleteRows(const Context& context, const std::vector<std::string>& args)
{
    const std::vector<RowRange> ranges = parseRows(args[1]);
    // The selection in row order, each row once.
    std::vector<RowRange> selection = ranges;
    std::sort(selection.begin(), selection.end(),
              [](const RowRange& a, const RowRange& b) { return a.first < b.first; });
    std::size_t lastSelected = 0;
    for (const RowRange& range : selection)
        lastSelected = std::max(lastSelected, range.last);

    const LogFile file(args[0]);
    const NamedNode node = namedNode(args, 2);
    const std::string_view bytes = file.bytes();
    // One pass: the rows are the node's lines in file order, numbered as the listing numbers
    // them, and the kept lines are written as the search goes. A row beyond the last one is only
    // known at the end: the rewrite is then dropped and the log stays as it is. As in delete-node,
    // the log is taken to hold no NUL until the search meets one.
    LogSnapshot snapshot = TakeLogSnapshotWithoutNul(file);
    std::size_t rows = 0;
    LineCount removed = 0;
    for (int attempt = 0; attempt < 2 && node.exists; ++attempt) {
        if (attempt > 0)
            snapshot = TakeLogSnapshot(file);
        // A row of a last line still without its line end stays, as that line does.
        const std::string_view text = DeletableText(file, snapshot);
        bool metNul = false;
        const DeletionSubject subject{std::string(node.texts.user), std::string(node.texts.host),
                                      DeletionSubject::Kind::Rows};
        CommitDeletionFrom(
            undoJournal(context), file, snapshot, text, subject, [&](const KeptRangeSink& sink) {
                KeptText kept;
                ByteOffset keptStart = 0;
                auto range = selection.begin();
                rows = 0;
                const NodeLineSearch search(bytes, node.texts);
                ByteOffset searched = bytes.size(); // where a search that stopped early stopped
                metNul = search.runWhile(bytes, [&](std::string_view line) {
                    ++rows;
                    while (range != selection.end() && range->last < rows)
                        ++range;
                    const auto start = static_cast<ByteOffset>(line.data() - bytes.data());
                    if (range == selection.end()) {
                        searched = start; // every selected row is behind
                        return false;
                    }
                    if (rows < range->first || start >= text.size())
                        return true;
                    ByteOffset next = start + line.size();
                    if (next < text.size())
                        next += TerminatorLength(text.data() + next, text.data() + text.size());
                    if (start > keptStart) {
                        kept.ranges.push_back({keptStart, start});
                        sink(kept.ranges.back());
                    }
                    keptStart = next;
                    ++kept.removedLines;
                    return true;
                });
                if (searched < bytes.size())
                    metNul = std::memchr(bytes.data() + searched, '\0', bytes.size() - searched);
                metNul = metNul && !snapshot.hasNul;
                if (keptStart < text.size()) {
                    kept.ranges.push_back({keptStart, text.size()});
                    sink(kept.ranges.back());
                }
                removed = metNul ? 0 : kept.removedLines;
                kept.cancelled = metNul || rows < lastSelected || file.wasCutShort();
                return kept;
            });
        if (!metNul)
            break;
    }
    file.checkNotCutShort();
    for (const RowRange& range : ranges) {
        if (range.last > rows)
            throw QeltError("List index out of bounds (" +
                            std::to_string(std::max(range.first, rows + 1)) + ")");
    }
    reportRemoved(context, removed);
    return 0;
}

const Registrar registrar{{
    {"delete-node", "delete-node LOG USER [HOST]", 2, 3, runDeleteNode},
    {"delete-rows", "delete-rows LOG ROWS USER [HOST]", 3, 4, runDeleteRows},
}};

} // namespace

} // namespace qelt::cli
