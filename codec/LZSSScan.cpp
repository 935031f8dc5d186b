// Many scans of one buffer in one left-to-right sweep.
//
// Which bytes of a stream are flag bytes, literals and references depends
// only on the bytes and on where its groups start, never on how much has
// been decoded. So once two scans reach the same group they read the same
// items for good, and differ only in o, the number of bytes each has
// decoded, by a constant. A reference with window field f (not 0) is valid
// iff 1 <= ((o + 1 - f) & 0xFFF) <= o: below o = 4095 that is f <= o, from
// there on f != (o & 0xFFF) + 1. So a reference ends every scan whose o is
// below f, and every scan whose o is congruent to f - 1 modulo 4096.
//
// A walker is a set of scans at the same group, kept as classes of scans
// with equal fate: while o < 4095 ("small") a class is the scans of one o,
// in a slot of its own among 4096; from o = 4095 on ("large") a class is
// the scans of one o modulo 4096. Each reference then costs O(1) plus the
// classes it ends, each class becomes large once, and a walker's group is
// read once for all its scans. Walkers that reach the same group merge, the
// classes of the one with fewer scans moving into the other: a scan that
// moves lands in a walker at least twice the size of the one it left, so
// that moves stay within count * (log2(count) + 2) even though scans end in
// between.
//
// A class is a tree of its scans, each pointing at a later one, the class's
// root the latest: two classes join by pointing the earlier root at the
// later one. Only the root holds its key (see Class); every other scan holds
// its key less its parent's. So a class ends, joins or moves in O(1), and one
// pass from the last scan to the first gives every scan its result from its
// parent's, which is final by then.
//
// The sweep always steps the walker furthest behind; a group spans 17 bytes
// at most, so the walkers all lie within 18 positions of each other, and a
// ring of 32 positions finds the next one.
//
// A chain sweep (LZSS_ScanChain) wants only the streams that a search one
// start after another picks, and takes its starts as it goes. Of a class it
// keeps the first scan alone: the others fail with it, or lie inside it when
// it holds. A scan that joins a walker holding a class of its o, or of its o
// modulo 4096 from 4095 on (which fails at least whenever it does), is left
// out at once for the same reason. A stream that holds rules out every scan
// begun after it that is still under way, all of them inside it or inside
// one begun before it: the classes are listed by their first scans, so those
// go from the end of the list. So nothing is held for a start beyond the
// classes, and the memory stays that of the walkers and their classes.
#include "LZSS.h"

#include "Bits.h"

#include <assert.h>
#include <string.h>

#include <type_traits>

namespace {

const unsigned SLOTS = 4096, MASK = SLOTS - 1;
const uint32_t NONE = UINT32_MAX;
// consumed[] of a scan that is not a root: its parent with this bit set;
// of a root under way, ROOT.
const uint64_t LINK = (uint64_t)1 << 63, ROOT = UINT64_MAX;
const uint64_t MAX_WALKERS = 18; // positions a walker can be ahead of the last one
const unsigned RING = 32;        // a power of two above MAX_WALKERS
const uint64_t DONE = UINT64_MAX; // a walker whose scans have all ended
const uint64_t NO_START = UINT64_MAX; // the starts have run out


// 4096 slots, each free or holding a class: a bitset under a summary word
// of which words hold a bit. A word whose summary bit is clear holds
// anything: setting its first bit overwrites it, so that a set of slots is
// made empty by clearing the summary alone.
struct Slots {
    uint64_t summary;
    uint64_t words[SLOTS / 64];
    uint32_t cls[SLOTS];

    bool Has(unsigned i) const { return (summary >> (i >> 6) & 1) && (words[i >> 6] >> (i & 63) & 1); }

    void Set(unsigned i, uint32_t c)
    {
        const unsigned w = i >> 6;
        const uint64_t bit = (uint64_t)1 << (i & 63);
        if (summary >> w & 1) {
            words[w] |= bit;
        } else {
            words[w] = bit;
            summary |= (uint64_t)1 << w;
        }
        cls[i] = c;
    }

    void Clear(unsigned i)
    {
        const unsigned w = i >> 6;
        words[w] &= ~((uint64_t)1 << (i & 63));
        if (words[w] == 0)
            summary &= ~((uint64_t)1 << w);
    }

    // The first set slot in [lo, hi] (hi < SLOTS), or NONE.
    uint32_t FindIn(unsigned lo, unsigned hi) const
    {
        const unsigned w = lo >> 6;
        if (summary >> w & 1) {
            const uint64_t m = words[w] & (~(uint64_t)0 << (lo & 63));
            if (m != 0) {
                const unsigned i = w * 64 + TrailingZeros(m);
                return i <= hi ? i : NONE;
            }
        }
        const uint64_t later = w + 1 < 64 ? summary & (~(uint64_t)0 << (w + 1)) : 0;
        if (later == 0)
            return NONE;
        const unsigned v = TrailingZeros(later), i = v * 64 + TrailingZeros(words[v]);
        return i <= hi ? i : NONE;
    }

    // A set slot among the len slots from lo on, counted round (len <= SLOTS).
    uint32_t FindRound(unsigned lo, unsigned len) const
    {
        const unsigned hi = lo + len - 1;
        if (hi < SLOTS)
            return FindIn(lo, hi);
        const uint32_t i = FindIn(lo, SLOTS - 1);
        return i != NONE ? i : FindIn(0, hi - SLOTS);
    }
};

// The scans of a class, a tree threaded through the caller's arrays: the
// root's sizes[] holds its key k, o being the walker's count less k, and
// its consumed[] ROOT; once the class ends, the root's own results. Every
// other scan's sizes[] holds its key less its parent's, and consumed[] its
// parent (see LINK).
struct Class {
    uint64_t root, count;
    uint32_t prev, next; // in the walker's list of classes; next also links free classes
    uint16_t slot;
    uint8_t large;
    uint8_t walker;
};

// A class of a chain sweep (LZSS_ScanChain) stands for its first scan alone:
// the later ones read the same items with the same fate, so that when it
// holds they lie inside it and when it fails they fail. root is that scan's
// start, key its key; the classes are listed by root, since a stream that
// holds rules out every scan that began after it and is still under way.
struct ChainClass : Class {
    uint64_t key;
    uint64_t chosen; // streams chosen when the first scan began: where it goes in the chain
    uint32_t before, after;
};

struct Walker {
    uint64_t count;   // the walker's decoded bytes, in its own frame
    uint64_t scans;   // scans under way
    uint32_t classes; // the first of its list
    Slots small, large;
};

// The callbacks of a chain sweep.
struct Chain {
    uint64_t gap;
    uint64_t (*next)(void *context, uint64_t *starts, uint64_t room);
    void (*chosen)(void *context, uint64_t index, uint64_t start, uint64_t consumed, uint64_t size);
    void *context;
};

// CHAIN false: every start's own results in the caller's arrays
// (LZSS_ScanStreams); true: the chain of streams a search one start after
// another picks (LZSS_ScanChain).
template <bool CHAIN> class Sweep {
    typedef typename std::conditional<CHAIN, ChainClass, Class>::type C;

public:
    Sweep(const uint8_t *src, uint64_t srcsize, const uint64_t *starts, uint64_t count, uint64_t *sizes,
          uint64_t *consumed, const Chain *chain, Walker *walkers, uint64_t walkerCount, C *classes,
          uint64_t classCount)
        : src_(src), end_(srcsize), starts_(starts), count_(count), sizes_(sizes), consumed_(consumed),
          chain_(chain), walkers_(walkers), walkerCount_(walkerCount), classes_(classes), classCount_(classCount)
    {
        for (unsigned r = 0; r < RING; r++)
            ring_[r] = NONE;
    }

    void Run()
    {
        next_ = NO_START;
        Pop();
        uint64_t x = 0;
        for (;;) {
            uint64_t next;
            if (occupied_ != 0) {
                next = Nearest(x);
                if (next_ < next)
                    next = next_;
            } else if (next_ != NO_START) {
                next = next_;
            } else {
                break;
            }
            x = next;
            const unsigned r = (unsigned)(x & (RING - 1));
            uint32_t w = ring_[r];
            for (; next_ == x; Pop()) {
                if (w == NONE)
                    w = NewWalker();
                Join(w);
            }
            ring_[r] = NONE;
            occupied_ &= ~((uint32_t)1 << r);
            // The walker stays in hand while it is still the one furthest
            // behind: no other walker and no start lies before its next group.
            for (;;) {
                if (CHAIN) {
                    x = Glide(w, x);
                    for (; next_ == x; Pop())
                        Join(w);
                }
                const uint64_t y = Step(w, x);
                if (y == DONE)
                    break;
                if (next_ < y || (occupied_ != 0 && Nearest(x) <= y)) {
                    Place(w, y); // merging with a walker already at y
                    break;
                }
                x = y;
                for (; next_ == x; Pop())
                    Join(w);
            }
        }
        if (CHAIN)
            return;
        // A scan's parent is a later one, whose results are final by the
        // time the scan is reached: o differs by the keys' difference, the
        // stream's length by the starts'.
        for (uint64_t i = count_; i-- > 0;) {
            if (!(consumed_[i] & LINK))
                continue;
            assert(consumed_[i] != ROOT);
            const uint64_t parent = consumed_[i] & ~LINK;
            if (sizes_[parent] == UINT64_MAX) {
                sizes_[i] = UINT64_MAX;
                consumed_[i] = 0;
            } else {
                sizes_[i] = sizes_[parent] - sizes_[i];
                consumed_[i] = consumed_[parent] + starts_[parent] - starts_[i];
            }
        }
    }

    uint64_t steps = 0;

private:
    const uint8_t *const src_;
    const uint64_t end_;
    const uint64_t *const starts_;
    const uint64_t count_;
    uint64_t *const sizes_, *const consumed_;
    const Chain *const chain_;
    Walker *const walkers_;
    const uint64_t walkerCount_; // what the work memory holds
    C *const classes_;
    const uint64_t classCount_;
    uint64_t next_, index_ = 0; // the next start (NO_START when there is none) and its index
    uint32_t ring_[RING];
    uint32_t occupied_ = 0;
    uint32_t spareWalkers_[MAX_WALKERS];
    uint32_t spare_ = 0, walkersMade_ = 0;
    uint32_t freeClass_ = NONE, classesMade_ = 0;
    // The chain: streams chosen so far, where the last one ends, and the
    // classes under way from the first scan begun to the last.
    uint64_t chosen_ = 0, chainEnd_ = 0;
    uint32_t first_ = NONE, last_ = NONE;
    // Its starts, taken a batch at a time.
    static const unsigned BATCH = 256;
    uint64_t batch_[BATCH];
    unsigned batchAt_ = 0, batchCount_ = 0;
    bool startsLeft_ = true;

    void Pop()
    {
        if (CHAIN) {
            if (++batchAt_ >= batchCount_) {
                batchAt_ = 0;
                batchCount_ = startsLeft_ ? chain_->next(chain_->context, batch_, BATCH) : 0;
                assert(batchCount_ <= BATCH);
                startsLeft_ = batchCount_ != 0;
            }
            next_ = batchAt_ < batchCount_ ? batch_[batchAt_] : NO_START;
            return;
        }
        if (next_ != NO_START)
            index_++;
        next_ = index_ < count_ ? starts_[index_] : NO_START;
    }

    // The key of class c: o is the walker's count less it.
    uint64_t &Key(uint32_t c)
    {
        if (CHAIN)
            return ((ChainClass &)classes_[c]).key;
        return sizes_[classes_[c].root];
    }

    // The position of the walker furthest behind, all of them being at x or
    // after it (occupied_ != 0).
    uint64_t Nearest(uint64_t x) const
    {
        const unsigned r = (unsigned)(x & (RING - 1));
        const uint32_t turned = occupied_ >> r | (r != 0 ? occupied_ << (RING - r) : 0);
        return x + TrailingZeros(turned);
    }

    uint32_t NewWalker()
    {
        const uint32_t w = spare_ != 0 ? spareWalkers_[--spare_] : walkersMade_++;
        assert(w < walkerCount_);
        Walker &walker = walkers_[w];
        walker.count = 0;
        walker.scans = 0;
        walker.classes = NONE;
        walker.small.summary = 0;
        walker.large.summary = 0;
        return w;
    }

    uint32_t NewClass()
    {
        if (freeClass_ == NONE) {
            assert(classesMade_ < classCount_);
            return classesMade_++;
        }
        const uint32_t c = freeClass_;
        freeClass_ = classes_[c].next;
        return c;
    }

    void FreeClass(uint32_t c)
    {
        classes_[c].next = freeClass_;
        freeClass_ = c;
    }

    // The chain's list of classes by their first scans' starts.
    ChainClass &Chained(uint32_t c) { return (ChainClass &)classes_[c]; }

    void Unchain(uint32_t c)
    {
        const ChainClass &cls = Chained(c);
        (cls.before != NONE ? Chained(cls.before).after : first_) = cls.after;
        (cls.after != NONE ? Chained(cls.after).before : last_) = cls.before;
    }

    // Puts class c into the list where class `at` is, which leaves it.
    void Rechain(uint32_t c, uint32_t at)
    {
        ChainClass &cls = Chained(c);
        const ChainClass &old = Chained(at);
        cls.before = old.before;
        cls.after = old.after;
        (cls.before != NONE ? Chained(cls.before).after : first_) = c;
        (cls.after != NONE ? Chained(cls.after).before : last_) = c;
    }

    // Puts class c (its scans' keys in w's frame) into its slot of w, or
    // onto the list of the class already there.
    void Insert(uint32_t w, uint32_t c, unsigned slot, bool large)
    {
        Walker &walker = walkers_[w];
        Slots &slots = large ? walker.large : walker.small;
        C &cls = classes_[c];
        if (slots.Has(slot)) {
            const uint32_t t = slots.cls[slot];
            C &there = classes_[t];
            if (CHAIN) {
                // The class keeps the earlier first scan; the later one is
                // ruled out by it either way.
                ChainClass &a = Chained(c), &b = Chained(t);
                if (a.root < b.root) {
                    b.root = a.root;
                    b.key = a.key;
                    b.chosen = a.chosen;
                    Unchain(t);
                    Rechain(t, c);
                } else {
                    Unchain(c);
                }
                b.count += a.count;
                FreeClass(c);
                return;
            }
            uint64_t a = cls.root, b = there.root;
            if (a > b)
                a = there.root, b = cls.root;
            sizes_[a] -= sizes_[b];
            consumed_[a] = b | LINK;
            there.root = b;
            there.count += cls.count;
            FreeClass(c);
            return;
        }
        slots.Set(slot, c);
        cls.slot = (uint16_t)slot;
        cls.large = large;
        cls.walker = (uint8_t)w;
        cls.prev = NONE;
        cls.next = walker.classes;
        if (walker.classes != NONE)
            classes_[walker.classes].prev = c;
        walker.classes = c;
    }

    // Takes class c out of w's slots and list; its scans stay with it.
    void Remove(uint32_t w, uint32_t c)
    {
        Walker &walker = walkers_[w];
        C &cls = classes_[c];
        (cls.large ? walker.large : walker.small).Clear(cls.slot);
        if (cls.prev != NONE)
            classes_[cls.prev].next = cls.next;
        else
            walker.classes = cls.next;
        if (cls.next != NONE)
            classes_[cls.next].prev = cls.prev;
    }

    // Whether the scan at the next start, joining w, can be left out of a
    // chain sweep.
    bool RuledOut(const Walker &walker) const
    {
        // A start inside the last stream chosen is inside it for good, or
        // inside one that began before it and still runs.
        if (chosen_ != 0 && (next_ < chainEnd_ || next_ - chainEnd_ < chain_->gap))
            return true;
        // Every class under way began earlier. One of the same o fails when
        // this scan fails; one of the same o modulo 4096, from 4095 on,
        // fails at least whenever it does. Either holds whenever this scan
        // holds, and then the scan lies inside it.
        const unsigned slot = (unsigned)(walker.count & MASK);
        return walker.large.Has(slot) || walker.small.Has(slot);
    }

    // Groups of eight literals change nothing but the count while the
    // walker in hand is the only one, has no small class to make large and
    // rules out every start on its way: such groups are read here in a
    // tight loop. Returns where w then stands, at a group that Step reads
    // (with maybe a start to join first).
    uint64_t Glide(uint32_t w, uint64_t x)
    {
        Walker &walker = walkers_[w];
        if (occupied_ != 0 || walker.small.summary != 0 || walker.classes == NONE)
            return x;
        const uint8_t *const src = src_;
        const uint64_t end = end_, first = x;
        uint64_t &count = walker.count;
        while (x < end && end - x >= 17 && src[x] == 0xFF && next_ >= x + 9) {
            x += 9;
            count += 8;
            for (; next_ == x; Pop())
                if (!RuledOut(walker))
                    goto stop; // a scan that joins for good: Run takes it
        }
    stop:
        steps += (x - first) / 9;
        return x;
    }

    void Join(uint32_t w)
    {
        Walker &walker = walkers_[w];
        if (CHAIN && RuledOut(walker))
            return;
        const uint32_t c = NewClass();
        if (CHAIN) {
            ChainClass &cls = Chained(c);
            cls.root = next_;
            cls.key = walker.count;
            cls.chosen = chosen_;
            cls.before = last_;
            cls.after = NONE;
            (last_ != NONE ? Chained(last_).after : first_) = c;
            last_ = c;
        } else {
            sizes_[index_] = walker.count; // o = 0
            consumed_[index_] = ROOT;
            classes_[c].root = index_;
        }
        walker.scans++;
        classes_[c].count = 1;
        Insert(w, c, (unsigned)(walker.count & MASK), false);
    }

    // Ends the scans of class c: each a failure, or with ok a stream whose
    // last item ends at `at` after delta more bytes decoded in the group.
    // Only the root gets its results now (see Run).
    void End(uint32_t w, uint32_t c, bool ok, uint64_t delta, uint64_t at)
    {
        Walker &walker = walkers_[w];
        Remove(w, c);
        walker.scans -= classes_[c].count;
        if (CHAIN) {
            const ChainClass &cls = Chained(c);
            if (ok) {
                // Chosen: the streams chosen behind it go, and so do the
                // scans that began after it.
                while (last_ != c) {
                    const uint32_t later = last_;
                    const uint32_t v = classes_[later].walker;
                    Remove(v, later);
                    walkers_[v].scans -= classes_[later].count;
                    Unchain(later);
                    FreeClass(later);
                }
                chain_->chosen(chain_->context, cls.chosen, cls.root, at - cls.root, walker.count + delta - cls.key);
                chosen_ = cls.chosen + 1;
                chainEnd_ = at;
            }
            Unchain(c);
            FreeClass(c);
            return;
        }
        const uint64_t root = classes_[c].root;
        sizes_[root] = ok ? walker.count + delta - sizes_[root] : UINT64_MAX;
        consumed_[root] = ok ? at - starts_[root] : 0;
        FreeClass(c);
    }

    uint64_t EndAll(uint32_t w, bool ok, uint64_t delta, uint64_t at)
    {
        if (CHAIN && ok && walkers_[w].classes != NONE) {
            // The class of the earliest first scan is chosen, which ends
            // the others.
            uint32_t best = walkers_[w].classes;
            for (uint32_t c = classes_[best].next; c != NONE; c = classes_[c].next)
                if (classes_[c].root < classes_[best].root)
                    best = c;
            End(w, best, true, delta, at);
            assert(walkers_[w].classes == NONE);
        }
        while (walkers_[w].classes != NONE)
            End(w, walkers_[w].classes, ok, delta, at);
        spareWalkers_[spare_++] = w;
        return DONE;
    }

    // A reference with field f (not 0), delta bytes into the group.
    void Refer(uint32_t w, unsigned f, uint64_t delta)
    {
        Walker &walker = walkers_[w];
        if (f > delta) {
            // Small classes with o + delta < f: keys from count - g + 1 to count.
            const unsigned g = (unsigned)(f - delta);
            uint32_t s;
            while ((s = walker.small.FindRound((unsigned)((walker.count - g + 1) & MASK), g)) != NONE)
                End(w, walker.small.cls[s], false, 0, 0);
        }
        // The residue f - 1 - delta of o. A small class there either has
        // o + delta = f - 1 (ended above) or has reached 4095 in the group.
        const unsigned r = (unsigned)((walker.count + delta + 1 - f) & MASK);
        if (walker.small.Has(r))
            End(w, walker.small.cls[r], false, 0, 0);
        if (walker.large.Has(r))
            End(w, walker.large.cls[r], false, 0, 0);
    }

    // Reads w's group at x: ends its scans (DONE), or returns where its next
    // group starts.
    uint64_t Step(uint32_t w, uint64_t x)
    {
        if (x >= end_ || (CHAIN && walkers_[w].classes == NONE)) // or its scans all ruled out
            return EndAll(w, false, 0, 0);
        steps++;
        const unsigned flags = src_[x];
        uint64_t at = x + 1, delta = 0;
        if (end_ - x >= 17) {
            // The longest group fits: only the references need reading, the
            // literals before each are counted from its place in the group.
            unsigned references = ~flags & 0xFF, count = 0;
            while (references != 0) {
                const unsigned item = TrailingZeros(references);
                references &= references - 1;
                const uint64_t ref = x + 1 + item + count;
                const unsigned word = src_[ref] | (unsigned)src_[ref + 1] << 8, f = word & 0xFFF;
                const uint64_t before = delta + item - count;
                if (f == 0)
                    return EndAll(w, true, before, ref + 2);
                Refer(w, f, before);
                if (walkers_[w].scans == 0)
                    return EndAll(w, false, 0, 0);
                delta += (word >> 12) + 2;
                count++;
            }
            return Advance(w, delta + 8 - count, x + 9 + count);
        }
        for (unsigned item = 0; item < 8; item++) {
            if (flags >> item & 1) {
                if (at >= end_)
                    return EndAll(w, false, 0, 0);
                at++;
                delta++;
                continue;
            }
            if (end_ - at < 2)
                return EndAll(w, false, 0, 0);
            const unsigned word = src_[at] | (unsigned)src_[at + 1] << 8;
            at += 2;
            const unsigned f = word & 0xFFF;
            if (f == 0)
                return EndAll(w, true, delta, at);
            Refer(w, f, delta);
            if (walkers_[w].scans == 0)
                return EndAll(w, false, 0, 0);
            delta += (word >> 12) + 2;
        }
        return Advance(w, delta, at);
    }

    // Moves w past a group that decoded delta bytes, to the next at `at`.
    uint64_t Advance(uint32_t w, uint64_t delta, uint64_t at)
    {
        Walker &walker = walkers_[w];
        // Small classes whose o reaches 4095: keys from the old count - 4094
        // to the new count - 4095.
        const uint64_t old = walker.count;
        walker.count += delta;
        const unsigned lo = (unsigned)((old - 4094) & MASK), len = delta < SLOTS - 1 ? (unsigned)delta : SLOTS - 1;
        uint32_t s;
        while (walker.small.summary != 0 && (s = walker.small.FindRound(lo, len)) != NONE) {
            const uint32_t c = walker.small.cls[s];
            Remove(w, c);
            Insert(w, c, s, true);
        }
        return at;
    }

    // Puts w at group y, merging it with a walker already there.
    void Place(uint32_t w, uint64_t y)
    {
        const unsigned r = (unsigned)(y & (RING - 1));
        const uint32_t there = ring_[r];
        if (there == NONE) {
            ring_[r] = w;
            occupied_ |= (uint32_t)1 << r;
            return;
        }
        uint32_t from = w, into = there;
        if (walkers_[from].scans > walkers_[into].scans)
            from = there, into = w;
        Walker &a = walkers_[from], &b = walkers_[into];
        const uint64_t shift = b.count - a.count;
        while (a.classes != NONE) {
            const uint32_t c = a.classes;
            const bool large = classes_[c].large;
            Remove(from, c);
            Key(c) += shift;
            steps++;
            Insert(into, c, (unsigned)(Key(c) & MASK), large);
        }
        b.scans += a.scans;
        spareWalkers_[spare_++] = from;
        ring_[r] = into;
    }
};

uint64_t Walkers(uint64_t count) { return count < MAX_WALKERS ? count : MAX_WALKERS; }

uint64_t Classes(uint64_t count)
{
    const uint64_t most = MAX_WALKERS * 2 * SLOTS; // a walker's small and large slots
    return count < most ? count : most;
}

} // namespace

uint64_t LZSS_GetScanStreamsWorkSize(uint64_t count)
{
    return Walkers(count) * sizeof(Walker) + Classes(count) * sizeof(Class) + alignof(Walker);
}

void LZSS_ScanStreams(const uint8_t *src, uint64_t srcsize, const uint64_t *starts, uint64_t count, uint64_t *sizes,
                      uint64_t *consumed, void *work, uint64_t *steps)
{
    uintptr_t at = (uintptr_t)work;
    at += (alignof(Walker) - at % alignof(Walker)) % alignof(Walker);
    Walker *const walkers = (Walker *)at;
    Class *const classes = (Class *)(at + Walkers(count) * sizeof(Walker));
    static_assert(sizeof(Walker) % alignof(Class) == 0, "classes follow the walkers aligned");
    Sweep<false> sweep(src, srcsize, starts, count, sizes, consumed, NULL, walkers, Walkers(count), classes,
                       Classes(count));
    sweep.Run();
    if (steps != NULL)
        *steps = sweep.steps;
}

uint64_t LZSS_GetScanChainWorkSize(void)
{
    return MAX_WALKERS * sizeof(Walker) + Classes(UINT64_MAX) * sizeof(ChainClass) + alignof(Walker);
}

void LZSS_ScanChain(const uint8_t *src, uint64_t srcsize, uint64_t gap, LZSS_NextStarts next, LZSS_Chosen chosen,
                    void *context, void *work, uint64_t *steps)
{
    uintptr_t at = (uintptr_t)work;
    at += (alignof(Walker) - at % alignof(Walker)) % alignof(Walker);
    Walker *const walkers = (Walker *)at;
    ChainClass *const classes = (ChainClass *)(at + MAX_WALKERS * sizeof(Walker));
    static_assert(sizeof(Walker) % alignof(ChainClass) == 0, "classes follow the walkers aligned");
    const Chain chain = {gap, next, chosen, context};
    Sweep<true> sweep(src, srcsize, NULL, 0, NULL, NULL, &chain, walkers, MAX_WALKERS, classes, Classes(UINT64_MAX));
    sweep.Run();
    if (steps != NULL)
        *steps = sweep.steps;
}
