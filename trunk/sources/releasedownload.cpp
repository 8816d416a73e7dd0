#include "releasedownload.h"

#include "manifestcheck.h"
#include "releasefiles.h"
#include "safefiles.h"
#include "settings.h"
#include "signatureverifier.h"
#include "sourcelist.h"
#include "version.h"

#include <QDateTime>
#include <QFile>
#include <QThread>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>

#include <memory>

namespace {

qint64 &ceilingOverride()
{
    static qint64 bytes = 0;
    return bytes;
}

// Without a key the zip's own check is all there is: every entry read to its
// end, where its CRC is compared. A resumed archive spliced from two files
// fails it, and is fetched whole again before anything is installed.
bool readsWhole(const QString &path, QString *reason)
{
    QFile file(path);
    QString notOpened;
    if (!SafeFiles::open(file, QIODevice::ReadOnly, &notOpened)) {
        *reason = notOpened;
        return false;
    }
    QuaZip zip(&file);
    if (!zip.open(QuaZip::mdUnzip)) {
        *reason = QStringLiteral("not a zip archive (error %1)").arg(zip.getZipError());
        return false;
    }
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFile entry(&zip);
        if (!entry.open(QIODevice::ReadOnly)) {
            *reason
                = QStringLiteral("the entry \"%1\" cannot be read").arg(zip.getCurrentFileName());
            return false;
        }
        qint64 got;
        while ((got = entry.read(buffer.data(), buffer.size())) > 0) { }
        entry.close();
        if (got < 0 || entry.getZipError() != UNZ_OK) {
            *reason = QStringLiteral("the entry \"%1\" does not read back whole")
                          .arg(zip.getCurrentFileName());
            return false;
        }
    }
    if (zip.getZipError() != UNZ_OK) {
        *reason = QStringLiteral("its directory does not read (error %1)").arg(zip.getZipError());
        return false;
    }
    return true;
}

} // namespace

ReleaseDownload::ReleaseDownload(SourceList *sources, const QByteArray &publicKey, QObject *parent)
    : QObject(parent)
    , sources(sources)
    , publicKey(publicKey)
{
    connect(sources, &SourceList::releaseFetched, this, &ReleaseDownload::archiveFetched);
}

ReleaseDownload::~ReleaseDownload()
{
    if (verifier) {
        verifier->wait();
        delete verifier;
    }
}

void ReleaseDownload::start(const QString &publishedVersion, const QString &installedVersion,
    const std::optional<ReleaseManifest> &signedRelease)
{
    published = publishedVersion;
    installed = installedVersion;
    manifest = signedRelease;
    active = true;
    // A verified manifest carries the archive's hash, so its signature is not
    // needed, and its size: beyond it nothing of use can arrive. Without
    // one, the size the source announces holds it, else a ceiling.
    sources->fetchRelease(published, !publicKey.isEmpty() && !manifest,
        manifest                    ? manifest->archiveSize
            : ceilingOverride() > 0 ? ceilingOverride()
                                    : ReleaseFiles::maxUnannouncedArchiveSize);
}

void ReleaseDownload::setArchiveCeilingForTesting(qint64 bytes)
{
    ceilingOverride() = bytes;
}

void ReleaseDownload::cancel()
{
    active = false;
    sources->cancel();
}

void ReleaseDownload::end(bool ok, const QString &reason)
{
    active = false;
    emit finished(ok, reason);
}

QString ReleaseDownload::archivePath() const
{
    return sources->archivePath();
}

void ReleaseDownload::archiveFetched(bool ok, const QString &reason)
{
    if (!active)
        return;
    if (!ok)
        return end(false, reason);
    emit downloaded();
    QByteArray signatureBytes;
    if (!manifest && !publicKey.isEmpty()) {
        // Written through the cap: it holds no more than a signature may.
        QFile signature(sources->signaturePath());
        QString why;
        if (!SafeFiles::open(signature, QIODevice::ReadOnly, &why))
            return end(false,
                QStringLiteral("cannot read the signature \"%1\": %2")
                    .arg(signature.fileName(), why));
        signatureBytes = signature.read(ReleaseFiles::maxSignatureSize + 1);
    }
    QByteArray key = publicKey;
    QString notListed;
    if (!manifest && !publicKey.isEmpty() && !keyring.isBuiltIn()
        && !keyring.releaseKeyFor(
            signatureBytes, QDateTime::currentSecsSinceEpoch(), &key, &notListed))
        return sources->refuseRelease(QStringLiteral("signature refused: ") + notListed);
    struct Check
    {
        bool ok = false;
        QString version;
        QString reason;
    };
    auto check = std::make_shared<Check>();
    const QString archive = sources->archivePath();
    if (verifier) {
        verifier->wait();
        delete verifier;
    }
    const ReleaseManifest::Binding own {appName, serverAppDir};
    verifier = QThread::create(
        [check, key, archive, bytes = signatureBytes, signedRelease = manifest, own] {
            if (signedRelease)
                check->ok = ManifestCheck::checkArchive(*signedRelease, archive, &check->reason);
            else if (key.isEmpty())
                check->ok = readsWhole(archive, &check->reason);
            else
                check->ok = SignatureVerifier::verify(
                    key, archive, bytes, own, &check->version, &check->reason);
        });
    // A cancel meanwhile drops the verdict.
    connect(verifier, &QThread::finished, this, [this, check] {
        if (!active)
            return;
        QString refusal;
        bool ok = check->ok;
        if (!ok)
            refusal = (manifest || publicKey.isEmpty() ? QStringLiteral("archive refused: ")
                                                       : QStringLiteral("signature refused: "))
                + check->reason;
        else if (!manifest && !publicKey.isEmpty())
            ok = checkTrustedVersion(Version::clean(check->version), &refusal);
        if (ok)
            end(true, QString());
        else
            sources->refuseRelease(refusal); // archiveFetched() follows
    });
    verifier->start();
}

bool ReleaseDownload::checkTrustedVersion(const QString &trustedVersion, QString *reason)
{
    // A genuine older release served under a newer "version.ver" (a replay)
    // carries its own version in the signed comment.
    if (trustedVersion != published) {
        *reason = QStringLiteral("the signed version \"%1\" is not the published version \"%2\"")
                      .arg(trustedVersion, published);
        return false;
    }
    if (Version::compare(trustedVersion, installed) <= 0) {
        *reason = QStringLiteral(
            "the signed version \"%1\" is not newer than the installed version \"%2\"")
                      .arg(trustedVersion, installed);
        return false;
    }
    emit signatureVerified(trustedVersion);
    return true;
}
