#ifndef FUZZCHECK_H
#define FUZZCHECK_H

#include <cstdio>
#include <cstdlib>

// A broken rule is a finding like a crash: say which and stop.
inline void check(bool ok, const char *rule)
{
    if (ok)
        return;
    std::fprintf(stderr, "fuzz target: %s\n", rule);
    std::abort();
}

#endif // FUZZCHECK_H
