#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

class BusyIndicator;
class QFile;
class QFtp;
class QUrlInfo;

namespace Ui {
class MainWindow;
}

// The updater's only window and the owner of the update procedure: connect,
// log in, change into the server folder, list it, fetch "version.ver",
// compare, ask, fetch and unpack "app.zip", then start the application.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // What the next done() of the FTP client completes.
    enum UpdateStage { WaitLogin, WaitList, WaitVersionFile, WaitArchive, Finished };

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Starts the installed application, waits for the start to return and
    // closes the window. The started program's exit code is not used.
    void launchApplication();

    // The number of a version text: every "\n", "\r" and "." removed, the
    // rest read as a decimal int; 0 when that fails.
    static int versionNumber(QString text);

    // Unpacks the archive over targetDir, but only when every entry reads
    // back whole (its CRC matches) and would land inside targetDir; otherwise
    // nothing at all is written. Returns whether the archive was unpacked.
    static bool unpackArchive(const QString &archivePath, const QString &targetDir);

public slots:
    void handleStateChanged(int state);
    void commandFinished(bool);
    void handleListInfo(const QUrlInfo &info);

private:
    void askForUpdate();

    int stage = WaitLogin;
    int localVersion = 0;
    int remoteVersion = 0;
    QFile *zipFile = nullptr;
    QFile *versionFile = nullptr;
    BusyIndicator *busyIndicator = nullptr;
    QFtp *ftp = nullptr;
    Ui::MainWindow *ui;
};

#endif // MAINWINDOW_H
