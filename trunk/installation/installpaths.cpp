#include "installpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

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

} // namespace InstallPaths
