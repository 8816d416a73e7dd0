#include "readyupdate.h"

#include "deltaplan.h"
#include "deltaupdate.h"
#include "installation.h"
#include "installer.h"
#include "installpaths.h"
#include "installrecord.h"
#include "minisignformat.h"
#include "releasefiles.h"
#include "safefiles.h"
#include "trial.h"
#include "updatestate.h"
#include "version.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

using namespace InstallPaths;

const char treeName[] = "tree";
const char recordName[] = "files.json";
const char markerName[] = "ready";

bool fail(QString *reason, const QString &why)
{
    *reason = why;
    return false;
}

// A file of the ready folder, never read through a link and never larger than cap.
bool readOwn(const QString &path, qint64 cap, QByteArray *data, QString *reason)
{
    QFile file(path);
    QString why;
    if (!SafeFiles::open(file, QIODevice::ReadOnly, &why))
        return fail(reason, QStringLiteral("cannot read %1: %2").arg(quoted(path), why));
    if (file.size() > cap)
        return fail(reason, QStringLiteral("%1 is too large").arg(quoted(path)));
    *data = file.readAll();
    return true;
}

} // namespace

ReadyUpdate::ReadyUpdate(const QString &appDir, QObject *parent)
    : QObject(parent)
    , appDir(QDir::cleanPath(QDir(appDir).absolutePath()))
    , readyLock(this->appDir, ReleaseFiles::readyLock)
{
}

InstanceLock::Result ReadyUpdate::lock(QString *reason)
{
    const InstanceLock::Result result = readyLock.acquire(reason);
    if (result == InstanceLock::HeldByAnother)
        *reason = QStringLiteral("an update is being downloaded in the background");
    return result;
}

QString ReadyUpdate::folder() const
{
    return appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::readyUpdate);
}

QString ReadyUpdate::completeVersion() const
{
    QByteArray data;
    QString why;
    if (kindOnDisk(folder()) != Kind::Dir
        || !readOwn(folder() + QLatin1Char('/') + QLatin1String(markerName), 4096, &data, &why))
        return QString();
    return QJsonDocument::fromJson(data).object().value(QLatin1String("version")).toString();
}

bool ReadyUpdate::discard(QString *reason)
{
    return SafeFiles::removeTree(folder(), reason);
}

bool ReadyUpdate::check(
    Installation &installation, const ManifestCheck::Input &given, QString *reason)
{
    const QString dir = folder() + QLatin1Char('/');
    QByteArray marker;
    if (!readOwn(dir + QLatin1String(markerName), 4096, &marker, reason))
        return false;
    const QJsonObject ready = QJsonDocument::fromJson(marker).object();
    const QString version = ready.value(QLatin1String("version")).toString();
    const QString from = ready.value(QLatin1String("delta")).toString();

    ManifestCheck::Input input = given;
    input.publishedVersion = Version::clean(version);
    input.installedVersion = installation.installedVersion();
    if (!readOwn(dir + QLatin1String(ReleaseFiles::manifest), ReleaseFiles::maxManifestSize,
            &input.manifest, reason)
        || !readOwn(dir + QLatin1String(ReleaseFiles::manifestSignature),
            ReleaseFiles::maxSignatureSize, &input.signature, reason))
        return false;
    UpdateState state = installation.stateForDecision();
    ManifestCheck::Judgement judgement;
    const bool offered = ManifestCheck::judge(input, &state, &judgement, reason);
    if (judgement.verified)
        installation.stateSaved(state);
    if (!offered)
        return false;
    checked = judgement.manifest;
    if (Trial::isBad(installation, input.publishedVersion))
        return fail(reason,
            QStringLiteral("version %1 did not start properly here before")
                .arg(input.publishedVersion));

    QByteArray json;
    if (!readOwn(dir + QLatin1String(recordName), ReleaseFiles::maxDeltaIndexSize, &json, reason)
        || !DeltaIndex::fromJson(json, &record, reason))
        return false;
    if (!from.isEmpty()) {
        // A delta's record is its index, which the manifest signs.
        const QByteArray indexHash = Minisign::prehash(json);
        bool signedIndex = false;
        for (const DeltaIndex::Offer &offer : qAsConst(checked.deltas))
            signedIndex = signedIndex || (offer.from == from && offer.indexBlake2b == indexHash);
        if (!signedIndex)
            return fail(reason, QStringLiteral("its record is not the delta's signed index"));
        if (record.to != input.publishedVersion)
            return fail(reason, QStringLiteral("its record makes version \"%1\"").arg(record.to));
        if (!DeltaPlan::check(record, input.installedVersion, appDir, reason))
            return false;
    } else if (Version::compare(record.to, input.publishedVersion) != 0) {
        return fail(reason, QStringLiteral("its record makes version \"%1\"").arg(record.to));
    }
    passed = checkTree(record, from.isEmpty(), reason);
    return passed;
}

bool ReadyUpdate::checkTree(const DeltaIndex &index, bool full, QString *reason) const
{
    const QString tree = folder() + QLatin1Char('/') + QLatin1String(treeName);
    if (kindOnDisk(tree) != Kind::Dir)
        return fail(reason, QStringLiteral("it has no tree"));
    QHash<QString, const DeltaIndex::Entry *> entries;
    for (const DeltaIndex::Entry &e : index.entries)
        entries.insert(e.path, &e);
    const QDir base(tree);
    // Links are never followed: what lies beyond one is not the tree's.
    QDirIterator it(tree, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = base.relativeFilePath(it.next());
        const DeltaIndex::Entry *entry = entries.value(path);
        if (!entry)
            return fail(reason, QStringLiteral("%1 is not in its record").arg(quoted(path)));
        if (!InstallRecord::matches(it.filePath(), *entry))
            return fail(reason, QStringLiteral("%1 is not as its record says").arg(quoted(path)));
    }
    // An archive's tree holds every path; a delta's what it made, the
    // rest kept as installed (which its check has compared).
    for (const DeltaIndex::Entry &e : index.entries) {
        const bool kept = !full
            && (e.kind != DeltaIndex::Kind::File || e.source == DeltaIndex::Source::Installed);
        if (!kept && !existsOnDisk(tree + QLatin1Char('/') + e.path))
            return fail(reason, QStringLiteral("%1 is missing").arg(quoted(e.path)));
    }
    return true;
}

Installer *ReadyUpdate::installer(
    Installation &installation, QObject *parent, QString *note, QString *reason)
{
    const QString dir = folder() + QLatin1Char('/');
    const QString staging = appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::deltaStaging);
    if (!SafeFiles::removeTree(staging, reason))
        return nullptr;
    // No marker, no ready update: a kill after this line loses the download,
    // never installs half of it.
    if (!QFile::remove(dir + QLatin1String(markerName))
        || !QDir().rename(dir + QLatin1String(treeName), staging)) {
        *reason = QStringLiteral("cannot hand its tree to the installer");
        return nullptr;
    }
    Installer *installer = Installer::forStagedDelta(appDir, record, parent);
    // The trial counts from this start, as for a release installed on Yes.
    *note = Trial::prepare(installation, installer, Version::clean(checked.version),
        installation.installedVersion(), checked.confirm);
    return installer;
}

bool ReadyUpdate::startFolder(QString *reason)
{
    // What an earlier background run left is of no use to this one.
    return SafeFiles::removeTree(folder(), reason) && QDir().mkpath(folder())
        && kindOnDisk(folder()) == Kind::Dir;
}

bool ReadyUpdate::finishFolder(const QByteArray &manifest, const QByteArray &signature,
    const QString &version, const QString &from, QString *reason)
{
    const QString dir = folder() + QLatin1Char('/');
    QJsonObject marker {{QStringLiteral("version"), version}};
    if (!from.isEmpty())
        marker.insert(QStringLiteral("delta"), from);
    // Each written whole and flushed before the marker, which says all is there.
    return SafeFiles::writeWhole(dir + QLatin1String(ReleaseFiles::manifest), manifest, reason)
        && SafeFiles::writeWhole(
            dir + QLatin1String(ReleaseFiles::manifestSignature), signature, reason)
        && SafeFiles::writeWhole(dir + QLatin1String(markerName),
            QJsonDocument(marker).toJson(QJsonDocument::Compact), reason);
}

void ReadyUpdate::ended(bool ok, const QString &version, const QString &reason)
{
    if (!ok)
        discard();
    const QString line = ok
        ? QStringLiteral("Version %1 is ready: installed at the next start").arg(version)
        : QStringLiteral("Update not made ready: ") + reason;
    QMetaObject::invokeMethod(
        this, [this, ok, line] { emit prepared(ok, line); }, Qt::QueuedConnection);
}

bool ReadyUpdate::moveDelta(const QString &indexPath, QString *reason)
{
    const QString dir = folder() + QLatin1Char('/');
    QByteArray index;
    return readOwn(indexPath, ReleaseFiles::maxDeltaIndexSize, &index, reason)
        && SafeFiles::writeWhole(dir + QLatin1String(recordName), index, reason)
        && (QDir().rename(appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::deltaStaging),
                dir + QLatin1String(treeName))
            || fail(reason, QStringLiteral("cannot move the staged delta")));
}

void ReadyUpdate::prepare(const QString &archivePath, DeltaUpdate *delta,
    const QByteArray &manifest, const QByteArray &signature, const QString &version)
{
    QString why;
    if (!startFolder(&why))
        return ended(false, version, why);
    if (delta) {
        const bool ok = moveDelta(delta->indexPath(), &why)
            && finishFolder(manifest, signature, version, delta->offer().from, &why);
        return ended(ok, version, why);
    }
    const QString dir = folder() + QLatin1Char('/');
    unpacker = new Installer(archivePath, appDir, this);
    unpacker->stageOnly(dir + QLatin1String(treeName), dir + QLatin1String(recordName));
    connect(unpacker, &Installer::finished, this,
        [this, manifest, signature, version](bool ok, const QString &reason) {
            QString why = reason;
            ok = ok && finishFolder(manifest, signature, version, QString(), &why);
            ended(ok, version, why);
        });
    unpacker->start();
}

void ReadyUpdate::install(Installation &installation)
{
    QString note;
    QString reason;
    Installer *installer = this->installer(installation, this, &note, &reason);
    const QString version = Version::clean(checked.version);
    const auto end = [this, &installation, version, note](bool ok, const QString &why) {
        QStringList lines;
        if (!note.isEmpty())
            lines << note;
        installation.versionChanged();
        lines << (ok
                ? QStringLiteral("Update installed: version %1, downloaded in the background")
                      .arg(version)
                : QStringLiteral("Ready update of version %1 not installed: %2").arg(version, why));
        QString left;
        if (!discard(&left))
            lines << QStringLiteral("Cannot remove the ready update: ") + left;
        // A rollback that failed has left its journal: one more try.
        const bool whole = ok || Installer::recover(appDir);
        emit installed(whole, lines);
    };
    if (!installer) {
        QMetaObject::invokeMethod(
            this, [end, reason] { end(false, reason); }, Qt::QueuedConnection);
        return;
    }
    connect(installer, &Installer::progress, this, &ReadyUpdate::progress);
    connect(installer, &Installer::finished, this, [installer, end](bool ok, const QString &why) {
        installer->deleteLater();
        end(ok, why);
    });
    installer->start();
}

void ReadyUpdate::goBackground()
{
    if (installationLock)
        installationLock->release();
}
