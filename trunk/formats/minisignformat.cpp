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

bool initSodium()
{
    // Safe to call again and from several threads.
    return sodium_init() >= 0;
}

} // namespace Minisign
