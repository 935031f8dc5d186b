// Arbitrary bytes as a container, searched as listing searches it: from the
// start, and on from behind each record found. The records found must be
// exactly those of a plain search: every position that holds the magic, in
// order, where the reference decoder reads a whole stream, going on behind
// each one; with its length, decoded size and header.
#include "Records.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<FoundRecord> plain;
    for (uint64_t pos = 0; pos + 8 <= size;) {
        const bool magic = memcmp(data + pos, MAGIC, 4) == 0;
        const ReferenceResult r = magic ? ReferenceDecode(data + pos + 8, size - pos - 8) : ReferenceResult{};
        if (r.ok)
            plain.push_back({pos, 8 + r.consumed, r.output.size(), Load32(data + pos + 4)});
        pos += r.ok ? 8 + r.consumed : 1;
    }
    size_t count = 0;
    FoundRecord f;
    for (uint64_t from = 0; FindRecord(data, size, from, &f); from = f.position + f.length, count++) {
        CHECK(count < plain.size());
        const FoundRecord &p = plain[count];
        CHECK(f.position == p.position && f.length == p.length);
        CHECK(f.decoded == p.decoded && f.header_size == p.header_size);
    }
    CHECK(count == plain.size());
    return 0;
}
