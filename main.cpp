// exspack: packs and unpacks Vesperhall [PSX] data records.
//
// A record is an 8-byte header (the magic 45 58 53 01, then the uncompressed
// size, little-endian) followed by an LZSS stream.
//
// The driver: it parses the command line, runs the one job asked for and
// prints what the job reports; every error comes back to main as a value and
// is printed there, once.

#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "Container.h"
#include "LZSS.h"
#include "Listing.h"
#include "Platform.h"
#include "PutBack.h"
#include "Records.h"

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
    const char *patch; // -i only: the third path
    int32_t mode;
    uint32_t file_pos;
    bool best;
};

static const char *const arguments[] = {"c", "d", "p", "b", "l", "i", NULL};

// Where the tool's own report goes: stdout, except while listing and putting
// back (see DivertStdout).
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

// Fills *options from the arguments and prints a warning for each one that
// is not taken, in the order of the arguments. The third path is the patch
// of -i; only once every mode option has been seen is it known whether it is
// unknown.
void argparse(int argc, char **argv, Options *options)
{
    memset(options, 0, sizeof *options);
    std::vector<std::string> warnings;
    size_t third = SIZE_MAX; // the warning about the third path
    int positional = 0;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] != '-') {
            if (positional == 0)
                options->input = arg;
            else if (positional == 1)
                options->output = arg;
            if (positional == 2) {
                options->patch = arg;
                third = warnings.size();
            }
            if (positional >= 2)
                warnings.push_back(std::string("Unknown argument: ") + arg + "\n");
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
            warnings.push_back(std::string("Unknown option: ") + arg + "\n");
        }
    }
    if (options->mode != MODE_PUT)
        options->patch = NULL;
    for (size_t i = 0; i < warnings.size(); i++)
        if (i != third || options->patch == NULL)
            PrintTo(stderr, "%s", warnings[i].c_str());
}

static Error Pack(const Options &options)
{
    Buffer input;
    if (Error error = ReadWholeFile(options.input, &input))
        return error;
    const uint64_t size = input.size();
    const uint64_t maxsize = LZSS_GetCompressedMaxSize(size) + HEADER_SIZE;
    Buffer record, work;
    if (!record.Allocate(maxsize) || (options.best && !work.Allocate(LZSS_GetOptimalWorkSize(size))))
        return NoMemory();
    const uint64_t n = options.best ? LZSS_CompressOptimal(input.data(), size, record.data() + HEADER_SIZE, work.data())
                                    : LZSS_CompressSimpleFast(input.data(), size, record.data() + HEADER_SIZE);
    work.Release();
    if (n == FAILED)
        return Error{"Error: LZSS_Compress*()"};
    const uint64_t dsize = n + HEADER_SIZE;
    assert(dsize <= maxsize);
    WriteHeader(record.data(), size);
    Print("Compressed Size  : %llu (0x%llX)\n", (unsigned long long)dsize, (unsigned long long)dsize);
    Print("Uncompressed Size: %llu (0x%llX)", (unsigned long long)size, (unsigned long long)size);
    return WriteFileSafely(options.output, record.data(), dsize);
}

// Unpacks the record at file_pos of the input: of a raw image, at that
// position of its data view, as -l and -i count.
static Error Unpack(const Options &options)
{
    Container input;
    if (Error error = input.Open(options.input, Container::TO_READ))
        return error;
    FoundRecord record;
    switch (CheckRecord(input.data(), input.AreaEnd(options.file_pos), options.file_pos, &record)) {
    case RECORD_OK:
        break;
    case RECORD_SMALL:
        return Error{"Error: Small file"};
    case RECORD_BAD:
        return Error{"Error: Bad file"};
    }
    Buffer decoded;
    if (Error error = DecodeRecord(input.data(), record, &decoded))
        return error;
    Print("Uncompressed Size: %llu (0x%llX)\n", (unsigned long long)record.decoded,
          (unsigned long long)record.decoded);
    Print("Compressed Size  : %llu (0x%llX)", (unsigned long long)record.length, (unsigned long long)record.length);
    return WriteFileSafely(options.output, decoded.data(), decoded.size());
}

// Lists every record in the input and, given a folder, writes each one's
// decoded bytes to a file in it named after the record's position. Files
// written before an error stay.
static Error List(const Options &options)
{
    // Every candidate goes through the scanner, and a false one may make it
    // print its self-reference message; that is no news here, so the codec's
    // stdout is dropped and the listing goes to the real one.
    report = DivertStdout();
    Listing listing;
    if (Error error = listing.Open(options.input))
        return error;
    const char *folder = options.output;
    if (folder != NULL)
        if (Error error = listing.MakeFolder(folder))
            return error;
    Print("%s%s", listing.Notice().c_str(), listing.Heading().c_str());
    for (size_t i = 0; i < listing.records().size(); i++) {
        if (folder != NULL)
            if (Error error = listing.WriteRecord(folder, i))
                return error;
        Print("%s", listing.Row(i).c_str());
    }
    Print("%s", listing.Count().c_str());
    return folder != NULL ? FlushFolder(folder) : Error(); // the files were written unflushed
}

static Error Put(const Options &options)
{
    // As in List: the scanner's message about a false record is no news.
    report = DivertStdout();
    std::vector<PutBackLine> lines;
    bool names = false;
    if (Error error = PutBack(options.input, options.output, options.file_pos, options.patch, &lines, &names))
        return error;
    Print("%s", PutBackHeading(names).c_str());
    for (const PutBackLine &line : lines)
        Print("%s", PutBackRow(line, names).c_str());
    Print("%s", PutBackCount(lines.size()).c_str());
    return Error();
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
    Error error;
    switch (options.mode) {
    case MODE_DECOMPRESS:
        error = Unpack(options);
        break;
    case MODE_LIST:
        error = List(options);
        break;
    case MODE_PUT:
        error = Put(options);
        break;
    default:
        error = Pack(options);
    }
    if (error) {
        PrintTo(stderr, "%s", error.message.c_str());
        return 1;
    }
    return 0;
}
