// Arbitrary bytes as encoder input: both greedy encoders must write the same
// stream, within the bound and nothing past its end, which the reference
// decoder turns back into the input.
#include "LZSS.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The exhaustive encoder tries every distance at every position; longer
    // inputs would only slow the fuzzer down without reaching new code.
    if (size > 8192)
        return 0;
    const uint64_t bound = LZSS_GetCompressedMaxSize(size);
    Bytes fast(bound, FILL), simple(bound, FILL);
    const uint64_t n = LZSS_CompressSimpleFast(data, size, fast.data());
    CHECK(n >= 3 && n <= bound && AllAre(fast.data() + n, bound - n, FILL));
    CHECK(LZSS_CompressSimple(data, size, simple.data()) == n && simple == fast);
    CheckDecodes(fast.data(), n, n, data, size);
    return 0;
}
