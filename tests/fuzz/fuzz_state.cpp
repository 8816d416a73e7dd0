#include "fuzztargets.h"

// libFuzzer: the installation's state file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzStateFile(data, size);
    return 0;
}
