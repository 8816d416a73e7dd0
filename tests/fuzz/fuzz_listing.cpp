#include "fuzztargets.h"

// libFuzzer: the listing parser.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzListingLine(data, size);
    return 0;
}
