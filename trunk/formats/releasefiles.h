#ifndef RELEASEFILES_H
#define RELEASEFILES_H

#include <QtGlobal>

// The names of a release's files, on a source and in the application
// directory, and the most any of them may hold. Every unit that fetches,
// writes or refuses one of them takes its name and cap from here.
namespace ReleaseFiles {

// Published on every source, in the platform's folder.
constexpr char versionFile[] = "version.ver";
constexpr char archive[] = "app.zip";
constexpr char archiveSignature[] = "app.zip.minisig";
constexpr char manifest[] = "release.json";
constexpr char manifestSignature[] = "release.json.minisig";
// A delta from an earlier version V: "delta-V.zip", holding its index
// "delta.json", which is also published on its own as "delta-V.json" so that
// the installation can be checked against it before the delta is fetched.
constexpr char deltaPrefix[] = "delta-";
constexpr char deltaSuffix[] = ".zip";
constexpr char deltaIndexSuffix[] = ".json";
constexpr char deltaIndex[] = "delta.json";
// Keyring N is "keyring-N.json", each root's signature over it
// "keyring-N.json.KEYID.minisig" (KEYID as minisign prints it).
constexpr char keyringPrefix[] = "keyring-";
constexpr char keyringSuffix[] = ".json";
constexpr char keyringSignatureSuffix[] = ".minisig";

// Kept in the application directory.
constexpr char downloadedVersionFile[] = "new_version.ver";
// A further source's "version.ver", compared with the version offered
// before its files are taken; removed once read.
constexpr char mirrorVersionFile[] = "mirror_version.ver";
constexpr char partialArchive[] = "app.zip.part";
// Beside a partial download ("app.zip.part.source"): which source's file,
// as it was then, the bytes belong to.
constexpr char partialRecordSuffix[] = ".source";
constexpr char state[] = ".update-state";
// The state's second copy, read when the first is damaged, and the lock
// every write of the state holds.
constexpr char stateCopy[] = ".update-state.copy";
constexpr char stateLock[] = ".update-state.lock";
// Held, through an inherited descriptor, by every application the updater
// starts, for as long as it runs: a revert waits while it is held.
constexpr char applicationRunning[] = ".update-running";
constexpr char previousVersion[] = ".update-previous";
constexpr char partialDelta[] = "delta.zip.part";
constexpr char downloadedDeltaIndex[] = "delta.json";
// Where a delta's results are put together before the installer takes them.
constexpr char deltaStaging[] = ".update-delta";
// What the installed release holds: each path with its kind, mode, size and
// BLAKE2b-512, written with every install and revert.
constexpr char installedFiles[] = ".update-files";
// The newest keyring this installation has verified, as it was published.
constexpr char keptKeyring[] = ".update-keyring";
// Where each keyring file of a walk arrives, read once and removed.
constexpr char keyringDownload[] = ".update-keyring.part";
// A release downloaded and unpacked in the background, installed at the
// next start, and the lock its background run holds while it works.
constexpr char readyUpdate[] = ".update-ready";
constexpr char readyLock[] = ".update-ready.lock";

// An archive whose size no source announced (no SIZE, no listing, a chunked
// body) and no verified manifest gave: never held beyond this.
constexpr qint64 maxUnannouncedArchiveSize = qint64(2) * 1024 * 1024 * 1024;
// A version is one short line; a minisign signature a few hundred bytes.
constexpr qint64 maxVersionFileSize = 1024;
constexpr qint64 maxSignatureSize = 64 * 1024;
constexpr qint64 maxManifestSize = 1024 * 1024;
constexpr qint64 maxNotesSize = 64 * 1024;
// A few dozen keys of a hundred bytes each.
constexpr qint64 maxKeyringSize = 64 * 1024;
// A few hundred bytes a path; generous for releases of many thousand files.
constexpr qint64 maxDeltaIndexSize = 32 * 1024 * 1024;
// A file patched is held whole in memory as the patch's reference.
constexpr qint64 maxPatchedFileSize = 1024 * 1024 * 1024;

} // namespace ReleaseFiles

#endif // RELEASEFILES_H
