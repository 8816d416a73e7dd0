#include "updatestate.h"

#include "releasefiles.h"
#include "safefiles.h"
#include "version.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>

namespace {

const QLatin1String idKey("install_id");
const QLatin1String highestKey("highest_version");
const QLatin1String highestSignedKey("highest_signed");
const QLatin1String verifiedKey("manifest_verified");
const QLatin1String trialKey("trial");
const QLatin1String badKey("bad_versions");

} // namespace

UpdateState UpdateState::load(const QString &appDir, QString *problem)
{
    UpdateState state;
    state.path = appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::state);
    QFile file(state.path);
    if (!file.exists())
        return state;
    QString why;
    QJsonParseError error {};
    QJsonDocument document;
    // Tens of bytes in truth; the cap keeps a planted giant out of memory.
    if (file.size() > ReleaseFiles::maxManifestSize)
        why = QStringLiteral("larger than %1 bytes").arg(ReleaseFiles::maxManifestSize);
    else if (QString refusal; !SafeFiles::open(file, QIODevice::ReadOnly, &refusal))
        why = refusal;
    else if ((document = QJsonDocument::fromJson(file.readAll(), &error)), !document.isObject())
        why = QStringLiteral("not a JSON object");
    if (why.isEmpty()) {
        state.fields = document.object();
        static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{32}$"));
        const QString id = state.fields.value(idKey).toString();
        if (hex.match(id).hasMatch())
            state.id = QByteArray::fromHex(id.toLatin1());
        state.highest = state.fields.value(highestKey).toString();
        state.highestSignedAt = qint64(state.fields.value(highestSignedKey).toDouble());
        state.verified = state.fields.value(verifiedKey).toBool();
        const QJsonObject trial = state.fields.value(trialKey).toObject();
        state.trialRecord.version = trial.value(QLatin1String("version")).toString();
        state.trialRecord.previous = trial.value(QLatin1String("previous")).toString();
        state.trialRecord.confirm = trial.value(QLatin1String("confirm")).toInt();
        state.trialRecord.launches = trial.value(QLatin1String("launches")).toInt();
        state.trialRecord.confirmed = trial.value(QLatin1String("confirmed")).toBool();
        state.trialRecord.reverting = trial.value(QLatin1String("reverting")).toBool();
        for (const QJsonValue &version : state.fields.value(badKey).toArray())
            state.bad.append(version.toString());
        return state;
    }
    // Nothing it said can be relied on: refuse a source without a manifest
    // rather than fall back to archives signed alone.
    state.verified = true;
    if (problem)
        *problem = QStringLiteral("\"%1\" is unreadable (%2)").arg(state.path, why);
    return state;
}

bool UpdateState::save(QString *reason) const
{
    QJsonObject object = fields;
    if (!id.isEmpty())
        object.insert(idKey, QString::fromLatin1(id.toHex()));
    if (!highest.isEmpty()) {
        object.insert(highestKey, highest);
        object.insert(highestSignedKey, double(highestSignedAt));
    }
    object.insert(verifiedKey, verified);
    TrialRecord trial = trialRecord;
    if (!trial.version.isEmpty()) {
        const TrialRecord onDisk = load(QFileInfo(path).path()).trialRecord;
        trial.confirmed = trial.confirmed || (onDisk.version == trial.version && onDisk.confirmed);
        object.insert(trialKey,
            QJsonObject {{QLatin1String("version"), trial.version},
                {QLatin1String("previous"), trial.previous},
                {QLatin1String("confirm"), trial.confirm},
                {QLatin1String("launches"), trial.launches},
                {QLatin1String("confirmed"), trial.confirmed},
                {QLatin1String("reverting"), trial.reverting}});
    } else {
        object.remove(trialKey);
    }
    if (!bad.isEmpty())
        object.insert(badKey, QJsonArray::fromStringList(bad));
    const QByteArray data = QJsonDocument(object).toJson(QJsonDocument::Indented);
    QString why;
    if (SafeFiles::writeWhole(path, data, &why))
        return true;
    *reason = QStringLiteral("cannot write \"%1\": %2").arg(path, why);
    return false;
}

QByteArray UpdateState::installId()
{
    if (id.isEmpty()) {
        id.resize(16);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(id.data()), 4);
    }
    return id;
}

void UpdateState::addBadVersion(const QString &version)
{
    if (!bad.contains(version))
        bad.append(version);
}

void UpdateState::recordVerified(const QString &version, qint64 signedAt)
{
    verified = true;
    const int order = highest.isEmpty() ? 1 : Version::compare(version, highest);
    if (order > 0 || (order == 0 && signedAt > highestSignedAt)) {
        highest = version;
        highestSignedAt = signedAt;
    }
}
