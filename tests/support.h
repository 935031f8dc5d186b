// Test-side helpers shared by the codec tests: buffers that end at an
// unreadable page, a builder for hand-made streams, and the one round-trip
// check that every encoded stream goes through.
#ifndef EXSPACK_TESTS_SUPPORT_H
#define EXSPACK_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "LZSS.h"
#include "reference.h"

using Bytes = std::vector<uint8_t>;

// size bytes that end right before a page the process may not touch, so that
// reading or writing one byte too far faults instead of passing unnoticed.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size, const uint8_t *contents = nullptr);
    GuardedBuffer(const Bytes &contents) : GuardedBuffer(contents.size(), contents.data()) {}
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;
    uint8_t *data() { return data_; }
    Bytes bytes(size_t n) const { return Bytes(data_, data_ + n); }

private:
    void *map_ = nullptr;
    size_t mapped_ = 0;
    uint8_t *data_ = nullptr;
};

// Builds a stream item by item: flag bytes are filled in as items arrive.
struct StreamBuilder {
    Bytes bytes;
    size_t flagAt = 0;
    int items = 8;
    void Flag(bool literal);
    StreamBuilder &Literals(const std::string &text);
    StreamBuilder &Word(unsigned word); // a reference item with any 16-bit content
    StreamBuilder &Reference(unsigned field, unsigned length) { return Word(field | (length - 2) << 12); }
};

struct ScanResult {
    uint64_t size, consumed; // consumed stays 0xC0FFEE unless the scan succeeds
};

// Scans stream with exactly `available` of its bytes readable.
ScanResult Scan(const Bytes &stream, size_t available);
inline ScanResult Scan(const Bytes &stream) { return Scan(stream, stream.size()); }

// Scans, then decodes into a guarded buffer of exactly the scanned size from
// a guarded copy of exactly the consumed bytes.
Bytes Decode(const Bytes &stream);

struct Streams {
    Bytes greedy, optimal;
};

// Packs input with every encoder and checks all that their streams must
// satisfy at once: the two greedy encoders write the same bytes, no stream
// exceeds the bound or the optimal one the greedy one, the scanner accepts
// each whole, and each decodes to the input.
Streams RoundTrip(const Bytes &input);

// The sample files, for tests that run on each, and their names as test names.
extern const char *const kCorpusFiles[9];
std::string CorpusTestName(const testing::TestParamInfo<const char *> &info);

Bytes FromText(const std::string &text);
Bytes FromHex(const std::string &hex);
Bytes ReadFile(const std::string &path);

#endif
