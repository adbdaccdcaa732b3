#include "settings/IniFile.h"

#include "common/QeltError.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qelt {

namespace {

const std::string_view NewLine = "\r\n";
const std::string_view Utf8Bom = "\xEF\xBB\xBF";

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

enum class LineKind
{
    Blank,
    Comment,
    Section,
    Key,
    Other
};

// One line of the file: its bytes without and with the line end, and what it holds.
struct Line
{
    std::size_t begin = 0;
    std::size_t textEnd = 0; // before CR LF, LF or CR
    std::size_t end = 0;     // after the line end
    LineKind kind = LineKind::Other;
    std::string_view name;  // section or key name, trimmed
    std::string_view value; // key value, trimmed, quotes not yet removed
};

// Splits at CR LF, LF or a lone CR, so files from any platform read alike.
std::vector<Line> splitLines(std::string_view content)
{
    std::vector<Line> lines;
    std::size_t pos = content.substr(0, Utf8Bom.size()) == Utf8Bom ? Utf8Bom.size() : 0;
    while (pos < content.size()) {
        Line line;
        line.begin = pos;
        std::size_t i = pos;
        while (i < content.size() && content[i] != '\n' && content[i] != '\r')
            ++i;
        line.textEnd = i;
        if (i < content.size()) {
            i += (content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ? 2 : 1;
        }
        line.end = i;
        pos = i;

        std::string_view text = content.substr(line.begin, line.textEnd - line.begin);
        // A profile string ends at a NUL, as the platform's C strings do.
        if (const auto nul = text.find('\0'); nul != std::string_view::npos)
            text = text.substr(0, nul);
        text = trim(text);
        if (text.empty()) {
            line.kind = LineKind::Blank;
        } else if (text.front() == ';') {
            line.kind = LineKind::Comment;
        } else if (text.front() == '[') {
            const auto close = text.find(']');
            if (close != std::string_view::npos) {
                line.kind = LineKind::Section;
                line.name = trim(text.substr(1, close - 1));
            }
        } else if (const auto eq = text.find('='); eq != std::string_view::npos) {
            line.kind = LineKind::Key;
            line.name = trim(text.substr(0, eq));
            line.value = trim(text.substr(eq + 1));
        }
        lines.push_back(line);
    }
    return lines;
}

std::string_view unquote(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// Index of the first section line named section, or lines.size().
std::size_t findSection(const std::vector<Line>& lines, std::string_view section)
{
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == LineKind::Section && equalNoCase(lines[i].name, section))
            return i;
    }
    return lines.size();
}

bool readWholeFile(const std::string& path, std::string& content, int& error)
{
    content.clear();
    // Non-blocking, so that a FIFO in the file's place cannot hang the reader; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = errno;
        return false;
    }
    struct stat st
    {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errno;
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

[[noreturn]] void failWrite(const std::string& path)
{
    throw QeltError("Unable to write to " + path);
}

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Replaces the file at path with content: a crash or a full disk leaves the old file whole.
void replaceFile(const std::string& path, std::string_view content)
{
    // Write through a symbolic link to the file it names, as an in-place write would.
    std::string target = path;
    struct stat st
    {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            target = real;
            std::free(real);
        }
    }
    mode_t mode = 0644;
    if (::stat(target.c_str(), &st) == 0) {
        // A read-only file stays as it is, although the rename could replace it.
        if (::access(target.c_str(), W_OK) != 0)
            failWrite(path);
        mode = st.st_mode & 07777;
    }

    const auto slash = target.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = folder + "." + base + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        failWrite(path);
    const bool written = writeAll(fd, content) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        failWrite(path);
    }
}

} // namespace

std::optional<std::int32_t> ParseProfileInteger(std::string_view text)
{
    text = trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0)
            return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFull)
            return std::nullopt;
    }
    if (base == 10) {
        const std::uint64_t limit = negative ? 0x80000000ull : 0x7FFFFFFFull;
        if (value > limit)
            return std::nullopt;
    }
    // Hexadecimal values use all 32 bits: $FFFFFFFF is -1, as a colour 0xFFFFFFFF.
    auto bits = static_cast<std::uint32_t>(value);
    if (negative)
        bits = 0u - bits;
    return static_cast<std::int32_t>(bits);
}

std::optional<std::string> FindProfileValue(std::string_view content, std::string_view section,
                                            std::string_view key)
{
    const auto lines = splitLines(content);
    for (std::size_t i = findSection(lines, section) + 1; i < lines.size(); ++i) {
        if (lines[i].kind == LineKind::Section)
            break;
        if (lines[i].kind == LineKind::Key && equalNoCase(lines[i].name, key))
            return std::string(unquote(lines[i].value));
    }
    return std::nullopt;
}

std::string SetProfileValue(std::string_view content, std::string_view section,
                            std::string_view key, std::string_view value)
{
    const auto lines = splitLines(content);
    std::string newLine = std::string(key) + "=" + std::string(value);
    std::string out;
    out.reserve(content.size() + newLine.size() + section.size() + 8);

    const std::size_t sectionIndex = findSection(lines, section);
    if (sectionIndex == lines.size()) {
        out.append(content);
        if (!lines.empty()) {
            if (lines.back().end == lines.back().textEnd)
                out.append(NewLine);
            if (lines.back().kind != LineKind::Blank)
                out.append(NewLine);
        }
        out.append("[").append(section).append("]").append(NewLine);
        out.append(newLine).append(NewLine);
        return out;
    }

    // The section runs to the next section line; a new key goes after its last non-blank line.
    std::size_t sectionEnd = sectionIndex + 1;
    std::size_t lastFilled = sectionIndex;
    std::size_t keyIndex = lines.size();
    for (; sectionEnd < lines.size() && lines[sectionEnd].kind != LineKind::Section; ++sectionEnd) {
        if (lines[sectionEnd].kind != LineKind::Blank)
            lastFilled = sectionEnd;
        if (keyIndex == lines.size() && lines[sectionEnd].kind == LineKind::Key &&
            equalNoCase(lines[sectionEnd].name, key))
            keyIndex = sectionEnd;
    }

    if (keyIndex != lines.size()) {
        const Line& line = lines[keyIndex];
        out.append(content.substr(0, line.begin));
        out.append(newLine);
        if (line.end == line.textEnd)
            out.append(NewLine);
        else
            out.append(content.substr(line.textEnd, line.end - line.textEnd));
        out.append(content.substr(line.end));
        return out;
    }

    const Line& after = lines[lastFilled];
    out.append(content.substr(0, after.end));
    if (after.end == after.textEnd)
        out.append(NewLine);
    out.append(newLine).append(NewLine);
    out.append(content.substr(after.end));
    return out;
}

IniFile::IniFile(std::string path) : m_path(std::move(path)) {}

std::optional<std::string> IniFile::ReadValue(std::string_view section, std::string_view key) const
{
    std::string content;
    int error = 0;
    // A file that cannot be read counts as missing: every key falls back to its default.
    if (!readWholeFile(m_path, content, error))
        return std::nullopt;
    return FindProfileValue(content, section, key);
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                const std::string& defaultValue) const
{
    auto value = ReadValue(section, key);
    return value ? *value : defaultValue;
}

std::int32_t IniFile::ReadInteger(std::string_view section, std::string_view key,
                                  std::int32_t defaultValue) const
{
    const auto value = ReadValue(section, key);
    if (!value)
        return defaultValue;
    return ParseProfileInteger(*value).value_or(defaultValue);
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value)
{
    // A line break or NUL in the value would split the line and garble the file.
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        failWrite(m_path);
    std::string content;
    int error = 0;
    if (!readWholeFile(m_path, content, error) && error != ENOENT)
        failWrite(m_path);
    replaceFile(m_path, SetProfileValue(content, section, key, value));
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, std::int32_t value)
{
    WriteString(section, key, std::to_string(value));
}

} // namespace qelt
