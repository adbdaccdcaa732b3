#pragma once

#include "filters/Records.h"

#include <cstddef>
#include <optional>
#include <string_view>

namespace qelt {

// One named entry of the filter manager's colour box.
struct NamedColor
{
    const char* name; // "clBlack", ...
    ColorValue value; // 0x00BBGGRR
};

// The colour box's named entries in the box's order, after its first entry "Custom...".
extern const NamedColor ColorBoxColors[20];

// The first entry of the colour box, which stands for the custom colour.
inline constexpr const char* CustomColorEntry = "Custom...";

// The value of a colour box name (exact, or without regard to ASCII case), or none.
std::optional<ColorValue> ColorByName(std::string_view name);

// The colour box name of value, or nullptr when it is a custom colour.
const char* ColorName(ColorValue value);

} // namespace qelt
