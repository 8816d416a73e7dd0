#ifndef RELEASETARGETS_H
#define RELEASETARGETS_H

#include <cstddef>
#include <cstdint>

// The bodies of the fuzz targets for the signed files an updater reads after
// their signature or hash has verified: whoever holds the key, or a bug in
// the publishing tool, decides every byte, and no byte may do more than get
// the file refused. Shared, like fuzztargets.h, by the libFuzzer programs and
// the regression test.

// "release.json", into ReleaseManifest::parse (and the deltas it lists).
void fuzzManifest(const uint8_t *data, size_t size);

// A delta's "delta.json", into DeltaIndex::fromJson.
void fuzzDeltaIndex(const uint8_t *data, size_t size);

// "keyring-N.json", into Keyring::parse: read before any root has vouched
// for it (its roots name the signatures to fetch), so every byte is anyone's.
void fuzzKeyring(const uint8_t *data, size_t size);

#endif // RELEASETARGETS_H
