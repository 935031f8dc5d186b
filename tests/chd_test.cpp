// CHDs as emulator users keep their discs: each made here by chdman from a
// cue sheet the test writes, and held to what chdman extractcd makes of it
// again. Listing, extracting, unpacking and the patch on the CHD must be
// those on the extracted .cue, but for the report's first line.
#include "tool.h"

#include "iso.h"

namespace {

// A raw Mode 1 image of a 2048-byte-sector image, codes and all.
Bytes Mode1Image(const Bytes &iso)
{
    const size_t sectors = (iso.size() + SECTOR_DATA_SIZE - 1) / SECTOR_DATA_SIZE;
    Bytes image(sectors * RAW_SECTOR_SIZE, 0);
    const auto bcd = [](size_t n) { return (uint8_t)(n / 10 % 10 << 4 | n % 10); };
    for (size_t i = 0, address = 150; i < sectors; i++, address++) {
        uint8_t *const sector = &image[i * RAW_SECTOR_SIZE];
        std::fill(sector + 1, sector + 11, 0xFF), sector[15] = 1;
        sector[12] = bcd(address / 4500), sector[13] = bcd(address / 75 % 60), sector[14] = bcd(address % 75);
        std::copy(iso.begin() + i * SECTOR_DATA_SIZE, iso.begin() + std::min((i + 1) * SECTOR_DATA_SIZE, iso.size()),
                  sector + 16);
        SetSectorCodes(sector);
    }
    return image;
}

std::string Host(const std::string &command)
{
    std::string out, err;
    return RunOnHost(command, &out, &err) == 0 ? "" : command + ": " + err;
}

// The output without its first line, and that line.
std::pair<std::string, std::string> SplitFirst(const std::string &text)
{
    const size_t end = text.find('\n');
    return end == std::string::npos ? std::make_pair(text, std::string()) :
                                      std::make_pair(text.substr(0, end + 1), text.substr(end + 1));
}

std::map<std::string, std::string> Folder(const fs::path &folder)
{
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::directory_iterator(folder))
        files[entry.path().filename().string()] = Slurp(entry.path());
    return files;
}

} // namespace

class Chd : public Tool {
protected:
    Bytes text, rtext, iso;

    void SetUp() override
    {
        Tool::SetUp();
        if (!GenisoimageMissing().empty())
            SKIP_UNLESS_CI(GenisoimageMissing());
        if (!Host("chdman --help >/dev/null 2>&1 || command -v chdman").empty())
            SKIP_UNLESS_CI("chdman cannot be run here (.ci/deps installs mame-tools)");
        text = Sample(236), rtext = Record(text);
        Bytes file = RandomBytes(0x40, 1);
        Append(file, rtext), Append(file, RandomBytes(3000, 2));
        fs::create_directories(dir / "tree" / "DATA");
        WriteBytes(dir / "tree" / "DATA" / "TEXT.BIN", file);
        WriteBytes(dir / "tree" / "NOISE.BIN", RandomBytes(40000, 3));
        iso = MakeIso(dir / "tree");
        ASSERT_FALSE(iso.empty());
    }

    // NAME.chd from the sheet NAME.cue (chdman createcd OPTIONS), and what
    // extractcd makes of it: NAME-x.cue and NAME-x.bin. The parent of a
    // child must be named to extractcd too, or it reads zeros in its place.
    void Make(const std::string &name, const std::string &options = "", const std::string &parent = "")
    {
        const std::string at = "cd '" + HostPath(dir) + "' && ";
        ASSERT_EQ(Host(at + "chdman createcd -f -i " + name + ".cue -o " + name + ".chd " + options), "");
        ASSERT_EQ(Host(at + "chdman extractcd -f -i " + name + ".chd -o " + name + "-x.cue -ob " + name + "-x.bin " + parent), "");
    }

    // Every command on CHD as on the sheet chdman extracts from it, the
    // report's first line naming TRACK MODE.
    void Compare(const std::string &chd, const std::string &sheet, const std::string &track, const std::string &mode)
    {
        const std::string bin = sheet.substr(0, sheet.size() - 4) + ".bin", first = "CHD: track " + track + " " + mode + "\n";
        const std::string cueFirst = "Cue sheet: track " + track + " " + mode + " in " + P(bin) + "\n";
        const Outcome listed = Exec({P(chd), "-l"}), sheetListed = Exec({P(sheet), "-l"});
        EXPECT_EQ(SplitFirst(listed.out), std::make_pair(first, SplitFirst(sheetListed.out).second)) << chd;
        EXPECT_EQ(SplitFirst(sheetListed.out).first, cueFirst);
        EXPECT_EQ(listed.status, 0) << listed.err;

        EXPECT_EQ(Exec({P(chd), P("a"), "-l"}).status, 0);
        EXPECT_EQ(Exec({P(sheet), P("b"), "-l"}).status, 0);
        const auto extracted = Folder(dir / "a");
        EXPECT_EQ(extracted, Folder(dir / "b")) << chd;
        EXPECT_NE(extracted.at("records.tsv").find("\t236\tok\t/DATA/TEXT.BIN+0x40\n"), std::string::npos) << chd;
        fs::remove_all(dir / "a"), fs::remove_all(dir / "b");

        const Outcome unpacked = Exec({P(chd), P("u"), "-d", "-p", "/DATA/TEXT.BIN+0x40"});
        const Outcome sheetUnpacked = Exec({P(sheet), P("v"), "-d", "-p", "/DATA/TEXT.BIN+0x40"});
        EXPECT_EQ(SplitFirst(unpacked.out), std::make_pair(first, SplitFirst(sheetUnpacked.out).second));
        EXPECT_EQ(ReadFile(P("u")), ReadFile(P("v")));
        EXPECT_EQ(ReadFile(P("u")).size(), 236u);

        // One patch for the CHD, the sheet and the .bin; applied to the
        // .bin, it is the change -i makes in place there, codes and all.
        WriteBytes(dir / "edit", Sample(200));
        const std::vector<std::string> put = {P("edit"), "", "-i", "-p", "/DATA/TEXT.BIN+0x40"};
        const auto into = [&](const std::string &container, std::vector<std::string> extra) {
            std::vector<std::string> args = put;
            args[1] = P(container), args.insert(args.end(), extra.begin(), extra.end());
            return Exec(args);
        };
        const Outcome patched = into(chd, {P("chd.ppf")});
        EXPECT_EQ(SplitFirst(patched.out).first, first) << patched.err;
        EXPECT_EQ(into(sheet, {P("cue.ppf")}).status, 0);
        const Bytes ppf = ReadFile(P("chd.ppf")), before = ReadFile(P(bin));
        EXPECT_EQ(ppf, ReadFile(P("cue.ppf"))) << chd;
        EXPECT_EQ(into(sheet, {}).status, 0);
        EXPECT_EQ(ApplyPpf(before, ppf, false), ReadFile(P(bin))) << chd;
        EXPECT_NE(ReadFile(P(bin)), before);
        WriteBytes(dir / bin, before);
        Check({{P("edit"), P(chd), "-i", "-p", "/DATA/TEXT.BIN+0x40"}, 1, "",
               "Error: Can't write into a CHD: give a third path for a PPF patch"});
    }
};

// The discs chdman is given, one a row: the tracks of each sheet, the data
// track as the report names it, and the codecs to store it with, so that
// every one chdman offers for CDs is read once.
TEST_F(Chd, ReadsAsItsExtraction)
{
    const Bytes mode2 = RawImage(iso), mode1 = Mode1Image(iso);
    Bytes audio = RandomBytes(33 * 2352, 4), tail = mode2;
    audio[0] = 1, Append(tail, audio);
    const size_t S = mode2.size() / 2352;
    for (const auto &[name, bytes] : std::map<std::string, Bytes>{
             {"mode2.bin", mode2}, {"mode1.bin", mode1}, {"tail.bin", tail}, {"audio.bin", audio}, {"disc.iso", iso}})
        WriteBytes(dir / name, bytes);
    const struct {
        std::string name, sheet, track, mode, codecs;
    } discs[] = {
        {"mode2", "FILE \"mode2.bin\" BINARY\n TRACK 01 MODE2/2352\n  INDEX 01 00:00:00\n", "01", "MODE2/2352", "-c cdlz"},
        {"mode1", "FILE \"mode1.bin\" BINARY\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n", "01", "MODE1/2352", "-c cdzl"},
        // 2048-byte sectors, as from an ISO image: a plain file, not a raw one.
        {"iso", "FILE \"disc.iso\" BINARY\n TRACK 01 MODE1/2048\n  INDEX 01 00:00:00\n", "01", "MODE1/2048", ""},
        {"stored", "FILE \"mode2.bin\" BINARY\n TRACK 01 MODE2/2352\n  INDEX 01 00:00:00\n", "01", "MODE2/2352", "-c none"},
        // Audio after the data in its file, with a track length no multiple
        // of the CHD's 4-frame padding; audio before it, a file a track.
        {"tail", Str("FILE \"tail.bin\" BINARY\n TRACK 01 MODE2/2352\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n"
                     "  INDEX 01 %02zu:%02zu:%02zu\n", S / 4500, S / 75 % 60, S % 75),
         "01", "MODE2/2352", "-c cdfl"},
        {"front", "FILE \"audio.bin\" BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"
                  "FILE \"mode1.bin\" BINARY\n TRACK 02 MODE1/2352\n  INDEX 01 00:00:00\n"
                  "FILE \"audio.bin\" BINARY\n TRACK 03 AUDIO\n  INDEX 01 00:00:00\n",
         "02", "MODE1/2352", "-c cdzl,cdfl"},
    };
    for (const auto &disc : discs) {
        WriteBytes(dir / (disc.name + ".cue"), FromText(disc.sheet));
        Make(disc.name, disc.codecs);
        Compare(disc.name + ".chd", disc.name + "-x.cue", disc.track, disc.mode);
    }
}

// A child CHD reads through its parent beside it, found by its SHA-1 under
// any name, and without it ends as it must; so does every damaged CHD, and
// a CHD of no CD, writing nothing.
TEST_F(Chd, ParentsAndDamage)
{
    // The child's own record where the parent has another.
    Bytes edited = iso;
    const Bytes own = Record(RandomBytes(236, 9));
    std::copy(own.begin(), own.end(), std::search(edited.begin(), edited.end(), rtext.begin(), rtext.end()));
    WriteBytes(dir / "parent.bin", RawImage(iso)), WriteBytes(dir / "child.bin", RawImage(edited));
    WriteBytes(dir / "parent.cue", FromText("FILE \"parent.bin\" BINARY\n TRACK 01 MODE2/2352\n  INDEX 01 00:00:00\n"));
    WriteBytes(dir / "child.cue", FromText("FILE \"child.bin\" BINARY\n TRACK 01 MODE2/2352\n  INDEX 01 00:00:00\n"));
    Make("parent");
    Make("child", "-op parent.chd", "-ip parent.chd");
    fs::rename(dir / "parent.chd", dir / "first.chd");
    fs::copy_file(dir / "child.chd", dir / "another.chd"); // a CHD, but not the parent
    Compare("child.chd", "child-x.cue", "01", "MODE2/2352");
    fs::remove(dir / "first.chd");
    Check({{P("child.chd"), "-l"}, 1, "", "Error: " + P("child.chd") + " needs its parent CHD"});

    ASSERT_EQ(Host("cd '" + HostPath(dir) + "' && chdman createcd -f -i parent.cue -o whole.chd"), "");
    const Bytes whole = ReadFile(P("whole.chd"));
    Bytes changed = whole, cut(whole.begin(), whole.begin() + (std::ptrdiff_t)whole.size() / 2), header = whole;
    changed[whole.size() / 2] ^= 0x10;
    header[60] ^= 0xFF; // the bytes of a unit
    Bytes map = whole;
    map[map.size() - 20] ^= 0x55; // inside the map, which chdman writes last
    const std::string bad = "Error: Bad CHD: ";
    for (const auto &[name, bytes, error] : std::vector<std::tuple<std::string, Bytes, std::string>>{
             {"changed.chd", changed, bad + P("changed.chd") + " (hunk "},
             {"cut.chd", cut, bad + P("cut.chd") + " ("},
             {"header.chd", header, bad + P("header.chd") + " (header)"},
             {"map.chd", map, bad + P("map.chd") + " (map)"}}) {
        WriteBytes(dir / name, bytes);
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{P(name), "-l"}, {P(name), P("out"), "-l"}, {P("edit"), P(name), "-i", "-p", "0", P("p.ppf")}}) {
            WriteBytes(dir / "edit", Sample(100));
            const auto before = Snapshot();
            const Outcome run = Exec(args);
            EXPECT_EQ(run.status, 1) << name;
            EXPECT_EQ(run.err.substr(0, error.size()), error) << name;
            EXPECT_TRUE(Snapshot() == before) << name << ": the folder changed";
        }
    }
    ASSERT_EQ(Host("cd '" + HostPath(dir) + "' && chdman createhd -f -o disk.chd -s 1048576"), "");
    Check({{P("disk.chd"), "-l"}, 1, "", "Error: Not a CD image: " + P("disk.chd")});
}
