// Writing the tool's output file so that a failure never destroys a good one.
#ifndef EXSPACK_SAFEWRITE_H
#define EXSPACK_SAFEWRITE_H

#include <stdint.h>

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

#endif
