// The file that records are found in and put back into, as the record rules
// see it: a plain file's own bytes, or a raw CD image's data view with its
// runs of data sectors; the names of the disc's files where that data holds
// an ISO 9660 file system; and a change to it, committed whole: the file
// replaced safely under the lock held since it was opened, or the change
// written as a PPF patch while the file stays as it is. A change is held once,
// apart from the file, in the file's own coordinates, and the output is
// streamed: the unchanged bytes come from the file as they are written.
#ifndef EXSPACK_CONTAINER_H
#define EXSPACK_CONTAINER_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "Iso9660.h"
#include "Platform.h"

// Where records may lie in a container's data, as [begin, end): the whole
// of a plain file, each run of data sectors of a raw image. A record never
// crosses from one area into another.
struct Area {
    uint64_t begin, end;
};

// A position in a container's data as the user names it: a number, or, with
// a path, byte `offset` of that file of the disc's file system.
struct DataPosition {
    uint64_t number = 0;
    std::string path; // empty: number is the position
    uint64_t offset = 0;
};

class Container {
public:
    enum Use {
        TO_READ,   // the data alone; a raw image's sectors are not kept
        TO_CHANGE, // locked from Open on; Commit replaces the file
        TO_PATCH,  // never written; Commit writes the change as a patch
    };
    enum Kind {
        PLAIN,
        RAW_IMAGE,
        // Starts with the sync pattern but is no whole number of 2352-byte
        // sectors (a stray byte, or sectors with subchannel data): read as a
        // plain file, never written as an image.
        CUT_RAW_IMAGE,
    };

    // Opens and reads path. A cue sheet (IsCueSheet) stands for the file of
    // its first data track, named relative to the sheet's folder: that file
    // is opened as if it had been named, but that one of 2352-byte sectors
    // is a raw image whenever its size is a whole number of sectors (a file
    // may hold audio before the data track), and its file system is looked
    // for from the track's INDEX 01 on. Errors: those of InputFile::Open and
    // ReadAll, "Error: No data track in PATH" for a sheet without one, and
    // for TO_CHANGE and TO_PATCH "Error: Not a CD image exspack can write:
    // PATH" for a CUT_RAW_IMAGE.
    Error Open(const char *path, Use use);
    // Opens path as Open does, but takes the data from `read`, a container
    // opened TO_READ on the same, unchanged file and not used since, rather
    // than reading the file again (the web page puts back into the image it
    // has just listed); `read` is left empty. Reads as Open does when `read`
    // is null or its data cannot be the file's (another size).
    Error Open(const char *path, Use use, Container *read);

    // Makes this container, which must be new, a copy of `read`, a
    // container opened TO_READ, as if Open had read the same file: for a
    // driver that keeps one open and puts back into its file again and
    // again (Open with `read` empties the one it is given). Errors: "Error:
    // malloc()"; "Error: Not a container to copy" for one not opened TO_READ.
    Error CopyOf(const Container &read);

    // "Cue sheet: track NN MODE in FILE\n" when Open was given a cue sheet,
    // naming the file opened for it; else "".
    const std::string &SheetNotice() const { return sheetNotice_; }

    Kind kind() const { return kind_; }
    // The file opened: the one named, or the one its cue sheet names.
    const std::string &path() const { return path_; }
    // The data records are found in: the file's bytes, or a raw image's data
    // view, where sector i's data lies at i * SECTOR_DATA_SIZE.
    const uint8_t *data() const { return kind_ == RAW_IMAGE ? view_.data() : image_.data(); }
    uint64_t size() const { return kind_ == RAW_IMAGE ? view_.size() : image_.size(); }
    const std::vector<Area> &areas() const { return areas_; }
    // The end of the area that holds position, or position itself when none
    // does: so many bytes from position on may belong to a record there.
    uint64_t AreaEnd(uint64_t position) const;

    // Whether the data holds an ISO 9660 file system, and the name of the
    // position by its file there: "PATH+0xOFFSET", or "-" outside every file.
    bool HasFileNames() const { return fileSystem_; }
    std::string FileName(uint64_t position) const { return names_.Name(position); }

    // The position in the data that `at` names: its number, or where that
    // byte of that file lies (FindIsoPosition). Errors: "Error: No file PATH
    // in CONTAINER" when the data holds no file system or no such file,
    // "Error: PATH has N bytes" for an offset at or past the file's end.
    Error Locate(const DataPosition &at, uint64_t *position) const;

    // Whether path names the container's file itself (TO_PATCH only: a
    // container opened otherwise may be closed by now).
    bool IsFile(const char *path) const { return file_.IsAt(path); }

    // Writes bytes[0 .. n - 1] at position of the data, and in a raw image
    // into the sectors that hold it, each sector whose data changed with new
    // codes; the data is then read back from the sectors, as unpacking would
    // read it. Only after TO_CHANGE or TO_PATCH. Returns false, with the data
    // no longer what it was, when some of the bytes fall outside the data
    // sectors or the file cannot be read: a caller gives up the whole change
    // then.
    bool Put(uint64_t position, const uint8_t *bytes, uint64_t n);

    // The change every Put has made, in the file's coordinates: the bytes
    // that take the file's place from each offset on, in order of offset,
    // no two overlapping; in a raw image whole sectors, codes and all. The
    // file with these bytes in place is what Commit replaces it with (the
    // web page builds its output from slices of the file and these).
    typedef std::map<uint64_t, std::vector<uint8_t>> Changes;
    const Changes &changes() const { return changes_; }

    // Commits every Put: with patch, writes the change as a PPF patch to
    // that path (also when nothing changed, a patch of no entries) with the
    // description given; without, replaces the file, unless nothing was put.
    // Either way as safely as every output (OutputFile), streamed.
    Error Commit(const char *patch, const std::string &description);

private:
    Error OpenFile(const char *path, Use use, uint64_t sectorSize, uint64_t trackStart);
    Error ReadView();
    void Keep(uint64_t offset, const uint8_t *bytes, uint64_t n);
    Error ReadChanged(uint64_t offset, uint8_t *to, uint64_t n) const;
    Error WritePatch(OutputFile *output, const std::string &description) const;

    std::string path_;        // of the file opened
    std::string sheetNotice_;
    std::vector<IsoFile> files_;
    InputFile file_;
    Use use_ = TO_READ;
    Kind kind_ = PLAIN;
    Buffer image_; // a plain file's bytes, changed by Put where its pages are
    Buffer view_;  // a raw image's data view
    std::vector<Area> areas_;
    bool fileSystem_ = false;
    IsoNames names_;
    Changes changes_;
};

#endif
