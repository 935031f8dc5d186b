#include "Listing.h"

#include <stdio.h>

#include "LZSS.h"

static std::string Fields(const char *format, unsigned long long a, unsigned long long b = 0,
                          unsigned long long c = 0, unsigned long long d = 0)
{
    char text[128];
    snprintf(text, sizeof text, format, a, b, c, d);
    return text;
}

std::string RecordFileName(uint64_t position) { return Fields("%08llX.bin", position); }

Error DecodeRecord(const uint8_t *data, const FoundRecord &record, Buffer *decoded)
{
    if (!decoded->Allocate(record.decoded))
        return NoMemory();
    LZSS_Decompress(data + record.position + HEADER_SIZE, decoded->data());
    return Error();
}

Error Listing::Open(const char *path)
{
    records_.clear();
    if (Error error = container_.Open(path, Container::TO_READ))
        return error;
    for (const Area &area : container_.areas())
        if (!FindRecords(container_.data(), area.begin, area.end, &records_))
            return NoMemory(); // not an empty listing
    return Error();
}

std::string Listing::Notice() const
{
    if (container_.kind() == Container::CUT_RAW_IMAGE)
        return container_.SheetNotice() +
               ::Format("Not read as a CD image: the size is not a whole number of 2352-byte sectors (%llu byte%s "
                      "past the last whole one: the image is cut short or is not a CD image)\n",
                      (unsigned long long)container_.CutBytes(), container_.CutBytes() == 1 ? "" : "s");
    if (container_.kind() == Container::RAW_IMAGE)
        return container_.SheetNotice() + "CD image: 2352-byte sectors; positions count 2048 data bytes per sector\n";
    return container_.SheetNotice();
}

// The widths hold a 32-bit file's largest record (10 digits) and decoded
// size (11 digits).
std::string Listing::Heading() const
{
    return names() ? "Position    Compressed  Uncompressed  Header                  File\n"
                   : "Position    Compressed  Uncompressed  Header\n";
}

static std::string HeaderColumn(const FoundRecord &record)
{
    if (record.header_size == (uint32_t)record.decoded)
        return "ok";
    return Fields("header says %llu", record.header_size);
}

std::string Listing::Row(size_t i) const
{
    const FoundRecord &record = records_[i];
    std::string row = Fields("0x%08llX  %-10llu  %-12llu  ", record.position, record.length, record.decoded);
    const std::string header = HeaderColumn(record);
    if (!names())
        return row + header + "\n";
    row += header;
    if (header.size() < 22)
        row.append(22 - header.size(), ' ');
    return row + "  " + File(i) + "\n";
}

std::string Listing::Count() const { return Fields("%llu records\n", records_.size()); }

std::string Listing::Text() const
{
    std::string text = Notice() + Heading();
    for (size_t i = 0; i < records_.size(); i++)
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
    if (Error error = DecodeRecord(container_.data(), records_[i], &decoded))
        return error;
    // Unflushed: the folder is flushed once, with all of them (WriteTable).
    return WriteFileSafely(PathInFolder(folder, RecordFileName(records_[i].position)).c_str(), decoded.data(),
                           decoded.size(), false);
}

Error Listing::Extract(const char *folder) const
{
    if (Error error = MakeFolder(folder))
        return error;
    for (size_t i = 0; i < records_.size(); i++)
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

std::string Listing::Table() const
{
    std::string table = std::string(RECORD_LIST_HEADING) + "\n";
    for (size_t i = 0; i < records_.size(); i++) {
        const FoundRecord &record = records_[i];
        table += Fields("0x%08llX\t%llu\t%llu\t", record.position, record.length, record.decoded) +
                 HeaderColumn(record) + "\t" + File(i) + "\n";
    }
    return table;
}

std::string PutBackHeading(bool names)
{
    return names ? "Position    Room        Compressed  Uncompressed  Stream   File\n"
                 : "Position    Room        Compressed  Uncompressed  Stream\n";
}

std::string PutBackRow(const PutBackLine &line, bool names)
{
    std::string row = Fields("0x%08llX  %-10llu  %-10llu  %-12llu  ", line.position, line.room, line.length, line.size);
    const std::string stream = PUT_STREAM_NAMES[line.stream];
    if (!names)
        return row + stream + "\n";
    row += stream;
    if (stream.size() < 7)
        row.append(7 - stream.size(), ' ');
    return row + "  " + line.file + "\n";
}

std::string PutBackCount(size_t count) { return Fields("%llu records put back\n", count); }
