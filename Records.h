// Records in a file: their layout, the check that unpacking one at a
// position makes, and finding them in a larger file (an archive, a disc
// image) whose positions nobody wrote down.
#ifndef EXSPACK_RECORDS_H
#define EXSPACK_RECORDS_H

#include <stdint.h>

// The record layout: an 8-byte header, the magic 45 58 53 01 and the
// uncompressed size (both little-endian), then the stream. The smallest
// record holds the 3-byte empty stream.
static const uint32_t RECORD_MAGIC = 0x01535845;
static const uint64_t HEADER_SIZE = 8;
static const uint64_t SMALLEST_RECORD = HEADER_SIZE + 3;

struct FoundRecord {
    uint64_t position;    // of the record's first byte, its magic
    uint64_t length;      // header, stream and terminator
    uint64_t decoded;     // the number of bytes the stream decodes to
    uint32_t header_size; // what the header's size field claims
};

enum RecordCheck { RECORD_OK, RECORD_SMALL, RECORD_BAD };

// Whether data[0 .. size - 1] holds a record at position: RECORD_SMALL when
// fewer than SMALLEST_RECORD bytes are left from there, RECORD_BAD when the
// scanner refuses its stream with every byte up to the end available.
// Fills *found only on RECORD_OK. The header is not looked at.
RecordCheck CheckRecord(const uint8_t *data, uint64_t size, uint64_t position, FoundRecord *found);

// Finds the first record that starts at or after `from` in data[0 .. size - 1]:
// a position holding the magic that CheckRecord accepts, exactly what
// unpacking at that position accepts.
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
