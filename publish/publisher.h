#ifndef PUBLISHER_H
#define PUBLISHER_H

#include "releasemanifest.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QFile;
class QFtp;
class ReleaseSigner;
struct ManifestOptions;

// Puts a release on the update server so that a reader of the folder, at
// any moment, finds either the old release or the new one under the final
// names, never a partial file: every file goes up under a temporary name,
// its size is checked with SIZE, and only when all of them are up are they
// renamed into place (a rename replaces the old file at once), the version
// file last.
//
// All or nothing, as far as FTP allows: before the first rename, the old
// release's files are moved aside under temporary names (all but the
// version file, which is replaced last and so never needs restoring; an
// updater meanwhile finds the old version and fetches nothing). When a
// rename fails, the old files are put back, new files without an old one
// are removed, and the failure says the old release is restored; when even
// that fails it says which file is where. A failure before the renames
// removes the temporary files (over a new connection when the old one is
// gone) and leaves the old release as it was.
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

    // The files of a release, in the order they go up and are renamed into
    // place: "app.zip", "app.zip.minisig", "release.json.minisig",
    // "release.json", "version.ver". The version file comes last. The one
    // list to extend.
    static QStringList releaseFiles();

    // Builds "app.zip" from sourceDir into outputDir, writes "version.ver",
    // signs the archive as "app.zip.minisig" with the trusted comment
    // "timestamp:<unix> file:app.zip version:<version> product:<product>
    // folder:<folder>", and writes the signed manifest (ManifestWriter) for
    // the same product and folder with the given options (null: the
    // defaults). Refuses what ReleaseCheck::checkSource refuses (the
    // folder picks the version file checked) and a product or folder that
    // is not one plain name.
    [[nodiscard]] static bool prepare(const QString &sourceDir, const QString &version,
        const ReleaseManifest::Binding &binding, const ReleaseSigner &signer,
        const QString &outputDir, QString *reason, const ManifestOptions *manifest = nullptr);

    explicit Publisher(QObject *parent = nullptr);
    ~Publisher() override;

    // Uploads the named files (all of releaseFiles(), or some of them in
    // that order, after the deltas the release lists) from localDir into the
    // server's folder. Returns at once;
    // finished() reports the end, exactly once.
    void publish(
        const Server &server, const QString &localDir, const QStringList &names = releaseFiles());

    // Where a new file waits until it is renamed into place.
    static QString temporaryName(const QString &finalName);
    // Where an old file waits until the new release is in place.
    static QString asideName(const QString &finalName);

signals:
    void progress(qint64 done, qint64 total); // bytes of all files together
    void message(const QString &text); // one line about each step
    void finished(bool ok, const QString &reason); // reason: one line

private:
    enum Stage {
        Idle,
        LoggingIn,
        EnteringFolder,
        MakingFolder,
        Listing,
        Uploading,
        Checking,
        Swapping,
        Tidying,
        Reconnecting,
        RollingBack,
        Closing
    };

    // One release file on the server: where its old and new versions are.
    struct Remote
    {
        QString name;
        qint64 size = 0;
        bool oldPresent = false; // under the final name when the folder was listed
        bool oldAside = false; // under asideName()
        bool uploaded = false; // (perhaps partly) under temporaryName()
        bool placed = false; // the new file under the final name
    };
    // One rename or removal, and what it changes once the server has done it.
    enum Effect { MoveAside, Place, PutBack, RemoveNew, RemoveTemporary, RemoveAside };
    struct Step
    {
        Effect effect;
        int file;
    };

    void connectAgain();
    void ftpDone(bool error);
    void uploadNext();
    void runSteps(Stage next);
    void apply(const Step &step);
    void fail(const QString &why);
    void rollBack();
    void finishRollBack();
    QString serverState() const;
    void close();
    void end();

    QFtp *ftp = nullptr;
    Server server;
    QString localDir;
    Stage stage = Idle;
    QList<Remote> files;
    QList<Step> steps; // still to run; the first is running
    int index = 0; // the file being uploaded
    bool swapStarted = false;
    QStringList listed; // final names that were files when listed
    QStringList listedFolders;
    qint64 totalBytes = 0;
    qint64 doneBytes = 0; // of the files already up
    qint64 reportedSize = -1;
    QString failure;
    QString tidyFailure;
    std::unique_ptr<QFile> upload;
};

#endif // PUBLISHER_H
