// The tool as a user runs it: a separate process, its output files, its two
// output streams and its exit status.
#include "support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

std::string Slurp(const fs::path &path)
{
    const Bytes bytes = ReadFile(path.string());
    return std::string(bytes.begin(), bytes.end());
}

void WriteBytes(const fs::path &path, const Bytes &bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write((const char *)bytes.data(), (std::streamsize)bytes.size());
}

Bytes RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes(n);
    for (uint8_t &b : bytes)
        b = (uint8_t)rng();
    return bytes;
}

class Tool : public testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        const auto *info = testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() / (std::string("exspack-") + info->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        if (!HasFailure())
            fs::remove_all(dir);
    }

    std::string P(const std::string &name) const { return (dir / name).string(); }

    // Runs the tool with args; `shell` goes in front of the command, for
    // limits and umask.
    Outcome Exec(const std::vector<std::string> &args, const std::string &shell = "") const
    {
        std::string command = shell + "\"" EXSPACK_TOOL "\"";
        for (const std::string &arg : args)
            command += " \"" + arg + "\"";
        const fs::path out = dir / ".stdout", err = dir / ".stderr";
        command += " >\"" + out.string() + "\" 2>\"" + err.string() + "\"";
#ifdef _WIN32
        // cmd /c drops the first and the last quote of a command line that
        // holds more than two.
        command = "\"" + command + "\"";
#endif
        int status = std::system(command.c_str());
#ifndef _WIN32
        status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
        Outcome run{status, Slurp(out), Slurp(err)};
#ifdef _WIN32
        // Standard output is in text mode, as for any console program.
        for (std::string *text : {&run.out, &run.err})
            for (size_t at; (at = text->find("\r\n")) != std::string::npos;)
                text->erase(at, 1);
#endif
        fs::remove(out);
        fs::remove(err);
        return run;
    }

    // Files in the folder besides the ones a test made: leftovers.
    std::vector<std::string> Listing() const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    Bytes Pack(const Bytes &input)
    {
        WriteBytes(dir / "pack.in", input);
        EXPECT_EQ(Exec({P("pack.in"), P("pack.out")}).status, 0);
        const Bytes record = ReadFile(P("pack.out"));
        fs::remove(dir / "pack.in");
        fs::remove(dir / "pack.out");
        return record;
    }

    void ExpectError(const std::vector<std::string> &args, const std::string &message, const std::string &shell = "")
    {
        const Outcome run = Exec(args, shell);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, message);
    }
};

std::string Usage()
{
    char text[1024];
    snprintf(text, sizeof text,
             "Vesperhall [PSX] compressor || v1.0.0 by tarsek\nusage: %s INPUT OUTPUT [-c | -d] [-p file_pos]\n"
             "positional arguments:\n  INPUT          input file\n  OUTPUT         output file\n"
             "optional arguments:\n  -c             compress (default)\n  -d             decompress\n"
             "  -p file_pos    start file position (default: 0)\n",
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

TEST_F(Tool, ErrorsAndTheirOrder)
{
    WriteBytes(dir / "ten", Bytes(10, 0));
    WriteBytes(dir / "cut", FromHex("45585301 05000000 1F 414243"));
    WriteBytes(dir / "self", FromHex("45585301 01000000 000100"));
    WriteBytes(dir / "ok", FromText("data"));
    ExpectError({P("missing"), P("out")}, "Can't open: " + P("missing"));
    ExpectError({P("ten"), P("out"), "-d"}, "Error: Small file");
    ExpectError({P("ok"), P("out"), "-d", "-p", "1"}, "Error: Small file");
    ExpectError({P("cut"), P("out"), "-d"}, "Error: Bad file");
    ExpectError({P("ok"), P("no/such/folder/out")}, "Can't open: " + P("no/such/folder/out"));
    EXPECT_FALSE(fs::exists(dir / "out"));

    const Outcome run = Exec({P("self"), P("out"), "-d"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "(dpos & 0x0FFF) == offset\n");
    EXPECT_EQ(run.err, "Error: Bad file");
}

TEST_F(Tool, ElevenByteRecordUnpacks)
{
    // The record of an empty file, alone and as the last 11 bytes of a file.
    Bytes container = RandomBytes(20, 2);
    const Bytes empty = Pack({});
    container.insert(container.end(), empty.begin(), empty.end());
    WriteBytes(dir / "tail", container);
    const Outcome run = Exec({P("tail"), P("out"), "-d", "-p", "20"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Uncompressed Size: 0 (0x0)\nCompressed Size  : 11 (0xB)");
    EXPECT_TRUE(fs::exists(dir / "out") && fs::file_size(dir / "out") == 0);
    ExpectError({P("tail"), P("out"), "-d", "-p", "21"}, "Error: Small file");
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
TEST_F(Tool, FailedWriteKeepsTheOldOutput)
{
    WriteBytes(dir / "in", RandomBytes(200000, 3));
    WriteBytes(dir / "out", FromText("precious"));
    ExpectError({P("in"), "/dev/full"}, "Can't write: /dev/full");
    // The record outgrows the file size limit part way through.
    ExpectError({P("in"), P("out")}, "Can't write: " + P("out"), "ulimit -f 64;");
    EXPECT_EQ(Slurp(dir / "out"), "precious");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"in", "out"})) << "no temporary file is left";
}

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

TEST_F(Tool, CorpusRoundTrips)
{
    for (const auto &entry : fs::directory_iterator(EXSPACK_CORPUS)) {
        if (entry.path().filename() == "README.md")
            continue;
        ASSERT_EQ(Exec({entry.path().string(), P("packed")}).status, 0);
        ASSERT_EQ(Exec({P("packed"), P("unpacked"), "-d"}).status, 0);
        EXPECT_EQ(ReadFile(P("unpacked")), ReadFile(entry.path().string())) << entry.path();
    }
}
