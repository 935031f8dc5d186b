// The optimal-parse encoder is exactly as small as a search over every
// distance and length; RoundTrip checks everything else its streams promise.
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
    std::vector<uint64_t> bits(n + 1, 0);
    for (size_t pos = n; pos-- > 0;) {
        unsigned longest = 0;
        for (size_t distance = 1; distance <= std::min<size_t>(pos, 4094); distance++) {
            unsigned len = 0;
            while (distance != (pos & 0xFFF) + 1 && len < 17 && pos + len < n &&
                   input[pos - distance + len] == input[pos + len])
                len++;
            longest = std::max(longest, len);
        }
        bits[pos] = bits[pos + 1] + 9;
        for (unsigned len = 2; len <= longest; len++)
            bits[pos] = std::min(bits[pos], bits[pos + len] + 17);
    }
    return (bits[0] + 17 + 7) / 8; // the terminator is one more reference
}

Bytes Random(size_t n, unsigned alphabet, std::mt19937 &rng)
{
    Bytes bytes(n);
    for (uint8_t &b : bytes)
        b = (uint8_t)(0x80 + rng() % alphabet);
    return bytes;
}

} // namespace

// Runs, tiny alphabets and patterns around the 4096-byte blocks, where the
// encoders' shortcuts and the unnamable sources act: all three encoders'
// streams round-trip and the optimal one is as small as can be.
TEST(Optimal, AsSmallAsTheSlowShortestPath)
{
    std::mt19937 rng(11);
    std::vector<Bytes> inputs;
    for (unsigned alphabet : {1, 2, 3, 4, 8, 26})
        for (size_t n : {1, 2, 3, 40, 300, 2000, 8400})
            inputs.push_back(Random(n, alphabet, rng));
    for (size_t n : {17, 18, 19, 35, 4094, 4095, 4096, 4097, 8193})
        inputs.push_back(Bytes(n, 'a'));
    // Ties everywhere: short words from a tiny dictionary.
    Bytes words;
    while (words.size() < 30000)
        words.push_back((uint8_t)("xyz "[rng() % 4]));
    inputs.push_back(words);
    // A pattern repeated at periods that put the best source at 4095, 8191
    // and 12287 just when it would be taken.
    for (size_t period : {15, 16, 17, 4094, 4095}) {
        Bytes input = Random(12300, 128, rng);
        for (size_t p = 4095; p + 6 < input.size(); p += 4096)
            for (size_t k = 0; k < 6; k++)
                input[p + k] = input[std::min(p + period + k, input.size() - 1)] = (uint8_t)('A' + k);
        inputs.push_back(input);
    }
    // Runs of zeros of every length r, r + 2 long on average. In the first
    // kind r zeros then a 3 at 4096 + r match most at 4095, which cannot be
    // named: the source one older or the next run that long must stand in.
    // In the second, runs of r bytes 0xEE at 3001, 4095, 4201 and 4301 (4094
    // for even r) start only at the unnamable 4095 and elsewhere, and the
    // longest match at 4301 runs one byte past the run.
    for (size_t r = 2; r <= 17; r++) {
        Bytes zeros(4400), letters(4400);
        for (size_t i = 0; i < zeros.size(); i++)
            zeros[i] = rng() % (r + 3) ? 0 : (uint8_t)(1 + rng() % 2), letters[i] = rng() % (r + 3) ? 0 : (uint8_t)('a' + rng() % 26);
        std::fill(zeros.begin() + 4095 - r % 2, zeros.begin() + 4097 + 2 * r, 0);
        zeros[4095 + r] = zeros[4096 + 2 * r] = 3;
        for (size_t at : {3000, 4094, 4200, 4300}) {
            letters[at] = (uint8_t)(r % 2 == 0 && at == 4094 ? 0xEE : 'A' + at / 100 % 26);
            std::fill(letters.begin() + at + 1, letters.begin() + at + r + 1, 0xEE);
        }
        letters[4201 + r] = letters[4301 + r] = 'X', letters[4202 + r] = 'Y';
        inputs.push_back(zeros), inputs.push_back(letters);
    }
    // A run of zeros longer than a queue holds, then a nearer match than the
    // far end of that run.
    Bytes long_run(6677, 0);
    long_run[216] = 0x21, long_run[4316] = long_run[6346] = 0x40;
    inputs.push_back(long_run);
    for (const Bytes &input : inputs)
        EXPECT_EQ(RoundTrip(input).optimal.size(), SmallestStreamSize(input)) << input.size() << " bytes";
}

// The starts of the sample files, and pieces of sparse sprites, padded
// tables, few-valued bitmaps, tiles and meshes; and each file whole through
// the round trip.
TEST(Optimal, SmallestOnPiecesOfSampleFiles)
{
    std::vector<std::pair<std::string, size_t>> pieces;
    for (const char *file : kCorpusFiles)
        pieces.push_back({std::string(EXSPACK_CORPUS) + "/" + file, 0});
    for (const char *name : {"sprites4bpp.bin", "padded.bin", "bitmap1bpp.bin", "tilemap.bin", "mesh.bin"})
        pieces.push_back({std::string(EXSPACK_CORPUS) + "/../gamelike/" + name, 262144});
    for (const auto &[path, from] : pieces) {
        REQUIRE_SAMPLE(path);
        const Bytes file = ReadFile(path);
        ASSERT_GE(file.size(), from + 9000) << path;
        const Bytes input(file.begin() + from, file.begin() + from + std::min<size_t>(file.size() - from, 12288));
        EXPECT_EQ(RoundTrip(input).optimal.size(), SmallestStreamSize(input)) << path;
        RoundTrip(file);
    }
}

TEST(Optimal, LargeInputsAcrossTheSplit)
{
    // Large enough to be searched in two halves, with repeats across the
    // middle; a literal and 17-byte references are as few items as can be.
    std::mt19937 rng(3);
    Bytes text;
    while (text.size() < 200000) {
        const Bytes word = Random(1 + rng() % 6, 6, rng);
        text.insert(text.end(), word.begin(), word.end());
        text.push_back(' ');
    }
    const Bytes stream = RoundTrip(text).optimal;
    EXPECT_EQ(RoundTrip(text).optimal, stream) << "the same input gives the same stream";
    // A repeat just behind the middle whose source lies 3000 bytes before it.
    Bytes noise = Random(70000, 256, rng);
    std::copy(noise.begin() + 32000, noise.begin() + 32017, noise.begin() + 35010);
    EXPECT_LT(RoundTrip(noise).optimal.size(), LZSS_GetCompressedMaxSize(70000));
    const Streams run = RoundTrip(Bytes(70000, 'a'));
    EXPECT_EQ(run.optimal.size(), run.greedy.size());
    EXPECT_LE(LZSS_GetOptimalWorkSize(1000000), 8000000u + (1u << 20));
    EXPECT_EQ(LZSS_GetOptimalWorkSize(UINT64_MAX / 2), UINT64_MAX);
}
