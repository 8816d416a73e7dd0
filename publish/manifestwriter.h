#ifndef MANIFESTWRITER_H
#define MANIFESTWRITER_H

#include "publisher.h"
#include "releasemanifest.h"

#include <QString>
#include <QStringList>

#include <optional>

class ReleaseSigner;

// What a publisher chooses about a release's manifest.
struct ManifestOptions
{
    int expiresDays = 30;
    int rollout = 100;
    QString notesPath; // a Markdown file; empty: no notes
    // Earlier releases (folders or their "app.zip") to write deltas from.
    QStringList previous;
    int confirm = 0; // launches without a confirmed start before a revert; 0: no trial
    bool critical = false;
    bool background = false; // "delivery": "background"
};

// The publisher's side of "release.json": describes a built archive, signs
// the manifest as "release.json.minisig" (trusted comment
// "timestamp:<unix> file:release.json version:<version> product:<product>
// folder:<folder>"), and re-signs the manifest on the server with another
// rollout share or expiry, the archive, product, folder and critical mark
// untouched.
class ManifestWriter
{
public:
    // The manifest of the archive at archivePath, signed at `now`.
    [[nodiscard]] static bool describe(const QString &archivePath, const QString &version,
        const ManifestOptions &options, qint64 now, ReleaseManifest *manifest, QString *reason);

    // Writes "release.json" and "release.json.minisig" into dir.
    [[nodiscard]] static bool write(const ReleaseManifest &manifest, const ReleaseSigner &signer,
        const QString &dir, QString *reason);

    // Downloads the two files from the server's folder into dir.
    [[nodiscard]] static bool fetch(
        const Publisher::Server &server, const QString &dir, QString *reason);

    // Re-signs the manifest in dir at `now` with a new rollout share and/or
    // an expiry `expiresDays` from now. Refuses a manifest that the signer's
    // key did not sign, so that whatever a server holds is never signed anew
    // unseen.
    [[nodiscard]] static bool resign(const QString &dir, const ReleaseSigner &signer,
        std::optional<int> rollout, std::optional<int> expiresDays, qint64 now, QString *reason);
};

#endif // MANIFESTWRITER_H
