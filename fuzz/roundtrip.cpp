// Arbitrary bytes as encoder input: both encoders must write the same stream,
// within the bound and nothing past its end, which the scanner accepts whole
// and the decoder turns back into the input.
#include <cstdint>
#include <cstring>
#include <memory>

#include "LZSS.h"
#include "check.h"

// The exhaustive encoder tries every distance at every position; longer
// inputs would only slow the fuzzer down without reaching new code.
static const size_t MAX_INPUT = 8192;
static const uint8_t FILL = 0xA5;

static void CheckUntouchedAfter(const uint8_t *buffer, uint64_t used, uint64_t capacity)
{
    for (uint64_t i = used; i < capacity; i++)
        CHECK(buffer[i] == FILL);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > MAX_INPUT)
        return 0;
    const uint64_t bound = LZSS_GetCompressedMaxSize(size);
    std::unique_ptr<uint8_t[]> fast(new uint8_t[bound]);
    std::unique_ptr<uint8_t[]> simple(new uint8_t[bound]);
    memset(fast.get(), FILL, bound);
    memset(simple.get(), FILL, bound);

    const uint64_t n = LZSS_CompressSimpleFast(data, size, fast.get());
    CHECK(n >= 3 && n <= bound);
    CheckUntouchedAfter(fast.get(), n, bound);
    CHECK(LZSS_CompressSimple(data, size, simple.get()) == n);
    CHECK(memcmp(fast.get(), simple.get(), n) == 0);

    uint64_t consumed = 0;
    CHECK(LZSS_GetDecompressedSize(fast.get(), n, &consumed) == size);
    CHECK(consumed == n);
    std::unique_ptr<uint8_t[]> output(new uint8_t[size]);
    LZSS_Decompress(fast.get(), output.get());
    CHECK(size == 0 || memcmp(output.get(), data, size) == 0);
    return 0;
}
