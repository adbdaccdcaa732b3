#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qelt {

// A colour as the store keeps it: 0x00BBGGRR, red in the lowest byte.
using ColorValue = std::uint32_t;

// Sizes and capacities of the two record layouts (no header: a file is only records).
constexpr std::size_t GroupRecordSize = 32;
constexpr std::size_t FilterRecordSize = 57;
constexpr std::size_t GroupNameCapacity = 25;
constexpr std::size_t FilterTextCapacity = 30;

// One GroupRecord as stored: length byte, 25 name bytes, 2 alignment bytes, colour (LE) at 28.
using GroupRecord = std::array<unsigned char, GroupRecordSize>;
// One FilterRecord as stored: group name (1 + 25 bytes), then filter text (1 + 30 bytes) at 26.
using FilterRecord = std::array<unsigned char, FilterRecordSize>;

// The name of a group record: its length byte's count of characters, never past the field.
std::string_view GroupName(const GroupRecord& record);
// The colour of a group record.
ColorValue GroupColour(const GroupRecord& record);
// Sets only the colour bytes, leaving every other byte as it is.
void SetGroupColour(GroupRecord& record, ColorValue colour);
// A fresh record: name cut to 25 bytes, colour, every other byte zero.
GroupRecord MakeGroupRecord(std::string_view name, ColorValue colour);

// The group name of a filter record (never past its field).
std::string_view FilterGroup(const FilterRecord& record);
// The filter text of a filter record (never past its field).
std::string_view FilterText(const FilterRecord& record);
// A fresh record: group name cut to 25 bytes, text cut to 30, every other byte zero.
FilterRecord MakeFilterRecord(std::string_view group, std::string_view text);

} // namespace qelt
