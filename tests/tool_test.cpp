// The tool as a user runs it, against ordinary and hostile input. Every run
// ends either with status 0 and exactly the bytes expected, or with status 1,
// one line on standard error and the folder left as it was: an existing
// output unchanged and no temporary file behind.
#include "tool.h"

#include "CdImage.h"
#include "iso.h"

#include <chrono>
#include <cstdio>
#include <thread>

#ifndef _WIN32
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
    "  -i             put INPUT back as the record at file_pos of OUTPUT; INPUT may be a folder -l wrote\n";

std::string Format(const char *format, unsigned long long a, unsigned long long b = 0)
{
    char text[512];
    snprintf(text, sizeof text, format, a, a, b, b);
    return text;
}

std::string PackLines(uint64_t record, uint64_t decoded)
{
    return Format("Compressed Size  : %llu (0x%llX)\nUncompressed Size: %llu (0x%llX)", record, decoded);
}

std::string UnpackLines(uint64_t decoded, uint64_t record)
{
    return Format("Uncompressed Size: %llu (0x%llX)\nCompressed Size  : %llu (0x%llX)", decoded, record);
}

// Text with repeats near and far, so that its record holds literals and
// references over several groups.
Bytes Sample(size_t size)
{
    const std::string words = "exspack unpacks records; records pack again; ";
    std::string text;
    for (size_t i = 0; text.size() < size; i++)
        text += words.substr(i * 7 % words.size()) + std::to_string(i * i);
    return FromText(text.substr(0, size));
}

void Append(Bytes &to, const Bytes &bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

const char HEADING[] = "Position    Compressed  Uncompressed  Header\n";

std::string ListingLine(size_t position, size_t length, size_t decoded, const std::string &header)
{
    char line[128];
    snprintf(line, sizeof line, "0x%08zX  %-10zu  %-12zu  %s\n", position, length, decoded, header.c_str());
    return line;
}

} // namespace

TEST_F(Tool, Runs)
{
    const Bytes sample = Sample(300), record = Record(sample), best = Record(sample, true);
    Bytes container(32, 0x02); // a reference before the start at position 0
    Append(container, record);
    Append(container, {1, 2, 3, 4, 5});
    Bytes image = RandomBytes(20, 12); // the record of an empty file as its last 11 bytes
    Append(image, Record({}));
    WriteBytes(dir / "in", sample);
    WriteBytes(dir / "rec", record);
    WriteBytes(dir / "container", container);
    WriteBytes(dir / "image", image);
    WriteBytes(dir / "empty", {});
    WriteBytes(dir / "eight", FromText("ABCDEFGH"));
    WriteBytes(dir / "self", FromHex("45585301 01000000 000100"));
    Bytes liar = record; // nothing but the stream tells a record's length
    std::fill(liar.begin(), liar.begin() + 8, 0xEE);
    WriteBytes(dir / "liar", liar);
    WriteBytes(dir / "cut", Bytes(record.begin(), record.end() - 1));
    const Bytes noise = RandomBytes(20000, 13);
    WriteBytes(dir / "noise", noise);
    WriteBytes(dir / "same", sample);
    WriteBytes(dir / "out", FromText("an output from an earlier run"));
    fs::create_directory(dir / "folder");
    fs::create_directories(dir / "blocked" / "00000000.bin");
#ifndef _WIN32
    // Opening a FIFO waits for its other end: the tool must not.
    mkfifo((dir / "fifo").c_str(), 0600);
    fs::create_directory(dir / "fifos");
    mkfifo((dir / "fifos" / "00000020.bin").c_str(), 0600);
    const std::string noWait = "timeout 60 ";
#endif
    for (uint64_t size : {uint64_t(1) << 31, (uint64_t(1) << 32) + 12}) { // sparse, a record at the start
        WriteBytes(dir / std::to_string(size), record);
        fs::resize_file(dir / std::to_string(size), size);
    }
    char usage[1024];
    snprintf(usage, sizeof usage, USAGE, EXSPACK_TOOL);
    const std::string packed = PackLines(record.size(), 300), noisy = PackLines(Record(noise).size(), 20000);
    const std::string open = "Can't open: ", small = "Error: Small file", bad = "Error: Bad file";
#ifdef _WIN32
    const std::string folderInput = open + P("folder"); // Windows opens no folder as a file
#else
    const std::string folderInput = "Error: GetFileSize()";
#endif

    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
        Bytes written = {}; // what "out" (or "same") holds afterwards
        std::string shell = "";
        bool together = false;
    } runs[] = {
        {{}, 0, usage, ""},
        {{P("in")}, 0, usage, ""},
        {{"-d", P("in"), "-p", "5"}, 0, usage, ""},
        {{P("rec"), "-l", "-d"}, 0, usage, ""}, // the last mode counts, and -d needs OUTPUT
        {{"-x", P("in"), "-cd", P("out"), "-", P("third")}, 0, packed,
         "Unknown option: -x\nUnknown option: -cd\nUnknown option: -\nUnknown argument: " + P("third") + "\n", record},
        {{P("in"), P("out"), "-b"}, 0, PackLines(best.size(), 300), "", best},
        {{"-b", P("rec"), P("out"), "-d"}, 0, UnpackLines(300, record.size()), "", sample}, // -b is for packing
        {{P("empty"), P("out")}, 0, "Compressed Size  : 11 (0xB)\nUncompressed Size: 0 (0x0)", "", FromHex("45585301 00000000 000000")},
        {{P("eight"), P("out"), "-d", "-c"}, 0, "Compressed Size  : 20 (0x14)\nUncompressed Size: 8 (0x8)", "",
         FromHex("45585301 08000000 FF 4142434445464748 00 0000")},
        {{"-d", P("container"), "-p", "0x20", P("out")}, 0, UnpackLines(300, record.size()), "", sample},
        {{"-d", P("container"), "-p", "0X20", P("out")}, 0, UnpackLines(300, record.size()), "", sample},
        {{"-d", P("container"), "-p", "32xyz", P("out"), "-p"}, 0, UnpackLines(300, record.size()), "", sample},
        {{"-d", P("container"), "-p", "00000000320", P("out")}, 0, UnpackLines(300, record.size()), "", sample},
        {{"-d", P("container"), P("out"), "-p"}, 1, "", bad},
        {{"-d", P("image"), "-p", "20", P("out")}, 0, UnpackLines(0, 11), "", {}},
        {{P("liar"), P("out"), "-d"}, 0, UnpackLines(300, record.size()), "", sample},
        {{P("cut"), P("out"), "-d"}, 1, "", bad},
        {{P("self"), P("out"), "-d"}, 1, "(dpos & 0x0FFF) == offset\nError: Bad file", "", {}, "", true},
        {{P("same"), P("same")}, 0, packed, "", record},
        {{P("same"), P("same"), "-d"}, 0, UnpackLines(300, record.size()), "", sample},
        {{P("missing"), P("out")}, 1, "", open + P("missing")},
        {{P("folder"), P("out")}, 1, "", folderInput},
        {{P("in"), P("none/out")}, 1, packed, open + P("none/out")},
        {{P("in"), P("folder")}, 1, packed, open + P("folder")},
        {{P("in"), P("out"), "-d"}, 1, "", bad},
        {{P("rec"), P("in"), "-l"}, 1, "", open + P("in")}, // no folder to extract into
        {{P("rec"), P("none/out"), "-l"}, 1, "", open + P("none/out")},
        {{P("rec"), P("blocked") + "/", "-l"}, 1, HEADING, open + P("blocked/00000000.bin")},
        {{P("2147483648"), P("out"), "-d"}, 1, "", "Error: GetFileSize()"},
        {{P("4294967308"), P("out"), "-d"}, 1, "", "Error: GetFileSize()"},
        {{P("rec"), P("out"), "-d", "-p", "4294967296"}, 1, "", small}, // 32-bit values saturate
        {{P("rec"), P("out"), "-d", "-p", "99999999999"}, 1, "", small},
        {{P("rec"), P("out"), "-d", "-p", "0x1FFFFFFFF"}, 1, "", small},
        {{P("image"), P("out"), "-d", "-p", "21"}, 1, "", small},
        {{P("image"), P("out"), "-d", "-p", "-1"}, 1, "", small},
        {{P("eight"), P("out"), "-d"}, 1, "", small},
        {{P("in"), P("out"), P("third"), "-c", P("fourth")}, 0, packed,
         "Unknown argument: " + P("third") + "\nUnknown argument: " + P("fourth") + "\n", record},
#ifndef _WIN32
        {{"/dev/stdin", P("out")}, 1, "", "Error: GetFileSize()", {}, "echo piped |"},
        {{P("fifo"), P("out")}, 1, "", "Error: GetFileSize()", {}, noWait},
        {{P("fifo"), "-l"}, 1, "", "Error: GetFileSize()", {}, noWait},
        {{P("in"), P("fifo"), "-i"}, 1, "", "Error: GetFileSize()", {}, noWait},
        {{"/dev/zero", P("container"), "-i", "-p", "32"}, 1, "", "Error: GetFileSize()", {}, noWait},
        {{P("fifos"), P("container"), "-i"}, 1, "", "Error: No record files in " + P("fifos"), {}, noWait},
        {{P("in"), "/dev/full"}, 1, packed, "Can't write: /dev/full"},
        // The write stops part way at a limit of 4 KiB; the record needs more.
        {{P("noise"), P("out")}, 1, noisy, "Can't write: " + P("out"), {}, "ulimit -f 4;"},
        {{P("noise"), P("noise")}, 1, noisy, "Can't write: " + P("noise"), {}, "ulimit -f 4;"},
#endif
    };
    for (const auto &run : runs) {
        const auto before = Snapshot();
        const Outcome outcome = Exec(run.args, run.shell, run.together);
        const std::string what = testing::PrintToString(run.args);
        EXPECT_EQ(outcome.status, run.status) << what;
        EXPECT_EQ(outcome.out, run.out) << what;
        EXPECT_EQ(outcome.err, run.err) << what;
        if (run.status != 0) {
            EXPECT_EQ(Snapshot(), before) << what << ": the folder changed";
        } else if (run.args.size() >= 2 && run.out != usage) {
            const bool same = std::count(run.args.begin(), run.args.end(), P("same")) > 0;
            const std::string written = P(same ? "same" : "out");
            EXPECT_EQ(ReadFile(written), run.written) << what;
            EXPECT_EQ(Snapshot().size(), before.size()) << what << ": a temporary file is left";
            WriteBytes(dir / "out", FromText("an output from an earlier run"));
        }
    }
}

#ifndef _WIN32
// What an output path names decides how it is written, not how it is
// spelled. A regular file, under any name, is replaced whole or not at all: a
// hard link made before keeps the old bytes, and a failure leaves no trace.
// Standard output is written where the shell pointed it.
TEST_F(Tool, WritesOutputsByWhatTheirPathsName)
{
    const Bytes input = Sample(3000), record = Record(input);
    Bytes edited = input;
    edited[2000] = '#';
    WriteBytes(dir / "in", input);
    WriteBytes(dir / "edited", edited);
    WriteBytes(dir / "noise", RandomBytes(20000, 3));
    WriteBytes(dir / "box", record);
    ASSERT_EQ(Exec({P("edited"), P("box"), "-i"}).status, 0); // what putting back makes of it
    const Bytes box = ReadFile(P("box"));
    WriteBytes(dir / "box", record);
    WriteBytes(dir / "out", FromText("old"));
    WriteBytes(dir / "readonly", record);
    fs::permissions(dir / "readonly", fs::perms(0444));
    // The mode does not hold root back; the refusal is seen as another user.
    const std::string other = geteuid() != 0 ? "" : "chmod 777 \"" + dir.string() + "\"; setpriv --reuid=65534 --regid=65534 --clear-groups ";
    const std::string here = "cd \"" + dir.string() + "\" && ";
    const std::string name(250, 'n'); // its temporary name passes 255 bytes unless cut

    enum Node { NEW, REPLACED, UNCHANGED };
    const struct {
        std::vector<std::string> args;
        std::string shell;
        std::string err; // empty for a run that succeeds
        std::string file;
        Node node;
        Bytes contents = {};
    } runs[] = {
        {{P("in"), "/proc/self/cwd/out"}, here, "", "out", REPLACED, record},
        {{P("edited"), "/proc/self/cwd/box", "-i"}, here, "", "box", REPLACED, box},
        {{P("edited"), "/dev/fd/3", "-i"}, here + "3<box ", "", "box", REPLACED, box},
        {{P("noise"), "/proc/self/cwd/new"}, here + "ulimit -f 4; ", "Can't write: /proc/self/cwd/new", "new", UNCHANGED},
        {{P("in"), P(name)}, "", "", name, NEW, record},
        {{P("edited"), P(name), "-i"}, "", "", name, REPLACED, box},
        {{P("in"), P("readonly")}, other, "Can't open: " + P("readonly"), "readonly", UNCHANGED},
        {{P("edited"), P("readonly"), "-i"}, other, "Can't open: " + P("readonly"), "readonly", UNCHANGED},
    };
    for (const auto &run : runs) {
        const std::string what = testing::PrintToString(run.args);
        const fs::path file = dir / run.file, link = dir / "link";
        const bool existed = !run.file.empty() && fs::exists(file);
        const Bytes old = existed ? ReadFile(file.string()) : Bytes();
        if (existed)
            fs::create_hard_link(file, link);
        const auto before = Snapshot();
        const Outcome outcome = Exec(run.args, run.shell);
        EXPECT_EQ(outcome.status, run.err.empty() ? 0 : 1) << what;
        EXPECT_EQ(outcome.err, run.err) << what;
        if (run.node == UNCHANGED) {
            EXPECT_EQ(Snapshot(), before) << what << ": the folder changed";
        } else {
            EXPECT_EQ(Snapshot().size(), before.size() + (run.node == NEW)) << what << ": a temporary file is left";
            EXPECT_EQ(existed, run.node == REPLACED) << what;
            EXPECT_EQ(ReadFile(file.string()), run.contents) << what;
            EXPECT_EQ(ReadFile(link.string()), old) << what << ": not replaced but written in place";
        }
        fs::remove(link);
    }

    // Standard output goes to the descriptor the shell gave: >> appends.
    WriteBytes(dir / "log", FromText("earlier"));
    fs::create_hard_link(dir / "log", dir / "log-link");
    EXPECT_EQ(std::system(("\"" EXSPACK_TOOL "\" \"" + P("in") + "\" /dev/stdout >>\"" + P("log") + "\"").c_str()), 0);
    EXPECT_EQ(Slurp(dir / "log-link").substr(0, 7 + record.size()), "earlier" + std::string(record.begin(), record.end()));

    // A new file's mode is what the umask leaves; a replaced one keeps its
    // own, and a link its place.
    EXPECT_EQ(Exec({P("in"), P("new")}, "umask 027;").status, 0);
    EXPECT_EQ(fs::status(dir / "new").permissions(), fs::perms(0640));
    fs::permissions(dir / "out", fs::perms(0604));
    fs::create_symlink("out", dir / "symlink");
    EXPECT_EQ(Exec({P("edited"), P("symlink")}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "symlink"));
    EXPECT_EQ(ReadFile(P("out")), Record(edited));
    EXPECT_EQ(fs::status(dir / "out").permissions(), fs::perms(0604));
}

// Two runs that put records back into one container take turns: the second
// waits for the first's lock and puts its record into the first one's
// result, so that no edit is lost.
TEST_F(Tool, PutBackWaitsForTheContainersLock)
{
    const Bytes a = Sample(2000), b = RandomBytes(2000, 9);
    Bytes container = Record(a);
    const uint64_t second = container.size();
    Append(container, Record(b));
    WriteBytes(dir / "box", container);
    WriteBytes(dir / "first", container);
    Bytes editedA = a, editedB = b;
    editedA[100] = '#', editedB[1999] ^= 1;
    WriteBytes(dir / "a", editedA);
    WriteBytes(dir / "b", editedB);
    ASSERT_EQ(Exec({P("a"), P("first"), "-i"}).status, 0);

    // The test plays the first run: it holds the lock while the second run
    // starts, then puts its own result in the container's place and lets go.
    const int held = open(P("box").c_str(), O_RDONLY | O_CLOEXEC); // not the second run's too
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const char *wrapper = std::getenv("EXSPACK_TOOL_WRAPPER");
    const std::string command = (wrapper ? std::string(wrapper) + " " : "") + "\"" EXSPACK_TOOL "\" \"" + P("b") +
                                "\" \"" + P("box") + "\" -i -p " + std::to_string(second) + " >/dev/null";
    FILE *waiting = popen(command.c_str(), "r");
    ASSERT_NE(waiting, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(ReadFile(P("box")), container) << "the second run did not wait";
    fs::rename(dir / "first", dir / "box");
    close(held);
    EXPECT_EQ(pclose(waiting), 0);

    for (const auto &[position, expected] : {std::make_pair(uint64_t(0), editedA), std::make_pair(second, editedB)}) {
        EXPECT_EQ(Exec({P("box"), P("out"), "-d", "-p", std::to_string(position)}).status, 0);
        EXPECT_EQ(ReadFile(P("out")), expected) << "the edit at " << position << " is lost";
    }
}

// Interrupted while it writes, the tool removes its temporary file and ends
// as the signal would have ended it; the container stays as it was.
TEST_F(Tool, InterruptsLeaveNoTemporaryFile)
{
    // Large enough that writing it out takes a while; sparse, so making it
    // does not.
    const Bytes input = Sample(3000);
    Bytes edited = input;
    edited[10] = '#';
    WriteBytes(dir / "edited", edited);
    WriteBytes(dir / "box", Record(input));
    fs::resize_file(dir / "box", 192 << 20);
    const auto temporary = [&] {
        for (const auto &entry : fs::directory_iterator(dir))
            if (entry.path().filename().string().rfind(".box.", 0) == 0)
                return true;
        return false;
    };
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (const int reset : {SIGINT, SIGTERM, SIGHUP})
                signal(reset, SIG_DFL); // as from a terminal, whatever this process ignores
            freopen("/dev/null", "w", stdout);
            execl(EXSPACK_TOOL, EXSPACK_TOOL, P("edited").c_str(), P("box").c_str(), "-i", (char *)nullptr);
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        int status = 0;
        bool seen = false;
        for (int i = 0; i < 60000 && !(seen = temporary()) && waitpid(pid, &status, WNOHANG) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(seen) << "no temporary file to interrupt";
        kill(pid, sig);
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig << ", status " << status;
        EXPECT_FALSE(temporary()) << "signal " << sig;
        EXPECT_EQ(fs::file_size(dir / "box"), 192u << 20);
        EXPECT_EQ(Exec({P("box"), P("out"), "-d"}).status, 0);
        EXPECT_EQ(ReadFile(P("out")), input) << "signal " << sig;
    }
}
#endif

TEST_F(Tool, ListsAndExtractsExactlyTheRecordsOfAContainer)
{
    std::mt19937 rng(6);
    Bytes container;
    std::vector<std::pair<size_t, Bytes>> expected;
    std::string listing = HEADING;
    auto filler = [&] { Append(container, RandomBytes(rng() % 300, rng())); };
    auto record = [&](const Bytes &input, const Bytes &packed, const std::string &header = "ok") {
        listing += ListingLine(container.size(), packed.size(), input.size(), header);
        expected.push_back({container.size(), input});
        Append(container, packed);
    };
    // Its eight middle literals make a header, so a valid record starts inside
    // it: only a search that resumes behind the outer record skips it.
    const Bytes nesting = FromText("abcdefgh" "EXS\x01" "\x10\x20\x30\x40" "ijklmnop");
    const Bytes nested = Record(nesting);
    ASSERT_EQ(Bytes(nested.begin() + 18, nested.begin() + 22), FromText("EXS\x01"));
    const Bytes text = Sample(3000);
    const Bytes lie = FromText("the header lies about this size");
    Bytes liar = Record(lie);
    liar[4] = 0x39, liar[5] = 0x30, liar[6] = 0, liar[7] = 0;
    // Cut before its terminator; the 02 bytes behind it make the next
    // reference point before the start, so no later byte can complete it.
    Bytes cut = Record(FromText(std::string(100, 'c') + "cut short"));
    cut.resize(cut.size() - 3);
    cut.insert(cut.end(), 16, 0x02);

    filler();
    record(nesting, nested);
    filler();
    Append(container, FromHex("45585301 AABBCCDD 000100")); // refers to itself: the scanner talks
    filler();
    Append(container, FromHex("45585301 00000000 000200 45585302 455853")); // before the start, near misses
    record(text, Record(text));
    record(FromText("adjacent"), Record(FromText("adjacent")));
    filler();
    Append(container, cut);
    filler();
    record(lie, liar, "header says 12345");
    filler();
    record({}, Record({})); // the smallest record, as the last 11 bytes
    WriteBytes(dir / "container", container);
    listing += std::to_string(expected.size()) + " records\n";

    Outcome run = Exec({P("container"), "-l"});
    EXPECT_EQ(run.out, listing);
    EXPECT_EQ(run.err, "");
    run = Exec({P("container"), P("records"), "-d", "-l"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, listing);
    EXPECT_EQ((size_t)std::distance(fs::directory_iterator(dir / "records"), {}), expected.size());
    for (const auto &[position, decoded] : expected)
        EXPECT_EQ(ReadFile(P("records/") + Format("%08llX.bin", position)), decoded) << position;

    // A magic with only 10 bytes behind it holds no record.
    WriteBytes(dir / "none", FromHex("45585301 00000000 0000"));
    EXPECT_EQ(Exec({P("none"), P("empty"), "-l"}).out, std::string(HEADING) + "0 records\n");
    EXPECT_TRUE(fs::is_empty(dir / "empty"));
}

TEST_F(Tool, PutsRecordsBackIntoTheirRooms)
{
    // Records of the default and optimal encoders, one all literals, one
    // whose header lies and a nested one, with a false magic among them.
    std::mt19937 rng(8);
    const Bytes noise = RandomBytes(200, 4), e = Sample(5000);
    Bytes literals = FromHex("45585301 C8000000");
    for (size_t i = 0; i < 200; i += 8)
        Append(literals, {0xFF}), Append(literals, Bytes(noise.begin() + i, noise.begin() + i + 8));
    Append(literals, FromHex("00 0000"));
    Bytes liar = Record(Sample(700));
    liar[6] = 0x7F;
    const std::vector<Bytes> packed = {Record(Sample(2000)), Record(Sample(3000), true), literals, liar, Record(e),
                                       Record(FromText("abcdefgh" "EXS\x01" "\x10\x20\x30\x40" "ijklmnop"))};
    const std::vector<uint64_t> sizes = {2000, 3000, 200, 700, 5000, 24};
    Bytes container = FromHex("45585301 AABBCCDD 000100");
    std::vector<uint64_t> at;
    for (const Bytes &record : packed)
        Append(container, RandomBytes(50 + rng() % 200, rng())), at.push_back(container.size()), Append(container, record);
    WriteBytes(dir / "container", container);
    const auto name = [&](uint64_t position) { return dir / "recs" / Format("%08llX.bin", position); };
    const auto line = [&](size_t i, uint64_t length, uint64_t size, const char *stream) {
        char text[128];
        snprintf(text, sizeof text, "0x%08llX  %-10zu  %-10llu  %-12llu  %s\n", (unsigned long long)at[i],
                 packed[i].size(), (unsigned long long)length, (unsigned long long)size, stream);
        return std::string(text);
    };
    const std::string report = "Position    Room        Compressed  Uncompressed  Stream\n";

    // Unpacked and put back unedited: the very same bytes.
    ASSERT_EQ(Exec({P("container"), P("recs"), "-l"}).status, 0);
    fs::remove(name(at[3])), fs::remove(name(at[5] + 18));
    std::string expected = report;
    for (size_t i : {0, 1, 2, 4, 5})
        expected += line(i, packed[i].size(), sizes[i], "same");
    EXPECT_EQ(PutBack({P("recs"), P("container"), "-i"}, "container").out, expected + "5 records put back\n");
    EXPECT_EQ(ReadFile(P("container")), container);

    // Edited: fewer bytes leave zeros behind, the liar gets its header
    // right, other bytes of as much room get a fitted stream; the names may
    // be in either case, other files and -p are ignored.
    Bytes edited = e;
    edited[100] ^= 1, edited[4000] = '#';
    ASSERT_NE(Record(edited).size(), packed[4].size());
    const Bytes zeros = Record(Bytes(100, 0)), honest = Record(Sample(700));
    WriteBytes(name(at[2]), Bytes(100, 0)), WriteBytes(name(at[3]), Sample(700)), WriteBytes(name(at[4]), edited);
    fs::remove(name(at[0])), fs::remove(name(at[1])), WriteBytes(dir / "recs" / "notes.txt", {});
    fs::rename(name(at[5]), dir / "recs" / Format("%08llx.BIN", at[5]));
    EXPECT_EQ(PutBack({P("recs"), P("container"), "-i", "-p", "1"}, "container").out,
              report + line(2, zeros.size(), 100, "padded") + line(3, liar.size(), 700, "default") +
                  line(4, packed[4].size(), 5000, "fitted") + line(5, 38, 24, "same") + "4 records put back\n");
    Bytes now = ReadFile(P("container"));
    ASSERT_EQ(Exec({P("container"), P("check"), "-d", "-p", std::to_string(at[4])}).out, UnpackLines(5000, packed[4].size()));
    EXPECT_EQ(ReadFile(P("check")), edited);
    std::copy(container.begin() + at[4], container.begin() + at[4] + packed[4].size(), now.begin() + at[4]);
    std::copy(zeros.begin(), zeros.end(), container.begin() + at[2]);
    std::fill(container.begin() + at[2] + zeros.size(), container.begin() + at[2] + 236, 0);
    std::copy(honest.begin(), honest.end(), container.begin() + at[3]);
    EXPECT_EQ(now, container) << "bytes outside the rooms changed";

    // Refusals change nothing, an existing patch neither, and a false
    // record's complaint stays out of the report. A room is a record that -l
    // lists: zeros scan as an empty stream, but hold no record.
    WriteBytes(dir / "big", RandomBytes(1000, 5));
    WriteBytes(dir / "empty", {});
    WriteBytes(dir / "old.ppf", FromText("an earlier patch"));
    for (uint64_t p : {at[5], at[5] + 18})
        fs::create_directories(dir / "overlap"), WriteBytes(dir / "overlap" / Format("%08llX.bin", p), {});
    fs::create_directories(dir / "norecs" / Format("%08llX.bin", at[0]));
    WriteBytes(dir / "norecs" / "notes.txt", {});
    const uint64_t zero = at[2] + zeros.size() + 1;
    const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
        {{P("empty"), P("container"), "-i", "-p", std::to_string(zero)}, Format("Error: No record at 0x%08llX\n", zero)},
        {{P("empty"), P("container"), "-i", "-p", "0", P("old.ppf")}, "Error: No record at 0x00000000\n"},
        {{P("norecs"), P("container"), "-i"}, "Error: No record files in " + P("norecs")},
        {{P("empty"), P("container"), "-i", "-p", std::to_string(at[5]), P("container")},
         "Error: The patch and the container are one file: " + P("container")},
        {{P("big"), P("container"), "-i", "-p", std::to_string(at[0])},
         "Error: No room for " + P("big") + ": " + std::to_string(Record(RandomBytes(1000, 5), true).size()) +
             " bytes, room " + std::to_string(packed[0].size()) + "\n"},
        {{P("big"), P("container"), "-i", "-p", std::to_string(at[0] + 1)}, Format("Error: No record at 0x%08llX\n", at[0] + 1)},
        {{P("overlap"), P("container"), "-i"},
         Format("Error: Overlapping records at 0x%08llX", at[5]) + Format(" and 0x%08llX\n", at[5] + 18)},
        {{P("missing"), P("container"), "-i"}, "Can't open: " + P("missing")},
        {{P("big"), P("missing"), "-i"}, "Can't open: " + P("missing")},
    };
    for (const auto &[args, message] : refusals) {
        const auto before = Snapshot();
        const Outcome run = Exec(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, message);
        EXPECT_EQ(Snapshot(), before);
    }
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
    const size_t S = RAW_SECTOR_SIZE, D = SECTOR_DATA_SIZE, FORM1 = 1, FORM2 = 3, MODE1 = 5, AUDIO = 6;
    const std::vector<size_t> kinds = {FORM1, FORM1, FORM1, FORM1, FORM1, FORM1, FORM1, FORM1,
                                       FORM2, AUDIO, MODE1, MODE1, FORM2, AUDIO};
    Bytes view(kinds.size() * D, 0), image;
    const Bytes a = Sample(6000), b = Sample(900), c = Sample(3000), d = RandomBytes(5000, 21);
    const Bytes ra = Record(a), rb = Record(b), rc = Record(c), rd = Record(d);
    const uint64_t A = 2 * D + 1000, B = A + ra.size(), C = 10 * D + 500, DD = 5 * D + 100, CUT = 12 * D - ra.size() / 2;
    ASSERT_LT(B + rb.size(), DD);
    ASSERT_LT(DD + rd.size(), 8 * D);
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
    const std::string cd = "CD image: 2352-byte sectors; positions count 2048 data bytes per sector\n";
    std::string listing = cd + HEADING + ListingLine(A, ra.size(), a.size(), "ok") +
                          ListingLine(B, rb.size(), b.size(), "ok") + ListingLine(DD, rd.size(), d.size(), "ok") +
                          ListingLine(C, rc.size(), c.size(), "ok") + "4 records\n";
    EXPECT_EQ(Exec({P("image.bin"), P("recs"), "-l"}).out, listing);
    EXPECT_EQ(ReadFile(P("recs/") + Format("%08llX.bin", A)), a);
    // -d counts positions as -l does.
    EXPECT_EQ(Exec({P("image.bin"), P("out"), "-d", "-p", std::to_string(C)}).out, UnpackLines(c.size(), rc.size()));
    EXPECT_EQ(ReadFile(P("out")), c);

    // Edited records go back; each sector whose data changed gets codes
    // that fit, every other sector stays as it was, codes and all. The last
    // byte of d changes the last sector of its record only.
    Bytes editedA = a, editedD = d;
    editedA[5000] = '#';
    editedD.back() ^= 0x55;
    WriteBytes(dir / "recs" / Format("%08llX.bin", A), editedA);
    WriteBytes(dir / "recs" / Format("%08llX.bin", C), Sample(2000));
    WriteBytes(dir / "recs" / Format("%08llX.bin", DD), editedD);
    const Outcome put = PutBack({P("recs"), P("image.bin"), "-i"}, "image.bin");
    EXPECT_EQ(put.status, 0);
    char unchangedStart[128];
    snprintf(unchangedStart, sizeof unchangedStart, "0x%08zX  %-10zu  %-10zu  %-12zu  default\n", (size_t)DD, rd.size(),
             rd.size(), d.size());
    EXPECT_NE(put.out.find(unchangedStart), std::string::npos) << put.out;
    const Bytes now = ReadFile(P("image.bin"));
    ASSERT_EQ(now.size(), image.size());
    for (size_t i = 0; i < kinds.size(); i++) {
        Bytes sector(now.begin() + i * S, now.begin() + i * S + S), old(image.begin() + i * S, image.begin() + i * S + S);
        const size_t offset = SectorDataOffset(&sector[0]);
        if (offset == 0 || std::equal(old.begin() + offset, old.begin() + offset + D, sector.begin() + offset)) {
            EXPECT_EQ(sector, old) << "sector " << i;
            continue;
        }
        EXPECT_TRUE(i != 5 && i != 6) << "sector " << i << " of d changed";
        std::copy(sector.begin() + offset, sector.begin() + offset + D, old.begin() + offset);
        SetSectorCodes(&old[0]);
        EXPECT_EQ(sector, old) << "sector " << i;
    }
    const std::string shorter = ListingLine(C, rc.size(), c.size(), "ok");
    EXPECT_EQ(Exec({P("image.bin"), P("again"), "-l"}).out,
              listing.replace(listing.find(shorter), shorter.size(), ListingLine(C, rc.size(), 2000, "ok")));
    EXPECT_EQ(ReadFile(P("again/") + Format("%08llX.bin", A)), editedA);
    EXPECT_EQ(ReadFile(P("again/") + Format("%08llX.bin", C)), Sample(2000));
    EXPECT_EQ(ReadFile(P("again/") + Format("%08llX.bin", DD)), editedD);
    EXPECT_EQ(Exec({P("recs/") + Format("%08llX.bin", A), P("image.bin"), "-i", "-p", std::to_string(CUT)}).err,
              Format("Error: No record at 0x%08llX\n", CUT)); // its run ends first

    // Not whole sectors (a stray byte, subchannel data): listed as a plain
    // file after a notice, as a copy without the sync pattern is; never
    // written as an image.
    Bytes stray = image, plain = image;
    stray.push_back(0);
    plain.push_back(0);
    plain[1] = 0;
    WriteBytes(dir / "stray.bin", stray);
    WriteBytes(dir / "plain.bin", plain);
    EXPECT_EQ(Exec({P("stray.bin"), "-l"}).out,
              "Not read as a CD image: the size is not a whole number of 2352-byte sectors\n" +
                  Exec({P("plain.bin"), "-l"}).out);
    const auto before = Snapshot();
    EXPECT_EQ(Exec({P("again/") + Format("%08llX.bin", A), P("stray.bin"), "-i", "-p", "0"}).err,
              "Error: Not a CD image exspack can write: " + P("stray.bin"));
    EXPECT_EQ(Snapshot(), before);
}

// On a disc mastered by a real tool, -l and -i name each record by the file
// it starts in and its offset there, in the 2048-byte image and in the raw
// image of it, where a file of Form 2 sectors holds no data. A record in the
// system area belongs to no file.
TEST_F(Tool, NamesRecordsByTheDiscsFiles)
{
    if (!GenisoimageMissing().empty())
        GTEST_SKIP() << GenisoimageMissing();
    struct Placed {
        std::string path; // on the disc
        uint64_t offset;  // in the file
        Bytes input, record;
        uint64_t position = 0; // in the image, found by its bytes
    };
    std::vector<Placed> placed;
    std::map<std::string, Bytes> files;
    unsigned seed = 30;
    const auto add = [&](const std::string &path, size_t before, size_t size, size_t after = 300) {
        Bytes &file = files[path];
        Append(file, RandomBytes(before, seed++));
        placed.push_back({path, file.size(), Sample(size), Record(Sample(size))});
        Append(file, placed.back().record);
        Append(file, RandomBytes(after, seed++));
    };
    add("/DATA/LEVEL1.BIN", 0, 3000);
    add("/SCENES/NESTED/S02.BIN", 0x123, 2500, 0x2000);
    add("/SCENES/NESTED/S02.BIN", 0, 1000);
    add("/NOEXT", 0x805, 700);
    add("/XA/MOVIE.STR", 100, 1200, 5000);
    for (const auto &[path, bytes] : files) {
        fs::create_directories((dir / ("tree" + path)).parent_path());
        WriteBytes(dir / ("tree" + path), bytes);
    }
    Bytes iso = MakeIso(dir / "tree");
    ASSERT_FALSE(iso.empty());
    const Bytes system = Record(Sample(400));
    std::copy(system.begin(), system.end(), iso.begin() + 0x100);
    placed.push_back({"", 0, Sample(400), system, 0x100});
    for (Placed &p : placed)
        if (!p.path.empty())
            p.position = std::search(iso.begin(), iso.end(), p.record.begin(), p.record.end()) - iso.begin();
    std::sort(placed.begin(), placed.end(), [](const Placed &a, const Placed &b) { return a.position < b.position; });
    const auto name = [](const Placed &p) { return p.path.empty() ? std::string("-") : p.path + Format("+0x%llX", p.offset); };
    const auto line = [&](const Placed &p) {
        char text[256];
        snprintf(text, sizeof text, "0x%08llX  %-10zu  %-12zu  %-22s  %s\n", (unsigned long long)p.position,
                 p.record.size(), p.input.size(), "ok", name(p).c_str());
        return std::string(text);
    };
    const std::string heading = "Position    Compressed  Uncompressed  Header                  File\n";

    // The movie's sectors are Form 2 in the raw image.
    const Bytes &movie = files["/XA/MOVIE.STR"];
    const size_t first = (std::search(iso.begin(), iso.end(), movie.begin(), movie.end()) - iso.begin()) / SECTOR_DATA_SIZE;
    std::vector<bool> form2(iso.size() / SECTOR_DATA_SIZE + 1, false);
    for (size_t s = first; s * SECTOR_DATA_SIZE < first * SECTOR_DATA_SIZE + movie.size(); s++)
        form2[s] = true;
    WriteBytes(dir / "disc.iso", iso);
    WriteBytes(dir / "disc.bin", RawImage(iso, form2));

    for (const std::string image : {"disc.iso", "disc.bin"}) {
        const bool raw = image == "disc.bin";
        std::string listing = raw ? "CD image: 2352-byte sectors; positions count 2048 data bytes per sector\n" : "";
        listing += heading;
        size_t count = 0;
        for (const Placed &p : placed)
            if (!raw || p.path != "/XA/MOVIE.STR")
                listing += line(p), count++;
        EXPECT_EQ(Exec({P(image), P("recs"), "-l"}).out, listing + std::to_string(count) + " records\n") << image;

        // Put back, unedited but for one: the same names in the report.
        Bytes edited = placed[2].input;
        edited[10] = '#';
        WriteBytes(dir / "recs" / Format("%08llX.bin", placed[2].position), edited);
        const Outcome put = PutBack({P("recs"), P(image), "-i"}, image);
        std::string report = "Position    Room        Compressed  Uncompressed  Stream   File\n";
        for (const Placed &p : placed)
            if (!raw || p.path != "/XA/MOVIE.STR") {
                char text[256];
                snprintf(text, sizeof text, "0x%08llX  %-10zu  %-10zu  %-12zu  %-7s  %s\n", (unsigned long long)p.position,
                         p.record.size(), p.record.size(), p.input.size(), &p == &placed[2] ? "fitted" : "same",
                         name(p).c_str());
                report += text;
            }
        EXPECT_EQ(put.out, report + std::to_string(count) + " records put back\n") << image;
        fs::remove_all(dir / "recs");
    }
}
