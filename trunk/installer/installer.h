#ifndef INSTALLER_H
#define INSTALLER_H

#include "deltaindex.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>

class QThread;

// Installs an update archive over the application directory so that the
// installation is always wholly the old version or wholly the new one.
//
// Before anything is written the unpacked size is compared with the free
// space. One pass over the archive then writes every entry into a staging
// folder inside the application directory (the same file system), checking
// each entry's CRC. Only then is a journal written and the staged files
// swapped in (InstallSwap: each replaced file keeps a second name as its
// backup and the new one is renamed over it), the local version file last.
// Any failure rolls the installation back; a journal found at the next start
// (the process was killed, the machine lost power) is completed or rolled
// back by recover().
//
// Each install also puts in place the record of the files the release holds
// (InstallRecord). A path the installed release had by that record and the
// new one has not is removed only while it is as recorded; the updater's own
// files, its configuration and the names it reserves (Installation's
// reserved and kept names) never are. An archive writing to a reserved name
// is refused. An installation without a record loses nothing until its next
// install has written one.
//
// The work runs on a thread of its own; the signals arrive on the thread
// that owns the installer. Destroying a running installer stops it and waits:
// before the swap it rolls back, once swapping it finishes.
class Installer : public QObject
{
    Q_OBJECT

public:
    // The version file put in place last (Installation::versionFileName())
    // is chosen here, on the constructing thread.
    Installer(const QString &archivePath, const QString &appDir, QObject *parent = nullptr);
    ~Installer() override;

    // An installer of the tree a delta was staged into (the folder
    // ReleaseFiles::deltaStaging in appDir) instead of an archive: its folders,
    // files and links go through the same checks and the same journalled
    // swap; `index` (every path of the new release) says what the release
    // holds, as an archive's entries do.
    static Installer *forStagedDelta(
        const QString &appDir, const DeltaIndex &index, QObject *parent = nullptr);

    // The mode an entry with the archive's Unix mode bits is installed with:
    // never writable by group or others and without setuid, setgid or sticky
    // bits; -1 when the archive gives none. The updater keeps the right to
    // fill and empty the folders it made.
    static int installedMode(int archiveMode, bool folder);
    // Before start(): at the commit point the files the swap replaced, with
    // the journal that says what it replaced and what it added, are kept as
    // ReleaseFiles::previousVersion instead of being removed, so that
    // revert() can put the version before this one back. An earlier kept
    // version is removed then: it no longer comes before the installed one.
    void keepPrevious() { keep = true; }

    // Before start(): the archive is unpacked and checked as for an install,
    // and then the staged tree becomes the folder `tree` and the record of
    // its files (as ReleaseFiles::installedFiles holds it) the file
    // `record`; nothing installed is touched and nothing is recovered, so
    // it may run without the installation's lock. Both lie in appDir.
    void stageOnly(const QString &tree, const QString &record)
    {
        stagedTree = tree;
        stagedRecord = record;
    }

    // Returns at once; finished() follows exactly once. A second call does nothing.
    void start();

    // Puts back the version kept by an install with keepPrevious(): the
    // files it replaced or removed return, with the record of the files, and
    // the ones it added are removed (with a record, only those still as the
    // record says: a person's files stay). Journalled and
    // checked as an install is, so recover() after a kill at any point leaves
    // wholly the one version or the other. Only the kept version's paths are
    // touched. Runs on the calling thread, with the installation's lock
    // held. False with *reason when the version is not put back; then
    // *keptUsable says whether the revert failed and was undone (or is
    // undone by the next start's recovery: the installed version stays, the
    // kept one with it) or nothing changed because the kept version is
    // missing, damaged or incomplete.
    [[nodiscard]] static bool revert(const QString &appDir, QString *reason, bool *keptUsable);
    // Removes the kept version once its trial has ended. Refused (false,
    // with *reason) while a journal is left for the recovery, which may
    // still need it.
    static bool removeKept(const QString &appDir, QString *reason);

    // At start-up, before anything else touches the installation: rolls an
    // interrupted install back when nothing new was in place yet or a staged
    // file is missing, completes it otherwise, and removes what an install
    // left behind; logs which. A journal that cannot be trusted (damaged
    // along with its copy, or holding a step the installer never writes) is
    // set aside with its folders, the installation left as it stands.
    // Returns false only when the installation could not be made whole again
    // (the journal is then kept for the next try) or was left as it stood.
    static bool recover(const QString &appDir);

    // Test seam. From now on the operation-th file operation (1-based) of
    // every install or recovery fails as the system would fail it; with
    // stop set, the work instead ends right there, leaving the files as a
    // killed process would. 0 switches it off.
    static void setFaultForTesting(int operation, bool stop = false);
    // How many file operations the last install or recovery performed.
    static int operationsForTesting();

signals:
    // Uncompressed bytes staged so far, out of all in the archive.
    void progress(qint64 done, qint64 total);
    // Exactly once per start(); reason is empty on success, else one short
    // line, which the installer does not log itself (the receiver does).
    void finished(bool ok, const QString &reason);

private:
    const QString archivePath;
    const QString appDir;
    const QString versionFile;
    bool stagedDelta = false;
    DeltaIndex index;
    // Top names in the application directory that are never removed.
    QStringList own;
    bool keep = false;
    QString stagedTree;
    QString stagedRecord;
    QThread *worker = nullptr;
    std::atomic<bool> cancelled {false};
};

#endif // INSTALLER_H
