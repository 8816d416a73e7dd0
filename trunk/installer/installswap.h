#ifndef INSTALLSWAP_H
#define INSTALLSWAP_H

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

class DeltaIndex;
class InstallFileOps;

// One change of the swap, journalled before any of them is made.
struct InstallStep
{
    enum Op {
        Backup, // a second name for the file or link, in the backup folder
        Move, // what is there (a folder, or of another kind) moved into the backup folder
        Place, // the staged file, link or whole new folder put in place, in one rename
        MakeDir, // a folder that was not there
        Mode, // an existing folder takes the release's mode
        Remove, // (a revert only) what the install added, moved into the backup folder
    };
    Op op;
    QString path;
    int oldMode = -1;
    int newMode = -1;
};

// The swap of staged files into the installation and its undoing, driven by
// a journal; used by the install itself and, at the next start, by recovery.
//
// Every replaced file or link first gets a second (hard) name in the backup
// folder, then the staged file is renamed over it: at every instant the path
// holds the old file or the new one. Only a path that changes kind (a folder
// becoming a file, or the other way) is moved away before the new one comes.
// The version file is placed last: once it is new, so is everything else.
class InstallSwap
{
public:
    InstallSwap(const QString &root, InstallFileOps &ops);

    QString installed(const QString &path) const;
    QString staged(const QString &path) const;
    QString backedUp(const QString &path) const;
    QString stagingFolder() const;
    QString backupFolder() const;
    QString journalPath() const;
    // Where an install that keeps the version before it leaves the backup
    // folder at its commit point: ReleaseFiles::previousVersion.
    QString previousFolder() const;

    void add(const InstallStep &step);

    // At the commit point of an install with `keep`: the backup folder (the
    // replaced files and the journal's copy, which says what the install
    // replaced and what it added) becomes the kept version, in place of an
    // earlier one. Repeatable after a kill.
    bool keepReplaced();
    // After keepReplaced() failed: half a kept version is none.
    void dropKept();
    // Reads the kept version's journal; false when none is kept whole.
    bool readKept();
    // The steps that undo the kept install `kept`, planned from what is on
    // disk and checked as a journal is: each replaced or removed path goes
    // back, each added one goes, the folders' modes return, the version file
    // last. With `record` (the installed release's files) an added path goes
    // only as far as it is as recorded; without, whatever is there goes.
    bool planRevert(
        const InstallSwap &kept, const QString &versionFile, const DeltaIndex *record);

    // Writes the journal and a copy of it (in the backup folder, first),
    // each flushed to disk before anything else happens.
    bool writeJournal();
    // Makes every step, in order; `made` (one flag per step) follows.
    bool complete(QVector<bool> &made);
    // Undoes whatever the disk shows was made, last first.
    bool rollBack();
    // Removes the journal, then the backup and staging folders.
    // A revert's staging folder is the kept version: removed once it is back
    // in place, left for another try when the revert was undone.
    bool cleanUp(bool completed = true);

    enum class Outcome {
        Whole, // nothing to do, or completed or rolled back
        SetAside, // the journal could not be trusted: set aside, installation left as it stood
        Failed, // the installation could not be made whole; the journal is kept
    };
    // What recovery at start-up does; logs one line saying which.
    static Outcome recover(const QString &root, InstallFileOps &ops);

    QVector<InstallStep> steps;
    // An install that keeps the version before it.
    bool keep = false;
    // A revert: what it puts in place comes from the kept version.
    bool reverting = false;

private:
    // Reads and checks one journal file into `steps`; false with ops.error set
    // when it is not whole or holds a step the installer could not have written.
    bool readJournal(const QString &path);
    bool parse(const QByteArray &bytes);
    bool plausible();
    QVector<bool> madeSoFar() const;
    bool placed(int index) const;
    bool canComplete(const QVector<bool> &made);
    bool reachable(const InstallStep &step);
    bool realChain(const QString &relative);
    bool ensureParent(const QString &path);
    QString journalCopyPath() const;
    QString stagingName() const;
    // Whether this install's replaced files are kept already (every step made).
    bool replacedKept() const;
    QString scratchPath() const;
    int stepIndex(InstallStep::Op op, const QString &path) const;
    Outcome setAside(const QString &reason);

    const QString root;
    InstallFileOps &ops;
    QSet<QString> madeParents;
    QByteArray journalBytes;
    QSet<QString> realChains;
    // Where each path's step of each kind is.
    QHash<QString, int> indexes[InstallStep::Remove + 1];
    bool repeated = false;
    // Recovery reads a journal whose steps lead through a link (a folder
    // replaced since) to undo the others; those steps are named here.
    bool linksTolerated = false;
    QStringList unreachable;
};

#endif // INSTALLSWAP_H
