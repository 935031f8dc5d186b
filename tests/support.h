// Test-side helpers shared by the codec tests: scanning and decoding in
// buffers that end at an unreadable page, and the one round-trip check that
// every encoded stream goes through.
#ifndef EXSPACK_TESTS_SUPPORT_H
#define EXSPACK_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LZSS.h"
#include "reference.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "guarded.h"

struct ScanResult {
    uint64_t size, consumed; // consumed stays 0xC0FFEE unless the scan succeeds
};


struct Streams {
    Bytes greedy, optimal;
};


// Scans stream with exactly its bytes readable.
inline ScanResult Scan(const Bytes &stream)
{
    GuardedBuffer guarded(stream.size(), stream.data());
    ScanResult result{0, 0xC0FFEE};
    result.size = LZSS_GetDecompressedSize(guarded.data(), stream.size(), &result.consumed);
    return result;
}

// Scans, then decodes into a guarded buffer of exactly the scanned size from
// a guarded copy of exactly the consumed bytes.
inline Bytes Decode(const Bytes &stream)
{
    const ScanResult scan = Scan(stream);
    EXPECT_NE(scan.size, UINT64_MAX);
    if (scan.size == UINT64_MAX)
        return {};
    GuardedBuffer in(scan.consumed, stream.data());
    GuardedBuffer out(scan.size);
    LZSS_Decompress(in.data(), out.data());
    return out.bytes(scan.size);
}

// Checks one encoder's stream of n bytes written into a buffer of the bound.
inline Bytes Checked(const Bytes &input, GuardedBuffer &out, uint64_t n, const char *encoder)
{
    EXPECT_LE(n, LZSS_GetCompressedMaxSize(input.size())) << encoder;
    if (n > LZSS_GetCompressedMaxSize(input.size()))
        return {};
    const Bytes stream = out.bytes(n);
    const ScanResult scan = Scan(stream);
    EXPECT_EQ(scan.consumed, n) << encoder;
    EXPECT_EQ(scan.size, input.size()) << encoder;
    EXPECT_TRUE(scan.size == input.size() && Decode(stream) == input) << encoder << " does not decode to the input";
    return stream;
}

// Packs input with every encoder and checks all that their streams must
// satisfy at once: the two greedy encoders write the same bytes, no stream
// exceeds the bound or the optimal one the greedy one, the scanner accepts
// each whole, and each decodes to the input.
inline Streams RoundTrip(const Bytes &input)
{
    const uint64_t bound = LZSS_GetCompressedMaxSize(input.size());
    GuardedBuffer in(input), fast(bound), simple(bound), optimal(bound);
    GuardedBuffer work(LZSS_GetOptimalWorkSize(input.size()) + 1);
    const uint64_t n = LZSS_CompressSimpleFast(in.data(), input.size(), fast.data());
    Streams streams{Checked(input, fast, n, "greedy"), {}};
    EXPECT_TRUE(LZSS_CompressSimple(in.data(), input.size(), simple.data()) == n &&
                memcmp(simple.data(), fast.data(), n) == 0)
        << "the two greedy encoders disagree";
    // Scratch one byte off alignment: the encoder takes any.
    const uint64_t m = LZSS_CompressOptimal(in.data(), input.size(), optimal.data(), work.data() + 1);
    streams.optimal = Checked(input, optimal, m, "optimal");
    EXPECT_LE(m, n) << "the optimal stream is larger than the greedy one";
    return streams;
}

// The sample files, for tests that run on each.
inline const char *const kCorpusFiles[9] = {"alice29.txt", "lcet10.txt", "plrabn12.txt", "html", "urls.10K",
                                     "geo.protodata", "kppkn.gtb", "paper-100k.pdf", "fireworks.jpeg"};


inline Bytes FromText(const std::string &text) { return Bytes(text.begin(), text.end()); }

inline Bytes FromHex(const std::string &hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += hex[i] == ' ' ? 1 : 2)
        if (hex[i] != ' ')
            bytes.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

inline Bytes ReadFile(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// True in CI, which installs every tool and lays every sample file beside
// the clone: a test that cannot run there has failed.
inline bool InCi()
{
    const char *ci = getenv("CI");
    return ci != nullptr && strcmp(ci, "true") == 0;
}

// Skips the test, saying why, where something it needs is missing; fails it
// in CI. A test must not pass on nothing.
#define SKIP_UNLESS_CI(why)                                                                   \
    do {                                                                                      \
        if (InCi())                                                                           \
            FAIL() << "not run in CI: " << (why);                                             \
        GTEST_SKIP() << (why);                                                                \
    } while (0)

// A sample file the test reads must be there: a test must not pass on
// nothing, nor crash on an empty buffer.
#define REQUIRE_SAMPLE(path)                                                                  \
    do {                                                                                      \
        if (!std::ifstream(path))                                                             \
            SKIP_UNLESS_CI(std::string("sample file missing, test not run: ") + (path));      \
    } while (0)

#endif
