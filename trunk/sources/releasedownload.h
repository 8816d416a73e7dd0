#ifndef RELEASEDOWNLOAD_H
#define RELEASEDOWNLOAD_H

#include "keyring.h"
#include "releasemanifest.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

class QThread;
class SourceList;

// The release's files once the person has said Yes: the archive (and,
// without a verified manifest, its signature) through the sources, then the
// archive's check off the GUI thread, since hashing a large archive takes a
// while. With a verified manifest the archive is held to its signed size
// and must have its BLAKE2b-512; otherwise, with a built-in key, its
// signature must verify and vouch for the published version, newer than the
// installed one, and without a key every entry must read back whole (the
// zip's own CRCs), and it is held to the size announced or else to a
// ceiling. An archive that fails goes back to the sources (fetched
// whole once more when it was resumed, else from the next source). The end
// is one finished().
class ReleaseDownload : public QObject
{
    Q_OBJECT

public:
    // `sources` is borrowed; an empty `publicKey`: archives are not verified.
    ReleaseDownload(SourceList *sources, const QByteArray &publicKey, QObject *parent = nullptr);
    // Waits for a check under way.
    ~ReleaseDownload() override;

    // The newest keyring verified: once one is published, an archive's own
    // signature must be by a release key it lists.
    void setKeyring(const Keyring &newest) { keyring = newest; }

    void start(const QString &publishedVersion, const QString &installedVersion,
        const std::optional<ReleaseManifest> &manifest);
    // Stops without a finished(): a partial archive stays for the next run,
    // and the verdict of a check under way is dropped.
    void cancel();

    // Overrides the ceiling of an archive whose size nothing announced (0:
    // back to it); tests set it low.
    static void setArchiveCeilingForTesting(qint64 bytes);

    // Where the archive arrives ("app.zip" in the application directory).
    QString archivePath() const;

signals:
    // The archive has arrived whole; its check begins.
    void downloaded();
    // A signature verified, vouching for `version`.
    void signatureVerified(const QString &version);
    // When ok the archive at archivePath() may be installed; else why not.
    void finished(bool ok, const QString &reason);

private:
    void archiveFetched(bool ok, const QString &reason);
    // True (and signatureVerified()) when the version a verified signature
    // vouches for is the published one and newer than the installed one;
    // else false with why not.
    [[nodiscard]] bool checkTrustedVersion(const QString &trustedVersion, QString *reason);
    void end(bool ok, const QString &reason);

    SourceList *sources;
    QByteArray publicKey;
    Keyring keyring;
    QString published;
    QString installed;
    std::optional<ReleaseManifest> manifest;
    bool active = false;
    QThread *verifier = nullptr;
};

#endif // RELEASEDOWNLOAD_H
