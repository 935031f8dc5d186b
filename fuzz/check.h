// What a fuzz target does when the codec breaks a promise: say which one and
// abort, which the fuzzer records as a crash together with the input.
#ifndef EXSPACK_FUZZ_CHECK_H
#define EXSPACK_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define CHECK(condition)                                                                   \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: broken promise: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

#endif
