// Records in a file: their layout, the check that unpacking one at a
// position makes, finding them in a larger file (an archive, a disc image)
// whose positions nobody wrote down, and putting an edited one back into the
// room the old one had.
#ifndef EXSPACK_RECORDS_H
#define EXSPACK_RECORDS_H

#include <stdint.h>

#include <vector>

#include "Platform.h"

// The record layout: an 8-byte header, the magic 45 58 53 01 and the
// uncompressed size (both little-endian), then the stream. The smallest
// record holds the 3-byte empty stream.
static const uint32_t RECORD_MAGIC = 0x01535845;
static const uint64_t HEADER_SIZE = 8;
static const uint64_t SMALLEST_RECORD = HEADER_SIZE + 3;

// Writes the header of a record of size decoded bytes into to[0 .. 7].
void WriteHeader(uint8_t *to, uint64_t size);

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
// Each candidate is checked with the codec's scanner, one after another, so
// this is a codec call like any other (calls must not overlap), and a
// candidate whose stream refers to the byte being written leaves the
// scanner's message on stdout. Each candidate costs a pass of its stream,
// which may run on to the end of the data: for every record of a large area,
// FindRecords.
bool FindRecord(const uint8_t *data, uint64_t size, uint64_t from, FoundRecord *found);

// Every record in data[from .. end - 1], in order, each found behind the one
// before: exactly the records that FindRecord finds, called from `from` and
// then from behind each record found, appended to *found. The streams of all
// candidates are scanned in one sweep (LZSS_ScanChain) as the search for
// magics reaches them, so the cost is linear in end - from (n log n in the
// number of magics at worst) whatever the bytes, and the memory besides the
// records found (32 bytes each, a record taking 11 bytes at least) is a
// fixed 8.5 MiB of work (LZSS_GetScanChainWorkSize), of which only what the
// streams under way at once need is touched, kept by the thread from call to
// call; nothing is printed. With steps, *steps receives the sweep's work (see
// LZSS_ScanStreams), 0 where it did not run. Returns false, having appended
// nothing, when the work memory cannot be had.
bool FindRecords(const uint8_t *data, uint64_t from, uint64_t end, std::vector<FoundRecord> *found,
                 uint64_t *steps = nullptr);

// Decodes the record that CheckRecord found at data + record.position into
// *decoded, record.decoded bytes. Error: "Error: malloc()".
Error DecodeRecord(const uint8_t *data, const FoundRecord &record, Buffer *decoded);

// Whether data[0 .. size - 1] holds the magic at position: a record that
// CheckRecord accepts there is then one that the search lists.
bool HoldsMagic(const uint8_t *data, uint64_t size, uint64_t position);

// How a record was put back: the old one left as it was, or a new one of the
// room's length from the default or the fitted encoder, or a shorter one
// followed by zero bytes up to the room's end.
enum PutStream { PUT_SAME, PUT_DEFAULT, PUT_FITTED, PUT_PADDED };
extern const char *const PUT_STREAM_NAMES[4];

struct Placement {
    FoundRecord room;     // the record that was there; room.length is the room
    uint64_t length;      // the new record's length: header, stream and terminator
    uint64_t smallest;    // the smallest record that can be made of the input
    PutStream stream;
    uint8_t *record;      // the new record, room.length bytes with any padding; owned (free)
};

enum PlaceResult { PLACE_OK, PLACE_NO_ROOM, PLACE_NO_MEMORY, PLACE_ENCODER_FAILED };

// Packs input[0 .. size - 1] into the room of the record that CheckRecord
// found at room.position of data. The new record keeps the room's exact length whenever it can, so that the
// offsets and lengths the game's own tables hold stay true:
//   - PUT_SAME: the record already unpacks to input and its header's size
//     field is size; it stays byte for byte as it is;
//   - PUT_DEFAULT: the default encoder's record has exactly the room's length;
//   - PUT_FITTED: a record of exactly the room's length from the fitted
//     encoder;
//   - PUT_PADDED: the default encoder's record if it fits, else the optimal
//     one, and zero bytes up to the room's end.
// The header holds the magic and size. Fills *placed and returns PLACE_OK;
// PLACE_NO_ROOM (with placed->room and placed->smallest filled) when not
// even the optimal record fits, PLACE_NO_MEMORY when buffers cannot be had,
// PLACE_ENCODER_FAILED when an encoder returns its failure value. Nothing
// is left to free after a failure. data is not changed.
PlaceResult PlaceRecord(const uint8_t *data, const FoundRecord &room, const uint8_t *input, uint64_t size,
                        Placement *placed);

// Whether the record at position of data[0 .. datasize - 1] reads back
// exactly as unpacking reads it: length bytes long, decoding to input.
bool CheckPlaced(const uint8_t *data, uint64_t datasize, uint64_t position, uint64_t length, const uint8_t *input,
                 uint64_t size);

#endif
