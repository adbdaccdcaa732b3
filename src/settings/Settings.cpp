#include "settings/Settings.h"

#include "common/QeltError.h"
#include "settings/IniFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <iterator>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qelt {

namespace {

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string homeFolder()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/tmp";
}

// mkdir -p; failures are left to the first write, which reports them.
void makeFolders(const std::string& path)
{
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            const std::string prefix = path.substr(0, pos);
            ::mkdir(prefix.c_str(), 0755);
        }
    }
}

std::string executablePath()
{
    std::string buffer(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0)
        return {};
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

std::string& logDirValue()
{
    static std::string value;
    return value;
}

// Reads the folder's entries; false with errno's reason when it cannot be opened.
bool listLogFiles(const std::string& folder, std::vector<std::string>& names, int& error)
{
    names.clear();
    const std::string dir = folder.empty() ? std::string("./") : WithTrailingSlash(folder);
    DIR* handle = ::opendir(dir.c_str());
    if (!handle) {
        error = errno;
        return false;
    }
    while (const dirent* entry = ::readdir(handle)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || !IsLogFileName(name))
            continue;
        // Directories are skipped, and so are FIFOs and devices: reading one could hang or never
        // end. A symbolic link counts as what it points to.
        struct stat st
        {};
        if (::stat((dir + name).c_str(), &st) != 0) {
            // A link to nothing, or to where we may not look, is no log; but an entry that cannot
            // be looked at itself means a folder that may not be searched, which is reported
            // rather than shown as a folder without logs.
            const int failure = errno;
            struct stat own
            {};
            if (::lstat((dir + name).c_str(), &own) != 0 && errno != ENOENT) {
                error = failure;
                ::closedir(handle);
                names.clear();
                return false;
            }
            continue;
        }
        if (!S_ISREG(st.st_mode))
            continue;
        names.push_back(name);
    }
    ::closedir(handle);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const auto less = [](char x, char y) {
            return static_cast<unsigned char>(asciiLower(x)) <
                   static_cast<unsigned char>(asciiLower(y));
        };
        if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), less))
            return true;
        if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), less))
            return false;
        return a < b; // names that differ only in case: a fixed order all the same
    });
    return true;
}

} // namespace

std::string WithTrailingSlash(std::string dir)
{
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

std::string ResolveAppDir(const std::string& executablePath)
{
    // A portable copy keeps its settings beside itself: one that has a config.ini there
    // already, or one unpacked or built outside the system's folders where it may write. An
    // installed program (under /usr, /usr/local or /opt) uses the user's configuration folder,
    // also when run as root, who may write anywhere.
    const auto slash = executablePath.rfind('/');
    if (slash != std::string::npos) {
        const std::string folder = executablePath.substr(0, slash + 1);
        static const char* const systemFolders[] = {"/usr/", "/opt/", "/bin/", "/sbin/"};
        const bool installed =
            std::any_of(std::begin(systemFolders), std::end(systemFolders),
                        [&](const char* prefix) { return folder.rfind(prefix, 0) == 0; });
        struct stat st
        {};
        const bool hasConfig = ::stat(ConfigPath(folder).c_str(), &st) == 0;
        if (hasConfig || (!installed && ::access(folder.c_str(), W_OK) == 0))
            return folder;
    }
    std::string config;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        config = xdg;
    else
        config = homeFolder() + "/.config";
    const std::string folder = WithTrailingSlash(config) + "qelt-viewer/";
    makeFolders(folder);
    return folder;
}

const std::string& AppDir()
{
    static const std::string dir = ResolveAppDir(executablePath());
    return dir;
}

std::string ConfigPath(const std::string& appDir)
{
    return WithTrailingSlash(appDir) + "config.ini";
}

LoggerSettings ReadLoggerSettings(const std::string& appDir, const WindowSizes& current)
{
    const IniFile ini(ConfigPath(appDir));
    LoggerSettings settings;
    settings.sizes.width = ini.ReadInteger(LoggerSection, "Width", current.width);
    settings.sizes.height = ini.ReadInteger(LoggerSection, "Height", current.height);
    settings.sizes.separator = ini.ReadInteger(LoggerSection, "Separator", current.separator);
    settings.logDir = WithTrailingSlash(ini.ReadString(LoggerSection, "LogDir", std::string()));
    return settings;
}

void WriteWindowSizes(const std::string& appDir, const WindowSizes& sizes)
{
    IniFile ini(ConfigPath(appDir));
    ini.WriteInteger(LoggerSection, "Width", sizes.width);
    ini.WriteInteger(LoggerSection, "Height", sizes.height);
    ini.WriteInteger(LoggerSection, "Separator", sizes.separator);
}

void WriteLogDir(const std::string& appDir, const std::string& folder)
{
    IniFile ini(ConfigPath(appDir));
    ini.WriteString(LoggerSection, "LogDir", folder);
}

CodePageId ReadCodePage(const std::string& appDir)
{
    const IniFile ini(ConfigPath(appDir));
    const CodePageId codePage = ini.ReadInteger(LoggerSection, "CodePage", DefaultCodePage);
    return IsSupportedCodePage(codePage) ? codePage : DefaultCodePage;
}

void WriteCodePage(const std::string& appDir, CodePageId codePage)
{
    IniFile ini(ConfigPath(appDir));
    ini.WriteInteger(LoggerSection, "CodePage", codePage);
}

namespace {

constexpr char RecentSeparator = '|';

bool Keepable(const std::string& folder)
{
    return !folder.empty() && folder.find_first_of("|\r\n") == std::string::npos;
}

} // namespace

std::vector<std::string> ReadRecentFolders(const std::string& appDir)
{
    const IniFile ini(ConfigPath(appDir));
    const std::string value = ini.ReadString(LoggerSection, "RecentFolders", std::string());
    std::vector<std::string> folders;
    std::size_t start = 0;
    while (start <= value.size() && folders.size() < MaxRecentFolders) {
        std::size_t end = value.find(RecentSeparator, start);
        if (end == std::string::npos)
            end = value.size();
        if (end > start)
            folders.push_back(WithTrailingSlash(value.substr(start, end - start)));
        start = end + 1;
    }
    return folders;
}

void AddRecentFolder(const std::string& appDir, const std::string& folder)
{
    const std::string first = WithTrailingSlash(folder);
    if (!Keepable(first))
        return;
    std::vector<std::string> folders{first};
    for (std::string& known : ReadRecentFolders(appDir)) {
        if (known != first && folders.size() < MaxRecentFolders)
            folders.push_back(std::move(known));
    }
    std::string value;
    for (const std::string& f : folders) {
        if (!value.empty())
            value += RecentSeparator;
        value += f;
    }
    IniFile ini(ConfigPath(appDir));
    ini.WriteString(LoggerSection, "RecentFolders", value);
}

const std::string& LogDir()
{
    return logDirValue();
}

void SetLogDir(const std::string& folder)
{
    logDirValue() = WithTrailingSlash(folder);
}

bool IsLogFileName(const std::string& name)
{
    static const std::string prefix = "log";
    static const std::string suffix = ".txt";
    if (name.size() < prefix.size() + suffix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (asciiLower(name[i]) != prefix[i])
            return false;
    }
    const std::size_t tail = name.size() - suffix.size();
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        if (asciiLower(name[tail + i]) != suffix[i])
            return false;
    }
    return true;
}

std::vector<std::string> ListLogFiles(const std::string& folder)
{
    std::vector<std::string> names;
    int error = 0;
    if (!listLogFiles(folder, names, error))
        names.clear();
    return names;
}

std::vector<std::string> ListLogFiles(const std::string& folder, int& error)
{
    std::vector<std::string> names;
    error = 0;
    if (!listLogFiles(folder, names, error))
        names.clear();
    return names;
}

std::vector<std::string> ListLogFilesOrThrow(const std::string& folder)
{
    std::vector<std::string> names;
    int error = 0;
    if (!listLogFiles(folder, names, error))
        throw QeltError("Cannot open folder " + folder + "\n" + std::strerror(error));
    return names;
}

} // namespace qelt
