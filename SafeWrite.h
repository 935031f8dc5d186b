// Writing the tool's output file so that a failure never destroys a good one,
// and the other platform-specific parts of the tool's output.
#ifndef EXSPACK_SAFEWRITE_H
#define EXSPACK_SAFEWRITE_H

#include <stdint.h>
#include <stdio.h>

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
