#include "releasetargets.h"
#include "fuzzcheck.h"

#include "deltaindex.h"
#include "keyring.h"
#include "releasefiles.h"
#include "releasemanifest.h"
#include "version.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>

namespace {

QByteArray bytesOf(const uint8_t *data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
}

} // namespace

void fuzzManifest(const uint8_t *data, size_t size)
{
    ReleaseManifest manifest;
    QString reason;
    if (!ReleaseManifest::parse(bytesOf(data, size), &manifest, &reason)) {
        check(!reason.isEmpty(), "manifest refused without a reason");
        return;
    }
    check(Version::isOrderable(manifest.version), "accepted a version that is no version");
    check(!manifest.binding.product.isEmpty() && !manifest.binding.folder.isEmpty(),
        "accepted a manifest bound to nothing");
    check(manifest.signedAt >= 0 && manifest.expires >= 0 && manifest.archiveSize >= 0,
        "negative time or size");
    check(manifest.archiveHash.size() == ReleaseManifest::hashBytes, "hash of the wrong length");
    check(manifest.rollout >= 0 && manifest.rollout <= 100, "rollout out of range");
    check(manifest.confirm >= 0 && manifest.confirm <= ReleaseManifest::maxConfirm,
        "confirm out of range");
    check(manifest.notes.toUtf8().size() <= ReleaseFiles::maxNotesSize, "notes over their cap");
    for (const DeltaIndex::Offer &offer : manifest.deltas) {
        check(offer.size >= 0 && offer.indexSize >= 0
                && offer.indexSize <= ReleaseFiles::maxDeltaIndexSize,
            "delta size out of range");
        check(offer.name == DeltaIndex::archiveName(offer.from), "delta under another name");
    }
    // What it accepted it writes back to the same manifest.
    ReleaseManifest again;
    check(ReleaseManifest::parse(manifest.toJson(), &again, &reason), "written form refused");
    check(again.toJson() == manifest.toJson(), "written form reads back otherwise");
}

void fuzzDeltaIndex(const uint8_t *data, size_t size)
{
    DeltaIndex index;
    QString reason;
    if (!DeltaIndex::fromJson(bytesOf(data, size), &index, &reason)) {
        check(!reason.isEmpty(), "index refused without a reason");
        return;
    }
    for (const DeltaIndex::Entry &entry : qAsConst(index.entries)) {
        check(DeltaIndex::cleanPath(entry.path) == entry.path, "accepted an unclean path");
        check(entry.mode >= 0 && entry.mode <= 07777, "mode out of range");
        check(entry.size >= 0, "negative size");
    }
    DeltaIndex again;
    check(DeltaIndex::fromJson(index.toJson(), &again, &reason), "written form refused");
    check(again.toJson() == index.toJson(), "written form reads back otherwise");
}

void fuzzKeyring(const uint8_t *data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    Keyring keyring;
    QString reason;
    if (!Keyring::parse(bytes, &keyring, &reason)) {
        check(!reason.isEmpty(), "keyring refused without a reason");
        return;
    }
    check(keyring.version >= 1 && keyring.version <= Keyring::maxVersion, "version out of range");
    check(
        !keyring.roots.isEmpty() && keyring.roots.size() <= Keyring::maxKeys, "roots out of range");
    check(!keyring.releaseKeys.isEmpty() && keyring.releaseKeys.size() <= Keyring::maxKeys,
        "release keys out of range");
    check(keyring.threshold >= 1 && keyring.threshold <= keyring.roots.size(),
        "threshold out of range");
    for (const Keyring::Key &key : keyring.roots + keyring.releaseKeys)
        check(key.id().size() == 8, "a key without a key id");
    check(!keyring.binding.product.isEmpty() && !keyring.binding.folder.isEmpty(),
        "accepted a keyring bound to nothing");
    Keyring again;
    check(Keyring::parse(keyring.toJson(), &again, &reason), "written form refused");
    check(again.toJson() == keyring.toJson(), "written form reads back otherwise");
    // Without a single signature no keyring follows another.
    Keyring before = keyring;
    before.version = keyring.version - 1;
    Keyring next;
    check(!before.admitsNext(bytes, {}, keyring.binding, 0, &next, &reason),
        "a keyring taken without signatures");
}
