#include "filters/RowColor.h"

#include "filters/FilterStore.h"
#include "filters/RecordFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace qelt {

namespace {

constexpr std::uint32_t NoFilter = std::numeric_limits<std::uint32_t>::max();

// Reads the whole file into content (one consistent picture of its records). Only reads: the
// rule never writes, so a store file that is read-only still colours the rows.
void readStoreFile(const std::string& path, std::string& content)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        throw FileIOErrorFromErrno(errno, path);
    struct stat st
    {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = errno;
        ::close(fd);
        throw S_ISREG(st.st_mode) ? FileIOErrorFromErrno(error, path)
                                  : MakeFileIOError(FileAccessDenied);
    }
    // One byte more than the size, so a file that grew meanwhile is read whole as well.
    content.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t done = 0;
    for (;;) {
        if (done == content.size())
            content.resize(content.size() * 2);
        const ssize_t n = ::read(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw FileIOErrorFromErrno(error, path);
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    content.resize(done);
}

// Whether a file's state moved into failing: reports an error once per unreadable spell.
struct FailState
{
    bool failing = false;
};

} // namespace

struct RowColorRule::Cache
{
    std::string filterPath;
    std::string groupPath;

    // The filter file's bytes that the matcher was built from, and the bytes just read.
    std::string filterBytes;
    std::string groupBytes;
    std::string scratch;
    bool filtersBuilt = false;
    bool groupsBuilt = false;

    // Filters in file order: group name and text point into filterBytes.
    struct Filter
    {
        std::string_view group;
        std::string_view text;
    };
    std::vector<Filter> filters;
    // Candidates by the first two bytes of their text (texts of 2+ bytes), in file order, and
    // the first filter of every one-byte text.
    std::vector<std::uint32_t> pairStart; // 65537 offsets into pairFilters
    std::vector<std::uint32_t> pairFilters;
    std::uint32_t firstSingle[256];

    // The colour of the first group record of each name.
    std::unordered_map<std::string_view, ColorValue> groupColours;

    FailState filterState;
    FailState groupState;
    FailState* reading = &filterState; // the file being read when an error strikes

    void buildFilters()
    {
        filters.clear();
        const std::size_t count = filterBytes.size() / FilterRecordSize;
        filters.reserve(count);
        FilterRecord record{};
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(record.data(), filterBytes.data() + i * FilterRecordSize, FilterRecordSize);
            // Views into filterBytes rather than into the local copy.
            const char* base = filterBytes.data() + i * FilterRecordSize;
            const std::string_view group = FilterGroup(record);
            const std::string_view text = FilterText(record);
            filters.push_back({std::string_view(base + 1, group.size()),
                               std::string_view(base + 27, text.size())});
        }
        std::fill(std::begin(firstSingle), std::end(firstSingle), NoFilter);
        pairStart.assign(65537, 0);
        for (std::uint32_t i = 0; i < filters.size(); ++i) {
            const auto& text = filters[i].text;
            if (text.size() >= 2)
                ++pairStart[pairKey(text.data()) + 1];
            else if (text.size() == 1 &&
                     firstSingle[static_cast<unsigned char>(text[0])] == NoFilter)
                firstSingle[static_cast<unsigned char>(text[0])] = i;
        }
        for (std::size_t k = 1; k < pairStart.size(); ++k)
            pairStart[k] += pairStart[k - 1];
        pairFilters.assign(pairStart.back(), 0);
        std::vector<std::uint32_t> fill(pairStart.begin(), pairStart.end() - 1);
        for (std::uint32_t i = 0; i < filters.size(); ++i) {
            const auto& text = filters[i].text;
            if (text.size() >= 2)
                pairFilters[fill[pairKey(text.data())]++] = i;
        }
        filtersBuilt = true;
    }

    void buildGroups()
    {
        groupColours.clear();
        const std::size_t count = groupBytes.size() / GroupRecordSize;
        GroupRecord record{};
        for (std::size_t i = 0; i < count; ++i) {
            const char* base = groupBytes.data() + i * GroupRecordSize;
            std::memcpy(record.data(), base, GroupRecordSize);
            const std::string_view name(base + 1, GroupName(record).size());
            groupColours.emplace(name, GroupColour(record)); // the first of a name stays
        }
        groupsBuilt = true;
    }

    static std::size_t pairKey(const char* p)
    {
        return (static_cast<std::size_t>(static_cast<unsigned char>(p[0])) << 8) |
               static_cast<unsigned char>(p[1]);
    }

    // The index of the first filter in file order whose text url contains, or NoFilter.
    std::uint32_t firstMatch(std::string_view url) const
    {
        std::uint32_t best = NoFilter;
        for (std::size_t i = 0; i < url.size() && best != 0; ++i) {
            best = std::min(best, firstSingle[static_cast<unsigned char>(url[i])]);
            if (i + 1 >= url.size())
                break;
            const std::size_t key = pairKey(url.data() + i);
            const std::size_t rest = url.size() - i;
            for (std::uint32_t k = pairStart[key]; k < pairStart[key + 1]; ++k) {
                const std::uint32_t index = pairFilters[k];
                if (index >= best)
                    break; // candidates are in file order: nothing later can win
                const auto& text = filters[index].text;
                if (text.size() <= rest &&
                    std::memcmp(url.data() + i + 2, text.data() + 2, text.size() - 2) == 0) {
                    best = index;
                    break;
                }
            }
        }
        return best;
    }

    // Reads path afresh into bytes; returns true when they changed since the last build.
    bool refresh(const std::string& path, std::string& bytes, bool built)
    {
        readStoreFile(path, scratch);
        if (built && scratch == bytes)
            return false;
        bytes.swap(scratch);
        return true;
    }

    std::optional<ColorValue> evaluate(std::string_view url)
    {
        // A file that cannot even be looked at is reported as one that cannot be read.
        reading = &filterState;
        const bool haveFilters = FileExists(filterPath);
        reading = &groupState;
        if (!haveFilters || !FileExists(groupPath)) {
            filterState.failing = groupState.failing = false;
            return std::nullopt;
        }
        reading = &filterState;
        if (refresh(filterPath, filterBytes, filtersBuilt))
            buildFilters();
        filterState.failing = false;
        if (filters.empty())
            return std::nullopt;
        const std::uint32_t match = firstMatch(url);
        if (match == NoFilter)
            return std::nullopt;
        // filters[] views filterBytes, which stays put until the next refresh of the filters.
        const std::string_view group = filters[match].group;
        reading = &groupState;
        if (refresh(groupPath, groupBytes, groupsBuilt))
            buildGroups();
        groupState.failing = false;
        const auto found = groupColours.find(group);
        if (found == groupColours.end())
            return std::nullopt;
        return found->second;
    }
};

RowColorRule::RowColorRule(const std::string& appDir) : m_cache(std::make_unique<Cache>())
{
    const FilterStore store(appDir);
    m_cache->filterPath = store.FilterFilePath();
    m_cache->groupPath = store.GroupFilePath();
}

RowColorRule::~RowColorRule() = default;

std::optional<ColorValue> RowColorRule::RowColor(std::string_view url)
{
    return m_cache->evaluate(url);
}

std::optional<ColorValue> RowColorRule::RowColorNoThrow(std::string_view url, std::string& error)
{
    error.clear();
    try {
        return m_cache->evaluate(url);
    } catch (const FileIOError& e) {
        // Each file reports once per spell of failures; reading it again (or finding it gone)
        // ends the spell.
        FailState& state = *m_cache->reading;
        if (!state.failing)
            error = e.what();
        state.failing = true;
        return std::nullopt;
    }
}

std::optional<ColorValue> RowColor(const std::string& appDir, std::string_view url)
{
    RowColorRule rule(appDir);
    return rule.RowColor(url);
}

} // namespace qelt
