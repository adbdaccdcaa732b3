// GroupFile.tdf and FilterFile.tdf of any bytes through the filter store and the row colour: the
// store's reading against the records read directly, the row colour against a first-match scan,
// and edits against what they promise. The input is the group file's bytes, a 0xFF 0x00 0xFF
// separator, the filter file's bytes.
#include "FuzzCheck.h"
#include "filters/FilterStore.h"
#include "filters/RecordFile.h"
#include "filters/Records.h"
#include "filters/RowColor.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

using namespace qelt;

namespace {

std::string folder;

std::string groupPath()
{
    return folder + GroupFileName;
}
std::string filterPath()
{
    return folder + FilterFileName;
}

void writeFile(const std::string& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.good());
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Group
{
    std::string name;
    ColorValue colour;
};
struct Filter
{
    std::string group;
    std::string text;
};

std::vector<Group> groupsOf(std::string_view bytes)
{
    std::vector<Group> out;
    GroupRecord record{};
    for (std::size_t at = 0; at + GroupRecordSize <= bytes.size(); at += GroupRecordSize) {
        std::memcpy(record.data(), bytes.data() + at, GroupRecordSize);
        out.push_back({std::string(GroupName(record)), GroupColour(record)});
    }
    return out;
}

std::vector<Filter> filtersOf(std::string_view bytes)
{
    std::vector<Filter> out;
    FilterRecord record{};
    for (std::size_t at = 0; at + FilterRecordSize <= bytes.size(); at += FilterRecordSize) {
        std::memcpy(record.data(), bytes.data() + at, FilterRecordSize);
        out.push_back({std::string(FilterGroup(record)), std::string(FilterText(record))});
    }
    return out;
}

// The row colour by its definition: the first filter in file order whose text the URL holds, and
// the colour of the first group of that filter's group name.
std::optional<ColorValue> modelColour(const std::vector<Group>& groups,
                                      const std::vector<Filter>& filters, std::string_view url)
{
    for (const Filter& filter : filters) {
        if (filter.text.empty() || url.find(filter.text) == std::string_view::npos)
            continue;
        for (const Group& group : groups)
            if (group.name == filter.group)
                return group.colour;
        return std::nullopt;
    }
    return std::nullopt;
}

// URLs that hit filters: each text with bytes around it, and the input's own bytes.
std::vector<std::string> urlsFor(const std::vector<Filter>& filters, std::string_view data)
{
    std::vector<std::string> urls{"", "http://example.com/", std::string(data.substr(0, 200))};
    for (std::size_t i = 0; i < filters.size() && i < 32; ++i) {
        urls.push_back("http://" + filters[i].text + "/");
        urls.push_back(filters[i].text);
        if (filters[i].text.size() > 1)
            urls.push_back(filters[i].text.substr(1));
    }
    return urls;
}

void checkColours(RowColorRule& rule, std::string_view data)
{
    const std::string groupBytes = readFile(groupPath());
    const std::string filterBytes = readFile(filterPath());
    const auto groups = groupsOf(groupBytes);
    const auto filters = filtersOf(filterBytes);
    const auto urls = urlsFor(filters, data);
    for (std::size_t i = 0; i < urls.size(); ++i) {
        const std::string& url = urls[i];
        const auto expected = modelColour(groups, filters, url);
        FUZZ_CHECK(rule.RowColor(url) == expected);
        std::string error;
        FUZZ_CHECK(rule.RowColorNoThrow(url, error) == expected && error.empty());
        // A fresh rule builds its tables anew, which is slow: a few URLs only.
        if (i % 16 == 3)
            FUZZ_CHECK(RowColor(folder, url) == expected);
    }
}

void checkReading(const FilterStore& store)
{
    const auto groups = groupsOf(readFile(groupPath()));
    const auto filters = filtersOf(readFile(filterPath()));
    std::vector<std::string> names;
    for (const Group& group : groups)
        names.push_back(group.name);
    FUZZ_CHECK(store.ListGroups() == names);
    for (const Group& group : groups) {
        const auto first = std::find_if(groups.begin(), groups.end(),
                                        [&](const Group& g) { return g.name == group.name; });
        FUZZ_CHECK(store.GroupColor(group.name) == first->colour);
        std::vector<std::string> texts;
        for (const Filter& filter : filters)
            if (filter.group == group.name)
                texts.push_back(filter.text);
        FUZZ_CHECK(store.ListFilters(group.name) == texts);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qelt-fuzz-store-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        std::abort();
    folder = pattern + "/";
    std::atexit([] {
        std::remove(groupPath().c_str());
        std::remove(filterPath().c_str());
        ::rmdir(folder.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    const std::size_t cut = data.find(std::string_view("\xFF\x00\xFF", 3));
    const std::string_view groupBytes = data.substr(0, cut);
    const std::string_view filterBytes =
        cut == std::string_view::npos ? std::string_view() : data.substr(cut + 3);
    writeFile(groupPath(), groupBytes);
    writeFile(filterPath(), filterBytes);

    FilterStore store(folder);
    RowColorRule rule(folder);
    checkReading(store);
    checkColours(rule, data);

    // Edits, each with what it promises, and the colours after each (the rule must see them).
    const auto groups = groupsOf(groupBytes);
    const auto filters = filtersOf(filterBytes);
    if (!filters.empty()) {
        const Filter first = filters.front();
        const auto count = [&] {
            const auto texts = store.ListFilters(first.group);
            return std::count(texts.begin(), texts.end(), first.text);
        };
        const auto before = count();
        FUZZ_CHECK(before >= 1);
        store.DeleteFilter(first.group, first.text);
        FUZZ_CHECK(count() == before - 1);
        // Appended again only when that was the last copy of the pair; never an empty text.
        const bool appends = !first.text.empty() && before == 1;
        FUZZ_CHECK(store.AddFilter(first.group, first.text) == appends);
        FUZZ_CHECK(count() == before - (appends ? 0 : 1));
        store.DeleteGroupFilters(first.group);
        FUZZ_CHECK(store.ListFilters(first.group).empty());
        checkColours(rule, data);
    }
    if (!groups.empty()) {
        const Group first = groups.front();
        store.SetGroupColor(first.name, first.colour ^ 0x00FFFFFFu);
        FUZZ_CHECK(store.GroupColor(first.name) == (first.colour ^ 0x00FFFFFFu));
        checkColours(rule, data);
        const auto names = store.ListGroups();
        store.DeleteGroup(first.name);
        FUZZ_CHECK(store.ListGroups().size() == names.size() - 1);
        checkColours(rule, data);
    }
    const std::string name(data.substr(0, std::min<std::size_t>(size, GroupNameCapacity)));
    const auto namesBefore = store.ListGroups();
    const bool known = std::find(namesBefore.begin(), namesBefore.end(), name) != namesBefore.end();
    FUZZ_CHECK(store.AddGroup(name, 0x123456) == (!name.empty() && !known));
    if (!name.empty())
        FUZZ_CHECK(store.GroupColor(name).has_value());
    checkReading(store);
    checkColours(rule, data);
    return 0;
}
