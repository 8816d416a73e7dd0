#include "releasesigner.h"

#include "minisignformat.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QtEndian>

#include <sodium.h>

namespace {

const QByteArray scryptAlgorithm = QByteArrayLiteral("Sc");
const QByteArray noKdf = QByteArray(2, '\0');
const QByteArray checksumAlgorithm = QByteArrayLiteral("B2");

unsigned char *mutableBytes(QByteArray &a)
{
    return reinterpret_cast<unsigned char *>(a.data());
}

const unsigned char *bytes(const QByteArray &a)
{
    return reinterpret_cast<const unsigned char *>(a.constData());
}

void wipe(QByteArray &a)
{
    if (!a.isEmpty())
        sodium_memzero(a.data(), size_t(a.size()));
    a.clear();
}

bool fail(QString *reason, const QString &text)
{
    *reason = text;
    return false;
}

// The parts one after another in a buffer that is allocated once: joining
// secrets with operator+ would leave partial copies in freed memory.
QByteArray joined(std::initializer_list<QByteArray> parts)
{
    int size = 0;
    for (const QByteArray &part : parts)
        size += part.size();
    QByteArray all;
    all.reserve(size);
    for (const QByteArray &part : parts)
        all.append(part);
    return all;
}

// BLAKE2b-256 of algorithm, key id and secret key: what guards a decrypted key.
QByteArray checksum(const QByteArray &keyId, const QByteArray &secretKey)
{
    QByteArray input = joined({Minisign::keyAlgorithm, keyId, secretKey});
    QByteArray sum(Minisign::checksumBytes, '\0');
    crypto_generichash(
        mutableBytes(sum), size_t(sum.size()), bytes(input), quint64(input.size()), nullptr, 0);
    wipe(input);
    return sum;
}

// The key stream that the key number block is XORed with.
bool scryptStream(const QByteArray &password, const QByteArray &salt, quint64 opslimit,
    quint64 memlimit, QByteArray *stream)
{
    stream->resize(Minisign::keynumBytes);
    return crypto_pwhash_scryptsalsa208sha256(mutableBytes(*stream), size_t(stream->size()),
               password.constData(), quint64(password.size()), bytes(salt), opslimit,
               size_t(memlimit))
        == 0;
}

void xorInto(QByteArray &target, const QByteArray &stream)
{
    for (int i = 0; i < target.size(); ++i)
        target[i] = char(target[i] ^ stream[i]);
}

QByteArray littleEndian64(quint64 value)
{
    QByteArray out(8, '\0');
    qToLittleEndian(value, out.data());
    return out;
}

bool writeKeyFile(
    const QString &path, const QByteArray &content, QFile::Permissions permissions, QString *reason)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(permissions)
        || file.write(content) != content.size() || !file.commit())
        return fail(reason, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return true;
}

} // namespace

ReleaseSigner::~ReleaseSigner()
{
    wipe(secretKey);
}

bool ReleaseSigner::loadSecretKey(
    const QString &path, const PasswordSource &password, QString *reason)
{
    if (!Minisign::initSodium())
        return fail(reason, QStringLiteral("the cryptography library cannot be used"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(
            reason, QStringLiteral("cannot read the key %1: %2").arg(path, file.errorString()));
    // A key made with -W holds the secret key in the clear: no copy of the
    // file's bytes outlives the reading.
    QByteArray content = file.readAll();
    QList<QByteArray> lines = Minisign::lines(content);
    wipe(content);
    QByteArray key
        = lines.size() >= 2 ? Minisign::decodeBase64(lines.at(1).trimmed()) : QByteArray();
    for (QByteArray &line : lines)
        wipe(line);
    if (key.size() != Minisign::secretKeyLineBytes || !key.startsWith(Minisign::keyAlgorithm)
        || key.mid(4, 2) != checksumAlgorithm)
        return fail(reason, QStringLiteral("%1 is not a minisign secret key").arg(path));
    const QByteArray kdf = key.mid(2, 2);
    const QByteArray salt = key.mid(6, Minisign::saltBytes);
    const quint64 opslimit = qFromLittleEndian<quint64>(key.constData() + 6 + Minisign::saltBytes);
    const quint64 memlimit
        = qFromLittleEndian<quint64>(key.constData() + 6 + Minisign::saltBytes + 8);
    QByteArray keynum = key.right(Minisign::keynumBytes);
    wipe(key);

    if (kdf == scryptAlgorithm) {
        bool ok = false;
        QByteArray pass = password ? password(&ok) : QByteArray();
        if (!ok)
            return fail(reason, QStringLiteral("the key is encrypted and no password was given"));
        QByteArray stream;
        const bool derived = scryptStream(pass, salt, opslimit, memlimit, &stream);
        wipe(pass);
        if (!derived)
            return fail(
                reason, QStringLiteral("cannot derive the key's password hash (out of memory?)"));
        xorInto(keynum, stream);
        wipe(stream);
    } else if (kdf != noKdf) {
        return fail(reason, QStringLiteral("%1 uses an unknown key derivation").arg(path));
    }

    const QByteArray keyId = keynum.left(Minisign::keyIdBytes);
    QByteArray secret = keynum.mid(Minisign::keyIdBytes, Minisign::secretKeyBytes);
    const QByteArray storedChecksum = keynum.right(Minisign::checksumBytes);
    wipe(keynum);
    // Keys made with -W carry no checksum; an encrypted key always does.
    const bool unchecked
        = kdf == noKdf && storedChecksum == QByteArray(Minisign::checksumBytes, '\0');
    if (!unchecked && checksum(keyId, secret) != storedChecksum) {
        wipe(secret);
        return fail(reason,
            kdf == scryptAlgorithm ? QStringLiteral("wrong password for the key %1").arg(path)
                                   : QStringLiteral("the key %1 is damaged").arg(path));
    }
    // The secret key ends with its public half: both halves must belong together.
    QByteArray publicKey(Minisign::publicKeyBytes, '\0');
    QByteArray expanded(Minisign::secretKeyBytes, '\0');
    crypto_sign_seed_keypair(mutableBytes(publicKey), mutableBytes(expanded), bytes(secret));
    const bool consistent = expanded == secret;
    wipe(expanded);
    if (!consistent) {
        wipe(secret);
        return fail(reason, QStringLiteral("the key %1 is damaged").arg(path));
    }
    wipe(secretKey);
    secretKey = secret;
    wipe(secret);
    id = keyId;
    return true;
}

bool ReleaseSigner::sign(const QString &path, const QByteArray &trustedComment,
    QByteArray *signatureFile, QString *reason) const
{
    if (!hasKey())
        return fail(reason, QStringLiteral("no secret key loaded"));
    if (trustedComment.contains('\n') || trustedComment.contains('\r'))
        return fail(reason, QStringLiteral("the trusted comment must be one line"));
    QByteArray hash;
    if (!Minisign::prehashFile(path, &hash, reason))
        return false;
    QByteArray signature(Minisign::signatureBytes, '\0');
    crypto_sign_detached(
        mutableBytes(signature), nullptr, bytes(hash), quint64(hash.size()), bytes(secretKey));
    const QByteArray global = signature + trustedComment;
    QByteArray globalSignature(Minisign::signatureBytes, '\0');
    crypto_sign_detached(mutableBytes(globalSignature), nullptr, bytes(global),
        quint64(global.size()), bytes(secretKey));
    *signatureFile = Minisign::untrustedPrefix + "signature from minisign secret key\n"
        + (Minisign::prehashedAlgorithm + id + signature).toBase64() + '\n'
        + Minisign::trustedPrefix + trustedComment + '\n' + globalSignature.toBase64() + '\n';
    return true;
}

bool ReleaseSigner::generateKeyPair(
    const QString &dir, const QByteArray &password, QByteArray *publicKeyLine, QString *reason)
{
    if (!Minisign::initSodium())
        return fail(reason, QStringLiteral("the cryptography library cannot be used"));
    QDir target(dir);
    if (!target.mkpath(QStringLiteral(".")))
        return fail(reason, QStringLiteral("cannot make the folder %1").arg(dir));
    const QString pubPath = target.filePath(QStringLiteral("minisign.pub"));
    const QString keyPath = target.filePath(QStringLiteral("minisign.key"));
    for (const QString &path : {pubPath, keyPath}) {
        if (QFile::exists(path))
            return fail(reason, QStringLiteral("%1 exists already; not overwritten").arg(path));
    }

    QByteArray publicKey(Minisign::publicKeyBytes, '\0');
    QByteArray secret(Minisign::secretKeyBytes, '\0');
    QByteArray keyId(Minisign::keyIdBytes, '\0');
    crypto_sign_keypair(mutableBytes(publicKey), mutableBytes(secret));
    randombytes_buf(keyId.data(), size_t(keyId.size()));

    const bool encrypted = !password.isEmpty();
    QByteArray salt(Minisign::saltBytes, '\0');
    quint64 opslimit = 0, memlimit = 0;
    // As "minisign -G -W" does, an unencrypted key carries no checksum.
    QByteArray keynum = joined({keyId, secret,
        encrypted ? checksum(keyId, secret) : QByteArray(Minisign::checksumBytes, '\0')});
    wipe(secret);
    if (encrypted) {
        randombytes_buf(salt.data(), size_t(salt.size()));
        opslimit = crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE;
        memlimit = crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE;
        QByteArray stream;
        if (!scryptStream(password, salt, opslimit, memlimit, &stream)) {
            wipe(keynum);
            return fail(reason, QStringLiteral("cannot derive the password hash (out of memory?)"));
        }
        xorInto(keynum, stream);
        wipe(stream);
    }
    QByteArray keyLine = joined({Minisign::keyAlgorithm, encrypted ? scryptAlgorithm : noKdf,
        checksumAlgorithm, salt, littleEndian64(opslimit), littleEndian64(memlimit), keynum});
    wipe(keynum);
    QByteArray encoded = keyLine.toBase64();
    wipe(keyLine);
    QByteArray keyFile = joined({Minisign::untrustedPrefix,
        QByteArrayLiteral("minisign encrypted secret key\n"), encoded, QByteArrayLiteral("\n")});
    wipe(encoded);
    const bool keyWritten
        = writeKeyFile(keyPath, keyFile, QFile::ReadOwner | QFile::WriteOwner, reason);
    wipe(keyFile);
    if (!keyWritten)
        return false;

    *publicKeyLine = (Minisign::keyAlgorithm + keyId + publicKey).toBase64();
    const QByteArray pubFile = Minisign::untrustedPrefix + "minisign public key "
        + Minisign::keyIdText(keyId).toLatin1() + '\n' + *publicKeyLine + '\n';
    return writeKeyFile(pubPath, pubFile,
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther, reason);
}
