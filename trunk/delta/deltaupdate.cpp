#include "deltaupdate.h"

#include "deltaapplier.h"
#include "deltaplan.h"
#include "installer.h"
#include "minisignformat.h"
#include "releasefiles.h"
#include "safefiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <memory>

#include <sodium.h>

namespace {

// Empty when the file at path has exactly the size and BLAKE2b-512 given.
QString checkFile(const QString &path, qint64 size, const QByteArray &hash, const QString &what)
{
    QByteArray got;
    QString reason;
    // Downloaded by the updater: never read through a link.
    QFile file(path);
    if (!SafeFiles::open(file, QIODevice::ReadOnly, &reason))
        return QStringLiteral("cannot read the %1: %2").arg(what, reason);
    if (file.size() != size)
        return QStringLiteral("the %1 has %2 bytes, not %3").arg(what).arg(file.size()).arg(size);
    if (!Minisign::prehashFile(file, &got, &reason))
        return reason;
    return got == hash ? QString() : QStringLiteral("the %1 has another hash").arg(what);
}

} // namespace

DeltaUpdate::DeltaUpdate(
    const DeltaIndex::Offer &offer, const QString &version, const QString &appDir, QObject *parent)
    : QObject(parent)
    , delta(offer)
    , version(version)
    , appDir(appDir)
{
}

DeltaUpdate::~DeltaUpdate()
{
    cancelled = true;
    if (worker) {
        worker->wait();
        delete worker;
    }
    // A run that ends early (the window closed) leaves nothing of the delta.
    discard();
}

QString DeltaUpdate::indexPath() const
{
    return appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::downloadedDeltaIndex);
}

QString DeltaUpdate::deltaPath() const
{
    return appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::partialDelta);
}

void DeltaUpdate::runStep(std::function<QString()> work, void (DeltaUpdate::*done)(const QString &))
{
    if (worker) {
        worker->wait();
        delete worker;
    }
    auto reason = std::make_shared<QString>();
    worker = QThread::create([work, reason] { *reason = work(); });
    connect(worker, &QThread::finished, this, [this, reason, done] { emit(this->*done)(*reason); });
    worker->start();
}

void DeltaUpdate::check(const QString &installedVersion)
{
    runStep(
        [this, installedVersion] {
            const QString why = checkFile(
                indexPath(), delta.indexSize, delta.indexBlake2b, QStringLiteral("delta's index"));
            if (!why.isEmpty())
                return why;
            QFile file(indexPath());
            QString reason;
            if (!SafeFiles::open(file, QIODevice::ReadOnly, &reason)
                || !DeltaIndex::fromJson(file.readAll(), &index, &reason))
                return reason.isEmpty() ? file.errorString() : reason;
            if (index.to != version)
                return QStringLiteral("the delta makes version \"%1\", not \"%2\"")
                    .arg(index.to, version);
            return DeltaPlan::check(index, installedVersion, appDir);
        },
        &DeltaUpdate::checked);
}

void DeltaUpdate::stage()
{
    runStep(
        [this] {
            const QString why
                = checkFile(deltaPath(), delta.size, delta.blake2b, QStringLiteral("delta"));
            if (!why.isEmpty())
                return why;
            // The index inside must be the one the installation was checked against.
            QByteArray json;
            QByteArray inside(Minisign::prehashBytes, Qt::Uninitialized);
            QString reason;
            if (!DeltaApplier::readIndex(deltaPath(), &json, &reason))
                return reason;
            crypto_generichash(reinterpret_cast<unsigned char *>(inside.data()),
                size_t(inside.size()), reinterpret_cast<const unsigned char *>(json.constData()),
                quint64(json.size()), nullptr, 0);
            if (inside != delta.indexBlake2b)
                return QStringLiteral("the delta holds another index");
            return DeltaApplier::apply(deltaPath(), index, appDir,
                appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::deltaStaging), &cancelled);
        },
        &DeltaUpdate::staged);
}

Installer *DeltaUpdate::installer(QObject *parent) const
{
    return Installer::forStagedDelta(appDir, index, parent);
}

QString DeltaUpdate::summary(qint64 archiveSize) const
{
    const auto kib = [](qint64 bytes) { return QString::number((bytes + 1023) / 1024); };
    return QStringLiteral(" (delta from %1, %2 KiB of %3 KiB)")
        .arg(delta.from, kib(delta.size), kib(archiveSize));
}

void DeltaUpdate::discard()
{
    QFile::remove(indexPath());
    QFile::remove(deltaPath());
    QString why;
    if (!SafeFiles::removeTree(
            appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::deltaStaging), &why))
        qDebug().noquote() << "Cannot remove the staged delta:" << why;
}
