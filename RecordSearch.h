// Finding records in a larger file (an archive, a disc image) whose positions
// nobody wrote down.
#ifndef EXSPACK_RECORDSEARCH_H
#define EXSPACK_RECORDSEARCH_H

#include <stdint.h>

struct FoundRecord {
    uint64_t position;    // of the record's first byte, its magic
    uint64_t length;      // header, stream and terminator
    uint64_t decoded;     // the number of bytes the stream decodes to
    uint32_t header_size; // what the header's size field claims
};

// Finds the first record that starts at or after `from` in data[0 .. size - 1]:
// a position holding the magic 45 58 53 01, with at least 11 bytes from it to
// the end, whose stream LZSS_GetDecompressedSize accepts with every byte up to
// the end available. This is exactly what unpacking at that position accepts.
// Returns false when there is none.
//
// Fills *found only on success. The next record that does not overlap this
// one is found by searching on from found->position + found->length.
//
// Each candidate is checked with the codec's scanner, so this is a codec call
// like any other (calls must not overlap), and a candidate whose stream refers
// to the byte being written leaves the scanner's message on stdout.
bool FindRecord(const uint8_t *data, uint64_t size, uint64_t from, FoundRecord *found);

#endif
