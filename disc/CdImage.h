// Raw CD images: files of 2352-byte sectors as a drive reads them raw (.bin),
// whose records lie in the data of the data sectors only, split by each
// sector's header and codes. The data view lines that data up so that the
// record search can run over it, and changed data goes back into the image
// with the codes of the sectors it changed made new.
#ifndef EXSPACK_CDIMAGE_H
#define EXSPACK_CDIMAGE_H

#include <stdint.h>
#include <stddef.h>

#include <vector>

static const uint64_t RAW_SECTOR_SIZE = 2352;
static const uint64_t SECTOR_DATA_SIZE = 2048;

// A raw image shows a data sector within its first RAW_IMAGE_LEAD sectors:
// its first track may be audio, or its data track start with a pregap.
static const uint64_t RAW_IMAGE_LEAD = 150;

// The index of the first whole 2352-byte sector of head[0 .. n - 1] that
// starts as a data sector does: the sync pattern
// 00 FF FF FF FF FF FF FF FF FF FF 00, an address in BCD (seconds below 60,
// frames below 75) and mode 1 or 2. UINT64_MAX when none does.
uint64_t FirstDataSector(const uint8_t *head, uint64_t n);

// Where the SECTOR_DATA_SIZE data bytes of the raw sector sector[0 .. 2351]
// start: 16 for a Mode 1 sector (byte 15 is 1), 24 for a Mode 2 Form 1
// sector (byte 15 is 2, bit 5 of the submode byte 18 clear), 0 for anything
// else (no sync pattern, Mode 2 Form 2, audio), which holds no data.
size_t SectorDataOffset(const uint8_t *sector);

// The size of the data view of an image of size bytes: SECTOR_DATA_SIZE bytes
// for each whole sector, data sector or not.
inline uint64_t DataViewSize(uint64_t size) { return size / RAW_SECTOR_SIZE * SECTOR_DATA_SIZE; }

// A run of consecutive data sectors; a record never crosses from one run into
// another, so each run is searched by itself.
struct SectorRun {
    uint64_t first; // index of the run's first sector (its data is at view position first * SECTOR_DATA_SIZE)
    uint64_t count; // number of sectors in the run, at least 1
};

// Fills view[0 .. DataViewSize(size) - 1] from image[0 .. size - 1]: sector
// i's data bytes go to view position i * SECTOR_DATA_SIZE, and the view bytes
// of a sector that holds no data are zero. Bytes after the last whole sector
// are not part of any sector. Returns the runs of data sectors in order.
//
// view may be image itself: the view then takes the image's first bytes and
// the image is used up. That is the way to list records: a separate view is
// fresh memory the size of the image's data, and on a large image putting
// its pages in place costs more than the search; put-back needs both.
std::vector<SectorRun> ReadDataView(const uint8_t *image, uint64_t size, uint8_t *view);

// Puts a view that ReadDataView filled from this image, and that the caller
// has changed since, back into image[0 .. size - 1]: each data sector whose
// data differs from its view bytes gets them copied in and its codes made
// new (SetSectorCodes). Every other byte of the image stays as it was; the
// codes of unchanged sectors are not recomputed. Returns the number of
// sectors rewritten.
//
// The view bytes of a sector that holds no data have nowhere to go: when any
// of them is not zero, nothing is written and the result is UINT64_MAX.
uint64_t WriteDataView(uint8_t *image, uint64_t size, const uint8_t *view);

// Makes the codes of the raw sector sector[0 .. 2351] fit its bytes as they
// stand, as ECMA-130 lays them down: the EDC, then the P and Q parity.
// Mode 1: EDC over bytes 0..2063 at 2064, P and Q over bytes 12 onwards
// (address included); bytes 2068..2075 are left as they are (zero in a
// well-formed sector). Mode 2 Form 1: EDC over bytes 16..2071 at 2072, P and
// Q computed with the address bytes 12..15 taken as zero (they stay as they
// are). Returns false, changing nothing, for a sector that holds no data.
bool SetSectorCodes(uint8_t *sector);

#endif
