// CD images kept as MAME's compressed hunks of data (.chd), read through
// libchdr: the disc as the one .bin that chdman extractcd writes from it,
// every track's frames after the last one's (2352 bytes a frame, audio in
// the .bin's little-endian order), without the 4-frame padding the CHD's
// own frame numbering gives each track and without the subcode. The file is
// only ever read; every hunk read is checked against the CRC its map holds.
#ifndef EXSPACK_CHD_H
#define EXSPACK_CHD_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "Platform.h"

// Whether head[0 .. n - 1] starts as a CHD file does ("MComprHD").
bool IsChd(const uint8_t *head, size_t n);

// One track of a CD CHD: its number as a cue sheet writes it ("01"), its
// mode as one names it ("MODE1/2352", "MODE2/2352", "MODE1/2048", "AUDIO"),
// its length in frames, the bytes of each frame in the .bin, and where its
// first frame lies in the .bin.
struct ChdTrack {
    std::string number, mode;
    uint64_t frames = 0;
    uint64_t frameSize = 0;
    uint64_t offset = 0;
    uint64_t first = 0; // its first frame in the CHD's numbering, padding and all
};

// Whether the library was built in: without it, Open refuses every file.
bool HaveChdReader();

class ChdImage {
public:
    ChdImage();
    ~ChdImage();
    ChdImage(const ChdImage &) = delete;
    ChdImage &operator=(const ChdImage &) = delete;

    // Opens path for reading, and a parent it needs from the CHDs in the
    // same folder whose SHA-1 is the one it names. Errors: those of
    // InputFile::Open; "Error: PATH needs its parent CHD" when no such
    // parent lies beside it; "Error: Not a CD image: PATH" for a CHD
    // without CD tracks (a hard disk, a DVD); "Error: Bad CHD: PATH (PART)"
    // for a header, map or track list that cannot be read; "Error: CHD
    // support was not built in: PATH" without the library.
    Error Open(const char *path);
    void Close();

    const std::string &path() const { return path_; }
    // Whether path names the file opened (not a copy of it); false when
    // none is open.
    bool IsAt(const char *path) const;
    const std::vector<ChdTrack> &tracks() const { return tracks_; }
    // The size of the extracted .bin.
    uint64_t size() const { return size_; }

    // Reads n bytes of the extracted .bin from offset into to (nothing past
    // size()). Error: "Error: Bad CHD: PATH (hunk N)" for a hunk that cannot
    // be read or decoded or does not match its CRC, to being unspecified
    // then. Hunks are decoded ahead on another thread while reads go
    // forward.
    Error Read(uint64_t offset, uint8_t *to, uint64_t n) const;

    struct State; // the library's side, and the read-ahead

private:
    std::unique_ptr<State> state_;
    std::string path_;
    std::vector<ChdTrack> tracks_;
    uint64_t size_ = 0;
};

#endif
