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
#include <QRandomGenerator>
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

// Inside ReleaseFiles::previousVersion: the journal of the install that kept
// it (what it replaced and what it added), and the replaced files themselves.
static const char keptJournalName[] = "journal";
static const char keptFilesName[] = "files";

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
             Installer::journalFileName, ReleaseFiles::previousVersion, ReleaseFiles::state}) {
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
// backup of a path is followed by the placing or creation of the same path;
// a removal (only a revert removes) moves the path into the backup folder
// and puts nothing in its place.
struct Step
{
    enum Op { Backup, Place, MakeDir, Remove };
    Op op;
    QString path;
};

const char *const opNames[] = {"backup", "place", "mkdir", "remove"};
const int opCount = 4;

QString versionFileName()
{
    return Platform::isWindows() ? QStringLiteral("Bin/version.ver")
                                 : QStringLiteral("version.ver");
}

// A journal is a few hundred bytes a file; one larger than this is not ours.
const qint64 maxJournalSize = 64 * 1024 * 1024;

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (file.size() > maxJournalSize || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

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
        // A revert puts back the kept files from where the install kept them.
        return reverting ? previousFolder() + QLatin1Char('/') + QLatin1String(keptFilesName)
                         : root + QLatin1Char('/') + QLatin1String(Installer::stagingFolderName);
    }
    QString previousFolder() const
    {
        return root + QLatin1Char('/') + QLatin1String(ReleaseFiles::previousVersion);
    }
    QString keptJournalPath() const
    {
        return previousFolder() + QLatin1Char('/') + QLatin1String(keptJournalName);
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
        if (keep) {
            // Tells this install's kept files from an earlier install's.
            journal.insert(QStringLiteral("keep"),
                QString::number(QRandomGenerator::system()->generate64(), 16));
        }
        if (reverting)
            journal.insert(QStringLiteral("revert"), true);
        journalBytes = QJsonDocument(journal).toJson(QJsonDocument::Compact);
        return ops.writeWhole(journalPath(), journalBytes) && ops.sync(root);
    }

    // The journal of an interrupted install or revert, or (from) the one an
    // install kept with its replaced files.
    bool readJournal(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return ops.refuse(
                QStringLiteral("Cannot read the journal: %1").arg(file.errorString()));
        journalBytes = file.read(maxJournalSize);
        const QJsonObject journal = QJsonDocument::fromJson(journalBytes).object();
        const QJsonValue list = journal.value("steps");
        keep = journal.value("keep").isString();
        reverting = journal.value("revert").toBool();
        if (!list.isArray() || (keep && reverting))
            return ops.refuse(QStringLiteral("The journal is damaged"));
        for (const QJsonValue &value : list.toArray()) {
            const QJsonArray step = value.toArray();
            const QString name = step.at(0).toString();
            const QString path = step.at(1).toString();
            int op = 0;
            while (op < opCount && name != QLatin1String(opNames[op]))
                ++op;
            if (op == opCount || path.isEmpty() || relativeEntryPath(path) != path
                || isReserved(path) || (op == Step::Remove && !reverting))
                return ops.refuse(QStringLiteral("The journal is damaged"));
            add(Step::Op(op), path);
        }
        return true;
    }

    // Whether the install of this journal has kept its replaced files already
    // (it had then made every step).
    bool replacedKept() const { return keep && readSmallFile(keptJournalPath()) == journalBytes; }

    // At the commit point of an install that keeps the version before it:
    // the backup folder becomes the kept files, beside this journal; an
    // earlier install's kept version goes. Repeatable after a kill.
    bool keepReplaced()
    {
        const QString folder = previousFolder();
        if (!replacedKept()
            && (!ops.removeTree(folder) || !ops.makePath(folder)
                || !ops.writeWhole(keptJournalPath(), journalBytes)))
            return false;
        const QString files = folder + QLatin1Char('/') + QLatin1String(keptFilesName);
        if (existsOnDisk(backupFolder())) {
            if (!ops.rename(backupFolder(), files))
                return false;
        } else if (!existsOnDisk(files) && !ops.makePath(files)) {
            return false;
        }
        return ops.sync(root);
    }

    // After keepReplaced() failed: half a kept version is none.
    void dropKept()
    {
        if (!ops.removeTree(previousFolder()))
            qDebug() << "Left for the next start:" << ops.error;
    }

    // The steps that undo the kept install: each path it replaced goes back,
    // each it added goes away (the version file still last), planned from
    // what is on disk now. False with the reason when the kept files lack one.
    bool planRevert(const Swap &kept, const QString &versionFile)
    {
        reverting = true;
        QVector<Step> undo;
        for (int i = kept.steps.size() - 1; i >= 0; --i) {
            const Step &step = kept.steps.at(i);
            if (step.op == Step::Backup)
                continue;
            const bool present = existsOnDisk(installed(step.path));
            if (!kept.backups.contains(step.path)) {
                if (present)
                    undo.append({Step::Remove, step.path});
                continue;
            }
            if (!existsOnDisk(staged(step.path)))
                return ops.refuse(
                    QStringLiteral("The version before it is incomplete: %1 is missing")
                        .arg(quoted(staged(step.path))));
            if (present)
                undo.append({Step::Backup, step.path});
            undo.append({Step::Place, step.path});
        }
        bool versionLast = true;
        for (const Step &step : qAsConst(undo))
            versionLast &= !versionFile.startsWith(step.path + QLatin1Char('/'));
        for (const Step &step : qAsConst(undo)) {
            if (!versionLast || step.path != versionFile)
                add(step.op, step.path);
        }
        for (const Step &step : qAsConst(undo)) {
            if (versionLast && step.path == versionFile)
                add(step.op, step.path);
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
            case Step::Remove:
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
            case Step::Remove:
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
            case Step::Remove:
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
    // A revert's staging folder is the kept version: removed once it is back
    // in place, kept for another try when the revert was undone.
    bool cleanUp(bool journalled, bool completed = true)
    {
        if (journalled && !ops.remove(journalPath()))
            return false;
        const bool backupRemoved = ops.removeTree(backupFolder());
        const bool stagingRemoved = !reverting ? ops.removeTree(stagingFolder())
                                               : !completed || ops.removeTree(previousFolder());
        if (!backupRemoved || !stagingRemoved)
            qDebug() << "Left for the next start:" << ops.error;
        return true;
    }

    QVector<Step> steps;
    bool keep = false;
    bool reverting = false;

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
    QByteArray journalBytes;
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
    if (!swap.readJournal(swap.journalPath())) {
        qDebug() << "Cannot recover the interrupted update:" << ops.error;
        return false;
    }
    QVector<bool> made = swap.madeSoFar();
    // Once the replaced files are kept, the backup folder is gone: the steps
    // no longer show, but they had all been made.
    const bool completed = swap.replacedKept() || (swap.canComplete(made) && swap.complete(made));
    const bool whole = completed || (!ops.stopped && swap.rollBack(made));
    if (whole && completed && swap.keep && !swap.keepReplaced() && !ops.stopped) {
        qDebug() << "Completed the interrupted update; the version before it is not kept:"
                 << ops.error;
        swap.dropKept();
    }
    if (!whole || ops.stopped || !swap.cleanUp(true, completed)) {
        qDebug() << "Cannot recover the interrupted update:" << ops.error;
        return false;
    }
    const char *what = swap.reverting ? "revert" : "update";
    if (completed)
        qDebug().nospace() << "Completed the interrupted " << what;
    else if (ops.error.isEmpty())
        qDebug().nospace() << "Rolled back the interrupted " << what;
    else
        qDebug().nospace().noquote() << "Rolled back the interrupted " << what << ": " << ops.error;
    return true;
}

// Puts the kept version back; the reason, or a null string on success.
// *usable is false when what is kept cannot be put back at all.
QString revertWith(const QString &root, FileOps &ops, bool *usable)
{
    *usable = true;
    if (!recoverWith(root, ops))
        return QStringLiteral("An earlier update could not be completed or undone");
    Swap kept(root, ops);
    Swap swap(root, ops);
    if (!kept.readJournal(kept.keptJournalPath()) || !kept.keep
        || !swap.planRevert(kept, versionFileName())) {
        *usable = false;
        return ops.error.isEmpty() ? QStringLiteral("The kept journal is not an install's")
                                   : ops.error;
    }
    if (!swap.writeJournal()) {
        if (!ops.stopped)
            ops.removeTree(swap.journalPath());
        return ops.stopped ? QStringLiteral("Stopped by the test seam") : ops.error;
    }
    QVector<bool> made(swap.steps.size(), false);
    if (!swap.complete(made) || !ops.sync(root)) {
        if (ops.stopped)
            return QStringLiteral("Stopped by the test seam");
        const QString reason = ops.error;
        if (!swap.rollBack(made) || !swap.cleanUp(true, false))
            return reason + QStringLiteral("; undone at the next start");
        return reason;
    }
    if (!swap.cleanUp(true) && !ops.stopped)
        qDebug() << "Reverted; the journal is left for the next start:" << ops.error;
    return ops.stopped ? QStringLiteral("Stopped by the test seam") : QString();
}

// One install: stage, journal, swap, clean up.
class Run
{
public:
    Run(const QString &archivePath, const QString &root, const QString &versionFile, bool keep,
        const std::atomic<bool> &cancelled, std::function<void(qint64, qint64)> report)
        : archivePath(archivePath)
        , root(root)
        , versionFile(versionFile)
        , cancelled(cancelled)
        , report(std::move(report))
        , swap(root, ops)
    {
        swap.keep = keep;
    }

    // Returns the reason of the failure, or a null string on success.
    QString install()
    {
        if (!recoverWith(root, ops))
            return ops.stopped
                ? stoppedReason()
                : QStringLiteral("An earlier update could not be completed or undone");
        if (!stage()) {
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
        if (swap.keep && !swap.keepReplaced() && !ops.stopped) {
            qDebug() << "Installed; the version before it is not kept:" << ops.error;
            swap.dropKept();
        }
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
    , versionFile(versionFileName())
{
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
        Run run(archivePath, appDir, versionFile, keep, cancelled, report);
        const QString reason = run.install();
        QMetaObject::invokeMethod(
            this, [this, reason] { emit finished(reason.isNull(), reason); }, Qt::QueuedConnection);
    });
    worker->start();
}

Installer::RevertResult Installer::revert(const QString &appDir, QString *reason)
{
    FileOps ops;
    bool usable = true;
    *reason = revertWith(QDir::cleanPath(QDir(appDir).absolutePath()), ops, &usable);
    if (reason->isNull())
        return Reverted;
    return usable ? Undone : NothingKept;
}

bool Installer::removeKept(const QString &appDir, QString *reason)
{
    const QString root = QDir::cleanPath(QDir(appDir).absolutePath()) + QLatin1Char('/');
    const QString kept = root + QLatin1String(ReleaseFiles::previousVersion);
    if (!existsOnDisk(kept))
        return true;
    if (existsOnDisk(root + QLatin1String(journalFileName))) {
        *reason = QStringLiteral("an interrupted update is left for the next start");
        return false;
    }
    FileOps ops;
    if (ops.removeTree(kept))
        return true;
    *reason = ops.error;
    return false;
}

bool Installer::recover(const QString &appDir)
{
    FileOps ops;
    return recoverWith(QDir::cleanPath(QDir(appDir).absolutePath()), ops);
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
