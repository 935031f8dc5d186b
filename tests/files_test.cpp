// Working by the disc's files, as a user holds a disc: positions named as
// -l names them, a record list that keeps each record's room across edits,
// folders whose stray entries are named, and cue sheets standing for the
// file of their data track. Each image is mastered by genisoimage; sheets
// come from cdrdao's toc2cue and by hand, and bchunk checks the data track.
#include "tool.h"

#include "iso.h"

namespace {

std::string UnpackLines(uint64_t decoded, uint64_t record)
{
    return Str("Uncompressed Size: %zu (0x%zX)\nCompressed Size  : %zu (0x%zX)", decoded, decoded, record, record);
}

std::string Search(const Bytes &in, const Bytes &what)
{
    const auto at = std::search(in.begin(), in.end(), what.begin(), what.end());
    return at == in.end() ? "" : Str("%zu", (size_t)(at - in.begin()));
}

bool HostHas(const std::string &command)
{
    std::string out, err;
    return RunOnHost("command -v " + command, &out, &err) == 0;
}

} // namespace

// A disc genisoimage masters, as an .iso, a raw image, with audio before and
// after its data, a file a track, and the cue sheets of each, by hand and by
// toc2cue; bchunk checks the data track.
class DiscFiles : public Tool {
protected:
    Bytes text, first, rtext, rfirst, file, iso;
    uint64_t T = 0, N = 0; // the text record's position, the nested magic's
    const std::string game = "Game (Track 1).bin";
    bool cdrdao = false;

    std::string cue(const std::string &track, const std::string &mode, const std::string &name) const
    {
        return "Cue sheet: track " + track + " " + mode + " in " + P(name) + "\n";
    }
    std::string Unpacked() const { return UnpackLines(text.size(), rtext.size()); }

    void SetUp() override
    {
        Tool::SetUp();
        if (!GenisoimageMissing().empty())
            SKIP_UNLESS_CI(GenisoimageMissing());
        text = Sample(236), first = Sample(500);
        rtext = Record(text), rfirst = Record(first);
        const Bytes rother = Record(Sample(700));
        Bytes starts = rfirst;
        file = RandomBytes(0x40, 1);
        Append(file, rtext), Append(file, RandomBytes(300, 2)), Append(starts, RandomBytes(100, 3));
        fs::create_directories(dir / "tree" / "DATA");
        WriteBytes(dir / "tree" / "DATA" / "TEXT.BIN", file), WriteBytes(dir / "tree" / "DATA" / "FIRST.BIN", starts);
        WriteBytes(dir / "tree" / "OTHER.BIN", rother);
        // A record whose literals hold a magic, and two files whose names
        // differ in case only (B.BIN renamed on the disc, where case counts).
        const Bytes nested = Record(FromText("abcdefgh" "EXS\x01" "\x10\x20\x30\x40" "ijklmnop"));
        WriteBytes(dir / "tree" / "NEST.BIN", nested);
        WriteBytes(dir / "tree" / "A.BIN", Record(Sample(300))), WriteBytes(dir / "tree" / "B.BIN", Record(Sample(400)));
        iso = MakeIso(dir / "tree");
        ASSERT_FALSE(iso.empty());
        const Bytes b = FromText("B.BIN;1"), lower = FromText("a.bin;1");
        std::copy(lower.begin(), lower.end(), std::search(iso.begin(), iso.end(), b.begin(), b.end()));
        const Bytes raw = RawImage(iso);
        T = std::stoull(Search(iso, rtext));
        const uint64_t S = RawImage(iso).size() / 2352;
        // Audio sectors before the data track and after it; a file a track.
        Bytes audio = RandomBytes(5 * 2352, 4), mid = audio, tail = raw;
        audio[0] = 1, mid[0] = 1, Append(mid, raw), Append(tail, audio);
        const uint64_t cutAt = T + 10;
        N = std::stoull(Search(iso, nested)) + 18;
        for (const auto &[name, bytes] : std::map<std::string, Bytes>{{"disc.iso", iso}, {"disc.bin", raw}, {"mid.bin", mid},
                 {"tail.bin", tail}, {game, raw}, {"Game (Track 2).bin", audio}, {"text.txt", text},
                 {"cut.iso", Bytes(iso.begin(), iso.begin() + cutAt)}, {"two", FromText("AB")}, {"a.txt", Sample(400)}})
            WriteBytes(dir / name, bytes);
        const std::string bom = "\xEF\xBB\xBF";
        const std::map<std::string, std::string> sheets = {
            {"game.cue", bom + "REM GENRE Game\r\nFILE \"" + game + "\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n"
                         "FILE \"Game (Track 2).bin\" BINARY\r\n  TRACK 02 AUDIO\r\n    INDEX 00 00:00:00\r\n    INDEX 01 00:02:00\r\n"},
            {"sheet", "\nREM by hand\nCATALOG 0000000000000\nfile disc.bin binary\ntrack 1 mode2/2352\nindex 1 00:00:00\n"},
            {"tail.CUE", Str("FILE \"tail.bin\" BINARY\n TRACK 01 MODE2/2352\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n  INDEX 01 %02zu:%02zu:%02zu\n",
                             S / 4500, S / 75 % 60, S % 75)},
            {"mid.cue", "FILE \"mid.bin\" BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n TRACK 02 MODE2/2352\n  INDEX 01 00:00:05\n"},
            {"iso.cue", "FILE \"disc.iso\" BINARY\n TRACK 01 MODE1/2048\n  INDEX 01 00:00:00\n"},
            {"audio.cue", "FILE \"tail.bin\" BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"},
            {"gone.cue", "FILE \"gone.bin\" BINARY\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n"},
            {"upper.cue", "FILE \"DISC.BIN\" BINARY\n TRACK 01 MODE2/2352\n  INDEX 01 00:00:00\n"},
            // Known by its first line alone; and one beside no image, naming it
            // by its full path.
            {"bom sheet", bom + "FILE \"disc.bin\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n"},
            {"sub/full.cue", "FILE \"" + P("disc.bin") + "\" BINARY\n TRACK 01 MODE2/2352\n  INDEX 01 00:00:00\n"}};
        fs::create_directory(dir / "sub");
        for (const auto &[name, sheet] : sheets)
            WriteBytes(dir / name, FromText(sheet));
        // The sheets that a real tool writes, for the same files.
        std::string out, err;
        cdrdao = HostHas("toc2cue");
        if (cdrdao) {
            WriteBytes(dir / "disc.toc", FromText("CD_ROM_XA\n\nTRACK MODE2_RAW\nDATAFILE \"disc.bin\"\n"));
            WriteBytes(dir / "mid.toc", FromText("CD_ROM_XA\n\nTRACK AUDIO\nFILE \"mid.bin\" 0 00:00:05\n\n"
                                                 "TRACK MODE2_RAW\nDATAFILE \"mid.bin\" #11760\n"));
            for (const char *toc : {"disc", "mid"})
                ASSERT_EQ(RunOnHost("cd '" + HostPath(dir) + "' && toc2cue " + toc + ".toc " + toc + "-toc.cue", &out, &err), 0) << err;
        } else {
            std::printf("toc2cue (cdrdao) cannot be run here: its sheets are not tried\n");
        }
        if (HostHas("bchunk")) { // reads the data track as the sheet describes it
            ASSERT_EQ(RunOnHost("cd '" + HostPath(dir) + "' && bchunk tail.bin tail.CUE track", &out, &err), 0) << err;
            EXPECT_EQ(ReadFile(P("track01.iso")), iso);
        } else {
            std::printf("bchunk cannot be run here: the data track is not checked with it\n");
        }
    }
};

TEST_F(DiscFiles, FindsRecordsByName)
{
    const std::string unpacked = Unpacked();
    std::vector<ToolRun> runs;
    // Names: the exact path first, else the one file alike but for case;
    // a record is put back only where the search lists one. An image whose
    // first track is audio is one without its sheet too.
    for (const std::string image : {"disc.iso", "disc.bin", "game.cue", "mid.bin"}) {
        const uint64_t shift = image == "mid.bin" ? 5 * 2048 : 0;
        const std::string notice = image == "game.cue" ? cue("01", "MODE2/2352", game) : "";
        const std::string container = P(image == "game.cue" ? game : image);
        runs.push_back({{P(image), P("out"), "-d", "-p", "/a.bin"}, 0, notice + UnpackLines(400, Record(Sample(400)).size()), "", Sample(400)});
        runs.push_back({{P(image), P("out"), "-d", "-p", "/A.BIN"}, 0, notice + UnpackLines(300, Record(Sample(300)).size()), "", Sample(300)});
        runs.push_back({{P(image), P("out"), "-d", "-p", "/A.bin"}, 1, notice, "Error: /A.bin names 2 files in " + container + ": /A.BIN, /a.bin"});
        const uint64_t a = std::stoull(Search(iso, Record(Sample(400)))) + shift, n = Record(Sample(400)).size();
        runs.push_back({{P("a.txt"), P(image), "-i", "-p", "/a.bin"}, 0, notice + "Position    Room        Compressed  Uncompressed  Stream   File\n" +
                        Str("0x%08zX  %-10zu  %-10zu  400           same     /a.bin+0x0\n1 records put back\n", a, n, n), "",
                        ReadFile(container), "", container.substr(dir.string().size() + 1)});
        runs.push_back({{P("two"), P(image), "-i", "-p", "/NEST.BIN+0x12"}, 1, notice, Str("Error: No record at 0x%08zX", N + shift), {}, "", ""});
        runs.push_back({{P(image), P("out"), "-d", "-p", std::to_string(T + shift)}, 0, notice + unpacked, "", text});
    }
    runs.push_back({{P("upper.cue"), P("out"), "-d", "-p", "/DATA/TEXT.BIN+0x40"}, 0, cue("01", "MODE2/2352", "disc.bin") + unpacked, "", text});
    // A file's size is its own, where the image ends inside it too.
    runs.push_back({{P("cut.iso"), P("out"), "-d", "-p", Str("/DATA/TEXT.BIN+0x%zX", file.size())}, 1, "",
                    Str("Error: /DATA/TEXT.BIN has %zu bytes", file.size())});
    runs.push_back({{P("cut.iso"), P("out"), "-d", "-p", "/DATA/TEXT.BIN+0x100"}, 1, "",
                    "Error: /DATA/TEXT.BIN+0x100 is in no data sector of " + P("cut.iso")});
    for (const std::string image : {"disc.iso", "disc.bin"}) {
        runs.push_back({{P(image), P("out"), "-d", "-p", "/data/text.bin+0x40"}, 0, unpacked, "", text});
        runs.push_back({{P(image), P("out"), "-d", "-p", "/DATA/TEXT.BIN+64"}, 0, unpacked, "", text});
        runs.push_back({{P(image), P("out"), "-d", "-p", "/DATA/FIRST.BIN"}, 0, UnpackLines(500, rfirst.size()), "", first});
        runs.push_back({{P(image), P("out"), "-d", "-p", Str("/DATA/TEXT.BIN+0x%zX", file.size())}, 1, "",
                        Str("Error: /DATA/TEXT.BIN has %zu bytes", file.size())});
        runs.push_back({{P(image), P("out"), "-d", "-p", "/DATA"}, 1, "", "Error: No file /DATA in " + P(image)});
    }
    const std::vector<ToolRun> more = {
        {{P("text.txt"), P("out"), "-d", "-p", "/TEXT.TXT"}, 1, "", "Error: No file /TEXT.TXT in " + P("text.txt")},
        {{P("game.cue"), P("out"), "-d", "-p", "/DATA/TEXT.BIN+0x40"}, 0, cue("01", "MODE2/2352", game) + unpacked, "", text},
        {{P("sheet"), P("out"), "-d", "-p", "/DATA/TEXT.BIN+0x40"}, 0, cue("1", "MODE2/2352", "disc.bin") + unpacked, "", text},
        {{P("iso.cue"), P("out"), "-d", "-p", std::to_string(T)}, 0, cue("01", "MODE1/2048", "disc.iso") + unpacked, "", text},
        {{P("bom sheet"), P("out"), "-d", "-p", "/DATA/TEXT.BIN+0x40"}, 0, cue("01", "MODE2/2352", "disc.bin") + unpacked, "", text},
        {{P("sub/full.cue"), P("out"), "-d", "-p", "/DATA/TEXT.BIN+0x40"}, 0, cue("01", "MODE2/2352", "disc.bin") + unpacked, "", text},
        // Positions stay those of the data view of the file the tool reads.
        {{P("mid.cue"), P("out"), "-d", "-p", std::to_string(T + 5 * 2048)}, 0, cue("02", "MODE2/2352", "mid.bin") + unpacked, "", text},
        {{P("mid.cue"), P("out"), "-d", "-p", "/DATA/TEXT.BIN+0x40"}, 0, cue("02", "MODE2/2352", "mid.bin") + unpacked, "", text},
        {{P("audio.cue"), "-l"}, 1, "", "Error: No data track in " + P("audio.cue"), {}, "", ""},
        {{P("gone.cue"), "-l"}, 1, "", "Can't open: " + P("gone.bin"), {}, "", ""},
        {{P("out"), P("gone.cue"), "-i"}, 1, "", "Can't open: " + P("gone.bin"), {}, "", ""},
    };
    runs.insert(runs.end(), more.begin(), more.end());
    for (const ToolRun &run : runs)
        Check(run);

    // A sheet lists as the file it stands for.
    const std::string discListing = Exec({P("disc.bin"), "-l"}).out;
    EXPECT_NE(discListing.find(Str("0x%08zX  %-10zu  %-12zu  %-22s  /DATA/TEXT.BIN+0x40\n", T, rtext.size(), 236, "ok")),
              std::string::npos);
    for (const auto &[sheet, listing] : std::map<std::string, std::string>{
             {"game.cue", cue("01", "MODE2/2352", game) + discListing}, {"tail.CUE", cue("01", "MODE2/2352", "tail.bin") + discListing},
             {"iso.cue", cue("01", "MODE1/2048", "disc.iso") + Exec({P("disc.iso"), "-l"}).out},
             {"disc-toc.cue", cdrdao ? cue("01", "MODE2/2352", "disc.bin") + discListing : ""}})
        if (!listing.empty()) {
            EXPECT_EQ(Exec({P(sheet), "-l"}).out, listing) << sheet;
        }
    if (cdrdao) {
        EXPECT_EQ(Exec({P("mid-toc.cue"), P("out"), "-d", "-p", "/DATA/TEXT.BIN+0x40"}).out, cue("02", "MODE2/2352", "mid.bin") + unpacked);
    }
}

TEST_F(DiscFiles, PutsBackByName)
{
    // The whole loop by file name: a short edit is padded, the original
    // text then goes back into the room the list keeps, as it was.
    for (const auto &[given, container] : std::vector<std::pair<std::string, std::string>>{
             {"disc.iso", "disc.iso"}, {"disc.bin", "disc.bin"}, {"game.cue", game}}) {
        const Bytes before = ReadFile(P(container));
        const std::string notice = given == container ? "" : cue("01", "MODE2/2352", game);
        const Outcome listed = Exec({P(given), P("ext"), "-l"});
        ASSERT_EQ(listed.status, 0) << given;
        const std::string name = Str("ext/%08zX.bin", T), list = Slurp(dir / "ext" / "records.tsv");
        EXPECT_NE(list.find(Str("\n0x%08zX\t%zu\t236\tok\t/DATA/TEXT.BIN+0x40\n", T, rtext.size())), std::string::npos) << list;
        EXPECT_EQ(list.substr(0, 38), "position\troom\tuncompressed\theader\tfile");
        WriteBytes(dir / name, FromText("a short edit"));
        const std::vector<std::string> byName = {P(name), P(given), "-i", "-p", "/DATA/TEXT.BIN+0x40"};
        EXPECT_NE(PutBack(byName, container).out.find(Str("%-10zu  24          12            padded ", rtext.size())), std::string::npos);
        WriteBytes(dir / name, text);
        // The list as Notepad saves it: a byte order mark, CR LF line ends.
        std::string notepad = "\xEF\xBB\xBF";
        for (const char c : list)
            notepad += c == '\n' ? std::string("\r\n") : std::string(1, c);
        WriteBytes(dir / "ext" / "records.tsv", FromText(notepad));
        EXPECT_NE(PutBack({P("ext"), P(given), "-i"}, container).out.find("  default  /DATA/TEXT.BIN+0x40\n"), std::string::npos);
        EXPECT_EQ(ReadFile(P(container)), before) << given;

        // Stray entries are named; two files for one record, or a list that
        // does not fit the container, change nothing.
        WriteBytes(dir / "ext" / "notes.txt", {}), fs::create_directory(dir / "ext" / "00000010.bin");
        WriteBytes(dir / "ext" / "1C7F3.bin", {}), WriteBytes(dir / name, Sample(230));
        const std::string leftOut =
            "Left out: 1C7F3.bin (not a record file name)\nLeft out: notes.txt (not a record file name)\n"
            "Left out: 00000010.bin (not a regular file)\n";
        const Outcome strays = PutBack({P("ext"), P(given), "-i"}, container);
        EXPECT_EQ(strays.err, leftOut) << given;
        EXPECT_NE(strays.out.find(Str("%-10zu  %-10zu  230 ", rtext.size(), rtext.size())), std::string::npos) << strays.out;
#ifndef _WIN32 // where names differ in case only, they name one file
        WriteBytes(dir / Str("ext/%08zx.BIN", T), text);
        Check({{P("ext"), P(given), "-i"}, 1, "", leftOut + Str("Error: Two files for the record at 0x%08zX: %08zX.bin and %08zx.BIN", T, T, T)});
        fs::remove(dir / Str("ext/%08zx.BIN", T));
#endif
        WriteBytes(dir / "ext" / "records.tsv", FromText(list.substr(0, 39) + Str("0x%08zX\t%zu\t236\tok\t-\n", T, rtext.size() + 2)));
        Check({{P("ext"), P(given), "-i"}, 1, notice, leftOut + "Error: records.tsv does not match " + P(container) + Str(" at 0x%08zX", T)});
        fs::remove_all(dir / "ext");
        WriteBytes(dir / container, before);
    }
}
