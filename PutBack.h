// Putting edited files back into a container as the records they came from,
// each in the room its record had, so that nothing else in the container
// moves: which file goes where, the rooms, and the change made all or
// nothing.
#ifndef EXSPACK_PUTBACK_H
#define EXSPACK_PUTBACK_H

#include <stdint.h>

#include <string>
#include <vector>

#include "Platform.h"
#include "Records.h"

class Container;

// One record put back, as the report shows it.
struct PutBackLine {
    uint64_t position; // in the container's data (a raw image's data view)
    uint64_t room;     // the old record's length
    uint64_t length;   // the new record's length
    uint64_t size;     // the file's size, what the record decodes to
    PutStream stream;
    std::string file;  // the position's name in the disc's file system, if any
};

// Whether name is one that -l gives a record: 8 hex digits and ".bin", in
// either case. Stores the position it names.
bool IsRecordName(const std::string &name, uint64_t *position);

// Puts the file `from` back as the record at `position` of the container
// `into`; or, when `from` is a folder, every record file in it (named as
// IsRecordName takes them) as the record at the position its name gives.
// Every record is packed, placed and read back in memory, one file at a
// time, before the container is committed once: replaced under the lock held
// from reading it on, or, with `patch`, left as it is and the change written
// there as a PPF patch. The container is not written when every record
// stays the same.
//
// Fills *lines in order of position, and *names with whether the container
// names positions by file. Errors, which leave the container and any patch
// as they were: those of reading the files and the container and of
// committing, "Error: No record files in PATH", "Error: No record at 0xP",
// "Error: Overlapping records at 0xA and 0xB", "Error: No room for PATH: N
// bytes, room R", "Error: malloc()", "Error: LZSS_Compress*()", "Error:
// Record put back at 0xP does not read back", "Error: The patch and the
// container are one file: PATH".
//
// With listed, the data of `into` comes from that container, opened to
// read on the same file and unused since (Container::Open), instead of
// from reading the file again.
Error PutBack(const char *from, const char *into, uint64_t position, const char *patch,
              std::vector<PutBackLine> *lines, bool *names, Container *listed = nullptr);

#endif
