#ifndef DELTAPLAN_H
#define DELTAPLAN_H

#include "deltaindex.h"

#include <QString>
#include <QVector>

// Whether a delta can serve this installation, decided before the delta is
// downloaded: it must be made from the installed version, and every
// installed file it builds on must still be the one it was made from (a file
// changed by hand or a damaged installation sends the updater to the full
// archive instead).
namespace DeltaPlan {

// The offer made from exactly the installed version text; -1 when none is.
int choose(const QVector<DeltaIndex::Offer> &offers, const QString &installedVersion);

// Empty when the index applies to the installation in appDir; else why not,
// one short line naming the first file that differs.
QString check(const DeltaIndex &index, const QString &installedVersion, const QString &appDir);

} // namespace DeltaPlan

#endif // DELTAPLAN_H
