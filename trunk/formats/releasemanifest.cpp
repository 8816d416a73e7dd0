#include "releasemanifest.h"

#include "jsonnumber.h"
#include "minisignformat.h"
#include "releasefiles.h"
#include "version.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>
#include <QtEndian>

#include <sodium.h>

namespace {

bool fail(QString *reason, const QString &text)
{
    *reason = text;
    return false;
}

} // namespace

bool ReleaseManifest::parse(const QByteArray &json, ReleaseManifest *manifest, QString *reason)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (document.isNull())
        return fail(reason, QStringLiteral("not JSON: %1").arg(error.errorString()));
    if (!document.isObject())
        return fail(reason, QStringLiteral("not a JSON object"));
    const QJsonObject object = document.object();
    ReleaseManifest m;

    const QJsonValue version = object.value(QLatin1String("version"));
    m.version = version.toString();
    if (!version.isString() || m.version.isEmpty())
        return fail(reason, QStringLiteral("no \"version\""));
    if (!Version::isOrderable(m.version))
        return fail(reason, QStringLiteral("\"version\" is not a version"));
    m.binding.product = object.value(QLatin1String("product")).toString();
    m.binding.folder = object.value(QLatin1String("folder")).toString();
    if (m.binding.product.isEmpty() || m.binding.folder.isEmpty())
        return fail(reason,
            QStringLiteral("no \"product\" and \"folder\" (published before releases were "
                           "bound to them)"));
    if (!JsonNumber::whole(object.value(QLatin1String("signed")), 0, JsonNumber::largestExact, &m.signedAt))
        return fail(reason, QStringLiteral("no whole number \"signed\""));
    if (!JsonNumber::whole(object.value(QLatin1String("expires")), 0, JsonNumber::largestExact, &m.expires))
        return fail(reason, QStringLiteral("no whole number \"expires\""));

    const QJsonObject archive = object.value(QLatin1String("archive")).toObject();
    const QJsonValue name = archive.value(QLatin1String("name"));
    m.archiveName = name.toString();
    if (!name.isString() || m.archiveName.isEmpty())
        return fail(reason, QStringLiteral("no \"archive\" \"name\""));
    if (!JsonNumber::whole(archive.value(QLatin1String("size")), 0, JsonNumber::largestExact, &m.archiveSize))
        return fail(reason, QStringLiteral("no whole number \"archive\" \"size\""));
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{128}$"));
    const QString hash = archive.value(QLatin1String("blake2b")).toString();
    if (!hex.match(hash).hasMatch())
        return fail(
            reason, QStringLiteral("\"archive\" \"blake2b\" is not 128 lower-case hex digits"));
    m.archiveHash = QByteArray::fromHex(hash.toLatin1());

    const QJsonValue rollout = object.value(QLatin1String("rollout"));
    qint64 share = 100;
    if (!rollout.isUndefined() && !JsonNumber::whole(rollout, 0, 100, &share))
        return fail(reason, QStringLiteral("\"rollout\" is not a whole number from 0 to 100"));
    m.rollout = int(share);

    const QJsonValue notes = object.value(QLatin1String("notes"));
    if (!notes.isUndefined() && !notes.isString())
        return fail(reason, QStringLiteral("\"notes\" is not a string"));
    m.notes = notes.toString();
    if (m.notes.toUtf8().size() > ReleaseFiles::maxNotesSize)
        return fail(reason,
            QStringLiteral("the notes are longer than %1 bytes").arg(ReleaseFiles::maxNotesSize));

    const QJsonValue confirm = object.value(QLatin1String("confirm"));
    qint64 launches = 0;
    if (!confirm.isUndefined() && !JsonNumber::whole(confirm, 0, maxConfirm, &launches))
        return fail(reason,
            QStringLiteral("\"confirm\" is not a whole number from 0 to %1").arg(maxConfirm));
    m.confirm = int(launches);
    const QJsonValue critical = object.value(QLatin1String("critical"));
    if (!critical.isUndefined() && !critical.isBool())
        return fail(reason, QStringLiteral("\"critical\" is not true or false"));
    m.critical = critical.toBool();
    const QJsonValue delivery = object.value(QLatin1String("delivery"));
    if (!delivery.isUndefined() && !delivery.isString())
        return fail(reason, QStringLiteral("\"delivery\" is not a string"));
    m.background = delivery.toString() == QLatin1String("background");
    for (const QJsonValue &value : object.value(QLatin1String("deltas")).toArray()) {
        DeltaIndex::Offer offer;
        if (DeltaIndex::offerFromJson(value.toObject(), &offer))
            m.deltas.append(offer);
    }

    *manifest = m;
    return true;
}

QByteArray ReleaseManifest::toJson() const
{
    QJsonObject archive;
    archive.insert(QLatin1String("name"), archiveName);
    archive.insert(QLatin1String("size"), double(archiveSize));
    archive.insert(QLatin1String("blake2b"), QString::fromLatin1(archiveHash.toHex()));
    QJsonObject object;
    object.insert(QLatin1String("version"), version);
    object.insert(QLatin1String("product"), binding.product);
    object.insert(QLatin1String("folder"), binding.folder);
    object.insert(QLatin1String("signed"), double(signedAt));
    object.insert(QLatin1String("expires"), double(expires));
    object.insert(QLatin1String("archive"), archive);
    object.insert(QLatin1String("rollout"), rollout);
    if (!notes.isEmpty())
        object.insert(QLatin1String("notes"), notes);
    if (confirm > 0)
        object.insert(QLatin1String("confirm"), confirm);
    if (critical)
        object.insert(QLatin1String("critical"), true);
    if (background)
        object.insert(QLatin1String("delivery"), QStringLiteral("background"));
    if (!deltas.isEmpty()) {
        QJsonArray list;
        for (const DeltaIndex::Offer &offer : deltas)
            list.append(DeltaIndex::offerToJson(offer));
        object.insert(QLatin1String("deltas"), list);
    }
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

int ReleaseManifest::bucket(const QByteArray &installId, const QString &version)
{
    if (installId.size() != 16 || !Minisign::initSodium())
        return -1;
    const QByteArray input = installId + version.toUtf8();
    unsigned char hash[32];
    crypto_generichash(hash, sizeof hash,
        reinterpret_cast<const unsigned char *>(input.constData()), quint64(input.size()), nullptr,
        0);
    return int(qFromBigEndian<quint32>(hash) % 100);
}

bool ReleaseManifest::offeredTo(const QByteArray &installId) const
{
    const int b = bucket(installId, version);
    return b >= 0 && b < rollout;
}

QByteArray ReleaseManifest::Binding::commentTokens() const
{
    return " product:" + QUrl::toPercentEncoding(product)
        + " folder:" + QUrl::toPercentEncoding(folder);
}

ReleaseManifest::Binding ReleaseManifest::Binding::fromComment(const QString &trustedComment)
{
    const auto value = [&](const char *name) {
        return QUrl::fromPercentEncoding(
            Minisign::commentToken(trustedComment, QLatin1String(name)).toUtf8());
    };
    return {value("product"), value("folder")};
}

bool ReleaseManifest::Binding::matches(const Binding &own, QString *reason) const
{
    if (product.isEmpty() || folder.isEmpty()) {
        *reason = QStringLiteral("it names no product and folder, so it could be any folder's "
                                 "release (this installation is \"%1\" in \"%2\")")
                      .arg(own.product, own.folder);
        return false;
    }
    if (product != own.product || folder != own.folder) {
        *reason
            = QStringLiteral("it is for \"%1\" in \"%2\", this installation is \"%3\" in \"%4\"")
                  .arg(product, folder, own.product, own.folder);
        return false;
    }
    return true;
}
