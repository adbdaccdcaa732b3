#pragma once

// Reads and writes the files of the window tests byte for byte, under a path as the window
// names it.

#include <QFile>
#include <QString>

#include <fstream>
#include <sstream>
#include <string>

inline void WriteFile(const QString& path, const std::string& bytes)
{
    std::ofstream out(QFile::encodeName(path).toStdString(), std::ios::binary);
    out << bytes;
}

inline std::string ReadFile(const QString& path)
{
    std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
