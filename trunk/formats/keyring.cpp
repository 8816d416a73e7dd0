#include "keyring.h"

#include "jsonnumber.h"
#include "minisignformat.h"
#include "releasefiles.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

namespace {

bool fail(QString *reason, const QString &text)
{
    *reason = text;
    return false;
}

QString utc(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate);
}

// A list of distinct keys, each a public key line or an object with "key"
// and an optional "expires".
bool readKeys(
    const QJsonValue &value, const char *name, QVector<Keyring::Key> *keys, QString *reason)
{
    const QJsonArray list = value.toArray();
    if (!value.isArray() || list.isEmpty() || list.size() > Keyring::maxKeys)
        return fail(reason,
            QStringLiteral("\"%1\" is not a list of 1 to %2 keys")
                .arg(QLatin1String(name))
                .arg(Keyring::maxKeys));
    QSet<QByteArray> ids;
    for (const QJsonValue &entry : list) {
        Keyring::Key key;
        const QJsonValue text
            = entry.isObject() ? entry.toObject().value(QLatin1String("key")) : entry;
        key.publicKey = text.toString().toLatin1();
        if (!text.isString() || Minisign::decodePublicKey(key.publicKey).isNull())
            return fail(reason,
                QStringLiteral("\"%1\" holds something that is not a minisign public key")
                    .arg(QLatin1String(name)));
        const QJsonValue expires = entry.toObject().value(QLatin1String("expires"));
        if (!expires.isUndefined() && !JsonNumber::whole(expires, 1, JsonNumber::largestExact, &key.expires))
            return fail(reason,
                QStringLiteral("a key of \"%1\" has no whole number \"expires\"")
                    .arg(QLatin1String(name)));
        if (ids.contains(key.id()))
            return fail(reason,
                QStringLiteral("\"%1\" lists key %2 twice").arg(QLatin1String(name), key.idText()));
        ids.insert(key.id());
        keys->append(key);
    }
    return true;
}

QJsonArray writeKeys(const QVector<Keyring::Key> &keys, bool withExpiry)
{
    QJsonArray list;
    for (const Keyring::Key &key : keys) {
        if (!withExpiry) {
            list.append(QString::fromLatin1(key.publicKey));
            continue;
        }
        QJsonObject object;
        object.insert(QLatin1String("key"), QString::fromLatin1(key.publicKey));
        if (key.expires > 0)
            object.insert(QLatin1String("expires"), double(key.expires));
        list.append(object);
    }
    return list;
}

} // namespace

QByteArray Keyring::Key::id() const
{
    return Minisign::publicKeyId(publicKey);
}

QString Keyring::Key::idText() const
{
    return Minisign::keyIdText(id());
}

Keyring Keyring::builtIn(const QByteArray &publicKey)
{
    Keyring keyring;
    Key key;
    key.publicKey = publicKey;
    keyring.roots = {key};
    keyring.releaseKeys = {key};
    return keyring;
}

bool Keyring::parse(const QByteArray &json, Keyring *keyring, QString *reason)
{
    if (json.size() > ReleaseFiles::maxKeyringSize)
        return fail(
            reason, QStringLiteral("larger than %1 bytes").arg(ReleaseFiles::maxKeyringSize));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (document.isNull())
        return fail(reason, QStringLiteral("not JSON: %1").arg(error.errorString()));
    if (!document.isObject())
        return fail(reason, QStringLiteral("not a JSON object"));
    const QJsonObject object = document.object();
    Keyring k;
    qint64 number = 0;
    if (!JsonNumber::whole(object.value(QLatin1String("keyring")), 1, maxVersion, &number))
        return fail(reason,
            QStringLiteral("\"keyring\" is not a whole number from 1 to %1").arg(maxVersion));
    k.version = int(number);
    k.binding.product = object.value(QLatin1String("product")).toString();
    k.binding.folder = object.value(QLatin1String("folder")).toString();
    if (k.binding.product.isEmpty() || k.binding.folder.isEmpty())
        return fail(reason, QStringLiteral("no \"product\" and \"folder\""));
    if (!JsonNumber::whole(object.value(QLatin1String("expires")), 1, JsonNumber::largestExact, &k.expires))
        return fail(reason, QStringLiteral("no whole number \"expires\""));
    if (!readKeys(object.value(QLatin1String("roots")), "roots", &k.roots, reason)
        || !readKeys(
            object.value(QLatin1String("release_keys")), "release_keys", &k.releaseKeys, reason))
        return false;
    if (!JsonNumber::whole(object.value(QLatin1String("threshold")), 1, k.roots.size(), &number))
        return fail(reason,
            QStringLiteral("\"threshold\" is not a whole number from 1 to %1, the number of roots")
                .arg(k.roots.size()));
    k.threshold = int(number);
    static const QRegularExpression keyIdPattern(QStringLiteral("^[0-9A-F]{16}$"));
    const QJsonValue revoked = object.value(QLatin1String("revoked"));
    if (!revoked.isUndefined() && !revoked.isArray())
        return fail(reason, QStringLiteral("\"revoked\" is not a list"));
    for (const QJsonValue &id : revoked.toArray()) {
        if (!keyIdPattern.match(id.toString()).hasMatch() || k.revoked.size() >= 16 * maxKeys)
            return fail(reason, QStringLiteral("\"revoked\" holds something that is not a key id"));
        k.revoked.append(id.toString());
    }
    *keyring = k;
    return true;
}

QByteArray Keyring::toJson() const
{
    QJsonObject object;
    object.insert(QLatin1String("keyring"), version);
    object.insert(QLatin1String("product"), binding.product);
    object.insert(QLatin1String("folder"), binding.folder);
    object.insert(QLatin1String("expires"), double(expires));
    object.insert(QLatin1String("threshold"), threshold);
    object.insert(QLatin1String("roots"), writeKeys(roots, false));
    object.insert(QLatin1String("release_keys"), writeKeys(releaseKeys, true));
    if (!revoked.isEmpty())
        object.insert(QLatin1String("revoked"), QJsonArray::fromStringList(revoked));
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

QString Keyring::fileName(int version)
{
    return QLatin1String(ReleaseFiles::keyringPrefix) + QString::number(version)
        + QLatin1String(ReleaseFiles::keyringSuffix);
}

QString Keyring::signatureName(int version, const QString &keyIdText)
{
    return fileName(version) + QLatin1Char('.') + keyIdText
        + QLatin1String(ReleaseFiles::keyringSignatureSuffix);
}

int Keyring::signers(const QVector<Key> &keys, const QByteArray &content,
    const QHash<QString, QByteArray> &signatures, QString *failure)
{
    int count = 0;
    QSet<QByteArray> counted;
    for (const Key &key : keys) {
        const auto found = signatures.constFind(key.idText());
        if (found == signatures.constEnd() || counted.contains(key.id()))
            continue;
        QString why;
        if (Minisign::verifyBytes(
                key.publicKey, content, *found, QStringLiteral("the keyring"), nullptr, &why)) {
            counted.insert(key.id());
            ++count;
        } else if (failure && failure->isEmpty()) {
            *failure = QStringLiteral("the signature of %1 is refused: %2").arg(key.idText(), why);
        }
    }
    return count;
}

bool Keyring::admitsNext(const QByteArray &content, const QHash<QString, QByteArray> &signatures,
    const ReleaseManifest::Binding &own, qint64 now, Keyring *next, QString *reason) const
{
    Keyring candidate;
    QString why;
    if (!parse(content, &candidate, &why))
        return fail(reason, why);
    // Never an older one, never one that skips a step: each keyring is
    // vouched for by the one before it, and by nothing else.
    if (candidate.version != version + 1)
        return fail(reason,
            QStringLiteral("it says it is keyring %1, not %2")
                .arg(candidate.version)
                .arg(version + 1));
    if (!candidate.binding.matches(own, &why))
        return fail(reason, why);
    if (candidate.expires <= now)
        return fail(reason, QStringLiteral("it expired on %1").arg(utc(candidate.expires)));
    QString failure;
    const int before = signers(roots, content, signatures, &failure);
    const int after = signers(candidate.roots, content, signatures, &failure);
    const QString detail = failure.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(failure);
    if (before < threshold)
        return fail(reason,
            QStringLiteral("signed by %1 of the roots of keyring %2, %3 needed%4")
                .arg(before)
                .arg(version)
                .arg(threshold)
                .arg(detail));
    if (after < candidate.threshold)
        return fail(reason,
            QStringLiteral("signed by %1 of its own roots, %2 needed%3")
                .arg(after)
                .arg(candidate.threshold)
                .arg(detail));
    *next = candidate;
    return true;
}

bool Keyring::releaseKeyFor(
    const QByteArray &signatureFile, qint64 now, QByteArray *publicKey, QString *reason) const
{
    const QByteArray id = Minisign::signatureKeyId(signatureFile);
    if (id.isNull())
        return fail(reason, QStringLiteral("the signature is malformed"));
    const QString text = Minisign::keyIdText(id);
    if (revoked.contains(text))
        return fail(reason,
            QStringLiteral("signed with key %1, revoked by keyring %2").arg(text).arg(version));
    const Key *key = findReleaseKey(id);
    if (!key)
        return fail(reason,
            QStringLiteral("signed with key %1, which keyring %2 does not list as a release key")
                .arg(text)
                .arg(version));
    if (key->expires > 0 && key->expires <= now)
        return fail(reason,
            QStringLiteral("signed with key %1, which keyring %2 allowed to sign until %3")
                .arg(text)
                .arg(version)
                .arg(utc(key->expires)));
    *publicKey = key->publicKey;
    return true;
}

const Keyring::Key *Keyring::findRoot(const QByteArray &id) const
{
    for (const Key &key : roots) {
        if (key.id() == id)
            return &key;
    }
    return nullptr;
}

const Keyring::Key *Keyring::findReleaseKey(const QByteArray &id) const
{
    for (const Key &key : releaseKeys) {
        if (key.id() == id)
            return &key;
    }
    return nullptr;
}
