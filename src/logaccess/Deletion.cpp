#include "Deletion.h"

#include "LogFile.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
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

namespace {

// Finds the lines that hold each of many URLs in one pass over the text, run only as far as the
// rows need: rows taken from a listing find their lines in file order, so the pass seldom runs
// much ahead of the last line taken. A URL is known by its last eight bytes, looked up at every
// position; a bit filter sized to stay in the cache turns almost all positions away before the
// hash table is asked.
class UrlFinder
{
public:
    // `quota`: how many lines to note per URL at most; past that a URL's search goes on with a
    // plain search from after the last line noted.
    UrlFinder(std::string_view text, std::vector<std::string_view> urls,
              std::vector<std::size_t> quota)
        : m_text(text), m_urls(std::move(urls)), m_quota(std::move(quota)),
          m_searches(m_urls.size())
    {
        while (m_filterBits < 24 && (std::size_t{1} << m_filterBits) < m_urls.size() * 64)
            ++m_filterBits;
        m_filter.assign((std::size_t{1} << m_filterBits) / 64, 0);
        const std::vector<std::uint16_t> frequency = sampleFrequencies();
        for (std::uint32_t id = 0; id < m_urls.size(); ++id) {
            const std::string_view url = m_urls[id];
            if (url.size() < GramSize) {
                m_searches[id].plain = true;
                continue;
            }
            // Most URLs share their beginning and many their end ("/style.css"): key each by
            // the eight bytes of it that the samples of the text show least.
            std::size_t best = url.size() - GramSize;
            for (std::size_t at = url.size() - GramSize; at-- > 0;)
                if (frequency[sampleSlot(gramAt(url.data() + at))] <
                    frequency[sampleSlot(gramAt(url.data() + best))])
                    best = at;
            m_searches[id].gramAt = best;
            const std::uint64_t gram = gramAt(url.data() + best);
            m_byGram[gram].push_back(id);
            const auto bit = slot(gram);
            m_filter[bit >> 6] |= std::uint64_t{1} << (bit & 63);
        }
    }

    // The next line not yet tried that holds URL `id`, or none.
    std::optional<LineSpan> nextLine(std::uint32_t id)
    {
        Search& search = m_searches[id];
        while (!search.plain && search.next == search.lineStarts.size() &&
               m_scanEnd <= m_text.size())
            scan();
        if (search.next < search.lineStarts.size()) {
            const ByteOffset start = search.lineStarts[search.next++];
            return lineAround(m_text, start, start);
        }
        if (!search.plain)
            return std::nullopt; // the pass has seen every line that holds it
        const ByteOffset hit = find(m_text, search.from, m_urls[id]);
        if (hit == std::string_view::npos) {
            search.from = m_text.size();
            return std::nullopt;
        }
        const LineSpan line = lineAround(m_text, search.from, hit);
        search.from = line.next;
        return line;
    }

private:
    static constexpr std::size_t GramSize = 8;
    static constexpr std::size_t ScanStep = 256 * 1024;

    struct Search
    {
        std::vector<ByteOffset> lineStarts; // lines known to hold the URL, in file order
        std::size_t next = 0;               // the next of them to try
        ByteOffset from = 0;                // the pass or the plain search has looked up to here
        bool plain = false;                 // searched on its own, not by the pass
        std::size_t gramAt = 0;             // where in the URL its key starts
    };

    static constexpr unsigned SampleBits = 20;
    static constexpr std::size_t SampleCount = 16;
    static constexpr std::size_t SampleSize = 64 * 1024;

    static std::uint32_t sampleSlot(std::uint64_t gram)
    {
        return static_cast<std::uint32_t>((gram * 0xC2B2AE3D27D4EB4Full) >> (64 - SampleBits));
    }

    // How often each eight bytes occur, roughly, from samples spread over the text.
    std::vector<std::uint16_t> sampleFrequencies() const
    {
        std::vector<std::uint16_t> counts(std::size_t{1} << SampleBits, 0);
        if (m_text.size() < GramSize)
            return counts;
        const std::size_t span = m_text.size() - GramSize + 1;
        for (std::size_t sample = 0; sample < SampleCount; ++sample) {
            const std::size_t begin = span / SampleCount * sample;
            const std::size_t end = std::min(span, begin + SampleSize);
            for (std::size_t at = begin; at < end; ++at) {
                std::uint16_t& count = counts[sampleSlot(gramAt(m_text.data() + at))];
                if (count < UINT16_MAX)
                    ++count;
            }
        }
        return counts;
    }

    static std::uint64_t gramAt(const char* p)
    {
        std::uint64_t gram;
        std::memcpy(&gram, p, sizeof gram);
        return gram;
    }

    std::uint32_t slot(std::uint64_t gram) const
    {
        return static_cast<std::uint32_t>((gram * 0x9E3779B97F4A7C15ull) >> (64 - m_filterBits));
    }

    // Moves the pass on by one step; past the end of the text it stops for good.
    void scan()
    {
        const char* const data = m_text.data();
        const std::size_t stop = std::min(m_text.size(), m_scanEnd + ScanStep);
        for (std::size_t end = m_scanEnd; end <= stop; ++end) {
            const std::uint64_t gram = gramAt(data + end - GramSize);
            const auto bit = slot(gram);
            if (((m_filter[bit >> 6] >> (bit & 63)) & 1) == 0)
                continue;
            const auto found = m_byGram.find(gram);
            if (found == m_byGram.end())
                continue;
            for (const std::uint32_t id : found->second)
                noteHit(id, end);
        }
        m_scanEnd = stop + 1;
    }

    // The key of URL `id` ends at `end`.
    void noteHit(std::uint32_t id, std::size_t end)
    {
        Search& search = m_searches[id];
        const std::string_view url = m_urls[id];
        const std::size_t before = search.gramAt + GramSize; // the URL's bytes up to `end`
        // Searched on its own by now, starting before the text, running past it, or in a line
        // already noted.
        if (search.plain || end < before || end - before < search.from ||
            end - before + url.size() > m_text.size() ||
            std::memcmp(m_text.data() + end - before, url.data(), url.size()) != 0)
            return;
        const LineSpan line = lineAround(m_text, search.from, end - before);
        search.lineStarts.push_back(line.start);
        search.from = line.next;
        if (search.lineStarts.size() == m_quota[id])
            search.plain = true; // its plain search goes on from `from` once these are used up
    }

    std::string_view m_text;
    std::vector<std::string_view> m_urls;
    std::vector<std::size_t> m_quota;
    std::vector<Search> m_searches;
    unsigned m_filterBits = 15;
    std::vector<std::uint64_t> m_filter;
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> m_byGram;
    std::size_t m_scanEnd = GramSize; // the next window end the pass looks at
};

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

    // One search per distinct URL that can be found at all.
    std::unordered_map<std::string_view, std::uint32_t> idOf;
    std::vector<std::string_view> urls;
    std::vector<std::size_t> rowsOf;
    std::vector<std::uint32_t> rowUrl(selectedUrls.size(), UINT32_MAX);
    for (std::size_t row = 0; row < selectedUrls.size(); ++row) {
        const std::string_view url = selectedUrls[row];
        if (url.empty() || !fitsInLine(url))
            continue;
        const auto [it, added] = idOf.try_emplace(url, static_cast<std::uint32_t>(urls.size()));
        if (added) {
            urls.push_back(url);
            rowsOf.push_back(0);
        }
        ++rowsOf[it->second];
        rowUrl[row] = it->second;
    }
    // One line more than rows, for a line that a row of another URL takes first; should a URL
    // still run short, its plain search goes on after the last line noted.
    std::vector<std::size_t> quota(rowsOf);
    for (auto& count : quota)
        ++count;
    UrlFinder finder(text, urls, std::move(quota));

    std::unordered_map<ByteOffset, ByteOffset> removed; // line start -> next line's start
    int position = 0;
    for (std::size_t row = 0; row < selectedUrls.size(); ++row) {
        if (rowUrl[row] != UINT32_MAX) {
            while (!result.rowRemoved[row]) {
                const std::optional<LineSpan> line = finder.nextLine(rowUrl[row]);
                if (!line)
                    break;
                result.rowRemoved[row] = removed.emplace(line->start, line->next).second;
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
