#pragma once

#include "filters/Records.h"
#include "settings/TempFolder.h"

#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qelt::test {

// Raw record files, built byte by byte so the tests do not read the layout through the code
// under test.
inline std::string groupBytes(const std::string& name, ColorValue colour)
{
    std::string record(GroupRecordSize, '\0');
    record[0] = static_cast<char>(name.size());
    record.replace(1, name.size(), name);
    for (int i = 0; i < 4; ++i)
        record[28 + static_cast<std::size_t>(i)] = static_cast<char>((colour >> (8 * i)) & 0xFF);
    return record;
}

inline std::string filterBytes(const std::string& group, const std::string& text)
{
    std::string record(FilterRecordSize, '\0');
    record[0] = static_cast<char>(group.size());
    record.replace(1, group.size(), group);
    record[26] = static_cast<char>(text.size());
    record.replace(27, text.size(), text);
    return record;
}

inline std::string groupFile(const std::vector<std::pair<std::string, ColorValue>>& groups)
{
    std::string bytes;
    for (const auto& [name, colour] : groups)
        bytes += groupBytes(name, colour);
    return bytes;
}

inline std::string filterFile(const std::vector<std::pair<std::string, std::string>>& filters)
{
    std::string bytes;
    for (const auto& [group, text] : filters)
        bytes += filterBytes(group, text);
    return bytes;
}

// Runs work in a child process as the unprivileged user 'nobody' when the tests run as root, so
// that file permissions hold. Returns what work returned, or "<crash>".
inline std::string runAsNobody(const std::function<std::string()>& work)
{
    int channel[2];
    if (::pipe(channel) != 0)
        return "<pipe>";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(channel[0]);
        std::string result;
        // An unprivileged test run is subject to permissions already.
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            result = "<setuid>";
        else
            result = work();
        [[maybe_unused]] const auto written = ::write(channel[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string result;
    char buffer[256];
    ssize_t n = 0;
    while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0)
        result.append(buffer, static_cast<std::size_t>(n));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? result : "<crash>";
}

// Opens a temporary folder to every user, for runAsNobody.
inline void openToAll(const TempFolder& dir)
{
    ::chmod(dir.path().c_str(), 0777);
}

} // namespace qelt::test
