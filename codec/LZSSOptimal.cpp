// The encoders of our own design beside the format's greedy one: the
// optimal parse, which writes the smallest stream the format allows, and the
// same parse fitted to an exact size for putting a record back into a room.
#include "LZSS.h"
#include "LZSSEncoder.h"

#include <thread>

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

// Where a parse of srcsize bytes lies in work: the distances, then the match
// lengths, then each item's length at its first position.
static void ParseIn(void *work, uint64_t srcsize, uint16_t **distance, uint8_t **last)
{
    uint8_t *base = (uint8_t *)work + (-(uintptr_t)work & 63);
    *distance = (uint16_t *)(base + 2 * INDEX_WORK);
    *last = (uint8_t *)(*distance + srcsize) + srcsize;
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
    uint16_t *distance;
    uint8_t *last;
    ParseIn(work, srcsize, &distance, &last);
    uint8_t *length = (uint8_t *)(distance + srcsize);

    // Large inputs are searched in two halves, the second on a thread of its
    // own where one can be started. The halves are the same either way, so
    // the stream does not depend on it.
    const uint64_t half = srcsize >= SPLIT_MIN_SIZE ? srcsize / 2 : srcsize;
    std::thread helper;
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
    // WebAssembly without threads: starting one aborts rather than throws.
    if (half < srcsize)
        FindMatches(src, srcsize, half, srcsize, index2, distance, length);
#else
    if (half < srcsize) {
        try {
            helper = std::thread(FindMatches, src, srcsize, half, srcsize, index2, distance, length);
        } catch (...) {
            FindMatches(src, srcsize, half, srcsize, index2, distance, length);
        }
    }
#endif
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

// Spends bits on the optimal parse in distance and last until its stream is
// target bytes long, and writes that stream; changes nothing on failure.
static uint64_t FitParse(const uint8_t *src, uint64_t srcsize, uint64_t target, uint16_t *distance, uint8_t *last,
                         uint8_t *dst)
{
    if (target > LZSS_GetCompressedMaxSize(srcsize))
        return FAILED;

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

uint64_t LZSS_CompressFitted(const uint8_t *src, uint64_t srcsize, uint64_t target, uint8_t *dst, void *work)
{
    if (target > LZSS_GetCompressedMaxSize(srcsize))
        return FAILED;
    uint16_t *distance;
    uint8_t *last;
    ParseOptimal(src, srcsize, work, &distance, &last);
    return FitParse(src, srcsize, target, distance, last, dst);
}

uint64_t LZSS_CompressFittedFromParse(const uint8_t *src, uint64_t srcsize, uint64_t target, uint8_t *dst, void *work)
{
    uint16_t *distance;
    uint8_t *last;
    ParseIn(work, srcsize, &distance, &last);
    return FitParse(src, srcsize, target, distance, last, dst);
}
