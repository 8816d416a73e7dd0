#ifndef MINISIGNFORMAT_H
#define MINISIGNFORMAT_H

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

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

} // namespace Minisign

#endif // MINISIGNFORMAT_H
