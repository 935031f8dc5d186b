// Test-side helpers shared by the codec tests: buffers that end at an
// unreadable page, a builder for hand-made streams, and the round-trip check.
#ifndef EXSPACK_TESTS_SUPPORT_H
#define EXSPACK_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "LZSS.h"

using Bytes = std::vector<uint8_t>;

// size bytes that end right before a page the process may not touch, so that
// reading or writing one byte too far faults instead of passing unnoticed.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size);
    GuardedBuffer(const Bytes &contents);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;

    uint8_t *data() { return data_; }
    size_t size() const { return size_; }
    Bytes bytes() const { return Bytes(data_, data_ + size_); }

private:
    void *map_ = nullptr;
    size_t mapped_ = 0;
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
};

// Builds a stream item by item: flag bytes are filled in as items arrive.
class StreamBuilder {
public:
    StreamBuilder &Literal(uint8_t byte);
    StreamBuilder &Literals(const std::string &text);
    StreamBuilder &Reference(unsigned field, unsigned length);
    StreamBuilder &Terminator(unsigned lengthCode = 0) { return Word(lengthCode << 12); }
    StreamBuilder &Word(unsigned word); // a reference item with any 16-bit content
    Bytes Build() const { return bytes_; }

private:
    void Flag(bool literal);
    Bytes bytes_;
    size_t flagAt_ = 0;
    int items_ = 8;
};

struct ScanResult {
    uint64_t size;
    uint64_t consumed;
};

// Scans stream with exactly `available` of its bytes readable.
ScanResult Scan(const Bytes &stream, size_t available);
inline ScanResult Scan(const Bytes &stream) { return Scan(stream, stream.size()); }

// Scans, then decodes into a buffer of exactly the scanned size.
Bytes Decode(const Bytes &stream);

// Compresses with the queue encoder into a guarded buffer of exactly the bound.
Bytes Compress(const Bytes &input);

// Everything an encoded stream must satisfy at once: within the bound, the
// scanner accepts all of it, it decodes to the input, and both encoders
// wrote the same bytes. Returns the stream.
Bytes RoundTrip(const Bytes &input);

// The sample files in EXSPACK_CORPUS, for tests that run on each, and their
// names as test names.
extern const char *const kCorpusFiles[9];
std::string CorpusTestName(const testing::TestParamInfo<const char *> &info);

Bytes FromText(const std::string &text);
Bytes FromHex(const std::string &hex);
Bytes ReadFile(const std::string &path);

#endif
