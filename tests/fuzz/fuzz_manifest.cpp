#include "releasetargets.h"

// libFuzzer: the release manifest's parser.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzManifest(data, size);
    return 0;
}
