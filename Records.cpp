#include "Records.h"

#include <string.h>

#include "LZSS.h"

static const uint8_t MAGIC[4] = {RECORD_MAGIC & 0xFF, RECORD_MAGIC >> 8 & 0xFF, RECORD_MAGIC >> 16 & 0xFF,
                                 RECORD_MAGIC >> 24};

static inline uint64_t Load64(const uint8_t *p)
{
    uint64_t word;
    memcpy(&word, p, sizeof word);
    return word;
}

// Whether any byte of x is zero (the classic test; exact as a yes or no).
static inline bool HasZeroByte(uint64_t x)
{
    return ((x - 0x0101010101010101u) & ~x & 0x8080808080808080u) != 0;
}

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
        if (HasZeroByte(diff))
            break;
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
