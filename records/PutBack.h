// Putting edited files back into a container as the records they came from,
// each in the room its record had, so that nothing else in the container
// moves: which file goes where, the rooms, and the change made all or
// nothing.
#ifndef EXSPACK_PUTBACK_H
#define EXSPACK_PUTBACK_H

#include <stdint.h>

#include <string>
#include <vector>

#include "Container.h"
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

// The record list -l writes beside the record files, from which -i takes
// each listed record's room: its name in the folder and its first line. A
// line a record follows, its fields separated by tabs: the position
// ("0x%08X"), the room (the record's length, decimal), the uncompressed
// size, "ok" or "header says N", and the position's name by file ("-" for
// none).
extern const char RECORD_LIST[];
extern const char RECORD_LIST_HEADING[];

// Whether name is one that -l gives a record: 8 hex digits and ".bin", in
// either case. Stores the position it names.
bool IsRecordName(const std::string &name, uint64_t *position);

// What a put-back reports besides its errors.
struct PutBackReport {
    std::vector<PutBackLine> lines; // in order of position
    bool names = false;             // whether the container names positions by file
    std::string notice;             // the container's (Container::SheetNotice), once it was opened
    std::string hint;               // for standard error: Container::Hint, once it was opened
    // For standard error: a line ending in '\n' for each entry of the folder
    // that is not put back, "Left out: NAME (WHY)", also when an error
    // follows.
    std::vector<std::string> leftOut;
};

// Puts the file `from` back as the record at `position` of the container
// `into`; or, when `from` is a folder, every record file in it (named as
// IsRecordName takes them) as the record at the position its name gives.
// Every record is packed, placed and read back in memory, one file at a
// time, before the container is committed once: replaced under the lock held
// from reading it on, or, with `patch`, left as it is and the change written
// there as a PPF patch. The container is not written when every record
// stays the same.
//
// A room is the record found at the position, as -l lists it; but where the
// record list of the folder (or the one beside the single file) lists the
// position, the listed length, so that a room keeps its size after a shorter
// record was put there: the container must then hold exactly that record
// there, or one that ends inside the room followed by zero bytes to its end.
//
// Errors, which leave the container and any patch as they were: those of
// reading the files, the list and the container and of committing and
// locating the position, "Error: No record files in PATH", "Error: Two files
// for the record at 0xP: A and B", "Error: Bad line N in PATH" (of the list),
// "Error: No record at 0xP", "Error: records.tsv does not match CONTAINER at
// 0xP", "Error: Overlapping records at 0xA and 0xB", "Error: No room for
// PATH: N bytes, room R", "Error: malloc()", "Error: LZSS_Compress*()",
// "Error: Record put back at 0xP does not read back", "Error: The patch and
// the container are one file: PATH", and, before anything is read, "Error:
// Not a PPF patch: PATH" for an existing file in PATCH's place that is
// neither empty nor a patch.
//
// With listed, the data of `into` comes from that container, opened to
// read on the same file and unused since (Container::Open), instead of
// from reading the file again.
Error PutBack(const char *from, const char *into, const DataPosition &position, const char *patch,
              PutBackReport *report, Container *listed = nullptr);

#endif
