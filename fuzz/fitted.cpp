// Arbitrary bytes as the input of the fitted encoder, behind 3 bytes that
// choose a target size from the optimal size M and the all-literal bound B:
// when byte 0 is below 0x80, M - 3 + byte 0 % 8; below 0xC0, B - 3 + byte 0
// % 8; else anywhere from M - 3 to B + 3 by bytes 1 and 2. Both entries must
// write the same stream of exactly the target size, which the reference
// decoder turns into the input, the optimal stream at M; or refuse where
// LZSS.h allows it (below M, above B, at M + 1 and M + 2), writing nothing
// and leaving the parse as it was.
#include "LZSS.h"
#include "check.h"

static const size_t MAX_INPUT = 8192;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3 || size > 3 + MAX_INPUT)
        return 0;
    const uint8_t *src = data + 3;
    const uint64_t n = size - 3, bound = LZSS_GetCompressedMaxSize(n);
    // One scratch area for every run, this run's part of it ending at the
    // guard page: fresh pages on every run cost more than the encoding.
    static GuardedBuffer scratch(LZSS_GetOptimalWorkSize(MAX_INPUT));
    uint8_t *const work = scratch.data() + LZSS_GetOptimalWorkSize(MAX_INPUT) - LZSS_GetOptimalWorkSize(n);
    GuardedBuffer optimal(bound);
    const uint64_t m = LZSS_CompressOptimal(src, n, optimal.data(), work);
    CHECK(m >= 3 && m <= bound);
    const uint64_t target = data[0] < 0x80   ? m - 3 + data[0] % 8
                            : data[0] < 0xC0 ? bound - 3 + data[0] % 8
                                             : m - 3 + (data[1] | data[2] << 8) % (bound - m + 7);
    const Bytes filled(target, FILL);
    GuardedBuffer fitted(filled), fromParse(filled);
    const uint64_t result = LZSS_CompressFittedFromParse(src, n, target, fromParse.data(), work);
    if (result == UINT64_MAX) {
        // The refusal left the parse as it was: fitted to M, it gives the
        // optimal stream.
        CHECK(target < m || target == m + 1 || target == m + 2 || target > bound);
        GuardedBuffer again(m);
        CHECK(LZSS_CompressFittedFromParse(src, n, m, again.data(), work) == m && again.bytes(m) == optimal.bytes(m));
    }
    CHECK(LZSS_CompressFitted(src, n, target, fitted.data(), work) == result);
    CHECK(result == UINT64_MAX ? fromParse.bytes(target) == filled : result == target);
    CHECK(fitted.bytes(target) == fromParse.bytes(target) && (target != m || fitted.bytes(m) == optimal.bytes(m)));
    if (result != UINT64_MAX)
        CheckDecodes(fitted.data(), target, target, src, n);
    return 0;
}
