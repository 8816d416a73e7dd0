#include "installswap.h"

#include "installer.h"
#include "installfileops.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace InstallPaths;

namespace {

const char *const opNames[] = {"backup", "move", "place", "mkdir", "mode"};
const int journalFormat = 2;
// Far more than the steps of any release; a bigger file is not a journal.
const qint64 maxJournalSize = 64 * 1024 * 1024;

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

QString InstallSwap::stagingFolder() const
{
    return root + QLatin1Char('/') + QLatin1String(Installer::stagingFolderName);
}

QString InstallSwap::backupFolder() const
{
    return root + QLatin1Char('/') + QLatin1String(Installer::backupFolderName);
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
    return root + QLatin1Char('/') + QLatin1String(Installer::journalFileName);
}

// Names no archive entry can take (they are reserved at the top).
QString InstallSwap::journalCopyPath() const
{
    return backedUp(QLatin1String(Installer::journalFileName));
}

QString InstallSwap::scratchPath() const
{
    return backedUp(QLatin1String(Installer::stagingFolderName));
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
    const QByteArray bytes = QJsonDocument(journal).toJson(QJsonDocument::Compact);
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
    QFile file(path);
    if (kindOnDisk(path) != Kind::File || !file.open(QIODevice::ReadOnly))
        return ops.refuse(QStringLiteral("cannot be read"));
    if (file.size() > maxJournalSize)
        return ops.refuse(QStringLiteral("too large"));
    return parse(file.readAll()) && plausible();
}

bool InstallSwap::parse(const QByteArray &bytes)
{
    const QJsonObject journal = QJsonDocument::fromJson(bytes).object();
    const QJsonValue list = journal.value(QStringLiteral("steps"));
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
        while (op < 5 && entry.at(0).toString() != QLatin1String(opNames[op]))
            ++op;
        if (op == InstallStep::Mode && entry.size() == 4) {
            step.oldMode = entry.at(2).toInt(-1);
            step.newMode = entry.at(3).toInt(-1);
        } else if (entry.size() != 2) {
            op = 5;
        }
        if (op == 5 || !entry.at(1).isString())
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
        if (path.isEmpty() || relativeEntryPath(path) != path || isReserved(path))
            return ops.refuse(which + QStringLiteral(" is not a path of the installation"));
        const int backup = stepIndex(InstallStep::Backup, path);
        const int move = stepIndex(InstallStep::Move, path);
        const int place = stepIndex(InstallStep::Place, path);
        const int makeDir = stepIndex(InstallStep::MakeDir, path);
        bool fits = true;
        switch (step.op) {
        case InstallStep::Backup:
            fits = move < 0 && makeDir < 0 && place > i;
            break;
        case InstallStep::Move:
            // Alone: a path a delta's release no longer has.
            fits = backup < 0 && (place > i || makeDir > i || (place < 0 && makeDir < 0));
            break;
        case InstallStep::Place:
            fits = makeDir < 0
                && realFolders(root,
                    QLatin1String(Installer::stagingFolderName) + QLatin1Char('/') + parentOf(path),
                    false);
            break;
        case InstallStep::MakeDir:
            fits = backup < 0 && place < 0;
            break;
        case InstallStep::Mode:
            fits = backup < 0 && move < 0 && place < 0 && makeDir < 0 && step.oldMode >= 0
                && step.oldMode <= 07777 && step.newMode >= 0 && (step.newMode & ~0755) == 0;
            break;
        }
        if (!fits)
            return ops.refuse(which + QStringLiteral(" is not one the installer writes"));
        if (!reachable(step))
            return false;
    }
    return true;
}

// The step's paths lead through real folders only, never through a link
// (which could take a rename or a removal anywhere on the disk).
bool InstallSwap::reachable(const InstallStep &step)
{
    const QString parent = parentOf(step.path);
    const QString staging = QLatin1String(Installer::stagingFolderName) + QLatin1Char('/');
    const QString backup = QLatin1String(Installer::backupFolderName) + QLatin1Char('/');
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
        if ((step.op == InstallStep::Backup || step.op == InstallStep::Move)
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
bool InstallSwap::rollBack()
{
    for (int i = steps.size() - 1; i >= 0; --i) {
        const InstallStep &step = steps.at(i);
        const QString &path = step.path;
        if (!reachable(step))
            return false;
        bool ok = true;
        switch (step.op) {
        case InstallStep::Backup:
            // Undone with the placing of the same path.
            break;
        case InstallStep::Move:
            if (existsOnDisk(backedUp(path)) && !existsOnDisk(installed(path)))
                ok = ops.rename(backedUp(path), installed(path));
            break;
        case InstallStep::Place:
            if (stepIndex(InstallStep::Backup, path) >= 0) {
                // The old file goes back over the new one in one step.
                if (existsOnDisk(backedUp(path)) && !sameFile(backedUp(path), installed(path)))
                    ok = ops.renameOver(backedUp(path), installed(path));
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
            return false;
    }
    return true;
}

// Once the journal is gone nothing needs the folders; failing to remove them
// (a program still running from the backup on Windows) is left to the next
// start. The copy goes first: a journal without its backups is never trusted.
bool InstallSwap::cleanUp()
{
    if (!ops.removeTree(journalCopyPath()) || !ops.remove(journalPath()))
        return false;
    const bool backupRemoved = ops.removeTree(backupFolder());
    const bool stagingRemoved = ops.removeTree(stagingFolder());
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
    if (!swap.readJournal(swap.journalPath())) {
        const QString damage = ops.error;
        ops.error.clear();
        if (ops.stopped || !swap.readJournal(swap.journalCopyPath()))
            return swap.setAside(damage);
        ops.error.clear();
        note = QStringLiteral("its journal was damaged (%1); its copy was used").arg(damage);
    }
    QVector<bool> made = swap.madeSoFar();
    bool anyPlaced = false;
    for (int i = 0; i < made.size(); ++i)
        anyPlaced = anyPlaced || (swap.steps.at(i).op == InstallStep::Place && made.at(i));
    // Nothing new in place yet: undoing is as quick, and the update is
    // offered again. Otherwise it is completed when all of it is there.
    const bool completed = anyPlaced && swap.canComplete(made) && swap.complete(made);
    const bool whole = completed || (!ops.stopped && swap.rollBack());
    if (!whole || ops.stopped || !swap.cleanUp()) {
        qDebug() << "Cannot recover the interrupted update:" << ops.error;
        return Outcome::Failed;
    }
    const QString reason = ops.error.isEmpty() ? note : ops.error;
    const QString outcome = completed ? QStringLiteral("Completed the interrupted update")
                                      : QStringLiteral("Rolled back the interrupted update");
    if (reason.isEmpty())
        qDebug().noquote() << outcome;
    else
        qDebug().noquote() << outcome + QStringLiteral(": ") + reason;
    return Outcome::Whole;
}
