// The tool as a user runs it, against ordinary and hostile input. Every run
// ends either with status 0 and exactly the bytes expected, or with status 1,
// one line on standard error and the folder left as it was: an existing
// output unchanged and no temporary file behind.
#include "tool.h"

#include "CdImage.h"
#include "iso.h"

#include <chrono>
#include <regex>
#include <thread>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#endif

namespace {

const char USAGE[] =
    "Vesperhall [PSX] compressor || v1.0.0 by tarsek\nusage: %s INPUT OUTPUT [-c | -d] [-p file_pos]\n"
    "positional arguments:\n  INPUT          input file\n  OUTPUT         output file\n"
    "optional arguments:\n  -c             compress (default)\n  -d             decompress\n"
    "  -p file_pos    start file position (default: 0)\n"
    "  -b             best compression: smallest record, slower\n"
    "  -l             list every record in INPUT; with OUTPUT as a folder, extract them\n"
    "  -i             put INPUT back as the record at file_pos of OUTPUT; INPUT may be a folder -l wrote;\n"
    "                 a third path, PATCH, gets the change as a PPF patch and OUTPUT stays as it is\n"
    "  -p /FILE+0xOFFSET  for -d and -i, file_pos as the byte of a disc's file that -l names so\n";

std::string PackLines(uint64_t record, uint64_t decoded)
{
    return Str("Compressed Size  : %zu (0x%zX)\nUncompressed Size: %zu (0x%zX)", record, record, decoded, decoded);
}

std::string UnpackLines(uint64_t decoded, uint64_t record)
{
    return Str("Uncompressed Size: %zu (0x%zX)\nCompressed Size  : %zu (0x%zX)", decoded, decoded, record, record);
}

const char HEADING[] = "Position    Compressed  Uncompressed  Header\n";
const char REPORT[] = "Position    Room        Compressed  Uncompressed  Stream\n";
const char CD[] = "CD image: 2352-byte sectors; positions count 2048 data bytes per sector\n";

std::string ListingLine(uint64_t position, uint64_t length, uint64_t decoded, const char *header = "ok")
{
    return Str("0x%08zX  %-10zu  %-12zu  %s\n", position, length, decoded, header);
}

std::string RecordName(uint64_t position) { return Str("%08zX.bin", position); }

#ifndef _WIN32
std::string Text(const Bytes &bytes) { return {bytes.begin(), bytes.end()}; }
#endif

} // namespace

TEST_F(Tool, Runs)
{
    const Bytes sample = Sample(300), record = Record(sample), best = Record(sample, true), noise = RandomBytes(20000, 13);
    Bytes container(32, 0x02), image = RandomBytes(20, 12), liar = record, edited(sample.begin(), sample.end() - 20);
    Append(container, record), Append(container, {1, 2, 3, 4, 5}); // behind a reference before the start at 0
    Append(image, Record({})); // the record of an empty file as the last 11 bytes
    std::fill(liar.begin(), liar.begin() + 8, 0xEE); // nothing but the stream tells a record's length
    // A false magic that refers to itself (the scanner talks, -l keeps it
    // quiet), a record whose header lies, the smallest record as the last
    // 11 bytes; the search itself is held to a plain one by its fuzz target.
    Bytes listed = FromHex("45585301 AABBCCDD 000100 00"), lying = Record(sample);
    lying[5] = 0x30, Append(listed, lying), Append(listed, Record({}));
    const Bytes nestedText = FromText("abcdefgh" "EXS\x01" "\x10\x20\x30\x40" "ijklmnop");
    Bytes nestedPut = Record(FromText("ABCDEFGH"));
    nestedPut.resize(38);
    const std::string listing = HEADING + ListingLine(12, lying.size(), 300, "header says 12332") +
                                ListingLine(12 + lying.size(), 11, 0) + "2 records\n";
    // A false magic whose stream is the next record's header, one header's
    // length before it.
    Bytes magic8 = FromHex("45585301 00000000");
    Append(magic8, record);
    // All literals, of which bytes 3 to 12 are an empty record (its size
    // field holding the second group's flag byte) that ends 6 bytes before
    // the stream does.
    const Bytes holdsEmpty = FromHex("45585301 10000000 FF 616263 4558530100 FF 0000000000 78797A 00 0000");
    // Two rooms 16 bytes apart, both changed: the first in its last text
    // byte, the second shorter and padded.
    const Bytes cut(sample.begin(), sample.begin() + 8);
    Bytes pair = Record(FromText("ABCDEFGH")), pairPut = Record(FromText("ABCDEFGX")), padded = Record(FromText("ABCDEFGH"));
    Append(pair, Bytes(16, 0x02)), Append(pairPut, Bytes(16, 0x02)), Append(pair, record), Append(pairPut, Record(cut));
    pairPut.resize(pair.size()), padded.resize(record.size());
    // A record list as Notepad saves it: a byte order mark, CR LF line ends.
    const std::string list = "\xEF\xBB\xBFposition\troom\tuncompressed\theader\tfile" + Str("\r\n0x00000000\t%zu\t300\tok\t-\r\n", record.size());
    const std::map<std::string, Bytes> files = {
        {"in", sample}, {"rec", record}, {"container", container}, {"image", image}, {"empty", {}},
        {"eight", FromText("ABCDEFGH")}, {"self", FromHex("45585301 01000000 000100")}, {"liar", liar},
        {"cut", Bytes(record.begin(), record.end() - 1)}, {"noise", noise}, {"same", sample}, {"edited", edited},
        {"out", FromText("an output from an earlier run")}, {"box", container}, {"readonly", container},
        {"listed", listed}, {"log", FromText("earlier")}, {"none", FromHex("45585301 00000000 0000")},
        {"nested", Record(nestedText)}, {"zeros", Bytes(64, 0)}, {"old.ppf", FromText("PPF30")}, {"blank.ppf", {}},
        {"cue", FromText("FILE \"disc.bin\" BINARY\n")}, {"two", FromText("AB")},
        {"list.txt", FromText("File list\r\n  TRACKS.TXT\r\n\r\nTrack 1: intro\r\n")}, {"overlap/00000000.bin", {}}, {"overlap/00000012.bin", {}},
        {"magic8", magic8}, {"holdsEmpty", holdsEmpty}, {"pairbox", pair}, {"pair/00000000.bin", FromText("ABCDEFGX")},
        {"pair/00000024.bin", cut}, {"twice", record}, {"crlfbox", padded}, {"crlf/00000000.bin", sample},
        {"crlf/records.tsv", FromText(list)}};
    for (const char *folder : {"overlap", "pair", "crlf"})
        fs::create_directory(dir / folder);
    for (const auto &[name, bytes] : files)
        WriteBytes(dir / name, bytes);
    fs::create_directory(dir / "folder"), fs::create_directories(dir / "blocked" / "00000000.bin");
    for (uint64_t size : {uint64_t(1) << 31, (uint64_t(1) << 32) + 12}) // sparse, a record at the start
        WriteBytes(dir / std::to_string(size), record), fs::resize_file(dir / std::to_string(size), size);
    // What putting back makes of the box, and says, and its patch.
    const Outcome put = Exec({P("edited"), P("box"), "-i", "-p", "32", P("change.ppf")});
    const Bytes patch = ReadFile(P("change.ppf"));
    fs::rename(dir / "change.ppf", dir / "patch.ppf"), Exec({P("edited"), P("box"), "-i", "-p", "32"});
    const Bytes box = ReadFile(P("box"));
    // Both rooms at once, as a patch and in place: the patch makes what -i
    // writes and its undo data takes it off again.
    const std::string putTwo = REPORT + Str("0x%08X  %-10u  %-10u  %-12u  default\n", 0, 20, 20, 8) +
                               Str("0x%08X  %-10zu  %-10u  %-12u  padded\n", 36, record.size(), 20, 8) +
                               "2 records put back\n";
    EXPECT_EQ(PutBack({P("pair"), P("pairbox"), "-i"}, "pairbox").out, putTwo);
    WriteBytes(dir / "pairbox", pair);
    // A short edit put back from a folder -l wrote, then the text it had:
    // the room the list keeps takes it again.
    ASSERT_EQ(Exec({P("twice"), P("ext"), "-l"}).status, 0);
    WriteBytes(dir / "ext" / "short", FromText("ABCDEFGH"));
    const std::string putBack = REPORT + Str("0x%08X  %-10zu  %-10zu  %-12u  default\n", 0, record.size(), record.size(), 300) +
                                "1 records put back\n";
    const std::string usage = Str(USAGE, EXSPACK_TOOL), packed = PackLines(record.size(), 300);
    const std::string noisy = PackLines(Record(noise).size(), 20000), open = "Can't open: ";
    const std::string small = "Error: Small file", bad = "Error: Bad file", measure = "Error: GetFileSize()";
#ifdef _WIN32
    const std::string folderInput = open + P("folder"); // Windows opens no folder as a file
    fs::create_directory(dir / "drive"), WriteBytes(dir / "drive" / "00000020.bin", edited);
    const std::string longName(259 - P("").size(), 'n');
#else
    const std::string folderInput = measure;
    // Opening a FIFO waits for its other end: the tool must not.
    fs::create_directory(dir / "fifos");
    mkfifo((dir / "fifo").c_str(), 0600), mkfifo((dir / "fifos" / "00000020.bin").c_str(), 0600);
    fs::permissions(dir / "readonly", fs::perms(0444));
    fs::permissions(dir / "log", fs::perms(0604)), fs::create_symlink("log", dir / "symlink");
    fs::create_directory_symlink("/dev/fd", dir / "fd");
    // The mode does not hold root back; the refusal is seen as another user.
    const std::string other = geteuid() ? "" : "chmod 777 \"" + dir.string() + "\"; setpriv --reuid=65534 --regid=65534 --clear-groups ";
    const std::string here = "cd \"" + dir.string() + "\" && ", noWait = "timeout 60 ";
    const std::string name(250, 'n'); // its temporary name passes 255 bytes unless cut
#endif

    std::vector<ToolRun> runs = {
        {{}, 0, usage, "", {}, "", ""},
        {{P("in")}, 0, usage, "", {}, "", ""},
        {{P("rec"), "-l", "-d"}, 0, usage, "", {}, "", ""}, // the last mode counts, and -d needs OUTPUT
        // Packing or unpacking after a typo (-I for -i) replaces no file; an
        // unknown option is named before a -p that packing ignores.
        {{"-x", P("in"), "-cd", P("out"), "-", P("third"), "-p", "1"}, 1, "",
         "Unknown option: -x\nUnknown option: -cd\nUnknown option: -\nUnknown argument: " + P("third") +
             "\nError: Not replacing " + P("out") + ": unknown option"},
        {{P("in"), P("out"), "-p", "0x20"}, 1, "", "Error: Not replacing " + P("out") + ": -p is for -d and -i"},
        {{P("rec"), P("out"), "-d", P("third")}, 1, "", "Unknown argument: " + P("third") + "\nError: Not replacing " + P("out") + ": unknown option"},
        {{P("in"), P("new.exs"), P("third"), "-c", P("fourth"), "-p", "1"}, 0, packed,
         "Unknown argument: " + P("third") + "\nUnknown argument: " + P("fourth") + "\n", record, "", "new.exs"},
        {{P("in"), P("out"), "-b"}, 0, PackLines(best.size(), 300), "", best},
        {{"-b", P("rec"), P("out"), "-d"}, 0, UnpackLines(300, record.size()), "", sample}, // -b is for packing
        {{P("empty"), P("out")}, 0, PackLines(11, 0), "", FromHex("45585301 00000000 000000")},
        {{P("eight"), P("out"), "-d", "-c"}, 0, PackLines(20, 8), "", FromHex("45585301 08000000 FF 4142434445464748 00 0000")},
        {{"-d", P("container"), "-p", "0X20", P("out")}, 0, UnpackLines(300, record.size()), "", sample},
        {{"-d", P("container"), "-p", "32xyz", P("out"), "-p"}, 0, UnpackLines(300, record.size()), "", sample},
        {{"-d", P("container"), "-p", "00000000320", P("out")}, 0, UnpackLines(300, record.size()), "", sample},
        {{"-d", P("container"), P("out"), "-p"}, 1, "", bad},
        {{"-d", P("image"), "-p", "20", P("out")}, 0, UnpackLines(0, 11), "", {}},
        {{P("liar"), P("out"), "-d"}, 0, UnpackLines(300, record.size()), "", sample},
        {{P("cut"), P("out"), "-d"}, 1, "", bad},
        {{P("self"), P("out"), "-d"}, 1, "(dpos & 0x0FFF) == offset\nError: Bad file", "", {}, "", "", true},
        {{P("same"), P("same")}, 0, packed, "", record, "", "same"},
        {{P("same"), P("same"), "-d"}, 0, UnpackLines(300, record.size()), "", sample, "", "same"},
        {{P("edited"), P("box"), "-i", "-p", "32"}, 0, put.out, "", box, "", "box"},
        {{P("missing"), P("out")}, 1, "", open + P("missing")},
        {{P("folder"), P("out")}, 1, "", folderInput},
        {{P("in"), P("none/out")}, 1, packed, open + P("none/out")},
        {{P("in"), P("folder")}, 1, packed, open + P("folder")},
        {{P("in"), P("out"), "-d"}, 1, "", bad},
        {{P("rec"), P("in"), "-l"}, 1, "", open + P("in")}, // no folder to extract into
        {{P("rec"), P("none/out"), "-l"}, 1, "", open + P("none/out")},
        {{P("rec"), P("blocked") + "/", "-l"}, 1, HEADING, open + P("blocked/00000000.bin")},
        // Put-back's refusals; a room is a record that -l lists (zeros scan
        // as an empty stream but hold none), and a false record's complaint
        // stays out of the report.
        {{P("empty"), P("zeros"), "-i", "-p", "8"}, 1, "", "Error: No record at 0x00000008"},
        {{P("empty"), P("self"), "-i", "-p", "0", P("old.ppf")}, 1, "", "Error: No record at 0x00000000"},
        {{P("in"), P("container"), "-i", "-p", "33"}, 1, "", "Error: No record at 0x00000021"},
        {{P("blocked"), P("container"), "-i"}, 1, "", "Left out: 00000000.bin (not a regular file)\nError: No record files in " + P("blocked")},
        {{P("in"), P("empty"), "-i", P("empty")}, 1, "", "Error: The patch and the container are one file: " + P("empty")},
        {{P("in"), P("container"), "-i", "-p", "32", P("container")}, 1, "", "Error: Not a PPF patch: " + P("container")},
        {{P("edited"), P("box"), "-i", "-p", "32", P("cue")}, 1, "", "Error: Not a PPF patch: " + P("cue")},
        {{P("edited"), P("box"), "-i", "-p", "32", P("blank.ppf")}, 0, put.out, "", patch, "", "blank.ppf"},
        {{P("noise"), P("container"), "-i", "-p", "32"}, 1, "",
         "Error: No room for " + P("noise") + Str(": %zu bytes, room %zu", Record(noise, true).size(), record.size())},
        // A magic inside another record's literals is no room: writing
        // there would corrupt the record around it.
        {{P("overlap"), P("nested"), "-i"}, 1, "", "Error: No record at 0x00000012"},
        {{P("two"), P("nested"), "-i", "-p", "18"}, 1, "", "Error: No record at 0x00000012"},
        // A text that starts with the word FILE is no cue sheet; a patch
        // given for the image is named as one, and still read.
        {{P("list.txt"), "-l"}, 0, HEADING + std::string("0 records\n"), "", {}, "", ""},
        {{P("patch.ppf"), "-l"}, 0, HEADING + std::string("0 records\n"), P("patch.ppf") + " is a PPF patch, not a disc image\n", {}, "", ""},
        {{P("in"), P("patch.ppf"), "-i"}, 1, "", P("patch.ppf") + " is a PPF patch, not a disc image\nError: No record at 0x00000000"},
        {{P("missing"), P("container"), "-i"}, 1, "", open + P("missing")},
        {{"", P("container"), "-i"}, 1, "", open}, // the empty path names no folder
        {{P("in"), P("missing"), "-i"}, 1, "", open + P("missing")},
        {{P("listed"), "-l"}, 0, listing, "", {}, "", ""},
        // A record whose literals hold a whole record (magic, size and a
        // stream that ends where its own does): the outer one is the record.
        {{P("nested"), "-l"}, 0, HEADING + ListingLine(0, 38, 24) + "1 records\n", "", {}, "", ""},
        {{P("nested"), P("out"), "-d"}, 0, UnpackLines(24, 38), "", nestedText},
        {{P("eight"), P("nested"), "-i"}, 0, REPORT + Str("0x%08X  %-10u  %-10u  %-12u  padded\n", 0, 38, 20, 8) +
         "1 records put back\n", "", nestedPut, "", "nested"},
        {{P("holdsEmpty"), "-l"}, 0, HEADING + ListingLine(0, 29, 16) + "1 records\n", "", {}, "", ""},
        {{P("magic8"), "-l"}, 0, HEADING + ListingLine(8, record.size(), 300) + "1 records\n", "", {}, "", ""},
        {{P("pair"), P("pairbox"), "-i"}, 0, putTwo, "", pairPut, "", "pairbox"},
        {{P("ext/short"), P("twice"), "-i"}, 0, REPORT + Str("0x%08X  %-10zu  %-10u  %-12u  padded\n", 0, record.size(), 20, 8) +
         "1 records put back\n", "", padded, "", "twice"},
        {{P("ext/00000000.bin"), P("twice"), "-i"}, 0, putBack, "", record, "", "twice"},
        {{P("crlf"), P("crlfbox"), "-i"}, 0, putBack, "", record, "", "crlfbox"},
        {{P("listed"), P("records"), "-d", "-l"}, 0, listing, "", {}, "", ""},
        {{P("none"), P("nothing"), "-l"}, 0, HEADING + std::string("0 records\n"), "", {}, "", ""}, // 10 bytes after a magic
        {{P("2147483648"), P("out"), "-d"}, 1, "", measure},
        {{P("4294967308"), P("out"), "-d"}, 1, "", measure},
        {{P("rec"), P("out"), "-d", "-p", "4294967296"}, 1, "", small}, // 32-bit values saturate
        {{P("rec"), P("out"), "-d", "-p", "0x1FFFFFFFF"}, 1, "", small},
        {{P("image"), P("out"), "-d", "-p", "21"}, 1, "", small},
        {{P("image"), P("out"), "-d", "-p", "-1"}, 1, "", small},
        {{P("eight"), P("out"), "-d"}, 1, "", small},
#ifdef _WIN32
        // A bare drive names its current folder; a name that fits in MAX_PATH
        // is replaced even where its temporary twin's does not.
        {{dir.root_name().string(), P("box"), "-i"}, 0, put.out, "", box, "cd /d \"" + P("drive") + "\" && ", "box"},
        {{P("in"), P(longName)}, 0, packed, "", record, "", longName},
#else
        {{"/dev/stdin", P("out")}, 1, "", measure, {}, "echo piped |"},
        {{P("fifo"), P("out")}, 1, "", measure, {}, noWait},
        {{P("fifo"), "-l"}, 1, "", measure, {}, noWait},
        {{P("in"), P("fifo"), "-i"}, 1, "", measure, {}, noWait},
        {{"/dev/zero", P("container"), "-i", "-p", "32"}, 1, "", measure},
        {{P("fifos"), P("container"), "-i"}, 1, "", "Left out: 00000020.bin (not a regular file)\nError: No record files in " + P("fifos"), {}, noWait},
        {{P("in"), "/dev/full"}, 1, packed, "Can't write: /dev/full"},
        {{P("in"), "/dev/null", "-x", "-p", "1"}, 0, packed, "Unknown option: -x\n", {}, "", ""}, // a device loses nothing
        // Data on standard output, under any name, comes alone; the report
        // goes to stderr. (The shell's file there is no file to keep.)
        {{P("in"), "/dev/stdout", "-p", "1"}, 0, Text(record), packed, {}, "", ""},
        {{P("rec"), P("fd/1"), "-d"}, 0, Text(sample), UnpackLines(300, record.size()), {}, "", ""},
        {{P("self"), "/dev/stdout", "-d"}, 1, "", bad, {}, "", ""}, // nor the scanner's complaint
        {{P("edited"), P("box"), "-i", "-p", "32", "/proc/self/fd/1"}, 0, Text(patch), put.out, {}, "", ""},
        // The write stops part way at a limit of 4 KiB; the record needs more.
        {{P("noise"), P("out")}, 1, noisy, "Can't write: " + P("out"), {}, "ulimit -f 4;"},
        {{P("noise"), P("noise")}, 1, noisy, "Can't write: " + P("noise"), {}, "ulimit -f 4;"},
        // A regular file is replaced whole under any of its names.
        {{P("in"), "/proc/self/cwd/out"}, 0, packed, "", record, here},
        {{P("edited"), "/proc/self/cwd/box", "-i", "-p", "32"}, 0, put.out, "", box, here, "box"},
        {{P("edited"), "/dev/fd/3", "-i", "-p", "32"}, 0, put.out, "", box, here + "3<box ", "box"},
        {{P("noise"), "/proc/self/cwd/new"}, 1, noisy, "Can't write: /proc/self/cwd/new", {}, here + "ulimit -f 4; "},
        {{P("in"), P(name)}, 0, packed, "", record, "", name},
        {{P("edited"), P(name)}, 0, PackLines(Record(edited).size(), 280), "", Record(edited), "", name},
        // A new file's mode is what the umask leaves; a replaced one keeps its
        // own, and a link its place.
        {{P("in"), P("new")}, 0, packed, "", record, "umask 027;", "new"},
        {{P("in"), P("symlink")}, 0, packed, "", record, "", "log"},
        {{P("in"), P("readonly")}, 1, packed, open + P("readonly"), {}, other},
        {{P("edited"), P("readonly"), "-i", "-p", "32"}, 1, "", open + P("readonly"), {}, other},
#endif
    };
#ifndef _WIN32
    // An output that cannot be replaced: the rename fails, and the temporary
    // file goes with it.
    WriteBytes(dir / "immutable", {});
    const bool immutable = std::system(("chattr +i \"" + P("immutable") + "\" 2>/dev/null").c_str()) == 0;
    if (immutable)
        runs.push_back({{P("in"), P("immutable")}, 1, packed, "Can't write: " + P("immutable"), {}, "", ""});
    else
        std::printf("chattr +i fails on %s (not root, or no such flag there): an output that cannot be replaced is not tried\n", dir.c_str());
#endif
    for (const ToolRun &run : runs)
        WriteBytes(dir / "box", container), Check(run), WriteBytes(dir / "out", files.at("out"));
#ifndef _WIN32
    if (immutable) {
        EXPECT_EQ(std::system(("chattr -i \"" + P("immutable") + "\"").c_str()), 0);
    }
#endif
    EXPECT_EQ(Slurp(dir / "nothing" / "records.tsv"), "position\troom\tuncompressed\theader\tfile\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "records"), {}), 3);
    EXPECT_EQ(ReadFile(P("records/0000000C.bin")), sample);
#ifndef _WIN32
    EXPECT_EQ(fs::status(dir / "new").permissions(), fs::perms(0640));
    EXPECT_TRUE(fs::is_symlink(dir / "symlink") && fs::status(dir / "log").permissions() == fs::perms(0604));
    // Standard output goes to the descriptor the shell gave: >> appends.
    WriteBytes(dir / "log", FromText("earlier"));
    EXPECT_EQ(std::system(("\"" EXSPACK_TOOL "\" \"" + P("in") + "\" /dev/stdout >>\"" + P("log") + "\" 2>/dev/null").c_str()), 0);
    EXPECT_EQ(Slurp(dir / "log"), "earlier" + Text(record));
#endif
}

// Two runs that put records back into one container take turns: the second
// waits for the first's lock, without standing in the way of its replacing
// the container, and puts its record into the first one's result, so that
// no edit is lost.
TEST_F(Tool, PutBackWaitsForTheContainersLock)
{
    const Bytes a = Sample(2000), b = RandomBytes(2000, 9);
    Bytes container = Record(a), editedA = a, editedB = b;
    const uint64_t second = container.size();
    Append(container, Record(b)), editedA[100] = '#', editedB[1999] ^= 1;
    for (const auto &[name, bytes] : {std::pair("box", container), {"first", container}, {"a", editedA}, {"b", editedB}})
        WriteBytes(dir / name, bytes);
    ASSERT_EQ(Exec({P("a"), P("first"), "-i"}).status, 0);

    // The test plays the first run: it holds the lock while the second run
    // starts, then puts its own result in the container's place and lets go.
    const std::string command = "\"" EXSPACK_TOOL "\" \"" + P("b") + "\" \"" + P("box") + "\" -i -p " + std::to_string(second);
#ifdef _WIN32
    // The lock is a mutex named after the file's volume and index.
    BY_HANDLE_FILE_INFORMATION info;
    const HANDLE file = CreateFileW(fs::path(P("box")).wstring().c_str(), 0, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    const bool known = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    ASSERT_TRUE(known);
    const HANDLE held = CreateMutexW(nullptr, TRUE, fs::u8path(Str("Local\\exspack-%08lx-%08lx%08lx", info.dwVolumeSerialNumber,
                                                                  info.nFileIndexHigh, info.nFileIndexLow)).wstring().c_str());
    FILE *waiting = _wpopen(fs::u8path("\"" + command + " >NUL\"").wstring().c_str(), L"r");
    std::this_thread::sleep_for(std::chrono::milliseconds(3000)); // Wine starts a process slowly
#else
    const int held = open(P("box").c_str(), O_RDONLY | O_CLOEXEC); // not the second run's too
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const char *wrapper = std::getenv("EXSPACK_TOOL_WRAPPER");
    FILE *waiting = popen(((wrapper ? std::string(wrapper) : "") + " " + command + " >/dev/null").c_str(), "r");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
#endif
    EXPECT_EQ(ReadFile(P("box")), container) << "the second run did not wait";
    std::error_code replaced;
    fs::rename(dir / "first", dir / "box", replaced);
    EXPECT_FALSE(replaced) << "the waiting run keeps the container from being replaced";
#ifdef _WIN32
    ReleaseMutex(held), CloseHandle(held);
    EXPECT_EQ(_pclose(waiting), 0);
#else
    close(held);
    EXPECT_EQ(pclose(waiting), 0);
#endif
    for (const auto &[position, expected] : {std::pair(uint64_t(0), editedA), {second, editedB}}) {
        EXPECT_EQ(Exec({P("box"), P("out"), "-d", "-p", std::to_string(position)}).status, 0);
        EXPECT_EQ(ReadFile(P("out")), expected) << "the edit at " << position << " is lost";
    }
}

#ifndef _WIN32
// A success is on disk once the tool reports it: the file, then its
// folder's entry after the rename. -l flushes the files it extracts once,
// together with their folder, rather than each on its own.
TEST_F(Tool, FlushesTheFolderAfterTheRename)
{
    if (std::system("strace -V >/dev/null 2>&1") != 0 || std::getenv("EXSPACK_TOOL_WRAPPER"))
        SKIP_UNLESS_CI("needs strace, and the tool itself not traced");
    const Bytes record = Record(Sample(300));
    Bytes two = record;
    Append(two, record), WriteBytes(dir / "in", Sample(300)), WriteBytes(dir / "edited", Sample(290)), WriteBytes(dir / "two", two);
    const fs::path trace = fs::temp_directory_path() / ("exspack-trace-" + std::to_string(getpid()));
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{P("in"), P("out")}, "fsync file, rename, fsync folder, "},
        {{P("edited"), P("two"), "-i"}, "fsync file, rename, fsync folder, "},
        {{P("two"), P("recs"), "-l"}, "rename, rename, rename, syncfs folder, fsync folder, "},
    };
    for (const auto &[args, expected] : runs) {
        // LeakSanitizer cannot run under ptrace: a sanitized tool is traced without it.
        ASSERT_EQ(Exec(args, "ASAN_OPTIONS=detect_leaks=0 strace -f -y -o \"" + trace.string() +
                                 "\" -e trace=fsync,fdatasync,syncfs,rename,renameat,renameat2 ").status, 0);
        std::string calls, line;
        for (std::ifstream lines(trace); std::getline(lines, line);)
            if (std::smatch call; std::regex_search(line, call, std::regex("(fsync|fdatasync|syncfs|rename)\\w*\\(\\d*(<[^>]*>)?")))
                calls += call[1].str() + (call[1] == "rename" ? "" : call[2].str().find(".tmp") != std::string::npos ? " file" : " folder") + ", ";
        EXPECT_EQ(calls, expected) << testing::PrintToString(args);
    }
    fs::remove(trace);
}
#endif

#ifndef _WIN32
// Interrupted while it writes, the tool removes its temporary file and ends
// as the signal would have ended it; the container stays as it was.
TEST_F(Tool, InterruptsLeaveNoTemporaryFile)
{
    // Large enough that writing it out takes a while; sparse, so making it
    // does not.
    const Bytes input = Sample(3000);
    WriteBytes(dir / "edited", Sample(2990)), WriteBytes(dir / "box", Record(input)), fs::resize_file(dir / "box", 192 << 20);
    const auto temporary = [&] {
        return std::any_of(fs::directory_iterator(dir), {}, [](auto &e) { return e.path().filename().string().rfind(".box.", 0) == 0; });
    };
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (const int reset : {SIGINT, SIGTERM, SIGHUP})
                signal(reset, SIG_DFL); // as from a terminal, whatever this process ignores
            (void)!freopen("/dev/null", "w", stdout);
            execl(EXSPACK_TOOL, EXSPACK_TOOL, P("edited").c_str(), P("box").c_str(), "-i", (char *)nullptr);
            _exit(127);
        }
        int status = 0, seen = 0;
        for (int i = 0; i < 60000 && !(seen = temporary()) && waitpid(pid, &status, WNOHANG) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(seen) << "no temporary file to interrupt";
        kill(pid, sig), waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig << ", status " << status;
        EXPECT_FALSE(temporary()) << "signal " << sig;
        EXPECT_EQ(Exec({P("box"), P("out"), "-d"}).status, 0);
        EXPECT_TRUE(ReadFile(P("out")) == input && fs::file_size(dir / "box") == 192u << 20) << "signal " << sig;
    }
}
#endif

TEST_F(Tool, PutsRecordsBackIntoTheirRooms)
{
    // Records of the default and optimal encoders, one all literals, one
    // whose header lies and a nested one, with a false magic among them.
    const Bytes noise = RandomBytes(200, 4), e = Sample(5000);
    Bytes literals = FromHex("45585301 C8000000"), liar = Record(Sample(700));
    for (size_t i = 0; i < 200; i += 8)
        Append(literals, {0xFF}), Append(literals, Bytes(noise.begin() + i, noise.begin() + i + 8));
    Append(literals, FromHex("00 0000")), liar[6] = 0x7F;
    const std::vector<Bytes> packed = {Record(Sample(2000)), Record(Sample(3000), true), literals, liar, Record(e),
                                       Record(FromText("abcdefgh" "EXS\x01" "\x10\x20\x30\x40" "ijklmnop"))};
    const std::vector<uint64_t> sizes = {2000, 3000, 200, 700, 5000, 24};
    Bytes container = FromHex("45585301 AABBCCDD 000100");
    std::vector<uint64_t> at;
    for (const Bytes &record : packed)
        Append(container, RandomBytes(50 + record.size() % 200, 8)), at.push_back(container.size()), Append(container, record);
    WriteBytes(dir / "container", container);
    const auto name = [&](uint64_t position) { return dir / "recs" / RecordName(position); };
    const auto line = [&](size_t i, uint64_t length, uint64_t size, const char *stream) {
        return Str("0x%08zX  %-10zu  %-10zu  %-12zu  %s\n", at[i], packed[i].size(), length, size, stream);
    };

    // Unpacked and put back unedited: the very same bytes.
    ASSERT_EQ(Exec({P("container"), P("recs"), "-l"}).status, 0);
    fs::remove(name(at[3])), fs::remove(name(at[5] + 18));
    std::string expected = REPORT;
    for (size_t i : {0, 1, 2, 4, 5})
        expected += line(i, packed[i].size(), sizes[i], "same");
    EXPECT_EQ(PutBack({P("recs"), P("container"), "-i"}, "container").out, expected + "5 records put back\n");
    EXPECT_EQ(ReadFile(P("container")), container);

    // Edited: fewer bytes leave zeros behind, the liar gets its header
    // right, other bytes of as much room get a fitted stream; the names may
    // be in either case, other files and -p are ignored.
    Bytes edited = e;
    edited[100] ^= 1, edited[4000] = '#';
    const Bytes zeros = Record(Bytes(100, 0)), honest = Record(Sample(700));
    WriteBytes(name(at[2]), Bytes(100, 0)), WriteBytes(name(at[3]), Sample(700)), WriteBytes(name(at[4]), edited);
    fs::remove(name(at[0])), fs::remove(name(at[1])), WriteBytes(dir / "recs" / "notes.txt", {});
    fs::rename(name(at[5]), dir / "recs" / Str("%08zx.BIN", at[5]));
    EXPECT_EQ(PutBack({P("recs"), P("container"), "-i", "-p", "1"}, "container").out,
              REPORT + line(2, zeros.size(), 100, "padded") + line(3, liar.size(), 700, "default") +
                  line(4, packed[4].size(), 5000, "fitted") + line(5, 38, 24, "same") + "4 records put back\n");
    Bytes now = ReadFile(P("container"));
    ASSERT_EQ(Exec({P("container"), P("check"), "-d", "-p", std::to_string(at[4])}).out, UnpackLines(5000, packed[4].size()));
    EXPECT_EQ(ReadFile(P("check")), edited);
    std::copy(container.begin() + at[4], container.begin() + at[4] + packed[4].size(), now.begin() + at[4]);
    std::copy(zeros.begin(), zeros.end(), container.begin() + at[2]);
    std::fill(container.begin() + at[2] + zeros.size(), container.begin() + at[2] + 236, 0);
    std::copy(honest.begin(), honest.end(), container.begin() + at[3]);
    EXPECT_EQ(now, container) << "bytes outside the rooms changed";
}

TEST_F(Tool, ListsAndPutsBackInRawCdImages)
{
    // Sectors of every kind from the sample, with new data and codes: a
    // system area, records crossing sector boundaries, Form 2 and audio
    // sectors between and after the data, and a record cut at the end of a
    // run of data sectors, which only the sector after it would complete.
    // The codes of sectors 5 to 7 are left zero, as some tools leave them.
    REQUIRE_SAMPLE(EXSPACK_CD_SAMPLE);
    const Bytes sample = ReadFile(EXSPACK_CD_SAMPLE);
    const size_t S = RAW_SECTOR_SIZE, D = SECTOR_DATA_SIZE, F1 = 1, F2 = 3, M1 = 5, AUDIO = 6;
    const std::vector<size_t> kinds = {F1, F1, F1, F1, F1, F1, F1, F1, F2, AUDIO, M1, M1, F2, AUDIO};
    Bytes view(kinds.size() * D, 0), image;
    const Bytes a = Sample(6000), b = Sample(900), c = Sample(3000), d = RandomBytes(5000, 21);
    const Bytes ra = Record(a), rb = Record(b), rc = Record(c), rd = Record(d);
    const uint64_t A = 2 * D + 1000, B = A + ra.size(), C = 10 * D + 500, DD = 5 * D + 100, CUT = 12 * D - ra.size() / 2;
    ASSERT_TRUE(B + rb.size() < DD && DD + rd.size() < 8 * D);
    for (const auto &[record, at] : std::vector<std::pair<Bytes, size_t>>{{ra, A}, {rb, B}, {rd, DD}, {rc, C}, {ra, CUT}})
        std::copy(record.begin(), record.end(), view.begin() + at);
    for (size_t i = 0; i < kinds.size(); i++) {
        Append(image, Bytes(sample.begin() + kinds[i] * S, sample.begin() + kinds[i] * S + S));
        if (const size_t offset = SectorDataOffset(&image[i * S])) {
            std::copy(view.begin() + i * D, view.begin() + i * D + D, image.begin() + i * S + offset);
            SetSectorCodes(&image[i * S]);
            if (i >= 5 && i <= 7)
                std::fill(image.begin() + i * S + offset + D, image.begin() + i * S + S, 0);
        }
    }
    WriteBytes(dir / "image.bin", image);
    std::string listing = CD + std::string(HEADING) + ListingLine(A, ra.size(), a.size()) + ListingLine(B, rb.size(), b.size()) +
                          ListingLine(DD, rd.size(), d.size()) + ListingLine(C, rc.size(), c.size()) + "4 records\n";
    EXPECT_EQ(Exec({P("image.bin"), P("recs"), "-l"}).out, listing);
    EXPECT_EQ(ReadFile(P("recs/") + RecordName(A)), a);
    Check({{P("image.bin"), P("out"), "-d", "-p", std::to_string(C)}, 0, UnpackLines(c.size(), rc.size()), "", c});

    // Edited records go back; each sector whose data changed gets codes
    // that fit, every other sector stays as it was, codes and all. The last
    // byte of d changes the last sector of its record only; a and b share a
    // sector, which must carry both their changes.
    Bytes editedA = a, editedB(b.begin(), b.end() - 10), editedD = d;
    editedA[5000] = '#', editedD.back() ^= 0x55;
    WriteBytes(dir / "recs" / RecordName(A), editedA), WriteBytes(dir / "recs" / RecordName(DD), editedD);
    WriteBytes(dir / "recs" / RecordName(B), editedB);
    WriteBytes(dir / "recs" / RecordName(C), Sample(2000));
    const Outcome put = PutBack({P("recs"), P("image.bin"), "-i"}, "image.bin");
    EXPECT_NE(put.out.find(Str("0x%08zX  %-10zu  %-10zu  5000          default\n", DD, rd.size(), rd.size())), std::string::npos);
    const Bytes now = ReadFile(P("image.bin"));
    ASSERT_EQ(now.size(), image.size());
    for (size_t i = 0; i < kinds.size(); i++) {
        Bytes sector(now.begin() + i * S, now.begin() + i * S + S), old(image.begin() + i * S, image.begin() + i * S + S);
        const size_t offset = SectorDataOffset(&sector[0]);
        const bool changed = offset != 0 && !std::equal(&old[offset], &old[offset + D], &sector[offset]);
        if (changed)
            std::copy_n(&sector[offset], D, &old[offset]), SetSectorCodes(&old[0]);
        EXPECT_TRUE(sector == old && (!changed || (i != 5 && i != 6))) << "sector " << i;
    }
    ASSERT_EQ(Exec({P("image.bin"), P("again"), "-l"}).status, 0);
    for (const auto &[position, input] : {std::pair(A, editedA), {B, editedB}, {C, Sample(2000)}, {DD, editedD}})
        EXPECT_EQ(ReadFile(P("again/") + RecordName(position)), input) << position;
    // A record's run ends it, and between runs (Form 2 and audio sectors,
    // whose view bytes are zeros) there is none: never read on into the
    // next run as if the runs were joined.
    const uint64_t GAP = 8 * D + 100;
    for (const ToolRun &run : std::vector<ToolRun>{
             {{P("again/") + RecordName(A), P("image.bin"), "-i", "-p", std::to_string(CUT)}, 1, "",
              Str("Error: No record at 0x%08zX", CUT)},
             {{P("again/") + RecordName(A), P("image.bin"), "-i", "-p", std::to_string(GAP)}, 1, "",
              Str("Error: No record at 0x%08zX", GAP)},
             {{P("image.bin"), P("out"), "-d", "-p", std::to_string(CUT)}, 1, "", "Error: Bad file"},
             {{P("image.bin"), P("out"), "-d", "-p", std::to_string(GAP)}, 1, "", "Error: Small file"},
             {{P("image.bin"), P("out"), "-d", "-p", std::to_string(10 * D - 11)}, 1, "", "Error: Small file"}})
        Check(run);

    // Not whole sectors (a stray byte, subchannel data): listed as a plain
    // file after a notice, as a copy without the sync pattern is; never
    // written as an image.
    // Audio first, as on a disc whose first track is music: an image all
    // the same, its positions those of the whole file.
    Bytes mixed;
    for (int i = 0; i < 10; i++)
        Append(mixed, Bytes(sample.begin() + AUDIO * S, sample.begin() + AUDIO * S + S));
    Append(mixed, now), WriteBytes(dir / "mixed.bin", mixed);
    const std::string mixedListing = Exec({P("mixed.bin"), "-l"}).out;
    for (const uint64_t position : {A, B, DD, C})
        EXPECT_NE(mixedListing.find(Str("\n0x%08zX  ", position + 10 * D)), std::string::npos) << mixedListing;
    EXPECT_EQ(mixedListing.substr(0, sizeof CD - 1), CD);
    EXPECT_EQ(Exec({P("mixed.bin"), P("out"), "-d", "-p", Str("0x%zX", C + 10 * D)}).status, 0);
    EXPECT_EQ(ReadFile(P("out")), Sample(2000));

    image.push_back(0), WriteBytes(dir / "stray.bin", image);
    const std::string stray = Exec({P("stray.bin"), "-l"}).out, notice =
        "Not read as a CD image: the size is not a whole number of 2352-byte sectors "
        "(1 byte past the last whole one: the image is cut short or is not a CD image)\n";
    EXPECT_EQ(stray.substr(0, notice.size() + sizeof HEADING - 1), notice + HEADING);
    EXPECT_NE(stray.find(Str("\n0x%08zX  ", 2 * S + 24 + 1000)), std::string::npos) << stray; // A, read as a plain file
    Check({{P("again/") + RecordName(A), P("stray.bin"), "-i", "-p", "0"}, 1, "",
           "Error: Not a CD image exspack can write: " + P("stray.bin")});
}

// On a disc mastered by a real tool, -l and -i name each record by the file
// it starts in and its offset there, in the 2048-byte image and in the raw
// image of it, where a file of Form 2 sectors holds no data. A record in the
// system area belongs to no file.
TEST_F(Tool, NamesRecordsByTheDiscsFiles)
{
    if (!GenisoimageMissing().empty())
        SKIP_UNLESS_CI(GenisoimageMissing());
    struct Placed {
        std::string path;                 // on the disc
        uint64_t offset;                  // in the file
        Bytes input, record;
        uint64_t position = 0;            // in the image, found by its bytes
    };
    std::vector<Placed> placed;
    std::map<std::string, Bytes> files; // by their path on the disc
    const auto add = [&](const std::string &path, size_t before, size_t size, size_t after = 300) {
        Append(files[path], RandomBytes(before, (unsigned)size));
        placed.push_back({path, files[path].size(), Sample(size), Record(Sample(size))});
        Append(files[path], placed.back().record), Append(files[path], RandomBytes(after, (unsigned)before));
    };
    add("/DATA/LEVEL1.BIN", 0, 3000);
    add("/SCENES/NESTED/S02.BIN", 0x123, 2500, 0x2000);
    add("/NOEXT", 0x805, 700);
    add("/XA/MOVIE.STR", 100, 1200, 5000);
    for (const auto &[path, bytes] : files)
        fs::create_directories((dir / ("tree" + path)).parent_path()), WriteBytes(dir / ("tree" + path), bytes);
    Bytes iso = MakeIso(dir / "tree");
    ASSERT_FALSE(iso.empty());
    placed.push_back({"", 0, Sample(400), Record(Sample(400)), 0x100});
    std::copy(placed.back().record.begin(), placed.back().record.end(), iso.begin() + 0x100);
    for (Placed &p : placed)
        p.position = std::search(iso.begin(), iso.end(), p.record.begin(), p.record.end()) - iso.begin();
    std::sort(placed.begin(), placed.end(), [](const Placed &a, const Placed &b) { return a.position < b.position; });
    // The movie's sectors are Form 2 in the raw image.
    const Bytes &movie = files["/XA/MOVIE.STR"];
    const size_t first = std::search(iso.begin(), iso.end(), movie.begin(), movie.end()) - iso.begin();
    std::vector<bool> form2((first + movie.size() - 1) / SECTOR_DATA_SIZE + 1, true);
    std::fill(form2.begin(), form2.begin() + first / SECTOR_DATA_SIZE, false);
    WriteBytes(dir / "disc.iso", iso);
    WriteBytes(dir / "disc.bin", RawImage(iso, form2));

    for (const std::string image : {"disc.iso", "disc.bin"}) {
        const bool raw = image == "disc.bin";
        Bytes edited = placed[2].input;
        edited[10] = '#';
        std::string listing = std::string(raw ? CD : "") + "Position    Compressed  Uncompressed  Header                  File\n";
        std::string report = "Position    Room        Compressed  Uncompressed  Stream   File\n";
        size_t count = 0;
        for (const Placed &p : placed) {
            if (raw && p.path == "/XA/MOVIE.STR")
                continue;
            const std::string name = p.path.empty() ? "-" : p.path + Str("+0x%zX", p.offset);
            listing += Str("0x%08zX  %-10zu  %-12zu  %-22s  %s\n", p.position, p.record.size(), p.input.size(), "ok", name.c_str());
            report += Str("0x%08zX  %-10zu  %-10zu  %-12zu  %-7s  %s\n", p.position, p.record.size(), p.record.size(),
                          p.input.size(), &p == &placed[2] ? "fitted" : "same", name.c_str());
            count++;
        }
        EXPECT_EQ(Exec({P(image), P("recs"), "-l"}).out, listing + std::to_string(count) + " records\n") << image;
        // Put back, unedited but for one: the same names in the report.
        WriteBytes(dir / "recs" / RecordName(placed[2].position), edited);
        EXPECT_EQ(PutBack({P("recs"), P(image), "-i"}, image).out, report + std::to_string(count) + " records put back\n");
        fs::remove_all(dir / "recs");
    }
}
