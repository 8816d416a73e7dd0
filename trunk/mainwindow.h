#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "releasemanifest.h"
#include "showntext.h"

#include <QHash>
#include <QMainWindow>
#include <QStringList>

#include <memory>
#include <optional>

class CappedFile;
class DeltaUpdate;
class Installation;
class Installer;
class KeyringWalk;
class QFtp;
class QUrlInfo;
class ReadyUpdate;
class ReleaseDownload;
class SourceList;
class StatusView;

namespace Ui {
class MainWindow;
}

// The updater's only window and the owner of the update procedure: connect,
// log in, change into the server folder, list it, fetch "version.ver" (or,
// when that fails, ask the mirrors through the sources), check the signed
// manifest when a key is built in, compare, ask, have the release fetched
// and checked (ReleaseDownload) and install "app.zip", then start the
// application.
// Every way out, whatever fails and whenever the window is closed, ends in
// finish(), which logs why and starts the installed application.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // What the next done() of the FTP client completes.
    enum UpdateStage {
        WaitLogin,
        WaitList,
        WaitVersionFile,
        WaitReconnect,
        WaitSources, // the sources use the session: its ends are theirs
        WaitArchive, // also while the question is open
        WaitDeltaIndex,
        CheckingDelta,
        WaitDelta,
        ApplyingDelta,
        Installing,
        Finished
    };

    explicit MainWindow(QWidget *parent = nullptr);
    // The window of a run that asks `installation` (not owned) what is
    // installed and keeps its state through it; the one above asks its own,
    // of DirManager::getAppDir().
    // With `ready` (not owned, its lock held), a background release is
    // downloaded into it behind the application, and one it checked for
    // install is installed first.
    explicit MainWindow(
        Installation &installation, QWidget *parent = nullptr, ReadyUpdate *ready = nullptr);
    ~MainWindow() override;

    // Before the event loop runs, for a run that must not install (it holds
    // no lock on the installation): the published version is still fetched
    // and compared, and a newer one is logged with this reason, not offered.
    void installNothing(const QString &reason);
    // Before the event loop runs, when the installation could not be made
    // whole: nothing is asked of the server; the status line and the log say
    // that the installation needs attention, and the application starts.
    void startNeedingAttention();

    // Starts the installed application, waits for the start to return and
    // closes the window. A program that cannot be started, crashes, or (on
    // the bundle layout) that "open" could not start is logged in one line
    // with its arguments and the reason; an unsafe application name starts
    // nothing and is logged.
    void launchApplication();

    QString statusText() const;
    // Before the event loop runs: what start-up has to tell the person (a
    // release reverted), in the status line and the log.
    void showNote(const ShownText &text);

public slots:
    void handleStateChanged(int state);
    void commandFinished(bool);
    void handleListInfo(const QUrlInfo &info);

protected:
    // Closing the window cancels what is under way and starts the installed
    // application all the same; an install under way is let finish first.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void showProgress(qint64 done, qint64 total);

private:
    // The primary server could not tell its version (reason): the mirrors
    // may, else the run finishes.
    void primaryFailed(const QString &reason);
    // The published version is known: the manifest, or the comparison.
    void versionReceived();
    // Offers the update when the published version is newer, else finishes.
    void compareVersions();
    // Asks, unless this updater may not install (no lock).
    void offerUpdate();
    // No manifest could be fetched: the archive's own signature decides,
    // unless a manifest was verified before.
    void manifestMissing();
    void judgeManifest();
    // The release of the source that told the version does not verify
    // (refusal): the next source is asked, else the run finishes.
    void releaseRefused(const QString &refusal);
    // A delta from the installed version: its index, then whether it applies.
    void fetchDeltaIndex(const DeltaIndex::Offer &offer);
    void deltaFileFetched(bool ok, const QString &reason);
    void deltaChecked(bool ok, const QString &reason);
    void deltaStaged(bool ok, const QString &reason);
    // Logs once why the delta is not used, removes what it left, and goes on
    // with the full archive: asking, or (asked already) fetching it.
    void dropDelta(const QString &why);
    void askForUpdate();
    // A background release: the application starts now, the download goes on behind it.
    void goBackground();
    void startSession();
    // Hands the session to the sources for the delta when one is in use,
    // else "app.zip.minisig" (when archives are verified without a
    // manifest), then "app.zip".
    void downloadRelease();
    // The archive, or the tree the delta in use staged.
    void installArchive(const QString &archivePath);
    // The one way out: logs the reason once (none when empty), shows status
    // (by default "Starting NAME..."), then starts the application.
    void finish(const QString &reason, const ShownText &status = ShownText());
    void finishNeedingAttention();
    // Opens a local file in the application directory for a download, or finishes.
    template <typename File, typename... Cap>
    File *openTarget(const QString &localName, Cap... cap);
    // Queues the download of a small file into a file holding at most cap
    // bytes; when the listing announced more, the primary has failed instead.
    // Finishes when the target cannot be written.
    CappedFile *fetchCapped(const char *serverName, const char *localName, qint64 cap);
    // After the download into file: true, with *why, when it failed or
    // passed its cap.
    bool cappedFailure(CappedFile *file, bool error, const char *serverName, QString *why);
    QString ftpFailure() const;

    int stage = WaitLogin;
    std::unique_ptr<Installation> ownInstallation;
    Installation *installation = nullptr;
    QString localVersion;
    QString remoteVersion;
    // Why this run installs nothing; empty: it may.
    QString installRefusal;
    // Sizes of the server folder's files, as its listing gave them.
    QHash<QString, qint64> listedSizes;
    bool launching = false;
    bool closeDeferred = false;
    QByteArray publicKey; // empty: archives are not verified
    CappedFile *versionFile = nullptr;
    std::optional<ReleaseManifest> manifest; // verified, and the release offered
    StatusView *statusView = nullptr; // the spinner, the status line and the bar
    QFtp *ftp = nullptr;
    SourceList *sources = nullptr;
    ReleaseDownload *download = nullptr;
    KeyringWalk *keyrings = nullptr; // which keys sign, walked before the manifest
    DeltaUpdate *delta = nullptr; // in use until dropped
    Installer *installer = nullptr;
    ReadyUpdate *ready = nullptr;
    bool background = false;
    Ui::MainWindow *ui;
};

#endif // MAINWINDOW_H
