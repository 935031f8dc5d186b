// What -l finds and shows, and what -i reports, as text that any driver
// prints or shows as it stands: the command line prints it, the web page
// shows it and zips the folder the listing writes. The rules of both reports
// live here once.
#ifndef EXSPACK_LISTING_H
#define EXSPACK_LISTING_H

#include <stdint.h>

#include <string>
#include <vector>

#include <memory>

#include "ImageView.h"
#include "Platform.h"
#include "PutBack.h"
#include "RecordList.h"
#include "Records.h"

// The records of an image, found as -l finds them: its record map.
class Listing {
public:
    // Reads the image at path with its record map (ImageView::Open).
    // Errors: those of ImageView::Open. The search is a codec call (see
    // FindRecord): a false candidate may leave the scanner's message on
    // stdout, which a driver drops.
    Error Open(const char *path);

    const std::vector<FoundRecord> &records() const { return view_->records(); }
    // The image: for a driver that unpacks its records, or puts back into
    // the same file (PutBack's listed).
    const std::shared_ptr<const ImageView> &view() const { return view_; }
    bool names() const { return view_->HasFileNames(); }
    // The File column of record i: "PATH+0xOFFSET", or "-" in no file.
    std::string File(size_t i) const { return view_->FileName(records()[i].position); }

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

    // The record list's text (RecordListText).
    std::string Table() const { return RecordListText(*view_); }

private:
    std::shared_ptr<const ImageView> view_;
};

// The lines of the -i report, each ending in '\n': the heading (with a File
// column when the container names positions by file), one line's row, and
// the count ("N records put back").
std::string PutBackHeading(bool names);
std::string PutBackRow(const PutBackLine &line, bool names);
std::string PutBackCount(size_t count);

#endif
