#ifndef FUZZTARGETS_H
#define FUZZTARGETS_H

#include <cstddef>
#include <cstdint>

// The bodies of the fuzz targets, shared by the libFuzzer programs and by
// the test that replays the inputs that once made them fail. Each takes
// arbitrary bytes and aborts when it finds the client misbehaving; the
// sanitizers catch the rest.

// One listing line, as it would arrive on the data connection.
void fuzzListingLine(const uint8_t *data, size_t size);

// What a server writes on the control connection, into the reply reader.
// The first byte picks how the bytes arrive (in pieces of 1 to 65536 bytes,
// or all at once); the remaining bytes are the server's. (Inputs are far
// below the reader's caps: inputs that large run too slowly to fuzz, and
// the caps have tests of their own.)
void fuzzServerReplies(const uint8_t *data, size_t size);

// The bytes of the installation's state file, as the updater reads them.
void fuzzStateFile(const uint8_t *data, size_t size);

#endif // FUZZTARGETS_H
