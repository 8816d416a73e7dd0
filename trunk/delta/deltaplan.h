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

// The offer made from exactly the installed version text; -1 when none is,
// or when that delta and its index together come to more than 80% of the
// full archive's archiveSize (then the archive is the better download; one
// log line says so).
int choose(
    const QVector<DeltaIndex::Offer> &offers, const QString &installedVersion, qint64 archiveSize);

// Whether the index applies to the installation in appDir; else false with
// why not in *reason, one short line naming the first file that differs.
[[nodiscard]] bool check(const DeltaIndex &index, const QString &installedVersion,
    const QString &appDir, QString *reason);

// Whether every folder on the way to every path the index touches, keeps or
// removes is a real folder (or not there yet), a link never followed, and
// every folder it lists is one; else false with why not. Where a folder was
// replaced by a link, only the full archive installs the release as it is.
[[nodiscard]] bool noLinkOnTheWay(const DeltaIndex &index, const QString &appDir, QString *reason);

} // namespace DeltaPlan

#endif // DELTAPLAN_H
