#pragma once

#include "filters/Records.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelt {

// The store files' names in AppDir.
inline constexpr const char* GroupFileName = "GroupFile.tdf";
inline constexpr const char* FilterFileName = "FilterFile.tdf";

// The filter groups (name, colour) and filters (text in a group) kept in GroupFile.tdf and
// FilterFile.tdf of one folder. Holds no state: every operation opens the file it needs, scans it
// record by record from the first and closes it before it returns, so another window or program
// sees each change at once. Names and texts are raw bytes compared exactly; stored texts are cut
// to 25 (names) and 30 (filter texts) bytes. Failures throw FileIOError. Example:
//   FilterStore store(AppDir());
//   store.AddGroup("Social", 0x0000FF);
//   store.AddFilter("Social", "facebook.com");
class FilterStore
{
public:
    // The store in appDir; a '/' is added when appDir lacks it.
    explicit FilterStore(const std::string& appDir);

    // The path of GroupFile.tdf.
    const std::string& GroupFilePath() const { return m_groupPath; }
    // The path of FilterFile.tdf.
    const std::string& FilterFilePath() const { return m_filterPath; }

    // Group names in file order; empty when the group file is missing.
    std::vector<std::string> ListGroups() const;
    // Appends a group unless the name is stored already (true when appended); creates the file.
    // An empty name is never stored (false).
    bool AddGroup(std::string_view name, ColorValue colour);
    // The colour of the first group with that name, or none.
    std::optional<ColorValue> GroupColor(std::string_view name) const;
    // Recolours the first group with that name; nothing when there is none.
    void SetGroupColor(std::string_view name, ColorValue colour);
    // Deletes the first group with that name, its filters first; nothing when there is none.
    void DeleteGroup(std::string_view name);

    // The filter texts of group in file order; empty when the filter file is missing.
    std::vector<std::string> ListFilters(std::string_view group) const;
    // Appends a filter unless the pair is stored already (true when appended); creates the file.
    // An empty text is never stored (false).
    bool AddFilter(std::string_view group, std::string_view text);
    // Deletes the first filter of group with that text.
    void DeleteFilter(std::string_view group, std::string_view text);
    // Deletes every filter of group.
    void DeleteGroupFilters(std::string_view group);

private:
    std::string m_groupPath;
    std::string m_filterPath;
};

} // namespace qelt
