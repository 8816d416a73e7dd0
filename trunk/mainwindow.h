#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "releasemanifest.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QStringList>

#include <optional>

class BusyIndicator;
class Installer;
class QFile;
class QFtp;
class QLabel;
class QProgressBar;
class QThread;
class QUrlInfo;

namespace Ui {
class MainWindow;
}

// The updater's only window and the owner of the update procedure: connect,
// log in, change into the server folder, list it, fetch "version.ver",
// compare, ask, fetch (and, with a public key built in, verify) and install
// "app.zip", then start the application. With a key built in, the signed
// "release.json" (when the server has one) decides instead of the bare
// version comparison; ManifestCheck judges it.
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
        WaitManifest,
        WaitManifestSignature,
        WaitReconnect,
        WaitSignature,
        WaitArchive,
        Verifying,
        Installing,
        Finished
    };

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Starts the installed application, waits for the start to return and
    // closes the window. The started program's exit code is not used; an
    // unsafe application name starts nothing and is logged.
    void launchApplication();

    // The program and arguments that start application `name` installed in
    // appDir: "open" with "DIR/NAME.app" on the bundle layout, the executable
    // "DIR/Bin/NAME.exe" with none on Windows. False, with *reason set, for a
    // name that is empty or holds "/", "\\", ".." or a control character,
    // which could point outside the application directory.
    static bool launchCommand(const QString &appDir, const QString &name, QString *program,
        QStringList *arguments, QString *reason);

    QString statusText() const;

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
    void showInstallProgress(qint64 done, qint64 total);

private:
    // Asks when the published version is newer, else finishes.
    void compareVersions();
    // "release.json", then "release.json.minisig".
    void fetchManifest();
    // Neither could be fetched: the archive's own signature decides, unless
    // a manifest was verified before.
    void manifestMissing();
    void judgeManifest();
    void askForUpdate();
    // "app.zip.minisig" (when archives are verified), then "app.zip".
    void downloadRelease();
    void downloadArchive();
    // The archive has arrived whole: check it, then install it.
    void archiveReceived();
    // Empty when the version a verified signature vouches for is the
    // published one and newer than the installed one; else why not.
    QString checkTrustedVersion(const QString &trustedVersion) const;
    void installArchive(const QString &archivePath);
    // The one way out: logs the reason once, then starts the application.
    void finish(const QString &reason);
    // Opens a local file for a download of at most cap bytes, or finishes.
    QFile *openTarget(const QString &localName, qint64 cap = -1);
    void setStatus(const QString &text);
    // The bar at done of total (bytes), its text followed by suffix.
    void showAmount(qint64 done, qint64 total, const QString &suffix);
    QString ftpFailure() const;

    int stage = WaitLogin;
    QString localVersion;
    QString remoteVersion;
    qint64 archiveSize = -1;
    bool launching = false;
    bool closeDeferred = false;
    QByteArray publicKey; // empty: archives are not verified
    QFile *zipFile = nullptr;
    QFile *signatureFile = nullptr;
    QFile *versionFile = nullptr;
    QFile *manifestSignatureFile = nullptr;
    QFile *manifestFile = nullptr;
    std::optional<ReleaseManifest> manifest; // verified, and the release offered
    BusyIndicator *busyIndicator = nullptr;
    QLabel *statusLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QElapsedTimer downloadClock;
    QFtp *ftp = nullptr;
    Installer *installer = nullptr;
    QThread *verifier = nullptr;
    Ui::MainWindow *ui;
};

#endif // MAINWINDOW_H
