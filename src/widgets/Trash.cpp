#include "widgets/Trash.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStorageInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool statPath(const QString& path, struct stat& st, bool follow = true)
{
    const QByteArray encoded = QFile::encodeName(path);
    return (follow ? ::stat(encoded.constData(), &st) : ::lstat(encoded.constData(), &st)) == 0;
}

bool writableFolder(const QString& path)
{
    struct stat st
    {};
    return statPath(path, st, false) && S_ISDIR(st.st_mode) &&
           ::access(QFile::encodeName(path).constData(), W_OK | X_OK) == 0;
}

// A folder that exists and may be written, or could be made in a parent that may.
bool usableFolder(const QString& path)
{
    struct stat st
    {};
    if (statPath(path, st, false))
        return writableFolder(path);
    return writableFolder(QFileInfo(path).absolutePath());
}

// The nearest folder at or above path that exists.
QString existingAncestor(QString path)
{
    struct stat st
    {};
    while (!statPath(path, st) && path != QLatin1String("/"))
        path = QFileInfo(path).absolutePath();
    return path;
}

} // namespace

bool CanMoveToTrash(const QString& path)
{
    struct stat file
    {};
    if (!statPath(path, file))
        return false;
    const QStorageInfo source(path);
    if (source.isValid() && source != QStorageInfo(QDir::home())) {
        // The trash folders at the top of the file's own file system.
        const QString top = source.rootPath();
        const QString uid = QString::number(::getuid());
        const QString shared = top + QLatin1String("/.Trash");
        struct stat st
        {};
        if (statPath(shared, st, false) && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) &&
            usableFolder(shared + QLatin1Char('/') + uid))
            return true;
        if (usableFolder(top + QLatin1String("/.Trash-") + uid))
            return true;
    }
    // The home trash takes the file by a rename only on the same file system.
    QString data = QFile::decodeName(qgetenv("XDG_DATA_HOME"));
    if (data.isEmpty())
        data = QDir::home().filePath(QStringLiteral(".local/share"));
    const QString trash = existingAncestor(QDir::cleanPath(data + QLatin1String("/Trash")));
    struct stat st
    {};
    return statPath(trash, st) && S_ISDIR(st.st_mode) && st.st_dev == file.st_dev &&
           ::access(QFile::encodeName(trash).constData(), W_OK | X_OK) == 0;
}
