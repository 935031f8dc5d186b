// An image as the record rules see it, read once and never changed: a plain
// file's own bytes, or a raw CD image's data view with its runs of data
// sectors; the names of the disc's files where that data holds an ISO 9660
// file system; and, when asked for, the records the search finds in each
// area, the one record map that listing, put-back and naming consult. A
// view is made by its factory only, so it is never half read nor read twice.
#ifndef EXSPACK_IMAGEVIEW_H
#define EXSPACK_IMAGEVIEW_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "ImageSource.h"
#include "Iso9660.h"
#include "Platform.h"
#include "Records.h"

// Where records may lie in a view's data, as [begin, end): the whole of a
// plain file, each run of data sectors of a raw image. A record never
// crosses from one area into another.
struct Area {
    uint64_t begin, end;
};

// A position in a view's data as the user names it: a number, or, with a
// path, byte `offset` of that file of the disc's file system.
struct DataPosition {
    uint64_t number = 0;
    std::string path; // empty: number is the position
    uint64_t offset = 0;
};

class ImageView {
public:
    enum Kind {
        PLAIN,
        RAW_IMAGE,
        // Whole sectors but for a cut end (a stray byte, sectors with
        // subchannel data): read as a plain file, never written as an image.
        CUT_RAW_IMAGE,
    };

    // Reads the image at path: the file itself, or for a cue sheet
    // (IsCueSheet) the file of its first data track, named relative to the
    // sheet's folder, or where no file has that name, the only one there
    // alike but for ASCII case. A file of whole 2352-byte sectors is a raw
    // image when one of its first RAW_IMAGE_LEAD sectors is a data sector,
    // or when a sheet says it is; its file system is looked for at the
    // track's INDEX 01, or without a sheet at the file's start, its first
    // data sector or after that sector's pregap. A CHD (IsChd, by its first
    // bytes) is read as the .bin that chdman extractcd writes from it, with
    // its first data track as a sheet would give it. With search, the record
    // map is made too (records()). The data file is opened in *source
    // (locked with lock) and left open for a change, or, when source is
    // null, closed. Errors: those of ImageSource::Open and Read, "Error: No
    // data track in PATH" for a sheet or CHD without one, "Error: malloc()".
    static Error Open(const char *path, bool search, std::shared_ptr<const ImageView> *view,
                      ImageSource *source = nullptr, bool lock = false);

    Kind kind() const { return kind_; }
    // The file read: the one named, or the one its cue sheet names, and its size.
    const std::string &path() const { return path_; }
    uint64_t fileSize() const { return fileSize_; }
    // For a CUT_RAW_IMAGE, the bytes past its last whole sector.
    uint64_t cutBytes() const { return cut_; }
    // "Cue sheet: track NN MODE in FILE\n" when given a cue sheet, "CHD:
    // track NN MODE\n" for a CHD; else "".
    const std::string &sheetNotice() const { return sheetNotice_; }
    // "PATH is a PPF patch, not a disc image\n" when the file named is one,
    // for a user who gave the patch where the image belongs; else "".
    const std::string &hint() const { return hint_; }

    // The data records are found in: the file's bytes, or a raw image's data
    // view, where sector i's data lies at i * SECTOR_DATA_SIZE.
    const uint8_t *data() const { return data_.data(); }
    uint64_t size() const { return data_.size(); }
    const std::vector<Area> &areas() const { return areas_; }
    // The end of the area that holds position, or position itself when none
    // does: so many bytes from position on may belong to a record there.
    uint64_t AreaEnd(uint64_t position) const;

    // Every record the search finds in each area, in order of position
    // (FindRecords); empty unless Open was asked to search.
    const std::vector<FoundRecord> &records() const { return records_; }
    bool searched() const { return searched_; }
    // The record the search lists at exactly position, or null.
    const FoundRecord *RecordAt(uint64_t position) const;

    // Whether the data holds an ISO 9660 file system, and the name of the
    // position by its file there: "PATH+0xOFFSET", or "-" outside every file.
    bool HasFileNames() const { return fileSystem_; }
    std::string FileName(uint64_t position) const { return names_.Name(position); }

    // The position in the data that `at` names: its number, or where that
    // byte of that file lies (FindIsoPosition). Errors: "Error: No file PATH
    // in CONTAINER", "Error: PATH names N files in CONTAINER: A, B", "Error:
    // PATH has N bytes" for an offset at or past the file's size, "Error:
    // PATH+0xOFF is in no data sector of CONTAINER".
    Error Locate(const DataPosition &at, uint64_t *position) const;

private:
    ImageView() = default;
    Error Read(const ImageSource &source, uint64_t sectorSize, uint64_t trackStart, bool search);
    Error ReadView(const ImageSource &source);

    std::string path_, sheetNotice_, hint_;
    uint64_t fileSize_ = 0, cut_ = 0;
    Kind kind_ = PLAIN;
    Buffer data_;
    std::vector<Area> areas_;
    std::vector<FoundRecord> records_;
    bool fileSystem_ = false, searched_ = false;
    std::vector<IsoFile> files_;
    IsoNames names_;
};

#endif
