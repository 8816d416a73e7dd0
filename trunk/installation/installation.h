#ifndef INSTALLATION_H
#define INSTALLATION_H

#include "updatestate.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The facts of one installation on disk that more than one part needs:
// where its version file is and which version it holds, the names in the
// application directory that belong to the updater, and what it remembers
// between runs (UpdateState). The installer, the trial, the launcher and
// the window ask here instead of working any of it out themselves.
//
// One object per run owns the state: it is read from disk the first time
// it is asked for, and every change goes through changeState() (or a save
// handed back with stateSaved()), so that what is held here is always what
// was last read or written. The layout itself is Platform's to decide.
class Installation
{
public:
    explicit Installation(const QString &appDir);

    QString appDir() const { return dir; }

    // The folder of the application's program and of its version file,
    // relative to the application directory: "Bin" on the Windows layout,
    // "" (the directory itself) on the bundle and Linux layouts.
    static QString programFolder();
    // The version file, relative to the application directory:
    // "Bin/version.ver" or "version.ver". It is put in place last by every
    // install, so it says which release is installed.
    static QString versionFileName();
    QString versionFilePath() const;

    // The cleaned text of the installed version file, empty when there is
    // none, or when it is not (a link to) a regular file of at most
    // ReleaseFiles::maxVersionFileSize bytes. Read once; an install or a
    // revert calls versionChanged().
    QString installedVersion();
    void versionChanged() { version.reset(); }
    // The same, read now, for a caller without an Installation (a state
    // read damaged takes it as its floor).
    static QString readInstalledVersion(const QString &appDir);

    // The installer's own names in the application directory: the folder
    // files are staged in, the backup of what a swap replaces, the journal.
    static constexpr char stagingFolder[] = ".update-staging";
    static constexpr char backupFolder[] = ".update-backup";
    static constexpr char journalFile[] = ".update-journal";

    // Every top name in the application directory that belongs to the
    // updater (the installer's, the state's, the lock, the record of the
    // installed files, the kept version, the downloads); compared without
    // regard to case.
    static QStringList reservedNames();
    // Whether the first name of `relative` (a clean path relative to the
    // application directory) is reserved: an archive or a delta writing
    // there is refused, and a release never removes it.
    static bool isReserved(const QString &relative);
    // The top names a release never removes besides the reserved ones: the
    // configuration and the updater itself (its bundle or program, and the
    // top name it runs from when inside `root`).
    static QStringList keptNames(const QString &root);

    // What the installation remembers, read the first time it is asked for.
    // A state lost on disk (both files damaged) is logged once, when it is
    // read.
    const UpdateState &state();
    // The same, for a decision that may refuse a release on it: while the
    // state held is the strictest one (both files were damaged when it was
    // read, and nothing has been written since), each such decision says so
    // in the log.
    const UpdateState &stateForDecision();
    // Changes the state under its lock, keeping what others changed: `change`
    // is tried on the state held here, and when it changes anything, once
    // more on the state as it is on disk under the lock, which is then
    // written and held here. False with *reason when it could not be written
    // (the lock not taken: `change` has still seen the state); the state
    // held here is then the one on disk. `change` must not save.
    [[nodiscard]] bool changeState(
        const std::function<bool(UpdateState &)> &change, QString *reason);
    // A copy of state() that was changed and saved elsewhere
    // (UpdateState::save): from now on the state held here.
    void stateSaved(const UpdateState &saved);
    // Another process may have changed the installation (a revert waited
    // for): the state and the installed version are read again when next
    // asked for.
    void reload();

    // Test seam: how often this object has read the state from disk.
    int stateReadsForTesting() const { return reads; }

private:
    const QString dir;
    std::optional<QString> version;
    std::optional<UpdateState> held;
    QString lost;
    QString said; // the last loss logged, said once however often it is read
    int reads = 0;
};

#endif // INSTALLATION_H
