// The two jobs on a single record, for every driver: packing a whole file
// into one record, and unpacking the record found at one position of a
// container.
#ifndef EXSPACK_PACKING_H
#define EXSPACK_PACKING_H

#include <stdint.h>

#include "ImageView.h"
#include "Platform.h"
#include "Records.h"

// Packs the file at path into one record: the header, then the default
// encoder's stream, or with best the optimal one. Fills *record (its first
// *length bytes are the record; the buffer may be larger) and *size, the
// file's size. Errors: those of ReadWholeFile, "Error: malloc()", "Error:
// LZSS_Compress*()".
Error PackFile(const char *path, bool best, Buffer *record, uint64_t *length, uint64_t *size);

// Unpacks the record at position of the image's data, as -d reads it:
// within the area (a raw image's run of data sectors) that holds position.
// Fills *record and *decoded. Errors: "Error: Small file" when fewer than a
// record's smallest size is left there, "Error: Bad file" when the scanner
// refuses the stream, "Error: malloc()".
Error UnpackAt(const ImageView &view, uint64_t position, FoundRecord *record, Buffer *decoded);

#endif
