// Word loads and bit scans that the codec and the record search share, one
// definition each for every compiler and byte order.
#ifndef EXSPACK_BITS_H
#define EXSPACK_BITS_H

#include <stdint.h>
#include <string.h>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

// Eight bytes as one word, p[k] in byte k (bits 8k to 8k + 7) on any
// machine, so that the lowest set bit of a test over the word belongs to
// the first byte in memory.
static inline uint64_t Load64(const uint8_t *p)
{
    uint64_t v;
    memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// The number of low zero bits of x (x != 0).
static inline unsigned TrailingZeros(uint64_t x)
{
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long bit;
    _BitScanForward64(&bit, x);
    return (unsigned)bit;
#else
    return (unsigned)__builtin_ctzll(x);
#endif
}

#endif
