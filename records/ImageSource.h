// Where an image's bytes come from: its file, or for a CHD the .bin that
// chdman extractcd writes from it, decoded as it is read. The image view is
// read from it once, and a change set reads the bytes it changes from it.
#ifndef EXSPACK_IMAGESOURCE_H
#define EXSPACK_IMAGESOURCE_H

#include <stdint.h>

#include "Chd.h"
#include "Platform.h"

class ImageSource {
public:
    // Opens path: a CHD by its first bytes (IsChd), read only; any other
    // file as InputFile::Open does, locked with lock. Errors: those of
    // InputFile::Open and ChdImage::Open.
    Error Open(const char *path, bool lock = false);
    void Close();

    bool IsChd() const { return chd_.size() != 0; }
    const ChdImage &chd() const { return chd_; }
    // The file itself, for what only a file can do (copying its ranges,
    // letting go of it before it is replaced); closed for a CHD.
    InputFile &file() { return file_; }

    uint64_t size() const { return IsChd() ? chd_.size() : file_.size(); }
    // Whether path names the file opened (not a copy of it).
    bool IsAt(const char *path) const { return IsChd() ? chd_.IsAt(path) : file_.IsAt(path); }
    // Reads n bytes from offset into to; errors as InputFile::Read's or
    // ChdImage::Read's.
    Error Read(uint64_t offset, uint8_t *to, uint64_t n) const;
    // Reads every byte into buffer, errors as Read's and "Error: malloc()".
    Error ReadAll(Buffer *buffer) const;

private:
    InputFile file_;
    ChdImage chd_; // open, with a size, for a CHD only
};

#endif
