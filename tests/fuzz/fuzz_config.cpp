// config.ini of any bytes: reading and setting keys by the profile rules, the settings read from
// it, its numbers, and its bytes decoded in the code pages it may name.
#include "FuzzCheck.h"
#include "settings/CodePage.h"
#include "settings/IniFile.h"
#include "settings/Settings.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace qelt;

namespace {

std::string folder;

void writeFile(const std::string& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.good());
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool equalNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// Section and key names to try: the settings' own, and those the content spells.
std::vector<std::pair<std::string, std::string>> namesIn(std::string_view content)
{
    std::vector<std::pair<std::string, std::string>> names{
        {"Logger", "Width"},  {"Logger", "Height"},   {"Logger", "Separator"},
        {"Logger", "LogDir"}, {"Logger", "CodePage"}, {"Other", "Width"},
    };
    std::string section = "Logger";
    std::size_t pos = 0;
    while (pos < content.size() && names.size() < 24) {
        std::size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = content.size();
        std::string_view line = content.substr(pos, end - pos);
        pos = end + 1;
        line = trim(line.substr(0, line.find('\0')));
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[' && line.find(']') != std::string_view::npos) {
            section = std::string(trim(line.substr(1, line.find(']') - 1)));
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view key = trim(line.substr(0, eq));
        // A name that could not stand in a line of its own is no name to set.
        if (key.empty() || key.front() == '[' || key.front() == ';' || section.empty())
            continue;
        names.emplace_back(section, std::string(key));
    }
    return names;
}

void checkNumber(const std::optional<std::string>& value)
{
    if (!value)
        return;
    const auto number = ParseProfileInteger(*value);
    if (number)
        FUZZ_CHECK(ParseProfileInteger(std::to_string(*number)) == number);
}

void checkCodePages(std::string_view content, CodePageId configured)
{
    for (const CodePageId page : {configured, DefaultCodePage, CodePageUtf8, 866, 437, 28591}) {
        const std::string shown = DecodeForDisplay(content, page);
        FUZZ_CHECK(IsValidUtf8(shown));
        if (IsValidUtf8(content)) {
            FUZZ_CHECK(shown == content);
            continue;
        }
        // Every byte the page defines comes back from what is shown.
        if (page != CodePageUtf8 && shown.find("\xEF\xBF\xBD") == std::string::npos)
            FUZZ_CHECK(EncodeFromUtf8(shown, page) == std::string(content));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qelt-fuzz-config-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        std::abort();
    folder = pattern + "/";
    std::atexit([] {
        std::remove(ConfigPath(folder).c_str());
        ::rmdir(folder.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::string_view content(reinterpret_cast<const char*>(bytes), size);
    const auto names = namesIn(content);
    std::vector<std::optional<std::string>> before;
    for (const auto& [section, key] : names) {
        before.push_back(FindProfileValue(content, section, key));
        checkNumber(before.back());
    }

    // Setting a key: it reads back, every other key keeps its value, setting again changes
    // nothing, and the file written holds the same bytes.
    for (std::size_t i = 0; i < names.size() && i < 4; ++i) {
        const auto& [section, key] = names[i * names.size() / 4];
        const std::string value = "v" + std::to_string(i);
        const std::string changed = SetProfileValue(content, section, key, value);
        FUZZ_CHECK(FindProfileValue(changed, section, key) == value);
        for (std::size_t j = 0; j < names.size(); ++j) {
            if (equalNoCase(names[j].first, section) && equalNoCase(names[j].second, key))
                continue;
            FUZZ_CHECK(FindProfileValue(changed, names[j].first, names[j].second) == before[j]);
        }
        FUZZ_CHECK(SetProfileValue(changed, section, key, value) == changed);
        if (i == 0) {
            const std::string path = ConfigPath(folder);
            writeFile(path, content);
            IniFile(path).WriteString(section, key, value);
            FUZZ_CHECK(readFile(path) == changed);
        }
    }

    // The settings the windows read from it.
    writeFile(ConfigPath(folder), content);
    const WindowSizes current{708, 500, 200};
    const LoggerSettings settings = ReadLoggerSettings(folder, current);
    const auto width = FindProfileValue(content, LoggerSection, "Width");
    const auto parsedWidth = width ? ParseProfileInteger(*width) : std::nullopt;
    FUZZ_CHECK(settings.sizes.width == parsedWidth.value_or(current.width));
    FUZZ_CHECK(settings.logDir.empty() || settings.logDir.back() == '/');
    const CodePageId page = ReadCodePage(folder);
    FUZZ_CHECK(IsSupportedCodePage(page));
    checkCodePages(content, page);
    return 0;
}
