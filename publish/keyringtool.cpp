#include "keyringtool.h"

#include "minisignformat.h"
#include "qftp.h"
#include "qurlinfo.h"
#include "releasefiles.h"
#include "releasesigner.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>

namespace {

constexpr qint64 secondsPerDay = 24 * 60 * 60;

bool fail(QString *reason, const QString &text)
{
    *reason = text;
    return false;
}

// The number of a keyring file's name, 0 when it is none.
int numberOf(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^keyring-([1-9][0-9]{0,6})\\.json$"));
    const QRegularExpressionMatch match = pattern.match(name);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

bool readSmall(const QString &path, qint64 cap, QByteArray *bytes, QString *reason)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(reason, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    *bytes = file.read(cap + 1);
    if (bytes->size() > cap)
        return fail(reason, QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(cap));
    return true;
}

} // namespace

namespace KeyringTool {

bool newest(const QString &dir, int *version, QByteArray *bytes, QString *reason)
{
    *version = 0;
    for (const QString &name : QDir(dir).entryList(QDir::Files))
        *version = qMax(*version, numberOf(name));
    if (*version == 0)
        return true;
    const QString path = QDir(dir).filePath(Keyring::fileName(*version));
    Keyring keyring;
    if (!readSmall(path, ReleaseFiles::maxKeyringSize, bytes, reason)
        || !Keyring::parse(*bytes, &keyring, reason))
        return fail(reason, QStringLiteral("%1: %2").arg(path, *reason));
    if (keyring.version != *version)
        return fail(
            reason, QStringLiteral("%1 says it is keyring %2").arg(path).arg(keyring.version));
    return true;
}

bool writeNext(const QString &dir, Keyring keyring, int expiresDays, QString *reason)
{
    int last = 0;
    QByteArray ignored;
    if (!QDir().mkpath(dir))
        return fail(reason, QStringLiteral("cannot make %1").arg(dir));
    if (!newest(dir, &last, &ignored, reason))
        return false;
    keyring.version = last + 1;
    keyring.expires = QDateTime::currentSecsSinceEpoch() + expiresDays * secondsPerDay;
    const QByteArray json = keyring.toJson();
    Keyring check;
    if (!Keyring::parse(json, &check, reason))
        return fail(reason, QStringLiteral("the keyring would not read: ") + *reason);
    const QString path = QDir(dir).filePath(Keyring::fileName(keyring.version));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(json) != json.size())
        return fail(reason, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return true;
}

bool sign(const QString &dir, const ReleaseSigner &signer, QString *written, QString *reason)
{
    int version = 0;
    QByteArray bytes;
    if (!newest(dir, &version, &bytes, reason))
        return false;
    if (version == 0)
        return fail(reason, QStringLiteral("%1 holds no keyring to sign").arg(dir));
    Keyring keyring;
    if (!Keyring::parse(bytes, &keyring, reason))
        return false;
    Keyring before;
    QByteArray previous;
    const QString previousPath = QDir(dir).filePath(Keyring::fileName(version - 1));
    const bool hasPrevious = version > 1
        && readSmall(previousPath, ReleaseFiles::maxKeyringSize, &previous, reason)
        && Keyring::parse(previous, &before, reason);
    const QString id = Minisign::keyIdText(signer.keyId());
    // Keyring 1 is vouched for by the key updaters are built with, which
    // no keyring lists.
    if (!keyring.findRoot(signer.keyId()) && !(hasPrevious && before.findRoot(signer.keyId()))
        && version > 1)
        return fail(reason,
            QStringLiteral("key %1 is no root of keyring %2 or %3")
                .arg(id)
                .arg(version)
                .arg(version - 1));
    QByteArray signature;
    const QString path = QDir(dir).filePath(Keyring::fileName(version));
    if (!signer.sign(path,
            "keyring:" + QByteArray::number(version) + keyring.binding.commentTokens(), &signature,
            reason))
        return false;
    *written = QDir(dir).filePath(Keyring::signatureName(version, id));
    QFile file(*written);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(signature) != signature.size())
        return fail(
            reason, QStringLiteral("cannot write %1: %2").arg(*written, file.errorString()));
    return true;
}

QHash<QString, QByteArray> signatures(const QString &dir, int version)
{
    QHash<QString, QByteArray> found;
    const QString prefix = Keyring::fileName(version) + QLatin1Char('.');
    static const QRegularExpression id(QStringLiteral("^[0-9A-F]{16}$"));
    for (const QString &name : QDir(dir).entryList(QDir::Files)) {
        if (!name.startsWith(prefix)
            || !name.endsWith(QLatin1String(ReleaseFiles::keyringSignatureSuffix)))
            continue;
        const QString keyId = name.mid(prefix.size()).section(QLatin1Char('.'), 0, 0);
        QByteArray bytes;
        QString ignored;
        if (id.match(keyId).hasMatch()
            && readSmall(
                QDir(dir).filePath(name), ReleaseFiles::maxSignatureSize, &bytes, &ignored))
            found.insert(keyId, bytes);
    }
    return found;
}

bool fetchPublished(
    const Publisher::Server &server, int *version, QByteArray *bytes, QString *reason)
{
    *version = 0;
    QFtp ftp;
    ftp.setTimeout(server.timeoutMs);
    QString failure;
    QEventLoop loop;
    QObject::connect(&ftp, &QFtp::listInfo, &loop, [&](const QUrlInfo &info) {
        if (info.isFile())
            *version = qMax(*version, numberOf(info.name()));
    });
    QObject::connect(&ftp, &QFtp::done, &loop, [&](bool error) {
        if (error)
            failure = ftp.errorString();
        loop.quit();
    });
    ftp.connectToHost(server.host, server.port);
    ftp.login(server.user, server.password);
    ftp.cd(server.folder);
    ftp.list();
    loop.exec();
    // A folder not made yet holds no keyring.
    if (!failure.isEmpty() && ftp.state() != QFtp::LoggedIn)
        return fail(
            reason, QStringLiteral("cannot list %1: %2").arg(server.folder, failure.simplified()));
    if (*version == 0) {
        ftp.close();
        return true;
    }
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    failure.clear();
    ftp.get(Keyring::fileName(*version), &buffer);
    ftp.close();
    loop.exec();
    *bytes = buffer.data();
    if (!failure.isEmpty())
        return fail(reason,
            QStringLiteral("cannot fetch %1: %2")
                .arg(Keyring::fileName(*version), failure.simplified()));
    Keyring keyring;
    if (!Keyring::parse(*bytes, &keyring, reason))
        return fail(reason,
            QStringLiteral("the published %1 does not read: %2")
                .arg(Keyring::fileName(*version), *reason));
    return true;
}

bool checkForPublishing(
    const QString &dir, const Keyring &previous, int version, QStringList *names, QString *reason)
{
    if (version != previous.version + 1)
        return fail(reason,
            QStringLiteral("keyring %1 is not the next one: the server's newest is keyring %2")
                .arg(version)
                .arg(previous.version));
    QByteArray bytes;
    if (!readSmall(QDir(dir).filePath(Keyring::fileName(version)), ReleaseFiles::maxKeyringSize,
            &bytes, reason))
        return false;
    const QHash<QString, QByteArray> found = signatures(dir, version);
    Keyring candidate;
    if (!Keyring::parse(bytes, &candidate, reason))
        return false;
    // As an updater will judge it: for its own product and folder, now.
    Keyring next;
    if (!previous.admitsNext(
            bytes, found, candidate.binding, QDateTime::currentSecsSinceEpoch(), &next, reason))
        return fail(
            reason, QStringLiteral("keyring %1 would be refused: %2").arg(version).arg(*reason));
    names->clear();
    for (auto it = found.cbegin(); it != found.cend(); ++it)
        names->append(Keyring::signatureName(version, it.key()));
    names->sort();
    names->append(Keyring::fileName(version));
    return true;
}

bool checkReleaseKey(const Keyring &published, const QByteArray &keyId, qint64 now, QString *reason)
{
    // A signature file of nothing but the key id is all the keyring looks at.
    QByteArray line = QByteArrayLiteral("ED") + keyId + QByteArray(Minisign::signatureBytes, '\0');
    const QByteArray probe = Minisign::untrustedPrefix + "\n" + line.toBase64() + "\n";
    QByteArray ignored;
    if (!published.releaseKeyFor(probe, now, &ignored, reason))
        return fail(reason, QStringLiteral("the key cannot sign releases: ") + *reason);
    return true;
}

} // namespace KeyringTool
