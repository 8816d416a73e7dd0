#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QElapsedTimer>
#include <QMainWindow>
#include <QStringList>

class BusyIndicator;
class Installer;
class QFile;
class QFtp;
class QLabel;
class QProgressBar;
class QThread;
class SourceList;
class QUrlInfo;

namespace Ui {
class MainWindow;
}

// The updater's only window and the owner of the update procedure: connect,
// log in, change into the server folder, list it, fetch "version.ver",
// compare, ask, fetch (and, with a public key built in, verify) and install
// "app.zip", then start the application.
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
        WaitSources,
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
    // The primary server could not tell its version: the mirrors may.
    void primaryFailed();
    // "new_version.ver" is in: compare, then ask or finish.
    void versionReceived();
    void askForUpdate();
    // "app.zip.minisig" (when archives are verified), then "app.zip".
    void downloadRelease();
    // The archive has arrived whole: check it, then install it.
    void archiveReceived();
    // Empty when the version a verified signature vouches for is the
    // published one and newer than the installed one; else why not.
    QString checkTrustedVersion(const QString &trustedVersion) const;
    void installArchive(const QString &archivePath);
    // The one way out: logs the reason once, then starts the application.
    void finish(const QString &reason);
    // Opens a local file for the download of serverFile, or finishes.
    QFile *openTarget(const QString &localName);
    void setStatus(const QString &text);
    // The bar at done of total (bytes), its text followed by suffix.
    void showAmount(qint64 done, qint64 total, const QString &suffix);
    QString ftpFailure() const;

    int stage = WaitLogin;
    QString localVersion;
    QString remoteVersion;
    qint64 archiveSize = -1;
    int overloadRetries = 0;
    bool launching = false;
    bool closeDeferred = false;
    QByteArray publicKey; // empty: archives are not verified
    QFile *versionFile = nullptr;
    BusyIndicator *busyIndicator = nullptr;
    QLabel *statusLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QElapsedTimer downloadClock;
    QFtp *ftp = nullptr;
    SourceList *sources = nullptr;
    Installer *installer = nullptr;
    QThread *verifier = nullptr;
    Ui::MainWindow *ui;
};

#endif // MAINWINDOW_H
