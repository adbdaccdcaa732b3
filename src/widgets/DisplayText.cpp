#include "widgets/DisplayText.h"

#include "settings/CodePage.h"

QString DisplayText(std::string_view bytes, int codePage)
{
    const std::string utf8 = qelt::DecodeForDisplay(bytes, codePage);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
