#include "minisignformat.h"

#include <QFile>
#include <QRegularExpression>

#include <sodium.h>

namespace Minisign {

const QByteArray keyAlgorithm = QByteArrayLiteral("Ed");
const QByteArray prehashedAlgorithm = QByteArrayLiteral("ED");
const QByteArray trustedPrefix = QByteArrayLiteral("trusted comment: ");
const QByteArray untrustedPrefix = QByteArrayLiteral("untrusted comment: ");

QList<QByteArray> lines(const QByteArray &text)
{
    QList<QByteArray> result = text.split('\n');
    if (!result.isEmpty() && result.last().isEmpty())
        result.removeLast();
    for (QByteArray &line : result) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return result;
}

QByteArray decodeBase64(const QByteArray &line)
{
    const QByteArray::FromBase64Result decoded
        = QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
    // Qt accepts a missing padding; the format always pads.
    if (!decoded || line.size() % 4 != 0)
        return QByteArray();
    return decoded.decoded;
}

QString keyIdText(const QByteArray &keyId)
{
    QByteArray reversed(keyId.size(), '\0');
    std::copy(keyId.crbegin(), keyId.crend(), reversed.begin());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

bool prehashFile(const QString &path, QByteArray *hash, QString *reason)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    return prehashFile(file, hash, reason);
}

bool prehashFile(QFile &file, QByteArray *hash, QString *reason)
{
    const QString path = file.fileName();
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, prehashBytes);
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0) {
            *reason = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return false;
        }
        if (n == 0)
            break;
        crypto_generichash_update(
            &state, reinterpret_cast<const unsigned char *>(buffer.constData()), quint64(n));
    }
    hash->resize(prehashBytes);
    crypto_generichash_final(&state, reinterpret_cast<unsigned char *>(hash->data()), prehashBytes);
    return true;
}

QString commentToken(const QString &comment, const QString &name)
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QString prefix = name + QLatin1Char(':');
    for (const QString &token : comment.split(blanks, Qt::SkipEmptyParts)) {
        if (token.startsWith(prefix))
            return token.mid(prefix.size());
    }
    return QString();
}

namespace {

const unsigned char *bytes(const QByteArray &a)
{
    return reinterpret_cast<const unsigned char *>(a.constData());
}

bool fail(QString *reason, const QString &text)
{
    if (reason)
        *reason = text;
    return false;
}

} // namespace

QByteArray decodePublicKey(const QByteArray &text)
{
    for (const QByteArray &line : lines(text.trimmed())) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(untrustedPrefix))
            continue;
        const QByteArray key = decodeBase64(trimmed);
        if (key.size() != publicKeyLineBytes || !key.startsWith(keyAlgorithm))
            return QByteArray();
        return key;
    }
    return QByteArray();
}

QByteArray publicKeyId(const QByteArray &text)
{
    const QByteArray key = decodePublicKey(text);
    return key.isNull() ? QByteArray() : key.mid(2, keyIdBytes);
}

QByteArray signatureKeyId(const QByteArray &signatureFile)
{
    const QList<QByteArray> all = lines(signatureFile);
    if (all.size() < 2)
        return QByteArray();
    const QByteArray line = decodeBase64(all.at(1));
    return line.size() == signatureLineBytes ? line.mid(2, keyIdBytes) : QByteArray();
}

bool verify(const QByteArray &publicKeyText,
    const std::function<bool(QByteArray *hash, QString *reason)> &prehash,
    const QByteArray &signatureFile, const QString &what, QByteArray *trustedComment,
    QString *reason)
{
    if (!initSodium())
        return fail(reason, QStringLiteral("the cryptography library cannot be used"));

    const QByteArray key = decodePublicKey(publicKeyText);
    if (key.isNull())
        return fail(reason, QStringLiteral("the public key is malformed"));
    const QByteArray keyId = key.mid(2, keyIdBytes);
    const QByteArray publicKey = key.mid(2 + keyIdBytes);

    if (signatureFile.isEmpty())
        return fail(reason, QStringLiteral("the signature is missing"));
    const QList<QByteArray> all = lines(signatureFile);
    if (all.size() < 4 || !all.at(0).startsWith(untrustedPrefix)
        || !all.at(2).startsWith(trustedPrefix))
        return fail(reason, QStringLiteral("the signature is malformed"));
    const QByteArray sigLine = decodeBase64(all.at(1));
    const QByteArray globalSignature = decodeBase64(all.at(3));
    if (sigLine.size() != signatureLineBytes || globalSignature.size() != signatureBytes)
        return fail(reason, QStringLiteral("the signature is malformed"));
    const QByteArray algorithm = sigLine.left(2);
    const QByteArray signature = sigLine.mid(2 + keyIdBytes);
    // Only the prehashed kind: a legacy signature is over whatever bytes it
    // is given, so one genuine "ED" signature relabelled "Ed" would vouch
    // for a 64-byte file holding the hash of the real archive.
    if (algorithm == keyAlgorithm)
        return fail(reason,
            QStringLiteral("a legacy \"Ed\" signature; only prehashed \"ED\" signatures are "
                           "accepted"));
    if (algorithm != prehashedAlgorithm)
        return fail(reason,
            QStringLiteral("unknown signature algorithm \"%1\"")
                .arg(QString::fromLatin1(algorithm.toHex())));
    if (sigLine.mid(2, keyIdBytes) != keyId)
        return fail(reason,
            QStringLiteral("signed with another key (%1, expected %2)")
                .arg(keyIdText(sigLine.mid(2, keyIdBytes)), keyIdText(keyId)));

    QByteArray hash;
    QString why;
    if (!prehash(&hash, &why))
        return fail(reason, why);
    if (crypto_sign_verify_detached(
            bytes(signature), bytes(hash), quint64(hash.size()), bytes(publicKey))
        != 0)
        return fail(reason, QStringLiteral("%1 does not match its signature").arg(what));

    const QByteArray comment = all.at(2).mid(trustedPrefix.size());
    const QByteArray signedComment = signature + comment;
    if (crypto_sign_verify_detached(bytes(globalSignature), bytes(signedComment),
            quint64(signedComment.size()), bytes(publicKey))
        != 0)
        return fail(reason, QStringLiteral("the trusted comment does not match its signature"));
    if (trustedComment)
        *trustedComment = comment;
    return true;
}

QByteArray prehash(const QByteArray &data)
{
    QByteArray hash(prehashBytes, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char *>(hash.data()), size_t(hash.size()),
        bytes(data), quint64(data.size()), nullptr, 0);
    return hash;
}

bool verifyBytes(const QByteArray &publicKey, const QByteArray &content,
    const QByteArray &signatureFile, const QString &what, QByteArray *trustedComment,
    QString *reason)
{
    return verify(
        publicKey,
        [&content](QByteArray *hash, QString *) {
            *hash = prehash(content);
            return true;
        },
        signatureFile, what, trustedComment, reason);
}

bool initSodium()
{
    // Safe to call again and from several threads.
    return sodium_init() >= 0;
}

} // namespace Minisign
