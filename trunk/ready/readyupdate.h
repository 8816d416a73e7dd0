#ifndef READYUPDATE_H
#define READYUPDATE_H

#include "deltaindex.h"
#include "instancelock.h"
#include "manifestcheck.h"
#include "releasemanifest.h"

#include <QObject>
#include <QString>

class Installation;
class DeltaUpdate;
class Installer;

// A release downloaded while the application runs and installed at the
// next start: the folder ReleaseFiles::readyUpdate in the application
// directory, its completeness marker, its check at that start and its
// hand-over to the installer, whose journalled swap puts it in place.
//
// The folder holds the verified "release.json" with its signature, the
// unpacked tree ("tree"), the record of every path of the release
// ("files.json", a delta's index: for an archive every file staged, for a
// delta the signed index itself) and, written last once everything else is
// on disk, the marker ("ready"). Only a folder with its marker is ever
// installed; anything else is what a killed or failed run left.
//
// Two locks keep the runs apart. The background run gives up the
// installation's lock ("updater.lock") once it goes to the background, so
// that a second start and `--confirm` are never held up by its download,
// and holds ReleaseFiles::readyLock until it ends, having taken it while it
// still held the installation's. A start takes the installation's lock and
// then this one: while a background run holds it, that start installs and
// recovers nothing (its files, the partial archive and the staged delta,
// are the background run's); with both, it may install a complete ready
// update or remove an incomplete one.
class ReadyUpdate : public QObject
{
    Q_OBJECT

public:
    explicit ReadyUpdate(const QString &appDir, QObject *parent = nullptr);

    // Tries ReleaseFiles::readyLock once, without waiting; HeldByAnother
    // while a background run works. Unless Acquired, *reason says why.
    InstanceLock::Result lock(QString *reason);

    // The version of the complete ready update (its marker read), empty when
    // there is none.
    QString completeVersion() const;
    // Removes the ready folder (with the lock held). False with *reason
    // when something stays.
    bool discard(QString *reason = nullptr);

    // At a start holding both locks: whether the complete ready update may
    // be installed over what is installed now: its manifest judged again as
    // a published one would be (the built-in key and this installation's
    // product and folder, not expired at `now`, no replay of one verified
    // since, still newer than the installed version and offered here), not
    // a version reverted here, and every path of its tree the one its
    // record names (no file changed, none added or missing; a delta's record
    // its signed index, and the installed files it keeps as it expects).
    // False with *reason, one line, when not; the caller then discards it.
    [[nodiscard]] bool check(
        Installation &installation, const ManifestCheck::Input &input, QString *reason);
    // After check(): the tree handed to the installer (it becomes the staged
    // delta's folder, its record the index), the marker removed first, so
    // that a kill from here on leaves no ready update. With the manifest's
    // `confirm` the release goes on trial from this start; *note is then
    // the line to log when it could not. Null with *reason when the tree
    // cannot be handed over.
    Installer *installer(
        Installation &installation, QObject *parent, QString *note, QString *reason);
    const ReleaseManifest &manifest() const { return checked; }
    // Whether check() passed: the start installs it before anything else.
    bool checkedForInstall() const { return passed; }
    // The installer() of the checked update, run: installed() follows once,
    // after the installation was read again and the ready folder removed;
    // a failed install is undone (also by a recovery when its rollback
    // failed: `whole` is false when even that failed). `lines` are the
    // lines to log.
    void install(Installation &installation);

    // The installation's lock of this run, given up by goBackground().
    void setInstallationLock(InstanceLock *lock) { installationLock = lock; }
    void goBackground();

    // The background run's end, with this lock held: the archive at
    // archivePath, verified against `manifest`, is unpacked into a fresh
    // ready folder off the GUI thread, or the tree `delta` staged is moved
    // there with its index (the one its offer signs); then the manifest's
    // bytes and signature are written beside it and the marker last.
    // prepared() follows once, with the line to log.
    void prepare(const QString &archivePath, DeltaUpdate *delta, const QByteArray &manifest,
        const QByteArray &signature, const QString &version);

    QString folder() const;

signals:
    void prepared(bool ok, const QString &line);
    void progress(qint64 done, qint64 total);
    void installed(bool whole, const QStringList &lines);

private:
    bool startFolder(QString *reason);
    bool finishFolder(const QByteArray &manifest, const QByteArray &signature,
        const QString &version, const QString &from, QString *reason);
    void ended(bool ok, const QString &version, const QString &reason);
    bool moveDelta(const QString &indexPath, QString *reason);
    bool checkTree(const DeltaIndex &record, bool full, QString *reason) const;

    const QString appDir;
    InstanceLock readyLock;
    InstanceLock *installationLock = nullptr;
    bool passed = false;
    Installer *unpacker = nullptr;
    ReleaseManifest checked;
    DeltaIndex record;
};

#endif // READYUPDATE_H
