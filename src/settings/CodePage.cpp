#include "settings/CodePage.h"

#include "common/Bytes.h"

#include "settings/CodePageTables.h"

#include <cstdint>

namespace qelt {

namespace {

constexpr char32_t ReplacementCharacter = 0xFFFD;

const char16_t* tableFor(CodePageId codePage)
{
    const char16_t* fallback = nullptr;
    for (std::size_t i = 0; i < codepages::PageCount; ++i) {
        if (codepages::Pages[i].number == codePage)
            return codepages::Pages[i].toUnicode;
        if (codepages::Pages[i].number == 1252)
            fallback = codepages::Pages[i].toUnicode;
    }
    return fallback;
}

// Decodes one UTF-8 sequence at bytes[pos]; returns its length, or 0 when it is malformed.
std::size_t decodeUtf8At(std::string_view bytes, std::size_t pos, char32_t& codePoint)
{
    const auto lead = static_cast<unsigned char>(bytes[pos]);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (bytes.size() - pos < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto c = static_cast<unsigned char>(bytes[pos + i]);
        if ((c & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (c & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    codePoint = value;
    return length;
}

} // namespace

bool IsValidUtf8(std::string_view bytes)
{
    char32_t codePoint = 0;
    for (std::size_t pos = 0; pos < bytes.size();) {
        const std::size_t length = decodeUtf8At(bytes, pos, codePoint);
        if (length == 0)
            return false;
        pos += length;
    }
    return true;
}

bool IsSupportedCodePage(CodePageId codePage)
{
    if (codePage == CodePageUtf8)
        return true;
    for (std::size_t i = 0; i < codepages::PageCount; ++i) {
        if (codepages::Pages[i].number == codePage)
            return true;
    }
    return false;
}

std::string DecodeForDisplay(std::string_view bytes, CodePageId codePage)
{
    if (IsValidUtf8(bytes))
        return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    if (codePage == CodePageUtf8) {
        // The log claims to be UTF-8: show what is well formed and mark each stray byte.
        char32_t codePoint = 0;
        for (std::size_t pos = 0; pos < bytes.size();) {
            const std::size_t length = decodeUtf8At(bytes, pos, codePoint);
            if (length == 0) {
                AppendUtf8(out, ReplacementCharacter);
                ++pos;
            } else {
                out.append(bytes.substr(pos, length));
                pos += length;
            }
        }
        return out;
    }
    const char16_t* table = tableFor(codePage);
    for (const char ch : bytes)
        AppendUtf8(out, table[static_cast<unsigned char>(ch)]);
    return out;
}

std::optional<std::string> EncodeFromUtf8(std::string_view utf8, CodePageId codePage)
{
    if (!IsValidUtf8(utf8))
        return std::nullopt;
    if (codePage == CodePageUtf8)
        return std::string(utf8);
    const char16_t* table = tableFor(codePage);
    std::string out;
    out.reserve(utf8.size());
    char32_t codePoint = 0;
    for (std::size_t pos = 0; pos < utf8.size();) {
        pos += decodeUtf8At(utf8, pos, codePoint);
        // U+FFFD marks the bytes a page leaves undefined, so it is never a byte's character.
        if (codePoint == ReplacementCharacter)
            return std::nullopt;
        int found = -1;
        for (int b = 0; b < 256; ++b) {
            if (table[b] == codePoint) {
                found = b;
                break;
            }
        }
        if (found < 0)
            return std::nullopt;
        out += static_cast<char>(found);
    }
    return out;
}

} // namespace qelt
