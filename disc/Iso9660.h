// The ISO 9660 file system of a disc's data, read so that a position in the
// data can be named by the file that holds it: the game and its tables speak
// of files and offsets, the record search of positions. Only what naming
// needs is read (the primary tree: names, extents); nothing here trusts the
// disc, which may be damaged or made to harm.
#ifndef EXSPACK_ISO9660_H
#define EXSPACK_ISO9660_H

#include <stdint.h>

#include <string>
#include <vector>

static const uint64_t ISO_BLOCK_SIZE = 2048;

// One extent of a file in the data view: `length` bytes from view position
// `position`, holding the file's bytes from `offset` on.
struct IsoExtent {
    uint64_t position, length, offset;
};

// A file of the tree: its path ("/DIR/SUB/NAME.BIN") and the parts of its
// data that lie in the view, in the file's order, at least one.
struct IsoFile {
    std::string path;
    std::vector<IsoExtent> extents;
    uint64_t size = 0; // as its directory records say, also where the view holds less
};

// Reads the ISO 9660 file system of the data view view[0 .. size - 1] (the
// data of a raw image's sectors, or the bytes of any other file) into
// *files, replacing what it held: each file that has bytes in the view (an
// empty file, or one wholly past the view, names nothing and is left out).
// With directoryBlocks, that gets the view block numbers (position / 2048)
// read as directory data, in the order read; with walked, the work of
// finding them: directories, blocks read and links followed past blocks read
// before, about (directories + blocks read) * log2(view blocks) at most.
//
// The view holds a file system when block 16 and those after it are volume
// descriptors (type byte, "CD001", version 1) up to the set terminator (type
// 255), among them a Primary Volume Descriptor (type 1) with a logical block
// size of 2048; the first such one is read. Otherwise the result is false and
// files (and directoryBlocks) are left empty. With one, the result is true,
// whatever the tree then yields.
//
// The tree is read from the descriptor's root directory record, directory by
// directory (breadth first). Names: a file's is its identifier up to the
// first ';', less one trailing '.' ("NOEXT.;1" names NOEXT); a directory's is
// its identifier; either way each byte outside 0x21..0x7E becomes '?'. Paths
// join names with '/' after a leading '/', in the case the disc holds. A
// multi-extent file (records of the same identifier, all but the last with
// flag bit 7) is one file, its offsets counting across its extents in order;
// the data of an extent starts as many blocks into it as its extended
// attribute record length says.
//
// What the disc says is never taken on trust, and a damaged tree costs only
// the names it damages:
// - each view block is read as directory data at most once: a directory
//   whose extent was already read is skipped without a walk over its
//   blocks, so a loop ends at once, and the whole reading is one pass over
//   the view plus about a logarithm of its blocks for each directory, however
//   many records name the same extent;
// - an extent that starts past the view is left out, one that runs past it is
//   cut at the view's end: every extent returned lies inside the view and has
//   a nonzero length;
// - in a directory block, a length byte of 0 moves on to the next block; a
//   record shorter than 34 bytes, or running past its block (or past the
//   directory's data), ends the reading of that block; a record whose name
//   runs past it is skipped;
// - a file recorded in interleaved mode (a file unit size or gap) is left
//   out: its extent also spans its gaps, which hold none of its bytes;
// - reading stops once the paths and extents returned would take more memory
//   than the view plus 64 KiB, which only a hostile tree comes near (deep
//   paths repeated over many records); what was read until then is returned.
bool ReadIsoFileSystem(const uint8_t *view, uint64_t size, std::vector<IsoFile> *files,
                       std::vector<uint64_t> *directoryBlocks = nullptr, uint64_t *walked = nullptr);

// Whether view[0 .. size - 1] starts a file system as ReadIsoFileSystem
// needs it: block 16 a volume descriptor (type byte, "CD001", version 1).
bool StartsIsoFileSystem(const uint8_t *view, uint64_t size);

// Whether a and b are the same but for the case of ASCII letters, as names
// compare on a disc or a system that ignores case.
bool SameIgnoringCase(const std::string &a, const std::string &b);

// Where byte `offset` of the file at `path` lies in the view, as a user
// names it from the listing: the file whose path is exactly `path` (the
// first listed of several), else the only one whose path is the same
// without regard to ASCII case; the offset counts across its extents as
// IsoExtent::offset does. Returns ISO_FOUND with *position set; ISO_NO_FILE
// when no file has that path; ISO_AMBIGUOUS when several have it but for
// case and none exactly, their paths in *alike (when given) in the order
// listed; ISO_PAST_END when the offset is at or past the file's size, with
// *position set to that size; ISO_NOT_HELD when the offset is inside the
// file but no extent in the view holds it.
enum IsoLookup { ISO_FOUND, ISO_NO_FILE, ISO_AMBIGUOUS, ISO_PAST_END, ISO_NOT_HELD };
IsoLookup FindIsoPosition(const std::vector<IsoFile> &files, const std::string &path, uint64_t offset,
                          uint64_t *position, std::vector<std::string> *alike = nullptr);

// Names view positions by file, from what ReadIsoFileSystem returned. Built
// in O(n log n) for n extents; each name is a binary search.
class IsoNames {
public:
    IsoNames() = default;
    explicit IsoNames(const std::vector<IsoFile> &files);

    // Whether no position has a name: no file, or none with bytes in the
    // view. Whether a view holds a file system at all is what
    // ReadIsoFileSystem returned.
    bool empty() const { return segments_.empty(); }

    // "PATH+0xOFFSET" for the file whose extent holds the byte at `position`,
    // OFFSET being that byte's offset in the file in upper-case hex without
    // leading zeros ("+0x0", "+0x2D000"); "-" where no extent holds it. Where
    // several do, the file whose path is smallest in byte order wins; of
    // equal paths, the file listed first, and of its extents, the first
    // listed.
    std::string Name(uint64_t position) const;

private:
    // Non-overlapping, ordered by start: [start, end) holds the bytes of
    // paths_[file] from offset on.
    struct Segment {
        uint64_t start, end, offset;
        size_t file;
    };
    std::vector<std::string> paths_;
    std::vector<Segment> segments_;
};

#endif
