#include "safefiles.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#ifndef Q_OS_UNIX
#include <QSaveFile>
#endif

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString quoted(const QString &path)
{
    return QLatin1Char('"') + QDir::toNativeSeparators(path) + QLatin1Char('"');
}

void logLinkRemoved(const QString &path)
{
    qDebug().noquote() << quoted(path)
                       << "is a symbolic link: removed the link itself, not what it leads to";
}

const QString linkRefused = QStringLiteral("a symbolic link, which is not followed");
const QString notRegular = QStringLiteral("not a regular file");

bool setReason(QString *reason, const QString &text)
{
    if (reason)
        *reason = text;
    return false;
}

#ifdef Q_OS_UNIX

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool isLink(const QByteArray &name)
{
    struct stat info;
    return ::lstat(name.constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

// Deeper than any release goes; each level holds one descriptor open.
constexpr int maxDepth = 256;
// Freeing the blocks of a removed file can keep the call waiting on the file
// system's journal (long with online discard), so files are removed by
// several threads at once, gathered across folders in batches.
constexpr size_t workers = 8;
constexpr size_t batchSize = 1024;
// Folders held open for the batch, beyond those on the walk's way down.
constexpr long maxOpenFolders = 128;

// A folder open for removals inside it, closed once nothing refers to it.
struct Folder
{
    Folder(int fd, QString path)
        : fd(fd)
        , path(std::move(path))
    {
    }
    ~Folder() { ::close(fd); }
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    const int fd;
    const QString path;
};

struct Entry
{
    std::shared_ptr<Folder> in;
    QByteArray name;
};

struct TreeRemoval
{
    QString firstFailure;
    // Files to unlink, then emptied folders to remove, deepest first.
    std::vector<Entry> files;
    std::vector<Entry> folders;
    long openFolders = 0;

    void failed(const QString &path, int error)
    {
        if (firstFailure.isEmpty())
            firstFailure = QStringLiteral("%1: %2").arg(quoted(path), systemReason(error));
    }
    void failed(const Entry &entry, int error)
    {
        failed(entry.in->path + QLatin1Char('/') + QFile::decodeName(entry.name), error);
    }

    // Opens the folder name in the folder at parent, never through a link;
    // one without permission to be read and written gets it first.
    static int openFolder(int parent, const QByteArray &name)
    {
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int fd = ::openat(parent, name.constData(), flags);
        struct stat info;
        if (fd < 0 && errno == EACCES
            && ::fstatat(parent, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISDIR(info.st_mode)
            && ::fchmodat(parent, name.constData(), (info.st_mode | S_IRWXU) & 07777, 0) == 0)
            fd = ::openat(parent, name.constData(), flags);
        struct stat self;
        if (fd >= 0 && ::fstat(fd, &self) == 0 && (self.st_mode & S_IRWXU) != S_IRWXU)
            ::fchmod(fd, (self.st_mode | S_IRWXU) & 07777);
        return fd;
    }

    // Removes what was gathered: the files, then the folders they emptied.
    void flush()
    {
        std::vector<int> errors(files.size(), 0);
        const auto unlinkFrom = [this, &errors](size_t first, size_t step) {
            for (size_t i = first; i < files.size(); i += step) {
                if (::unlinkat(files[i].in->fd, files[i].name.constData(), 0) != 0)
                    errors[i] = errno;
            }
        };
        if (files.size() < 2 * workers) {
            unlinkFrom(0, 1);
        } else {
            std::vector<std::thread> threads;
            for (size_t first = 0; first < workers; ++first)
                threads.emplace_back(unlinkFrom, first, workers);
            for (std::thread &thread : threads)
                thread.join();
        }
        for (size_t i = 0; i < files.size(); ++i) {
            if (errors[i] != 0)
                failed(files[i], errors[i]);
        }
        files.clear();
        for (const Entry &folder : folders) {
            if (::unlinkat(folder.in->fd, folder.name.constData(), AT_REMOVEDIR) != 0)
                failed(folder, errno);
        }
        folders.clear();
    }

    // Gathers everything in the folder for removal, flushing on the way.
    void empty(const std::shared_ptr<Folder> &folder, int depth)
    {
        const int listed = ::dup(folder->fd);
        DIR *dir = listed < 0 ? nullptr : ::fdopendir(listed);
        if (!dir) {
            failed(folder->path, errno);
            if (listed >= 0)
                ::close(listed);
            return;
        }
        std::vector<QByteArray> inner;
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            struct stat info;
            if (::fstatat(folder->fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISDIR(info.st_mode))
                inner.push_back(name);
            else
                files.push_back({folder, name});
        }
        ::closedir(dir);

        for (const QByteArray &name : inner) {
            const Entry entry {folder, name};
            if (depth >= maxDepth) {
                failed(entry, ELOOP);
                continue;
            }
            const int fd = openFolder(folder->fd, name);
            if (fd < 0) {
                // Replaced by a link or a file meanwhile: it goes as one.
                if (errno == ELOOP || errno == ENOTDIR)
                    files.push_back(entry);
                else
                    failed(entry, errno);
                continue;
            }
            ++openFolders;
            {
                const auto sub = std::shared_ptr<Folder>(
                    new Folder(fd, folder->path + QLatin1Char('/') + QFile::decodeName(name)),
                    [this](Folder *done) {
                        --openFolders;
                        delete done;
                    });
                empty(sub, depth + 1);
            }
            folders.push_back(entry);
            if (files.size() >= batchSize || openFolders > maxOpenFolders)
                flush();
        }
    }
};

#endif

} // namespace

bool SafeFiles::open(QFile &file, QIODevice::OpenMode mode, QString *reason)
{
    const QString path = file.fileName();
    const bool writes = mode & (QIODevice::WriteOnly | QIODevice::Append);
    const bool truncates = writes
        && ((mode & QIODevice::Truncate) || !(mode & (QIODevice::ReadOnly | QIODevice::Append)));
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    int flags
        = (writes ? ((mode & QIODevice::ReadOnly) || truncates ? O_RDWR : O_WRONLY) : O_RDONLY)
        | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    if (writes && !(mode & QIODevice::ExistingOnly))
        flags |= O_CREAT | (mode & QIODevice::NewOnly ? O_EXCL : 0);
    int fd = ::open(name.constData(), flags, 0666);
    // O_NOFOLLOW fails with ELOOP on a link (EMLINK on some BSDs).
    if (fd < 0 && (errno == ELOOP || errno == EMLINK) && isLink(name)) {
        if (!writes)
            return setReason(reason, linkRefused);
        if (::unlink(name.constData()) != 0)
            return setReason(
                reason, QStringLiteral("cannot remove the link: %1").arg(systemReason(errno)));
        logLinkRemoved(path);
        fd = ::open(name.constData(), flags, 0666);
    }
    if (fd < 0) {
        // A FIFO without a reader answers a write so.
        if (errno == ENXIO)
            return setReason(reason, notRegular);
        return setReason(reason, systemReason(errno));
    }
    struct stat checked;
    struct stat opened;
    if (::fstat(fd, &checked) != 0 || !S_ISREG(checked.st_mode)) {
        ::close(fd);
        return setReason(reason, notRegular);
    }
    // The device by the name, which must be the file just checked.
    // Made here if it was to be new: by the name it exists now.
    QIODevice::OpenMode byName = mode & ~(QIODevice::Truncate | QIODevice::NewOnly);
    if (truncates)
        byName |= QIODevice::ReadWrite;
    bool same = file.open(byName);
    ::close(fd);
    if (!same)
        return setReason(reason, file.errorString());
    same = ::fstat(file.handle(), &opened) == 0 && opened.st_dev == checked.st_dev
        && opened.st_ino == checked.st_ino;
    if (!same) {
        file.close();
        return setReason(reason, QStringLiteral("replaced while it was being opened"));
    }
    if (truncates && !file.resize(0)) {
        file.close();
        return setReason(reason, file.errorString());
    }
    return true;
#else
    const QFileInfo info(path);
    if (info.isSymLink()) {
        if (!writes)
            return setReason(reason, linkRefused);
        if (!QFile::remove(path))
            return setReason(reason, QStringLiteral("cannot remove the link"));
        logLinkRemoved(path);
    } else if (info.exists() && !info.isFile()) {
        return setReason(reason, notRegular);
    }
    if (!file.open(mode))
        return setReason(reason, file.errorString());
    return true;
#endif
}

bool SafeFiles::writeWhole(const QString &path, const QByteArray &data, QString *reason)
{
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    struct stat there;
    const bool exists = ::lstat(name.constData(), &there) == 0;
    if (exists && S_ISDIR(there.st_mode))
        return setReason(reason, notRegular);
    // mkstemp creates its file exclusively: a link at the scratch name fails it.
    QByteArray scratch = name + ".XXXXXX";
    const int fd = ::mkostemp(scratch.data(), O_CLOEXEC);
    if (fd < 0)
        return setReason(reason, systemReason(errno));
    // The file keeps its permissions; a new one is readable by all.
    const mode_t mode = exists && S_ISREG(there.st_mode) ? (there.st_mode & 0777) : 0644;
    qint64 written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    int error = 0;
    if (written != data.size())
        error = errno ? errno : EIO;
    else if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)
        error = errno;
    ::close(fd);
    // rename() replaces a link at the name; it never writes where it leads.
    if (error == 0 && ::rename(scratch.constData(), name.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(scratch.constData());
        return setReason(reason, systemReason(error));
    }
    if (exists && S_ISLNK(there.st_mode))
        logLinkRemoved(path);
    return true;
#else
    if (QFileInfo(path).isSymLink() && QFile::remove(path))
        logLinkRemoved(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
        return setReason(reason, file.errorString());
    return true;
#endif
}

bool SafeFiles::removeTree(const QString &path, QString *reason)
{
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::lstat(name.constData(), &info) != 0)
        return errno == ENOENT
            || setReason(reason, QStringLiteral("%1: %2").arg(quoted(path), systemReason(errno)));
    if (S_ISDIR(info.st_mode)) {
        TreeRemoval removal;
        const int fd = TreeRemoval::openFolder(AT_FDCWD, name);
        if (fd >= 0) {
            removal.empty(std::make_shared<Folder>(fd, path), 0);
            removal.flush();
            if (::rmdir(name.constData()) != 0)
                removal.failed(path, errno);
            return removal.firstFailure.isEmpty() || setReason(reason, removal.firstFailure);
        }
        // Replaced by a link or a file since: removed as one below.
        if (errno != ELOOP && errno != ENOTDIR)
            return setReason(
                reason, QStringLiteral("%1: %2").arg(quoted(path), systemReason(errno)));
    }
    const bool link = isLink(name);
    if (::unlink(name.constData()) != 0)
        return errno == ENOENT
            || setReason(reason, QStringLiteral("%1: %2").arg(quoted(path), systemReason(errno)));
    if (link)
        logLinkRemoved(path);
    return true;
#else
    const QFileInfo info(path);
    bool removed = true;
    // A junction is removed as the empty folder it seems, its target untouched.
    if (info.isJunction())
        removed = QDir().rmdir(path);
    else if (info.isSymLink() || info.isFile())
        removed = QFile::remove(path);
    else if (info.isDir())
        removed = QDir(path).removeRecursively();
    return removed || setReason(reason, quoted(path));
#endif
}
