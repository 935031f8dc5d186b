// Arbitrary bytes as a container, searched as listing searches it: from the
// start, and on from behind each record found. The records found must be
// exactly those of a plain search: every position that holds the magic, in
// order, where the reference decoder reads a whole stream, going on behind
// each one; with its length, decoded size and header. The sweep that gives
// every start its own result (LZSS_ScanStreams, the search's own sweep
// with other bookkeeping), started at every position (and at every other
// one), must give the scanner's own result; the search's sweep on the same
// starts, with another gap between the streams it picks, the plain choice
// among those results; both within their bound on the work done.
#include <cmath>

#include "LZSS.h"
#include "Records.h"
#include "check.h"

namespace {

struct Chain {
    const std::vector<uint64_t> *starts;
    size_t at;
    bool done;                    // next said that none are left
    std::vector<uint64_t> chosen; // start, consumed and size of each stream picked
};

// The starts a few at a time, so that the sweep asks again part way.
uint64_t NextStarts(void *context, uint64_t *starts, uint64_t room)
{
    Chain &chain = *(Chain *)context;
    CHECK(room >= 1 && !chain.done);
    uint64_t n = 0;
    for (; n < 3 && n < room && chain.at < chain.starts->size(); n++)
        starts[n] = (*chain.starts)[chain.at++];
    chain.done = n == 0;
    return n;
}

void Chosen(void *context, uint64_t index, uint64_t start, uint64_t consumed, uint64_t size)
{
    Chain &chain = *(Chain *)context;
    CHECK(3 * index <= chain.chosen.size());
    chain.chosen.resize(3 * index);
    chain.chosen.insert(chain.chosen.end(), {start, consumed, size});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<FoundRecord> plain;
    for (uint64_t pos = 0; pos + 8 <= size;) {
        const bool magic = memcmp(data + pos, MAGIC, 4) == 0;
        const ReferenceResult r = magic ? ReferenceDecode(data + pos + 8, size - pos - 8) : ReferenceResult{};
        if (r.ok)
            plain.push_back({pos, 8 + r.consumed, r.output.size(), Load32(data + pos + 4)});
        pos += r.ok ? 8 + r.consumed : 1;
    }
    std::vector<FoundRecord> found;
    uint64_t steps = 0;
    FindRecords(data, 0, size, &found, &steps);
    CHECK(found.size() == plain.size());
    uint64_t magics = 0;
    for (size_t i = 0; i < found.size(); i++) {
        const FoundRecord &f = found[i], &p = plain[i];
        CHECK(f.position == p.position && f.length == p.length);
        CHECK(f.decoded == p.decoded && f.header_size == p.header_size);
    }
    for (uint64_t pos = 0; pos + 11 <= size; pos++)
        magics += memcmp(data + pos, MAGIC, 4) == 0;
    CHECK(steps <= size + 1 + magics * (std::log2((double)magics + 1) + 2));

    // Every position as a stream start, or (for inputs of odd size) every
    // other one, so that scans meet with more and fewer scans behind them.
    if (size > 0) {
        const uint64_t stride = 1 + size % 2;
        std::vector<uint64_t> starts, sizes, consumed;
        for (uint64_t s = stride - 1; s <= size; s += stride)
            starts.push_back(s);
        const uint64_t n = starts.size();
        sizes.resize(n);
        consumed.resize(n);
        static std::vector<uint8_t> work; // kept from run to run: fresh pages each time cost more than the sweep
        work.resize(std::max<size_t>(work.size(), LZSS_GetScanStreamsWorkSize(n) + 1));
        LZSS_ScanStreams(data, size, starts.data(), n, sizes.data(), consumed.data(), work.data() + 1, &steps);
        CHECK(steps <= size + 1 + n * (std::log2((double)n) + 2));
        // Each check reads a stream that may run to the end: up to 1 KiB all
        // of them, above some 64, the first ones and others spread out.
        const uint64_t skip = size <= 1024 ? 1 : n / 48 + 1;
        for (uint64_t i = 0; i < n; i += i < 16 ? 1 : skip) {
            uint64_t c = 0;
            const uint64_t want = LZSS_GetDecompressedSize(data + starts[i], size - starts[i], &c);
            CHECK(sizes[i] == want && consumed[i] == c);
        }

        // The plain choice among those results, gap bytes apart.
        const uint64_t gap = size / 2 % 10;
        std::vector<uint64_t> plainChain;
        for (uint64_t i = 0, from = 0; i < n; i++)
            if (starts[i] >= from && sizes[i] != UINT64_MAX) {
                plainChain.insert(plainChain.end(), {starts[i], consumed[i], sizes[i]});
                from = starts[i] + consumed[i] + gap;
            }
        static std::vector<uint8_t> chainWork(LZSS_GetScanChainWorkSize() + 1);
        Chain chain = {&starts, 0, false, {}};
        LZSS_ScanChain(data, size, gap, NextStarts, Chosen, &chain, chainWork.data() + 1, &steps);
        CHECK(chain.chosen == plainChain);
        CHECK(steps <= size + 1 + n * (std::log2((double)n) + 2));
    }
    return 0;
}
