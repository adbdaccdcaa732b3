#include "settings/CodePage.h"

namespace qelt {

// Placeholder until the code page tables land: Latin-1 decoding.
bool IsValidUtf8(std::string_view bytes)
{
    (void)bytes;
    return false;
}

std::string DecodeForDisplay(std::string_view bytes, CodePageId /*codePage*/)
{
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<std::string> EncodeFromUtf8(std::string_view utf8, CodePageId /*codePage*/)
{
    return std::string(utf8);
}

} // namespace qelt
