#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace qelt {

// A process of this machine that holds a file open for writing.
struct OpenWriter
{
    pid_t pid = 0;
    std::string program; // its command name, as the process table shows it
};

// Looks through the open descriptors of every other process we may see (/proc/PID/fd and the
// access mode in /proc/PID/fdinfo) for one that refers to the file (device, inode) and was opened
// for writing or for reading and writing. Descriptors opened for reading only do not count.
// Processes of other users are seen only with the right to look into them (root), and processes of
// other machines never.
std::optional<OpenWriter> FindOpenWriter(std::uint64_t device, std::uint64_t inode);

// A writer that holds the file open, not one that opens, appends and closes: FindOpenWriter
// asked again and again over about a third of a second, and the same process found every time.
std::optional<OpenWriter> FindLastingWriter(std::uint64_t device, std::uint64_t inode);

// "<program> (process <pid>) has the log open for writing."
std::string DescribeWriter(const OpenWriter& writer);

} // namespace qelt
