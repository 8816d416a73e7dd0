#include "installer.h"

#include "instancelock.h"
#include "platform.h"
#include "releasefiles.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSaveFile>
#include <QSet>
#include <QThread>
#include <QVector>

#include <cerrno>
#include <functional>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

const char Installer::stagingFolderName[] = ".update-staging";
const char Installer::backupFolderName[] = ".update-backup";
const char Installer::journalFileName[] = ".update-journal";

namespace {

std::atomic<int> faultAt {0};
std::atomic<bool> faultStops {false};
std::atomic<int> operationCount {0};

// A symbolic link's target longer than this is not a path anyone meant.
const int maxLinkTarget = 4096;
// Links followed while resolving one target; more means a loop.
const int maxLinkHops = 40;

QString quoted(const QString &path)
{
    return QLatin1Char('"') + QDir::toNativeSeparators(path) + QLatin1Char('"');
}

enum class Kind { None, File, Dir, Link };

// What is at path itself, a symbolic link not followed.
Kind kindOnDisk(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return Kind::Link;
    if (!info.exists())
        return Kind::None;
    return info.isDir() ? Kind::Dir : Kind::File;
}

bool existsOnDisk(const QString &path)
{
    return kindOnDisk(path) != Kind::None;
}

QString parentOf(const QString &relative)
{
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString(QLatin1String("")) : relative.left(slash);
}

// An entry name as a clean path relative to the application directory
// ("" for the directory itself), or a null string when it would lead out of it.
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
    for (const char *name : {Installer::stagingFolderName, Installer::backupFolderName,
             Installer::journalFileName, ReleaseFiles::state, ReleaseFiles::deltaStaging}) {
        if (first.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return true;
    }
    // The running updater's lock (and the file QLockFile takes while it
    // removes a stale one): moving it away would let a second updater in.
    const QString lock = QLatin1String(InstanceLock::baseName);
    return first.compare(lock, Qt::CaseInsensitive) == 0
        || first.compare(lock + QLatin1String(".rmlock"), Qt::CaseInsensitive) == 0;
}

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

// Removes a folder and everything in it. Freeing the blocks of a removed
// file can keep the call waiting on the file system's journal (with online
// discard it waits long), so several files are removed at once.
bool removeFolder(const QString &path)
{
    QStringList files;
    QStringList folders;
    QDirIterator it(path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = it.next();
        if (kindOnDisk(entry) == Kind::Dir)
            folders.append(entry);
        else
            files.append(entry);
    }
    const int workers = 8;
    std::vector<std::thread> threads;
    for (int first = 0; first < qMin(workers, files.size()); ++first) {
        threads.emplace_back([&files, first] {
            for (int i = first; i < files.size(); i += workers)
                QFile::remove(files.at(i));
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    // A folder is listed before what it holds.
    for (int i = folders.size() - 1; i >= 0; --i)
        QDir().rmdir(folders.at(i));
    return QDir().rmdir(path) || QDir(path).removeRecursively();
}

// Every change to the disk goes through one of these, so that a test can
// make any single one of them fail, or stop the work dead at it.
class FileOps
{
public:
    FileOps() { operationCount = 0; }

    // True when a test stopped the work: nothing more may touch the disk.
    bool stopped = false;
    // Why the first failed operation failed.
    QString error;

    bool makePath(const QString &path)
    {
        if (!allowed() || !QDir().mkpath(path))
            return fail(QStringLiteral("Cannot create the folder %1: %2"), path);
        return true;
    }
    bool removeDir(const QString &path)
    {
        if (!allowed() || !QDir().rmdir(path))
            return fail(QStringLiteral("Cannot remove the folder %1: %2"), path);
        return true;
    }
    bool removeTree(const QString &path)
    {
        if (!existsOnDisk(path))
            return true;
        const bool removed = allowed()
            && (kindOnDisk(path) == Kind::Dir ? removeFolder(path) : QFile::remove(path));
        return removed || fail(QStringLiteral("Cannot remove %1: %2"), path);
    }
    bool rename(const QString &from, const QString &to)
    {
        // Never replaces what is at `to`: whatever stood there has been moved away first.
        if (!allowed() || !QDir().rename(from, to))
            return fail(QStringLiteral("Cannot move %1 to %2: %3").arg(quoted(from)), to);
        return true;
    }
    bool create(QFile &file)
    {
        if (!allowed() || !file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return fail(QStringLiteral("Cannot create %1: %2"), file.fileName());
        return true;
    }
    // One operation for all the writes of a file.
    bool startWriting(const QFile &file)
    {
        return allowed() || fail(QStringLiteral("Cannot write %1: %2"), file.fileName());
    }
    bool setPermissions(const QString &path, QFile::Permissions permissions)
    {
        if (!allowed() || !QFile::setPermissions(path, permissions))
            return fail(QStringLiteral("Cannot set the permissions of %1: %2"), path);
        return true;
    }
    bool makeLink(const QString &target, const QString &path)
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
    bool sync(const QString &path)
    {
        if (!allowed() || !syncFileSystem(path))
            return fail(QStringLiteral("Cannot flush %1 to disk: %2"), path);
        return true;
    }
    bool writeWhole(const QString &path, const QByteArray &data)
    {
        QSaveFile file(path);
        if (!allowed() || !file.open(QIODevice::WriteOnly) || file.write(data) != data.size()
            || !file.commit())
            return fail(QStringLiteral("Cannot write %1: %2"), path);
        return true;
    }
    bool remove(const QString &path)
    {
        if (!allowed() || !QFile::remove(path))
            return fail(QStringLiteral("Cannot remove %1: %2"), path);
        return true;
    }

    // Records a failure found by the caller (a damaged entry, a refused link).
    bool refuse(const QString &reason)
    {
        if (error.isEmpty())
            error = reason;
        return false;
    }

private:
    bool allowed()
    {
        if (stopped)
            return false;
        if (++operationCount != faultAt.load())
            return true;
        stopped = faultStops.load();
        errno = EIO;
        return false;
    }
    // The message with the path and the system's reason filled in.
    bool fail(const QString &message, const QString &path)
    {
        return refuse(message.arg(quoted(path), qt_error_string(errno)));
    }
};

// One change of the swap, journalled before any of them is made. Every
// backup of a path is followed by the placing or creation of the same path.
struct Step
{
    enum Op { Backup, Place, MakeDir };
    Op op;
    QString path;
};

const char *const opNames[] = {"backup", "place", "mkdir"};

// The swap of staged files into the installation, and its undoing; used by
// the install itself and, from the journal, by recovery at the next start.
class Swap
{
public:
    Swap(const QString &root, FileOps &ops)
        : root(root)
        , ops(ops)
    {
    }

    QString installed(const QString &path) const { return root + QLatin1Char('/') + path; }
    QString stagingFolder() const
    {
        return root + QLatin1Char('/') + QLatin1String(Installer::stagingFolderName);
    }
    QString backupFolder() const
    {
        return root + QLatin1Char('/') + QLatin1String(Installer::backupFolderName);
    }
    QString staged(const QString &path) const
    {
        return path.isEmpty() ? stagingFolder() : stagingFolder() + QLatin1Char('/') + path;
    }
    QString backedUp(const QString &path) const { return backupFolder() + QLatin1Char('/') + path; }
    QString journalPath() const
    {
        return root + QLatin1Char('/') + QLatin1String(Installer::journalFileName);
    }

    void add(Step::Op op, const QString &path)
    {
        steps.append({op, path});
        if (op == Step::Backup)
            backups.insert(path);
    }

    bool writeJournal()
    {
        QJsonArray list;
        for (const Step &step : qAsConst(steps))
            list.append(QJsonArray {QLatin1String(opNames[step.op]), step.path});
        QJsonObject journal;
        journal.insert(QStringLiteral("steps"), list);
        return ops.writeWhole(journalPath(), QJsonDocument(journal).toJson(QJsonDocument::Compact))
            && ops.sync(root);
    }

    bool readJournal()
    {
        QFile file(journalPath());
        if (!file.open(QIODevice::ReadOnly))
            return ops.refuse(
                QStringLiteral("Cannot read the journal: %1").arg(file.errorString()));
        const QJsonValue list = QJsonDocument::fromJson(file.readAll()).object().value("steps");
        if (!list.isArray())
            return ops.refuse(QStringLiteral("The journal is damaged"));
        for (const QJsonValue &value : list.toArray()) {
            const QJsonArray step = value.toArray();
            const QString name = step.at(0).toString();
            const QString path = step.at(1).toString();
            int op = 0;
            while (op < 3 && name != QLatin1String(opNames[op]))
                ++op;
            if (op == 3 || path.isEmpty() || relativeEntryPath(path) != path)
                return ops.refuse(QStringLiteral("The journal is damaged"));
            add(Step::Op(op), path);
        }
        return true;
    }

    // Which steps have been made, judged from the files themselves (after a crash).
    QVector<bool> madeSoFar() const
    {
        QVector<bool> made;
        for (const Step &step : steps) {
            const bool backupMade
                = !backups.contains(step.path) || existsOnDisk(backedUp(step.path));
            switch (step.op) {
            case Step::Backup:
                made.append(existsOnDisk(backedUp(step.path)));
                break;
            case Step::Place:
                made.append(backupMade && !existsOnDisk(staged(step.path)));
                break;
            case Step::MakeDir:
                made.append(backupMade && kindOnDisk(installed(step.path)) == Kind::Dir);
                break;
            }
        }
        return made;
    }

    // Whether every file the swap puts in place is still there, staged or placed.
    bool canComplete(const QVector<bool> &made) const
    {
        for (int i = 0; i < steps.size(); ++i) {
            const Step &step = steps.at(i);
            if (step.op == Step::Place
                && !existsOnDisk(made.at(i) ? installed(step.path) : staged(step.path)))
                return false;
        }
        return true;
    }

    // Makes the steps not yet made, in order; `made` follows.
    bool complete(QVector<bool> &made)
    {
        for (int i = 0; i < steps.size(); ++i) {
            if (made.at(i))
                continue;
            const Step &step = steps.at(i);
            bool ok = false;
            switch (step.op) {
            case Step::Backup:
                ok = ensureParent(backedUp(step.path))
                    && ops.rename(installed(step.path), backedUp(step.path));
                break;
            case Step::Place:
                ok = ops.rename(staged(step.path), installed(step.path));
                break;
            case Step::MakeDir:
                ok = ops.makePath(installed(step.path));
                break;
            }
            if (!ok)
                return false;
            made[i] = true;
        }
        return true;
    }

    // Undoes the made steps, last first.
    bool rollBack(const QVector<bool> &made)
    {
        for (int i = steps.size() - 1; i >= 0; --i) {
            if (!made.at(i))
                continue;
            const Step &step = steps.at(i);
            bool ok = true;
            switch (step.op) {
            case Step::Backup:
                ok = ops.rename(backedUp(step.path), installed(step.path));
                break;
            case Step::Place:
                // Missing only when the install was damaged; then there is nothing to take back.
                if (existsOnDisk(installed(step.path)))
                    ok = ensureParent(staged(step.path))
                        && ops.rename(installed(step.path), staged(step.path));
                break;
            case Step::MakeDir:
                ok = ops.removeDir(installed(step.path));
                break;
            }
            if (!ok)
                return false;
        }
        return true;
    }

    // Removes the journal, then the backup and staging folders. Once the
    // journal is gone nothing needs them; failing to remove them (a program
    // still running from the backup on Windows) is left to the next start.
    bool cleanUp(bool journalled)
    {
        if (journalled && !ops.remove(journalPath()))
            return false;
        const bool backupRemoved = ops.removeTree(backupFolder());
        const bool stagingRemoved = ops.removeTree(stagingFolder());
        if (!backupRemoved || !stagingRemoved)
            qDebug() << "Left for the next start:" << ops.error;
        return true;
    }

    QVector<Step> steps;

private:
    bool ensureParent(const QString &path)
    {
        const QString parent = QFileInfo(path).path();
        if (madeParents.contains(parent))
            return true;
        if (kindOnDisk(parent) != Kind::Dir && !ops.makePath(parent))
            return false;
        madeParents.insert(parent);
        return true;
    }

    const QString root;
    FileOps &ops;
    QSet<QString> backups;
    QSet<QString> madeParents;
};

bool recoverWith(const QString &root, FileOps &ops)
{
    Swap swap(root, ops);
    if (!QFile::exists(swap.journalPath())) {
        // Interrupted before its journal was written (nothing installed was
        // touched), or finished but not cleaned up.
        const QString staging = swap.stagingFolder();
        const QString backup = swap.backupFolder();
        if (!existsOnDisk(staging) && !existsOnDisk(backup))
            return true;
        if (!ops.removeTree(staging) || !ops.removeTree(backup)) {
            qDebug() << "Cannot remove what an unfinished update left:" << ops.error;
            return false;
        }
        qDebug() << "Removed what an earlier update left behind";
        return true;
    }
    if (!swap.readJournal()) {
        qDebug() << "Cannot recover the interrupted update:" << ops.error;
        return false;
    }
    QVector<bool> made = swap.madeSoFar();
    const bool completed = swap.canComplete(made) && swap.complete(made);
    const bool whole = completed || (!ops.stopped && swap.rollBack(made));
    if (!whole || ops.stopped || !swap.cleanUp(true)) {
        qDebug() << "Cannot recover the interrupted update:" << ops.error;
        return false;
    }
    if (completed)
        qDebug() << "Completed the interrupted update";
    else if (ops.error.isEmpty())
        qDebug() << "Rolled back the interrupted update";
    else
        qDebug() << "Rolled back the interrupted update:" << ops.error;
    return true;
}

// One install: stage, journal, swap, clean up.
class Run
{
public:
    Run(const QString &archivePath, const QString &root, const QString &versionFile,
        const std::atomic<bool> &cancelled, std::function<void(qint64, qint64)> report,
        const QStringList *removed = nullptr)
        : archivePath(archivePath)
        , removed(removed)
        , root(root)
        , versionFile(versionFile)
        , cancelled(cancelled)
        , report(std::move(report))
        , swap(root, ops)
    {
    }

    // Returns the reason of the failure, or a null string on success.
    QString install()
    {
        if (!recoverWith(root, ops))
            return ops.stopped
                ? stoppedReason()
                : QStringLiteral("An earlier update could not be completed or undone");
        if (!(removed ? takeStagedTree() : stage())) {
            if (!ops.stopped)
                ops.removeTree(swap.stagingFolder());
            return failure();
        }
        planSwap();
        if (!swap.writeJournal()) {
            if (!ops.stopped && ops.removeTree(swap.journalPath()))
                ops.removeTree(swap.stagingFolder());
            return failure();
        }
        QVector<bool> made(swap.steps.size(), false);
        if (!swap.complete(made) || !ops.sync(root)) {
            if (ops.stopped)
                return stoppedReason();
            // The reason goes to finished(), whose receiver logs it once.
            const QString reason = ops.error;
            if (!swap.rollBack(made) || !swap.cleanUp(true))
                return reason
                    + QStringLiteral("; the old version will be restored at the next start");
            return reason;
        }
        // Past this point the installation is the new one; what cleaning up
        // cannot do now, the next start's recovery does.
        if (!swap.cleanUp(true) && !ops.stopped)
            qDebug() << "Installed; the journal is left for the next start:" << ops.error;
        if (ops.stopped)
            return stoppedReason();
        report(total, total);
        return QString();
    }

private:
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
            if (isReserved(path))
                return ops.refuse(
                    QStringLiteral("The archive writes to a name of the updater's own: %1")
                        .arg(quoted(info.name)));
            const Kind kind = info.isSymbolicLink()                      ? Kind::Link
                : info.name.endsWith(QLatin1Char('/')) || path.isEmpty() ? Kind::Dir
                                                                         : Kind::File;
            if (!addToTree(path, kind))
                return false;
            paths.append(path);
            total += kind == Kind::File ? qint64(info.uncompressedSize) : 0;
        }
        return true;
    }

    // A tree a delta was staged into becomes the staging folder, and is
    // checked as an archive's entries are: no reserved names, links that stay
    // inside; the paths to remove must be clean, and not staged.
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
            if (isReserved(path))
                return ops.refuse(QStringLiteral("The update writes to a name of the updater's "
                                                 "own: %1")
                                      .arg(quoted(path)));
            if (!addToTree(path, kind))
                return false;
            if (kind == Kind::Link)
                links.insert(path, installedLinkTarget(swap.staged(path)));
            else if (kind == Kind::File)
                total += QFileInfo(swap.staged(path)).size();
        }
        for (auto link = links.constBegin(); link != links.constEnd(); ++link) {
            if (!linkStaysInside(link.key(), link.value()))
                return false;
        }
        for (const QString &path : *removed) {
            if (relativeEntryPath(path) != path || path.isEmpty() || isReserved(path)
                || kinds.contains(path) || kinds.value(parentOf(path), Kind::Dir) != Kind::Dir)
                return ops.refuse(QStringLiteral("The update would remove %1").arg(quoted(path)));
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
        QuaZip zip(archivePath);
        if (!zip.open(QuaZip::mdUnzip))
            return ops.refuse(
                QStringLiteral("Cannot open the archive %1").arg(quoted(archivePath)));
        if (!survey(zip))
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
                ok = makeDir(swap.staged(path), info.getPermissions());
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

    bool makeDir(const QString &path, QFile::Permissions permissions)
    {
        if (!madeDirs.contains(path)) {
            if (!ops.makePath(path))
                return false;
            madeDirs.insert(path);
        }
        // Entries without permissions keep the defaults; the updater must
        // always be able to fill and remove what it made.
        const QFile::Permissions own = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
            | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
        return permissions == QFile::Permissions() || ops.setPermissions(path, permissions | own);
    }

    bool ensureParent(const QString &path)
    {
        const QString parent = QFileInfo(path).path();
        return madeDirs.contains(parent) || makeDir(parent, QFile::Permissions());
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
        qint64 got;
        while ((got = in.read(buffer.data(), buffer.size())) > 0) {
            if (out.write(buffer.constData(), got) != got)
                return ops.refuse(
                    QStringLiteral("Cannot write %1: %2").arg(quoted(target), out.errorString()));
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
        QFile::Permissions permissions = info.getPermissions();
        if (permissions == QFile::Permissions()) {
            // Made without Unix permissions: the defaults, but a program being
            // replaced stays a program.
            const QFile::Permissions execute
                = QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;
            const QFileInfo old(swap.installed(path));
            if (!old.isSymLink() && old.isFile() && (old.permissions() & execute))
                permissions = out.permissions() | (old.permissions() & execute);
        }
        out.close();
        return permissions == QFile::Permissions() || ops.setPermissions(target, permissions);
    }

    qint64 reportStep() const { return qMax<qint64>(total / 200, 256 * 1024); }

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
        QStringList at = parentOf(path).split(QLatin1Char('/'), Qt::SkipEmptyParts);
        QStringList todo;
        QString next = target;
        int hops = 0;
        while (!next.isNull()) {
            if (QDir::isAbsolutePath(next) || next.startsWith(QLatin1Char('/'))
                || next.startsWith(QLatin1Char('\\')))
                return ops.refuse(refused);
            todo = next.split(QLatin1Char('/'), Qt::SkipEmptyParts) + todo;
            next = QString();
            while (next.isNull() && !todo.isEmpty()) {
                const QString part = todo.takeFirst();
                if (part == QLatin1String("."))
                    continue;
                if (part == QLatin1String("..")) {
                    if (at.isEmpty())
                        return ops.refuse(refused);
                    at.removeLast();
                    continue;
                }
                at.append(part);
                const QString here = at.join(QLatin1Char('/'));
                if (links.contains(here))
                    next = links.value(here);
                else if (!kinds.contains(here) && kindOnDisk(swap.installed(here)) == Kind::Link)
                    next = installedLinkTarget(swap.installed(here));
                if (!next.isNull()) {
                    at.removeLast();
                    if (++hops > maxLinkHops)
                        return ops.refuse(refused);
                }
            }
        }
        return true;
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
    void planSwap()
    {
        // What the new release no longer has goes first, into the backup.
        for (const QString &path : removed ? *removed : QStringList()) {
            if (existsOnDisk(swap.installed(path)))
                swap.add(Step::Backup, path);
        }
        QVector<QString> linkPaths;
        planFolder(QString(QLatin1String("")), linkPaths);
        for (const QString &path : qAsConst(linkPaths))
            planReplace(path, Step::Place);
        if (kinds.contains(versionFile))
            planReplace(versionFile, Step::Place);
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

    void planReplace(const QString &path, Step::Op op)
    {
        if (existsOnDisk(swap.installed(path)))
            swap.add(Step::Backup, path);
        swap.add(op, path);
    }

    const QString archivePath;
    const QStringList *removed; // a staged delta's; null for an archive
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
    qint64 total = 0;
    qint64 done = 0;
    qint64 reported = 0;
};

} // namespace

Installer::Installer(const QString &archivePath, const QString &appDir, QObject *parent)
    : QObject(parent)
    , archivePath(archivePath)
    , appDir(QDir::cleanPath(QDir(appDir).absolutePath()))
    , versionFile(
          Platform::isWindows() ? QStringLiteral("Bin/version.ver") : QStringLiteral("version.ver"))
{
}

Installer *Installer::forStagedDelta(
    const QString &appDir, const QStringList &removed, QObject *parent)
{
    auto *installer = new Installer(QString(), appDir, parent);
    installer->stagedDelta = true;
    installer->removed = removed;
    return installer;
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
        Run run(
            archivePath, appDir, versionFile, cancelled, report, stagedDelta ? &removed : nullptr);
        const QString reason = run.install();
        QMetaObject::invokeMethod(
            this, [this, reason] { emit finished(reason.isNull(), reason); }, Qt::QueuedConnection);
    });
    worker->start();
}

bool Installer::recover(const QString &appDir)
{
    FileOps ops;
    const QString root = QDir::cleanPath(QDir(appDir).absolutePath());
    // A delta staged by a run that ended before installing it is of no use.
    const QString delta = root + QLatin1Char('/') + QLatin1String(ReleaseFiles::deltaStaging);
    if (existsOnDisk(delta) && !removeFolder(delta))
        qDebug() << "Cannot remove what an unfinished update left:" << quoted(delta);
    return recoverWith(root, ops);
}

void Installer::setFaultForTesting(int operation, bool stop)
{
    faultStops = stop;
    faultAt = operation;
}

int Installer::operationsForTesting()
{
    return operationCount;
}
