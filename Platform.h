// The tool's dealings with the operating system: paths, folders, messages
// and writing output files so that a failure never destroys a good one.
// Inside the tool a path is UTF-8 on every platform; this module alone turns
// it into what the system takes.
#ifndef EXSPACK_PLATFORM_H
#define EXSPACK_PLATFORM_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// On Windows, replaces the arguments with their UTF-8 forms, taken from the
// wide command line, so that any path arrives as typed. Elsewhere arguments
// are bytes already and nothing changes.
void GetArguments(int *argc, char ***argv);

// Opens path for reading in binary mode, as fopen(path, "rb") does; on
// Windows through _wfopen, so that a name in any script is found.
FILE *OpenFile(const char *path);

// The whole of the open file `file`, size bytes, in memory that the caller
// may change without changing the file: a copy-on-write mapping where the
// system has one, so that a large file costs only the pages that are read
// and changed, else NULL (the caller then reads the file into a buffer).
// Release it with ReleaseBuffer.
uint8_t *MapFile(FILE *file, uint64_t size);

// size bytes of new, zeroed memory for a large buffer, in large pages where
// the system has them, so that filling it costs a fault per 2 MiB rather
// than per 4 KiB; else NULL (the caller then uses malloc). Release it with
// ReleaseBuffer.
uint8_t *MapMemory(uint64_t size);

// Releases what MapFile or MapMemory mapped, or frees a buffer from malloc.
void ReleaseBuffer(uint8_t *data, uint64_t size);

// The names of the entries in the folder path, "." and ".." left out, in no
// particular order, in UTF-8 on Windows as every path is. Returns false when
// path is not a folder that can be read.
bool ListFolder(const char *path, std::vector<std::string> *names);

// Writes UTF-8 text to stream: as UTF-16 through the console functions when
// stream is a Windows console, as the bytes themselves everywhere else.
void PrintText(FILE *stream, const char *text);

enum WriteResult {
    WRITE_OK,
    WRITE_CANT_OPEN,  // the output (or its temporary twin) could not be created
    WRITE_CANT_WRITE, // writing, flushing, closing or renaming failed
};

// Writes size bytes of data to path. A regular file, or a path that does not
// exist yet, is written through a temporary file in the same folder that
// replaces it only once it is complete; the old contents survive any failure
// and no temporary file is left behind. A symbolic link is followed and keeps
// pointing at the new file. Anything else (a device, a pipe, /dev/stdout) is
// written directly.
WriteResult WriteFileSafely(const char *path, const uint8_t *data, uint64_t size);

// Creates the folder path unless a folder (or a link to one) is there already;
// its parent must exist. Returns whether path is a folder afterwards.
bool MakeFolder(const char *path);

// Returns a new stream to where stdout goes now, and points stdout itself at
// the null device, so that what other code prints to stdout from then on is
// dropped while the caller still reports through the returned stream. When
// that cannot be arranged, returns stdout unchanged.
FILE *DivertStdout(void);

#endif
