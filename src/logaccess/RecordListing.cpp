#include "logaccess/RecordListing.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string.h> // memmem, memrchr

namespace qelt {

namespace {

bool contains(std::string_view text, std::string_view marker)
{
    return !marker.empty() && !text.empty() && text.find(marker) != std::string_view::npos;
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
        const void* hit =
            ::memmem(p, static_cast<std::size_t>(end - p), needle.data(), needle.size());
        if (!hit)
            break;
        ++count;
        p = static_cast<const char*>(hit) + needle.size();
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
    return contains(line, " [") && contains(line, texts.user) && contains(line, texts.host);
}

void ForEachNodeLine(std::string_view text, const NodeSearchTexts& texts,
                     const std::function<void(std::string_view line)>& f)
{
    if (texts.user.empty() || texts.host.empty() || text.empty())
        return;
    // A line never holds a line end, so a search text with one belongs to no line.
    for (const std::string_view searched : {texts.user, texts.host}) {
        if (searched.find_first_of("\r\n") != std::string_view::npos)
            return;
    }

    // Every line that belongs holds both texts: find the rarer one in the whole text and test
    // only the lines it stands in.
    std::string_view needle = texts.user;
    const std::size_t userCount = sampleCount(text, texts.user);
    const std::size_t hostCount = sampleCount(text, texts.host);
    if (hostCount < userCount || (hostCount == userCount && texts.host.size() > texts.user.size()))
        needle = texts.host;

    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const void* found =
            ::memmem(p, static_cast<std::size_t>(end - p), needle.data(), needle.size());
        if (!found)
            break;
        const char* hit = static_cast<const char*>(found);
        const char* lineStart = startOfLine(p, hit);
        const char* lineEnd = FindLineEnd(hit + needle.size(), end);
        const std::string_view line(lineStart, static_cast<std::size_t>(lineEnd - lineStart));
        if (LineBelongsToNode(line, texts))
            f(line);
        p = lineEnd + TerminatorLength(lineEnd, end);
    }
}

namespace {

std::vector<RecordRow> listRows(std::string_view text, const NodeSearchTexts& texts)
{
    std::vector<RecordRow> rows;
    ForEachNodeLine(text, texts, [&](std::string_view line) {
        RecordRow row;
        row.line = static_cast<ByteOffset>(line.data() - text.data());
        row.lineSize = static_cast<std::uint32_t>(
            std::min<std::size_t>(line.size(), std::numeric_limits<std::uint32_t>::max()));
        row.icon = FileKindIcon(ExtractRecordFields(line).rawUrl);
        rows.push_back(row);
    });
    return rows;
}

} // namespace

RecordList ListNodeRecords(std::string_view text, const NodeSearchTexts& texts)
{
    return RecordList(text, listRows(text, texts));
}

RecordList ListNodeRecords(std::shared_ptr<const LogFile> file, const NodeSearchTexts& texts)
{
    const std::string_view text = file->text();
    return RecordList(text, listRows(text, texts), std::move(file));
}

} // namespace qelt
