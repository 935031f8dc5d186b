#include "LZSS.h"

#include <assert.h>
#include <stdio.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "LZSSEncoder.h"

namespace lzss_state {
uint8_t controlByte;
int32_t bitPos;
uint8_t *dst_global;
uint64_t cpos;
uint64_t dpos;
} // namespace lzss_state

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
            const unsigned item = TrailingZeros(references);
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

/* ---- Stream size bound ---- */

uint64_t LZSS_GetCompressedMaxSize(uint64_t size)
{
    return size / 8 + size + 3;
}

/* ---- Encoders ---- */

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
#else
            (void)base, (void)pairs; // the two-byte filter needs SSE2
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
