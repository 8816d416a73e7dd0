#include "signatureverifier.h"

#include "minisignformat.h"
#include "safefiles.h"

#include "version.h"

#include <QDebug>
#include <QFile>

namespace {

bool fail(QString *reason, const QString &text)
{
    if (reason)
        *reason = text;
    return false;
}

std::optional<QByteArray> &keyForTesting()
{
    static std::optional<QByteArray> key;
    return key;
}

} // namespace

QByteArray SignatureVerifier::builtInPublicKey()
{
    return keyForTesting() ? *keyForTesting() : compiledPublicKey();
}

void SignatureVerifier::setPublicKeyForTesting(std::optional<QByteArray> key)
{
    keyForTesting() = std::move(key);
}

QString SignatureVerifier::versionToken(const QString &trustedComment)
{
    return Minisign::commentToken(trustedComment, QStringLiteral("version"));
}

bool SignatureVerifier::verify(const QByteArray &publicKeyBase64, const QString &archivePath,
    const QByteArray &signatureFile, const ReleaseManifest::Binding &own, QString *trustedVersion,
    QString *reason)
{
    return verifyHash(
        publicKeyBase64,
        [&archivePath](QByteArray *hash, QString *why) {
            // What is verified is the updater's own download: never read through a link.
            QFile file(archivePath);
            QString notOpened;
            if (!SafeFiles::open(file, QIODevice::ReadOnly, &notOpened)) {
                *why = QStringLiteral("cannot read %1: %2").arg(archivePath, notOpened);
                return false;
            }
            return Minisign::prehashFile(file, hash, why);
        },
        signatureFile, own, trustedVersion, reason);
}

bool SignatureVerifier::verifyBytes(const QByteArray &publicKeyBase64, const QByteArray &content,
    const QByteArray &signatureFile, const ReleaseManifest::Binding &own, QString *trustedVersion,
    QString *reason)
{
    return verifyHash(
        publicKeyBase64,
        [&content](QByteArray *hash, QString *) {
            *hash = Minisign::prehash(content);
            return true;
        },
        signatureFile, own, trustedVersion, reason);
}

bool SignatureVerifier::verifyHash(const QByteArray &publicKeyBase64,
    const std::function<bool(QByteArray *, QString *)> &prehash, const QByteArray &signatureFile,
    const ReleaseManifest::Binding &own, QString *trustedVersion, QString *reason)
{
    QByteArray comment;
    if (!Minisign::verify(publicKeyBase64, prehash, signatureFile, QStringLiteral("the archive"),
            &comment, reason))
        return false;

    const QString text = QString::fromUtf8(comment);
    const QString version = versionToken(text);
    if (version.isEmpty())
        return fail(reason, QStringLiteral("the trusted comment names no version"));
    // Never shown or compared: a text of any length could lock out releases.
    if (!Version::isOrderable(version))
        return fail(reason, QStringLiteral("the trusted comment's version is not a version"));
    // One key signs every product and platform of a publisher.
    QString elsewhere;
    if (!ReleaseManifest::Binding::fromComment(text).matches(own, &elsewhere))
        return fail(reason, QStringLiteral("the trusted comment says ") + elsewhere);
    if (trustedVersion)
        *trustedVersion = version;
    if (reason)
        reason->clear();
    return true;
}
