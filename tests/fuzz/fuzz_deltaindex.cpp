#include "releasetargets.h"

// libFuzzer: the delta index's parser.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzDeltaIndex(data, size);
    return 0;
}
