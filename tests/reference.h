// A second decoder, written for plainness rather than speed, that the codec
// and the tool are checked against: every read is bounds-checked, the output
// grows one byte at a time, and a reference's source is found from its
// distance rather than from the codec's block arithmetic. It also lists the
// references it met, so that tests can see what an encoder chose.
// Free of the test framework so that the fuzz targets can use it too.
#ifndef EXSPACK_TESTS_REFERENCE_H
#define EXSPACK_TESTS_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct Copy {
    uint64_t pos, distance, length;
    bool operator==(const Copy &o) const { return pos == o.pos && distance == o.distance && length == o.length; }
};

struct ReferenceResult {
    bool ok = false;       // a complete stream whose references all name decoded bytes
    uint64_t consumed = 0; // stream bytes up to and including the terminator
    std::vector<uint8_t> output;
    std::vector<Copy> copies;
};

inline ReferenceResult ReferenceDecode(const uint8_t *stream, size_t available)
{
    ReferenceResult result;
    std::vector<uint8_t> &out = result.output;
    size_t i = 0;
    // One item a turn, bit 0 of the flag byte first; a fresh flag byte after eight.
    for (unsigned flags = 0, bits = 0;; flags >>= 1, bits--) {
        if (bits == 0) {
            if (i >= available)
                return result;
            flags = stream[i++], bits = 8;
        }
        if (flags & 1) { // a literal
            if (i >= available)
                return result;
            out.push_back(stream[i++]);
            continue;
        }
        if (i + 2 > available)
            return result;
        const unsigned word = stream[i] | stream[i + 1] << 8, length = (word >> 12) + 2;
        i += 2;
        if ((word & 0xFFF) == 0) {
            result.ok = true;
            result.consumed = i;
            return result;
        }
        // The source is the latest position before the current one whose
        // place in its 4096-byte block is the field less one. The current
        // position itself cannot be copied from, and before the start there
        // is none.
        const size_t distance = (out.size() - ((word & 0xFFF) - 1)) & 0xFFF;
        if (distance == 0 || distance > out.size())
            return result;
        result.copies.push_back({out.size(), distance, length});
        for (unsigned k = 0; k < length; k++) {
            const uint8_t byte = out[out.size() - distance];
            out.push_back(byte);
        }
    }
}

#endif
