// What the encoders share, inside the codec only: the limits of what they
// emit, the writer that packs flag bits and items into a stream, and the
// match-length helpers. Every encoder starts a stream with InitOutput, hands
// the writer its items in order and ends it with FinishOutput.
#ifndef EXSPACK_LZSS_ENCODER_H
#define EXSPACK_LZSS_ENCODER_H

#include <assert.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "Bits.h"

// Limits of what the encoders emit. A window field cannot name a distance of
// 4095 from every position, so the encoders stop one short of it.
#define WINDOW_SIZE_8 4094
#define MIN_SEQ_8 2
#define MAX_SEQ_8 17

static const uint64_t FAILED = UINT64_MAX;

// The codec's module state, defined in LZSS.cpp; in a namespace of its own
// so that the static library's symbols clash with no program's globals.
namespace lzss_state {
// Flag state, shared by the writer, the scanner and the decoder.
extern uint8_t controlByte;
extern int32_t bitPos;
// Writer state: cpos is the reserved slot of the open group's flag byte,
// dpos the next byte to write.
extern uint8_t *dst_global;
extern uint64_t cpos;
extern uint64_t dpos;
} // namespace lzss_state
using namespace lzss_state;

static inline void InitOutput(uint8_t *dst)
{
    controlByte = 0;
    bitPos = 0;
    cpos = 0;
    dpos = 1;
    dst_global = dst;
}

static inline void PushFlagBit(unsigned bit)
{
    if (bitPos == 8) {
        dst_global[cpos] = controlByte;
        cpos = dpos++;
        controlByte = (uint8_t)(bit << 7);
        bitPos = 1;
    } else {
        controlByte = (uint8_t)(controlByte >> 1 | bit << 7);
        bitPos++;
    }
}

static inline void WriteLiteral(uint8_t byte)
{
    PushFlagBit(1);
    dst_global[dpos++] = byte;
}

// Returns false, after a message, when the source position ends in 0xFFF:
// its window field would be 4096, which does not fit in 12 bits.
static inline bool WriteReference(uint64_t spos, uint64_t offset, uint64_t length)
{
    assert(offset >= 1 && offset <= WINDOW_SIZE_8 && length >= MIN_SEQ_8 && length <= MAX_SEQ_8);
    PushFlagBit(0);
    if (offset == (spos & 0xFFF) + 1) {
        printf("offset == (spos & 0xFFF) + 1");
        return false;
    }
    const uint64_t field = ((spos - offset) & 0xFFF) + 1;
    const uint64_t word = field | (length - 2) << 12;
    dst_global[dpos] = (uint8_t)word;
    dst_global[dpos + 1] = (uint8_t)(word >> 8);
    dpos += 2;
    return true;
}

static inline uint64_t FinishOutput(void)
{
    uint64_t size;
    if (bitPos == 8) {
        dst_global[cpos] = controlByte;
        dst_global[dpos] = 0;
        dst_global[dpos + 1] = 0;
        dst_global[dpos + 2] = 0;
        size = dpos + 3;
    } else {
        // Bits enter at bit 7, so shift the group down to start at bit 0;
        // the terminator's bit is the 0 that lands above them.
        dst_global[cpos] = (uint8_t)((controlByte >> 1) >> (7 - bitPos));
        dst_global[dpos] = 0;
        dst_global[dpos + 1] = 0;
        size = dpos + 2;
    }
    controlByte = 0;
    bitPos = 0;
    return size;
}


// Length of the common prefix of a and b, 1 to maxlen bytes; the caller knows
// that a[0] == b[0]. The ranges may overlap: a match may run on into the
// bytes it produces.
static inline uint64_t MatchLength(const uint8_t *a, const uint8_t *b, uint64_t maxlen)
{
    uint64_t len = 1;
    while (len < maxlen && a[len] == b[len])
        len++;
    return len;
}

// With input bytes loaded as words (Load64), the number of low zero bytes
// of an exclusive or is the length of a common prefix.
static inline uint64_t LowZeroBytes(uint64_t x) // x != 0
{
    return TrailingZeros(x) / 8;
}

// MatchLength over the full 17 bytes, eight at a time; 17 bytes must be
// readable behind both a and b.
static inline uint64_t MatchLength17(const uint8_t *a, const uint8_t *b)
{
    uint64_t x = Load64(a) ^ Load64(b);
    if (x != 0)
        return LowZeroBytes(x);
    x = Load64(a + 8) ^ Load64(b + 8);
    if (x != 0)
        return 8 + LowZeroBytes(x);
    return 16 + (a[16] == b[16]);
}

#endif
