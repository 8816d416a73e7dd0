#ifndef TESTLIB_ZIPARCHIVE_H
#define TESTLIB_ZIPARCHIVE_H

// Update archives built in the test, and what an installation holds on disk,
// for comparing one installation with another byte for byte.

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <sys/stat.h>
#include <unistd.h>

struct ZipEntry
{
    enum Type { File, Dir, Link };

    QString name;
    QByteArray data; // a file's contents or a link's target
    Type type = File;
    int mode = 0644; // Unix permission bits; -1 for an entry made without them
};

inline ZipEntry zipLink(const QString &name, const QByteArray &target)
{
    return {name, target, ZipEntry::Link, 0777};
}

// Writes a deflated zip (stored with `stored`, so a byte of an entry can be
// damaged on purpose).
inline bool writeZip(const QString &path, const QList<ZipEntry> &entries, bool stored = false)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const ZipEntry &entry : entries) {
        QuaZipFile out(&zip);
        QuaZipNewInfo info(entry.type == ZipEntry::Dir && !entry.name.endsWith('/')
                ? entry.name + '/'
                : entry.name);
        if (entry.mode >= 0) {
            const quint32 type = entry.type == ZipEntry::Link ? 0120000
                : entry.type == ZipEntry::Dir                 ? 0040000
                                                              : 0100000;
            info.externalAttr = (type | quint32(entry.mode)) << 16;
        }
        const bool compress = !stored && entry.type == ZipEntry::File;
        if (!out.open(QIODevice::WriteOnly, info, nullptr, 0, compress ? Z_DEFLATED : 0,
                compress ? Z_DEFAULT_COMPRESSION : 0))
            return false;
        out.write(entry.data);
        out.close();
        if (out.getZipError() != UNZ_OK)
            return false;
    }
    zip.close();
    return zip.getZipError() == UNZ_OK;
}

// Owner, group and other bits as the usual octal number (0755).
inline int unixMode(QFile::Permissions permissions)
{
    const int bits = int(permissions);
    return ((bits >> 12) & 7) << 6 | ((bits >> 4) & 7) << 3 | (bits & 7);
}

// All the mode bits of path (setuid, setgid and sticky too), links not followed.
inline int fullMode(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777)
                                                                    : -1;
}

// Every path under root (hidden ones too, links not followed) with what it
// is: "dir MODE", "link TARGET", or "file MODE SHA1".
inline QMap<QString, QString> treeSnapshot(const QString &root)
{
    QMap<QString, QString> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QDir(root).relativeFilePath(path);
        const QFileInfo info(path);
        if (info.isSymLink()) {
            char target[4096];
            const ssize_t size
                = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
            tree.insert(name, "link " + QString::fromUtf8(target, int(qMax<ssize_t>(size, 0))));
        } else if (info.isDir()) {
            tree.insert(name, QStringLiteral("dir %1").arg(fullMode(path), 0, 8));
        } else {
            QFile file(path);
            QCryptographicHash hash(QCryptographicHash::Sha1);
            if (file.open(QIODevice::ReadOnly))
                hash.addData(&file);
            tree.insert(name,
                QStringLiteral("file %1 %2")
                    .arg(QString::number(fullMode(path), 8),
                        QString::fromLatin1(hash.result().toHex())));
        }
    }
    return tree;
}

#endif // TESTLIB_ZIPARCHIVE_H
