#include "installer.h"

#include "installation.h"
#include "installfileops.h"
#include "installpaths.h"
#include "installrecord.h"
#include "installswap.h"
#include "linkpath.h"
#include "releasefiles.h"
#include "safefiles.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QStorageInfo>
#include <QThread>
#include <QVector>

#include <cerrno>
#include <functional>

#include <sodium.h>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace InstallPaths;
using FileOps = InstallFileOps;
using Step = InstallStep;
using Swap = InstallSwap;

// A symbolic link's target longer than this is not a path anyone meant.
const int maxLinkTarget = 4096;

const QString recordName = QLatin1String(ReleaseFiles::installedFiles);

bool isOwn(const QString &path, const QStringList &own)
{
    return Installation::isReserved(path)
        || own.contains(path.section(QLatin1Char('/'), 0, 0), Qt::CaseInsensitive);
}

// Puts the kept version back; false with *reason when it is not back.
// *usable is false when what is kept cannot be put back at all.
bool revertWith(const QString &root, FileOps &ops, bool *usable, QString *reason)
{
    *usable = true;
    const QString stopped = QStringLiteral("Stopped by the test seam");
    const auto fail = [reason](const QString &why) {
        *reason = why;
        return false;
    };
    if (Swap::recover(root, ops) == Swap::Outcome::Failed)
        return fail(ops.stopped ? stopped
                                : QStringLiteral("An earlier update could not be completed or undone"));
    ops.error.clear();
    Swap kept(root, ops);
    Swap swap(root, ops);
    DeltaIndex record;
    const bool recorded = InstallRecord::read(root, &record);
    if (!kept.readKept()
        || !swap.planRevert(kept, Installation::versionFileName(), recorded ? &record : nullptr)) {
        *usable = false;
        return fail(QStringLiteral("The version before it cannot be put back: ") + ops.error);
    }
    if (!swap.writeJournal()) {
        if (!ops.stopped && ops.removeTree(swap.journalPath()))
            ops.removeTree(swap.backupFolder());
        return fail(ops.stopped ? stopped : ops.error);
    }
    QVector<bool> made(swap.steps.size(), false);
    if (!swap.complete(made) || !ops.sync(root)) {
        if (ops.stopped)
            return fail(stopped);
        const QString why = ops.error;
        // What could not be undone is named after the reason.
        if (!swap.rollBack() || !swap.cleanUp(false))
            return fail(ops.error + QStringLiteral("; undone at the next start"));
        return fail(why);
    }
    if (!swap.cleanUp() && !ops.stopped)
        qDebug() << "Reverted; the journal is left for the next start:" << ops.error;
    return !ops.stopped || fail(stopped);
}

// One install: stage, journal, swap, clean up.
class Run
{
public:
    Run(const QString &archivePath, const QString &root, const QString &versionFile, bool keep,
        const std::atomic<bool> &cancelled, std::function<void(qint64, qint64)> report,
        const QStringList &own, const DeltaIndex *delta = nullptr)
        : archivePath(archivePath)
        , delta(delta)
        , own(own)
        , root(root)
        , versionFile(versionFile)
        , cancelled(cancelled)
        , report(std::move(report))
        , swap(root, ops)
    {
        swap.keep = keep;
    }

    // Unpacks and checks the archive as install() does, then hands the
    // staged tree and its record over as `tree` and `record`.
    bool stageOnly(const QString &tree, const QString &record, QString *reason)
    {
        if (!stage() || !stageRecord() || !ops.rename(swap.staged(recordName), record)
            || !ops.rename(swap.stagingFolder(), tree) || !ops.sync(root)) {
            if (!ops.stopped)
                ops.removeTree(swap.stagingFolder());
            return fail(reason, failure());
        }
        return true;
    }

    // Installs; false with *reason when the installation stays (or is put
    // back to) the old version.
    bool install(QString *reason)
    {
        // A journal set aside as damaged leaves nothing that stands in the way.
        if (Swap::recover(root, ops) == Swap::Outcome::Failed)
            return fail(reason,
                ops.stopped ? stoppedReason()
                            : QStringLiteral("An earlier update could not be completed or undone"));
        ops.error.clear();
        hadRecord = InstallRecord::read(root, &previous);
        if (!(delta ? takeStagedTree() : stage()) || !stageRecord()) {
            if (!ops.stopped)
                ops.removeTree(swap.stagingFolder());
            return fail(reason, failure());
        }
        planSwap();
        if (!swap.writeJournal()) {
            if (!ops.stopped && ops.removeTree(swap.journalPath())
                && ops.removeTree(swap.backupFolder()))
                ops.removeTree(swap.stagingFolder());
            return fail(reason, failure());
        }
        QVector<bool> made(swap.steps.size(), false);
        if (!swap.complete(made) || !ops.sync(root)) {
            if (ops.stopped)
                return fail(reason, stoppedReason());
            // The reason goes to finished(), whose receiver logs it once.
            const QString why = ops.error;
            // What could not be undone is named after the reason.
            if (!swap.rollBack() || !swap.cleanUp())
                return fail(reason,
                    ops.error
                        + QStringLiteral("; the old version will be restored at the next start"));
            return fail(reason, why);
        }
        // Past this point the installation is the new one; what cleaning up
        // cannot do now, the next start's recovery does.
        if (swap.keep && !swap.keepReplaced() && !ops.stopped) {
            qDebug() << "Installed; the version before it is not kept:" << ops.error;
            swap.dropKept();
        }
        if (!swap.cleanUp() && !ops.stopped)
            qDebug() << "Installed; the journal is left for the next start:" << ops.error;
        if (ops.stopped)
            return fail(reason, stoppedReason());
        report(total, total);
        return true;
    }

private:
    static bool fail(QString *reason, const QString &why)
    {
        *reason = why;
        return false;
    }

    QString stoppedReason() const { return QStringLiteral("Stopped by the test seam"); }

    QString failure()
    {
        if (ops.stopped)
            return stoppedReason();
        return ops.error;
    }

    // Reads the archive's directory and checks every name before anything is written.
    bool survey(QuaZip &zip)
    {
        entries = zip.getFileInfoList64();
        if (zip.getZipError() != UNZ_OK || (entries.isEmpty() && zip.getEntriesCount() != 0))
            return ops.refuse(QStringLiteral("The archive is damaged"));
        kinds.insert(QString(QLatin1String("")), Kind::Dir);
        for (const QuaZipFileInfo64 &info : qAsConst(entries)) {
            const QString path = relativeEntryPath(info.name);
            if (path.isNull())
                return ops.refuse(QStringLiteral("The archive would write outside the "
                                                 "application folder: %1")
                                      .arg(quoted(info.name)));
            if (Installation::isReserved(path))
                return ops.refuse(
                    QStringLiteral("The archive writes to a name of the updater's own: %1")
                        .arg(quoted(info.name)));
            const Kind kind = info.isSymbolicLink()                      ? Kind::Link
                : info.name.endsWith(QLatin1Char('/')) || path.isEmpty() ? Kind::Dir
                                                                         : Kind::File;
            if (!addToTree(path, kind))
                return false;
            paths.append(path);
            const qint64 size = kind == Kind::File ? qint64(info.uncompressedSize) : 0;
            total += size;
            // Whole blocks, and one more for the entry's names in the
            // staging and backup folders.
            needed += (size + block - 1) / block * block + block;
            if (kind == Kind::Dir && info.name.endsWith(QLatin1Char('/')))
                modes.insert(path, installedMode(info, true));
        }
        return true;
    }

    // Whether the unpacked release, with the backup's names and the journal,
    // fits in the free space of the installation's file system.
    bool fits()
    {
        const QStorageInfo storage(root);
        const qint64 free = storage.bytesAvailable();
        needed += 1024 * 1024;
        if (!storage.isValid() || free < 0 || needed <= free)
            return true;
        const qint64 mib = 1024 * 1024;
        return ops.refuse(
            QStringLiteral("Not enough disk space: the update needs %1 MiB, %2 MiB free")
                .arg((needed + mib - 1) / mib)
                .arg(free / mib));
    }

    // A tree a delta was staged into becomes the staging folder, and is
    // checked as an archive's entries are: no reserved names, links that stay
    // inside; its folders carry the release's modes. The paths to remove must
    // be clean, not staged, and in a folder the release keeps.
    bool takeStagedTree()
    {
        const QString tree = root + QLatin1Char('/') + QLatin1String(ReleaseFiles::deltaStaging);
        if (kindOnDisk(tree) != Kind::Dir)
            return ops.refuse(QStringLiteral("Nothing was staged to install"));
        if (!ops.rename(tree, swap.stagingFolder()))
            return false;
        madeDirs.insert(swap.stagingFolder());
        kinds.insert(QString(QLatin1String("")), Kind::Dir);
        const QDir staging(swap.stagingFolder());
        QDirIterator it(staging.path(),
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = staging.relativeFilePath(it.next());
            const Kind kind = kindOnDisk(swap.staged(path));
            if (Installation::isReserved(path))
                return ops.refuse(
                    QStringLiteral("The update writes to a name of the updater's own: %1")
                        .arg(quoted(path)));
            if (!addToTree(path, kind))
                return false;
            if (kind == Kind::Link)
                links.insert(path, installedLinkTarget(swap.staged(path)));
            else if (kind == Kind::File)
                total += QFileInfo(swap.staged(path)).size();
            else if (kind == Kind::Dir)
                modes.insert(path, folderMode(swap.staged(path)));
        }
        for (auto link = links.constBegin(); link != links.constEnd(); ++link) {
            if (!linkStaysInside(link.key(), link.value()))
                return false;
        }
        // What the release holds, staged or kept as installed.
        release.insert(QString(QLatin1String("")), Kind::Dir);
        for (const DeltaIndex::Entry &e : delta->entries) {
            if (Installation::isReserved(e.path))
                return ops.refuse(
                    QStringLiteral("The update writes to a name of the updater's own: %1")
                        .arg(quoted(e.path)));
            release.insert(e.path,
                e.kind == DeltaIndex::Kind::Dir        ? Kind::Dir
                    : e.kind == DeltaIndex::Kind::Link ? Kind::Link
                                                       : Kind::File);
        }
        for (auto it = kinds.constBegin(); it != kinds.constEnd(); ++it) {
            if (release.value(it.key(), Kind::None) != it.value())
                return ops.refuse(QStringLiteral("The update stages %1, which its release does "
                                                 "not hold as such")
                                      .arg(quoted(it.key())));
        }
        return ops.sync(root);
    }

    bool addToTree(const QString &path, Kind kind)
    {
        if (path.isEmpty())
            return true;
        int slash = -1;
        while ((slash = path.indexOf(QLatin1Char('/'), slash + 1)) >= 0) {
            if (!addNode(path.left(slash), Kind::Dir))
                return false;
        }
        return addNode(path, kind);
    }

    bool addNode(const QString &path, Kind kind)
    {
        const auto found = kinds.constFind(path);
        if (found == kinds.constEnd()) {
            kinds.insert(path, kind);
            children[parentOf(path)].append(path);
            return true;
        }
        if (*found == kind)
            return true;
        if (*found == Kind::Link || kind == Kind::Link)
            return ops.refuse(
                QStringLiteral("The archive writes through its link %1").arg(quoted(path)));
        return ops.refuse(QStringLiteral("The archive holds %1 both as a file and as a folder")
                              .arg(quoted(path)));
    }

    bool stage()
    {
        // The downloaded archive is the updater's own file: never read through a link.
        QFile archive(archivePath);
        QString why;
        if (!SafeFiles::open(archive, QIODevice::ReadOnly, &why))
            return ops.refuse(
                QStringLiteral("Cannot open the archive %1: %2").arg(quoted(archivePath), why));
        QuaZip zip(&archive);
        if (!zip.open(QuaZip::mdUnzip))
            return ops.refuse(
                QStringLiteral("Cannot open the archive %1").arg(quoted(archivePath)));
        if (!survey(zip) || !fits())
            return false;
        report(0, total);
        if (!ops.makePath(swap.stagingFolder()))
            return false;
        madeDirs.insert(swap.stagingFolder());

        QByteArray buffer(256 * 1024, Qt::Uninitialized);
        int index = 0;
        for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile(), ++index) {
            if (cancelled)
                return ops.refuse(QStringLiteral("The update was cancelled"));
            if (index >= paths.size())
                return ops.refuse(QStringLiteral("The archive is damaged"));
            const QString &path = paths.at(index);
            const QuaZipFileInfo64 &info = entries.at(index);
            bool ok = true;
            switch (kinds.value(path)) {
            case Kind::Dir:
                ok = makeDir(swap.staged(path), installedMode(info, true));
                break;
            case Kind::File:
                ok = stageFile(zip, path, info, buffer);
                break;
            case Kind::Link:
                ok = readLink(zip, path);
                break;
            case Kind::None:
                break;
            }
            if (!ok)
                return false;
        }
        if (zip.getZipError() != UNZ_OK || index != paths.size())
            return ops.refuse(QStringLiteral("The archive is damaged"));
        zip.close();
        // Links come last, so that no file above was written through one.
        for (auto link = links.constBegin(); link != links.constEnd(); ++link) {
            if (!linkStaysInside(link.key(), link.value()))
                return false;
        }
        for (auto link = links.constBegin(); link != links.constEnd(); ++link) {
            if (!ensureParent(swap.staged(link.key()))
                || !ops.makeLink(link.value(), swap.staged(link.key())))
                return false;
        }
        return ops.sync(root);
    }

    // Entries without a mode keep the defaults.
    bool makeDir(const QString &path, int mode)
    {
        if (!madeDirs.contains(path)) {
            if (!ops.makePath(path))
                return false;
            madeDirs.insert(path);
        }
        return mode < 0 || ops.setMode(path, mode);
    }

    bool ensureParent(const QString &path)
    {
        const QString parent = QFileInfo(path).path();
        return madeDirs.contains(parent) || makeDir(parent, -1);
    }

    bool damaged(const QString &name)
    {
        return ops.refuse(QStringLiteral("The archive is damaged: %1 does not read back whole")
                              .arg(quoted(name)));
    }

    bool stageFile(
        QuaZip &zip, const QString &path, const QuaZipFileInfo64 &info, QByteArray &buffer)
    {
        const QString target = swap.staged(path);
        if (!ensureParent(target))
            return false;
        QuaZipFile in(&zip);
        if (!in.open(QIODevice::ReadOnly))
            return damaged(info.name);
        QFile out(target);
        if (!ops.create(out) || !ops.startWriting(out))
            return false;
        crypto_generichash_state hash;
        crypto_generichash_init(&hash, nullptr, 0, crypto_generichash_BYTES_MAX);
        qint64 written = 0;
        qint64 got;
        while ((got = in.read(buffer.data(), buffer.size())) > 0) {
            crypto_generichash_update(
                &hash, reinterpret_cast<const unsigned char *>(buffer.constData()), size_t(got));
            written += got;
            // A short write leaves the system's reason in errno, not in out.
            errno = 0;
            if (out.write(buffer.constData(), got) != got)
                return errno ? ops.fail(QStringLiteral("Cannot write %1: %2"), target)
                             : ops.refuse(QStringLiteral("Cannot write %1: %2")
                                              .arg(quoted(target), out.errorString()));
            done += got;
            if (done - reported >= reportStep()) {
                reported = done;
                report(done, total);
            }
        }
        in.close();
        // minizip compares the CRC when the entry has been read to its end.
        if (got < 0 || in.getZipError() != UNZ_OK)
            return damaged(info.name);
        out.close();
        QByteArray digest(crypto_generichash_BYTES_MAX, Qt::Uninitialized);
        crypto_generichash_final(
            &hash, reinterpret_cast<unsigned char *>(digest.data()), size_t(digest.size()));
        files.insert(path, {written, digest});
        int mode = installedMode(info, false);
#ifdef Q_OS_UNIX
        struct stat old;
        if (mode < 0 && ::lstat(QFile::encodeName(swap.installed(path)).constData(), &old) == 0
            && S_ISREG(old.st_mode) && (old.st_mode & 0111)) {
            // Made without Unix permissions: the defaults, but a program being
            // replaced stays a program.
            struct stat made;
            if (::lstat(QFile::encodeName(target).constData(), &made) == 0)
                mode = int((made.st_mode & 0777) | (old.st_mode & 0111));
        }
#endif
        return mode < 0 || ops.setMode(target, mode);
    }

    // The mode an entry is installed with: the archive's, never writable by
    // group or others and without setuid, setgid or sticky bits; -1 when the
    // archive gives none. The updater keeps the right to fill and empty the
    // folders it made.
    static int installedMode(const QuaZipFileInfo64 &info, bool folder)
    {
        return Installer::installedMode(int(info.externalAttr >> 16), folder);
    }

    qint64 reportStep() const
    {
        return qMax<qint64>(total / 200, 256 * 1024);
    }

    bool readLink(QuaZip &zip, const QString &path)
    {
        QuaZipFile in(&zip);
        if (!in.open(QIODevice::ReadOnly))
            return damaged(path);
        const QByteArray target = in.read(maxLinkTarget + 1);
        in.close();
        if (in.getZipError() != UNZ_OK)
            return damaged(path);
        if (target.isEmpty() || target.size() > maxLinkTarget || target.contains('\0'))
            return ops.refuse(
                QStringLiteral("The archive's link %1 has no usable target").arg(quoted(path)));
        links.insert(path, QFile::decodeName(target));
        return true;
    }

    // Resolves the target the way the system will once installed, through the
    // archive's own links and the links already installed, and refuses a link
    // that is absolute or leads out of the application folder at any step.
    bool linkStaysInside(const QString &path, const QString &target)
    {
        const QString refused = QStringLiteral("The archive's link %1 points outside the "
                                               "application folder: %2")
                                    .arg(quoted(path), target);
        const bool inside = LinkPath::staysInside(path, target, [this](const QString &here) {
            if (links.contains(here))
                return links.value(here);
            if (!kinds.contains(here) && kindOnDisk(swap.installed(here)) == Kind::Link)
                return installedLinkTarget(swap.installed(here));
            return QString();
        });
        return inside || ops.refuse(refused);
    }

    static QString installedLinkTarget(const QString &path)
    {
#ifdef Q_OS_UNIX
        QByteArray target(maxLinkTarget + 1, Qt::Uninitialized);
        const ssize_t size
            = ::readlink(QFile::encodeName(path).constData(), target.data(), target.size());
        if (size > 0 && size <= maxLinkTarget)
            return QFile::decodeName(target.left(int(size)));
#endif
        // Unreadable: treated as absolute, so it is refused.
        return QStringLiteral("/");
    }

    // What moves where: folders that are new, and every file and link, are
    // moved whole; folders that exist are entered. Links follow the files,
    // and the version file comes last.
    // What moves where: folders that are new, and every file and link, are
    // put in place whole; folders that exist are entered, and take the
    // release's mode. Links follow the files, and the version file comes last.
    void planSwap()
    {
        // What the installed release had and this one has not goes first,
        // into the backup; only as far as it is still what was installed.
        if (hadRecord) {
            QMap<QString, DeltaIndex::Entry> gone;
            for (const DeltaIndex::Entry &e : qAsConst(previous.entries)) {
                if (!release.contains(e.path) && !isOwn(e.path, own) && !replacedAbove(e.path))
                    gone.insert(e.path, e);
            }
            for (const QString &path : InstallRecord::removable(root, gone))
                swap.add({Step::Move, path});
        }
        QVector<QString> linkPaths;
        planFolder(QString(QLatin1String("")), linkPaths);
        for (const QString &path : qAsConst(linkPaths))
            planReplace(path, Step::Place);
        // The record goes with the release, and before its version file:
        // once the version is new, so is the record.
        planReplace(recordName, Step::Place);
        if (kinds.contains(versionFile))
            planReplace(versionFile, Step::Place);
    }

    // Whether a folder above the path becomes something else in the new
    // release: that path goes with the folder, moved away whole.
    bool replacedAbove(const QString &path) const
    {
        for (QString above = parentOf(path); !above.isEmpty(); above = parentOf(above)) {
            const Kind kind = release.value(above, Kind::None);
            if (kind != Kind::None && kind != Kind::Dir)
                return true;
        }
        return false;
    }

    // The record of what the release holds, staged to go in place with it:
    // every path with what the disk will show once it is installed.
    bool stageRecord()
    {
        if (!delta)
            release = kinds;
        QHash<QString, const DeltaIndex::Entry *> indexed;
        for (const DeltaIndex::Entry &e : delta ? delta->entries : QVector<DeltaIndex::Entry>())
            indexed.insert(e.path, &e);
        DeltaIndex record;
        QStringList names = release.keys();
        names.sort();
        for (const QString &path : qAsConst(names)) {
            const Kind kind = release.value(path);
            if (path.isEmpty())
                continue;
            const QString where
                = existsOnDisk(swap.staged(path)) ? swap.staged(path) : swap.installed(path);
            DeltaIndex::Entry entry = InstallRecord::entryOnDisk(path,
                kind == Kind::Dir        ? DeltaIndex::Kind::Dir
                    : kind == Kind::Link ? DeltaIndex::Kind::Link
                                         : DeltaIndex::Kind::File,
                where);
            if (kind == Kind::File) {
                const DeltaIndex::Entry *e = indexed.value(path);
                const QPair<qint64, QByteArray> staged = files.value(path);
                entry.size = e ? e->size : staged.first;
                entry.hash = e ? e->hash : staged.second;
                entry.oldHash = entry.hash;
            } else if (kind == Kind::Dir && !delta && modes.value(path, -1) < 0
                && folderMode(swap.installed(path)) >= 0) {
                // A folder without a mode in the archive keeps its own.
                entry.mode = folderMode(swap.installed(path));
            }
            record.entries.append(entry);
        }
        QString version;
        const QString versionPath = existsOnDisk(swap.staged(versionFile))
            ? swap.staged(versionFile)
            : swap.installed(versionFile);
        QFile file(versionPath);
        if (kindOnDisk(versionPath) == Kind::File && file.open(QIODevice::ReadOnly))
            version = QString::fromUtf8(file.read(ReleaseFiles::maxVersionFileSize)).simplified();
        record.from = record.to = version.isEmpty() ? QStringLiteral("unknown") : version;
        return ops.writeWhole(swap.staged(recordName), record.toJson());
    }

    void planFolder(const QString &folder, QVector<QString> &linkPaths)
    {
        QStringList names = children.value(folder);
        names.sort();
        for (const QString &path : qAsConst(names)) {
            if (path == versionFile)
                continue;
            const Kind kind = kinds.value(path);
            if (kind == Kind::Link) {
                linkPaths.append(path);
            } else if (kind == Kind::Dir && kindOnDisk(swap.installed(path)) == Kind::Dir) {
                const int mode = modes.value(path, -1);
                const int old = folderMode(swap.installed(path));
                if (mode >= 0 && old != mode)
                    swap.add({Step::Mode, path, old, mode});
                planFolder(path, linkPaths);
            } else if (kind == Kind::Dir && versionFile.startsWith(path + QLatin1Char('/'))
                && kinds.contains(versionFile)) {
                planReplace(path, Step::MakeDir);
                planFolder(path, linkPaths);
            } else {
                planReplace(path, Step::Place);
            }
        }
    }

    // A file or link replaced by one keeps a second name as its backup, and
    // the new one is renamed over it; anything else is moved away first.
    void planReplace(const QString &path, Step::Op op)
    {
        const Kind old = kindOnDisk(swap.installed(path));
        const bool single = old == Kind::File || old == Kind::Link;
        if (old != Kind::None)
            swap.add({single && op == Step::Place && kinds.value(path) != Kind::Dir ? Step::Backup
                                                                                    : Step::Move,
                path});
        swap.add({op, path});
    }

    const QString archivePath;
    const DeltaIndex *delta; // a staged delta's index; null for an archive
    const QStringList own;
    const QString root;
    const QString versionFile;
    const std::atomic<bool> &cancelled;
    const std::function<void(qint64, qint64)> report;
    FileOps ops;
    Swap swap;

    QList<QuaZipFileInfo64> entries;
    QStringList paths;
    QHash<QString, Kind> kinds;
    QHash<QString, QStringList> children;
    QMap<QString, QString> links;
    QSet<QString> madeDirs;
    QHash<QString, int> modes;
    // Every path of the release, staged or (a delta's) kept as installed.
    QHash<QString, Kind> release;
    // The size and BLAKE2b-512 of each file staged from the archive.
    QHash<QString, QPair<qint64, QByteArray>> files;
    // The record of the installed release, when there is a usable one.
    DeltaIndex previous;
    bool hadRecord = false;
    qint64 total = 0;
    qint64 needed = 0;
    static constexpr qint64 block = 4096;
    qint64 done = 0;
    qint64 reported = 0;
};

} // namespace

Installer::Installer(const QString &archivePath, const QString &appDir, QObject *parent)
    : QObject(parent)
    , archivePath(archivePath)
    , appDir(QDir::cleanPath(QDir(appDir).absolutePath()))
    , versionFile(Installation::versionFileName())
    , own(Installation::keptNames(this->appDir))
{
}

Installer *Installer::forStagedDelta(
    const QString &appDir, const DeltaIndex &index, QObject *parent)
{
    auto *installer = new Installer(QString(), appDir, parent);
    installer->stagedDelta = true;
    installer->index = index;
    return installer;
}

int Installer::installedMode(int archiveMode, bool folder)
{
    const int mode = archiveMode & 0777;
    if (mode == 0)
        return -1;
    return (mode & 0755) | (folder ? 0700 : 0);
}

Installer::~Installer()
{
    if (worker) {
        cancelled = true;
        worker->wait();
        delete worker;
    }
}

void Installer::start()
{
    if (worker)
        return;
    worker = QThread::create([this] {
        auto report = [this](qint64 done, qint64 total) {
            QMetaObject::invokeMethod(
                this, [this, done, total] { emit progress(done, total); }, Qt::QueuedConnection);
        };
        Run run(archivePath, appDir, versionFile, keep, cancelled, report, own,
            stagedDelta ? &index : nullptr);
        QString reason;
        const bool ok = stagedTree.isEmpty() ? run.install(&reason)
                                             : run.stageOnly(stagedTree, stagedRecord, &reason);
        QMetaObject::invokeMethod(
            this, [this, ok, reason] { emit finished(ok, reason); }, Qt::QueuedConnection);
    });
    worker->start();
}

bool Installer::revert(const QString &appDir, QString *reason, bool *keptUsable)
{
    InstallFileOps ops;
    return revertWith(QDir::cleanPath(QDir(appDir).absolutePath()), ops, keptUsable, reason);
}

bool Installer::removeKept(const QString &appDir, QString *reason)
{
    const QString root = QDir::cleanPath(QDir(appDir).absolutePath()) + QLatin1Char('/');
    const QString kept = root + QLatin1String(ReleaseFiles::previousVersion);
    if (!existsOnDisk(kept))
        return true;
    if (existsOnDisk(root + QLatin1String(Installation::journalFile))) {
        *reason = QStringLiteral("an interrupted update is left for the next start");
        return false;
    }
    InstallFileOps ops;
    if (ops.removeTree(kept))
        return true;
    *reason = ops.error;
    return false;
}

bool Installer::recover(const QString &appDir)
{
    InstallFileOps ops;
    const QString root = QDir::cleanPath(QDir(appDir).absolutePath());
    // A delta staged by a run that ended before installing it is of no use.
    const QString delta = root + QLatin1Char('/') + QLatin1String(ReleaseFiles::deltaStaging);
    QString why;
    if (!SafeFiles::removeTree(delta, &why))
        qDebug().noquote() << "Cannot remove what an unfinished update left:" << why;
    return InstallSwap::recover(root, ops) == InstallSwap::Outcome::Whole;
}

void Installer::setFaultForTesting(int operation, bool stop)
{
    InstallFileOps::setFault(operation, stop);
}

int Installer::operationsForTesting()
{
    return InstallFileOps::operations();
}
