// Arbitrary bytes as a stream: the scanner must never read past what it is
// given, must accept exactly the streams a plain decoder accepts, and the
// decoder must then reproduce that decoder's output in a buffer of exactly
// the scanned size.
#include <cstdint>
#include <cstring>
#include <memory>

#include "LZSS.h"
#include "check.h"
#include "reference.h"

static const uint64_t UNTOUCHED = 0xC0FFEE;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint64_t consumed = UNTOUCHED;
    const uint64_t decoded = LZSS_GetDecompressedSize(data, size, &consumed);
    const ReferenceResult expected = ReferenceDecode(data, size);
    if (decoded == UINT64_MAX) {
        CHECK(!expected.ok);
        CHECK(consumed == UNTOUCHED);
        return 0;
    }
    CHECK(expected.ok);
    CHECK(decoded == expected.output.size());
    CHECK(consumed == expected.consumed);

    // From here on only the consumed bytes exist: neither a second scan nor
    // the decoder may look past the terminator.
    std::unique_ptr<uint8_t[]> stream(new uint8_t[consumed]);
    memcpy(stream.get(), data, consumed);
    uint64_t again = UNTOUCHED;
    CHECK(LZSS_GetDecompressedSize(stream.get(), consumed, &again) == decoded);
    CHECK(again == consumed);
    uint64_t cut = UNTOUCHED;
    CHECK(LZSS_GetDecompressedSize(stream.get(), consumed - 1, &cut) == UINT64_MAX);
    CHECK(cut == UNTOUCHED);

    // Two different fillings show a byte the decoder leaves unwritten.
    for (const uint8_t fill : {0x00, 0xFF}) {
        std::unique_ptr<uint8_t[]> output(new uint8_t[decoded]);
        memset(output.get(), fill, decoded);
        LZSS_Decompress(stream.get(), output.get());
        CHECK(decoded == 0 || memcmp(output.get(), expected.output.data(), decoded) == 0);
    }
    return 0;
}
