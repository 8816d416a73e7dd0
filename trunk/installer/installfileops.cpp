#include "installfileops.h"

#include "installpaths.h"
#include "safefiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

std::atomic<int> faultAt {0};
std::atomic<bool> faultStops {false};
std::atomic<int> operationCount {0};

// Flushes everything written to the file system holding path, so that what
// the journal promises is on disk before the journal is.
bool syncFileSystem(const QString &path)
{
#if defined(Q_OS_LINUX)
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const int result = ::syncfs(fd);
    const int error = errno;
    ::close(fd);
    errno = error;
    return result == 0;
#elif defined(Q_OS_UNIX)
    Q_UNUSED(path);
    ::sync();
    return true;
#else
    Q_UNUSED(path);
    return true;
#endif
}

} // namespace

using InstallPaths::Kind;
using InstallPaths::kindOnDisk;
using InstallPaths::quoted;

InstallFileOps::InstallFileOps()
{
    operationCount = 0;
}

bool InstallFileOps::makePath(const QString &path)
{
    if (!allowed() || !QDir().mkpath(path))
        return fail(QStringLiteral("Cannot create the folder %1: %2"), path);
    return true;
}

bool InstallFileOps::removeDir(const QString &path)
{
    if (!allowed() || !QDir().rmdir(path))
        return fail(QStringLiteral("Cannot remove the folder %1: %2"), path);
    return true;
}

bool InstallFileOps::removeTree(const QString &path)
{
    if (!InstallPaths::existsOnDisk(path))
        return true;
    if (!allowed())
        return fail(QStringLiteral("Cannot remove %1: %2"), path);
    QString why;
    return SafeFiles::removeTree(path, &why)
        || refuse(QStringLiteral("Cannot remove %1: %2").arg(quoted(path), why));
}

bool InstallFileOps::rename(const QString &from, const QString &to)
{
    if (!allowed() || !QDir().rename(from, to))
        return fail(QStringLiteral("Cannot move %1 to %2: %3").arg(quoted(from)), to);
    return true;
}

bool InstallFileOps::renameOver(const QString &from, const QString &to)
{
    bool renamed = allowed();
#ifdef Q_OS_WIN
    renamed = renamed
        && MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
            reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
            MOVEFILE_REPLACE_EXISTING);
    if (!renamed)
        errno = EACCES;
#else
    renamed = renamed
        && ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
    if (!renamed)
        return fail(QStringLiteral("Cannot move %1 to %2: %3").arg(quoted(from)), to);
    return true;
}

bool InstallFileOps::linkOrCopy(const QString &from, const QString &to, const QString &scratch)
{
    if (!allowed())
        return fail(QStringLiteral("Cannot keep a copy of %1: %2"), from);
#ifdef Q_OS_UNIX
    const QByteArray source = QFile::encodeName(from);
    if (::linkat(AT_FDCWD, source.constData(), AT_FDCWD, QFile::encodeName(to).constData(), 0) == 0)
        return true;
    if (errno != EXDEV && errno != EPERM && errno != ENOTSUP && errno != EMLINK)
        return fail(QStringLiteral("Cannot keep a copy of %1: %2"), from);
#endif
    QFile::remove(scratch);
    bool copied;
    if (kindOnDisk(from) == Kind::Link) {
#ifdef Q_OS_UNIX
        QByteArray target(4097, Qt::Uninitialized);
        const ssize_t size = ::readlink(source.constData(), target.data(), target.size());
        copied = size > 0 && size < target.size()
            && ::symlink(target.left(int(size)).constData(), QFile::encodeName(scratch).constData())
                == 0;
#else
        copied = false;
#endif
    } else {
        copied = QFile::copy(from, scratch);
    }
    if (!copied || !QDir().rename(scratch, to)) {
        const int error = errno;
        QFile::remove(scratch);
        errno = error;
        return fail(QStringLiteral("Cannot keep a copy of %1: %2"), from);
    }
    return true;
}

bool InstallFileOps::create(QFile &file)
{
    if (!allowed() || !file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(QStringLiteral("Cannot create %1: %2"), file.fileName());
    return true;
}

bool InstallFileOps::startWriting(const QFile &file)
{
    return allowed() || fail(QStringLiteral("Cannot write %1: %2"), file.fileName());
}

bool InstallFileOps::setMode(const QString &path, int mode)
{
#ifdef Q_OS_UNIX
    const bool set = allowed() && ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
#else
    const int bits
        = ((mode >> 6) & 7) << 12 | ((mode >> 6) & 7) << 8 | ((mode >> 3) & 7) << 4 | (mode & 7);
    const bool set = allowed() && QFile::setPermissions(path, QFile::Permissions(bits));
#endif
    if (!set)
        return fail(QStringLiteral("Cannot set the permissions of %1: %2"), path);
    return true;
}

bool InstallFileOps::makeLink(const QString &target, const QString &path)
{
#ifdef Q_OS_UNIX
    if (allowed()
        && ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData())
            == 0)
        return true;
#else
    errno = ENOSYS;
#endif
    return fail(QStringLiteral("Cannot create the link %1: %2"), path);
}

bool InstallFileOps::sync(const QString &path)
{
    if (!allowed() || !syncFileSystem(path))
        return fail(QStringLiteral("Cannot flush %1 to disk: %2"), path);
    return true;
}

bool InstallFileOps::writeWhole(const QString &path, const QByteArray &data)
{
    if (!allowed())
        return fail(QStringLiteral("Cannot write %1: %2"), path);
    QString why;
    return SafeFiles::writeWhole(path, data, &why)
        || refuse(QStringLiteral("Cannot write %1: %2").arg(quoted(path), why));
}

bool InstallFileOps::remove(const QString &path)
{
    if (!allowed() || !QFile::remove(path))
        return fail(QStringLiteral("Cannot remove %1: %2"), path);
    return true;
}

bool InstallFileOps::refuse(const QString &reason)
{
    if (error.isEmpty())
        error = reason;
    return false;
}

bool InstallFileOps::fail(const QString &message, const QString &path)
{
    return refuse(message.arg(quoted(path), qt_error_string(errno)));
}

void InstallFileOps::setFault(int operation, bool stop)
{
    faultStops = stop;
    faultAt = operation;
}

int InstallFileOps::operations()
{
    return operationCount;
}

bool InstallFileOps::allowed()
{
    if (stopped)
        return false;
    if (++operationCount != faultAt.load())
        return true;
    stopped = faultStops.load();
    errno = EIO;
    return false;
}
