#include "installrecord.h"

#include "installpaths.h"
#include "minisignformat.h"
#include "releasefiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace InstallPaths;

namespace {

int modeOnDisk(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return int(info.st_mode & 07777);
#else
    Q_UNUSED(path);
    return 0;
#endif
}

QString linkTarget(const QString &path)
{
#ifdef Q_OS_UNIX
    QByteArray target(4097, Qt::Uninitialized);
    const ssize_t size
        = ::readlink(QFile::encodeName(path).constData(), target.data(), size_t(target.size()));
    if (size > 0 && size < target.size())
        return QFile::decodeName(target.left(int(size)));
#else
    Q_UNUSED(path);
#endif
    return QString();
}

void leave(const QString &path, const QString &why)
{
    qDebug().noquote() << QStringLiteral("Left in place: %1 (%2)").arg(quoted(path), why);
}

} // namespace

bool InstallRecord::read(const QString &root, DeltaIndex *record)
{
    const QString path = root + QLatin1Char('/') + QLatin1String(ReleaseFiles::installedFiles);
    const Kind kind = kindOnDisk(path);
    if (kind == Kind::None)
        return false;
    QFile file(path);
    QString reason;
    if (kind != Kind::File || file.size() > ReleaseFiles::maxDeltaIndexSize
        || !file.open(QIODevice::ReadOnly))
        reason = QStringLiteral("not a readable file");
    else if (DeltaIndex::fromJson(file.readAll(), record, &reason))
        return true;
    qDebug().noquote() << QStringLiteral("The record of the installed files %1 cannot be used "
                                         "(%2); it is not followed")
                              .arg(quoted(path), reason);
    return false;
}

DeltaIndex::Entry InstallRecord::entryOnDisk(
    const QString &path, DeltaIndex::Kind kind, const QString &where)
{
    DeltaIndex::Entry entry;
    entry.path = path;
    entry.kind = kind;
    entry.source = DeltaIndex::Source::Installed;
    entry.mode = kind == DeltaIndex::Kind::Link ? 0 : modeOnDisk(where);
    if (kind == DeltaIndex::Kind::Link)
        entry.target = linkTarget(where);
    return entry;
}

bool InstallRecord::matches(const QString &path, const DeltaIndex::Entry &entry)
{
    const Kind kind = kindOnDisk(path);
    switch (entry.kind) {
    case DeltaIndex::Kind::Dir:
        return kind == Kind::Dir;
    case DeltaIndex::Kind::Link:
        return kind == Kind::Link && linkTarget(path) == entry.target;
    case DeltaIndex::Kind::File:
        break;
    }
    QByteArray hash;
    QString why;
    return kind == Kind::File && QFileInfo(path).size() == entry.size
        && Minisign::prehashFile(path, &hash, &why) && hash == entry.hash;
}

QStringList InstallRecord::removable(
    const QString &root, const QMap<QString, DeltaIndex::Entry> &gone)
{
    QSet<QString> going;
    QSet<QString> left;
    // A folder's paths sort after it: from the last, each folder is judged
    // once all it holds has been.
    for (auto it = gone.constEnd(); it != gone.constBegin();) {
        --it;
        const QString &path = it.key();
        const QString there = root + QLatin1Char('/') + path;
        if (!realFolders(root, parentOf(path), false)) {
            if (existsOnDisk(there) || !realFolders(root, parentOf(path), true)) {
                left.insert(path);
                leave(path, QStringLiteral("a folder on its way is a link"));
            }
            continue;
        }
        const Kind kind = kindOnDisk(there);
        if (kind == Kind::None)
            continue;
        if (it->kind != DeltaIndex::Kind::Dir || kind != Kind::Dir) {
            if (matches(there, *it)) {
                going.insert(path);
            } else {
                left.insert(path);
                leave(path, QStringLiteral("changed since it was installed"));
            }
            continue;
        }
        bool empty = true;
        bool explained = true;
        const QStringList names = QDir(there).entryList(
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        for (const QString &name : names) {
            const QString inside = path + QLatin1Char('/') + name;
            if (!going.contains(inside)) {
                empty = false;
                explained = explained && left.contains(inside);
            }
        }
        if (empty) {
            going.insert(path);
            continue;
        }
        left.insert(path);
        // A folder kept for what is said above needs no line of its own.
        if (!explained)
            leave(path, QStringLiteral("it holds files the release did not install"));
    }
    QStringList topmost;
    for (const QString &path : gone.keys()) {
        if (going.contains(path) && !going.contains(parentOf(path)))
            topmost.append(path);
    }
    return topmost;
}
