// Arbitrary bytes as the input of the fitted encoder, and a target size.
// The first 3 bytes choose the target, from the optimal size M and the
// all-literal bound B: when byte 0 is below 0x80, M - 3 + byte 0 % 8; below
// 0xC0, B - 3 + byte 0 % 8; else anywhere from M - 3 to B + 3 by bytes 1 and
// 2. Both entries must either write a stream of exactly the target size
// that decodes to the input (the reference decoder's reading), the optimal
// stream at M, or refuse where the contract allows it (below M, above B, at
// M + 1 and M + 2) and write nothing; after a refusal the parse must still
// be the optimal one.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "LZSS.h"
#include "check.h"
#include "guarded.h"
#include "reference.h"

static const size_t MAX_INPUT = 8192;
static const uint8_t FILL = 0xA5;

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

    GuardedBuffer fitted(target), fromParse(target);
    memset(fitted.data(), FILL, target);
    memset(fromParse.data(), FILL, target);
    const uint64_t result = LZSS_CompressFittedFromParse(src, n, target, fromParse.data(), work);
    CHECK(LZSS_CompressFitted(src, n, target, fitted.data(), work) == result);
    CHECK(target == 0 || memcmp(fitted.data(), fromParse.data(), target) == 0);

    if (result == UINT64_MAX) {
        CHECK(target < m || target == m + 1 || target == m + 2 || target > bound);
        CHECK(std::all_of(fitted.data(), fitted.data() + target, [](uint8_t b) { return b == FILL; }));
        // The refusal left the parse as it was: fitting it to M now gives
        // the optimal stream.
        LZSS_CompressOptimal(src, n, optimal.data(), work);
        GuardedBuffer again(m);
        CHECK(LZSS_CompressFittedFromParse(src, n, target, fromParse.data(), work) == UINT64_MAX);
        CHECK(LZSS_CompressFittedFromParse(src, n, m, again.data(), work) == m);
        CHECK(memcmp(again.data(), optimal.data(), m) == 0);
        return 0;
    }
    CHECK(result == target);
    const ReferenceResult decoded = ReferenceDecode(fitted.data(), target);
    CHECK(decoded.ok && decoded.consumed == target && decoded.output.size() == n);
    CHECK(n == 0 || memcmp(decoded.output.data(), src, n) == 0);
    CHECK(target != m || memcmp(fitted.data(), optimal.data(), m) == 0);
    return 0;
}
