#ifndef PUBLISHER_H
#define PUBLISHER_H

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QFile;
class QFtp;
class ReleaseSigner;

// Puts a release on the update server so that a reader of the folder, at
// any moment, finds either the old release or the new one under the final
// names, never a partial file: every file goes up under a temporary name,
// its size is checked with SIZE, and only when all of them are up are they
// renamed into place (a rename replaces the old file at once), the version
// file last. A failure before the renames removes the temporary files (over
// a new connection when the old one is gone) and leaves the old release as
// it was.
class Publisher : public QObject
{
    Q_OBJECT

public:
    struct Server
    {
        QString host;
        quint16 port = 21;
        QString user;
        QString password;
        QString folder; // made when missing
        // The longest the FTP client waits without progress (QFtp::setTimeout).
        int timeoutMs = 30000;
    };

    // The three files of a release, in the order they are renamed into place.
    static QStringList releaseFiles(); // "app.zip", "app.zip.minisig", "version.ver"

    // Builds "app.zip" from sourceDir into outputDir, writes "version.ver"
    // and signs the archive as "app.zip.minisig" with the trusted comment
    // "timestamp:<unix> file:app.zip version:<version>".
    static bool prepare(const QString &sourceDir, const QString &version,
        const ReleaseSigner &signer, const QString &outputDir, QString *reason);

    explicit Publisher(QObject *parent = nullptr);
    ~Publisher() override;

    // Uploads firstFiles (deltas, which must be in place before the release
    // that lists them), then releaseFiles(), from localDir into the server's
    // folder. Returns at once; finished() reports the end, exactly once.
    void publish(const Server &server, const QString &localDir, const QStringList &firstFiles = {});

    // Where a file waits until it is renamed into place.
    static QString temporaryName(const QString &finalName);

signals:
    void progress(qint64 done, qint64 total); // bytes of all files together
    void message(const QString &text); // one line about each step
    void finished(bool ok, const QString &reason);

private:
    enum Stage {
        Idle,
        LoggingIn,
        EnteringFolder,
        MakingFolder,
        Uploading,
        Checking,
        Renaming,
        Reconnecting,
        CleaningUp,
        Closing
    };

    void connectAgain();
    void ftpDone(bool error);
    void next();
    void fail(const QString &why);
    void cleanUpNext();
    void end();

    QFtp *ftp = nullptr;
    Server server;
    QString localDir;
    QStringList files; // in the order they are uploaded and renamed
    Stage stage = Idle;
    int index = 0; // the file being worked on
    int started = 0; // how many uploads have been started
    qint64 totalBytes = 0;
    qint64 doneBytes = 0; // of the files already up
    qint64 expectedSize = 0;
    qint64 reportedSize = -1;
    QString failure;
    std::unique_ptr<QFile> upload;
};

#endif // PUBLISHER_H
