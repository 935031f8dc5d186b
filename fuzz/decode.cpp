// Arbitrary bytes as a stream: the scanner must accept exactly the streams
// the reference decoder accepts, with its sizes, leaving *consumed alone on a
// refusal; the decoder, given only the consumed bytes, must then write
// exactly the reference's output.
#include "LZSS.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint64_t consumed = UINT64_MAX; // no stream has this length
    const uint64_t decoded = LZSS_GetDecompressedSize(data, size, &consumed);
    const ReferenceResult ref = ReferenceDecode(data, size);
    CHECK(ref.ok ? decoded == ref.output.size() && consumed == ref.consumed
                 : decoded == UINT64_MAX && consumed == UINT64_MAX);
    if (!ref.ok)
        return 0;
    // A copy of only the consumed bytes, and two fillings of the output,
    // show a read past the terminator and a byte the decoder leaves unwritten.
    const Bytes stream(data, data + consumed);
    for (const uint8_t fill : {0x00, 0xFF}) {
        Bytes output(decoded, fill);
        LZSS_Decompress(stream.data(), output.data());
        CHECK(output == ref.output);
    }
    return 0;
}
