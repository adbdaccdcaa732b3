#include "widgets/DisplayText.h"

#include "settings/CodePage.h"

QString DisplayText(std::string_view bytes, int codePage)
{
    const std::string utf8 = qelt::DecodeForDisplay(bytes, codePage);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QString DisplayTextElided(std::string_view bytes, int codePage, std::size_t limit)
{
    if (bytes.size() <= limit)
        return DisplayText(bytes, codePage);
    std::size_t cut = limit;
    // Back off over UTF-8 continuation bytes to the start of the sequence they belong to; a
    // single-byte code page loses nothing by it.
    for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80;
         ++i)
        --cut;
    return DisplayText(bytes.substr(0, cut), codePage) + QChar(0x2026);
}

QString ToolTipText(std::string_view bytes, int codePage)
{
    const QString text = DisplayTextElided(bytes, codePage, ToolTipLimit);
    if (text.size() <= ToolTipLineLength)
        return text;
    QString lines;
    for (qsizetype at = 0; at < text.size(); at += ToolTipLineLength) {
        if (at > 0)
            lines += QLatin1Char('\n');
        lines += text.mid(at, ToolTipLineLength);
    }
    return lines;
}
