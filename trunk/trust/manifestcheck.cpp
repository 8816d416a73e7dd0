#include "manifestcheck.h"

#include "minisignformat.h"
#include "releasefiles.h"
#include "safefiles.h"
#include "signatureverifier.h"
#include "updateoffer.h"
#include "updatestate.h"
#include "version.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

namespace {

bool refuse(QString *reason, const QString &text)
{
    *reason = text;
    return false;
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

bool ManifestCheck::judge(
    const Input &input, UpdateState *state, Judgement *judgement, QString *reason)
{
    *judgement = Judgement();
    if (input.signature.size() > ReleaseFiles::maxSignatureSize)
        return refuse(reason, refusal(QStringLiteral("its signature is too large to be one")));
    if (input.manifest.isNull())
        return refuse(reason,
            refusal(
                QStringLiteral("cannot read \"%1\"").arg(QLatin1String(ReleaseFiles::manifest))));
    if (input.manifest.size() > ReleaseFiles::maxManifestSize)
        return refuse(reason,
            refusal(
                QStringLiteral("\"%1\" is too large").arg(QLatin1String(ReleaseFiles::manifest))));
    // The bytes verified are the bytes parsed: nothing is read again.
    QString trustedVersion;
    QString why;
    // A published keyring names the keys that sign; before any, the built-in key does.
    QByteArray publicKey = input.publicKey;
    if (!input.keyring.isBuiltIn()
        && !input.keyring.releaseKeyFor(input.signature, input.now, &publicKey, &why))
        return refuse(reason, refusal(QStringLiteral("signature refused: ") + why));
    if (!SignatureVerifier::verifyBytes(
            publicKey, input.manifest, input.signature, input.own, &trustedVersion, &why))
        return refuse(reason, refusal(QStringLiteral("signature refused: ") + why));
    ReleaseManifest manifest;
    if (!ReleaseManifest::parse(input.manifest, &manifest, &why))
        return refuse(reason, refusal(why));
    if (!manifest.binding.matches(input.own, &why))
        return refuse(reason, refusal(why));

    const QString version = Version::clean(manifest.version);
    if (version != input.publishedVersion)
        return refuse(reason,
            refusal(QStringLiteral("it is for version \"%1\", \"%2\" is for \"%3\"")
                        .arg(version, QLatin1String(ReleaseFiles::versionFile),
                            input.publishedVersion)));
    if (Version::clean(trustedVersion) != version)
        return refuse(reason,
            refusal(QStringLiteral("it is for version \"%1\", its signature for \"%2\"")
                        .arg(version, trustedVersion)));
    if (manifest.archiveName != QLatin1String(ReleaseFiles::archive))
        return refuse(reason,
            refusal(QStringLiteral("it describes the archive \"%1\", not \"%2\"")
                        .arg(manifest.archiveName, QLatin1String(ReleaseFiles::archive))));
    if (manifest.expires <= input.now)
        return refuse(reason,
            QStringLiteral("No update: release information expired on %1")
                .arg(QDateTime::fromSecsSinceEpoch(manifest.expires, Qt::UTC)
                         .toString(Qt::ISODate)));
    // Recorded, a time far ahead would refuse every later signing of this
    // version as a replay until that time came.
    if (manifest.signedAt > input.now + clockSlack)
        return refuse(reason,
            refusal(QStringLiteral("signed at %1, more than a day after this computer's "
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
            return refuse(reason,
                refusal(QStringLiteral("a replay: version \"%1\" is older than \"%2\", "
                                       "verified before")
                            .arg(version, state->highestVersion())));
        if (order == 0 && manifest.signedAt < state->highestSigned()
            && state->highestSigned() <= input.now + clockSlack)
            return refuse(reason,
                refusal(QStringLiteral("a replay: signed at %1, before the one of "
                                       "version \"%2\" verified before (%3)")
                            .arg(manifest.signedAt)
                            .arg(version)
                            .arg(state->highestSigned())));
    }

    state->recordVerified(version, manifest.signedAt);
    const QByteArray id = state->installId();
    if (!state->save(&why))
        return refuse(reason, QStringLiteral("No update: ") + why);

    judgement->verified = true;
    if (Version::compare(version, input.installedVersion) <= 0)
        return refuse(reason,
            QStringLiteral("No newer version: installed \"%1\", published \"%2\"")
                .arg(input.installedVersion, version));
    if (!UpdateOffer::inRollout(manifest, id, reason))
        return false;
    judgement->manifest = manifest;
    return true;
}

bool ManifestCheck::withoutManifest(const UpdateState &state, QString *reason)
{
    if (!state.manifestVerified())
        return true;
    return refuse(reason,
        QStringLiteral("No update: the server has no signed release information (\"%1\"), "
                       "though this installation has verified it before")
            .arg(QLatin1String(ReleaseFiles::manifest)));
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
