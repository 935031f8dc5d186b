#include "RecordSearch.h"

#include <string.h>

#include "LZSS.h"

static const uint8_t MAGIC[4] = {0x45, 0x58, 0x53, 0x01};
static const uint64_t HEADER_SIZE = 8;
static const uint64_t SMALLEST_RECORD = HEADER_SIZE + 3; // an empty stream

bool FindRecord(const uint8_t *data, uint64_t size, uint64_t from, FoundRecord *found)
{
    if (size < SMALLEST_RECORD || from > size - SMALLEST_RECORD)
        return false;
    // Candidates are rare in real data, so memchr for the magic's first byte
    // carries the search at memory speed and the scanner sees only candidates.
    const uint8_t *p = data + from;
    const uint8_t *const last = data + size - SMALLEST_RECORD; // last possible start
    while (p <= last) {
        p = (const uint8_t *)memchr(p, MAGIC[0], (size_t)(last - p) + 1);
        if (p == NULL)
            return false;
        if (memcmp(p, MAGIC, sizeof MAGIC) == 0) {
            const uint64_t position = (uint64_t)(p - data);
            uint64_t consumed = 0;
            const uint64_t decoded =
                LZSS_GetDecompressedSize(p + HEADER_SIZE, size - position - HEADER_SIZE, &consumed);
            if (decoded != UINT64_MAX) {
                found->position = position;
                found->length = consumed + HEADER_SIZE;
                found->decoded = decoded;
                found->header_size = (uint32_t)p[4] | (uint32_t)p[5] << 8 | (uint32_t)p[6] << 16 | (uint32_t)p[7] << 24;
                return true;
            }
        }
        p++;
    }
    return false;
}
