// The record list -l writes beside the record files, records.tsv, from which
// -i takes each listed record's room, and the names of the record files:
// written, read and matched against an image here alone, for the command
// line and the web page alike.
//
// The list's first line is RECORD_LIST_HEADING; a line a record follows,
// its fields separated by tabs: the position ("0x%08X"), the room (the
// record's length, decimal), the uncompressed size, "ok" or "header says
// N", and the position's name by file ("-" for none).
#ifndef EXSPACK_RECORDLIST_H
#define EXSPACK_RECORDLIST_H

#include <stdint.h>

#include <map>
#include <string>

#include "ImageView.h"
#include "Platform.h"
#include "Records.h"

extern const char RECORD_LIST[];
extern const char RECORD_LIST_HEADING[];

// The name -l gives a record's file: its position as 8 upper-case hex digits
// and ".bin".
std::string RecordFileName(uint64_t position);
// Whether name is one that -l gives a record: 8 hex digits and ".bin", in
// either case. Stores the position it names.
bool IsRecordName(const std::string &name, uint64_t *position);

// The header column of a record: "ok" when its size field holds what its
// stream decodes to, else "header says N".
std::string HeaderColumn(const FoundRecord &record);

// The list's text for every record of the view's record map.
std::string RecordListText(const ImageView &view);

// The rooms a list gives, by position.
typedef std::map<uint64_t, uint64_t> ListedRooms;

// Reads the list at path into *rooms, with or without a UTF-8 byte order
// mark, its lines ending in LF or CR LF; blank lines are passed over.
// Errors: those of ReadWholeFile, "Error: Bad line N in PATH".
Error ReadRecordList(const std::string &path, ListedRooms *rooms);

// The room at position of the view: the record its record map lists there,
// or, where rooms lists the position, that record with the listed length,
// which the image must agree with: a record there that ends inside the room
// followed by zero bytes to the room's end. Fills *room (its length the
// room's) and *length (the record's own). Errors: "Error: No record at 0xP",
// "Error: records.tsv does not match CONTAINER at 0xP".
Error MatchRoom(const ImageView &view, const ListedRooms &rooms, uint64_t position, FoundRecord *room,
                uint64_t *length);

#endif
