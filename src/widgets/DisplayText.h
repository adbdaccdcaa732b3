#pragma once

#include <QByteArray>
#include <QString>

#include <string>
#include <string_view>

// The text shown for 8-bit bytes from a log or a store file: UTF-8 when the bytes are valid
// UTF-8, otherwise decoded from codePage. The bytes themselves are never replaced by this text.
QString DisplayText(std::string_view bytes, int codePage);

inline std::string ToBytes(const QByteArray& bytes)
{
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

inline QByteArray ToByteArray(std::string_view bytes)
{
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}
