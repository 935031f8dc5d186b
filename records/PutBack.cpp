#include "PutBack.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>

const char RECORD_LIST[] = "records.tsv";
const char RECORD_LIST_HEADING[] = "position\troom\tuncompressed\theader\tfile";

static std::string AtPosition(const char *format, uint64_t a, uint64_t b = 0)
{
    char text[128];
    snprintf(text, sizeof text, format, (unsigned long long)a, (unsigned long long)b);
    return text;
}

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

struct Item {
    std::string path, name;
    uint64_t position;
    FoundRecord room;  // the record there, with the room as its length
    uint64_t length;   // of the record there
};

static std::string Folder(const std::string &path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// The files to put back, in order of position; a single file is read at
// once, before the container, the files of a folder one by one later. Fills
// *list with the record list's path where there is one.
static Error Gather(const char *from, std::vector<Item> *items, bool *folder, Buffer *single,
                    std::vector<std::string> *leftOut, std::string *list)
{
    std::vector<std::string> names, others;
    *folder = ListFolder(from, &names, &others);
    if (!*folder) {
        items->push_back({from, "", 0, {}, 0});
        std::vector<std::string> beside;
        const std::string there = Folder(from);
        if (ListFolder(there.c_str(), &beside) && std::count(beside.begin(), beside.end(), RECORD_LIST))
            *list = PathInFolder(there.c_str(), RECORD_LIST);
        return ReadWholeFile(from, single);
    }
    std::sort(names.begin(), names.end());
    std::sort(others.begin(), others.end());
    const std::string prefix = PathInFolder(from, "");
    for (const std::string &name : names) {
        uint64_t position;
        if (IsRecordName(name, &position))
            items->push_back({prefix + name, name, position, {}, 0});
        else if (name == RECORD_LIST)
            *list = prefix + name;
        else
            leftOut->push_back("Left out: " + name + " (not a record file name)\n");
    }
    for (const std::string &name : others)
        leftOut->push_back("Left out: " + name + " (not a regular file)\n");
    if (items->empty())
        return Error{std::string("Error: No record files in ") + from};
    std::stable_sort(items->begin(), items->end(), [](const Item &a, const Item &b) { return a.position < b.position; });
    for (size_t i = 1; i < items->size(); i++)
        if ((*items)[i - 1].position == (*items)[i].position)
            return Error{AtPosition("Error: Two files for the record at 0x%08llX: ", (*items)[i].position) +
                         (*items)[i - 1].name + " and " + (*items)[i].name};
    return Error();
}

// The rooms the record list at path gives, by position.
static Error ReadList(const std::string &path, std::map<uint64_t, uint64_t> *rooms)
{
    Buffer text;
    if (Error error = ReadWholeFile(path.c_str(), &text))
        return error;
    const char *at = (const char *)text.data(), *const end = at + text.size();
    for (uint64_t number = 1; at < end; number++) {
        const char *stop = (const char *)memchr(at, '\n', (size_t)(end - at));
        std::string line(at, stop != nullptr ? stop : end);
        at = stop != nullptr ? stop + 1 : end;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        unsigned long long position, room;
        int n = 0;
        const bool good = number == 1 ? line == RECORD_LIST_HEADING
                                      : line.empty() || (sscanf(line.c_str(), "0x%llx\t%llu\t%n", &position, &room, &n) == 2 &&
                                                         n > 0 && line.compare(0, 2, "0x") == 0);
        if (!good)
            return Error{AtPosition("Error: Bad line %llu in ", number) + path};
        if (number > 1 && !line.empty())
            (*rooms)[position] = room;
    }
    return Error();
}

// The room at the item's position: the record -l would list there, or, on
// the list, the listed length where the container agrees with it.
static Error FindRoom(const Container &container, const std::vector<FoundRecord> &records,
                      const std::map<uint64_t, uint64_t> &rooms, Item *item)
{
    const uint64_t end = container.AreaEnd(item->position);
    const auto at = std::lower_bound(records.begin(), records.end(), item->position,
                                     [](const FoundRecord &r, uint64_t p) { return r.position < p; });
    const bool found = at != records.end() && at->position == item->position;
    if (found)
        item->room = *at;
    item->length = found ? item->room.length : 0;
    const auto listed = rooms.find(item->position);
    if (listed == rooms.end())
        return found ? Error() : Error{AtPosition("Error: No record at 0x%08llX", item->position)};
    const uint64_t room = listed->second;
    const uint8_t *const data = container.data() + item->position;
    if (!found || room > end - item->position || item->length > room ||
        !std::all_of(data + item->length, data + room, [](uint8_t b) { return b == 0; }))
        return Error{std::string("Error: ") + RECORD_LIST + " does not match " + container.path() +
                     AtPosition(" at 0x%08llX", item->position)};
    item->room.length = room;
    return Error();
}

// Packs the input into the item's room and puts it into the container,
// which is read from `into` where it is not held in memory.
static Error Place(Container *container, const char *into, const Item &item, const Buffer &input, PutBackLine *line)
{
    Placement placed;
    switch (PlaceRecord(container->data(), item.room, input.data(), input.size(), &placed)) {
    case PLACE_OK:
        break;
    case PLACE_NO_ROOM:
        return Error{"Error: No room for " + item.path +
                     AtPosition(": %llu bytes, room %llu", placed.smallest, item.room.length)};
    case PLACE_NO_MEMORY:
        return NoMemory();
    case PLACE_ENCODER_FAILED:
        return Error{"Error: LZSS_Compress*()"};
    }
    // Read back as unpacking reads it, from a raw image's own sectors. A
    // room lies within the data sectors, so Put fails only when the sectors
    // it reads from the file do not come: that is the file's fault, not the
    // record's.
    const bool put = placed.stream == PUT_SAME || container->Put(item.position, placed.record, item.room.length);
    const bool placedWell = put && (placed.stream == PUT_SAME ||
                                    CheckPlaced(container->data(), container->AreaEnd(item.position), item.position,
                                                placed.length, input.data(), input.size()));
    free(placed.record);
    if (!put)
        return CantOpen(into);
    if (!placedWell)
        return Error{AtPosition("Error: Record put back at 0x%08llX does not read back", item.position)};
    *line = {item.position, item.room.length, placed.stream == PUT_SAME ? item.length : placed.length, input.size(),
             placed.stream, container->FileName(item.position)};
    return Error();
}

// A patch replaces only a patch, or an empty file: a cue sheet or the image
// itself in PATCH's place would be lost.
static Error CheckPatch(const char *patch)
{
    if (patch == nullptr || KindOfPath(patch) != PATH_FILE)
        return Error();
    InputFile file;
    uint8_t magic[3] = {0};
    if (Error error = file.Open(patch))
        return error;
    if (file.size() == 0)
        return Error();
    if (file.size() >= sizeof magic)
        if (Error error = file.Read(0, magic, sizeof magic))
            return error;
    if (memcmp(magic, "PPF", sizeof magic) != 0)
        return Error{std::string("Error: Not a PPF patch: ") + patch};
    return Error();
}

Error PutBack(const char *from, const char *into, const DataPosition &position, const char *patch,
              PutBackReport *report, Container *listed)
{
    if (Error error = CheckPatch(patch))
        return error;
    std::vector<Item> items;
    bool folder;
    Buffer single;
    std::string list;
    if (Error error = Gather(from, &items, &folder, &single, &report->leftOut, &list))
        return error;
    std::map<uint64_t, uint64_t> rooms;
    if (!list.empty())
        if (Error error = ReadList(list, &rooms))
            return error;
    Container container;
    if (Error error = container.Open(into, patch != nullptr ? Container::TO_PATCH : Container::TO_CHANGE, listed))
        return error;
    report->notice = container.SheetNotice();
    report->hint = container.Hint();
    if (patch != nullptr && container.IsFile(patch))
        return Error{std::string("Error: The patch and the container are one file: ") + patch};
    if (!folder)
        if (Error error = container.Locate(position, &items[0].position))
            return error;

    // A room is a record the search lists, never a magic inside another
    // record: writing there would corrupt the record around it.
    std::vector<FoundRecord> records;
    for (const Area &area : container.areas())
        if (!FindRecords(container.data(), area.begin, area.end, &records))
            return NoMemory();
    for (Item &item : items)
        if (Error error = FindRoom(container, records, rooms, &item))
            return error;
    for (size_t i = 1; i < items.size(); i++)
        if (items[i - 1].position + items[i - 1].room.length > items[i].position)
            return Error{AtPosition("Error: Overlapping records at 0x%08llX and 0x%08llX", items[i - 1].position,
                                    items[i].position)};

    report->lines.resize(items.size());
    for (size_t i = 0; i < items.size(); i++) {
        Buffer read; // one file at a time, freed once placed
        if (folder)
            if (Error error = ReadWholeFile(items[i].path.c_str(), &read))
                return error;
        if (Error error = Place(&container, container.path().c_str(), items[i], folder ? read : single,
                                &report->lines[i]))
            return error;
    }
    report->names = container.HasFileNames();
    return container.Commit(patch, AtPosition("exspack: %llu records put back", items.size()));
}
