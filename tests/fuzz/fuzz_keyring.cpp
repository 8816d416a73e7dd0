#include "releasetargets.h"

// libFuzzer: the keyring's reader.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzKeyring(data, size);
    return 0;
}
