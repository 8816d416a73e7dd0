#include "archivebuilder.h"

#include "linkpath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

// The earliest time a zip entry can hold: nothing of the publisher's clock
// gets into the archive.
const QDateTime fixedTime(QDate(1980, 1, 1), QTime(0, 0));

struct Entry
{
    QString relative; // with "/" at the end for folders
    QString path;
    quint32 mode; // st_mode: type and permission bits
    QByteArray linkTarget;
};

bool fail(QString *reason, const QString &text)
{
    *reason = text;
    return false;
}

QString errorText()
{
    return qt_error_string(errno);
}

// Adds what the folder at relativeDir (of root) holds, depth first. Anything
// that cannot be read fails the walk, naming it: a folder left out would
// reach the updaters as an empty one.
bool walk(const QString &root, const QString &relativeDir, QList<Entry> *entries, QString *reason)
{
    const QString dirPath = relativeDir.isEmpty() ? root : root + QLatin1Char('/') + relativeDir;
    DIR *dir = opendir(QFile::encodeName(dirPath).constData());
    if (!dir)
        return fail(
            reason, QStringLiteral("cannot read the folder %1: %2").arg(dirPath, errorText()));
    QStringList names;
    errno = 0;
    while (const dirent *d = readdir(dir)) {
        const QByteArray name(d->d_name);
        if (name != "." && name != "..")
            names << QFile::decodeName(name);
        errno = 0;
    }
    const int readError = errno;
    closedir(dir);
    if (readError != 0)
        return fail(reason,
            QStringLiteral("cannot read the folder %1: %2")
                .arg(dirPath, qt_error_string(readError)));
    for (const QString &name : qAsConst(names)) {
        const QString relative
            = relativeDir.isEmpty() ? name : relativeDir + QLatin1Char('/') + name;
        const QString path = root + QLatin1Char('/') + relative;
        const QByteArray encoded = QFile::encodeName(path);
        // The installer reads a backslash as a folder separator: the entry
        // would land somewhere else than it lies here.
        if (name.contains(QLatin1Char('\\')))
            return fail(reason,
                QStringLiteral("the name %1 holds a backslash, which updaters read as a folder "
                               "separator")
                    .arg(relative));
        // ... and a first name like "C:x" as a drive, which it refuses.
        if (relativeDir.isEmpty() && name.size() >= 2 && name.at(1) == QLatin1Char(':'))
            return fail(reason,
                QStringLiteral("the name %1 reads as a drive letter to updaters").arg(name));
        struct stat st;
        if (lstat(encoded.constData(), &st) != 0)
            return fail(reason, QStringLiteral("cannot read %1: %2").arg(path, errorText()));
        Entry e {relative, path, quint32(st.st_mode), QByteArray()};
        if (S_ISLNK(st.st_mode)) {
            QByteArray target(PATH_MAX, '\0');
            const ssize_t n = readlink(encoded.constData(), target.data(), size_t(target.size()));
            if (n < 0)
                return fail(
                    reason, QStringLiteral("cannot read the link %1: %2").arg(path, errorText()));
            target.truncate(int(n));
            e.linkTarget = target;
            entries->append(e);
        } else if (S_ISDIR(st.st_mode)) {
            e.relative += QLatin1Char('/');
            entries->append(e);
            if (!walk(root, relative, entries, reason))
                return false;
        } else if (S_ISREG(st.st_mode)) {
            const int fd = open(encoded.constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                return fail(reason, QStringLiteral("cannot read %1: %2").arg(path, errorText()));
            close(fd);
            entries->append(e);
        } else {
            return fail(reason, QStringLiteral("%1 is not a file, folder or link").arg(relative));
        }
    }
    return true;
}

bool collect(const QString &sourceDir, QList<Entry> *entries, QString *reason)
{
    if (!QFileInfo(sourceDir).isDir())
        return fail(reason, QStringLiteral("%1 is not a folder").arg(sourceDir));
    // Absolute, or a relative sourceDir would stay in the names.
    if (!walk(QFileInfo(sourceDir).absoluteFilePath(), QString(), entries, reason))
        return false;
    QHash<QString, QString> links;
    for (const Entry &e : qAsConst(*entries)) {
        if (S_ISLNK(e.mode))
            links.insert(e.relative, QFile::decodeName(e.linkTarget));
    }
    for (auto link = links.constBegin(); link != links.constEnd(); ++link) {
        // Resolved as the installer resolves it: through the folder's own links.
        if (!LinkPath::staysInside(link.key(), link.value(),
                [&links](const QString &here) { return links.value(here); }))
            return fail(reason,
                QStringLiteral("the link %1 points outside the folder (%2)")
                    .arg(link.key(), link.value()));
    }
    // Byte order of the UTF-8 names: the same on every machine and locale.
    std::sort(entries->begin(), entries->end(),
        [](const Entry &a, const Entry &b) { return a.relative.toUtf8() < b.relative.toUtf8(); });
    return true;
}

bool addEntry(QuaZip *zip, const Entry &e, QString *reason)
{
    QuaZipNewInfo info(e.relative);
    info.dateTime = fixedTime;
    // The high 16 bits hold st_mode, as zip and unzip on Unix read them; the
    // low bits the MS-DOS folder flag.
    info.externalAttr = (e.mode & 0xFFFFu) << 16;
    if (S_ISDIR(e.mode))
        info.externalAttr |= 0x10;
    QByteArray content;
    if (S_ISLNK(e.mode)) {
        content = e.linkTarget;
    } else if (S_ISREG(e.mode)) {
        QFile file(e.path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(
                reason, QStringLiteral("cannot read %1: %2").arg(e.path, file.errorString()));
        info.uncompressedSize = ulong(file.size());
        QuaZipFile out(zip);
        if (!out.open(QIODevice::WriteOnly, info))
            return fail(reason, QStringLiteral("cannot add %1 to the archive").arg(e.relative));
        QByteArray buffer(1 << 16, Qt::Uninitialized);
        qint64 n;
        while ((n = file.read(buffer.data(), buffer.size())) > 0) {
            if (out.write(buffer.constData(), n) != n)
                return fail(
                    reason, QStringLiteral("cannot write %1 into the archive").arg(e.relative));
        }
        out.close();
        if (n < 0 || out.getZipError() != 0)
            return fail(reason, QStringLiteral("cannot pack %1").arg(e.relative));
        return true;
    }
    // Folders (no content, stored) and links (the target, stored).
    info.uncompressedSize = ulong(content.size());
    QuaZipFile out(zip);
    if (!out.open(QIODevice::WriteOnly, info, nullptr, 0, 0, 0)
        || out.write(content) != content.size())
        return fail(reason, QStringLiteral("cannot add %1 to the archive").arg(e.relative));
    out.close();
    return out.getZipError() == 0 || fail(reason, QStringLiteral("cannot pack %1").arg(e.relative));
}

} // namespace

bool ArchiveBuilder::check(const QString &sourceDir, QString *reason)
{
    QList<Entry> entries;
    return collect(sourceDir, &entries, reason);
}

bool ArchiveBuilder::build(const QString &sourceDir, const QString &zipPath, QString *reason)
{
    QList<Entry> entries;
    if (!collect(sourceDir, &entries, reason))
        return false;
    // The archive must not pack itself, also when reached through a link.
    const QFileInfo zipInfo(zipPath);
    const QString zipReal = QFileInfo(zipInfo.absolutePath()).canonicalFilePath() + QLatin1Char('/')
        + zipInfo.fileName();
    for (const Entry &e : entries) {
        if (QFileInfo(e.path).canonicalFilePath() == zipReal)
            return fail(
                reason, QStringLiteral("the archive %1 lies inside the folder").arg(zipPath));
    }
    QFile::remove(zipPath);
    QuaZip zip(zipPath);
    zip.setFileNameCodec("UTF-8");
    if (!zip.open(QuaZip::mdCreate))
        return fail(reason, QStringLiteral("cannot create %1").arg(zipPath));
    for (const Entry &e : entries) {
        if (!addEntry(&zip, e, reason)) {
            zip.close();
            QFile::remove(zipPath);
            return false;
        }
    }
    zip.close();
    if (zip.getZipError() != 0) {
        QFile::remove(zipPath);
        return fail(reason, QStringLiteral("cannot write %1").arg(zipPath));
    }
    return true;
}
