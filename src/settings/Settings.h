#pragma once

#include "settings/CodePage.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qelt {

// The folder that holds config.ini, GroupFile.tdf and FilterFile.tdf, ending with '/'. The
// executable's folder for a portable copy: a config.ini is there already, or the folder is
// writable and outside the system's folders (/usr, /usr/local, /opt, /bin, /sbin). Otherwise
// $XDG_CONFIG_HOME/qelt-viewer/ (default ~/.config/qelt-viewer/), created when needed. Fixed on
// first use.
const std::string& AppDir();

// The AppDir rule for an executable at executablePath, reading the environment now.
std::string ResolveAppDir(const std::string& executablePath);

// dir with a '/' appended unless it is empty or already ends with one.
std::string WithTrailingSlash(std::string dir);

// The path of config.ini in appDir (which ends with '/').
std::string ConfigPath(const std::string& appDir);

// config.ini's section.
inline constexpr const char* LoggerSection = "Logger";

// The window sizes config.ini keeps: Width, Height and Separator.
struct WindowSizes
{
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t separator = 0;
};

// What ApplySettings reads: the sizes, and LogDir ending with '/' (empty when not configured).
struct LoggerSettings
{
    WindowSizes sizes;
    std::string logDir;
};

// Reads config.ini in appDir; a missing key or a value that is not a number keeps current's value.
LoggerSettings ReadLoggerSettings(const std::string& appDir, const WindowSizes& current);

// Writes Width, Height and Separator, in this order. Throws QeltError "Unable to write to %s".
void WriteWindowSizes(const std::string& appDir, const WindowSizes& sizes);

// Writes LogDir as given (no '/' added). Throws QeltError "Unable to write to %s".
void WriteLogDir(const std::string& appDir, const std::string& folder);

// config.ini's CodePage (never written by the program); DefaultCodePage when missing, not a
// number or not a supported code page.
CodePageId ReadCodePage(const std::string& appDir);

// Writes CodePage, which then applies at once. Throws QeltError "Unable to write to %s".
void WriteCodePage(const std::string& appDir, CodePageId codePage);

// The folders opened last, newest first, at most MaxRecentFolders, from config.ini's
// RecentFolders (the folders separated by '|').
inline constexpr std::size_t MaxRecentFolders = 8;
std::vector<std::string> ReadRecentFolders(const std::string& appDir);
// Puts folder first among the recent folders (once, with or without its last '/'). A folder whose
// name holds '|' or a line end cannot be kept and is left out. Throws QeltError "Unable to write
// to %s".
void AddRecentFolder(const std::string& appDir, const std::string& folder);

// The process-wide LogDir: empty, or a folder ending with '/'.
const std::string& LogDir();

// Sets LogDir, appending '/' to a non-empty folder that lacks it.
void SetLogDir(const std::string& folder);

// The names of folder's log files (log*.txt, letter case ignored; regular files, also through
// symbolic links), sorted by name without regard to ASCII case. Empty when folder cannot be read.
std::vector<std::string> ListLogFiles(const std::string& folder);

// As ListLogFiles; error becomes errno's reason when folder cannot be read, else 0.
std::vector<std::string> ListLogFiles(const std::string& folder, int& error);

// As ListLogFiles, but a folder that cannot be read throws QeltError
// "Cannot open folder <folder>" with a second line saying why.
std::vector<std::string> ListLogFilesOrThrow(const std::string& folder);

// True when name matches log*.txt without regard to ASCII case.
bool IsLogFileName(const std::string& name);

} // namespace qelt
