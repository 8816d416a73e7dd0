#ifndef UPDATEOFFER_H
#define UPDATEOFFER_H

#include <QByteArray>
#include <QString>

class Installation;
class UpdateState;
struct ReleaseManifest;

// Whether a newer release is put to the person: the publisher's staged
// rollout, and the person's own choice not to be asked about a version
// again. A release the publisher marked critical passes both.
class UpdateOffer
{
public:
    // Whether the installation with installId is inside the manifest's
    // rollout; false with one line in *reason.
    [[nodiscard]] static bool inRollout(
        const ReleaseManifest &manifest, const QByteArray &installId, QString *reason);

    // Whether the person is asked about `version` (the published text, the
    // signed one when a manifest verified): not when exactly that text was
    // skipped here, unless the release is critical. False with *reason.
    [[nodiscard]] static bool asks(
        const UpdateState &state, const QString &version, bool critical, QString *reason);

    // Records that the person does not want to be asked about `version`
    // again; false with *reason when the state could not be written.
    [[nodiscard]] static bool skip(
        Installation &installation, const QString &version, QString *reason);
};

#endif // UPDATEOFFER_H
