#include "updateoffer.h"

#include "installation.h"
#include "releasemanifest.h"
#include "updatestate.h"
#include "version.h"

bool UpdateOffer::inRollout(
    const ReleaseManifest &manifest, const QByteArray &installId, QString *reason)
{
    if (manifest.critical || manifest.offeredTo(installId))
        return true;
    *reason = QStringLiteral("Version %1 is offered to %2% of installations; not yet this one")
                  .arg(Version::clean(manifest.version))
                  .arg(manifest.rollout);
    return false;
}

bool UpdateOffer::asks(
    const UpdateState &state, const QString &version, bool critical, QString *reason)
{
    // The exact text: a skip of "1.1" says nothing about "1.1.0" or "1.1a",
    // which the publisher may have put out to fix what made it skipped.
    if (critical || state.skippedVersion().isEmpty() || state.skippedVersion() != version)
        return true;
    *reason = QStringLiteral("No update: version %1 was skipped here").arg(version);
    return false;
}

bool UpdateOffer::skip(Installation &installation, const QString &version, QString *reason)
{
    return installation.changeState(
        [&](UpdateState &state) {
            if (state.skippedVersion() == version)
                return false;
            state.setSkippedVersion(version);
            return true;
        },
        reason);
}
