#include "PutBack.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "ChangeSet.h"
#include "RecordList.h"

struct Item {
    std::string path, name;
    uint64_t position;
    FoundRecord room;  // the record there, with the room as its length
    uint64_t length;   // of the record there
};

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
        const std::string there = FolderOf(from).empty() ? "." : FolderOf(from);
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
            return Error{Format("Error: Two files for the record at 0x%08llX: ", (unsigned long long)(*items)[i].position) +
                         (*items)[i - 1].name + " and " + (*items)[i].name};
    return Error();
}

// Packs the input into the item's room and puts it into the change, then
// reads it back through the change as unpacking reads it.
static Error Place(ChangeSet *change, const Item &item, const Buffer &input, PutBackLine *line)
{
    const ImageView &view = change->view();
    Placement placed;
    switch (PlaceRecord(view.data(), item.room, input.data(), input.size(), &placed)) {
    case PLACE_OK:
        break;
    case PLACE_NO_ROOM:
        return Error{"Error: No room for " + item.path +
                     Format(": %llu bytes, room %llu", (unsigned long long)placed.smallest, (unsigned long long)item.room.length)};
    case PLACE_NO_MEMORY:
        return NoMemory();
    case PLACE_ENCODER_FAILED:
        return Error{"Error: LZSS_Compress*()"};
    }
    // A room lies within the data sectors, so Put and Read fail only when
    // the sectors they read from the file do not come: that is the file's
    // fault, not the record's. A record that reads back whole within its
    // room reads back so within its area.
    std::vector<uint8_t> back(placed.stream == PUT_SAME ? 0 : (size_t)item.room.length);
    const bool put = placed.stream == PUT_SAME || (change->Put(item.position, placed.record, item.room.length) &&
                                                   change->Read(item.position, back.data(), back.size()));
    const bool placedWell =
        put && (placed.stream == PUT_SAME || CheckPlaced(back.data(), back.size(), 0, placed.length, input.data(), input.size()));
    free(placed.record);
    if (!put)
        return CantOpen(view.path());
    if (!placedWell)
        return Error{Format("Error: Record put back at 0x%08llX does not read back", (unsigned long long)item.position)};
    *line = {item.position, item.room.length, placed.stream == PUT_SAME ? item.length : placed.length, input.size(),
             placed.stream, view.FileName(item.position)};
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
              PutBackReport *report, const std::shared_ptr<const ImageView> &listed)
{
    if (Error error = CheckPatch(patch))
        return error;
    std::vector<Item> items;
    bool folder;
    Buffer single;
    std::string list;
    if (Error error = Gather(from, &items, &folder, &single, &report->leftOut, &list))
        return error;
    ListedRooms rooms;
    if (!list.empty())
        if (Error error = ReadRecordList(list, &rooms))
            return error;
    std::unique_ptr<ChangeSet> change;
    if (Error error = ChangeSet::Open(into, patch != nullptr, listed, &change))
        return error;
    const ImageView &view = change->view();
    report->notice = view.sheetNotice();
    report->hint = view.hint();
    if (patch != nullptr && change->IsFile(patch))
        return Error{std::string("Error: The patch and the container are one file: ") + patch};
    if (!folder)
        if (Error error = view.Locate(position, &items[0].position))
            return error;

    for (Item &item : items)
        if (Error error = MatchRoom(view, rooms, item.position, &item.room, &item.length))
            return error;
    for (size_t i = 1; i < items.size(); i++)
        if (items[i - 1].position + items[i - 1].room.length > items[i].position)
            return Error{Format("Error: Overlapping records at 0x%08llX and 0x%08llX",
                                (unsigned long long)items[i - 1].position, (unsigned long long)items[i].position)};

    report->lines.resize(items.size());
    for (size_t i = 0; i < items.size(); i++) {
        Buffer read; // one file at a time, freed once placed
        if (folder)
            if (Error error = ReadWholeFile(items[i].path.c_str(), &read))
                return error;
        if (Error error = Place(change.get(), items[i], folder ? read : single, &report->lines[i]))
            return error;
    }
    report->names = view.HasFileNames();
    return change->Commit(patch, Format("exspack: %llu records put back", (unsigned long long)items.size()));
}
