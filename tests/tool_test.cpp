// The tool as a user runs it: a separate process, its output files, its two
// output streams and its exit status.
#include "tool.h"

#include <cstdio>

namespace {

std::string Usage()
{
    char text[2048];
    snprintf(text, sizeof text,
             "Vesperhall [PSX] compressor || v1.0.0 by tarsek\nusage: %s INPUT OUTPUT [-c | -d] [-p file_pos]\n"
             "positional arguments:\n  INPUT          input file\n  OUTPUT         output file\n"
             "optional arguments:\n  -c             compress (default)\n  -d             decompress\n"
             "  -p file_pos    start file position (default: 0)\n"
             "  -b             best compression: smallest record, slower\n"
             "  -l             list every record in INPUT; with OUTPUT as a folder, extract them\n",
             EXSPACK_TOOL);
    return text;
}

} // namespace

TEST_F(Tool, UsageWithoutBothPaths)
{
    for (const auto &args : {std::vector<std::string>{}, {P("in")}, {"-d", P("in"), "-p", "5"}}) {
        const Outcome run = Exec(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, Usage());
        EXPECT_EQ(run.err, "");
    }
}

TEST_F(Tool, WarnsAboutUnknownArgumentsAndGoesOn)
{
    WriteBytes(dir / "in", FromText("hello"));
    const Outcome run = Exec({"-x", P("in"), "-cd", P("out"), "-", P("third")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Unknown option: -x\nUnknown option: -cd\nUnknown option: -\nUnknown argument: " + P("third") + "\n");
    EXPECT_TRUE(fs::exists(dir / "out"));
}

TEST_F(Tool, PacksWithHeaderAndSizeLines)
{
    WriteBytes(dir / "empty", {});
    Outcome run = Exec({P("empty"), P("empty.exs")});
    EXPECT_EQ(run.out, "Compressed Size  : 11 (0xB)\nUncompressed Size: 0 (0x0)");
    EXPECT_EQ(ReadFile(P("empty.exs")), FromHex("45585301 00000000 000000"));

    WriteBytes(dir / "eight", FromText("ABCDEFGH"));
    run = Exec({P("eight"), P("eight.exs"), "-d", "-c"}); // the last mode counts
    EXPECT_EQ(run.out, "Compressed Size  : 20 (0x14)\nUncompressed Size: 8 (0x8)");
    EXPECT_EQ(ReadFile(P("eight.exs")), FromHex("45585301 08000000 FF 4142434445464748 00 0000"));
}

TEST_F(Tool, UnpacksRecordInsideLargerFile)
{
    const Bytes input = FromText(std::string(300, 'z') + "a record among other bytes");
    const Bytes record = Pack(input);
    Bytes container = RandomBytes(32, 1);
    container.insert(container.end(), record.begin(), record.end());
    container.insert(container.end(), {1, 2, 3, 4, 5});
    WriteBytes(dir / "container", container);
    char lines[128];
    snprintf(lines, sizeof lines, "Uncompressed Size: %zu (0x%zX)\nCompressed Size  : %zu (0x%zX)", input.size(),
             input.size(), record.size(), record.size());
    for (const char *pos : {"32", "0x20", "0X20"}) {
        const Outcome run = Exec({"-d", P("container"), "-p", pos, P("out")});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, lines);
        EXPECT_EQ(ReadFile(P("out")), input);
    }
    // A trailing -p takes nothing; position 0 holds no record.
    EXPECT_EQ(Exec({"-d", P("container"), P("out"), "-p"}).status, 1);
}

TEST_F(Tool, ReferenceToItselfShowsBothMessagesInOrder)
{
    WriteBytes(dir / "self", FromHex("45585301 01000000 000100"));
    WriteBytes(dir / "both", {});
    const Outcome run = Exec({P("self"), P("both"), "-d"}, "", true);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "(dpos & 0x0FFF) == offset\nError: Bad file");
}

TEST_F(Tool, PositionPast32BitsSaturates)
{
    WriteBytes(dir / "rec", Pack(FromText("would be read at position 0 after wrapping")));
    for (const char *pos : {"4294967296", "4294967297", "99999999999", "0x1FFFFFFFF"})
        ExpectError({P("rec"), P("out"), "-d", "-p", pos}, "Error: Small file");
}

TEST_F(Tool, InputThatCannotBeMeasured)
{
#ifdef _WIN32
    ExpectError({dir.string(), P("out")}, "Can't open: " + dir.string()); // Windows opens no folder as a file
#else
    ExpectError({dir.string(), P("out")}, "Error: GetFileSize()");
    ExpectError({"/dev/stdin", P("out")}, "Error: GetFileSize()", "echo piped |");
#endif
    // Sparse files of 2 GiB and of 4 GiB + 12 bytes that start with a record.
    const Bytes record = Pack(FromText("twelve bytes"));
    for (uint64_t size : {uint64_t(1) << 31, (uint64_t(1) << 32) + 12}) {
        WriteBytes(dir / "huge", record);
        fs::resize_file(dir / "huge", size);
        ExpectError({P("huge"), P("out"), "-d"}, "Error: GetFileSize()");
    }
    fs::remove(dir / "huge");
    EXPECT_FALSE(fs::exists(dir / "out"));
}

#ifndef _WIN32
TEST_F(Tool, ReplacesOutputKeepingModeAndLinks)
{
    WriteBytes(dir / "in", FromText("contents"));
    EXPECT_EQ(Exec({P("in"), P("new")}, "umask 027;").status, 0);
    EXPECT_EQ(fs::status(dir / "new").permissions(), fs::perms(0640));

    WriteBytes(dir / "old", FromText("old"));
    fs::permissions(dir / "old", fs::perms(0604));
    fs::create_symlink("old", dir / "link");
    EXPECT_EQ(Exec({P("in"), P("link")}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(ReadFile(P("old")), ReadFile(P("new")));
    EXPECT_EQ(fs::status(dir / "old").permissions(), fs::perms(0604));

    EXPECT_EQ(Exec({P("in"), "/dev/null"}).status, 0);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"in", "link", "new", "old"}));
}
#endif

#ifdef _WIN32
TEST_F(Tool, ReplacesOutputOnlyWhereWindowsWould)
{
    WriteBytes(dir / "in", FromText("contents"));
    WriteBytes(dir / "old", FromText("old"));
    WriteBytes(dir / "readonly", FromText("read-only"));
    fs::permissions(dir / "readonly", fs::perms::owner_read);
    ExpectError({P("in"), P("readonly")}, "Can't open: " + P("readonly"));
    EXPECT_EQ(Slurp(dir / "readonly"), "read-only");
    {
        // Held open without leave to delete: the rename over it fails.
        std::ifstream held(dir / "old");
        ExpectError({P("in"), P("old")}, "Can't write: " + P("old"));
    }
    EXPECT_EQ(Slurp(dir / "old"), "old");
    EXPECT_EQ(Exec({P("in"), P("old")}).status, 0);
    EXPECT_EQ(ReadFile(P("old")), Pack(FromText("contents")));
    EXPECT_EQ(Exec({P("in"), "NUL"}).status, 0);
    fs::permissions(dir / "readonly", fs::perms::owner_all);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"in", "old", "readonly"})) << "no temporary file is left";
}
#endif

TEST_F(Tool, InputAndOutputMayBeTheSameFile)
{
    const Bytes input = RandomBytes(5000, 4);
    WriteBytes(dir / "f", input);
    EXPECT_EQ(Exec({P("f"), P("f")}).status, 0);
    EXPECT_NE(ReadFile(P("f")), input);
    EXPECT_EQ(Exec({P("f"), P("f"), "-d"}).status, 0);
    EXPECT_EQ(ReadFile(P("f")), input);
}

TEST_F(Tool, CorpusRoundTripsAndBestPacksSmaller)
{
    for (const char *file : kCorpusFiles) {
        const std::string in = std::string(EXSPACK_CORPUS) + "/" + file;
        ASSERT_EQ(Exec({in, P("greedy")}).status, 0);
        const Outcome run = Exec({"-b", in, P("best")});
        ASSERT_EQ(run.status, 0);
        const Bytes best = ReadFile(P("best"));
        // Every sample file has some gain left over by the greedy encoder.
        EXPECT_LT(best.size(), ReadFile(P("greedy")).size()) << in;
        char line[64];
        snprintf(line, sizeof line, "Compressed Size  : %zu (0x%zX)\n", best.size(), best.size());
        EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1), line);
        // -b changes nothing when unpacking.
        for (const char *record : {"greedy", "best"}) {
            ASSERT_EQ(Exec({P(record), P("unpacked"), "-d", "-b"}).status, 0);
            EXPECT_EQ(ReadFile(P("unpacked")), ReadFile(in)) << in << " " << record;
        }
    }
}

namespace {

const char HEADING[] = "Position    Compressed  Uncompressed  Header\n";

std::string ListingLine(size_t position, size_t length, size_t decoded, const std::string &header)
{
    char line[128];
    snprintf(line, sizeof line, "0x%08zX  %-10zu  %-12zu  %s\n", position, length, decoded, header.c_str());
    return line;
}

void Append(Bytes &to, const Bytes &bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

} // namespace

TEST_F(Tool, ListsAndExtractsExactlyTheRecordsOfAContainer)
{
    std::mt19937 rng(6);
    struct Expected {
        size_t position;
        Bytes decoded;
        size_t length;
        std::string header;
    };
    std::vector<Expected> expected;
    Bytes container;
    auto filler = [&] { Append(container, RandomBytes(rng() % 300, rng())); };
    auto record = [&](const Bytes &input, Bytes packed, const std::string &header = "ok") {
        expected.push_back({container.size(), input, packed.size(), header});
        Append(container, packed);
    };

    // Its eight middle literals make a header, so a valid record starts inside
    // it: only a search that resumes behind the outer record skips it.
    const Bytes nesting = FromText("abcdefgh" "EXS\x01" "\x10\x20\x30\x40" "ijklmnop");
    const Bytes nested = Pack(nesting);
    ASSERT_EQ(Bytes(nested.begin() + 18, nested.begin() + 22), FromText("EXS\x01"));
    std::string words;
    for (int i = 0; i < 3000; i++)
        words += std::to_string(rng() % 500) + " ";
    const Bytes text = FromText(words);
    Bytes liar = Pack(FromText("the header lies about this size"));
    liar[4] = 0x39, liar[5] = 0x30, liar[6] = 0, liar[7] = 0;
    // Cut before its terminator; the 02 bytes behind it make the next
    // reference point before the start, so no later byte can complete it.
    Bytes cut = Pack(FromText(std::string(100, 'c') + "cut short"));
    cut.resize(cut.size() - 3);
    cut.insert(cut.end(), 16, 0x02);

    filler();
    record(nesting, nested);
    filler();
    Append(container, FromHex("45585301 AABBCCDD 000100")); // refers to itself: the scanner talks
    filler();
    Append(container, FromHex("45585301 00000000 000200 45585302 455853")); // a reference before the start, near misses
    record(text, Pack(text));
    record(FromText("adjacent"), Pack(FromText("adjacent")));
    filler();
    Append(container, cut);
    filler();
    record(FromText("the header lies about this size"), liar, "header says 12345");
    filler();
    record({}, Pack({})); // the smallest record, as the last 11 bytes
    WriteBytes(dir / "container", container);

    std::string listing = HEADING;
    for (const Expected &e : expected)
        listing += ListingLine(e.position, e.length, e.decoded.size(), e.header);
    listing += std::to_string(expected.size()) + " records\n";

    Outcome run = Exec({P("container"), "-l"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, listing);
    EXPECT_EQ(run.err, "");

    run = Exec({P("container"), P("records"), "-d", "-l"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, listing);
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir / "records"))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        char name[16];
        snprintf(name, sizeof name, "%08zX.bin", expected[i].position);
        EXPECT_EQ(names[i], name);
        EXPECT_EQ(ReadFile(P("records/") + name), expected[i].decoded) << name;
    }
}

TEST_F(Tool, ListModeOptionsAndErrors)
{
    const Bytes nesting = FromText("abcdefgh" "EXS\x01" "\x10\x20\x30\x40" "ijklmnop");
    WriteBytes(dir / "one", Pack(nesting));
    const std::string one = std::string(HEADING) + "0x00000000  38          24            ok\n1 records\n";
    EXPECT_EQ(Exec({"-l", P("one")}).out, one);
    EXPECT_EQ(Exec({P("one"), "-l", "-d"}).out, Usage()) << "the last mode counts, and -d needs OUTPUT";

    // A magic with only 10 bytes behind it cannot hold a record.
    WriteBytes(dir / "none", FromHex("45585301 00000000 0000"));
    Outcome run = Exec({P("none"), P("empty"), "-l"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string(HEADING) + "0 records\n");
    EXPECT_TRUE(fs::is_empty(dir / "empty"));

    ExpectError({P("missing"), "-l"}, "Can't open: " + P("missing"));
    ExpectError({P("one"), P("one"), "-l"}, "Can't open: " + P("one"));
    ExpectError({P("one"), P("no/such"), "-l"}, "Can't open: " + P("no/such"));
    fs::create_directories(dir / "blocked" / "00000000.bin");
    run = Exec({P("one"), P("blocked") + "/", "-l"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Can't open: " + P("blocked/00000000.bin"));
}

#ifndef _WIN32
TEST_F(Tool, ListsRecordsOfALargeFile)
{
    // A sparse file of 256 MiB and 16 bytes: a record deep inside, one at the end.
    const Bytes input = FromText("far from the start");
    const Bytes record = Pack(input);
    const size_t size = (size_t(1) << 28) + 16;
    {
        std::ofstream file(dir / "large", std::ios::binary);
        file.seekp(0x0ABCDEF1);
        file.write((const char *)record.data(), (std::streamsize)record.size());
        file.seekp((std::streamoff)size - 11);
        file.write("EXS\x01\0\0\0\0\0\0\0", 11);
    }
    ASSERT_EQ(fs::file_size(dir / "large"), size);
    const Outcome run = Exec({P("large"), P("out"), "-l"});
    EXPECT_EQ(run.out, HEADING + ListingLine(0x0ABCDEF1, record.size(), input.size(), "ok") +
                           ListingLine(size - 11, 11, 0, "ok") + "2 records\n");
    EXPECT_EQ(ReadFile(P("out/0ABCDEF1.bin")), input);
    EXPECT_EQ(fs::file_size(dir / "out/10000005.bin"), 0u);
}
#endif
