// What the fuzz targets share. A broken promise names itself and aborts,
// which the fuzzer records as a crash together with the input. Results are
// held to code written apart from the code under test: the reference decoder
// for streams, the targets' own plain readings for the rest.
#ifndef EXSPACK_FUZZ_CHECK_H
#define EXSPACK_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "guarded.h"
#include "reference.h"

#define CHECK(c) ((c) ? (void)0 : (fprintf(stderr, "%s:%d: broken promise: %s\n", __FILE__, __LINE__, #c), abort()))

static const uint8_t MAGIC[4] = {0x45, 0x58, 0x53, 0x01};
static const uint8_t FILL = 0xA5; // what a buffer holds where nothing may be written

static inline uint32_t Load32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

static inline bool AllAre(const uint8_t *p, size_t n, uint8_t b) { return (size_t)std::count(p, p + n, b) == n; }

// That stream[0 .. available - 1] starts with a whole stream of length bytes
// that the reference decoder turns into want[0 .. n - 1].
static inline void CheckDecodes(const uint8_t *stream, size_t available, uint64_t length, const uint8_t *want, size_t n)
{
    const ReferenceResult r = ReferenceDecode(stream, available);
    CHECK(r.ok && r.consumed == length && r.output.size() == n && std::equal(want, want + n, r.output.begin()));
}

#endif
