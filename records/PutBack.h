// Putting edited files back into a container as the records they came from,
// each in the room its record had, so that nothing else in the container
// moves: which file goes where, the rooms, and the change made all or
// nothing.
#ifndef EXSPACK_PUTBACK_H
#define EXSPACK_PUTBACK_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "ImageView.h"
#include "Platform.h"
#include "Records.h"

// One record put back, as the report shows it.
struct PutBackLine {
    uint64_t position; // in the container's data (a raw image's data view)
    uint64_t room;     // the old record's length
    uint64_t length;   // the new record's length
    uint64_t size;     // the file's size, what the record decodes to
    PutStream stream;
    std::string file;  // the position's name in the disc's file system, if any
};

// What a put-back reports besides its errors.
struct PutBackReport {
    std::vector<PutBackLine> lines; // in order of position
    bool names = false;             // whether the container names positions by file
    std::string notice;             // the image's (ImageView::sheetNotice), once it was read
    std::string hint;               // for standard error: ImageView::hint, once it was read
    // For standard error: a line ending in '\n' for each entry of the folder
    // that is not put back, "Left out: NAME (WHY)", also when an error
    // follows.
    std::vector<std::string> leftOut;
};

// Puts the file `from` back as the record at `position` of the image
// `into`; or, when `from` is a folder, every record file in it (named as
// IsRecordName takes them) as the record at the position its name gives.
// Every record is packed, placed and read back in memory, one file at a
// time, before the change is committed once (ChangeSet): the image replaced
// under the lock held from reading it on, or, with `patch`, left as it is
// and the change written there as a PPF patch. The image is not written
// when every record stays the same.
//
// A room is a record the image's record map lists (MatchRoom), with the
// length the record list of the folder (or the one beside the single file)
// gives where it lists the position, so that a room keeps its size after a
// shorter record was put there.
//
// Errors, which leave the image and any patch as they were: those of
// reading the files, the list and the image, of MatchRoom, of committing
// and of locating the position, "Error: No record files in PATH", "Error:
// Two files for the record at 0xP: A and B", "Error: Overlapping records at
// 0xA and 0xB", "Error: No room for PATH: N bytes, room R", "Error:
// malloc()", "Error: LZSS_Compress*()", "Error: Record put back at 0xP does
// not read back", "Error: The patch and the container are one file: PATH",
// and, before anything is read, "Error: Not a PPF patch: PATH" for an
// existing file in PATCH's place that is neither empty nor a patch.
//
// With listed, a view of `into` read before with its record map
// (ChangeSet::Open), the image is not read again while its file keeps its
// size.
Error PutBack(const char *from, const char *into, const DataPosition &position, const char *patch,
              PutBackReport *report, const std::shared_ptr<const ImageView> &listed = nullptr);

#endif
