#include "PutBack.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "Container.h"

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
    std::string path;
    uint64_t position;
    FoundRecord room;
};

// The files to put back, in order of position; a single file is read at
// once, before the container, the files of a folder one by one later.
static Error Gather(const char *from, uint64_t position, std::vector<Item> *items, bool *folder, Buffer *single)
{
    std::vector<std::string> names;
    *folder = ListFolder(from, &names);
    if (!*folder) {
        items->push_back({from, position, {}});
        return ReadWholeFile(from, single);
    }
    const std::string prefix = PathInFolder(from, "");
    for (const std::string &name : names)
        if (IsRecordName(name, &position))
            items->push_back({prefix + name, position, {}});
    if (items->empty())
        return Error{std::string("Error: No record files in ") + from};
    std::sort(items->begin(), items->end(), [](const Item &a, const Item &b) { return a.position < b.position; });
    return Error();
}

// Packs the input into the item's room and puts it into the container.
static Error Place(Container *container, const Item &item, const Buffer &input, PutBackLine *line)
{
    Placement placed;
    switch (PlaceRecord(container->data(), item.room, input.data(), input.size(), &placed)) {
    case PLACE_OK:
        break;
    case PLACE_NO_ROOM:
        return Error{"Error: No room for " + item.path +
                     AtPosition(": %llu bytes, room %llu\n", placed.smallest, item.room.length)};
    case PLACE_NO_MEMORY:
        return NoMemory();
    case PLACE_ENCODER_FAILED:
        return Error{"Error: LZSS_Compress*()"};
    }
    // Read back as unpacking reads it, from a raw image's own sectors.
    const bool placedWell =
        placed.stream == PUT_SAME ||
        (container->Put(item.position, placed.record, item.room.length) &&
         CheckPlaced(container->data(), container->AreaEnd(item.position), item.position, placed.length,
                     input.data(), input.size()));
    free(placed.record);
    if (!placedWell)
        return Error{AtPosition("Error: Record put back at 0x%08llX does not read back\n", item.position)};
    *line = {item.position, item.room.length, placed.length, input.size(), placed.stream,
             container->FileName(item.position)};
    return Error();
}

Error PutBack(const char *from, const char *into, uint64_t position, const char *patch,
              std::vector<PutBackLine> *lines, bool *names, Container *listed)
{
    std::vector<Item> items;
    bool folder;
    Buffer single;
    if (Error error = Gather(from, position, &items, &folder, &single))
        return error;
    Container container;
    if (Error error = container.Open(into, patch != nullptr ? Container::TO_PATCH : Container::TO_CHANGE, listed))
        return error;
    if (patch != nullptr && container.IsFile(patch))
        return Error{std::string("Error: The patch and the container are one file: ") + patch};

    // A room is a record that -l would list there.
    for (Item &item : items)
        if (!HoldsMagic(container.data(), container.size(), item.position) ||
            CheckRecord(container.data(), container.AreaEnd(item.position), item.position, &item.room) != RECORD_OK)
            return Error{AtPosition("Error: No record at 0x%08llX\n", item.position)};
    for (size_t i = 1; i < items.size(); i++)
        if (items[i - 1].position + items[i - 1].room.length > items[i].position)
            return Error{AtPosition("Error: Overlapping records at 0x%08llX and 0x%08llX\n", items[i - 1].position,
                                    items[i].position)};

    lines->resize(items.size());
    for (size_t i = 0; i < items.size(); i++) {
        Buffer read; // one file at a time, freed once placed
        if (folder)
            if (Error error = ReadWholeFile(items[i].path.c_str(), &read))
                return error;
        if (Error error = Place(&container, items[i], folder ? read : single, &(*lines)[i]))
            return error;
    }
    *names = container.HasFileNames();
    return container.Commit(patch, AtPosition("exspack: %llu records put back", items.size()));
}
