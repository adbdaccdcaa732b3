#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qelt {

// A profile (INI) file read and written the way the platform's profile functions do it: section
// and key names compared without regard to ASCII case, values taken raw (backslashes kept, outer
// blanks and one pair of enclosing quotes removed), the first section and key of a name winning.
// Nothing is cached: every call reads the file afresh. Example:
//   IniFile ini(AppDir() + "config.ini");
//   int width = ini.ReadInteger("Logger", "Width", 708);
//   ini.WriteString("Logger", "LogDir", "/var/log/proxy");
class IniFile
{
public:
    // A profile file at path; the file need not exist.
    explicit IniFile(std::string path);

    // The file's path as given.
    const std::string& FileName() const { return m_path; }

    // The value of key in section, or nullopt when the file, the section or the key is missing.
    std::optional<std::string> ReadValue(std::string_view section, std::string_view key) const;

    // The value of key in section, or defaultValue when it is missing.
    std::string ReadString(std::string_view section, std::string_view key,
                           const std::string& defaultValue) const;

    // The value as a number (see ParseProfileInteger), or defaultValue when missing or not one.
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t defaultValue) const;

    // Sets key in section, keeping every other line's bytes; creates the file and the section
    // when missing; new lines end with CR LF. The file is replaced atomically (temporary file
    // and rename). Throws QeltError "Unable to write to <path>" when it cannot be written.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);

    // Writes value in decimal.
    void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);

private:
    std::string m_path;
};

// A profile number: optional sign, then decimal digits, or hexadecimal digits after "0x", "0X"
// or "$" (up to 32 bits, wrapping into the signed range); blanks around it are allowed.
// Anything else, or a decimal value outside 32 bits, is nullopt.
std::optional<std::int32_t> ParseProfileInteger(std::string_view text);

// The value of key in section of a profile file's bytes, by the rules of IniFile.
std::optional<std::string> FindProfileValue(std::string_view content, std::string_view section,
                                            std::string_view key);

// The bytes of a profile file after setting key in section, by the rules of IniFile::WriteString.
std::string SetProfileValue(std::string_view content, std::string_view section,
                            std::string_view key, std::string_view value);

} // namespace qelt
