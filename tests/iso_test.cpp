// The ISO 9660 reader on a tree genisoimage masters at test time, damaged in
// every way the reader guards against: each damage may cost only the names it
// damages. Every position of the image must be named as the plain naming
// names it from the files the reader should find, which are worked out from
// the source files alone: where each one's bytes lie in the image is found by
// searching for them.
#include "iso.h"
#include "support.h"

#include <algorithm>
#include <functional>
#include <random>

namespace {

const uint64_t B = ISO_BLOCK_SIZE, PVD = 16 * B, ROOT = PVD + 156;
const size_t EXTENT = 2, LENGTH = 10, FLAGS = 25, UNIT = 26, NAME = 33; // in a directory record

uint32_t Le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

// An image, and what the reader should find in it.
struct Tree {
    Bytes iso;
    std::vector<IsoFile> files;
    bool fileSystem = true;

    // A field of the directory record of `id`: the last place its name length
    // and identifier follow each other (the path tables, which also hold the
    // directories' names, come before the directories).
    uint8_t &Field(const std::string &id, size_t field)
    {
        const std::string key = char(id.size()) + id;
        const auto at = std::find_end(iso.begin(), iso.end(), key.begin(), key.end());
        EXPECT_NE(at, iso.end()) << "no record " << id;
        return iso[(size_t)(at - iso.begin()) + 1 - NAME + field];
    }
    void Drop(const std::string &prefix)
    {
        for (IsoFile &f : files)
            f.extents.resize(f.path.compare(0, prefix.size(), prefix) == 0 ? 0 : f.extents.size());
    }
};

TEST(Iso, DamagedTreesCostOnlyWhatTheyDamage)
{
    if (!GenisoimageMissing().empty())
        SKIP_UNLESS_CI(GenisoimageMissing());
    // Nested folders, names in mixed case (and Rock Ridge's beside them), a
    // name without an extension, an empty file, a folder of two blocks.
    std::vector<std::pair<std::string, size_t>> sources = {{"A.BIN", 5000}, {"noext", 3000}, {"DIR/B.DAT", 2 * B},
        {"DIR/EMPTY.BIN", 0}, {"DIR/sub/C.bin", 7001}, {"DIR/sub/DEEP/D.BIN", 100}};
    for (size_t i = 10; i < 70; i++)
        sources.push_back({"MANY/F" + std::to_string(i) + ".BIN", i});
    // A file of n bytes holds random[n .. 2n - 1]: none lies within another,
    // so each is found where genisoimage put it and nowhere else.
    Bytes random(2 * 8192);
    std::generate(random.begin(), random.end(), std::mt19937(18));
    const auto folder = std::filesystem::temp_directory_path() / ("exspack-" + std::to_string(std::random_device()()));
    for (const auto &[path, size] : sources) {
        std::filesystem::create_directories((folder / path).parent_path());
        std::ofstream(folder / path, std::ios::binary).write((const char *)&random[size], (std::streamsize)size);
    }
    Tree sound{MakeIso(folder, "-R -allow-lowercase -no-pad"), {}};
    std::filesystem::remove_all(folder);
    ASSERT_FALSE(sound.iso.empty());
    for (const auto &[path, size] : sources) {
        const auto at = std::search(sound.iso.begin(), sound.iso.end(), &random[size], &random[2 * size]);
        sound.files.push_back(IsoFile{"/" + path, {{(uint64_t)(at - sound.iso.begin()), size, 0}}});
    }

    // Each row damages the image as a disc might be damaged or made to harm,
    // and what the reader should find to match.
    const std::vector<std::pair<const char *, std::function<void(Tree &)>>> table = {
        {"a directory pointing at the root",
         [](Tree &t) { std::copy_n(&t.iso[ROOT + EXTENT], 16, &t.Field("DIR", EXTENT)), t.Drop("/DIR/"); }},
        {"'.' and '..' pointing at a subdirectory",
         [](Tree &t) {
             uint8_t *const dot = &t.iso[Le32(&t.Field("sub", EXTENT)) * B], *const dotdot = dot + dot[0];
             std::copy_n(&t.Field("DEEP", EXTENT), 16, dot + EXTENT), std::copy_n(dot + EXTENT, 16, dotdot + EXTENT);
         }},
        {"a file past the end, one running past it over files of smaller paths",
         [](Tree &t) {
             std::fill_n(&t.Field("C.bin;1", EXTENT), 4, 0xFF), std::fill_n(&t.Field("noext.;1", LENGTH), 4, 0xFF);
             t.Drop("/DIR/sub/C.bin"), t.files[1].extents[0].length = t.iso.size() - t.files[1].extents[0].position;
         }},
        {"a 4 GiB directory", [](Tree &t) { std::fill_n(&t.Field("DEEP", LENGTH), 4, 0xFF); }},
        {"a short record ends its block",
         [](Tree &t) { t.Field("B.DAT;1", 0) = 33, t.Field("B.DAT;1", NAME - 1) = 0, t.Drop("/DIR/"); }},
        {"a record running past its block",
         [](Tree &t) {
             size_t last = Le32(&t.Field("MANY", EXTENT)) * B;
             while (t.iso[last + t.iso[last]] != 0)
                 last += t.iso[last];
             t.iso[last] = 255, t.Drop("/MANY/F" + std::string((const char *)&t.iso[last + NAME + 1], 2) + ".");
         }},
        {"a name longer than its record", [](Tree &t) { t.Field("B.DAT;1", NAME - 1) = 200, t.Drop("/DIR/B.DAT"); }},
        {"a root of random bytes", [](Tree &t) { std::generate_n(&t.iso[ROOT], 34, std::mt19937(1)), t.Drop("/"); }},
        {"a block size of 512", [](Tree &t) { t.iso[PVD + 129] = 2, t.Drop("/"), t.fileSystem = false; }},
        {"a supplementary descriptor, no primary", [](Tree &t) { t.iso[PVD] = 2, t.Drop("/"), t.fileSystem = false; }},
        {"a descriptor of version 2", [](Tree &t) { t.iso[PVD + B + 6] = 2, t.Drop("/"), t.fileSystem = false; }},
        {"a multi-extent file of three extents, offsets counting across all",
         [](Tree &t) {
             t.Field("F10.BIN;1", FLAGS) |= 0x80, t.Field("F11.BIN;1", FLAGS) |= 0x80;
             t.Field("F11.BIN;1", NAME + 2) = '0', t.Field("F12.BIN;1", NAME + 2) = '0';
             t.files[6].extents.push_back({t.files[7].extents[0].position, 11, 10});
             t.files[6].extents.push_back({t.files[8].extents[0].position, 12, 21});
             t.Drop("/MANY/F11.BIN"), t.Drop("/MANY/F12.BIN");
         }},
        {"an extended attribute record, a name outside 0x21..0x7E",
         [](Tree &t) {
             t.Field("A.BIN;1", 1) = 1, std::copy_n(" !.~\x7F;1", 7, &t.Field("A.BIN;1", NAME));
             t.files[0].extents[0].position += B, t.files[0].path = "/?!.~?";
         }},
        {"an interleaved file", [](Tree &t) { t.Field("C.bin;1", UNIT) = 1, t.Drop("/DIR/sub/C.bin"); }},
    };
    for (const auto &[what, damage] : table) {
        Tree t = sound;
        damage(t);
        std::vector<IsoFile> files;
        EXPECT_EQ(ReadIsoFileSystem(t.iso.data(), t.iso.size(), &files), t.fileSystem) << what;
        const IsoNames names(files);
        uint64_t p = 0;
        while (p < t.iso.size() && names.Name(p) == PlainName(t.files, p))
            p++;
        EXPECT_EQ(p, t.iso.size()) << what << ": " << names.Name(p) << ", not " << PlainName(t.files, p);
    }
}

// A byte of a file as a user names it: the exact path, else the one path
// alike but for ASCII case; the offset counted across a file's extents, and
// the file's size where the view holds less of it.
TEST(Iso, FindsPositionsByFile)
{
    const std::vector<IsoFile> files = {{"/DATA/Two.BIN", {{0x9000, 0x800, 0}, {0x20000, 0x100, 0x800}}, 0x900},
                                        {"/DATA/TWO.BIN", {{0x1000, 0x10, 0}}, 0x10}, {"/C", {{0x5000, 0x10, 0}}, 0x10},
                                        {"/\xC9", {{0x6000, 0x10, 0}}, 0x10},
                                        {"/BIG.BIN", {{0x7000, 0x800, 0}, {0x8000, 0x800, 0x1000}}, 0x2000}};
    const struct {
        const char *path;
        uint64_t offset;
        IsoLookup result;
        uint64_t position;
    } table[] = {
        {"/DATA/Two.BIN", 0x7FF, ISO_FOUND, 0x97FF}, {"/DATA/Two.BIN", 0x800, ISO_FOUND, 0x20000},
        {"/DATA/Two.BIN", 0x8FF, ISO_FOUND, 0x200FF}, {"/DATA/TWO.BIN", 0, ISO_FOUND, 0x1000},
        {"/data/two.bin", 0, ISO_AMBIGUOUS, 0}, {"/c", 0xF, ISO_FOUND, 0x500F},
        {"/DATA/Two.BIN", 0x900, ISO_PAST_END, 0x900}, {"/c", 0x10, ISO_PAST_END, 0x10},
        {"/big.bin", 0x900, ISO_NOT_HELD, 0}, {"/BIG.BIN", 0x1800, ISO_NOT_HELD, 0}, {"/BIG.BIN", 0x2000, ISO_PAST_END, 0x2000},
        {"/DATA/TWO.BIN;1", 0, ISO_NO_FILE, 0}, {"/DATA", 0, ISO_NO_FILE, 0}, {"/\xE9", 0, ISO_NO_FILE, 0},
    };
    for (const auto &row : table) {
        uint64_t position = 0;
        EXPECT_EQ(FindIsoPosition(files, row.path, row.offset, &position), row.result) << row.path << "+" << row.offset;
        EXPECT_EQ(position, row.position) << row.path << "+" << row.offset;
    }
}

} // namespace
