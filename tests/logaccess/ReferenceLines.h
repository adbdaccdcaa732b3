#pragma once

#include <string>
#include <vector>

namespace qelt::test {

// The reading rule spelled out byte by byte, for comparing the fast line scans with:
// CR LF, a lone CR or a lone LF ends a line, a last line needs no terminator, a NUL ends the text.
inline std::vector<std::string> ReferenceLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string current;
    bool open = false;
    for (std::size_t i = 0; i < text.size() && text[i] != '\0'; ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(current);
            current.clear();
            open = false;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            current += c;
            open = true;
        }
    }
    if (open)
        lines.push_back(current);
    return lines;
}

// Where each line of ReferenceLines(text) starts in text.
inline std::vector<std::size_t> ReferenceLineStarts(const std::string& text)
{
    std::vector<std::size_t> starts;
    bool atStart = true;
    for (std::size_t i = 0; i < text.size() && text[i] != '\0'; ++i) {
        if (atStart)
            starts.push_back(i);
        atStart = false;
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            atStart = true;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        }
    }
    return starts;
}

} // namespace qelt::test
