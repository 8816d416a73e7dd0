#include "deltaplan.h"

#include "installpaths.h"
#include "minisignformat.h"

#include <QDebug>

#include <QFileInfo>

namespace DeltaPlan {

int choose(
    const QVector<DeltaIndex::Offer> &offers, const QString &installedVersion, qint64 archiveSize)
{
    for (int i = 0; i < offers.size(); ++i) {
        const DeltaIndex::Offer &offer = offers.at(i);
        if (installedVersion.isEmpty() || offer.from != installedVersion)
            continue;
        // Compared in whole bytes: size * 5 > archive * 4.
        if ((offer.size + offer.indexSize) * 5 > archiveSize * 4) {
            qDebug().noquote() << QStringLiteral("Delta from %1 not used: with its index it is "
                                                 "%2 bytes, more than 80% of the archive's %3")
                                      .arg(offer.from)
                                      .arg(offer.size + offer.indexSize)
                                      .arg(archiveSize);
            return -1;
        }
        return i;
    }
    return -1;
}

bool noLinkOnTheWay(const DeltaIndex &index, const QString &appDir, QString *reason)
{
    // Up to where the installation ends, or holds a file the release
    // replaces, every part of the way is a real folder.
    const auto clearWay = [&](const QString &path, bool itself) {
        QString here = appDir;
        const QStringList names = path.split(QLatin1Char('/'));
        for (int i = 0; i < names.size() - (itself ? 0 : 1); ++i) {
            here += QLatin1Char('/') + names.at(i);
            const InstallPaths::Kind kind = InstallPaths::kindOnDisk(here);
            if (kind == InstallPaths::Kind::Link) {
                *reason = QStringLiteral("the installed \"%1\" is not a real folder")
                              .arg(here.mid(appDir.size() + 1));
                return false;
            }
            if (kind != InstallPaths::Kind::Dir)
                break;
        }
        return true;
    };
    for (const DeltaIndex::Entry &e : index.entries) {
        if (!clearWay(e.path, e.kind == DeltaIndex::Kind::Dir))
            return false;
    }
    for (const QString &path : index.removed) {
        if (!clearWay(path, false))
            return false;
    }
    return true;
}

bool check(const DeltaIndex &index, const QString &installedVersion, const QString &appDir,
    QString *reason)
{
    if (index.from != installedVersion) {
        *reason = QStringLiteral("the delta is made from version \"%1\", not the installed \"%2\"")
                      .arg(index.from, installedVersion);
        return false;
    }
    if (!noLinkOnTheWay(index, appDir, reason))
        return false;
    for (const DeltaIndex::Entry &e : index.entries) {
        if (!e.needsOld())
            continue;
        const QString path = appDir + QLatin1Char('/') + e.path;
        const QFileInfo info(path);
        QByteArray hash;
        if (info.isSymLink() || !info.isFile()) {
            *reason = QStringLiteral("the installed \"%1\" is not a file").arg(e.path);
            return false;
        }
        if (!Minisign::prehashFile(path, &hash, reason))
            return false;
        if (hash != e.oldHash) {
            *reason = QStringLiteral("the installed \"%1\" is not the one of version %2")
                          .arg(e.path, index.from);
            return false;
        }
    }
    return true;
}

} // namespace DeltaPlan
