#include "logaccess/RecordListing.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string.h> // memmem, memrchr

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelt {

namespace {

// The first occurrence of needle (not empty) in [p, p + n), or null. Sixteen places are tried at
// once by their first and last byte, and only where both match are the bytes between compared:
// a plain search slows down on needles made of common letters, as user names are.
const char* findBytes(const char* p, std::size_t n, std::string_view needle)
{
    const std::size_t k = needle.size();
    if (k == 1)
        return static_cast<const char*>(std::memchr(p, needle[0], n));
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(needle[0]);
    const __m128i last = _mm_set1_epi8(needle[k - 1]);
    for (; i + k - 1 + 16 <= n; i += 16) {
        const __m128i atFirst = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i atLast = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + k - 1));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(atFirst, first), _mm_cmpeq_epi8(atLast, last))));
        while (mask != 0) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            if (std::memcmp(p + at + 1, needle.data() + 1, k - 2) == 0)
                return p + at;
            mask &= mask - 1;
        }
    }
#endif
    if (i >= n)
        return nullptr;
    return static_cast<const char*>(::memmem(p + i, n - i, needle.data(), k));
}

// How often needle occurs in the first bytes of text: a cheap estimate of its rarity.
std::size_t sampleCount(std::string_view text, std::string_view needle)
{
    constexpr std::size_t SampleBytes = 1u << 20;
    const std::string_view sample = text.substr(0, SampleBytes);
    std::size_t count = 0;
    const char* p = sample.data();
    const char* const end = p + sample.size();
    while (p < end) {
        const char* hit = findBytes(p, static_cast<std::size_t>(end - p), needle);
        if (!hit)
            break;
        ++count;
        p = hit + needle.size();
    }
    return count;
}

// The start of the line that holds position at; lineStart is known to start a line.
const char* startOfLine(const char* lineStart, const char* at)
{
    const std::size_t span = static_cast<std::size_t>(at - lineStart);
    const void* lf = ::memrchr(lineStart, '\n', span);
    const char* from = lf ? static_cast<const char*>(lf) + 1 : lineStart;
    const void* cr = ::memrchr(from, '\r', static_cast<std::size_t>(at - from));
    return cr ? static_cast<const char*>(cr) + 1 : from;
}

} // namespace

bool LineBelongsToNode(std::string_view line, const NodeSearchTexts& texts)
{
    if (texts.user.empty())
        return false;
    if (!texts.isHostNode()) {
        // The user field alone: the bytes between the first " - " and the next " [".
        const std::size_t dash = line.find(" - ");
        return dash != std::string_view::npos && ExtractUser(line.substr(dash + 3)) == texts.user;
    }
    const IndexFields fields = ExtractIndexFields(line);
    return fields.qualifies && fields.user == texts.user && fields.host == texts.host;
}

NodeLineSearch::NodeLineSearch(std::string_view text, const NodeSearchTexts& texts) : m_texts(texts)
{
    // A line never holds a line end or a NUL, so a search text with one belongs to no line.
    if (texts.user.empty())
        return;
    for (const std::string_view searched : {texts.user, texts.host}) {
        if (searched.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
            return;
    }
    m_needle = texts.user;
    if (!texts.isHostNode())
        return;
    // Every line that belongs holds both texts: search for the rarer one.
    const std::size_t userCount = sampleCount(text, texts.user);
    const std::size_t hostCount = sampleCount(text, texts.host);
    if (hostCount < userCount || (hostCount == userCount && texts.host.size() > texts.user.size()))
        m_needle = texts.host;
}

bool NodeLineSearch::run(std::string_view text,
                         const std::function<void(std::string_view line)>& f) const
{
    return runWhile(text, [&](std::string_view line) {
        f(line);
        return true;
    });
}

bool NodeLineSearch::runWhile(std::string_view text,
                              const std::function<bool(std::string_view line)>& f) const
{
    if (m_needle.empty())
        return !text.empty() && std::memchr(text.data(), '\0', text.size()) != nullptr;

    // The bytes between the lines looked at are checked for a NUL right after the search has
    // passed over them, while they are still in the cache.
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* found = findBytes(p, static_cast<std::size_t>(end - p), m_needle);
        const char* hit = found ? found : end;
        if (std::memchr(p, '\0', static_cast<std::size_t>(hit - p)))
            return true; // no line before the NUL holds the needle
        if (!found)
            return false;
        const char* lineStart = startOfLine(p, hit);
        const char* lineEnd = FindLineEndOrNul(hit + m_needle.size(), end);
        const std::string_view line(lineStart, static_cast<std::size_t>(lineEnd - lineStart));
        if (LineBelongsToNode(line, m_texts) && !f(line))
            return false;
        if (lineEnd < end && *lineEnd == '\0')
            return true;
        p = lineEnd + TerminatorLength(lineEnd, end);
    }
    return false;
}

bool ForEachNodeLine(std::string_view text, const NodeSearchTexts& texts,
                     const std::function<void(std::string_view line)>& f)
{
    return NodeLineSearch(text, texts).run(text, f);
}

namespace {

// The rows of the lines of part, with offsets into the whole text; whether the part holds a NUL.
// Without `icons` the rows keep only where their lines are.
bool listRows(std::string_view text, std::string_view part, const NodeLineSearch& search,
              std::vector<RecordRow>& rows, bool icons = true)
{
    return search.run(part, [&](std::string_view line) {
        RecordRow row;
        row.line = static_cast<ByteOffset>(line.data() - text.data());
        row.lineSize = static_cast<std::uint32_t>(
            std::min<std::size_t>(line.size(), std::numeric_limits<std::uint32_t>::max()));
        if (icons)
            row.icon = FileKindIcon(ExtractRecordFields(line).rawUrl);
        rows.push_back(row);
    });
}

// Lists the runs of a large text at once, one per core, and joins the rows in file order.
std::vector<RecordRow> listRows(std::string_view text, const NodeSearchTexts& texts, unsigned runs,
                                bool icons = true)
{
    const std::vector<std::string_view> parts =
        SplitAtLineEnds(text, runs == 0 ? RunsForScan(text.size()) : runs);
    const NodeLineSearch search(text, texts);
    std::vector<std::vector<RecordRow>> found(parts.size());
    std::vector<char> endedAtNul(parts.size(), 0);
    RunParts(parts.size(), [&](std::size_t k) {
        endedAtNul[k] = listRows(text, parts[k], search, found[k], icons);
    });
    // The text ends at the first NUL: the runs after the one that holds it do not count.
    std::vector<RecordRow> rows = std::move(found[0]);
    for (std::size_t k = 1; k < found.size() && !endedAtNul[k - 1]; ++k)
        rows.insert(rows.end(), found[k].begin(), found[k].end());
    return rows;
}

} // namespace

RecordList ListNodeRecords(std::string_view text, const NodeSearchTexts& texts, unsigned runs)
{
    return RecordList(text, listRows(text, texts, runs));
}

std::vector<ByteOffset> NodeLineStarts(const LogFile& file, const NodeSearchTexts& texts)
{
    std::vector<RecordRow> rows = listRows(file.bytes(), texts, 0, false);
    file.checkNotCutShort();
    std::vector<ByteOffset> starts;
    starts.reserve(rows.size());
    for (const RecordRow& row : rows)
        starts.push_back(row.line);
    return starts;
}

RecordList ListNodeRecords(std::shared_ptr<const LogFile> file, const NodeSearchTexts& texts,
                           unsigned runs)
{
    // The listing stops at the first NUL by itself, so it need not wait for the file's text.
    const std::string_view text = file->bytes();
    std::vector<RecordRow> rows = listRows(text, texts, runs);
    file->checkNotCutShort();
    return RecordList(text, std::move(rows), std::move(file));
}

} // namespace qelt
