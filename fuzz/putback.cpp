// Arbitrary bytes as a container, a position in it and the input to put
// back there, as put-back does: the room is what CheckRecord finds at the
// position, then PlaceRecord packs the input into it.
//   byte 0:    how the input is made from the old record's bytes (decoded
//              by the reference decoder) and the tail: 0 the tail itself,
//              1 the old bytes, 2 the old bytes overwritten by the tail from
//              an offset, 3 the old bytes up to an offset and the tail;
//   byte 1:    the position: the (byte 1)th, in turn, of those that hold the
//              magic, which put-back requires of a room;
//   bytes 2-3: the container's length (little-endian, at most what is left);
//   then the container, then the tail; for 2 and 3 the tail's first two
//   bytes are the offset (little-endian, at most the old size).
// Placing must refuse for a reason the tool prints, or give a record of the
// room's length, or a shorter one and zeros, that reads back as unpacking
// reads it; `same` exactly when the old record already held the input.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "LZSS.h"
#include "Records.h"
#include "check.h"
#include "reference.h"

static const uint8_t MAGIC[4] = {0x45, 0x58, 0x53, 0x01};

static uint64_t RecordSize(const std::vector<uint8_t> &input, bool optimal)
{
    // Kept from run to run: fresh pages every time cost more than encoding.
    static std::vector<uint8_t> work, stream;
    work.resize(LZSS_GetOptimalWorkSize(input.size()));
    stream.resize(LZSS_GetCompressedMaxSize(input.size()));
    return 8 + (optimal ? LZSS_CompressOptimal(input.data(), input.size(), stream.data(), work.data())
                        : LZSS_CompressSimpleFast(input.data(), input.size(), stream.data()));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const unsigned how = data[0] & 3, which = data[1];
    const size_t n = std::min<size_t>(data[2] | data[3] << 8, size - 4);
    const uint8_t *tail = data + 4 + n, *end = data + size;
    const std::vector<uint8_t> container(data + 4, data + 4 + n);

    std::vector<uint64_t> magics;
    for (uint64_t pos = 0; pos + 4 <= n; pos++)
        if (memcmp(container.data() + pos, MAGIC, 4) == 0)
            magics.push_back(pos);
    if (magics.empty())
        return 0;
    const uint64_t position = magics[which % magics.size()];
    FoundRecord room;
    if (CheckRecord(container.data(), n, position, &room) != RECORD_OK)
        return 0;
    const uint8_t *old = container.data() + position;
    const ReferenceResult before = ReferenceDecode(old + 8, n - position - 8);
    CHECK(before.ok && room.length == 8 + before.consumed);

    std::vector<uint8_t> input = how == 0 ? std::vector<uint8_t>(tail, end) : before.output;
    if (how >= 2) {
        const size_t offset = end - tail >= 2 ? (tail[0] | tail[1] << 8) % (input.size() + 1) : 0;
        const uint8_t *from = tail + (end - tail >= 2 ? 2 : 0);
        input.resize(how == 3 ? offset + (end - from) : std::max<size_t>(input.size(), offset + (end - from)));
        std::copy(from, end, input.begin() + offset);
    }
    const bool same = input == before.output && room.header_size == (uint32_t)input.size();

    Placement placed;
    const PlaceResult result = PlaceRecord(container.data(), room, input.data(), input.size(), &placed);
    CHECK(std::equal(container.begin(), container.end(), data + 4));
    switch (result) {
    case PLACE_OK:
        break;
    case PLACE_NO_ROOM:
        // What the tool prints: "No room for PATH: smallest bytes, room R".
        CHECK(placed.smallest > room.length && placed.smallest == RecordSize(input, true));
        return 0;
    case PLACE_NO_MEMORY:
        CHECK(!"buffers of a few KiB are always to be had");
        return 0;
    default: // a refusal of another kind: nothing to check but the container
        return 0;
    }

    const uint64_t length = placed.length;
    CHECK((placed.stream == PUT_SAME) == same);
    const uint64_t greedy = RecordSize(input, false);
    CHECK((placed.stream == PUT_DEFAULT) == (!same && greedy == room.length));
    const uint8_t *record = placed.record;
    if (same)
        CHECK(length == room.length && memcmp(record, old, length) == 0);
    if (placed.stream == PUT_PADDED) {
        // Only when no stream of the room's length is to be had: the room is
        // beyond the all-literal record or 1 or 2 bytes above the optimal
        // one. Then the default record if it fits, else the optimal one.
        const uint64_t optimal = RecordSize(input, true);
        const uint64_t literals = 8 + LZSS_GetCompressedMaxSize(input.size());
        CHECK(room.length > literals || room.length == optimal + 1 || room.length == optimal + 2);
        CHECK(length == (greedy <= room.length ? greedy : optimal));
        for (uint64_t i = length; i < room.length; i++)
            CHECK(record[i] == 0);
    } else {
        CHECK(length == room.length);
    }
    const uint32_t header = record[4] | record[5] << 8 | record[6] << 16 | (uint32_t)record[7] << 24;
    CHECK(memcmp(record, MAGIC, 4) == 0 && header == (uint32_t)input.size());

    // Put in place in a copy of the container as put-back puts it, it reads
    // back as unpacking reads it; CheckPlaced, put-back's own reading, agrees.
    std::vector<uint8_t> copy = container;
    memcpy(&copy[position], record, room.length);
    free(placed.record);
    const ReferenceResult after = ReferenceDecode(copy.data() + position + 8, n - position - 8);
    CHECK(after.ok && 8 + after.consumed == length && after.output == input);
    CHECK(CheckPlaced(copy.data(), n, position, length, input.data(), input.size()));
    CHECK(!CheckPlaced(copy.data(), n, position, length + 1, input.data(), input.size()));
    if (!input.empty()) {
        CHECK(!CheckPlaced(copy.data(), n, position, length, input.data(), input.size() - 1));
        input.back() ^= 1;
        CHECK(!CheckPlaced(copy.data(), n, position, length, input.data(), input.size()));
    }
    return 0;
}
