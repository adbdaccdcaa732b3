#include "filters/Records.h"

#include <algorithm>
#include <cstring>

namespace qelt {

namespace {

constexpr std::size_t GroupColourOffset = 28;
constexpr std::size_t FilterTextOffset = 26;

// A ShortString field at offset: a damaged length byte above the capacity reads the capacity.
std::string_view shortString(const unsigned char* field, std::size_t capacity)
{
    const std::size_t length = std::min<std::size_t>(field[0], capacity);
    return std::string_view(reinterpret_cast<const char*>(field + 1), length);
}

void storeShortString(unsigned char* field, std::size_t capacity, std::string_view text)
{
    const std::size_t length = std::min(text.size(), capacity);
    field[0] = static_cast<unsigned char>(length);
    if (length > 0)
        std::memcpy(field + 1, text.data(), length);
}

} // namespace

std::string_view GroupName(const GroupRecord& record)
{
    return shortString(record.data(), GroupNameCapacity);
}

ColorValue GroupColour(const GroupRecord& record)
{
    const unsigned char* p = record.data() + GroupColourOffset;
    return static_cast<ColorValue>(p[0]) | (static_cast<ColorValue>(p[1]) << 8) |
           (static_cast<ColorValue>(p[2]) << 16) | (static_cast<ColorValue>(p[3]) << 24);
}

void SetGroupColour(GroupRecord& record, ColorValue colour)
{
    unsigned char* p = record.data() + GroupColourOffset;
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>((colour >> (8 * i)) & 0xFF);
}

GroupRecord MakeGroupRecord(std::string_view name, ColorValue colour)
{
    GroupRecord record{};
    storeShortString(record.data(), GroupNameCapacity, name);
    SetGroupColour(record, colour);
    return record;
}

std::string_view FilterGroup(const FilterRecord& record)
{
    return shortString(record.data(), GroupNameCapacity);
}

std::string_view FilterText(const FilterRecord& record)
{
    return shortString(record.data() + FilterTextOffset, FilterTextCapacity);
}

FilterRecord MakeFilterRecord(std::string_view group, std::string_view text)
{
    FilterRecord record{};
    storeShortString(record.data(), GroupNameCapacity, group);
    storeShortString(record.data() + FilterTextOffset, FilterTextCapacity, text);
    return record;
}

} // namespace qelt
