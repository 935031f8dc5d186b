#include "LZSS.h"

#include <assert.h>
#include <stdio.h>
#include <string.h>

#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Limits of what the encoders emit. A window field cannot name a distance of
// 4095 from every position, so the encoders stop one short of it.
#define WINDOW_SIZE_8 4094
#define MIN_SEQ_8 2
#define MAX_SEQ_8 17

static const uint64_t FAILED = UINT64_MAX;

// Flag state, shared by the writer, the scanner and the decoder.
static uint8_t controlByte;
static int32_t bitPos;

// Writer state: cpos is the reserved slot of the open group's flag byte,
// dpos the next byte to write.
static uint8_t *dst_global;
static uint64_t cpos;
static uint64_t dpos;

// One ring of recent input positions per byte value: head (off_queue_i) is
// the next slot to fill, tail (off_queue_j) the oldest entry. One slot always
// stays free so that a full ring does not look empty.
static uint64_t off_queue[256][4096];
static uint64_t off_queue_i[256];
static uint64_t off_queue_j[256];
// Per queue slot: how many entries up to it hold consecutive positions, that
// is how far back the run of the byte that ends there goes (at most 4095).
static uint16_t off_queue_run[256][4096];
// Entries per queue that start a run: with the queue's length, how long its
// runs are on average, which decides how to search it.
static uint64_t off_queue_runs[256];
// Per queue slot: the two input bytes after its position, the first in the
// low byte (0 where the input ends before them).
static uint16_t off_queue_pair[256][4096];

/* ---- Scanner and decoder ---- */

static inline unsigned CountTrailingZeros(unsigned x) // x != 0
{
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long bit;
    _BitScanForward(&bit, x);
    return bit;
#else
    return (unsigned)__builtin_ctz(x);
#endif
}

// The scan item by item from a group's flag byte at index, with out bytes
// decoded before it: every check in its place, so that it fails, or finds
// the terminator, exactly where the stream does.
static uint64_t ScanItems(const uint8_t *src, uint64_t srcsize, uint64_t index, uint64_t out, uint64_t *consumed)
{
    bitPos = 0;
    for (;;) {
        if (bitPos == 0) {
            if (index >= srcsize)
                return FAILED;
            controlByte = src[index++];
            bitPos = 8;
        }
        const unsigned bit = controlByte & 1;
        controlByte >>= 1;
        bitPos--;

        if (bit) {
            if (index >= srcsize)
                return FAILED;
            index++;
            out++;
            continue;
        }
        if (srcsize - index < 2)
            return FAILED;
        const unsigned word = src[index] | (unsigned)src[index + 1] << 8;
        index += 2;
        const unsigned field = word & 0xFFF;
        if (field == 0) {
            *consumed = index;
            return out;
        }
        if ((out & 0xFFF) == field - 1) {
            printf("(dpos & 0x0FFF) == offset\n");
            return FAILED;
        }
        if (out < field - 1)
            return FAILED;
        out += (word >> 12) + 2;
    }
}

uint64_t LZSS_GetDecompressedSize(const uint8_t *src, uint64_t srcsize, uint64_t *consumed)
{
    uint64_t index = 0;
    uint64_t out = 0;
    // Whole groups while the longest one (a flag byte and eight references)
    // lies within the stream, so that no item needs a bound check. The first
    // group that holds the terminator or a bad reference is left to the
    // item-by-item scan, which finds which it is.
    while (srcsize - index >= 17) {
        const uint8_t *const items = src + index + 1;
        unsigned references = ~(unsigned)src[index] & 0xFF;
        unsigned count = 0;   // references so far
        uint64_t copied = 0;  // bytes they copy
        bool stop = false;
        // Only the references need reading; the literals before each one
        // are counted from its place in the group.
        while (references != 0) {
            const unsigned item = CountTrailingZeros(references);
            references &= references - 1;
            const uint8_t *const at = items + item + count;
            const unsigned word = at[0] | (unsigned)at[1] << 8;
            const unsigned field = word & 0xFFF;
            const uint64_t o = out + (item - count) + copied;
            // A reference must reach 1 to o bytes back; the distance is 0
            // for the byte being written and beyond o before the start.
            const uint64_t distance = (o + 1 - field) & 0xFFF;
            if (field == 0 || distance - 1 >= o) {
                stop = true;
                break;
            }
            copied += (word >> 12) + 2;
            count++;
        }
        if (stop)
            break;
        index += 9 + count;
        out += 8 - count + copied;
    }
    // What taking all eight bits of a group leaves.
    if (index != 0)
        controlByte = 0;
    return ScanItems(src, srcsize, index, out, consumed);
}

// One step of a byte-by-byte copy: byte k moves when k < n; otherwise the
// step stores from[0] (a byte already in place) into a scratch byte, so that
// a copy of variable length runs as a fixed sequence of steps without a
// branch to mispredict. The step never loads the scratch byte, which would
// chain every step after the one before it.
static inline void CopyStep(uint8_t *to, const uint8_t *from, uint64_t k, uint64_t n, uint8_t *scratch)
{
    // All ones when the byte moves. Selected by masks, not by a condition
    // that the compiler would turn back into a branch.
    const uint64_t move = (uint64_t)((int64_t)(k - n) >> 63);
    const uintptr_t at = (uintptr_t)scratch + (((uintptr_t)to - (uintptr_t)scratch + k) & move);
    *(uint8_t *)at = from[k & move];
}

// Copies a reference of n bytes from distance back, in the order of a
// byte-by-byte copy: a block moves at once only when the distance is at
// least its size, so that the block read lies wholly behind the block
// written; closer sources repeat what the copy has just produced.
static inline void CopyReference(uint8_t *to, uint64_t distance, unsigned n)
{
    const uint8_t *from = to - distance;
    uint8_t scratch = 0;
    if (distance >= 16 && n >= 8) {
        if (n >= 16) {
            memcpy(to, from, 16);
            CopyStep(to, from, 16, n, &scratch);
            return;
        }
        memcpy(to, from, 8);
        for (unsigned k = 8; k < 15; k++)
            CopyStep(to, from, k, n, &scratch);
        return;
    }
    if (n > 7) {
        for (unsigned k = 0; k < n; k++)
            to[k] = from[k];
        return;
    }
    // Every reference copies at least two bytes.
    to[0] = from[0];
    to[1] = from[1];
    CopyStep(to, from, 2, n, &scratch);
    CopyStep(to, from, 3, n, &scratch);
    if (n > 4) {
        CopyStep(to, from, 4, n, &scratch);
        CopyStep(to, from, 5, n, &scratch);
        CopyStep(to, from, 6, n, &scratch);
    }
}

#if defined(__GNUC__)
#define UNROLL_GROUP _Pragma("GCC unroll 8")
#else
#define UNROLL_GROUP
#endif

void LZSS_Decompress(const uint8_t *src, uint8_t *dst)
{
    const uint8_t *in = src;
    uint8_t *out = dst;
    // The flag state lives in locals: every byte stored through out could
    // alias the module's copy, which would then be reloaded per item.
    for (;;) {
        const unsigned flags = *in++;
        if (flags == 0xFF) {
            // Eight literals: loaded whole before they are stored, as a
            // forward byte copy would give them.
            uint64_t literals;
            memcpy(&literals, in, 8);
            memcpy(out, &literals, 8);
            in += 8;
            out += 8;
            continue;
        }
        // The group's eight items as straight code: the loop's exit after
        // the eighth item cost a mispredicted branch per group.
        UNROLL_GROUP
        for (unsigned k = 0; k < 8; k++) {
            if ((flags >> k) & 1) {
                *out++ = *in++;
                continue;
            }
            const unsigned word = in[0] | (unsigned)in[1] << 8;
            in += 2;
            const unsigned field = word & 0xFFF;
            if (field == 0) {
                // Leave the flag state as taking the terminator's bit does.
                controlByte = (uint8_t)(flags >> (k + 1));
                bitPos = (int32_t)(7 - k);
                return;
            }
            // The source is the greatest position not above out whose low
            // 12 bits are field - 1, so the distance is their difference
            // modulo 4096.
            const uint64_t distance = ((uint64_t)(out - dst) + 1 - field) & 0xFFF;
            const unsigned n = (word >> 12) + 2;
            CopyReference(out, distance, n);
            out += n;
        }
    }
}

/* ---- Output writer ---- */

uint64_t LZSS_GetCompressedMaxSize(uint64_t size)
{
    return size / 8 + size + 3;
}

static void InitOutput(uint8_t *dst)
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
static bool WriteReference(uint64_t spos, uint64_t offset, uint64_t length)
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

static uint64_t FinishOutput(void)
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

/* ---- Encoders ---- */

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

// Eight input bytes as one word, p[k] in byte k, so that the number of low
// zero bytes of an exclusive or is the length of a common prefix.
static inline uint64_t Load64(const uint8_t *p)
{
    uint64_t v;
    memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

static inline uint64_t LowZeroBytes(uint64_t x) // x != 0
{
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long bit;
    _BitScanForward64(&bit, x);
    return bit / 8;
#else
    return (uint64_t)__builtin_ctzll(x) / 8;
#endif
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

// The queue search judges each candidate by a word t that is zero in every
// byte where the candidate agrees with the input at spos, over the bytes
// that decide it: byte 0, which every queue entry must match, and bytes 0 to
// the best length, which must all match for the candidate to be strictly
// longer than the best so far. A candidate needs a closer look when t is 0
// (it will be longer) or when byte 0 of t is not (the queue is wrong, which
// the assertion then reports). Rotating byte 0 to the top turns both into
// one comparison: Verdict(t) >= LOOK_CLOSER. Verdicts that stay below it
// have a zero top byte, so their bitwise or does too and one comparison
// judges a whole group.
static const uint64_t LOOK_CLOSER = 0x00FFFFFFFFFFFFFF;

static inline uint64_t Verdict(uint64_t t)
{
    return (t >> 8 | t << 56) - 1;
}

// Input bytes that must remain behind spos for the word search: the 17 of a
// full match, read by MatchLength17 and by the filter words.
#define SEARCH_MARGIN (MAX_SEQ_8 + 1)

// Verdict of the candidate at off: while the best is shorter than 8, the
// first word masked to bytes 0 to the best length; from 8 on (wide), the
// word at probe = best length - 6, which covers bytes best - 6 to best + 1,
// shifted up by one byte and or-ed into the first word, so that it leaves
// byte 0 in place and keeps the byte at the best length.
static inline uint64_t Judge(const uint8_t *src, uint64_t off, uint64_t cur0, uint64_t mask, uint64_t probe,
                             uint64_t curp, bool wide)
{
    const uint64_t t = Load64(src + off) ^ cur0;
    return Verdict(wide ? t | (Load64(src + off + probe) ^ curp) << 8 : t & mask);
}

// Searches queue slots [lo, hi) of the current byte from the newest entry
// down, for the longest match at src + spos; needs SEARCH_MARGIN bytes at
// spos. *bestlen and *bestoff hold the best so far (length 0 before any) and
// are updated; returns true once a match of MAX_SEQ_8 bytes ends the search.
static bool SearchSlots(const uint8_t *src, uint64_t spos, const uint64_t *base, const uint16_t *pairs,
                        const uint64_t *lo, const uint64_t *hi, uint64_t *bestlen, uint64_t *bestoff)
{
    const uint8_t *const cur = src + spos;
    const uint8_t curbyte = cur[0];
    // The one position in reach that no window field can name (low 12 bits
    // all ones); below 4096 it would lie before the input and never matches.
    const uint64_t unnamable = spos - (spos & 0xFFF) - 1;
    const uint64_t cur0 = Load64(cur);
    uint64_t len = *bestlen;
    uint64_t mask = ~(uint64_t)0 >> (56 - 8 * (len < 8 ? len : 7));
    uint64_t probe = len >= 8 ? len - 6 : 0;
    uint64_t curp = Load64(cur + probe);
    const uint64_t *p = hi;
    while (p != lo) {
        // Groups of four, one comparison each. The first candidate of all
        // is always measured, so it goes straight to the closer look.
        if (len == 0) {
        } else if (len < 8) {
#if defined(__SSE2__)
            // Eight entries at a time by the two bytes after their first
            // (only the first of them while the best is 1 byte long).
            const __m128i keep = _mm_set1_epi16((short)(len >= 2 ? 0xFFFF : 0x00FF));
            const __m128i want = _mm_and_si128(_mm_set1_epi16((short)(cur[1] | cur[2] << 8)), keep);
            while (p - lo >= 8) {
                const __m128i x = _mm_loadu_si128((const __m128i *)(pairs + (p - 8 - base)));
                if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(x, keep), want)) != 0)
                    break;
                p -= 8;
            }
#endif
            while (p - lo >= 4) {
                const uint64_t v = Judge(src, p[-1], cur0, mask, 0, 0, false) |
                                   Judge(src, p[-2], cur0, mask, 0, 0, false) |
                                   Judge(src, p[-3], cur0, mask, 0, 0, false) |
                                   Judge(src, p[-4], cur0, mask, 0, 0, false);
                if (v >= LOOK_CLOSER)
                    break;
                p -= 4;
            }
        } else {
            while (p - lo >= 4) {
                const uint64_t v = Judge(src, p[-1], cur0, 0, probe, curp, true) |
                                   Judge(src, p[-2], cur0, 0, probe, curp, true) |
                                   Judge(src, p[-3], cur0, 0, probe, curp, true) |
                                   Judge(src, p[-4], cur0, 0, probe, curp, true);
                if (v >= LOOK_CLOSER)
                    break;
                p -= 4;
            }
        }
        const uint64_t left = (uint64_t)(p - lo);
        if (left == 0)
            break;
        if (left < 4 && len != 0) {
            // The last one to three entries as one group, the last of them
            // standing in for the missing ones.
            const uint64_t a = p[-1];
            const uint64_t b = p[left >= 2 ? -2 : -1];
            const uint64_t c = p[-(int64_t)left];
            const bool wide = len >= 8;
            const uint64_t v = Judge(src, a, cur0, mask, probe, curp, wide) | Judge(src, b, cur0, mask, probe, curp, wide) |
                               Judge(src, c, cur0, mask, probe, curp, wide);
            if (v < LOOK_CLOSER)
                break;
        }
        // The group that asked for a closer look, one candidate at a time,
        // each against the best as it stands.
        const uint64_t *const stop = len == 0 ? p - 1 : left >= 4 ? p - 4 : lo;
        while (p != stop) {
            const uint64_t off = *--p;
            if (Judge(src, off, cur0, mask, probe, curp, len >= 8) < LOOK_CLOSER)
                continue;
            assert(src[off] == curbyte);
            if (off == unnamable)
                continue;
            const uint64_t n = MatchLength17(src + off, cur);
            if (n <= len)
                continue;
            len = n;
            *bestlen = n;
            *bestoff = off;
            if (n == MAX_SEQ_8)
                return true;
            if (n < 8) {
                mask = ~(uint64_t)0 >> (56 - 8 * n);
            } else {
                probe = n - 6;
                curp = Load64(cur + probe);
            }
        }
    }
    return false;
}

void InitOffsetQueue(void)
{
    memset(off_queue_i, 0, sizeof off_queue_i);
    memset(off_queue_j, 0, sizeof off_queue_j);
    memset(off_queue_runs, 0, sizeof off_queue_runs);
}

static inline void PushPosition(const uint8_t *src, uint64_t srcsize, uint64_t pos)
{
    const uint8_t byte = src[pos];
    uint64_t head = off_queue_i[byte];
    const uint64_t prev = (head - 1) & 0xFFF;
    const bool continues = head != off_queue_j[byte] && off_queue[byte][prev] + 1 == pos;
    // A run longer than the ring holds saturates rather than starting anew:
    // an entry counted as a run's first must have no neighbour before it.
    const uint16_t run =
        (uint16_t)(continues ? (off_queue_run[byte][prev] < 4095 ? off_queue_run[byte][prev] + 1 : 4095) : 1);
    off_queue_run[byte][head] = run;
    off_queue_runs[byte] += run == 1;
    off_queue[byte][head] = pos;
    off_queue_pair[byte][head] = (uint16_t)(srcsize - pos > 2 ? src[pos + 1] | src[pos + 2] << 8 : 0);
    head = (head + 1) & 0xFFF;
    off_queue_i[byte] = head;
    if (head == off_queue_j[byte]) {
        off_queue_runs[byte] -= off_queue_run[byte][head] == 1;
        off_queue_j[byte] = (head + 1) & 0xFFF;
    }
}

// The average run length of a queue above which a run at a time is faster
// than an entry at a time (each run costs about as much as a few entries).
#define RUN_SEARCH_MIN 4

// The queue search for a position whose byte c starts a run of r >= 2 bytes
// (r at most MAX_SEQ_8), taking the queue's entries a run at a time rather
// than one by one. A candidate whose own run of c is R bytes long matches
// min(R, r) bytes when R != r; only at R == r can it go on past the run. Of
// an older run whose last byte is at b that is the entry b + 1 - r alone:
// nearer entries of that run match less, and older ones exactly r, which
// the entry b + 1 - r already gives from nearer. Entries of the run that
// reaches spos all match r, so its nearest namable entry is the best of it.
// Where the entry picked cannot be named, its neighbour stands in: the older
// one (a run one byte longer, r bytes still) or, at the run's first entry,
// the nearer one. The runs are taken from the nearest, each one only when
// strictly longer, so the result is the nearest of the longest, as the
// entry-by-entry search gives. Needs SEARCH_MARGIN bytes at spos.
static void SearchRuns(const uint8_t *src, uint64_t spos, uint64_t r, const uint64_t *queue, const uint16_t *runs,
                       uint64_t head, uint64_t n, uint64_t *bestlen, uint64_t *bestoff)
{
    const uint8_t *const cur = src + spos;
    const uint64_t unnamable = spos - (spos & 0xFFF) - 1;
    uint64_t len = 0;
    uint64_t off = 0;
    for (uint64_t i = 0; i < n && len < MAX_SEQ_8;) {
        const uint64_t slot = (head - 1 - i) & 0xFFF;
        const uint64_t b = queue[slot];
        const uint64_t entries = runs[slot] < n - i ? runs[slot] : n - i;
        i += entries;
        uint64_t pick, other;
        if (len >= r) {
            // Only the entry whose run is r bytes can do better now, and
            // only when the byte after its run is the one after spos's.
            if (entries < r || src[b + 1] != cur[r])
                continue;
            pick = b + 1 - r;
            other = pick;
        } else if (b + 1 == spos) {
            pick = b;
            other = entries >= 2 ? b - 1 : b;
        } else if (entries >= r) {
            pick = b + 1 - r;
            other = entries > r ? pick - 1 : pick + 1;
        } else {
            pick = b + 1 - entries;
            other = pick + 1;
        }
        if (pick == unnamable)
            pick = other;
        if (pick == unnamable || pick > b)
            continue;
        const uint64_t m = MatchLength17(src + pick, cur);
        if (m > len) {
            len = m;
            off = pick;
        }
    }
    if (len > *bestlen) {
        *bestlen = len;
        *bestoff = off;
    }
}

uint64_t LZSS_CompressSimpleFast(const uint8_t *src, uint64_t srcsize, uint8_t *dst)
{
    InitOutput(dst);
    InitOffsetQueue();
    uint64_t spos = 0;
    while (spos < srcsize) {
        const uint8_t curbyte = src[spos];
        const uint64_t *queue = off_queue[curbyte];
        const uint64_t head = off_queue_i[curbyte];
        uint64_t tail = off_queue_j[curbyte];
        if (spos > WINDOW_SIZE_8) {
            while (tail != head && queue[tail] < spos - WINDOW_SIZE_8) {
                off_queue_runs[curbyte] -= off_queue_run[curbyte][tail] == 1;
                tail = (tail + 1) & 0xFFF;
            }
            off_queue_j[curbyte] = tail;
        }

        uint64_t bestlen = 0;
        uint64_t bestdist = 0;
        if (srcsize - spos >= SEARCH_MARGIN) {
            // The ring's entries from the newest down: slots below head,
            // then, if the ring wraps, the slots from tail to its end.
            uint64_t bestoff = 0;
            // Bytes of the run that starts at spos, up to MAX_SEQ_8.
            const uint64_t run = 1 + MatchLength17(src + spos + 1, src + spos);
            const bool wraps = tail > head;
            // A run at a time pays where the queue's runs are long; where
            // they are short, the entry-by-entry search is faster.
            const uint64_t entries = (head - tail) & 0xFFF;
            if (run >= MIN_SEQ_8 && off_queue_runs[curbyte] * RUN_SEARCH_MIN < entries) {
                SearchRuns(src, spos, run < MAX_SEQ_8 ? run : MAX_SEQ_8, queue, off_queue_run[curbyte], head,
                           entries, &bestlen, &bestoff);
            } else if (!SearchSlots(src, spos, queue, off_queue_pair[curbyte], queue + (wraps ? 0 : tail),
                                    queue + head, &bestlen, &bestoff) &&
                       wraps) {
                SearchSlots(src, spos, queue, off_queue_pair[curbyte], queue + tail, queue + 4096, &bestlen,
                            &bestoff);
            }
            bestdist = spos - bestoff;
        } else {
            // The last bytes of the input cap the match, a byte at a time.
            const uint64_t maxlen = srcsize - spos < MAX_SEQ_8 ? srcsize - spos : MAX_SEQ_8;
            const uint64_t forbidden = (spos & 0xFFF) + 1;
            for (uint64_t slot = head; slot != tail && bestlen < maxlen;) {
                slot = (slot - 1) & 0xFFF;
                const uint64_t off = queue[slot];
                assert(src[off] == curbyte);
                const uint64_t offset = spos - off;
                // Only a strictly longer match can replace the best, so the
                // byte just past the best length decides most candidates.
                if (offset == forbidden || src[off + bestlen] != src[spos + bestlen])
                    continue;
                const uint64_t len = MatchLength(src + off, src + spos, maxlen);
                if (len > bestlen) {
                    bestlen = len;
                    bestdist = offset;
                }
            }
        }

        if (bestlen >= MIN_SEQ_8) {
            for (uint64_t k = 0; k < bestlen; k++)
                PushPosition(src, srcsize, spos + k);
            if (!WriteReference(spos, bestdist, bestlen))
                return FAILED;
            spos += bestlen;
        } else {
            PushPosition(src, srcsize, spos);
            WriteLiteral(curbyte);
            spos++;
        }
    }
    return FinishOutput();
}

uint64_t LZSS_CompressSimple(const uint8_t *src, uint64_t len, uint8_t *dst)
{
    InitOutput(dst);
    uint64_t spos = 0;
    while (spos < len) {
        const uint64_t maxlen = len - spos < MAX_SEQ_8 ? len - spos : MAX_SEQ_8;
        const uint64_t forbidden = (spos & 0xFFF) + 1;
        const uint64_t maxoffset = spos < WINDOW_SIZE_8 ? spos : WINDOW_SIZE_8;
        uint64_t bestlen = 0;
        uint64_t bestdist = 0;
        if (len - spos >= SEARCH_MARGIN) {
            // As in the queue search, a candidate is measured only when its
            // bytes 0 to the best length (the first eight of them in one
            // word, then the byte at the best length) all match.
            const uint8_t *const cur = src + spos;
            const uint64_t cur0 = Load64(cur);
            uint64_t mask = 0xFF;
            for (uint64_t offset = 1; offset <= maxoffset; offset++) {
                const uint8_t *cand = cur - offset;
                if (((Load64(cand) ^ cur0) & mask) != 0 || cand[bestlen] != cur[bestlen] || offset == forbidden)
                    continue;
                const uint64_t n = MatchLength17(cand, cur);
                if (n > bestlen) {
                    bestlen = n;
                    bestdist = offset;
                    if (n == MAX_SEQ_8)
                        break;
                    mask = ~(uint64_t)0 >> (n < 8 ? 56 - 8 * n : 0);
                }
            }
        } else {
            for (uint64_t offset = 1; offset <= maxoffset && bestlen < maxlen; offset++) {
                const uint8_t *cand = src + spos - offset;
                if (cand[0] != src[spos] || offset == forbidden || cand[bestlen] != src[spos + bestlen])
                    continue;
                const uint64_t n = MatchLength(cand, src + spos, maxlen);
                if (n > bestlen) {
                    bestlen = n;
                    bestdist = offset;
                }
            }
        }

        if (bestlen >= MIN_SEQ_8) {
            if (!WriteReference(spos, bestdist, bestlen))
                return FAILED;
            spos += bestlen;
        } else {
            WriteLiteral(src[spos]);
            spos++;
        }
    }
    return FinishOutput();
}

/* ---- Optimal-parse encoder ---- */

// A stream of L literals and R references holds L + R + 1 items with the
// terminator, so ceil((L + R + 1) / 8) flag bytes and L + 2R + 2 item bytes:
// ceil((9L + 17R + 17) / 8) bytes in all. Fewest bits are therefore exactly
// fewest bytes, and a parse is as good as its 9L + 17R.
#define LITERAL_BITS 9
#define REFERENCE_BITS 17

// The match index: one hash chain per prefix length, searched longest first.
// A chain holds every earlier position whose first CHAIN_KEYS[level] bytes
// hash alike, newest first. Links are distances to the next older entry, kept
// for the last 4096 positions only, since nothing older is in reach; a link
// of CHAIN_END leads out of every window. More levels shorten the walks but
// cost every position an insertion; three measured fastest.
static const unsigned CHAIN_KEYS[] = {5, 3, 2};
#define CHAIN_LEVELS (sizeof CHAIN_KEYS / sizeof CHAIN_KEYS[0])
#define CHAIN_HASH_BITS 15
#define CHAIN_HEADS ((uint64_t)1 << CHAIN_HASH_BITS)
#define CHAIN_LINKS 4096
#define CHAIN_END 4095
// Positions ahead whose chain heads are fetched early, and the ring of their
// hashes.
#define PREFETCH_AHEAD 4
#define PREFETCH_RING 8
// Ring of the last parse costs; larger than MAX_SEQ_8.
#define PARSE_RING 32

// Positions inside runs have an index of their own. A position whose byte c
// repeats for R >= 2 bytes matches min(R, R') bytes of a position with a run
// of R' != R, and goes on past the run only at R' == R with the same byte
// after it. Runs of RUN_CHAIN_MIN bytes or more are kept out of the chains
// above: the run chain holds them keyed by R (below MAX_SEQ_8) and that byte.
// Shorter runs stay in the chains, whose longer keys serve them better, and
// are the only candidates there that can match such a run past its end. Per
// byte and class k (R == k, the last class R >= MAX_SEQ_8) the two newest
// positions of every run tell the longest run in reach, which is the match
// when nothing goes past the run.
#define RUN_CHAIN_MIN 3
#define RUN_HASH_BITS 13
#define RUN_HEADS ((uint64_t)1 << RUN_HASH_BITS)
#define RUN_CLASSES (MAX_SEQ_8 - 1)

// One half's index: chain heads, run chain heads and run classes as
// positions, chain and run chain links as distances.
struct MatchIndex {
    uint32_t *heads;
    uint32_t *runHeads;
    uint32_t *classes;
    uint16_t *links;
    uint16_t *runLinks;
};
static const uint64_t INDEX_WORK = (CHAIN_LEVELS * CHAIN_HEADS + RUN_HEADS + 256 * RUN_CLASSES * 2) * sizeof(uint32_t) +
                                   (CHAIN_LEVELS + 1) * CHAIN_LINKS * sizeof(uint16_t);

static MatchIndex IndexAt(uint8_t *at)
{
    MatchIndex index;
    index.heads = (uint32_t *)at;
    index.runHeads = index.heads + CHAIN_LEVELS * CHAIN_HEADS;
    index.classes = index.runHeads + RUN_HEADS;
    index.links = (uint16_t *)(index.classes + 256 * RUN_CLASSES * 2);
    index.runLinks = index.links + CHAIN_LEVELS * CHAIN_LINKS;
    return index;
}

// Inputs from this size on are searched in two halves.
#define SPLIT_MIN_SIZE ((uint64_t)1 << 16)

// Two indexes, one per half, and room to align them.
static const uint64_t OPTIMAL_FIXED_WORK = 2 * INDEX_WORK + 64;

uint64_t LZSS_GetOptimalWorkSize(uint64_t size)
{
    // Per input position: its longest match (distance 2 bytes, length 1) and
    // the length of the last item of the best parse up to it (1 byte, one
    // more for the end).
    if (size > (UINT64_MAX - OPTIMAL_FIXED_WORK - 1) / 4)
        return UINT64_MAX;
    return OPTIMAL_FIXED_WORK + 4 * size + 1;
}

#if defined(__GNUC__)
#define PREFETCH(p) __builtin_prefetch(p)
#else
#define PREFETCH(p) ((void)0)
#endif

// Up to the first 8 of the left bytes at p, little-endian; reads no further.
static inline uint64_t LoadPrefix(const uint8_t *p, uint64_t left)
{
    if (left >= 8)
        return Load64(p);
    uint64_t v = 0;
    for (unsigned k = 0; k < left; k++)
        v |= (uint64_t)p[k] << 8 * k;
    return v;
}

// Bytes in which a and b agree from the start, at most cap. With cap at
// MAX_SEQ_8 all 17 bytes of both are readable.
static inline unsigned CommonLength(const uint8_t *a, const uint8_t *b, unsigned cap)
{
    if (cap == MAX_SEQ_8)
        return (unsigned)MatchLength17(a, b);
    unsigned n = 0;
    while (n < cap && a[n] == b[n])
        n++;
    return n;
}

// Hash of the first key bytes (at most 8) of a position, given its first 8
// bytes as a little-endian number; later bytes do not count.
static inline uint32_t ChainHash(uint64_t prefix, unsigned key)
{
    return (uint32_t)(((prefix << (64 - 8 * key)) * 0x9E3779B97F4A7C15ull) >> (64 - CHAIN_HASH_BITS));
}

// Searches one chain for matches of at least key bytes that are longer than
// *best, and stops early at ub, the longest match still possible. Only the
// bytes decide what is taken, never the hash, so the result is the nearest of
// the longest matches, whatever collides.
static inline void SearchChain(const uint8_t *src, uint64_t spos, uint32_t head, const uint16_t *link,
                               unsigned key, unsigned cap, unsigned ub, uint64_t forbidden, unsigned *best,
                               uint64_t *bestdist)
{
    const uint64_t reach = spos < WINDOW_SIZE_8 ? spos : WINDOW_SIZE_8;
    const uint8_t *cur = src + spos;
    unsigned need = *best + 1 > key ? *best + 1 : key;
    uint8_t want = cur[need - 1];
    // Distance 0, which only a head left from 2^32 positions ago can give,
    // wraps round to fail the test as well.
    for (uint64_t d = (uint32_t)((uint32_t)spos - head); d - 1 < reach;
         d += link[(spos - d) & (CHAIN_LINKS - 1)]) {
        const uint8_t *cand = cur - d;
        if (cand[need - 1] != want || d == forbidden)
            continue;
        const unsigned len = CommonLength(cand, cur, cap);
        if (len >= need) {
            *best = len;
            *bestdist = d;
            if (len >= ub)
                return;
            need = len + 1;
            want = cur[len];
        }
    }
}

static inline uint32_t RunHash(uint8_t byte, unsigned run, uint8_t after)
{
    return (uint32_t)(((byte | run << 8 | (uint64_t)after << 16) * 0x9E3779B97F4A7C15ull) >> (64 - RUN_HASH_BITS));
}

// Longest match at spos, whose byte starts a run of run >= 2 bytes, into
// *best and *bestdist where longer than the match there. First (with chain)
// the positions whose run is as long and followed by the same byte, the only
// ones that can match more than the run; failing those, the longest run of the byte that a position in
// reach starts, up to the run at spos: the run spos is part of (one or two
// bytes back, the nearer one being unnamable), then per class from the
// longest down. A class's newest position is in reach if any is; when it is
// the unnamable one, the position before it (a run one byte longer) or the
// class's second newest is not. Every length is measured on the bytes.
static void FindRunMatch(const uint8_t *src, uint64_t srcsize, uint64_t spos, uint64_t run, const MatchIndex &index,
                         bool chain, unsigned *best, uint64_t *bestdist)
{
    const uint64_t left = srcsize - spos;
    const unsigned cap = left < MAX_SEQ_8 ? (unsigned)left : MAX_SEQ_8;
    const uint64_t forbidden = (spos & 0xFFF) + 1;
    const uint64_t reach = spos < WINDOW_SIZE_8 ? spos : WINDOW_SIZE_8;
    const uint8_t *cur = src + spos;
    const uint8_t byte = cur[0];
    if (chain && run < cap)
        SearchChain(src, spos, index.runHeads[RunHash(byte, (unsigned)run, cur[run])], index.runLinks,
                    (unsigned)run + 1, cap, cap, forbidden, best, bestdist);
    // Nothing else matches more than the run.
    if (*best >= (run < cap ? run : cap))
        return;
    const auto take = [&](uint64_t d) {
        const unsigned len = CommonLength(cur - d, cur, cap);
        if (len > *best) {
            *best = len;
            *bestdist = d;
        }
    };
    if (reach >= 1 && cur[-1] == byte && forbidden != 1)
        take(1);
    else if (reach >= 2 && cur[-1] == byte && cur[-2] == byte)
        take(2);
    for (unsigned k = run < cap ? (unsigned)run : cap; k >= MIN_SEQ_8 && *best < k; k--) {
        const uint32_t *newest = index.classes + (byte * RUN_CLASSES + k - MIN_SEQ_8) * 2;
        const uint64_t d = (uint32_t)((uint32_t)spos - newest[0]);
        if (d - 1 >= reach)
            continue;
        if (d != forbidden)
            take(d);
        else if (d + 1 <= reach && cur[-(int64_t)d - 1] == byte)
            take(d + 1);
        else if ((uint64_t)(uint32_t)((uint32_t)spos - newest[1]) - 1 < reach)
            take((uint32_t)((uint32_t)spos - newest[1]));
    }
}

// Finds the longest match at each position from begin to end - 1 into
// length (0 when below MIN_SEQ_8) and distance, with an index of its own.
// The index first takes in the window before begin, so the result for each
// position depends on the input and on begin alone.
static void FindMatches(const uint8_t *src, uint64_t srcsize, uint64_t begin, uint64_t end, MatchIndex index,
                        uint16_t *distance, uint8_t *length)
{
    uint32_t *const heads = index.heads;
    uint16_t *const links = index.links;
    // An empty head or class reads as a distance beyond every window.
    memset(heads, 0xFF, CHAIN_LEVELS * CHAIN_HEADS * sizeof(uint32_t));
    memset(index.runHeads, 0xFF, RUN_HEADS * sizeof(uint32_t));
    memset(index.classes, 0xFF, 256 * RUN_CLASSES * 2 * sizeof(uint32_t));
    uint64_t runEnd = 0; // the end of the run of the byte at spos
    const uint64_t start = begin > CHAIN_LINKS ? begin - CHAIN_LINKS : 0;
    unsigned prevlen = 0;
    uint64_t prevdist = 0;
    // Hashes of the positions up to PREFETCH_AHEAD ahead, whose heads are
    // fetched early: they are what the search waits for most.
    uint32_t hashes[PREFETCH_RING][CHAIN_LEVELS];
    for (uint64_t p = start; p < start + PREFETCH_AHEAD && p < srcsize; p++) {
        const uint64_t prefix = LoadPrefix(src + p, srcsize - p);
        for (unsigned level = 0; level < CHAIN_LEVELS; level++)
            hashes[p % PREFETCH_RING][level] = ChainHash(prefix, CHAIN_KEYS[level]);
    }

    for (uint64_t spos = start; spos < end; spos++) {
        const uint64_t left = srcsize - spos;
        if (spos >= runEnd) {
            runEnd = spos + 1;
            while (runEnd < srcsize && src[runEnd] == src[spos])
                runEnd++;
        }
        const uint64_t run = runEnd - spos;
        const uint32_t *hash = hashes[spos % PREFETCH_RING];
        uint32_t head[CHAIN_LEVELS];
        for (unsigned level = 0; level < CHAIN_LEVELS; level++)
            head[level] = heads[level * CHAIN_HEADS + hash[level]];
        if (left > PREFETCH_AHEAD) {
            const uint64_t ahead = spos + PREFETCH_AHEAD;
            const uint64_t prefix = LoadPrefix(src + ahead, srcsize - ahead);
            uint32_t *later = hashes[ahead % PREFETCH_RING];
            for (unsigned level = 0; level < CHAIN_LEVELS; level++) {
                later[level] = ChainHash(prefix, CHAIN_KEYS[level]);
                PREFETCH(heads + level * CHAIN_HEADS + later[level]);
            }
        }

        if (spos >= begin) {
            unsigned best = 0;
            uint64_t bestdist = 0;
            if (run >= RUN_CHAIN_MIN) {
                FindRunMatch(src, srcsize, spos, run, index, true, &best, &bestdist);
            } else {
                const unsigned cap = left < MAX_SEQ_8 ? (unsigned)left : MAX_SEQ_8;
                const uint64_t forbidden = (spos & 0xFFF) + 1;
                // The match before, one byte shorter at the same distance, is
                // a match here too, unless that distance has just become
                // forbidden.
                if (prevlen > MIN_SEQ_8 && prevdist != forbidden) {
                    best = CommonLength(src + spos - prevdist, src + spos, cap);
                    bestdist = prevdist;
                }
                unsigned ub = cap;
                for (unsigned level = 0; level < CHAIN_LEVELS && best < ub; level++) {
                    const unsigned key = CHAIN_KEYS[level];
                    if (key > cap)
                        continue;
                    SearchChain(src, spos, head[level], links + level * CHAIN_LINKS, key, cap, ub, forbidden, &best,
                                &bestdist);
                    // Every match of key bytes or more is in this chain.
                    if (best >= key)
                        break;
                    ub = key - 1;
                }
                if (run >= MIN_SEQ_8)
                    FindRunMatch(src, srcsize, spos, run, index, false, &best, &bestdist);
            }
            if (best < MIN_SEQ_8)
                best = 0;
            length[spos] = (uint8_t)best;
            distance[spos] = (uint16_t)bestdist;
            prevlen = best;
            prevdist = bestdist;
        }

        if (run >= MIN_SEQ_8) {
            const unsigned k = run < MAX_SEQ_8 ? (unsigned)run : MAX_SEQ_8;
            uint32_t *newest = index.classes + (src[spos] * RUN_CLASSES + k - MIN_SEQ_8) * 2;
            newest[1] = newest[0];
            newest[0] = (uint32_t)spos;
            if (run >= RUN_CHAIN_MIN) {
                if (k < MAX_SEQ_8 && runEnd < srcsize) {
                    uint32_t *runHead = index.runHeads + RunHash(src[spos], k, src[runEnd]);
                    const uint32_t d = (uint32_t)spos - *runHead;
                    index.runLinks[spos & (CHAIN_LINKS - 1)] = d - 1 < WINDOW_SIZE_8 ? (uint16_t)d : CHAIN_END;
                    *runHead = (uint32_t)spos;
                }
                continue;
            }
        }
        for (unsigned level = 0; level < CHAIN_LEVELS; level++) {
            if (CHAIN_KEYS[level] > left)
                continue;
            // A head from 2^32 positions back reads as distance 0, which as a
            // link would never end a walk.
            const uint32_t d = (uint32_t)spos - head[level];
            links[level * CHAIN_LINKS + (spos & (CHAIN_LINKS - 1))] = d - 1 < WINDOW_SIZE_8 ? (uint16_t)d : CHAIN_END;
            heads[level * CHAIN_HEADS + hash[level]] = (uint32_t)spos;
        }
    }
}

// Finds an optimal parse of src in work (laid out as LZSS_GetOptimalWorkSize
// counts it): each item's length at its first position in *lastOut (1 for a
// literal), and a reference's distance at its first position in *distanceOut.
// Entries at other positions are left over from the search.
static void ParseOptimal(const uint8_t *src, uint64_t srcsize, void *work, uint16_t **distanceOut, uint8_t **lastOut)
{
    uint8_t *base = (uint8_t *)work + (-(uintptr_t)work & 63);
    const MatchIndex index = IndexAt(base);
    const MatchIndex index2 = IndexAt(base + INDEX_WORK);
    uint16_t *distance = (uint16_t *)(base + 2 * INDEX_WORK);
    uint8_t *length = (uint8_t *)(distance + srcsize);
    uint8_t *last = length + srcsize;

    // Large inputs are searched in two halves, the second on a thread of its
    // own where one can be started. The halves are the same either way, so
    // the stream does not depend on it.
    const uint64_t half = srcsize >= SPLIT_MIN_SIZE ? srcsize / 2 : srcsize;
    std::thread helper;
    if (half < srcsize) {
        try {
            helper = std::thread(FindMatches, src, srcsize, half, srcsize, index2, distance, length);
        } catch (...) {
            FindMatches(src, srcsize, half, srcsize, index2, distance, length);
        }
    }
    FindMatches(src, srcsize, 0, half, index, distance, length);
    if (helper.joinable())
        helper.join();

    // Shortest path. From a position every length from 2 up to its longest
    // match can be taken at that match's distance (whether a source can be
    // named depends on the distance alone), so the longest match is all the
    // search has to give. The cheapest parse of the first j bytes then ends
    // in a literal, or in a reference from the earliest position that
    // reaches j, because a longer prefix never costs fewer bits (cut its last
    // item short by one byte). Ties go to the reference.
    uint64_t cost[PARSE_RING];
    cost[0] = 0;
    uint64_t from = 0; // earliest position whose reference may end at j
    for (uint64_t j = 1; j <= srcsize; j++) {
        while (from + MIN_SEQ_8 <= j && (from + MAX_SEQ_8 < j || from + length[from] < j))
            from++;
        const uint64_t literal = cost[(j - 1) % PARSE_RING] + LITERAL_BITS;
        const uint64_t reference = from + MIN_SEQ_8 <= j ? cost[from % PARSE_RING] + REFERENCE_BITS : UINT64_MAX;
        const bool useReference = reference <= literal;
        cost[j % PARSE_RING] = useReference ? reference : literal;
        last[j] = (uint8_t)(useReference ? j - from : 1);
    }

    // Turn the chain of last items, read from the end, into each item's
    // length at its first position.
    if (srcsize > 0) {
        uint64_t j = srcsize;
        unsigned len = last[j];
        while (j > 0) {
            const uint64_t p = j - len;
            const unsigned next = p > 0 ? last[p] : 0;
            last[p] = (uint8_t)len;
            j = p;
            len = next;
        }
    }
    *distanceOut = distance;
    *lastOut = last;
}

// Writes the parse that last and distance describe as ParseOptimal leaves it.
static uint64_t WriteParse(const uint8_t *src, uint64_t srcsize, const uint16_t *distance, const uint8_t *last,
                           uint8_t *dst)
{
    InitOutput(dst);
    for (uint64_t spos = 0; spos < srcsize;) {
        const unsigned len = last[spos];
        if (len == 1) {
            WriteLiteral(src[spos]);
        } else if (!WriteReference(spos, distance[spos], len)) {
            return FAILED;
        }
        spos += len;
    }
    return FinishOutput();
}

uint64_t LZSS_CompressOptimal(const uint8_t *src, uint64_t srcsize, uint8_t *dst, void *work)
{
    uint16_t *distance;
    uint8_t *last;
    ParseOptimal(src, srcsize, work, &distance, &last);
    return WriteParse(src, srcsize, distance, last, dst);
}

/* ---- Optimal parse fitted to a size ---- */

// From an optimal parse of B bits, a stream of target bytes needs B + D bits
// with 8 * target - 7 <= B + D <= 8 * target, D >= 0. The parse gains bits in
// three kinds of step that keep every source nameable:
//   shorten a reference by its last byte, which follows as a literal: +9;
//   drop a reference of 2 bytes for two literals: +1;
//   split a reference into two at the same distance: +17.
// A reference of k bytes gives up to k - 2 units of shortening, all of them
// when it is dropped (9 k - 17 bits in all) and two of them when it is split
// (2 * 9 - 1), so U units with x drops or y splits add 9 U + x or 9 U - y.
// Among 8 consecutive values of D there is a multiple of 9, which shortening
// alone reaches, or else every other remainder, among them 1 (one drop) and
// 8 (one split). That fails only where D is too small to pay for a drop or a
// split: within 2 bytes above the optimal size.

// Where the second part of a split reference starts: 2 bytes on, or 3 when
// the source 2 bytes on ends in 0xFFF (then the one 3 bytes on does not),
// with the byte between as a literal, one more unit; 0 when the reference is
// too short for that.
static inline unsigned SplitPoint(uint64_t spos, unsigned len, uint64_t distance)
{
    const unsigned at = distance != ((spos + 2) & 0xFFF) + 1 ? 2 : 3;
    return len >= at + MIN_SEQ_8 ? at : 0;
}

// Units that dropping the x shortest references takes, given how many
// references there are of each length.
static uint64_t DroppedUnits(const uint64_t *count, uint64_t x)
{
    uint64_t units = 0;
    for (unsigned len = MIN_SEQ_8; len <= MAX_SEQ_8 && x > 0; len++) {
        const uint64_t n = count[len] < x ? count[len] : x;
        units += n * (len - MIN_SEQ_8);
        x -= n;
    }
    return units;
}

uint64_t LZSS_CompressFitted(const uint8_t *src, uint64_t srcsize, uint64_t target, uint8_t *dst, void *work)
{
    if (target > LZSS_GetCompressedMaxSize(srcsize))
        return FAILED;
    uint16_t *distance;
    uint8_t *last;
    ParseOptimal(src, srcsize, work, &distance, &last);

    uint64_t literals = 0;
    uint64_t references = 0;
    uint64_t count[MAX_SEQ_8 + 1] = {0}; // references by length
    uint64_t units = 0;                  // shortenings all references allow
    uint64_t splittable = 0;
    uint64_t between[9] = {0}; // literals between the parts of the first splits
    for (uint64_t spos = 0; spos < srcsize; spos += last[spos]) {
        const unsigned len = last[spos];
        if (len == 1) {
            literals++;
            continue;
        }
        references++;
        count[len]++;
        units += len - MIN_SEQ_8;
        const unsigned at = SplitPoint(spos, len, distance[spos]);
        if (at != 0 && splittable < 8)
            between[splittable + 1] = between[splittable] + (at - 2);
        splittable += at != 0;
    }
    const uint64_t bits = LITERAL_BITS * literals + REFERENCE_BITS * (references + 1);
    if (8 * target < bits)
        return FAILED;

    // The smallest D that fits and that drops or splits reach, with drops
    // first: as many as D leaves modulo 9, plus 9 for every unit beyond what
    // the references allow, or as many splits as D lacks to a multiple of 9.
    // As the target is at most the all-literal size, the smallest D that
    // fits is at most that of dropping every reference, 9 units + 1 each.
    const uint64_t hi = 8 * target - bits;
    uint64_t planUnits = 0, planDrops = 0, planSplits = 0;
    bool found = false;
    for (uint64_t d = hi >= 7 ? hi - 7 : 0; d <= hi && !found; d++) {
        const uint64_t whole = d / 9;
        const uint64_t beyond = whole > units ? whole - units : 0;
        const uint64_t drops = d % 9 + 9 * beyond;
        const uint64_t splits = d % 9 != 0 ? 9 - d % 9 : 0;
        if (drops <= references && DroppedUnits(count, drops) <= whole - beyond) {
            planUnits = whole - beyond;
            planDrops = drops;
            found = true;
        } else if (splits > 0 && splits <= splittable &&
                   2 * splits + between[splits] <= whole + 1 && whole + 1 <= units) {
            planUnits = whole + 1;
            planSplits = splits;
            found = true;
        }
    }
    if (!found)
        return FAILED;

    // Drop the shortest references, the first of equally short ones; split
    // the first references that can be; shorten from the first on.
    uint64_t drop[MAX_SEQ_8 + 1] = {0};
    for (uint64_t len = MIN_SEQ_8, x = planDrops; len <= MAX_SEQ_8; len++) {
        drop[len] = count[len] < x ? count[len] : x;
        x -= drop[len];
    }
    uint64_t left = planUnits - DroppedUnits(count, planDrops) - 2 * planSplits - between[planSplits];
    for (uint64_t spos = 0; spos < srcsize;) {
        const unsigned len = last[spos];
        const uint64_t end = spos + len;
        if (len == 1) {
            spos = end;
            continue;
        }
        if (drop[len] > 0) {
            drop[len]--;
        } else if (planSplits > 0 && SplitPoint(spos, len, distance[spos]) != 0) {
            planSplits--;
            const unsigned at = SplitPoint(spos, len, distance[spos]);
            const unsigned shorter = left < len - at - 2 ? (unsigned)left : len - at - 2;
            left -= shorter;
            last[spos] = 2;
            if (at == 3)
                last[spos + 2] = 1;
            last[spos + at] = (uint8_t)(len - at - shorter);
            distance[spos + at] = distance[spos];
            spos = end - shorter;
        } else {
            const unsigned shorter = left < len - 2u ? (unsigned)left : len - 2u;
            left -= shorter;
            last[spos] = (uint8_t)(len - shorter);
            spos = end - shorter;
        }
        for (; spos < end; spos++)
            last[spos] = 1;
    }
    const uint64_t size = WriteParse(src, srcsize, distance, last, dst);
    assert(size == target);
    return size;
}
