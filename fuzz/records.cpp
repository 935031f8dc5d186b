// Arbitrary bytes as a container, searched as listing searches it: from the
// start, and on from behind each record found. The records found must be
// exactly those of a plain search (every position that holds the magic, in
// order, whose stream the scanner takes, going on behind each one), and each
// must decode as the reference decoder decodes it.
#include <cstdint>
#include <cstring>
#include <vector>

#include "LZSS.h"
#include "Records.h"
#include "check.h"
#include "reference.h"

static const uint8_t MAGIC[4] = {0x45, 0x58, 0x53, 0x01};

static std::vector<FoundRecord> PlainSearch(const uint8_t *data, uint64_t size)
{
    std::vector<FoundRecord> records;
    for (uint64_t pos = 0; pos + 8 <= size;) {
        uint64_t consumed = 0, decoded = UINT64_MAX;
        if (memcmp(data + pos, MAGIC, 4) == 0)
            decoded = LZSS_GetDecompressedSize(data + pos + 8, size - pos - 8, &consumed);
        if (decoded == UINT64_MAX) {
            pos++;
            continue;
        }
        const uint32_t header = data[pos + 4] | data[pos + 5] << 8 | data[pos + 6] << 16 | (uint32_t)data[pos + 7] << 24;
        records.push_back({pos, 8 + consumed, decoded, header});
        pos += 8 + consumed;
    }
    return records;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<FoundRecord> expected = PlainSearch(data, size);
    size_t count = 0;
    FoundRecord found;
    for (uint64_t from = 0; FindRecord(data, size, from, &found); from = found.position + found.length, count++) {
        CHECK(count < expected.size());
        const FoundRecord &plain = expected[count];
        CHECK(found.position == plain.position && found.length == plain.length);
        CHECK(found.decoded == plain.decoded && found.header_size == plain.header_size);

        const uint8_t *stream = data + found.position + 8;
        const ReferenceResult reference = ReferenceDecode(stream, size - found.position - 8);
        CHECK(reference.ok && 8 + reference.consumed == found.length && reference.output.size() == found.decoded);
        std::vector<uint8_t> decoded(found.decoded);
        LZSS_Decompress(stream, decoded.data());
        CHECK(decoded == reference.output);
    }
    CHECK(count == expected.size());
    return 0;
}
