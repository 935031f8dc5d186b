// The codec's fast paths against plain byte-at-a-time versions of the same
// rules: the scanner's whole-group walk, the decoder's copy steps and the
// encoders' word filters must give exactly what the plain loops give, on
// valid, cut and damaged streams and on inputs built to stress the search.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LZSS.h"

namespace {

using Bytes = std::vector<uint8_t>;
const uint64_t FAILED = UINT64_MAX;

uint64_t Random(uint64_t &state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

// One item at a time, every check in the order of the format. *self is set
// when the stream fails on a reference to the byte being written.
uint64_t PlainScan(const Bytes &s, uint64_t avail, uint64_t *consumed, bool *self)
{
    uint64_t i = 0, out = 0;
    *self = false;
    for (;;) {
        if (i >= avail)
            return FAILED;
        const unsigned flags = s[i++];
        for (int k = 0; k < 8; k++) {
            if ((flags >> k) & 1) {
                if (i >= avail)
                    return FAILED;
                i++;
                out++;
                continue;
            }
            if (avail - i < 2)
                return FAILED;
            const unsigned word = s[i] | s[i + 1] << 8, field = word & 0xFFF;
            i += 2;
            if (field == 0) {
                *consumed = i;
                return out;
            }
            if ((out & 0xFFF) == field - 1) {
                *self = true;
                return FAILED;
            }
            if (out < field - 1)
                return FAILED;
            out += (word >> 12) + 2;
        }
    }
}

void PlainDecode(const Bytes &s, uint8_t *dst)
{
    uint64_t i = 0, out = 0;
    for (;;) {
        const unsigned flags = s[i++];
        for (int k = 0; k < 8; k++) {
            if ((flags >> k) & 1) {
                dst[out++] = s[i++];
                continue;
            }
            const unsigned word = s[i] | s[i + 1] << 8, field = word & 0xFFF;
            i += 2;
            if (field == 0)
                return;
            uint64_t source = (out & ~(uint64_t)0xFFF) + field - 1;
            if ((out & 0xFFF) < field - 1)
                source -= 4096;
            const unsigned length = (word >> 12) + 2;
            for (unsigned n = 0; n < length; n++)
                dst[out + n] = dst[source + n];
            out += length;
        }
    }
}

// A valid stream of random items: literals at the given rate, references of
// every length, often at distances below 17 where copies overlap.
Bytes RandomStream(uint64_t &rng, int items, unsigned literalPercent)
{
    Bytes s;
    size_t flagAt = 0;
    int bits = 8;
    uint64_t out = 0;
    auto item = [&](unsigned bit) {
        if (bits == 8) {
            flagAt = s.size();
            s.push_back(0);
            bits = 0;
        }
        s[flagAt] |= bit << bits++;
    };
    for (int n = 0; n < items; n++) {
        if (out == 0 || Random(rng) % 100 < literalPercent) {
            item(1);
            s.push_back((uint8_t)Random(rng));
            out++;
            continue;
        }
        const uint64_t reach = out < 4095 ? out : 4095;
        uint64_t d;
        do
            d = 1 + Random(rng) % (Random(rng) % 3 == 0 && reach > 20 ? 20 : reach);
        while (((out - d) & 0xFFF) == 0xFFF);
        const unsigned length = 2 + Random(rng) % 16, field = ((out - d) & 0xFFF) + 1;
        item(0);
        s.push_back(field & 0xFF);
        s.push_back((uint8_t)((length - 2) << 4 | field >> 8));
        out += length;
    }
    item(0);
    s.push_back(0);
    s.push_back((uint8_t)(Random(rng) % 16 << 4)); // the terminator's length code is ignored
    return s;
}

// The scanner agrees with the plain scan on s cut to avail bytes, down to
// the consumed count left alone on failure and the message for a reference
// to the byte being written.
void ExpectSameScan(const Bytes &s, uint64_t avail)
{
    uint64_t want = 7, got = 7;
    bool self;
    const uint64_t expected = PlainScan(s, avail, &want, &self);
    testing::internal::CaptureStdout();
    const uint64_t result = LZSS_GetDecompressedSize(s.data(), avail, &got);
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, expected) << "available " << avail;
    ASSERT_EQ(got, want) << "available " << avail;
    ASSERT_EQ(printed, self ? "(dpos & 0x0FFF) == offset\n" : "") << "available " << avail;
}

TEST(FastPaths, ScannerAndDecoderMatchPlainLoops)
{
    uint64_t rng = 1;
    for (int round = 0; round < 400; round++) {
        const Bytes s = RandomStream(rng, round < 40 ? round : (int)(Random(rng) % 2000), Random(rng) % 101);
        bool self;
        uint64_t consumed = 0;
        const uint64_t size = PlainScan(s, s.size(), &consumed, &self);
        ASSERT_EQ(consumed, s.size());
        Bytes tail = s;
        tail.insert(tail.end(), 20, 0xA5);
        ExpectSameScan(tail, tail.size());
        for (int cut = 0; cut < 30; cut++)
            ExpectSameScan(s, Random(rng) % s.size());
        for (int m = 0; m < 20; m++) {
            Bytes bad = tail;
            bad[Random(rng) % bad.size()] = Random(rng) % 2 ? 0 : (uint8_t)Random(rng);
            ExpectSameScan(bad, Random(rng) % 2 ? bad.size() : Random(rng) % bad.size());
        }
        Bytes want(size + 16, 0xEE), got(size + 16, 0xEE);
        PlainDecode(s, want.data());
        LZSS_Decompress(s.data(), got.data());
        ASSERT_EQ(got, want) << "round " << round;
    }
}

// Inputs that stress the search: few byte values (long queues, many equal
// matches), runs, and repeats near the 4094-byte reach.
std::vector<Bytes> SearchInputs()
{
    uint64_t rng = 2;
    std::vector<Bytes> inputs;
    for (unsigned symbols = 1; symbols <= 4; symbols++)
        for (size_t size : {0, 1, 2, 17, 18, 19, 20, 35, 4095, 4096, 4097, 8193, 30000}) {
            Bytes b(size);
            for (auto &c : b)
                c = (uint8_t)('a' + Random(rng) % symbols);
            inputs.push_back(b);
        }
    Bytes runs, near;
    while (runs.size() < 20000)
        runs.insert(runs.end(), 1 + Random(rng) % 40, (uint8_t)(Random(rng) % 3));
    while (near.size() < 40000) {
        const uint64_t d = 4088 + Random(rng) % 12;
        if (near.size() > d && Random(rng) % 2)
            for (uint64_t n = 1 + Random(rng) % 24, from = near.size() - d; n > 0; n--, from++)
                near.push_back(near[from]);
        else
            near.push_back((uint8_t)(Random(rng) % 16));
    }
    inputs.push_back(runs);
    inputs.push_back(near);
    return inputs;
}

TEST(FastPaths, EncodersAgreeAndRoundTrip)
{
    for (const Bytes &in : SearchInputs()) {
        Bytes fast(LZSS_GetCompressedMaxSize(in.size())), plain(fast.size());
        const uint64_t n = LZSS_CompressSimpleFast(in.data(), in.size(), fast.data());
        ASSERT_EQ(LZSS_CompressSimple(in.data(), in.size(), plain.data()), n) << "size " << in.size();
        ASSERT_EQ(fast, plain) << "size " << in.size();
        uint64_t consumed = 0;
        ASSERT_EQ(LZSS_GetDecompressedSize(fast.data(), n, &consumed), in.size());
        ASSERT_EQ(consumed, n);
        Bytes out(in.size());
        LZSS_Decompress(fast.data(), out.data());
        ASSERT_EQ(out, in);
    }
}

} // namespace
