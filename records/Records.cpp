#include "Records.h"

#include <stdlib.h>
#include <string.h>

#include "Bits.h"
#include "LZSS.h"

static const uint8_t MAGIC[4] = {RECORD_MAGIC & 0xFF, RECORD_MAGIC >> 8 & 0xFF, RECORD_MAGIC >> 16 & 0xFF,
                                 RECORD_MAGIC >> 24};

// The bytes of x that are zero marked by their top bit (the classic test):
// exact as a yes or no, and in the lowest byte marked, since a borrow only
// runs upwards from a zero byte.
static inline uint64_t ZeroBytes(uint64_t x)
{
    return (x - 0x0101010101010101u) & ~x & 0x8080808080808080u;
}

// The place of the lowest byte marked in x (x != 0): with words loaded by
// Load64, the first such byte in memory.
static inline unsigned LowestMarkedByte(uint64_t x) { return TrailingZeros(x) / 8; }

// The first position from p to last (both inclusive) that holds the magic,
// or NULL. Eight positions are tested at once: position p + k holds the magic
// when byte k of each of the words at p, p + 1, p + 2 and p + 3 equals the
// magic's byte 0, 1, 2 and 3 respectively, i.e. when byte k of the four
// differences or'ed together is zero. Unlike a search for one byte of the
// magic, this runs at the same speed on any data, also text full of 'E's.
static const uint8_t *FindMagic(const uint8_t *p, const uint8_t *last)
{
    const uint64_t ones = 0x0101010101010101u;
    while (last - p >= 7) {
        const uint64_t diff = (Load64(p) ^ ones * MAGIC[0]) | (Load64(p + 1) ^ ones * MAGIC[1]) |
                              (Load64(p + 2) ^ ones * MAGIC[2]) | (Load64(p + 3) ^ ones * MAGIC[3]);
        const uint64_t zero = ZeroBytes(diff);
        if (zero != 0)
            return p + LowestMarkedByte(zero); // the first position that holds it, at once
        p += 8;
    }
    for (; p <= last; p++)
        if (memcmp(p, MAGIC, sizeof MAGIC) == 0)
            return p;
    return NULL;
}

RecordCheck CheckRecord(const uint8_t *data, uint64_t size, uint64_t position, FoundRecord *found)
{
    // Compared so that size - SMALLEST_RECORD cannot wrap.
    if (size < SMALLEST_RECORD || position > size - SMALLEST_RECORD)
        return RECORD_SMALL;
    const uint8_t *const p = data + position;
    uint64_t consumed = 0;
    const uint64_t decoded = LZSS_GetDecompressedSize(p + HEADER_SIZE, size - position - HEADER_SIZE, &consumed);
    if (decoded == UINT64_MAX)
        return RECORD_BAD;
    found->position = position;
    found->length = consumed + HEADER_SIZE;
    found->decoded = decoded;
    found->header_size = (uint32_t)p[4] | (uint32_t)p[5] << 8 | (uint32_t)p[6] << 16 | (uint32_t)p[7] << 24;
    return RECORD_OK;
}

bool FindRecord(const uint8_t *data, uint64_t size, uint64_t from, FoundRecord *found)
{
    if (size < SMALLEST_RECORD || from > size - SMALLEST_RECORD)
        return false;
    const uint8_t *const last = data + size - SMALLEST_RECORD; // the last possible start
    for (const uint8_t *p = data + from; (p = FindMagic(p, last)) != NULL; p++)
        if (CheckRecord(data, size, (uint64_t)(p - data), found) == RECORD_OK)
            return true;
    return false;
}

namespace {

// What the sweep under FindRecords works with: where the search for magics
// goes on, and the list it appends to.
struct Search {
    const uint8_t *data, *at, *last;
    std::vector<FoundRecord> *found;
    size_t base; // records found before this search
};

// Exactly the bytes of x that are zero, marked by their top bit.
inline uint64_t ExactZeroBytes(uint64_t x)
{
    const uint64_t low = 0x7F7F7F7F7F7F7F7Fu;
    return ~(((x & low) + low) | x | low);
}

// The next magics' streams, eight positions a step as FindMagic tests them.
uint64_t NextMagics(void *context, uint64_t *starts, uint64_t room)
{
    Search &search = *(Search *)context;
    const uint64_t ones = 0x0101010101010101u;
    const uint8_t *p = search.at, *const last = search.last;
    uint64_t n = 0;
    while (room - n >= 8) {
        uint64_t diff = 0;
        for (; last - p >= 7; p += 8) {
            diff = (Load64(p) ^ ones * MAGIC[0]) | (Load64(p + 1) ^ ones * MAGIC[1]) |
                   (Load64(p + 2) ^ ones * MAGIC[2]) | (Load64(p + 3) ^ ones * MAGIC[3]);
            if (ZeroBytes(diff) != 0)
                break;
        }
        if (last - p < 7)
            break;
        const uint64_t at = (uint64_t)(p - search.data) + HEADER_SIZE;
        for (uint64_t zero = ExactZeroBytes(diff); zero != 0; zero &= zero - 1)
            starts[n++] = at + LowestMarkedByte(zero);
        p += 8;
    }
    if (room - n >= 8) // fewer than eight positions left
        for (; p <= last; p++)
            if (memcmp(p, MAGIC, sizeof MAGIC) == 0)
                starts[n++] = (uint64_t)(p - search.data) + HEADER_SIZE;
    search.at = p;
    return n;
}

void Chosen(void *context, uint64_t index, uint64_t start, uint64_t consumed, uint64_t size)
{
    Search &search = *(Search *)context;
    search.found->resize(search.base + (size_t)index);
    const uint8_t *const p = search.data + start - HEADER_SIZE;
    search.found->push_back(FoundRecord{start - HEADER_SIZE, consumed + HEADER_SIZE, size,
                                        (uint32_t)p[4] | (uint32_t)p[5] << 8 | (uint32_t)p[6] << 16 |
                                            (uint32_t)p[7] << 24});
}

} // namespace

bool FindRecords(const uint8_t *data, uint64_t from, uint64_t end, std::vector<FoundRecord> *found, uint64_t *steps)
{
    if (steps != NULL)
        *steps = 0;
    if (end < SMALLEST_RECORD || from > end - SMALLEST_RECORD)
        return true;
    // Every magic's stream is scanned in one sweep (LZSS_ScanChain), since
    // one candidate after another would read a stream that runs on again for
    // each magic it passes. The sweep makes the sequential choice: the first
    // candidate that holds a record, the search going on behind it, so a
    // record's successor starts at least a header's length behind its
    // stream's end.
    // The work memory stays from call to call: its pages, once touched,
    // cost more to have afresh than the search of a small area.
    struct Work {
        void *memory = nullptr;
        ~Work() { free(memory); }
    };
    static thread_local Work work;
    const uint64_t worksize = LZSS_GetScanChainWorkSize();
    if (work.memory == nullptr && worksize <= SIZE_MAX)
        work.memory = malloc((size_t)worksize);
    if (work.memory == nullptr)
        return false;
    Search search = {data, data + from, data + end - SMALLEST_RECORD, found, found->size()};
    LZSS_ScanChain(data, end, HEADER_SIZE, NextMagics, Chosen, &search, work.memory, steps);
    return true;
}

bool HoldsMagic(const uint8_t *data, uint64_t size, uint64_t position)
{
    return position <= size && size - position >= sizeof MAGIC && memcmp(data + position, MAGIC, sizeof MAGIC) == 0;
}

const char *const PUT_STREAM_NAMES[4] = {"same", "default", "fitted", "padded"};

void WriteHeader(uint8_t *to, uint64_t size)
{
    // Both fields little-endian; the size field holds the low 32 bits.
    for (int i = 0; i < 4; i++) {
        to[i] = (uint8_t)(RECORD_MAGIC >> (8 * i));
        to[4 + i] = (uint8_t)(size >> (8 * i));
    }
}

Error DecodeRecord(const uint8_t *data, const FoundRecord &record, Buffer *decoded)
{
    if (!decoded->Allocate(record.decoded))
        return NoMemory();
    LZSS_Decompress(data + record.position + HEADER_SIZE, decoded->data());
    return Error();
}

PlaceResult PlaceRecord(const uint8_t *data, const FoundRecord &room, const uint8_t *input, uint64_t size,
                        Placement *placed)
{
    placed->room = room;
    if (room.decoded == size && room.header_size == (uint32_t)size) {
        Buffer decoded;
        if (DecodeRecord(data, room, &decoded))
            return PLACE_NO_MEMORY;
        if (size == 0 || memcmp(decoded.data(), input, size) == 0) {
            placed->record = (uint8_t *)malloc(room.length);
            if (placed->record == NULL)
                return PLACE_NO_MEMORY;
            memcpy(placed->record, data + room.position, room.length);
            placed->length = placed->smallest = room.length;
            placed->stream = PUT_SAME;
            return PLACE_OK;
        }
    }

    // Room enough for any record the encoders make, and for the room itself.
    const uint64_t bound = LZSS_GetCompressedMaxSize(size);
    const uint64_t capacity = (bound > room.length ? bound : room.length) + HEADER_SIZE;
    uint8_t *record = capacity <= SIZE_MAX ? (uint8_t *)malloc(capacity) : NULL;
    if (record == NULL)
        return PLACE_NO_MEMORY;
    const uint64_t n = LZSS_CompressSimpleFast(input, size, record + HEADER_SIZE);
    if (n == UINT64_MAX) {
        free(record);
        return PLACE_ENCODER_FAILED;
    }
    placed->record = record;
    placed->length = placed->smallest = n + HEADER_SIZE;
    placed->stream = PUT_DEFAULT;
    if (placed->length != room.length) {
        // The optimal record, and from its parse a fitted one, in a second
        // buffer while the default one may still be the one that fits.
        const uint64_t worksize = LZSS_GetOptimalWorkSize(size);
        uint8_t *best = (uint8_t *)malloc(capacity);
        void *work = worksize <= SIZE_MAX ? malloc(worksize) : NULL;
        const uint64_t m = best != NULL && work != NULL ? LZSS_CompressOptimal(input, size, best + HEADER_SIZE, work) : 0;
        if (best == NULL || work == NULL || m == UINT64_MAX) {
            free(best);
            free(work);
            free(record);
            placed->record = NULL;
            return m == UINT64_MAX ? PLACE_ENCODER_FAILED : PLACE_NO_MEMORY;
        }
        placed->smallest = m + HEADER_SIZE;
        if (room.length >= placed->smallest && room.length <= bound + HEADER_SIZE &&
            LZSS_CompressFittedFromParse(input, size, room.length - HEADER_SIZE, best + HEADER_SIZE, work) ==
                room.length - HEADER_SIZE) {
            placed->stream = PUT_FITTED;
            placed->length = room.length;
        } else {
            // Not even every byte a literal fills the room, or no stream has
            // its exact length: a shorter record and zero bytes behind it.
            placed->stream = PUT_PADDED;
        }
        if (placed->stream == PUT_FITTED || placed->length > room.length) {
            free(record);
            placed->record = record = best;
            if (placed->stream == PUT_PADDED)
                placed->length = placed->smallest;
        } else {
            free(best);
        }
        free(work);
    }
    if (placed->length > room.length) {
        free(record);
        placed->record = NULL;
        return PLACE_NO_ROOM;
    }
    memset(record + placed->length, 0, room.length - placed->length);
    WriteHeader(record, size);
    return PLACE_OK;
}

bool CheckPlaced(const uint8_t *data, uint64_t datasize, uint64_t position, uint64_t length, const uint8_t *input,
                 uint64_t size)
{
    FoundRecord record;
    if (CheckRecord(data, datasize, position, &record) != RECORD_OK || record.length != length ||
        record.decoded != size)
        return false;
    Buffer decoded;
    return !DecodeRecord(data, record, &decoded) && (size == 0 || memcmp(decoded.data(), input, size) == 0);
}
