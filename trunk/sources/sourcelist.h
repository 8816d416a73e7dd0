#ifndef SOURCELIST_H
#define SOURCELIST_H

#include "showntext.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class FtpSource;
class QFtp;
class ReleaseSource;

// The places a release can come from, in order: the primary FTP server
// ("surl", "sport"; its first tries run in the window's own session), then
// the mirrors of "smirrors". The version offered is the first answering
// source's; the signature and the archive may then come from any source
// publishing the same version text. A source that fails (unreachable,
// login or folder refused, out of time, another version, a file that fails
// its check, a release that does not verify) is left for the next, with one
// sourceLeft() line each. A source that is busy, or slow to log in, is
// left at once while another can still be asked.
class SourceList : public QObject
{
    Q_OBJECT

public:
    // Mirrors are "ftp://host[:port]/path/" or "https://host[:port]/path/";
    // the platform folder (`folder`, "<sappdir>_mac") is appended to each.
    SourceList(QFtp *primarySession, const QString &host, quint16 port, const QString &folder,
        const QStringList &mirrors, const QString &appDir, QObject *parent = nullptr);
    ~SourceList() override;

    // With mirrors, the longest the primary may take over each answer until
    // it has logged this side in, the window's session included: a mirror
    // could answer instead of a server that slow.
    static constexpr int loginLimitWithMirrors = 2000;

    bool hasMirrors() const { return sources.size() > 1; }
    // The version came from the primary server, in the window's session.
    bool answeredByPrimary() const { return current == 0; }

    // Reads a downloaded "version.ver": false with *reason unless it is one
    // line of printable text.
    [[nodiscard]] static bool readVersionFile(
        const QString &path, QString *version, QString *reason);

    // The source asked last has failed to tell its version, or its release
    // does not verify (`reason`): asks the next sources in order for
    // "version.ver" into "new_version.ver" (at most 1 KiB, and a version as
    // readVersionFile() takes it).
    void fetchVersionFromNext(const QString &reason);
    // The version the answering mirror publishes, cleaned.
    QString publishedVersion() const { return version; }
    // "release.json", then "release.json.minisig", from the source that
    // told the version, into files of those names (each at most its cap).
    // A source without them is not left: manifestFetched() says so.
    void fetchManifest();
    // What the last fetchManifest() brought, each file read once within its
    // cap when both had arrived; a null array for a file that could not be
    // read.
    QByteArray manifest() const { return manifestBytes; }
    QByteArray manifestSignature() const { return manifestSignatureBytes; }
    // The primary session's listing of its folder, by name and size: a file
    // listed larger than its cap is not asked for.
    void setPrimaryListing(const QHash<QString, qint64> &sizes) { primaryListing = sizes; }
    // The signature (when `withSignature`) and then the archive of release
    // `version`, from the source that told it, else the next publishing it.
    // The archive arrives as "app.zip.part" (at most archiveCap bytes, and
    // at most what the source announces) and is renamed "app.zip" whole. A
    // disk too full for it ends the fetch without leaving the source.
    void fetchRelease(const QString &version, bool withSignature, qint64 archiveCap = -1);
    // The fetched archive failed its check: fetched whole once more when it
    // was resumed, else from the next source; releaseFetched() follows.
    void refuseRelease(const QString &reason);
    // One more file (a delta or its index) from the source that told the
    // version, into `path`, at most cap bytes, not resumed. A source without
    // it is not left: fileFetched() says so, and the archive can still come.
    void fetchFile(const QString &name, const QString &path, qint64 cap);
    // One small file (a keyring, a signature over it) from the source that
    // told the version, read once within cap: `done` gets its bytes, or a
    // null array when the source has none. A file the primary server's
    // listing does not name is not asked for. No signal follows.
    void fetchBytes(
        const QString &name, qint64 cap, const std::function<void(const QByteArray &)> &done);
    // fetchBytes() as a function to hand on (to the keyring's walk).
    std::function<void(const QString &, qint64, const std::function<void(const QByteArray &)> &)>
    bytesFetcher();
    // Stops; a partial archive stays for the next run.
    void cancel();
    // The run ends: a partial archive it never went on with (nothing newer,
    // declined, another source's release refused) is of no use any more.
    void removeUnusedPartial();

    QString archivePath() const;
    QString signaturePath() const;

signals:
    // Each job ends in its own signal: the version, the manifest, the
    // release and one more file go on to different steps of the caller.
    // When not ok, `reason` is the last source's.
    void versionFetched(bool ok, const QString &reason);
    // When not ok, `reason` is why this source has no manifest to give.
    void manifestFetched(bool ok, const QString &reason);
    // When not ok, `reason` is the last source's.
    void releaseFetched(bool ok, const QString &reason);
    void fileFetched(bool ok, const QString &reason);
    // One line for each source left (only when there are mirrors), and for
    // a resumed archive fetched whole again.
    void sourceLeft(const QString &line);
    void progress(qint64 done, qint64 total);
    void status(const ShownText &text);

private:
    enum Step {
        Idle,
        Version,
        CheckVersion,
        Manifest,
        ManifestSignature,
        Signature,
        Archive,
        File
    };

    void start(Step step);
    // fetchFile() and fetchBytes() without a word on what ends them.
    void startFile(const QString &name, const QString &path, qint64 cap);
    void stepFinished(bool ok, const QString &reason);
    // Logs why the current source is left and goes on with the next.
    void leave(const QString &reason);
    void nextSource();
    QString path(const char *name) const;

    QList<ReleaseSource *> sources;
    FtpSource *primary = nullptr;
    QFtp *session;
    QString appDir;
    int current = 0;
    Step step = Idle;
    bool wantRelease = false;
    bool withSignature = false;
    qint64 archiveCap = -1;
    QString otherName; // of fetchFile()
    QString otherPath;
    qint64 otherCap = -1;
    std::function<void(const QByteArray &)> bytesDone; // of fetchBytes()
    QHash<QString, qint64> primaryListing;
    bool resumed = false;
    bool archiveFetched = false; // by this run, whole or not
    bool fetchedWholeAgain = false;
    QString version;
    QByteArray manifestBytes;
    QByteArray manifestSignatureBytes;
    QString lastReason;
    QStringList invalid;
};

#endif // SOURCELIST_H
