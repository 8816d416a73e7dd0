#include "installswap.h"

#include "installation.h"
#include "installfileops.h"
#include "installpaths.h"
#include "installrecord.h"
#include "releasefiles.h"
#include "safefiles.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRandomGenerator>

using namespace InstallPaths;

namespace {

const char *const opNames[] = {"backup", "move", "place", "mkdir", "mode", "remove"};
const int opCount = 6;
const int journalFormat = 2;
// Far more than the steps of any release; a bigger file is not a journal.
const qint64 maxJournalSize = 64 * 1024 * 1024;

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (kindOnDisk(path) != Kind::File || file.size() > maxJournalSize
        || !SafeFiles::open(file, QIODevice::ReadOnly, nullptr))
        return QByteArray();
    return file.readAll();
}

// The record of the installed files is the one reserved name the swap puts
// in place itself, with the release it describes.
bool notInstallable(const QString &path)
{
    return Installation::isReserved(path) && path != QLatin1String(ReleaseFiles::installedFiles);
}

QByteArray checksum(const QJsonArray &list)
{
    return QCryptographicHash::hash(
        QJsonDocument(list).toJson(QJsonDocument::Compact), QCryptographicHash::Sha256)
        .toHex();
}

} // namespace

InstallSwap::InstallSwap(const QString &root, InstallFileOps &ops)
    : root(root)
    , ops(ops)
{
}

QString InstallSwap::installed(const QString &path) const
{
    return root + QLatin1Char('/') + path;
}

// A revert puts back what the install kept, from where it kept it.
QString InstallSwap::stagingName() const
{
    return QLatin1String(reverting ? ReleaseFiles::previousVersion : Installation::stagingFolder);
}

QString InstallSwap::stagingFolder() const
{
    return root + QLatin1Char('/') + stagingName();
}

QString InstallSwap::previousFolder() const
{
    return root + QLatin1Char('/') + QLatin1String(ReleaseFiles::previousVersion);
}

QString InstallSwap::backupFolder() const
{
    return root + QLatin1Char('/') + QLatin1String(Installation::backupFolder);
}

QString InstallSwap::staged(const QString &path) const
{
    return path.isEmpty() ? stagingFolder() : stagingFolder() + QLatin1Char('/') + path;
}

QString InstallSwap::backedUp(const QString &path) const
{
    return backupFolder() + QLatin1Char('/') + path;
}

QString InstallSwap::journalPath() const
{
    return root + QLatin1Char('/') + QLatin1String(Installation::journalFile);
}

// Names no archive entry can take (they are reserved at the top).
QString InstallSwap::journalCopyPath() const
{
    return backedUp(QLatin1String(Installation::journalFile));
}

QString InstallSwap::scratchPath() const
{
    return backedUp(QLatin1String(Installation::stagingFolder));
}

void InstallSwap::add(const InstallStep &step)
{
    QHash<QString, int> &index = indexes[step.op];
    if (index.contains(step.path))
        repeated = true;
    else
        index.insert(step.path, steps.size());
    steps.append(step);
}

int InstallSwap::stepIndex(InstallStep::Op op, const QString &path) const
{
    return indexes[op].value(path, -1);
}

bool InstallSwap::writeJournal()
{
    QJsonArray list;
    for (const InstallStep &step : qAsConst(steps)) {
        QJsonArray entry {QLatin1String(opNames[step.op]), step.path};
        if (step.op == InstallStep::Mode)
            entry << step.oldMode << step.newMode;
        list.append(entry);
    }
    QJsonObject journal;
    journal.insert(QStringLiteral("format"), journalFormat);
    journal.insert(QStringLiteral("steps"), list);
    journal.insert(QStringLiteral("check"), QString::fromLatin1(checksum(list)));
    if (keep) {
        // Tells this install's kept version from an earlier install's.
        journal.insert(
            QStringLiteral("keep"), QString::number(QRandomGenerator::system()->generate64(), 16));
    }
    if (reverting)
        journal.insert(QStringLiteral("revert"), true);
    const QByteArray bytes = QJsonDocument(journal).toJson(QJsonDocument::Compact);
    journalBytes = bytes;
    // The copy is on disk before the journal exists: whenever a journal is
    // found, damaged or not, a sound copy of it is there too.
    return ops.makePath(backupFolder()) && ops.writeWhole(journalCopyPath(), bytes)
        && ops.sync(root) && ops.writeWhole(journalPath(), bytes) && ops.sync(root);
}

bool InstallSwap::readJournal(const QString &path)
{
    steps.clear();
    for (QHash<QString, int> &index : indexes)
        index.clear();
    repeated = false;
    unreachable.clear();
    QFile file(path);
    if (kindOnDisk(path) != Kind::File || !SafeFiles::open(file, QIODevice::ReadOnly, nullptr))
        return ops.refuse(QStringLiteral("cannot be read"));
    if (file.size() > maxJournalSize)
        return ops.refuse(QStringLiteral("too large"));
    journalBytes = file.readAll();
    return parse(journalBytes) && plausible();
}

bool InstallSwap::readKept()
{
    // Only the paths are checked here: the install's staging folder is long
    // gone. planRevert() checks the revert's own steps as an install's.
    reverting = false;
    journalBytes = readSmallFile(
        previousFolder() + QLatin1Char('/') + QLatin1String(Installation::journalFile));
    if (journalBytes.isEmpty())
        return ops.refuse(QStringLiteral("no journal is kept with it"));
    const QString foreign = QStringLiteral("its journal is not one of an install that kept it");
    if (!parse(journalBytes) || !keep || reverting)
        return ops.refuse(foreign);
    for (const InstallStep &step : qAsConst(steps)) {
        if (step.path.isEmpty() || relativeEntryPath(step.path) != step.path
            || notInstallable(step.path) || step.op == InstallStep::Remove)
            return ops.refuse(foreign);
    }
    return true;
}

bool InstallSwap::replacedKept() const
{
    return keep
        && readSmallFile(
               previousFolder() + QLatin1Char('/') + QLatin1String(Installation::journalFile))
        == journalBytes;
}

bool InstallSwap::keepReplaced()
{
    // The journal's copy goes with the backup folder: it says what the
    // install replaced (the files beside it) and what it added.
    if (!replacedKept()
        && (!ops.removeTree(previousFolder()) || !ops.rename(backupFolder(), previousFolder())))
        return false;
    return ops.sync(root);
}

void InstallSwap::dropKept()
{
    if (!ops.removeTree(previousFolder()))
        qDebug() << "Left for the next start:" << ops.error;
}

bool InstallSwap::planRevert(
    const InstallSwap &kept, const QString &versionFile, const DeltaIndex *record)
{
    reverting = true;
    QVector<InstallStep> undo;
    // What the install added, where the record of the installed files can
    // tell the release's own from what a person put there since.
    QSet<QString> added;
    for (int i = kept.steps.size() - 1; i >= 0; --i) {
        const InstallStep &step = kept.steps.at(i);
        const QString &path = step.path;
        if (step.op == InstallStep::Mode) {
            // Back to the mode it had before the install.
            const int mode = folderMode(installed(path));
            if (mode >= 0)
                undo.append({InstallStep::Mode, path, mode, step.oldMode});
            continue;
        }
        const bool removal = step.op == InstallStep::Move
            && kept.stepIndex(InstallStep::Place, path) < 0
            && kept.stepIndex(InstallStep::MakeDir, path) < 0;
        if (step.op != InstallStep::Place && step.op != InstallStep::MakeDir && !removal)
            continue;
        const Kind now = kindOnDisk(installed(path));
        if (!removal && kept.stepIndex(InstallStep::Backup, path) < 0
            && kept.stepIndex(InstallStep::Move, path) < 0) {
            if (now != Kind::None && record && path != QLatin1String(ReleaseFiles::installedFiles))
                added.insert(path);
            else if (now != Kind::None)
                undo.append({InstallStep::Remove, path});
            continue;
        }
        // Replaced or removed by the install: back from the kept version.
        const Kind before = kindOnDisk(staged(path));
        if (before == Kind::None)
            return ops.refuse(QStringLiteral("the version before it is incomplete: %1 is missing")
                                  .arg(quoted(staged(path))));
        if (now != Kind::None)
            undo.append(
                {now == before && now != Kind::Dir ? InstallStep::Backup : InstallStep::Move,
                    path});
        undo.append({InstallStep::Place, path});
    }
    if (record) {
        QMap<QString, DeltaIndex::Entry> gone;
        for (const DeltaIndex::Entry &e : record->entries) {
            for (QString above = e.path; !above.isEmpty(); above = parentOf(above)) {
                if (added.contains(above)) {
                    gone.insert(e.path, e);
                    break;
                }
            }
        }
        const QStringList removable = InstallRecord::removable(root, gone);
        for (int i = removable.size() - 1; i >= 0; --i)
            undo.prepend({InstallStep::Remove, removable.at(i)});
    }
    bool versionLast = true;
    for (const InstallStep &step : qAsConst(undo))
        versionLast = versionLast && !versionFile.startsWith(step.path + QLatin1Char('/'));
    for (const InstallStep &step : qAsConst(undo)) {
        if (!versionLast || step.path != versionFile)
            add(step);
    }
    for (const InstallStep &step : qAsConst(undo)) {
        if (versionLast && step.path == versionFile)
            add(step);
    }
    // The same checks as an install's journal gets.
    return plausible();
}

bool InstallSwap::parse(const QByteArray &bytes)
{
    const QJsonObject journal = QJsonDocument::fromJson(bytes).object();
    const QJsonValue list = journal.value(QStringLiteral("steps"));
    keep = journal.value(QStringLiteral("keep")).isString();
    reverting = journal.value(QStringLiteral("revert")).toBool();
    if (keep && reverting)
        return ops.refuse(QStringLiteral("not an update journal"));
    if (!list.isArray() || list.toArray().isEmpty())
        return ops.refuse(QStringLiteral("not an update journal"));
    // A damaged journal fails its checksum rather than being read as other steps.
    if (journal.value(QStringLiteral("format")).toInt() != journalFormat
        || journal.value(QStringLiteral("check")).toString().toLatin1() != checksum(list.toArray()))
        return ops.refuse(QStringLiteral("its checksum does not match"));
    for (const QJsonValue &value : list.toArray()) {
        const QJsonArray entry = value.toArray();
        InstallStep step {InstallStep::Backup, entry.at(1).toString()};
        int op = 0;
        while (op < opCount && entry.at(0).toString() != QLatin1String(opNames[op]))
            ++op;
        if (op == InstallStep::Mode && entry.size() == 4) {
            step.oldMode = entry.at(2).toInt(-1);
            step.newMode = entry.at(3).toInt(-1);
        } else if (entry.size() != 2) {
            op = opCount;
        }
        if (op == opCount || !entry.at(1).isString())
            return ops.refuse(QStringLiteral("not an update journal"));
        step.op = InstallStep::Op(op);
        add(step);
    }
    return true;
}

// Whether every step is one the installer could have written: each path
// inside the application folder, reached through real folders only, each
// backup followed by the placing of the same path, each placed path staged.
bool InstallSwap::plausible()
{
    if (repeated)
        return ops.refuse(QStringLiteral("a step comes twice"));
    for (int i = 0; i < steps.size(); ++i) {
        const InstallStep &step = steps.at(i);
        const QString &path = step.path;
        const QString which = QStringLiteral("its step %1 %2").arg(opNames[step.op], quoted(path));
        if (path.isEmpty() || relativeEntryPath(path) != path || notInstallable(path))
            return ops.refuse(which + QStringLiteral(" is not a path of the installation"));
        const int backup = stepIndex(InstallStep::Backup, path);
        const int move = stepIndex(InstallStep::Move, path);
        const int place = stepIndex(InstallStep::Place, path);
        const int makeDir = stepIndex(InstallStep::MakeDir, path);
        // A path a revert removes has no other step.
        const int remove = stepIndex(InstallStep::Remove, path);
        bool fits = remove < 0;
        switch (step.op) {
        case InstallStep::Backup:
            fits = fits && move < 0 && makeDir < 0 && place > i;
            break;
        case InstallStep::Move:
            // Alone: a path a delta's release no longer has.
            fits = fits && backup < 0 && (place > i || makeDir > i || (place < 0 && makeDir < 0));
            break;
        case InstallStep::Place:
            fits = fits && makeDir < 0
                && realFolders(root, stagingName() + QLatin1Char('/') + parentOf(path), false);
            break;
        case InstallStep::Remove:
            fits = reverting && backup < 0 && move < 0 && place < 0 && makeDir < 0;
            break;
        case InstallStep::MakeDir:
            fits = fits && backup < 0 && place < 0;
            break;
        case InstallStep::Mode:
            fits = fits && backup < 0 && move < 0 && place < 0 && makeDir < 0 && step.oldMode >= 0
                && step.oldMode <= 07777
                && step.newMode >= 0
                // A revert gives back the mode a folder had; an install
                // never gives group or others the right to write.
                && (reverting ? step.newMode <= 07777 : (step.newMode & ~0755) == 0);
            break;
        }
        if (!fits)
            return ops.refuse(which + QStringLiteral(" is not one the installer writes"));
        if (!reachable(step)) {
            if (!linksTolerated)
                return false;
            unreachable.append(quoted(path));
        }
    }
    return true;
}

// The step's paths lead through real folders only, never through a link
// (which could take a rename or a removal anywhere on the disk).
bool InstallSwap::reachable(const InstallStep &step)
{
    const QString parent = parentOf(step.path);
    const QString staging = stagingName() + QLatin1Char('/');
    const QString backup = QLatin1String(Installation::backupFolder) + QLatin1Char('/');
    if (realChain(parent) && realChain(staging + parent) && realChain(backup + parent))
        return true;
    return ops.refuse(QStringLiteral("%1 is reached through a link").arg(quoted(step.path)));
}

// A chain of folders found whole and real is not looked at again.
bool InstallSwap::realChain(const QString &relative)
{
    if (realChains.contains(relative))
        return true;
    if (!realFolders(root, relative, true))
        return false;
    if (kindOnDisk(root + QLatin1Char('/') + relative) == Kind::Dir)
        realChains.insert(relative);
    return true;
}

bool InstallSwap::placed(int index) const
{
    const QString &path = steps.at(index).path;
    if (existsOnDisk(staged(path)) || !existsOnDisk(installed(path)))
        return false;
    if (stepIndex(InstallStep::Move, path) >= 0)
        return existsOnDisk(backedUp(path));
    if (stepIndex(InstallStep::Backup, path) >= 0)
        return existsOnDisk(backedUp(path)) && !sameFile(backedUp(path), installed(path));
    return true;
}

QVector<bool> InstallSwap::madeSoFar() const
{
    QVector<bool> made;
    for (int i = 0; i < steps.size(); ++i) {
        const InstallStep &step = steps.at(i);
        switch (step.op) {
        case InstallStep::Backup:
        case InstallStep::Move:
        case InstallStep::Remove:
            made.append(existsOnDisk(backedUp(step.path)));
            break;
        case InstallStep::Place:
            made.append(placed(i));
            break;
        case InstallStep::MakeDir:
            made.append(kindOnDisk(installed(step.path)) == Kind::Dir
                && (stepIndex(InstallStep::Move, step.path) < 0
                    || existsOnDisk(backedUp(step.path))));
            break;
        case InstallStep::Mode:
            made.append(folderMode(installed(step.path)) == step.newMode);
            break;
        }
    }
    return made;
}

// Whether every file still to be put in place is still staged, and every
// path still to be backed up still there.
bool InstallSwap::canComplete(const QVector<bool> &made)
{
    for (int i = 0; i < steps.size(); ++i) {
        const InstallStep &step = steps.at(i);
        if (made.at(i))
            continue;
        if (step.op == InstallStep::Place && !existsOnDisk(staged(step.path)))
            return ops.refuse(
                QStringLiteral("the staged copy of %1 is missing").arg(quoted(step.path)));
        if ((step.op == InstallStep::Backup || step.op == InstallStep::Move
                || step.op == InstallStep::Remove)
            && !existsOnDisk(installed(step.path)))
            return ops.refuse(
                QStringLiteral("%1 is missing, so cannot be kept").arg(quoted(step.path)));
    }
    return true;
}

bool InstallSwap::complete(QVector<bool> &made)
{
    for (int i = 0; i < steps.size(); ++i) {
        if (made.at(i))
            continue;
        const InstallStep &step = steps.at(i);
        const QString &path = step.path;
        if (!reachable(step))
            return false;
        bool ok = true;
        switch (step.op) {
        case InstallStep::Backup:
            ok = ensureParent(backedUp(path))
                && ops.linkOrCopy(installed(path), backedUp(path), scratchPath());
            break;
        case InstallStep::Move:
        case InstallStep::Remove:
            ok = ensureParent(backedUp(path)) && ops.rename(installed(path), backedUp(path));
            break;
        case InstallStep::Place:
            ok = ops.renameOver(staged(path), installed(path));
            break;
        case InstallStep::MakeDir:
            ok = ops.makePath(installed(path));
            break;
        case InstallStep::Mode:
            ok = folderMode(installed(path)) < 0 || ops.setMode(installed(path), step.newMode);
            break;
        }
        if (!ok)
            return false;
        made[i] = true;
    }
    return true;
}

// Each undoing is judged from the disk, so that a rollback cut short is
// taken up again at the next start without undoing anything twice.
// A step that cannot be undone (a link now on its way, a file that will
// not move) is named, and every other one is still undone.
bool InstallSwap::rollBack()
{
    QStringList notUndone;
    for (int i = steps.size() - 1; i >= 0; --i) {
        const InstallStep &step = steps.at(i);
        const QString &path = step.path;
        if (ops.stopped)
            return false;
        if (!reachable(step)) {
            notUndone.append(quoted(path));
            continue;
        }
        bool ok = true;
        switch (step.op) {
        case InstallStep::Backup:
            // Undone with the placing of the same path.
            break;
        case InstallStep::Move:
        case InstallStep::Remove:
            if (existsOnDisk(backedUp(path)) && !existsOnDisk(installed(path)))
                ok = ops.rename(backedUp(path), installed(path));
            break;
        case InstallStep::Place:
            if (stepIndex(InstallStep::Backup, path) >= 0) {
                // The old file goes back over the new one in one step; an
                // undone revert first gives the kept file its name back, so
                // that the revert can be tried again.
                if (existsOnDisk(backedUp(path)) && !sameFile(backedUp(path), installed(path)))
                    ok = (!reverting || existsOnDisk(staged(path))
                             || (ensureParent(staged(path))
                                 && ops.linkOrCopy(installed(path), staged(path), scratchPath())))
                        && ops.renameOver(backedUp(path), installed(path));
            } else if (placed(i)) {
                ok = ensureParent(staged(path)) && ops.rename(installed(path), staged(path));
            }
            break;
        case InstallStep::MakeDir:
            if (kindOnDisk(installed(path)) == Kind::Dir)
                ok = ops.removeDir(installed(path));
            break;
        case InstallStep::Mode: {
            const int mode = folderMode(installed(path));
            if (mode >= 0 && mode != step.oldMode)
                ok = ops.setMode(installed(path), step.oldMode);
            break;
        }
        }
        if (!ok)
            notUndone.append(quoted(path));
    }
    if (notUndone.isEmpty())
        return true;
    ops.error += QStringLiteral("; not undone: ") + notUndone.join(QLatin1String(", "));
    return false;
}

// Once the journal is gone nothing needs the folders; failing to remove them
// (a program still running from the backup on Windows) is left to the next
// start. The copy goes first: a journal without its backups is never trusted.
bool InstallSwap::cleanUp(bool completed)
{
    if (!ops.removeTree(journalCopyPath()) || !ops.remove(journalPath()))
        return false;
    const bool backupRemoved = ops.removeTree(backupFolder());
    const bool stagingRemoved = !reverting || completed ? ops.removeTree(stagingFolder()) : true;
    if (!backupRemoved || !stagingRemoved)
        qDebug() << "Left for the next start:" << ops.error;
    return true;
}

bool InstallSwap::ensureParent(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString parent = path.left(slash);
    if (madeParents.contains(parent))
        return true;
    if (kindOnDisk(parent) != Kind::Dir && !ops.makePath(parent))
        return false;
    madeParents.insert(parent);
    return true;
}

InstallSwap::Outcome InstallSwap::setAside(const QString &reason)
{
    const QString suffix = QStringLiteral(".damaged-")
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name;
    for (const QString &path : {journalPath(), stagingFolder(), backupFolder()}) {
        if (!existsOnDisk(path))
            continue;
        QString target = path + suffix;
        for (int n = 2; existsOnDisk(target); ++n)
            target = path + suffix + QLatin1Char('-') + QString::number(n);
        if (!ops.rename(path, target)) {
            qDebug().noquote()
                << QStringLiteral("Cannot set aside the damaged update journal (%1):").arg(reason)
                << ops.error;
            return Outcome::Failed;
        }
        if (name.isEmpty())
            name = target.mid(root.size() + 1);
    }
    qDebug().noquote() << QStringLiteral("Set aside the damaged update journal (%1) as %2 with its "
                                         "folders; the installation is left as it stands")
                              .arg(reason, quoted(name));
    return Outcome::SetAside;
}

InstallSwap::Outcome InstallSwap::recover(const QString &root, InstallFileOps &ops)
{
    InstallSwap swap(root, ops);
    // A journal is written under a scratch name and renamed into place; a
    // run killed in between leaves the scratch file, which is not the
    // journal and belongs to no release. Only an updater holding the
    // installation's lock writes one, and this one holds it.
    const QString journalName = QFileInfo(swap.journalPath()).fileName();
    const QStringList scratches = QDir(root).entryList(
        {journalName + QLatin1String(".??????")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &scratch : scratches) {
        if (!ops.remove(root + QLatin1Char('/') + scratch)) {
            qDebug() << "Cannot remove what an unfinished update left:" << ops.error;
            return Outcome::Failed;
        }
        qDebug().noquote() << "Removed the unfinished journal" << quoted(scratch);
    }
    if (!existsOnDisk(swap.journalPath())) {
        // Interrupted before its journal was written (nothing installed was
        // touched), or finished but not cleaned up.
        if (!existsOnDisk(swap.stagingFolder()) && !existsOnDisk(swap.backupFolder()))
            return Outcome::Whole;
        if (!ops.removeTree(swap.stagingFolder()) || !ops.removeTree(swap.backupFolder())) {
            qDebug() << "Cannot remove what an unfinished update left:" << ops.error;
            return Outcome::Failed;
        }
        qDebug() << "Removed what an earlier update left behind";
        return Outcome::Whole;
    }
    QString note;
    swap.linksTolerated = true;
    if (!swap.readJournal(swap.journalPath())) {
        const QString damage = ops.error;
        ops.error.clear();
        if (ops.stopped || !swap.readJournal(swap.journalCopyPath()))
            return swap.setAside(damage);
        ops.error.clear();
        note = QStringLiteral("its journal was damaged (%1); its copy was used").arg(damage);
    }
    if (!swap.unreachable.isEmpty()) {
        // A folder on the way became a link since: nothing is done through
        // it, every other step made is undone, and the journal is set aside
        // with what it could not undo.
        if (ops.stopped || (!swap.rollBack() && ops.stopped))
            return Outcome::Failed;
        return swap.setAside(ops.error);
    }
    QVector<bool> made = swap.madeSoFar();
    bool anyPlaced = false;
    for (int i = 0; i < made.size(); ++i)
        anyPlaced = anyPlaced || (swap.steps.at(i).op == InstallStep::Place && made.at(i));
    // Nothing new in place yet: undoing is as quick, and the update is
    // offered again. Otherwise it is completed when all of it is there.
    // Once the replaced files are kept the backup folder is gone and the
    // steps no longer show; they had all been made.
    const bool completed
        = swap.replacedKept() || (anyPlaced && swap.canComplete(made) && swap.complete(made));
    const bool whole = completed || (!ops.stopped && swap.rollBack());
    if (whole && completed && swap.keep && !swap.keepReplaced() && !ops.stopped) {
        qDebug() << "The version before the update is not kept:" << ops.error;
        swap.dropKept();
    }
    if (!whole || ops.stopped || !swap.cleanUp(completed)) {
        qDebug() << "Cannot recover the interrupted update:" << ops.error;
        return Outcome::Failed;
    }
    const QString reason = ops.error.isEmpty() ? note : ops.error;
    const QString what = swap.reverting ? QStringLiteral("revert") : QStringLiteral("update");
    const QString outcome = completed ? QStringLiteral("Completed the interrupted ") + what
                                      : QStringLiteral("Rolled back the interrupted ") + what;
    if (reason.isEmpty())
        qDebug().noquote() << outcome;
    else
        qDebug().noquote() << outcome + QStringLiteral(": ") + reason;
    return Outcome::Whole;
}
