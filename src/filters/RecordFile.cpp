#include "filters/RecordFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qelt {

namespace {

// Whether the folder that would hold path exists; tells a missing file from a missing folder.
bool parentFolderExists(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return true;
    const std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    struct stat st
    {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Moves one record of size bytes at offset through pread or pwrite, going on after an
// interrupted or partial transfer; a transfer that moves nothing (end of file, nothing written)
// fails with endCode.
template <typename Call, typename Bytes>
void transferRecord(Call call, int fd, std::int64_t offset, Bytes* bytes, std::size_t size,
                    const std::string& path, int endCode)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n =
            call(fd, bytes + done, size - done, static_cast<off_t>(offset + std::int64_t(done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw FileIOErrorFromErrno(errno, path);
        if (n == 0)
            throw MakeFileIOError(endCode);
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

FileIOError MakeFileIOError(int code)
{
    switch (code) {
    case FileNotFound:
        return FileIOError(code, "File not found");
    case InvalidFilename:
        return FileIOError(code, "Invalid filename");
    case TooManyOpenFiles:
        return FileIOError(code, "Too many open files");
    case FileAccessDenied:
        return FileIOError(code, "File access denied");
    case ReadBeyondEnd:
        return FileIOError(code, "Read beyond end of file");
    case DiskFull:
        return FileIOError(code, "Disk full");
    default:
        return FileIOError(code, "I/O error " + std::to_string(code));
    }
}

// errno          | message                 | why
// ---------------+-------------------------+---------------------------------------------------
// ENOENT         | File not found          | the file is missing in an existing folder
// ENOENT         | Invalid filename        | the folder itself is missing (a path not found)
// ENOTDIR        | Invalid filename        | a component of the path is not a folder
// ENAMETOOLONG   | Invalid filename        | the name cannot be a file name here
// ELOOP, EINVAL  | Invalid filename        |
// EMFILE, ENFILE | Too many open files     |
// EACCES, EPERM  | File access denied      | no permission, read-only file or folder
// EROFS, EISDIR  | File access denied      | a read-only mount; a folder where a file should be
// ETXTBSY, EBUSY | File access denied      | in use in a way that forbids writing
// ENOSPC, EDQUOT | Disk full               | also a write that stored fewer bytes than a record
// EFBIG          | Disk full               | the file cannot grow
// (short read)   | Read beyond end of file | the file was shortened under us
// anything else  | I/O error <errno>       | EIO and the rest, with the system's number
FileIOError FileIOErrorFromErrno(int error, const std::string& path)
{
    switch (error) {
    case ENOENT:
        return MakeFileIOError(parentFolderExists(path) ? FileNotFound : InvalidFilename);
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EINVAL:
        return MakeFileIOError(InvalidFilename);
    case EMFILE:
    case ENFILE:
        return MakeFileIOError(TooManyOpenFiles);
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
    case EBUSY:
        return MakeFileIOError(FileAccessDenied);
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return MakeFileIOError(DiskFull);
    default:
        // Not through MakeFileIOError: EIO is 5, which would read as "File access denied".
        return FileIOError(error, "I/O error " + std::to_string(error));
    }
}

bool FileExists(const std::string& path)
{
    struct stat st
    {};
    if (::stat(path.c_str(), &st) == 0)
        return !S_ISDIR(st.st_mode);
    // Only a missing name is no file. A folder that may not be searched, a loop of links or a
    // failing disk says nothing about the file: taking it for none would show an empty store.
    if (errno == ENOENT || errno == ENOTDIR)
        return false;
    throw FileIOErrorFromErrno(errno, path);
}

RecordFile::~RecordFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void RecordFile::openWith(const std::string& path, std::size_t recordSize, int flags)
{
    Close();
    if (path.empty())
        throw MakeFileIOError(InvalidFilename);
    const int fd = ::open(path.c_str(), flags | O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0)
        throw FileIOErrorFromErrno(errno, path);
    // A FIFO or a device would block or never end: only regular files hold records.
    struct stat st
    {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw MakeFileIOError(FileAccessDenied);
    }
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if (statusFlags >= 0)
        ::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK);
    m_fd = fd;
    m_recordSize = recordSize == 0 ? 1 : recordSize;
    m_offset = 0;
    m_path = path;
}

void RecordFile::Open(const std::string& path, std::size_t recordSize)
{
    openWith(path, recordSize, 0);
}

void RecordFile::Create(const std::string& path, std::size_t recordSize)
{
    openWith(path, recordSize, O_CREAT | O_TRUNC);
}

void RecordFile::OpenOrCreate(const std::string& path, std::size_t recordSize)
{
    openWith(path, recordSize, O_CREAT);
}

void RecordFile::requireOpen() const
{
    // A closed file behaves as the platform's closed file variable: an I/O error 103.
    if (m_fd < 0)
        throw MakeFileIOError(103);
}

RecordIndex RecordFile::Count() const
{
    requireOpen();
    struct stat st
    {};
    if (::fstat(m_fd, &st) != 0)
        throw FileIOErrorFromErrno(errno, m_path);
    return static_cast<RecordIndex>(st.st_size) / static_cast<RecordIndex>(m_recordSize);
}

RecordIndex RecordFile::Position() const
{
    requireOpen();
    return m_offset / static_cast<RecordIndex>(m_recordSize);
}

bool RecordFile::AtEnd() const
{
    return Position() >= Count();
}

void RecordFile::ReadNext(void* record)
{
    requireOpen();
    transferRecord(::pread, m_fd, m_offset, static_cast<char*>(record), m_recordSize, m_path,
                   ReadBeyondEnd);
    m_offset += static_cast<std::int64_t>(m_recordSize);
}

void RecordFile::Write(const void* record)
{
    requireOpen();
    transferRecord(::pwrite, m_fd, m_offset, static_cast<const char*>(record), m_recordSize, m_path,
                   DiskFull);
    m_offset += static_cast<std::int64_t>(m_recordSize);
}

void RecordFile::Seek(RecordIndex n)
{
    requireOpen();
    if (n < 0)
        throw MakeFileIOError(131); // negative seek, as the platform reports it
    m_offset = n * static_cast<RecordIndex>(m_recordSize);
}

void RecordFile::Truncate()
{
    requireOpen();
    while (::ftruncate(m_fd, static_cast<off_t>(m_offset)) != 0) {
        if (errno != EINTR)
            throw FileIOErrorFromErrno(errno, m_path);
    }
}

void RecordFile::Close()
{
    if (m_fd < 0)
        return;
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR)
        throw FileIOErrorFromErrno(errno, m_path);
}

} // namespace qelt
