// The optimal-parse encoder: valid streams, never larger than the greedy
// encoder's, and exactly as small as a search over every distance and length.
#include "support.h"

#include <random>

namespace {

// Size of the smallest stream for input, the slow way: the longest match at
// every position from every distance (the source ending in 0xFFF left out),
// then the cheapest path where each of those lengths down to 2 is an edge of
// 17 bits and each literal one of 9.
uint64_t SmallestStreamSize(const Bytes &input)
{
    const size_t n = input.size();
    std::vector<unsigned> longest(n, 0);
    for (size_t pos = 0; pos < n; pos++) {
        for (size_t distance = 1; distance <= std::min<size_t>(pos, 4094); distance++) {
            if (distance == (pos & 0xFFF) + 1)
                continue;
            unsigned len = 0;
            while (len < 17 && pos + len < n && input[pos - distance + len] == input[pos + len])
                len++;
            longest[pos] = std::max(longest[pos], len);
        }
    }
    std::vector<uint64_t> bits(n + 1, UINT64_MAX);
    bits[n] = 0;
    for (size_t pos = n; pos-- > 0;) {
        bits[pos] = bits[pos + 1] + 9;
        for (unsigned len = 2; len <= longest[pos]; len++)
            bits[pos] = std::min(bits[pos], bits[pos + len] + 17);
    }
    return (bits[0] + 17 + 7) / 8; // the terminator is one more reference
}

struct Encoded {
    Bytes stream;
    uint64_t result;
};

// Encodes into a guarded buffer of exactly the bound, with guarded scratch of
// exactly the size asked for, placed one byte off alignment.
Encoded CompressOptimal(const Bytes &input)
{
    GuardedBuffer in(input);
    GuardedBuffer out(LZSS_GetCompressedMaxSize(input.size()));
    GuardedBuffer work(LZSS_GetOptimalWorkSize(input.size()) + 1);
    const uint64_t n = LZSS_CompressOptimal(in.data(), input.size(), out.data(), work.data() + 1);
    return {Bytes(out.data(), out.data() + std::min<uint64_t>(n, out.size())), n};
}

// Everything an optimal stream must satisfy; returns it.
Bytes CheckOptimal(const Bytes &input)
{
    const Encoded optimal = CompressOptimal(input);
    EXPECT_LE(optimal.result, LZSS_GetCompressedMaxSize(input.size()));
    EXPECT_LE(optimal.stream.size(), Compress(input).size()) << "larger than the greedy stream";
    const ScanResult scan = Scan(optimal.stream);
    EXPECT_EQ(scan.consumed, optimal.stream.size());
    EXPECT_EQ(scan.size, input.size());
    EXPECT_TRUE(Decode(optimal.stream) == input) << "the stream does not decode to the input";
    return optimal.stream;
}

Bytes Random(size_t n, unsigned alphabet, std::mt19937 &rng)
{
    Bytes bytes(n);
    for (uint8_t &b : bytes)
        b = (uint8_t)('a' + rng() % alphabet);
    return bytes;
}

} // namespace

TEST(Optimal, KnownStreams)
{
    EXPECT_EQ(CheckOptimal({}), FromHex("000000"));
    EXPECT_EQ(CheckOptimal(FromText("A")), FromHex("01 41 0000"));
    EXPECT_EQ(CheckOptimal(FromText("abcabc")), FromHex("07 616263 0110 0000"));
    // Greedy takes 17 then 2 (3 items); 2 items of 19 cannot be, so the
    // optimum is as small: 3 items either way.
    EXPECT_EQ(CheckOptimal(Bytes(20, 'a')).size(), Compress(Bytes(20, 'a')).size());
    // At 11 greedy takes "ab" and then "cdefgh" in a second reference; the
    // optimum writes "a" as a literal and "bcdefgh" as one reference.
    const Bytes input = FromText("abXbcdefghYabcdefgh");
    EXPECT_EQ(CheckOptimal(input).size(), 18u);
    EXPECT_EQ(Compress(input).size(), 19u);
}

TEST(Optimal, WorkSize)
{
    EXPECT_LE(LZSS_GetOptimalWorkSize(0), 1u << 20);
    EXPECT_LE(LZSS_GetOptimalWorkSize(1000000), 8000000u + (1u << 20));
    EXPECT_EQ(LZSS_GetOptimalWorkSize(UINT64_MAX / 2), UINT64_MAX);
}

TEST(Optimal, MatchesSlowShortestPath)
{
    std::mt19937 rng(11);
    std::vector<Bytes> inputs;
    for (unsigned alphabet : {1, 2, 3, 4, 8, 26})
        for (size_t n : {1, 2, 3, 40, 300, 2000})
            inputs.push_back(Random(n, alphabet, rng));
    // Past 4096 bytes sources at 4095 and 8191 turn up, and tiny alphabets
    // put the best match there often.
    for (unsigned alphabet : {2, 3})
        inputs.push_back(Random(8400, alphabet, rng));
    Bytes words;
    while (words.size() < 6000)
        words.push_back((uint8_t)("ab c"[rng() % 4]));
    inputs.push_back(words);
    for (const Bytes &input : inputs)
        EXPECT_EQ(CheckOptimal(input).size(), SmallestStreamSize(input)) << input.size() << " bytes";
}

TEST(Optimal, LongestMatchOnlyAtAnUnnamableSource)
{
    // At 4110 the longest match starts at 4095 and cannot be used; the same
    // six bytes wait at 2000, and shorter ones elsewhere.
    Bytes input(4200);
    std::mt19937 rng(5);
    for (uint8_t &b : input)
        b = (uint8_t)(0x80 | rng() % 128);
    const Bytes six = FromText("QRSTUV");
    for (size_t at : {size_t(4095), size_t(4110)})
        std::copy(six.begin(), six.end(), input.begin() + at);
    EXPECT_EQ(CheckOptimal(input).size(), SmallestStreamSize(input));
    std::copy(six.begin(), six.end(), input.begin() + 2000);
    EXPECT_EQ(CheckOptimal(input).size(), SmallestStreamSize(input));
    std::copy(six.begin(), six.begin() + 3, input.begin() + 3000);
    input[2000] = 'x';
    EXPECT_EQ(CheckOptimal(input).size(), SmallestStreamSize(input));
}

TEST(Optimal, RunsAndBlockBoundaries)
{
    for (size_t n : {17, 18, 19, 35, 4095, 4096, 4097, 8192})
        EXPECT_EQ(CheckOptimal(Bytes(n, 0x61)).size(), SmallestStreamSize(Bytes(n, 0x61))) << n;
    // A literal and references of 17 (distance 2 where distance 1 would name
    // a source ending in 0xFFF) are as few items as can be.
    EXPECT_EQ(CheckOptimal(Bytes(70000, 0x61)).size(), Compress(Bytes(70000, 0x61)).size());
}

TEST(Optimal, LargeInputsAcrossTheSplit)
{
    // Inputs large enough to be searched in two halves, with repeats across
    // the middle and around it.
    std::mt19937 rng(3);
    Bytes text;
    while (text.size() < 200000) {
        const Bytes word = Random(1 + rng() % 6, 6, rng);
        text.insert(text.end(), word.begin(), word.end());
        text.push_back(' ');
    }
    const Bytes stream = CheckOptimal(text);
    EXPECT_EQ(CompressOptimal(text).stream, stream) << "the same input gives the same stream";
    CheckOptimal(Random(150001, 256, rng));
}

class OptimalCorpus : public testing::TestWithParam<const char *> {};

// A whole file is too large for the slow search; its first 12 KiB are not.
TEST_P(OptimalCorpus, SmallerThanGreedyAndOptimalOnItsStart)
{
    const Bytes input = ReadFile(std::string(EXSPACK_CORPUS) + "/" + GetParam());
    ASSERT_FALSE(input.empty());
    CheckOptimal(input);
    const Bytes start(input.begin(), input.begin() + std::min<size_t>(input.size(), 12288));
    EXPECT_EQ(CheckOptimal(start).size(), SmallestStreamSize(start));
}

INSTANTIATE_TEST_SUITE_P(Files, OptimalCorpus, testing::ValuesIn(kCorpusFiles), CorpusTestName);

// Runs of zeros of every length, r + 2 long on average, with a letter after
// each. Among them runs of r bytes 0xEE at 3001, 4095 (one longer for even
// r), 4201 and 4301, each after a letter of its own: r of them start only at
// the unnamable 4095 and elsewhere, and with an X after those at 4201 and
// 4301 the longest match at 4301 is r + 1 bytes. Then pieces of the
// game-like files.
TEST(Optimal, RunsOfEveryLengthAndSparseData)
{
    std::mt19937 rng(9);
    for (size_t r : {2, 3, 8, 9, 16, 17}) {
        Bytes input(4400);
        for (uint8_t &b : input)
            b = rng() % (r + 3) != 0 ? 0 : (uint8_t)('a' + rng() % 26);
        for (size_t at : {3000, 4094, 4200, 4300}) {
            input[at] = (uint8_t)(r % 2 == 0 && at == 4094 ? 0xEE : 'A' + at / 100 % 26);
            std::fill(input.begin() + at + 1, input.begin() + at + r + 1, 0xEE);
        }
        input[4201 + r] = input[4301 + r] = 'X';
        input[4202 + r] = 'Y';
        EXPECT_EQ(CheckOptimal(input).size(), SmallestStreamSize(input)) << r;
    }
    for (const char *name : {"sprites4bpp.bin", "padded.bin", "bitmap1bpp.bin", "tilemap.bin", "mesh.bin"}) {
        const Bytes file = ReadFile(std::string(EXSPACK_CORPUS) + "/../gamelike/" + name);
        ASSERT_GE(file.size(), 300000u) << name;
        const Bytes piece(file.begin() + 262144, file.begin() + 271144);
        EXPECT_EQ(CheckOptimal(piece).size(), SmallestStreamSize(piece)) << name;
    }
}
