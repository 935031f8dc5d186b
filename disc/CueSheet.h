// Cue sheets, the text files that describe a disc held as one or more
// image files ("FILE", "TRACK", "INDEX" lines): which of them holds the data
// track, so that a sheet can stand for that file. Only what finding the data
// track needs is read; any other line is passed over.
#ifndef EXSPACK_CUESHEET_H
#define EXSPACK_CUESHEET_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// One TRACK of a sheet: its number as written ("01"), its mode in upper case
// ("MODE2/2352", "AUDIO"), the name of the FILE it lies in as the sheet
// writes it, and where its INDEX 01 lies in that file, in sectors (75 a
// second); 0 when the sheet gives none.
struct CueTrack {
    std::string number, mode, file;
    uint64_t start = 0;
};

// The lines of the text[0 .. n - 1], each without its end (LF or CR LF),
// after a UTF-8 byte order mark that is skipped: what a text file holds
// whichever editor, on whichever system, saved it. A last line without an
// end counts; the end of the last line starts none.
std::vector<std::string> TextLines(const uint8_t *text, size_t n);

// How much of a file IsCueSheet looks at.
static const size_t CUE_SNIFF_SIZE = 64 << 10;

// Whether a file is a cue sheet, by its name (ending in ".cue" in any case)
// or by its first bytes head[0 .. n - 1] (up to CUE_SNIFF_SIZE of them): no
// NUL byte, and a FILE line whose next line that is neither blank nor a REM
// comment is a TRACK line (keywords in any case).
bool IsCueSheet(const std::string &name, const uint8_t *head, size_t n);

// The tracks of the sheet text[0 .. n - 1], in order. Lines end in LF or
// CR LF; a UTF-8 byte order mark is skipped; keywords are read in any case;
// a name in double quotes may hold spaces, and an unquoted one ends at the
// first space.
std::vector<CueTrack> ReadCueSheet(const uint8_t *text, size_t n);

// The size of a sector of a data track of this mode: 2352 for MODE1/2352 and
// MODE2/2352, 2048 for MODE1/2048; 0 for any other mode, which is no data
// track the tool reads.
uint64_t DataSectorSize(const std::string &mode);

#endif
