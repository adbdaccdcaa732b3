#include "filters/FilterStore.h"

#include "filters/RecordFile.h"

namespace qelt {

namespace {

std::string inFolder(const std::string& folder, const char* name)
{
    if (folder.empty() || folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

// The loop every operation reads with: nothing when the file holds no record, else ReadNext
// into record until AtEnd(), handing each record to visit, which returns true to end the scan.
// Returns whether visit ended it.
template <typename Record, typename Visit>
bool Scan(RecordFile& file, Record& record, Visit&& visit)
{
    if (file.Count() == 0)
        return false;
    while (!file.AtEnd()) {
        file.ReadNext(record.data());
        if (visit())
            return true;
    }
    return false;
}

// The deletion step of the delete operations, right after ReadNext has read the record to
// delete: the last record moves into its place and the file loses one record. Returns true when
// a record was moved into the hole (the caller may have to look at it next).
template <typename Record> bool RemoveRecord(RecordFile& file, Record& buffer)
{
    const RecordIndex p = file.Position();
    const RecordIndex n = file.Count();
    if (p == n) {
        file.Seek(n - 1);
        file.Truncate();
        return false;
    }
    file.Seek(n - 1);
    file.ReadNext(buffer.data());
    file.Seek(p - 1);
    file.Write(buffer.data());
    file.Seek(n - 1);
    file.Truncate();
    return true;
}

void deleteGroupFilters(const std::string& filterPath, std::string_view group)
{
    if (!FileExists(filterPath))
        return;
    RecordFile file;
    file.Open(filterPath, FilterRecordSize);
    FilterRecord record{};
    Scan(file, record, [&] {
        if (FilterGroup(record) == group) {
            const RecordIndex p = file.Position();
            // The record moved into the hole may belong to the group too: look at it next.
            if (RemoveRecord(file, record))
                file.Seek(p - 1);
        }
        return false;
    });
    file.Close();
}

} // namespace

FilterStore::FilterStore(const std::string& appDir)
    : m_groupPath(inFolder(appDir, GroupFileName)), m_filterPath(inFolder(appDir, FilterFileName))
{}

std::vector<std::string> FilterStore::ListGroups() const
{
    std::vector<std::string> names;
    if (!FileExists(m_groupPath))
        return names;
    RecordFile file;
    file.Open(m_groupPath, GroupRecordSize);
    GroupRecord record{};
    Scan(file, record, [&] {
        names.emplace_back(GroupName(record));
        return false;
    });
    file.Close();
    return names;
}

bool FilterStore::AddGroup(std::string_view name, ColorValue colour)
{
    if (name.empty())
        return false;
    RecordFile file;
    // Created when missing, but never by a test for the file followed by Create: a second viewer
    // that created it and added its first group in between would lose that group to the emptying.
    file.OpenOrCreate(m_groupPath, GroupRecordSize);
    GroupRecord record{};
    const bool found = Scan(file, record, [&] { return GroupName(record) == name; });
    if (!found) {
        // After a full scan the position is the end of the last whole record: an append, which
        // also overwrites any stray bytes of a partial record.
        record = MakeGroupRecord(name, colour);
        file.Write(record.data());
    }
    file.Close();
    return !found;
}

std::optional<ColorValue> FilterStore::GroupColor(std::string_view name) const
{
    if (!FileExists(m_groupPath))
        return std::nullopt;
    RecordFile file;
    file.Open(m_groupPath, GroupRecordSize);
    GroupRecord record{};
    std::optional<ColorValue> colour;
    if (Scan(file, record, [&] { return GroupName(record) == name; }))
        colour = GroupColour(record);
    file.Close();
    return colour;
}

void FilterStore::SetGroupColor(std::string_view name, ColorValue colour)
{
    if (!FileExists(m_groupPath))
        return;
    RecordFile file;
    file.Open(m_groupPath, GroupRecordSize);
    GroupRecord record{};
    if (Scan(file, record, [&] { return GroupName(record) == name; })) {
        SetGroupColour(record, colour);
        file.Seek(file.Position() - 1);
        file.Write(record.data());
    }
    file.Close();
}

void FilterStore::DeleteGroup(std::string_view name)
{
    if (!FileExists(m_groupPath))
        return;
    RecordFile file;
    file.Open(m_groupPath, GroupRecordSize);
    GroupRecord record{};
    if (Scan(file, record, [&] { return GroupName(record) == name; })) {
        // The group file stays open while its filters go.
        deleteGroupFilters(m_filterPath, name);
        RemoveRecord(file, record);
    }
    file.Close();
}

std::vector<std::string> FilterStore::ListFilters(std::string_view group) const
{
    std::vector<std::string> texts;
    if (!FileExists(m_filterPath))
        return texts;
    RecordFile file;
    file.Open(m_filterPath, FilterRecordSize);
    FilterRecord record{};
    Scan(file, record, [&] {
        if (FilterGroup(record) == group)
            texts.emplace_back(FilterText(record));
        return false;
    });
    file.Close();
    return texts;
}

bool FilterStore::AddFilter(std::string_view group, std::string_view text)
{
    if (text.empty())
        return false;
    RecordFile file;
    file.OpenOrCreate(m_filterPath, FilterRecordSize);
    FilterRecord record{};
    const bool found = Scan(
        file, record, [&] { return FilterText(record) == text && FilterGroup(record) == group; });
    if (!found) {
        record = MakeFilterRecord(group, text);
        file.Write(record.data());
    }
    file.Close();
    return !found;
}

void FilterStore::DeleteFilter(std::string_view group, std::string_view text)
{
    if (!FileExists(m_filterPath))
        return;
    RecordFile file;
    file.Open(m_filterPath, FilterRecordSize);
    FilterRecord record{};
    if (Scan(file, record,
             [&] { return FilterGroup(record) == group && FilterText(record) == text; }))
        RemoveRecord(file, record);
    file.Close();
}

void FilterStore::DeleteGroupFilters(std::string_view group)
{
    deleteGroupFilters(m_filterPath, group);
}

} // namespace qelt
