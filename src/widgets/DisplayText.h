#pragma once

#include <QByteArray>
#include <QString>

#include <string>
#include <string_view>

// The text shown for 8-bit bytes from a log or a store file: UTF-8 when the bytes are valid
// UTF-8, otherwise decoded from codePage. The bytes themselves are never replaced by this text.
QString DisplayText(std::string_view bytes, int codePage);

// Cells, tree nodes and panels show at most this many bytes of a text; a longer one ends in "…".
// A line can be megabytes long, and laying out such a text would stall the window.
inline constexpr std::size_t DisplayLimit = 2000;
// A tooltip shows at most this many bytes, in lines of ToolTipLineLength characters.
inline constexpr std::size_t ToolTipLimit = 1000;
inline constexpr int ToolTipLineLength = 100;

// DisplayText of the first limit bytes (cut before a UTF-8 sequence, never inside one), with "…"
// when bytes is longer.
QString DisplayTextElided(std::string_view bytes, int codePage, std::size_t limit = DisplayLimit);

// The tooltip of a text: elided to ToolTipLimit and broken into lines.
QString ToolTipText(std::string_view bytes, int codePage);

inline std::string ToBytes(const QByteArray& bytes)
{
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

inline QByteArray ToByteArray(std::string_view bytes)
{
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}
