// exspack: packs and unpacks Vesperhall [PSX] data records.
//
// A record is an 8-byte header (the magic 45 58 53 01, then the uncompressed
// size, little-endian) followed by an LZSS stream.
//
// The driver: it parses the command line, runs the one job asked for and
// prints what the job reports; every error comes back to main as a value and
// is printed there, once.

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ImageView.h"
#include "Listing.h"
#include "Packing.h"
#include "Platform.h"
#include "Position.h"
#include "PutBack.h"
#include "Records.h"

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
    "  -i             put INPUT back as the record at file_pos of OUTPUT; INPUT may be a folder -l wrote;\n"
    "                 a third path, PATCH, gets the change as a PPF patch and OUTPUT stays as it is\n"
    "  -p /FILE+0xOFFSET  for -d and -i, file_pos as the byte of a disc's file that -l names so\n";

enum Mode { MODE_COMPRESS = 0, MODE_DECOMPRESS = 1, MODE_LIST = 2, MODE_PUT = 3 };

struct Options {
    const char *input;
    const char *output;
    const char *patch; // -i only: the third path
    int32_t mode;
    const char *file_pos; // the -p value as given, or NULL
    bool best;
    bool unknown;  // an option or a path the mode does not take
    bool position; // -p was given
};

static const char *const arguments[] = {"c", "d", "p", "b", "l", "i", NULL};

// Where the tool's own report goes: stdout, or stderr when the output's data
// goes to stdout; while listing and putting back, stdout as it was before
// DivertStdout.
static FILE *report = stdout;

static void PrintArgs(FILE *stream, const char *format, va_list args)
{
    PrintText(stream, FormatArgs(format, args).c_str());
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

// The -p value as ParsePosition reads it; position 0 without one.
static DataPosition ParsePosition(const Options &options)
{
    return options.file_pos != NULL ? ParsePosition(options.file_pos) : DataPosition();
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
            options->position = true;
            if (i + 1 < argc)
                options->file_pos = argv[++i];
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
            options->unknown = true;
            warnings.push_back(std::string("Unknown option: ") + arg + "\n");
        }
    }
    if (options->mode != MODE_PUT)
        options->patch = NULL;
    if (positional > (options->patch != NULL ? 3 : 2))
        options->unknown = true;
    for (size_t i = 0; i < warnings.size(); i++)
        if (i != third || options->patch == NULL)
            PrintTo(stderr, "%s", warnings[i].c_str());
}

// Packing or unpacking over an existing file, when the command line held
// something the tool did not take or a -p that packing ignores, is more
// likely a typo than a wish: -I for -i, or -i forgotten, would pack over the
// container meant. An unknown option is named first, being the likelier
// cause of a stray -p too. A new file, standard output and devices lose
// nothing and are written.
static Error CheckReplacing(const Options &options)
{
    const char *reason = options.unknown                                     ? ": unknown option"
                         : options.mode == MODE_COMPRESS && options.position ? ": -p is for -d and -i"
                                                                             : NULL;
    if (reason == NULL || KindOfPath(options.output) != PATH_FILE)
        return Error();
    return Error{std::string("Error: Not replacing ") + options.output + reason};
}

static Error Pack(const Options &options)
{
    if (Error error = CheckReplacing(options))
        return error;
    Buffer record;
    uint64_t length, size;
    if (Error error = PackFile(options.input, options.best, &record, &length, &size))
        return error;
    Print("Compressed Size  : %llu (0x%llX)\n", (unsigned long long)length, (unsigned long long)length);
    Print("Uncompressed Size: %llu (0x%llX)", (unsigned long long)size, (unsigned long long)size);
    return WriteFileSafely(options.output, record.data(), length);
}

// Unpacks the record at file_pos of the input: of a raw image, at that
// position of its data view, as -l and -i count.
static Error Unpack(const Options &options)
{
    if (Error error = CheckReplacing(options))
        return error;
    std::shared_ptr<const ImageView> input;
    if (Error error = ImageView::Open(options.input, false, &input))
        return error;
    PrintTo(stderr, "%s", input->hint().c_str());
    Print("%s", input->sheetNotice().c_str());
    uint64_t position;
    if (Error error = input->Locate(ParsePosition(options), &position))
        return error;
    FoundRecord record;
    Buffer decoded;
    if (Error error = UnpackAt(*input, position, &record, &decoded))
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
    PrintTo(stderr, "%s", listing.view()->hint().c_str());
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
    return folder != NULL ? listing.WriteTable(folder) : Error(); // flushes the folder once
}

static Error Put(const Options &options)
{
    // As in List: the scanner's message about a false record is no news.
    if (report == stdout)
        report = DivertStdout();
    PutBackReport put;
    const Error error = PutBack(options.input, options.output, ParsePosition(options), options.patch, &put);
    for (const std::string &line : put.leftOut)
        PrintTo(stderr, "%s", line.c_str());
    PrintTo(stderr, "%s", put.hint.c_str());
    Print("%s", put.notice.c_str());
    if (error)
        return error;
    Print("%s", PutBackHeading(put.names).c_str());
    for (const PutBackLine &line : put.lines)
        Print("%s", PutBackRow(line, put.names).c_str());
    Print("%s", PutBackCount(put.lines.size()).c_str());
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
    // The data alone goes to standard output: the report goes to stderr, and
    // what the codec prints there (the scanner's complaint about a record
    // that refers to itself) is dropped.
    for (const char *path : {options.output, options.patch})
        if (path != NULL && KindOfPath(path) == PATH_STANDARD_OUTPUT && report == stdout) {
            DivertStdout();
            report = stderr;
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
