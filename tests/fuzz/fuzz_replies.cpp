#include "fuzztargets.h"

// libFuzzer: the control connection's reply reader.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzServerReplies(data, size);
    return 0;
}
