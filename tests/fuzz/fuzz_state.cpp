#include "fuzztargets.h"

// Qt 5.15's JSON parser loses the first value of a key given twice in one
// object (a plain fromJson of such a text leaks the same way): not this
// program's leak. Whole stacks, so that the suppression finds the parser.
extern "C" const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:QJsonDocument::fromJson\n";
}

// libFuzzer: the installation's state file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzStateFile(data, size);
    return 0;
}
