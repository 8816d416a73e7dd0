#ifndef MANIFESTCHECK_H
#define MANIFESTCHECK_H

#include "keyring.h"
#include "releasemanifest.h"

#include <QString>

class UpdateState;

// Whether a signed "release.json" lets this installation offer its release:
// the signature with a key the newest keyring lists (the built-in key
// before any), the version against "version.ver",
// the trusted comment and the installed version, freshness, replay against
// what the installation has verified before, and the staged rollout. Then,
// once downloaded, whether the archive is the one it describes.
class ManifestCheck
{
public:
    // What the judgement found beyond yes or no.
    struct Judgement
    {
        // The release verified and was recorded; when not, the source
        // serving it is at fault and another may serve it genuine.
        bool verified = false;
        ReleaseManifest manifest; // the verified manifest, when offered
    };

    struct Input
    {
        QByteArray publicKey; // minisign public key line
        // The newest keyring verified: when one was published, the release
        // keys it lists sign instead of publicKey.
        Keyring keyring;
        // "release.json" and "release.json.minisig" as fetched, each read
        // once within its cap; a null manifest: it could not be read.
        QByteArray manifest;
        QByteArray signature;
        QString publishedVersion; // "version.ver", cleaned
        QString installedVersion; // cleaned; empty when none
        qint64 now = 0; // Unix seconds
        ReleaseManifest::Binding own; // this installation's "sappname" and server folder
    };

    // How far a "signed" time may lie ahead of this computer's clock.
    static constexpr qint64 clockSlack = 24 * 60 * 60;

    // A manifest that verifies, is for this installation's product and
    // folder (the manifest and its trusted comment both), is fresh, was not
    // signed more than clockSlack after `now` and is no replay is recorded
    // in *state (saved; a state that cannot be saved offers nothing, since
    // replays could no longer be told). Its version must then be newer than
    // the installed one and the installation inside the rollout. True when
    // the question is to be asked; else false with one line in *reason.
    // *judgement tells whether the release verified, either way.
    [[nodiscard]] static bool judge(
        const Input &input, UpdateState *state, Judgement *judgement, QString *reason);

    // When a source has no manifest: true when the archive's own signature
    // may decide; else false with *reason (one was verified before).
    [[nodiscard]] static bool withoutManifest(const UpdateState &state, QString *reason);

    // The archive at path has exactly the manifest's size and BLAKE2b-512.
    [[nodiscard]] static bool checkArchive(
        const ReleaseManifest &manifest, const QString &path, QString *reason);
};

#endif // MANIFESTCHECK_H
