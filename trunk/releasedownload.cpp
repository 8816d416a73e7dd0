#include "releasedownload.h"

#include "manifestcheck.h"
#include "releasefiles.h"
#include "settings.h"
#include "signatureverifier.h"
#include "sourcelist.h"
#include "version.h"

#include <QFile>
#include <QThread>

#include <memory>

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
    // needed, and its size: beyond it nothing of use can arrive.
    sources->fetchRelease(published, !publicKey.isEmpty() && !manifest,
        manifest ? manifest->archiveSize : qint64(-1));
}

void ReleaseDownload::cancel()
{
    active = false;
    sources->cancel();
}

void ReleaseDownload::end(bool ok, const QString &reason)
{
    active = false;
    emit finished(ok, sources->archivePath(), reason);
}

void ReleaseDownload::archiveFetched(bool ok, const QString &reason)
{
    if (!active)
        return;
    if (!ok)
        return end(false, reason);
    emit downloaded();
    if (publicKey.isEmpty())
        return end(true, QString());
    QByteArray signatureBytes;
    if (!manifest) {
        // Written through the cap: it holds no more than a signature may.
        QFile signature(sources->signaturePath());
        if (!signature.open(QIODevice::ReadOnly))
            return end(false,
                QStringLiteral("cannot read the signature \"%1\": %2")
                    .arg(signature.fileName(), signature.errorString()));
        signatureBytes = signature.read(ReleaseFiles::maxSignatureSize + 1);
    }
    struct Verdict
    {
        bool ok = false;
        QString version;
        QString why;
    };
    auto verdict = std::make_shared<Verdict>();
    const QString archive = sources->archivePath();
    if (verifier) {
        verifier->wait();
        delete verifier;
    }
    const ReleaseManifest::Binding own {appName, serverAppDir};
    verifier = QThread::create(
        [verdict, key = publicKey, archive, bytes = signatureBytes, signedRelease = manifest, own] {
            if (signedRelease)
                verdict->ok = ManifestCheck::checkArchive(*signedRelease, archive, &verdict->why);
            else
                verdict->ok = SignatureVerifier::verify(
                    key, archive, bytes, own, &verdict->version, &verdict->why);
        });
    // A cancel meanwhile drops the verdict.
    connect(verifier, &QThread::finished, this, [this, verdict] {
        if (!active)
            return;
        QString refusal;
        if (!verdict->ok)
            refusal = (manifest ? QStringLiteral("archive refused: ")
                                : QStringLiteral("signature refused: "))
                + verdict->why;
        else if (!manifest)
            refusal = checkTrustedVersion(Version::clean(verdict->version));
        if (refusal.isEmpty())
            end(true, QString());
        else
            sources->refuseRelease(refusal); // archiveFetched() follows
    });
    verifier->start();
}

QString ReleaseDownload::checkTrustedVersion(const QString &trustedVersion)
{
    // A genuine older release served under a newer "version.ver" (a replay)
    // carries its own version in the signed comment.
    if (trustedVersion != published)
        return QStringLiteral("the signed version \"%1\" is not the published version \"%2\"")
            .arg(trustedVersion, published);
    if (Version::compare(trustedVersion, installed) <= 0)
        return QStringLiteral(
            "the signed version \"%1\" is not newer than the installed version \"%2\"")
            .arg(trustedVersion, installed);
    emit signatureVerified(trustedVersion);
    return QString();
}
