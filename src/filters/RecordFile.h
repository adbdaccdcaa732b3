#pragma once

#include "common/QeltError.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace qelt {

// Record numbers and counts of a record file.
using RecordIndex = std::int64_t;

// The file I/O error of the record files. what() is the system's message ("File not found",
// "File access denied", "I/O error 22", ...); Code() the platform-style code behind it.
class FileIOError : public QeltError
{
public:
    FileIOError(int code, const std::string& message) : QeltError(message), m_code(code) {}
    int Code() const { return m_code; }

private:
    int m_code;
};

// Codes of the file I/O error, as the record-file layer reports them.
enum FileIOCode : int
{
    FileNotFound = 2,
    InvalidFilename = 3,
    TooManyOpenFiles = 4,
    FileAccessDenied = 5,
    ReadBeyondEnd = 100,
    DiskFull = 101,
};

// The FileIOError for a failed system call's errno (see the table in RecordFile.cpp).
FileIOError FileIOErrorFromErrno(int error, const std::string& path);

// The FileIOError for code: "File not found", ..., or "I/O error <code>".
FileIOError MakeFileIOError(int code);

// One file of fixed-size records, opened read-write and shared (no locks), positioned and
// transferred in whole records. Every failing call throws FileIOError; the destructor closes
// the file, so an operation abandoned by an error leaves nothing open. Example:
//   RecordFile file;
//   file.Open(path, 32);
//   while (!file.AtEnd()) file.ReadNext(buffer);
class RecordFile
{
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Opens an existing regular file for reading and writing; position 0.
    void Open(const std::string& path, std::size_t recordSize);
    // Creates the file, or empties an existing one, and opens it as Open does.
    void Create(const std::string& path, std::size_t recordSize);
    // Opens the file as Open does, creating it empty only when it is missing: unlike Create it
    // never empties a file that another program created a moment before.
    void OpenOrCreate(const std::string& path, std::size_t recordSize);
    // File length divided by the record size, rounded down.
    RecordIndex Count() const;
    // Current byte offset divided by the record size, rounded down.
    RecordIndex Position() const;
    // True when Position() is at least Count().
    bool AtEnd() const;
    // Reads one record (recordSize bytes) and advances; a short read fails with code 100.
    void ReadNext(void* record);
    // Writes one record and advances, extending the file at its end; a short write fails with 101.
    void Write(const void* record);
    // Moves to record n.
    void Seek(RecordIndex n);
    // Cuts the file at the current position.
    void Truncate();
    // Closes the file; harmless when it is not open.
    void Close();
    // True between a successful Open or Create and Close.
    bool IsOpen() const { return m_fd >= 0; }

private:
    void openWith(const std::string& path, std::size_t recordSize, int flags);
    void requireOpen() const;

    int m_fd = -1;
    std::size_t m_recordSize = 1;
    std::int64_t m_offset = 0;
    std::string m_path;
};

// True when path names an existing file that is not a folder (a symbolic link counts as what it
// points to), as the store's existence tests need it. False only when the name is missing (or a
// part of its path is no folder); throws FileIOError when the file cannot be looked at, such as
// in a folder that may not be searched ("File access denied").
bool FileExists(const std::string& path);

} // namespace qelt
