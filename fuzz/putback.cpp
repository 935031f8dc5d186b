// Arbitrary bytes as a container, a position in it and the input to put
// back there, as put-back does: the room is what CheckRecord finds at a
// position that holds the magic, then PlaceRecord packs the input into it.
//   byte 0:    how the input is made from the old record's bytes (decoded
//              by the reference decoder) and the tail: 0 the tail itself,
//              1 the old bytes, 2 the old bytes overwritten by the tail from
//              an offset, 3 the old bytes up to an offset and the tail;
//   byte 1:    the position: the (byte 1)th, in turn, of those that hold the
//              magic;
//   bytes 2-3: the container's length (little-endian, at most what is left);
//   then the container, then the tail; for 2 and 3 the tail's first two
//   bytes are the offset (little-endian, modulo the old size + 1).
// Placing must refuse for the reason the tool prints, or give a record of
// the room's length, or a shorter one and zeros, with the magic and the
// input's size, that reads back as unpacking reads it; `same` exactly when
// the old record already held the input.
#include "LZSS.h"
#include "Records.h"
#include "check.h"

static uint64_t RecordSize(const Bytes &input, bool optimal)
{
    // Kept from run to run: fresh pages every time cost more than encoding.
    static Bytes work, stream;
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
    const uint8_t *tail = data + 4 + n, *const end = data + size;
    const Bytes container(data + 4, tail);
    std::vector<uint64_t> magics;
    for (uint64_t pos = 0; pos + 4 <= n; pos++)
        if (memcmp(&container[pos], MAGIC, 4) == 0)
            magics.push_back(pos);
    FoundRecord room;
    if (magics.empty() || CheckRecord(container.data(), n, magics[which % magics.size()], &room) != RECORD_OK)
        return 0;
    const uint64_t position = room.position;
    const ReferenceResult before = ReferenceDecode(&container[position + 8], n - position - 8);
    CHECK(before.ok && room.length == 8 + before.consumed);

    Bytes input = how == 0 ? Bytes(tail, end) : before.output;
    if (how >= 2) {
        const size_t offset = end - tail >= 2 ? (tail[0] | tail[1] << 8) % (input.size() + 1) : 0;
        tail += end - tail >= 2 ? 2 : 0;
        input.resize(how == 3 ? offset + (end - tail) : std::max<size_t>(input.size(), offset + (end - tail)));
        std::copy(tail, end, input.begin() + offset);
    }
    const bool same = input == before.output && room.header_size == (uint32_t)input.size();

    Placement placed;
    const PlaceResult result = PlaceRecord(container.data(), room, input.data(), input.size(), &placed);
    CHECK(std::equal(container.begin(), container.end(), data + 4));
    // The encoders never fail and a few KiB are always to be had: the only
    // refusal is "No room for PATH: smallest bytes, room R".
    CHECK(result == PLACE_OK || (result == PLACE_NO_ROOM && placed.smallest > room.length &&
                                 placed.smallest == RecordSize(input, true)));
    if (result != PLACE_OK)
        return 0;
    const uint64_t length = placed.length, greedy = RecordSize(input, false);
    const uint8_t *record = placed.record;
    CHECK((placed.stream == PUT_SAME) == same && (placed.stream == PUT_DEFAULT) == (!same && greedy == room.length));
    CHECK(!same || (length == room.length && memcmp(record, &container[position], length) == 0));
    if (placed.stream == PUT_PADDED) {
        // Only when no stream of the room's length is to be had: the room is
        // beyond the all-literal record or 1 or 2 bytes above the optimal
        // one. Then the default record if it fits, else the optimal one.
        const uint64_t optimal = RecordSize(input, true), literals = 8 + LZSS_GetCompressedMaxSize(input.size());
        CHECK(room.length > literals || room.length == optimal + 1 || room.length == optimal + 2);
        CHECK(length == (greedy <= room.length ? greedy : optimal) && AllAre(record + length, room.length - length, 0));
    }
    CHECK((length == room.length || placed.stream == PUT_PADDED) && memcmp(record, MAGIC, 4) == 0);
    CHECK(Load32(record + 4) == (uint32_t)input.size());

    // Put in place in a copy of the container as put-back puts it, it reads
    // back as unpacking reads it, and CheckPlaced, put-back's own reading,
    // tells it from a record of another length, size or content.
    Bytes copy = container;
    memcpy(&copy[position], record, room.length);
    free(placed.record);
    CheckDecodes(&copy[position + 8], n - position - 8, length - 8, input.data(), input.size());
    CHECK(CheckPlaced(copy.data(), n, position, length, input.data(), input.size()));
    CHECK(!CheckPlaced(copy.data(), n, position, length + 1, input.data(), input.size()));
    if (!input.empty()) {
        CHECK(!CheckPlaced(copy.data(), n, position, length, input.data(), input.size() - 1));
        input.back() ^= 1;
        CHECK(!CheckPlaced(copy.data(), n, position, length, input.data(), input.size()));
    }
    return 0;
}
