#include "manifestcheck.h"

#include "minisignformat.h"
#include "releasefiles.h"
#include "safefiles.h"
#include "signatureverifier.h"
#include "updatestate.h"
#include "version.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

namespace {

ManifestCheck::Verdict refuse(const QString &reason)
{
    ManifestCheck::Verdict verdict;
    verdict.reason = reason;
    return verdict;
}

QString utc(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate);
}

QString refusal(const QString &why)
{
    return QStringLiteral("No update: release information refused: ") + why;
}

} // namespace

ManifestCheck::Verdict ManifestCheck::judge(const Input &input, UpdateState *state)
{
    if (input.signature.size() > ReleaseFiles::maxSignatureSize)
        return refuse(refusal(QStringLiteral("its signature is too large to be one")));
    QString trustedVersion;
    QString why;
    if (!SignatureVerifier::verify(
            input.publicKey, input.manifestPath, input.signature, input.own, &trustedVersion, &why))
        return refuse(refusal(QStringLiteral("signature refused: ") + why));
    // The file is ours, in the application directory, and read again at once.
    QFile file(input.manifestPath);
    if (file.size() > ReleaseFiles::maxManifestSize
        || !SafeFiles::open(file, QIODevice::ReadOnly, &why))
        return refuse(refusal(QStringLiteral("cannot read \"%1\"").arg(input.manifestPath)));
    ReleaseManifest manifest;
    if (!ReleaseManifest::parse(file.readAll(), &manifest, &why))
        return refuse(refusal(why));
    const QString elsewhere = manifest.binding.refusal(input.own);
    if (!elsewhere.isEmpty())
        return refuse(refusal(elsewhere));

    const QString version = Version::clean(manifest.version);
    if (version != input.publishedVersion)
        return refuse(refusal(
            QStringLiteral("it is for version \"%1\", \"%2\" is for \"%3\"")
                .arg(version, QLatin1String(ReleaseFiles::versionFile), input.publishedVersion)));
    if (Version::clean(trustedVersion) != version)
        return refuse(refusal(QStringLiteral("it is for version \"%1\", its signature for \"%2\"")
                                  .arg(version, trustedVersion)));
    if (manifest.archiveName != QLatin1String(ReleaseFiles::archive))
        return refuse(
            refusal(QStringLiteral("it describes the archive \"%1\", not \"%2\"")
                        .arg(manifest.archiveName, QLatin1String(ReleaseFiles::archive))));
    if (manifest.expires <= input.now)
        return refuse(QStringLiteral("No update: release information expired on %1")
                          .arg(QDateTime::fromSecsSinceEpoch(manifest.expires, Qt::UTC)
                                   .toString(Qt::ISODate)));
    // Recorded, a time far ahead would refuse every later signing of this
    // version as a replay until that time came.
    if (manifest.signedAt > input.now + clockSlack)
        return refuse(refusal(QStringLiteral("signed at %1, more than a day after this computer's "
                                             "clock (%2)")
                                  .arg(utc(manifest.signedAt), utc(input.now))));
    // A genuine older manifest served again would hold the installation back.
    // What an earlier updater recorded without these bounds (a text that is
    // no version, a time ahead of the clock) is not held against a release.
    const bool highestUsable = Version::isOrderable(state->highestVersion());
    if (!highestUsable && !state->highestVersion().isEmpty())
        qDebug().noquote() << QStringLiteral("The recorded highest version is not a version; "
                                             "not compared");
    if (highestUsable) {
        const int order = Version::compare(version, state->highestVersion());
        if (order < 0)
            return refuse(refusal(QStringLiteral("a replay: version \"%1\" is older than \"%2\", "
                                                 "verified before")
                                      .arg(version, state->highestVersion())));
        if (order == 0 && manifest.signedAt < state->highestSigned()
            && state->highestSigned() <= input.now + clockSlack)
            return refuse(refusal(QStringLiteral("a replay: signed at %1, before the one of "
                                                 "version \"%2\" verified before (%3)")
                                      .arg(manifest.signedAt)
                                      .arg(version)
                                      .arg(state->highestSigned())));
    }

    state->recordVerified(version, manifest.signedAt);
    const QByteArray id = state->installId();
    if (!state->save(&why))
        return refuse(QStringLiteral("No update: ") + why);

    Verdict verdict;
    verdict.verified = true;
    if (Version::compare(version, input.installedVersion) <= 0)
        verdict.reason = QStringLiteral("No newer version: installed \"%1\", published \"%2\"")
                             .arg(input.installedVersion, version);
    else if (!manifest.offeredTo(id))
        verdict.reason
            = QStringLiteral("Version %1 is offered to %2% of installations; not yet this one")
                  .arg(version)
                  .arg(manifest.rollout);
    verdict.offered = verdict.reason.isEmpty();
    if (verdict.offered)
        verdict.manifest = manifest;
    return verdict;
}

QString ManifestCheck::withoutManifest(const UpdateState &state)
{
    if (!state.manifestVerified())
        return QString();
    return QStringLiteral("No update: the server has no signed release information (\"%1\"), "
                          "though this installation has verified it before")
        .arg(QLatin1String(ReleaseFiles::manifest));
}

bool ManifestCheck::checkArchive(
    const ReleaseManifest &manifest, const QString &path, QString *reason)
{
    // The updater's own download: never read through a link.
    QFile file(path);
    QString why;
    if (!SafeFiles::open(file, QIODevice::ReadOnly, &why)) {
        *reason = QStringLiteral("cannot read the archive: %1").arg(why);
        return false;
    }
    const qint64 size = file.size();
    if (size != manifest.archiveSize) {
        *reason = QStringLiteral("the archive holds %1 bytes, the release information says %2")
                      .arg(size)
                      .arg(manifest.archiveSize);
        return false;
    }
    QByteArray hash;
    if (!Minisign::initSodium() || !Minisign::prehashFile(file, &hash, reason))
        return false;
    if (hash != manifest.archiveHash) {
        *reason
            = QStringLiteral("the archive's BLAKE2b-512 is not the one in the release information");
        return false;
    }
    return true;
}
