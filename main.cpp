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

#include <string>

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
    "  -l             list every record in INPUT; with OUTPUT as a folder, extract them\n";

enum Mode { MODE_COMPRESS = 0, MODE_DECOMPRESS = 1, MODE_LIST = 2 };

struct Options {
    const char *input;
    const char *output;
    int32_t mode;
    uint32_t file_pos;
    bool best;
};

static const char *const arguments[] = {"c", "d", "p", "b", "l", NULL};

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

[[noreturn]] static void Fail(const char *message, const char *path = NULL)
{
    PrintTo(stderr, message, path);
    exit(1);
}

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

static void PutLE32(uint8_t *to, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        to[i] = (uint8_t)(value >> (8 * i));
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
    PutLE32(buffer, RECORD_MAGIC);
    PutLE32(buffer + 4, (uint32_t)size);
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

// Lists every record in the input and, given a folder, writes each one's
// decoded bytes to a file in it named after the record's position.
static void List(const uint8_t *input, uint64_t size, const char *folder)
{
    std::string prefix;
    if (folder != NULL) {
        if (!MakeFolder(folder))
            Fail("Can't open: %s", folder);
        prefix = folder;
        if (prefix.back() != '/')
            prefix += '/';
    }
    // Every candidate goes through the scanner, and a false one may make it
    // print its self-reference message; that is no news here, so the codec's
    // stdout is dropped and the listing goes to the real one.
    report = DivertStdout();

    // Each value starts in the column of its heading word; the widths hold a
    // 32-bit file's largest record (10 digits) and decoded size (11 digits).
    Print("Position    Compressed  Uncompressed  Header\n");
    uint64_t count = 0;
    FoundRecord record;
    for (uint64_t from = 0; FindRecord(input, size, from, &record); from = record.position + record.length) {
        if (folder != NULL) {
            uint8_t *decoded = (uint8_t *)Allocate(record.decoded);
            LZSS_Decompress(input + record.position + HEADER_SIZE, decoded);
            char name[16];
            snprintf(name, sizeof name, "%08llX.bin", (unsigned long long)record.position);
            const std::string path = prefix + name;
            switch (WriteFileSafely(path.c_str(), decoded, record.decoded)) {
            case WRITE_OK:
                break;
            case WRITE_CANT_OPEN:
                Fail("Can't open: %s", path.c_str());
            case WRITE_CANT_WRITE:
                Fail("Can't write: %s", path.c_str());
            }
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

    FILE *file = OpenFile(options.input);
    if (file == NULL)
        Fail("Can't open: %s", options.input);
    const int32_t measured = GetFileSize(file);
    if (measured == -1)
        Fail("Error: GetFileSize()");
    const uint64_t size = (uint64_t)(int64_t)measured;
    uint8_t *input = (uint8_t *)Allocate(size);
    if (fread(input, 1, (size_t)size, file) != size)
        Fail("Can't open: %s", options.input);
    fclose(file);

    if (options.mode == MODE_LIST) {
        List(input, size, options.output);
        free(input);
        return 0;
    }
    const Result result = options.mode == MODE_DECOMPRESS ? Unpack(input, size, options.file_pos)
                                                          : Pack(input, size, options.best);

    switch (WriteFileSafely(options.output, result.data, result.size)) {
    case WRITE_OK:
        break;
    case WRITE_CANT_OPEN:
        Fail("Can't open: %s", options.output);
    case WRITE_CANT_WRITE:
        Fail("Can't write: %s", options.output);
    }
    free(input);
    free(result.data);
    return 0;
}
