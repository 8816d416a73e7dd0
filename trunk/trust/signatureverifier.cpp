#include "signatureverifier.h"

#include "minisignformat.h"
#include "safefiles.h"

#include "version.h"

#include <QDebug>
#include <QFile>

#include <sodium.h>

namespace {

const unsigned char *bytes(const QByteArray &a)
{
    return reinterpret_cast<const unsigned char *>(a.constData());
}

// The decoded key line of a public key given as its base64 line or as a
// whole minisign.pub.
QByteArray decodePublicKey(const QByteArray &text)
{
    for (const QByteArray &line : Minisign::lines(text.trimmed())) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty() && !trimmed.startsWith(Minisign::untrustedPrefix))
            return Minisign::decodeBase64(trimmed);
    }
    return QByteArray();
}

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
            hash->resize(Minisign::prehashBytes);
            crypto_generichash(reinterpret_cast<unsigned char *>(hash->data()),
                size_t(hash->size()), bytes(content), quint64(content.size()), nullptr, 0);
            return true;
        },
        signatureFile, own, trustedVersion, reason);
}

bool SignatureVerifier::verifyHash(const QByteArray &publicKeyBase64,
    const std::function<bool(QByteArray *, QString *)> &prehash, const QByteArray &signatureFile,
    const ReleaseManifest::Binding &own, QString *trustedVersion, QString *reason)
{
    if (!Minisign::initSodium())
        return fail(reason, QStringLiteral("the cryptography library cannot be used"));

    const QByteArray key = decodePublicKey(publicKeyBase64);
    if (key.size() != Minisign::publicKeyLineBytes || !key.startsWith(Minisign::keyAlgorithm))
        return fail(reason, QStringLiteral("the public key is malformed"));
    const QByteArray keyId = key.mid(2, Minisign::keyIdBytes);
    const QByteArray publicKey = key.mid(2 + Minisign::keyIdBytes);

    if (signatureFile.isEmpty())
        return fail(reason, QStringLiteral("the signature is missing"));
    const QList<QByteArray> lines = Minisign::lines(signatureFile);
    if (lines.size() < 4 || !lines.at(0).startsWith(Minisign::untrustedPrefix)
        || !lines.at(2).startsWith(Minisign::trustedPrefix))
        return fail(reason, QStringLiteral("the signature is malformed"));
    const QByteArray sigLine = Minisign::decodeBase64(lines.at(1));
    const QByteArray globalSignature = Minisign::decodeBase64(lines.at(3));
    if (sigLine.size() != Minisign::signatureLineBytes
        || globalSignature.size() != Minisign::signatureBytes)
        return fail(reason, QStringLiteral("the signature is malformed"));
    const QByteArray algorithm = sigLine.left(2);
    const QByteArray signature = sigLine.mid(2 + Minisign::keyIdBytes);
    // Only the prehashed kind: a legacy signature is over whatever bytes it
    // is given, so one genuine "ED" signature relabelled "Ed" would vouch
    // for a 64-byte file holding the hash of the real archive.
    if (algorithm == Minisign::keyAlgorithm)
        return fail(reason,
            QStringLiteral("a legacy \"Ed\" signature; only prehashed \"ED\" signatures are "
                           "accepted"));
    if (algorithm != Minisign::prehashedAlgorithm)
        return fail(reason,
            QStringLiteral("unknown signature algorithm \"%1\"")
                .arg(QString::fromLatin1(algorithm.toHex())));
    if (sigLine.mid(2, Minisign::keyIdBytes) != keyId)
        return fail(reason,
            QStringLiteral("signed with another key (%1, expected %2)")
                .arg(Minisign::keyIdText(sigLine.mid(2, Minisign::keyIdBytes)),
                    Minisign::keyIdText(keyId)));

    QByteArray hash;
    QString why;
    if (!prehash(&hash, &why))
        return fail(reason, why);
    const bool archiveOk = crypto_sign_verify_detached(bytes(signature), bytes(hash),
                               quint64(hash.size()), bytes(publicKey))
        == 0;
    if (!archiveOk)
        return fail(reason, QStringLiteral("the archive does not match its signature"));

    const QByteArray comment = lines.at(2).mid(Minisign::trustedPrefix.size());
    const QByteArray signedComment = signature + comment;
    if (crypto_sign_verify_detached(bytes(globalSignature), bytes(signedComment),
            quint64(signedComment.size()), bytes(publicKey))
        != 0)
        return fail(reason, QStringLiteral("the trusted comment does not match its signature"));

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
