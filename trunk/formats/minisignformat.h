#ifndef MINISIGNFORMAT_H
#define MINISIGNFORMAT_H

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <functional>

// What the signature verifier and the publishing tool's signer share of
// minisign's file formats: the sizes of the decoded lines, their algorithm
// tags, and the prehash of a signed file.
namespace Minisign {

constexpr int keyIdBytes = 8;
constexpr int publicKeyBytes = 32; // crypto_sign_PUBLICKEYBYTES
constexpr int secretKeyBytes = 64; // crypto_sign_SECRETKEYBYTES
constexpr int signatureBytes = 64; // crypto_sign_BYTES
constexpr int prehashBytes = 64; // BLAKE2b-512
constexpr int checksumBytes = 32; // BLAKE2b-256
constexpr int saltBytes = 32; // crypto_pwhash_scryptsalsa208sha256_SALTBYTES
// "Ed" key id, public key.
constexpr int publicKeyLineBytes = 2 + keyIdBytes + publicKeyBytes;
// "Ed" "Sc"|"\0\0" "B2", salt, opslimit, memlimit, then key id, secret key, checksum.
constexpr int keynumBytes = keyIdBytes + secretKeyBytes + checksumBytes;
constexpr int secretKeyLineBytes = 2 + 2 + 2 + saltBytes + 8 + 8 + keynumBytes;
// Algorithm, key id, signature.
constexpr int signatureLineBytes = 2 + keyIdBytes + signatureBytes;

extern const QByteArray keyAlgorithm; // "Ed": Ed25519 keys, and legacy signatures
extern const QByteArray prehashedAlgorithm; // "ED": signature over the BLAKE2b-512
extern const QByteArray trustedPrefix; // "trusted comment: "
extern const QByteArray untrustedPrefix; // "untrusted comment: "

// The lines of a text file, without their line ends ("\n" or "\r\n").
QList<QByteArray> lines(const QByteArray &text);

// Strict standard base64 (padding required); a null array when malformed.
QByteArray decodeBase64(const QByteArray &line);

// The key id as minisign prints it: little-endian, upper-case hex.
QString keyIdText(const QByteArray &keyId);

// BLAKE2b-512 of bytes in memory.
QByteArray prehash(const QByteArray &data);
// BLAKE2b-512 of the file, read in pieces. False with *reason when it
// cannot be read.
[[nodiscard]] bool prehashFile(const QString &path, QByteArray *hash, QString *reason);
// The same of a file already open for reading, from where it stands.
[[nodiscard]] bool prehashFile(QFile &file, QByteArray *hash, QString *reason);

// The value of the token "name:" in a trusted comment of blank-separated
// "name:value" tokens ("timestamp:1 file:app.zip version:1.1"), as written;
// a null string when the comment has none.
QString commentToken(const QString &comment, const QString &name);

// libsodium's start-up; false when the library cannot be used.
bool initSodium();

// The decoded key line ("Ed", key id, public key) of a public key given as
// its base64 line or as a whole minisign.pub; a null array when malformed.
QByteArray decodePublicKey(const QByteArray &text);
// The key id of a public key (as decodePublicKey() takes it); a null array
// when malformed.
QByteArray publicKeyId(const QByteArray &text);
// The key id a signature file names; a null array when malformed.
QByteArray signatureKeyId(const QByteArray &signatureFile);

// Checks signatureFile against publicKey (as decodePublicKey() takes it):
// a prehashed "ED" signature by that key over the file whose BLAKE2b-512
// `prehash` gives (it fails with its reason when the file cannot be read),
// and the global signature over the signature and the trusted comment.
// `what` names the signed file in a refusal ("the archive"). True with
// *trustedComment (may be null); else false with one line in *reason.
[[nodiscard]] bool verify(const QByteArray &publicKey,
    const std::function<bool(QByteArray *hash, QString *reason)> &prehash,
    const QByteArray &signatureFile, const QString &what, QByteArray *trustedComment,
    QString *reason);
// The same over bytes already read.
[[nodiscard]] bool verifyBytes(const QByteArray &publicKey, const QByteArray &content,
    const QByteArray &signatureFile, const QString &what, QByteArray *trustedComment,
    QString *reason);

} // namespace Minisign

#endif // MINISIGNFORMAT_H
