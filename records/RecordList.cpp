#include "RecordList.h"

#include "CueSheet.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

const char RECORD_LIST[] = "records.tsv";
const char RECORD_LIST_HEADING[] = "position\troom\tuncompressed\theader\tfile";

std::string RecordFileName(uint64_t position) { return Format("%08llX.bin", (unsigned long long)position); }

bool IsRecordName(const std::string &name, uint64_t *position)
{
    if (name.size() != 12 ||
        !std::all_of(name.begin(), name.begin() + 8, [](char c) { return isxdigit((unsigned char)c) != 0; }))
        return false;
    for (int i = 0; i < 4; i++)
        if (tolower((unsigned char)name[8 + i]) != ".bin"[i])
            return false;
    *position = strtoull(name.substr(0, 8).c_str(), NULL, 16);
    return true;
}

std::string HeaderColumn(const FoundRecord &record)
{
    if (record.header_size == (uint32_t)record.decoded)
        return "ok";
    return Format("header says %llu", (unsigned long long)record.header_size);
}

std::string RecordListText(const ImageView &view)
{
    std::string table = std::string(RECORD_LIST_HEADING) + "\n";
    for (const FoundRecord &record : view.records())
        table += Format("0x%08llX\t%llu\t%llu\t", (unsigned long long)record.position, (unsigned long long)record.length,
                        (unsigned long long)record.decoded) +
                 HeaderColumn(record) + "\t" + view.FileName(record.position) + "\n";
    return table;
}

Error ReadRecordList(const std::string &path, ListedRooms *rooms)
{
    Buffer text;
    if (Error error = ReadWholeFile(path.c_str(), &text))
        return error;
    // LF or CR LF, with or without a byte order mark, as any editor may save it.
    const std::vector<std::string> lines = TextLines(text.data(), (size_t)text.size());
    for (uint64_t number = 1; number <= lines.size(); number++) {
        const std::string &line = lines[number - 1];
        unsigned long long position, room;
        int n = 0;
        const bool good = number == 1 ? line == RECORD_LIST_HEADING
                                      : line.empty() || (sscanf(line.c_str(), "0x%llx\t%llu\t%n", &position, &room, &n) == 2 &&
                                                         n > 0 && line.compare(0, 2, "0x") == 0);
        if (!good)
            return Error{Format("Error: Bad line %llu in ", (unsigned long long)number) + path};
        if (number > 1 && !line.empty())
            (*rooms)[position] = room;
    }
    return Error();
}

Error MatchRoom(const ImageView &view, const ListedRooms &rooms, uint64_t position, FoundRecord *room,
                uint64_t *length)
{
    const FoundRecord *const found = view.RecordAt(position);
    if (found != nullptr)
        *room = *found;
    *length = found != nullptr ? found->length : 0;
    const auto listed = rooms.find(position);
    if (listed == rooms.end())
        return found != nullptr ? Error() : Error{Format("Error: No record at 0x%08llX", (unsigned long long)position)};
    const uint64_t end = view.AreaEnd(position), size = listed->second;
    const uint8_t *const data = view.data() + position;
    if (found == nullptr || size > end - position || *length > size ||
        !std::all_of(data + *length, data + size, [](uint8_t b) { return b == 0; }))
        return Error{std::string("Error: ") + RECORD_LIST + " does not match " + view.path() +
                     Format(" at 0x%08llX", (unsigned long long)position)};
    room->length = size;
    return Error();
}
