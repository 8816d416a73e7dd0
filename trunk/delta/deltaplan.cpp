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

QString linkOnTheWay(const DeltaIndex &index, const QString &appDir)
{
    // Up to where the installation ends, or holds a file the release
    // replaces, every part of the way is a real folder.
    const auto wayOf = [&](const QString &path, bool itself) {
        QString here = appDir;
        const QStringList names = path.split(QLatin1Char('/'));
        for (int i = 0; i < names.size() - (itself ? 0 : 1); ++i) {
            here += QLatin1Char('/') + names.at(i);
            const InstallPaths::Kind kind = InstallPaths::kindOnDisk(here);
            if (kind == InstallPaths::Kind::Link)
                return QStringLiteral("the installed \"%1\" is not a real folder")
                    .arg(here.mid(appDir.size() + 1));
            if (kind != InstallPaths::Kind::Dir)
                break;
        }
        return QString();
    };
    for (const DeltaIndex::Entry &e : index.entries) {
        const QString why = wayOf(e.path, e.kind == DeltaIndex::Kind::Dir);
        if (!why.isEmpty())
            return why;
    }
    for (const QString &path : index.removed) {
        const QString why = wayOf(path, false);
        if (!why.isEmpty())
            return why;
    }
    return QString();
}

QString check(const DeltaIndex &index, const QString &installedVersion, const QString &appDir)
{
    if (index.from != installedVersion)
        return QStringLiteral("the delta is made from version \"%1\", not the installed \"%2\"")
            .arg(index.from, installedVersion);
    const QString onTheWay = linkOnTheWay(index, appDir);
    if (!onTheWay.isEmpty())
        return onTheWay;
    for (const DeltaIndex::Entry &e : index.entries) {
        if (!e.needsOld())
            continue;
        const QString path = appDir + QLatin1Char('/') + e.path;
        const QFileInfo info(path);
        QByteArray hash;
        QString why;
        if (info.isSymLink() || !info.isFile())
            return QStringLiteral("the installed \"%1\" is not a file").arg(e.path);
        if (!Minisign::prehashFile(path, &hash, &why))
            return why;
        if (hash != e.oldHash)
            return QStringLiteral("the installed \"%1\" is not the one of version %2")
                .arg(e.path, index.from);
    }
    return QString();
}

} // namespace DeltaPlan
