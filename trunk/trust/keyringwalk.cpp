#include "keyringwalk.h"

#include "releasefiles.h"
#include "safefiles.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

KeyringWalk::KeyringWalk(const QString &appDir, const QByteArray &builtInKey,
    const ReleaseManifest::Binding &own, QObject *parent)
    : QObject(parent)
    , appDir(appDir)
    , builtInKey(builtInKey)
    , own(own)
{
    current = Keyring::builtIn(builtInKey);
}

bool KeyringWalk::readKept(const QString &appDir, const QByteArray &builtInKey,
    const ReleaseManifest::Binding &own, Keyring *keyring, QString *reason)
{
    *keyring = Keyring::builtIn(builtInKey);
    const QString path = appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::keptKeyring);
    QFile file(path);
    if (!file.exists() && !QFileInfo(path).isSymLink())
        return true;
    QString why;
    if (!SafeFiles::open(file, QIODevice::ReadOnly, &why)) {
        *reason = QStringLiteral("cannot read \"%1\": %2").arg(path, why);
        return false;
    }
    Keyring kept;
    if (!Keyring::parse(file.read(ReleaseFiles::maxKeyringSize + 1), &kept, &why)
        || !kept.binding.matches(own, &why)) {
        *reason = QStringLiteral("the kept keyring \"%1\" is refused: %2").arg(path, why);
        return false;
    }
    *keyring = kept;
    return true;
}

void KeyringWalk::start(const Fetch &fetchFile, qint64 time)
{
    fetch = fetchFile;
    now = time;
    steps = 0;
    QString why;
    if (!readKept(appDir, builtInKey, own, &current, &why))
        emit walked(why + QStringLiteral("; walking the published keyrings from the built-in key"));
    step();
}

void KeyringWalk::step()
{
    if (++steps > maxSteps)
        return end();
    const int next = current.version + 1;
    fetch(Keyring::fileName(next), ReleaseFiles::maxKeyringSize, [this](const QByteArray &bytes) {
        if (bytes.isNull())
            return end();
        candidate = bytes;
        signatures.clear();
        // Its own roots' signatures are asked for as well as the current
        // ones': named by bytes nobody has vouched for yet, they count only
        // beside a threshold of the current roots' signatures.
        Keyring unverified;
        QString ignored;
        QVector<Keyring::Key> keys = current.roots;
        if (Keyring::parse(bytes, &unverified, &ignored))
            keys += unverified.roots;
        wanted.clear();
        for (const Keyring::Key &key : qAsConst(keys)) {
            if (!wanted.contains(key.idText()))
                wanted.append(key.idText());
        }
        fetchSignature();
    });
}

void KeyringWalk::fetchSignature()
{
    // One file at a time: a source serves one transfer.
    if (wanted.isEmpty())
        return judgeNext();
    const QString id = wanted.takeFirst();
    fetch(Keyring::signatureName(current.version + 1, id), ReleaseFiles::maxSignatureSize,
        [this, id](const QByteArray &bytes) {
            if (!bytes.isNull())
                signatures.insert(id, bytes);
            fetchSignature();
        });
}

void KeyringWalk::judgeNext()
{
    const int version = current.version + 1;
    Keyring next;
    QString why;
    if (!current.admitsNext(candidate, signatures, own, now, &next, &why)) {
        emit walked(QStringLiteral("Keyring %1 refused: %2").arg(version).arg(why));
        return end();
    }
    const QString path = appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::keptKeyring);
    if (!SafeFiles::writeWhole(path, candidate, &why)) {
        emit finished(false,
            QStringLiteral("No update: keyring %1 verified but not kept: %2")
                .arg(version)
                .arg(why));
        return;
    }
    current = next;
    QStringList ids;
    for (const Keyring::Key &key : qAsConst(next.releaseKeys))
        ids << key.idText();
    emit walked(QStringLiteral("Keyring %1 verified: releases signed by %2; %3 of %4 roots sign "
                               "the next")
                    .arg(version)
                    .arg(ids.join(QStringLiteral(", ")))
                    .arg(next.threshold)
                    .arg(next.roots.size()));
    step();
}

void KeyringWalk::end()
{
    // The newest keyring no longer vouches for anything: no release is
    // judged until a later one is published.
    if (!current.isBuiltIn() && current.expires <= now) {
        emit finished(false,
            QStringLiteral("No update: keyring %1 expired on %2")
                .arg(current.version)
                .arg(
                    QDateTime::fromSecsSinceEpoch(current.expires, Qt::UTC).toString(Qt::ISODate)));
        return;
    }
    emit finished(true, QString());
}
