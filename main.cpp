// exspack: packs and unpacks Vesperhall [PSX] data records.
//
// A record is an 8-byte header (the magic 45 58 53 01, then the uncompressed
// size, little-endian) followed by an LZSS stream.

#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CdImage.h"
#include "LZSS.h"
#include "Records.h"
#include "Platform.h"

static const uint64_t FAILED = UINT64_MAX;

static const char USAGE[] =
    "Vesperhall [PSX] compressor || v1.0.0 by tarsek\n"
    "usage: %s INPUT OUTPUT [-c | -d] [-p file_pos]\n"
    "positional arguments:\n"
    "  INPUT          input file\n"
    "  OUTPUT         output file\n"
    "optional arguments:\n"
    "  -c             compress (default)\n"
    "  -d             decompress\n"
    "  -p file_pos    start file position (default: 0)\n"
    "  -b             best compression: smallest record, slower\n"
    "  -l             list every record in INPUT; with OUTPUT as a folder, extract them\n"
    "  -i             put INPUT back as the record at file_pos of OUTPUT; INPUT may be a folder -l wrote\n";

enum Mode { MODE_COMPRESS = 0, MODE_DECOMPRESS = 1, MODE_LIST = 2, MODE_PUT = 3 };

struct Options {
    const char *input;
    const char *output;
    int32_t mode;
    uint32_t file_pos;
    bool best;
};

static const char *const arguments[] = {"c", "d", "p", "b", "l", "i", NULL};

struct Result {
    uint8_t *data;
    uint64_t size;
};

// Where the tool's own report goes: stdout, except while listing (see List).
static FILE *report = stdout;

static void PrintArgs(FILE *stream, const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int n = vsnprintf(NULL, 0, format, again);
    va_end(again);
    std::string text(n > 0 ? (size_t)n : 0, '\0');
    if (n > 0)
        vsnprintf(&text[0], text.size() + 1, format, args);
    PrintText(stream, text.c_str());
}

static void Print(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    PrintArgs(report, format, args);
    va_end(args);
}

// Flushes standard output first, so that both streams read in order when
// they go to the same place.
static void PrintTo(FILE *stream, const char *format, ...)
{
    fflush(stdout);
    fflush(report);
    va_list args;
    va_start(args, format);
    PrintArgs(stream, format, args);
    va_end(args);
}

// Every error ends the run: one message on standard error, status 1.
#define Fail(...) (PrintTo(stderr, __VA_ARGS__), exit(1))

// Reads a number as a 32-bit strtoul would on every platform: decimal, or hex
// after 0x. A value that does not fit in 32 bits saturates to 0xFFFFFFFF
// instead of wrapping round to a small position.
uint32_t Parse_ulong(const char *text)
{
    char buffer[11] = {0};
    strncpy(buffer, text, 10);
    const char *digits = buffer;
    int base = 10;
    if (buffer[0] == '0' && toupper((unsigned char)buffer[1]) == 'X') {
        digits = buffer + 2;
        base = 16;
    }
    errno = 0;
    const unsigned long long value = strtoull(digits, NULL, base);
    const char *sign = digits;
    while (*sign == ' ' || (*sign >= '\t' && *sign <= '\r'))
        sign++;
    const bool negative = *sign == '-';
    const unsigned long long magnitude = negative ? 0 - value : value;
    if (errno == ERANGE || magnitude > 0xFFFFFFFFu)
        return 0xFFFFFFFFu;
    return (uint32_t)(negative ? 0 - magnitude : magnitude);
}

static int FindOption(const char *name)
{
    for (int i = 0; arguments[i] != NULL; i++)
        if (strcmp(arguments[i], name) == 0)
            return i;
    return -1;
}

void argparse(int argc, char **argv, Options *options)
{
    memset(options, 0, sizeof *options);
    int positional = 0;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] != '-') {
            if (positional == 0)
                options->input = arg;
            else if (positional == 1)
                options->output = arg;
            else
                PrintTo(stderr, "Unknown argument: %s\n", arg);
            positional++;
            continue;
        }
        switch (FindOption(arg + 1)) {
        case 0:
            options->mode = MODE_COMPRESS;
            break;
        case 1:
            options->mode = MODE_DECOMPRESS;
            break;
        case 2:
            if (i + 1 < argc)
                options->file_pos = Parse_ulong(argv[++i]);
            break;
        case 3:
            options->best = true;
            break;
        case 4:
            options->mode = MODE_LIST;
            break;
        case 5:
            options->mode = MODE_PUT;
            break;
        default:
            PrintTo(stderr, "Unknown option: %s\n", arg);
        }
    }
}

// Measures an open file and leaves it positioned at its start. Returns -1 for
// anything that is not a readable file of fewer than 2^31 bytes, so that a
// larger file is never taken for its size modulo 2^32.
int32_t GetFileSize(FILE *file)
{
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_END) != 0)
        return -1;
    const long long size = _ftelli64(file);
#else
    if (fseeko(file, 0, SEEK_END) != 0)
        return -1;
    const long long size = ftello(file);
#endif
    if (size < 0 || size > INT32_MAX || fseek(file, 0, SEEK_SET) != 0)
        return -1;
    // A directory opens and seeks like a file on POSIX systems; only reading
    // tells it apart.
    if (fgetc(file) == EOF && ferror(file))
        return -1;
    if (fseek(file, 0, SEEK_SET) != 0)
        return -1;
    return (int32_t)size;
}

static void *Allocate(uint64_t size)
{
    if (size > SIZE_MAX)
        Fail("Error: malloc()");
    // malloc(0) may return NULL; an empty buffer must still succeed.
    void *memory = malloc(size != 0 ? (size_t)size : 1);
    if (memory == NULL)
        Fail("Error: malloc()");
    return memory;
}

// A buffer for a whole file or its data view; release it with ReleaseBuffer.
static uint8_t *NewBuffer(uint64_t size)
{
    uint8_t *buffer = MapMemory(size);
    return buffer != NULL ? buffer : (uint8_t *)Allocate(size);
}

static Result Pack(const uint8_t *input, uint64_t size, bool best)
{
    const uint64_t maxsize = LZSS_GetCompressedMaxSize(size) + HEADER_SIZE;
    uint8_t *buffer = (uint8_t *)Allocate(maxsize);
    uint64_t n;
    if (best) {
        void *work = Allocate(LZSS_GetOptimalWorkSize(size));
        n = LZSS_CompressOptimal(input, size, buffer + HEADER_SIZE, work);
        free(work);
    } else {
        n = LZSS_CompressSimpleFast(input, size, buffer + HEADER_SIZE);
    }
    if (n == FAILED)
        Fail("Error: LZSS_Compress*()");
    const uint64_t dsize = n + HEADER_SIZE;
    assert(dsize <= maxsize);
    WriteHeader(buffer, size);
    Print("Compressed Size  : %llu (0x%llX)\n", (unsigned long long)dsize, (unsigned long long)dsize);
    Print("Uncompressed Size: %llu (0x%llX)", (unsigned long long)size, (unsigned long long)size);
    return Result{buffer, dsize};
}

static Result Unpack(const uint8_t *input, uint64_t size, uint64_t file_pos)
{
    FoundRecord record;
    switch (CheckRecord(input, size, file_pos, &record)) {
    case RECORD_OK:
        break;
    case RECORD_SMALL:
        Fail("Error: Small file");
    case RECORD_BAD:
        Fail("Error: Bad file");
    }
    uint8_t *buffer = (uint8_t *)Allocate(record.decoded);
    LZSS_Decompress(input + file_pos + HEADER_SIZE, buffer);
    Print("Uncompressed Size: %llu (0x%llX)\n", (unsigned long long)record.decoded,
          (unsigned long long)record.decoded);
    Print("Compressed Size  : %llu (0x%llX)", (unsigned long long)record.length, (unsigned long long)record.length);
    return Result{buffer, record.decoded};
}

enum Reading { READ, MAP, MAP_RAW_IMAGE };

// Reads the whole file at path into memory the caller may change; release
// it with ReleaseBuffer. A file mapped rather than read costs only what is
// touched: the way to change a few bytes of a large container, and to read
// a raw CD image whose data view has to be copied out of it anyway.
static uint8_t *ReadWholeFile(const char *path, uint64_t *size, Reading how = READ)
{
    FILE *file = OpenFile(path);
    if (file == NULL)
        Fail("Can't open: %s", path);
    const int32_t measured = GetFileSize(file);
    if (measured == -1)
        Fail("Error: GetFileSize()");
    *size = (uint64_t)(int64_t)measured;
    uint8_t sync[12] = {0};
    if (how == MAP_RAW_IMAGE && *size >= sizeof sync &&
        (fread(sync, 1, sizeof sync, file) != sizeof sync || fseek(file, 0, SEEK_SET) != 0))
        Fail("Can't open: %s", path);
    const bool map = how == MAP || (how == MAP_RAW_IMAGE && IsRawImage(sync, *size));
    uint8_t *data = map ? MapFile(file, *size) : NULL;
    if (data == NULL) {
        data = NewBuffer(*size);
        if (fread(data, 1, (size_t)*size, file) != *size)
            Fail("Can't open: %s", path);
    }
    fclose(file);
    return data;
}

static void WriteOrFail(const char *path, const uint8_t *data, uint64_t size)
{
    switch (WriteFileSafely(path, data, size)) {
    case WRITE_OK:
        break;
    case WRITE_CANT_OPEN:
        Fail("Can't open: %s", path);
    case WRITE_CANT_WRITE:
        Fail("Can't write: %s", path);
    }
}

// A folder path as the prefix of the names in it.
static std::string InFolder(const char *folder)
{
    std::string prefix = folder;
    if (prefix.back() != '/')
        prefix += '/';
    return prefix;
}

// Where records may lie in data[0 .. size - 1]: the whole file, or in a raw
// CD image each run of data sectors, as [begin, end) in the data view that
// *view then holds, a buffer of its own.
static std::vector<std::pair<uint64_t, uint64_t>> RecordAreas(const uint8_t *data, uint64_t size, uint8_t **view)
{
    *view = (uint8_t *)data;
    if (!IsRawImage(data, size))
        return {{0, size}};
    *view = NewBuffer(DataViewSize(size));
    std::vector<std::pair<uint64_t, uint64_t>> areas;
    for (const SectorRun &run : ReadDataView(data, size, *view))
        areas.push_back({run.first * SECTOR_DATA_SIZE, (run.first + run.count) * SECTOR_DATA_SIZE});
    return areas;
}

// The end of the area that holds position, or 0 when none does.
static uint64_t AreaEnd(const std::vector<std::pair<uint64_t, uint64_t>> &areas, uint64_t position)
{
    for (const auto &area : areas)
        if (position >= area.first && position < area.second)
            return area.second;
    return 0;
}

// Lists every record in the input and, given a folder, writes each one's
// decoded bytes to a file in it named after the record's position.
static void List(uint8_t *input, uint64_t size, const char *folder)
{
    std::string prefix;
    if (folder != NULL) {
        if (!MakeFolder(folder))
            Fail("Can't open: %s", folder);
        prefix = InFolder(folder);
    }
    // Every candidate goes through the scanner, and a false one may make it
    // print its self-reference message; that is no news here, so the codec's
    // stdout is dropped and the listing goes to the real one.
    report = DivertStdout();

    if (IsRawImage(input, size))
        Print("CD image: 2352-byte sectors; positions count 2048 data bytes per sector\n");
    uint8_t *view;
    const auto areas = RecordAreas(input, size, &view);
    // Each value starts in the column of its heading word; the widths hold a
    // 32-bit file's largest record (10 digits) and decoded size (11 digits).
    Print("Position    Compressed  Uncompressed  Header\n");
    uint64_t count = 0;
    FoundRecord record;
    for (const auto &area : areas)
        for (uint64_t from = area.first; FindRecord(view, area.second, from, &record);
             from = record.position + record.length) {
            if (folder != NULL) {
                uint8_t *decoded = (uint8_t *)Allocate(record.decoded);
                LZSS_Decompress(view + record.position + HEADER_SIZE, decoded);
                char name[16];
                snprintf(name, sizeof name, "%08llX.bin", (unsigned long long)record.position);
                WriteOrFail((prefix + name).c_str(), decoded, record.decoded);
                free(decoded);
            }
            Print("0x%08llX  %-10llu  %-12llu  ", (unsigned long long)record.position,
                  (unsigned long long)record.length, (unsigned long long)record.decoded);
            if (record.header_size == (uint32_t)record.decoded)
                Print("ok\n");
            else
                Print("header says %llu\n", (unsigned long long)record.header_size);
            count++;
        }
    Print("%llu records\n", (unsigned long long)count);
    if (view != input)
        ReleaseBuffer(view, DataViewSize(size));
}

// Whether name is one that -l gives a record: 8 hex digits and ".bin", in
// either case. Stores the position it names.
static bool IsRecordName(const std::string &name, uint64_t *position)
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

struct PutBackItem {
    std::string path;
    uint64_t position;
    uint8_t *input;
    uint64_t size;
    Placement placed;
};

// Puts the file at `from`, or every record file of the folder `from`, back
// into the container at `into`, all or nothing: every record is packed,
// placed and read back in memory before the container is written once.
static void PutBack(const char *from, const char *into, uint64_t file_pos)
{
    std::vector<PutBackItem> items;
    std::vector<std::string> names;
    if (ListFolder(from, &names)) {
        uint64_t position;
        for (const std::string &name : names)
            if (IsRecordName(name, &position))
                items.push_back({InFolder(from) + name, position, NULL, 0, {}});
        std::sort(items.begin(), items.end(),
                  [](const PutBackItem &a, const PutBackItem &b) { return a.position < b.position; });
    } else {
        items.push_back({from, file_pos, NULL, 0, {}});
    }
    for (PutBackItem &item : items)
        item.input = ReadWholeFile(item.path.c_str(), &item.size);
    uint64_t size;
    uint8_t *container = ReadWholeFile(into, &size, MAP);
    uint8_t *view;
    const auto areas = RecordAreas(container, size, &view);

    for (PutBackItem &item : items)
        if (CheckRecord(view, AreaEnd(areas, item.position), item.position, &item.placed.room) != RECORD_OK)
            Fail("Error: No record at 0x%08llX\n", (unsigned long long)item.position);
    for (size_t i = 1; i < items.size(); i++)
        if (items[i - 1].position + items[i - 1].placed.room.length > items[i].position)
            Fail("Error: Overlapping records at 0x%08llX and 0x%08llX\n", items[i - 1].position, items[i].position);
    bool changed = false;
    for (PutBackItem &item : items) {
        switch (PlaceRecord(view, item.placed.room, item.input, item.size, &item.placed)) {
        case PLACE_OK:
            break;
        case PLACE_NO_ROOM:
            Fail("Error: No room for %s: %llu bytes, room %llu\n", item.path.c_str(),
                 (unsigned long long)item.placed.smallest, (unsigned long long)item.placed.room.length);
        case PLACE_NO_MEMORY:
            Fail("Error: malloc()");
        }
        changed |= item.placed.stream != PUT_SAME;
    }
    for (const PutBackItem &item : items)
        memcpy(view + item.position, item.placed.record, item.placed.room.length);
    // Read back as unpacking reads it, from the image's own sectors when the
    // records went into a raw image's view: the sectors of each room get
    // their data and new codes, and give their data back.
    if (view != container)
        for (const PutBackItem &item : items) {
            const uint64_t first = item.position / SECTOR_DATA_SIZE;
            const uint64_t end = (item.position + item.placed.room.length - 1) / SECTOR_DATA_SIZE + 1;
            uint8_t *sectors = container + first * RAW_SECTOR_SIZE;
            if (WriteDataView(sectors, (end - first) * RAW_SECTOR_SIZE, view + first * SECTOR_DATA_SIZE) == UINT64_MAX)
                Fail("Error: LZSS_Compress*()");
            ReadDataView(sectors, (end - first) * RAW_SECTOR_SIZE, view + first * SECTOR_DATA_SIZE);
        }
    for (const PutBackItem &item : items)
        if (!CheckPlaced(view, AreaEnd(areas, item.position), item.position, item.placed.length, item.input,
                         item.size))
            Fail("Error: LZSS_Compress*()");
    if (changed)
        WriteOrFail(into, container, size);

    Print("Position    Room        Compressed  Uncompressed  Stream\n");
    for (const PutBackItem &item : items) {
        Print("0x%08llX  %-10llu  %-10llu  %-12llu  %s\n", (unsigned long long)item.position,
              (unsigned long long)item.placed.room.length, (unsigned long long)item.placed.length,
              (unsigned long long)item.size, PUT_STREAM_NAMES[item.placed.stream]);
        free(item.placed.record);
        ReleaseBuffer(item.input, item.size);
    }
    Print("%llu records put back\n", (unsigned long long)items.size());
    if (view != container)
        ReleaseBuffer(view, DataViewSize(size));
    ReleaseBuffer(container, size);
}

int main(int argc, char **argv)
{
    GetArguments(&argc, &argv);
    Options options;
    argparse(argc, argv, &options);
    if (options.input == NULL || (options.output == NULL && options.mode != MODE_LIST)) {
        Print(USAGE, argv[0]);
        return 0;
    }
    if (options.mode == MODE_PUT) {
        PutBack(options.input, options.output, options.file_pos);
        return 0;
    }

    uint64_t size;
    uint8_t *input = ReadWholeFile(options.input, &size, options.mode == MODE_LIST ? MAP_RAW_IMAGE : READ);
    if (options.mode == MODE_LIST) {
        List(input, size, options.output);
        ReleaseBuffer(input, size);
        return 0;
    }
    const Result result = options.mode == MODE_DECOMPRESS ? Unpack(input, size, options.file_pos)
                                                          : Pack(input, size, options.best);
    WriteOrFail(options.output, result.data, result.size);
    ReleaseBuffer(input, size);
    free(result.data);
    return 0;
}
