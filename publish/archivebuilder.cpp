#include "archivebuilder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>

#include <sys/stat.h>

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

// Whether the relative link at relative (a path inside the folder) stays inside it.
bool linkStaysInside(const QString &relative, const QString &target)
{
    if (target.isEmpty() || QDir::isAbsolutePath(target))
        return false;
    QStringList parts = relative.split(QLatin1Char('/'));
    parts.removeLast();
    for (const QString &part : target.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (parts.isEmpty())
                return false;
            parts.removeLast();
        } else {
            parts << part;
        }
    }
    return true;
}

bool collect(const QString &sourceDir, QList<Entry> *entries, QString *reason)
{
    // Absolute on both sides, or a relative sourceDir would stay in the names.
    const QDir root(QFileInfo(sourceDir).absoluteFilePath());
    QDirIterator it(root.path(),
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = root.relativeFilePath(path);
        struct stat st;
        if (lstat(QFile::encodeName(path).constData(), &st) != 0)
            return fail(reason, QStringLiteral("cannot read %1").arg(path));
        Entry e {relative, path, quint32(st.st_mode), QByteArray()};
        if (S_ISLNK(st.st_mode)) {
            const QByteArray name = QFile::encodeName(path);
            QByteArray target(PATH_MAX, '\0');
            const ssize_t n = readlink(name.constData(), target.data(), size_t(target.size()));
            if (n < 0)
                return fail(reason, QStringLiteral("cannot read the link %1").arg(path));
            target.truncate(int(n));
            if (!linkStaysInside(relative, QFile::decodeName(target)))
                return fail(reason,
                    QStringLiteral("the link %1 points outside the folder (%2)")
                        .arg(relative, QFile::decodeName(target)));
            e.linkTarget = target;
        } else if (S_ISDIR(st.st_mode)) {
            e.relative += QLatin1Char('/');
        } else if (!S_ISREG(st.st_mode)) {
            return fail(reason, QStringLiteral("%1 is not a file, folder or link").arg(relative));
        }
        entries->append(e);
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

bool ArchiveBuilder::build(const QString &sourceDir, const QString &zipPath, QString *reason)
{
    if (!QFileInfo(sourceDir).isDir())
        return fail(reason, QStringLiteral("%1 is not a folder").arg(sourceDir));
    QList<Entry> entries;
    if (!collect(sourceDir, &entries, reason))
        return false;
    // The archive must not pack itself.
    const QString zipAbsolute = QFileInfo(zipPath).absoluteFilePath();
    for (const Entry &e : entries) {
        if (QFileInfo(e.path).absoluteFilePath() == zipAbsolute)
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
