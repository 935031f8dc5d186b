#include "Listing.h"

Error Listing::Open(const char *path)
{
    view_.reset();
    return ImageView::Open(path, true, &view_);
}

std::string Listing::Notice() const
{
    if (view_->kind() == ImageView::CUT_RAW_IMAGE)
        return view_->sheetNotice() +
               Format("Not read as a CD image: the size is not a whole number of 2352-byte sectors (%llu byte%s "
                      "past the last whole one: the image is cut short or is not a CD image)\n",
                      (unsigned long long)view_->cutBytes(), view_->cutBytes() == 1 ? "" : "s");
    if (view_->kind() == ImageView::RAW_IMAGE)
        return view_->sheetNotice() + "CD image: 2352-byte sectors; positions count 2048 data bytes per sector\n";
    return view_->sheetNotice();
}

// The widths hold a 32-bit file's largest record (10 digits) and decoded
// size (11 digits).
std::string Listing::Heading() const
{
    return names() ? "Position    Compressed  Uncompressed  Header                  File\n"
                   : "Position    Compressed  Uncompressed  Header\n";
}

std::string Listing::Row(size_t i) const
{
    const FoundRecord &record = records()[i];
    std::string row = Format("0x%08llX  %-10llu  %-12llu  ", (unsigned long long)record.position,
                             (unsigned long long)record.length, (unsigned long long)record.decoded);
    const std::string header = HeaderColumn(record);
    if (!names())
        return row + header + "\n";
    row += header;
    if (header.size() < 22)
        row.append(22 - header.size(), ' ');
    return row + "  " + File(i) + "\n";
}

std::string Listing::Count() const { return Format("%llu records\n", (unsigned long long)records().size()); }

std::string Listing::Text() const
{
    std::string text = Notice() + Heading();
    for (size_t i = 0; i < records().size(); i++)
        text += Row(i);
    return text + Count();
}

Error Listing::MakeFolder(const char *folder) const
{
    return ::MakeFolder(folder) ? Error() : CantOpen(folder);
}

Error Listing::WriteRecord(const char *folder, size_t i) const
{
    Buffer decoded;
    if (Error error = DecodeRecord(view_->data(), records()[i], &decoded))
        return error;
    // Unflushed: the folder is flushed once, with all of them (WriteTable).
    return WriteFileSafely(PathInFolder(folder, RecordFileName(records()[i].position)).c_str(), decoded.data(),
                           decoded.size(), false);
}

Error Listing::Extract(const char *folder) const
{
    if (Error error = MakeFolder(folder))
        return error;
    for (size_t i = 0; i < records().size(); i++)
        if (Error error = WriteRecord(folder, i))
            return error;
    return WriteTable(folder);
}

Error Listing::WriteTable(const char *folder) const
{
    const std::string table = Table();
    if (Error error = WriteFileSafely(PathInFolder(folder, RECORD_LIST).c_str(), (const uint8_t *)table.data(),
                                      table.size(), false))
        return error;
    return FlushFolder(folder);
}

std::string PutBackHeading(bool names)
{
    return names ? "Position    Room        Compressed  Uncompressed  Stream   File\n"
                 : "Position    Room        Compressed  Uncompressed  Stream\n";
}

std::string PutBackRow(const PutBackLine &line, bool names)
{
    std::string row = Format("0x%08llX  %-10llu  %-10llu  %-12llu  ", (unsigned long long)line.position,
                             (unsigned long long)line.room, (unsigned long long)line.length, (unsigned long long)line.size);
    const std::string stream = PUT_STREAM_NAMES[line.stream];
    if (!names)
        return row + stream + "\n";
    row += stream;
    if (stream.size() < 7)
        row.append(7 - stream.size(), ' ');
    return row + "  " + line.file + "\n";
}

std::string PutBackCount(size_t count) { return Format("%llu records put back\n", (unsigned long long)count); }
