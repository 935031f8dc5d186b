// The tool against whatever people find inside disc images: cut and damaged
// records, positions past the end, headers that lie, and places that cannot
// be read or written. Every run must end either with status 0 and exactly the
// bytes the stream stands for, or with status 1, one line on standard error
// and the folder left as it was: an existing output unchanged and no
// temporary file behind. Never a crash, never a wrong result reported as
// success.
#include "reference.h"
#include "tool.h"

#include <map>

namespace {

// Every entry of a folder with its contents ("/" marks a folder).
std::map<std::string, std::string> Snapshot(const fs::path &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        files[fs::relative(entry.path(), dir).string()] = entry.is_directory() ? "/" : Slurp(entry.path());
    return files;
}

std::string SizeLines(uint64_t decoded, uint64_t record)
{
    char lines[128];
    snprintf(lines, sizeof lines, "Uncompressed Size: %llu (0x%llX)\nCompressed Size  : %llu (0x%llX)",
             (unsigned long long)decoded, (unsigned long long)decoded, (unsigned long long)record,
             (unsigned long long)record);
    return lines;
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

class Hostile : public Tool {
protected:
    const std::string precious = "an output from an earlier run";

    void SetUp() override
    {
        Tool::SetUp();
        WriteBytes(dir / "out", FromText(precious));
    }

    // The run must fail with exactly `message` and change nothing.
    void ExpectRefused(const std::vector<std::string> &args, const std::string &message, const std::string &shell = "")
    {
        const auto before = Snapshot(dir);
        const Outcome run = Exec(args, shell);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, message);
        EXPECT_EQ(Snapshot(dir), before) << "the folder changed";
    }

    // Unpacks the record at pos of file into "out" and holds the result
    // against the reference decoder; returns whether the tool succeeded.
    bool ExpectUnpackedRight(const Bytes &file, uint64_t pos)
    {
        WriteBytes(dir / "in", file);
        const auto before = Snapshot(dir);
        const Outcome run = Exec({P("in"), P("out"), "-d", "-p", std::to_string(pos)});
        const ReferenceResult expected = file.size() >= pos + 11
                                             ? ReferenceDecode(file.data() + pos + 8, file.size() - pos - 8)
                                             : ReferenceResult{false, 0, {}};
        if (expected.ok) {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.out, SizeLines(expected.output.size(), expected.consumed + 8));
            EXPECT_TRUE(ReadFile(P("out")) == expected.output) << "wrong bytes reported as success";
            EXPECT_EQ(Listing().size(), before.size()) << "a temporary file is left";
            WriteBytes(dir / "out", FromText(precious));
        } else {
            EXPECT_EQ(run.status, 1) << "a damaged record was not refused";
            EXPECT_TRUE(run.err == "Error: Bad file" || run.err == "Error: Small file") << run.err;
            EXPECT_TRUE(run.out == "" || run.out == "(dpos & 0x0FFF) == offset\n") << run.out;
            EXPECT_EQ(Snapshot(dir), before) << "the folder changed";
        }
        return expected.ok;
    }
};

} // namespace

TEST_F(Hostile, RecordCutAtEveryLength)
{
    const Bytes input = Sample(32);
    const Bytes record = Pack(input);
    ASSERT_GT(record.size(), 30u);
    for (size_t length = 0; length < record.size(); length++) {
        WriteBytes(dir / "cut", Bytes(record.begin(), record.begin() + length));
        ExpectRefused({P("cut"), P("out"), "-d"}, length < 11 ? "Error: Small file" : "Error: Bad file");
    }
    EXPECT_TRUE(ExpectUnpackedRight(record, 0));
}

TEST_F(Hostile, RandomBytesAtRandomPlaces)
{
    // A record between other bytes, as inside a disc image, with one to
    // three bytes of it (header included) replaced.
    const Bytes record = Pack(Sample(400));
    Bytes image = RandomBytes(5, 10);
    image.insert(image.end(), record.begin(), record.end());
    image.insert(image.end(), {0, 0, 0});
    std::mt19937 rng(11);
    int accepted = 0;
    for (int trial = 0; trial < 24; trial++) {
        Bytes damaged = image;
        for (int n = 1 + (int)(rng() % 3); n > 0; n--)
            damaged[5 + rng() % record.size()] = (uint8_t)rng();
        accepted += ExpectUnpackedRight(damaged, 5);
        if (HasFailure())
            break;
    }
    // Both outcomes must have been seen for the test to mean anything.
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, 24);
}

TEST_F(Hostile, HeaderFieldsAreIgnored)
{
    // Nothing but the stream tells a record's length, so a header that lies
    // about the size, or carries another magic, changes nothing.
    const Bytes input = Sample(300);
    const Bytes record = Pack(input);
    for (uint32_t size : {0u, 1u, 299u, 301u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        Bytes lying = record;
        for (int i = 0; i < 4; i++)
            lying[4 + i] = (uint8_t)(size >> (8 * i));
        if (size == 0)
            std::fill(lying.begin(), lying.begin() + 4, 0xEE);
        WriteBytes(dir / "lying", lying);
        const Outcome run = Exec({P("lying"), P("out"), "-d"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, SizeLines(input.size(), record.size()));
        EXPECT_EQ(ReadFile(P("out")), input) << "header size " << size;
    }
}

TEST_F(Hostile, PositionsAtAndPastTheEnd)
{
    // The last 11 bytes are the record of an empty file: the one position
    // that still holds a whole record. Every later one is refused.
    Bytes image = RandomBytes(20, 12);
    const Bytes empty = Pack({});
    image.insert(image.end(), empty.begin(), empty.end());
    EXPECT_TRUE(ExpectUnpackedRight(image, 20));
    WriteBytes(dir / "image", image);
    for (const char *pos : {"21", "30", "31", "32", "0x7FFFFFFF", "0x80000000", "4294967295", "-1"})
        ExpectRefused({P("image"), P("out"), "-d", "-p", pos}, "Error: Small file");
}

TEST_F(Hostile, NothingReadableOrWritable)
{
    WriteBytes(dir / "in", Sample(100));
    WriteBytes(dir / "text", FromText("not a record, not even close"));
    fs::create_directory(dir / "folder");
    const std::string openIn = "Can't open: ";
    ExpectRefused({P("missing"), P("out")}, openIn + P("missing"));
    ExpectRefused({P("missing"), P("out"), "-d"}, openIn + P("missing"));
#ifdef _WIN32
    const std::string folderInput = openIn + P("folder"); // Windows opens no folder as a file
#else
    const std::string folderInput = "Error: GetFileSize()";
#endif
    ExpectRefused({P("folder"), P("out")}, folderInput);
    ExpectRefused({P("folder"), P("out"), "-d"}, folderInput);
    ExpectRefused({P("in"), P("none/out")}, openIn + P("none/out"));
    ExpectRefused({P("in"), P("folder")}, openIn + P("folder"));
    ExpectRefused({P("text"), P("text"), "-d"}, "Error: Bad file");
    ExpectRefused({P("in"), P("out"), "-d", "-p", "90"}, "Error: Small file");
#ifndef _WIN32
    ExpectRefused({P("in"), "/dev/full"}, "Can't write: /dev/full");
    // The write stops part way at a limit of 4 KiB; the record needs more.
    WriteBytes(dir / "noise", RandomBytes(20000, 13));
    ExpectRefused({P("noise"), P("out")}, "Can't write: " + P("out"), "ulimit -f 4;");
    ExpectRefused({P("noise"), P("noise")}, "Can't write: " + P("noise"), "ulimit -f 4;");
#endif
}
