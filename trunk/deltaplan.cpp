#include "deltaplan.h"

#include "minisignformat.h"

#include <QFileInfo>

namespace DeltaPlan {

int choose(const QVector<DeltaIndex::Offer> &offers, const QString &installedVersion)
{
    for (int i = 0; i < offers.size(); ++i) {
        if (!installedVersion.isEmpty() && offers.at(i).from == installedVersion)
            return i;
    }
    return -1;
}

QString check(const DeltaIndex &index, const QString &installedVersion, const QString &appDir)
{
    if (index.from != installedVersion)
        return QStringLiteral("the delta is made from version \"%1\", not the installed \"%2\"")
            .arg(index.from, installedVersion);
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
