// What -l finds and shows, and what -i reports, as text that any driver
// prints or shows as it stands: the command line prints it, the web page
// shows it and zips the folder the listing writes. The rules of both reports
// live here once.
#ifndef EXSPACK_LISTING_H
#define EXSPACK_LISTING_H

#include <stdint.h>

#include <string>
#include <vector>

#include "Container.h"
#include "Platform.h"
#include "PutBack.h"
#include "Records.h"

// The records of a container, found as -l finds them.
class Listing {
public:
    // Opens the container at path to read and finds every record in it.
    // Errors: those of Container::Open, "Error: malloc()" when the search
    // has no work memory. The search is a codec call (see
    // FindRecord): a false candidate may leave the scanner's message on
    // stdout, which a driver drops.
    Error Open(const char *path);

    const std::vector<FoundRecord> &records() const { return records_; }
    // The container, open to read: for a driver that unpacks its records,
    // or puts back into the same file (Container::Open), which empties it.
    const Container &container() const { return container_; }
    Container &container() { return container_; }
    bool names() const { return container_.HasFileNames(); }
    // The File column of record i: "PATH+0xOFFSET", or "-" in no file.
    std::string File(size_t i) const { return container_.FileName(records_[i].position); }

    // The report's lines, each ending in '\n': the notices about the
    // container ("" when there are none, else one or more lines), the
    // heading, record i's row, the count ("N records"). Each value starts in
    // the column of its heading word.
    std::string Notice() const;
    std::string Heading() const;
    std::string Row(size_t i) const;
    std::string Count() const;
    // All of them, as -l prints them.
    std::string Text() const;

    // Writes each record's decoded bytes into the folder as XXXXXXXX.bin,
    // named after its position, then the record list (RECORD_LIST, Table)
    // that -i takes rooms from. The folder is made if missing (its parent
    // must exist). Files written before an error stay. Errors: "Can't open:
    // FOLDER" when it cannot be made, those of WriteFileSafely, "Error:
    // malloc()". The records are written unflushed and flushed once, with
    // the folder, after the list. The steps one by one, for a driver that
    // reports as it goes:
    // MakeFolder, WriteRecord for each record in order, WriteTable.
    Error Extract(const char *folder) const;
    Error MakeFolder(const char *folder) const;
    Error WriteRecord(const char *folder, size_t i) const;
    Error WriteTable(const char *folder) const;

    // The record list's text: RECORD_LIST_HEADING, then one line a record,
    // as PutBack.h describes.
    std::string Table() const;

private:
    Container container_;
    std::vector<FoundRecord> records_;
};

// The name -l gives record's file: its position as 8 upper-case hex digits
// and ".bin".
std::string RecordFileName(uint64_t position);

// Decodes the record found at data + record.position into *decoded.
Error DecodeRecord(const uint8_t *data, const FoundRecord &record, Buffer *decoded);

// The lines of the -i report, each ending in '\n': the heading (with a File
// column when the container names positions by file), one line's row, and
// the count ("N records put back").
std::string PutBackHeading(bool names);
std::string PutBackRow(const PutBackLine &line, bool names);
std::string PutBackCount(size_t count);

#endif
