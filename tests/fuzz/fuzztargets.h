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

#endif // FUZZTARGETS_H
