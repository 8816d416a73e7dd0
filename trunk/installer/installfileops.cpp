#include "installfileops.h"

#include "installer.h"
#include "instancelock.h"
#include "releasefiles.h"
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

#ifdef Q_OS_UNIX
bool statNoFollow(const QString &path, struct stat &info)
{
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}
#endif

} // namespace

namespace InstallPaths {

Kind kindOnDisk(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return Kind::Link;
    if (!info.exists())
        return Kind::None;
    return info.isDir() ? Kind::Dir : Kind::File;
}

bool sameFile(const QString &a, const QString &b)
{
#ifdef Q_OS_UNIX
    struct stat first;
    struct stat second;
    return statNoFollow(a, first) && statNoFollow(b, second) && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
#else
    // No inode to compare: a copy of the backup is judged by its contents.
    QFile first(a);
    QFile second(b);
    return first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly)
        && first.size() == second.size() && first.readAll() == second.readAll();
#endif
}

int folderMode(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat info;
    if (!statNoFollow(path, info) || !S_ISDIR(info.st_mode))
        return -1;
    return int(info.st_mode & 07777);
#else
    return kindOnDisk(path) == Kind::Dir ? 0755 : -1;
#endif
}

bool realFolders(const QString &root, const QString &relativeFolder, bool missingAllowed)
{
    QString path = root;
    const QStringList names = relativeFolder.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &name : names) {
        path += QLatin1Char('/') + name;
        const Kind kind = kindOnDisk(path);
        if (kind == Kind::None)
            return missingAllowed;
        if (kind != Kind::Dir)
            return false;
    }
    return true;
}

QString quoted(const QString &path)
{
    return QLatin1Char('"') + QDir::toNativeSeparators(path) + QLatin1Char('"');
}

QString parentOf(const QString &relative)
{
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString(QLatin1String("")) : relative.left(slash);
}

QString relativeEntryPath(QString name)
{
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (name.startsWith(QLatin1Char('/')) || (name.size() >= 2 && name.at(1) == QLatin1Char(':')))
        return QString();
    QStringList parts;
    for (const QString &part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (parts.isEmpty())
                return QString();
            parts.removeLast();
            continue;
        }
        parts.append(part);
    }
    return parts.join(QLatin1Char('/')) + QLatin1String("");
}

bool isReserved(const QString &relative)
{
    const QString first = relative.section(QLatin1Char('/'), 0, 0);
    // The updater's own files: an entry there would replace what the
    // updater reads or writes next, or be removed by it.
    for (const char *name : {Installer::stagingFolderName, Installer::backupFolderName,
             Installer::journalFileName, ReleaseFiles::state, ReleaseFiles::stateCopy, ReleaseFiles::stateLock,
             ReleaseFiles::applicationRunning,
             ReleaseFiles::installedFiles, ReleaseFiles::previousVersion,
             ReleaseFiles::deltaStaging, ReleaseFiles::downloadedVersionFile,
             ReleaseFiles::mirrorVersionFile, ReleaseFiles::archive, ReleaseFiles::archiveSignature,
             ReleaseFiles::partialArchive, ReleaseFiles::manifest, ReleaseFiles::manifestSignature,
             ReleaseFiles::partialDelta, ReleaseFiles::downloadedDeltaIndex}) {
        if (first.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return true;
    }
    const QString record = QLatin1String(ReleaseFiles::partialArchive)
        + QLatin1String(ReleaseFiles::partialRecordSuffix);
    if (first.compare(record, Qt::CaseInsensitive) == 0)
        return true;
    // The running updater's lock: replacing it would let a second updater in.
    return first.compare(QLatin1String(InstanceLock::baseName), Qt::CaseInsensitive) == 0;
}

} // namespace InstallPaths

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
