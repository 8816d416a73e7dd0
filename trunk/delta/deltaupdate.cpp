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

// Whether the file at path (downloaded by the updater: never read through a
// link) has exactly the size and BLAKE2b-512 given; hashed in pieces. With
// `content` it is small, and its bytes are read once and kept there.
bool checkFile(const QString &path, qint64 size, const QByteArray &hash, const QString &what,
    QString *reason, QByteArray *content = nullptr)
{
    QFile file(path);
    if (!SafeFiles::open(file, QIODevice::ReadOnly, reason)) {
        *reason = QStringLiteral("cannot read the %1: %2").arg(what, *reason);
        return false;
    }
    if (file.size() != size) {
        *reason
            = QStringLiteral("the %1 has %2 bytes, not %3").arg(what).arg(file.size()).arg(size);
        return false;
    }
    QByteArray got;
    if (content) {
        *content = file.read(size);
        if (content->size() != size) {
            *reason = QStringLiteral("cannot read the %1: %2").arg(what, file.errorString());
            return false;
        }
        got.resize(Minisign::prehashBytes);
        crypto_generichash(reinterpret_cast<unsigned char *>(got.data()), size_t(got.size()),
            reinterpret_cast<const unsigned char *>(content->constData()), quint64(content->size()),
            nullptr, 0);
    } else if (!Minisign::prehashFile(file, &got, reason)) {
        return false;
    }
    if (got != hash) {
        *reason = QStringLiteral("the %1 has another hash").arg(what);
        return false;
    }
    return true;
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

void DeltaUpdate::runStep(std::function<bool(QString *reason)> work,
    void (DeltaUpdate::*done)(bool ok, const QString &reason))
{
    if (worker) {
        worker->wait();
        delete worker;
    }
    struct Result
    {
        bool ok = false;
        QString reason;
    };
    auto result = std::make_shared<Result>();
    worker = QThread::create([work, result] { result->ok = work(&result->reason); });
    connect(worker, &QThread::finished, this,
        [this, result, done] { emit(this->*done)(result->ok, result->reason); });
    worker->start();
}

void DeltaUpdate::check(const QString &installedVersion)
{
    runStep(
        [this, installedVersion](QString *reason) {
            // Read once: the bytes hashed are the bytes parsed.
            QByteArray json;
            if (!checkFile(indexPath(), delta.indexSize, delta.indexBlake2b,
                    QStringLiteral("delta's index"), reason, &json)
                || !DeltaIndex::fromJson(json, &index, reason))
                return false;
            if (index.to != version) {
                *reason = QStringLiteral("the delta makes version \"%1\", not \"%2\"")
                              .arg(index.to, version);
                return false;
            }
            return DeltaPlan::check(index, installedVersion, appDir, reason);
        },
        &DeltaUpdate::checked);
}

void DeltaUpdate::stage()
{
    runStep(
        [this](QString *reason) {
            if (!checkFile(deltaPath(), delta.size, delta.blake2b, QStringLiteral("delta"), reason))
                return false;
            // The index inside must be the one the installation was checked against.
            QByteArray json;
            QByteArray inside(Minisign::prehashBytes, Qt::Uninitialized);
            if (!DeltaApplier::readIndex(deltaPath(), &json, reason))
                return false;
            crypto_generichash(reinterpret_cast<unsigned char *>(inside.data()),
                size_t(inside.size()), reinterpret_cast<const unsigned char *>(json.constData()),
                quint64(json.size()), nullptr, 0);
            if (inside != delta.indexBlake2b) {
                *reason = QStringLiteral("the delta holds another index");
                return false;
            }
            return DeltaApplier::apply(deltaPath(), index, appDir,
                appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::deltaStaging), reason,
                &cancelled);
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
