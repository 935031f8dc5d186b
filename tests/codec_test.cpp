// The codec through its public functions: tables of known and malformed
// streams, and properties over generated inputs and streams.
#include "support.h"

#include <random>

namespace {

const uint64_t FAIL = UINT64_MAX;
const char *const SELF = "(dpos & 0x0FFF) == offset\n";

// Up to 8192 bytes with no byte value shared with ASCII text and no pair of
// bytes twice: nothing in it matches anything.
Bytes Filler(size_t n)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; i++)
        bytes[i] = (uint8_t)(0x80 | (i % 128) * (2 * (i / 128) + 1) % 128);
    return bytes;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<Copy> Copies(const Bytes &stream) { return ReferenceDecode(stream.data(), stream.size()).copies; }

bool Has(const std::vector<Copy> &copies, Copy c) { return std::find(copies.begin(), copies.end(), c) != copies.end(); }

} // namespace

TEST(Encoders, KnownStreams)
{
    const struct {
        Bytes input;
        std::string greedy;
        size_t optimal; // size of the optimal stream
    } cases[] = {
        {{}, "000000", 3},
        {FromText("A"), "01 41 0000", 4},
        {FromText("aa"), "03 6161 0000", 5},
        {FromText("aaa"), "01 61 0100 0000", 6},
        {FromText("abcdefgh"), "FF 6162636465666768 00 0000", 12}, // a full group, then the terminator's flag byte
        {FromText("abcdefghi"), "FF 6162636465666768 01 69 0000", 13},
        {FromText("abcabc"), "07 616263 0110 0000", 8},
        {FromText("ababab"), "03 6162 0120 0000", 7},
        {Bytes(18, 'a'), "01 61 01F0 0000", 6},
        {Bytes(19, 'a'), "05 61 01F0 61 0000", 7},
        {Bytes(20, 'a'), "01 61 01F0 1200 0000", 8},
        {FromText("abcXabcYabc"), "2F 616263 58 0110 59 0510 0000", 12}, // the nearer of two equal matches
        {FromText("abcXabcYabcZ"), "AF 616263 58 0110 59 0510 5A 00 0000", 14}, // also short of the end
        // Greedy takes "ab" at 11; the optimum spells "a" and copies "bcdefgh".
        {FromText("abXbcdefghYabcdefgh"), "FF 6162586263646566 07 676859 0100 0540 0000", 18},
    };
    for (const auto &c : cases) {
        const Streams s = RoundTrip(c.input);
        EXPECT_EQ(s.greedy, FromHex(c.greedy)) << c.greedy;
        EXPECT_EQ(s.optimal.size(), c.optimal) << c.greedy;
    }
    // Literals only: exactly the bound.
    EXPECT_EQ(LZSS_GetCompressedMaxSize(9), 13u);
    EXPECT_EQ(LZSS_GetCompressedMaxSize(UINT64_MAX - 4), UINT64_MAX / 8 + UINT64_MAX - 1);
    for (size_t n : {1, 8, 9, 16, 17, 256})
        EXPECT_EQ(RoundTrip(Filler(n)).greedy.size(), LZSS_GetCompressedMaxSize(n)) << n;
}

TEST(Encoders, WindowEdgeAndUnnamableSources)
{
    const Bytes abcde = FromText("ABCDE");
    // Distance 4094 is in reach, 4095 is not.
    EXPECT_TRUE(Has(Copies(RoundTrip(Cat({abcde, Filler(4089), abcde})).greedy), {4094, 4094, 5}));
    EXPECT_EQ(Copies(RoundTrip(Cat({abcde, Filler(4090), abcde})).greedy).size(), 0u);

    // 15 distinct bytes and a run: distance 1 everywhere but at 4096, whose
    // neighbour 4095 cannot be named.
    Bytes run = Filler(15);
    run.resize(4215, 0x61);
    const std::vector<Copy> copies = Copies(RoundTrip(run).greedy);
    EXPECT_TRUE(copies.size() == 247u && Has(copies, {4096, 2, 17}) && Has(copies, {4198, 1, 17}));
    // A run long enough to fill its byte's queue to the brim.
    EXPECT_EQ(RoundTrip(Bytes(5000, 'a')).greedy.size(), 630u);

    // At 4110 the only 6-byte match at distance 15 starts at 4095: the
    // encoders take the same bytes from 2000 instead.
    Bytes input = Filler(4116);
    for (size_t at : {2000, 4095, 4110})
        std::copy(abcde.begin(), abcde.end(), input.begin() + at), input[at + 5] = 'F';
    input[2006] = 'Z', input[4101] = 'W';
    const Streams s = RoundTrip(input);
    EXPECT_TRUE(Has(Copies(s.greedy), {4110, 2110, 6}));
    EXPECT_TRUE(Has(Copies(s.optimal), {4110, 2110, 6}));
}

// Streams the scanner refuses, and what it prints for each; the seeds of
// the decode fuzz target hold these and many more, checked against the
// plain decoder on every test run.
TEST(Scanner, RefusalsAndTheirMessage)
{
    Bytes x4096; // 4096 literals in whole groups
    for (int group = 0; group < 512; group++)
        x4096.push_back(0xFF), x4096.insert(x4096.end(), 8, 'x');
    const struct {
        Bytes stream;
        const char *printed;
    } cases[] = {
        {FromHex("000100"), SELF},
        {FromHex("000200"), ""}, // before the start
        {FromHex("1F 4142434445 0600 0000"), SELF}, // the place of the byte being written
        {FromHex("1F 4142434445 0700 0000"), ""},
        {Cat({x4096, FromHex("00 0100 0000")}), SELF},
        {Cat({x4096, FromHex("0F 61626364 0500 0000")}), SELF},
        {FromHex("0000"), ""}, // the terminator cut short
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStdout();
        const ScanResult r = Scan(c.stream);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << testing::PrintToString(c.stream);
        EXPECT_EQ(r.size, FAIL);
        EXPECT_EQ(r.consumed, 0xC0FFEEu) << "consumed is written only on success";
    }
}
