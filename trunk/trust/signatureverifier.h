#ifndef SIGNATUREVERIFIER_H
#define SIGNATUREVERIFIER_H

#include "releasemanifest.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// Checks a release archive against a detached signature in minisign's format
// before anything of it is installed. Only prehashed "ED" signatures
// (Ed25519 over the archive's BLAKE2b-512, minisign's default and what
// updater-publish writes) are accepted; a legacy "Ed" one is refused.
class SignatureVerifier
{
public:
    // publicKeyBase64 is the base64 line of a minisign.pub (a whole
    // minisign.pub is accepted too); signatureFile holds the bytes of the
    // archive's ".minisig" file. Returns true only when the key ids match,
    // the signature over the archive verifies, the global signature over the
    // signature and the trusted comment verifies, and the trusted comment
    // carries a "version:" token that is a version and names `own` as the
    // product and folder the release is for; *trustedVersion is then that
    // token's text. Otherwise returns false with one short line in *reason.
    // Either output pointer may be null. Reads the archive in pieces.
    [[nodiscard]] static bool verify(const QByteArray &publicKeyBase64, const QString &archivePath,
        const QByteArray &signatureFile, const ReleaseManifest::Binding &own,
        QString *trustedVersion, QString *reason);
    // The same for a small signed file already read (the release
    // information): its bytes, not a path to read them again from.
    [[nodiscard]] static bool verifyBytes(const QByteArray &publicKeyBase64,
        const QByteArray &content, const QByteArray &signatureFile,
        const ReleaseManifest::Binding &own, QString *trustedVersion, QString *reason);

    // The key the updater was built with (CMake cache variable
    // UPDATER_PUBLIC_KEY); empty when archives are not verified.
    static QByteArray builtInPublicKey();

    // Test seam: builtInPublicKey() returns key instead (empty: archives are
    // not verified) until it is called with std::nullopt.
    static void setPublicKeyForTesting(std::optional<QByteArray> key);

    // The value of the trusted comment's "version:" token, or a null string.
    static QString versionToken(const QString &trustedComment);

private:
    // verify() with the signed file's BLAKE2b-512 from `prehash`, which
    // fails with its reason when the file cannot be read.
    static bool verifyHash(const QByteArray &publicKeyBase64,
        const std::function<bool(QByteArray *hash, QString *reason)> &prehash,
        const QByteArray &signatureFile, const ReleaseManifest::Binding &own,
        QString *trustedVersion, QString *reason);
    // UPDATER_PUBLIC_KEY as compiled in.
    static QByteArray compiledPublicKey();
};

#endif // SIGNATUREVERIFIER_H
