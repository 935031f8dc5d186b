// The ISO 9660 reader on file systems genisoimage masters at test time,
// sound and then damaged in every way the reader guards against. What the
// reader should find is worked out from the source files alone: where each
// one's bytes lie in the image is found by searching for them.
#include "iso.h"
#include "support.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <numeric>
#include <random>
#include <set>

namespace fs = std::filesystem;

namespace {

const uint64_t B = ISO_BLOCK_SIZE;

// Source files (path under the folder, size): nested folders, names in mixed
// case, a name without an extension, an empty file, a directory of two blocks.
std::vector<std::pair<std::string, size_t>> Tree()
{
    std::vector<std::pair<std::string, size_t>> tree = {{"A.BIN", 5000},      {"noext", 3000},
                                                        {"DIR/B.DAT", 2 * B}, {"DIR/EMPTY.BIN", 0},
                                                        {"DIR/sub/C.bin", 7001}, {"DIR/sub/DEEP/D.BIN", 100}};
    for (size_t i = 10; i < 70; i++)
        tree.push_back({"MANY/F" + std::to_string(i) + ".BIN", i});
    return tree;
}

Bytes Contents(const std::string &path, size_t size)
{
    std::mt19937 rng((unsigned)std::hash<std::string>()(path));
    Bytes bytes(size);
    for (uint8_t &b : bytes)
        b = (uint8_t)rng();
    return bytes;
}

// An image of the tree, and its files as the reader should find them.
struct Layout {
    Bytes iso;
    std::vector<IsoFile> files;

    // Where the directory record of `identifier` starts: its identifier
    // after its length, in a record that holds it, whose extent's two
    // halves agree (which a path table entry's bytes do not).
    size_t Record(const std::string &identifier) const
    {
        const std::string key = char(identifier.size()) + identifier;
        for (auto at = iso.begin() + 33; (at = std::search(at, iso.end(), key.begin(), key.end())) != iso.end(); ++at) {
            const size_t record = (size_t)(at - iso.begin()) - 32;
            if (iso[record] >= 33 + identifier.size() && std::equal(&iso[record + 2], &iso[record + 6],
                                                                    std::make_reverse_iterator(&iso[record + 10])))
                return record;
        }
        ADD_FAILURE() << "no record " << identifier;
        return 0;
    }
    IsoFile &File(const std::string &path)
    {
        return *std::find_if(files.begin(), files.end(), [&](const IsoFile &f) { return f.path == path; });
    }
};

// The tree's image, and each file where its bytes were found (so the bytes
// the reader's extents hold are the source file's if the extents match).
Layout Master(const fs::path &folder, const std::string &options, bool lowercase)
{
    for (const auto &[path, size] : Tree()) {
        fs::create_directories((folder / path).parent_path());
        const Bytes bytes = Contents(path, size);
        std::ofstream(folder / path, std::ios::binary).write((const char *)bytes.data(), (std::streamsize)size);
    }
    Layout layout{MakeIso(folder, options), {}};
    fs::remove_all(folder);
    for (auto [path, size] : Tree()) {
        const Bytes bytes = Contents(path, size);
        if (!lowercase)
            std::transform(path.begin(), path.end(), path.begin(), [](char c) { return (char)toupper(c); });
        layout.files.push_back(IsoFile{"/" + path, {}});
        const auto at = std::search(layout.iso.begin(), layout.iso.end(), bytes.begin(), bytes.end());
        if (size > 0 && at != layout.iso.end())
            layout.files.back().extents.push_back(IsoExtent{(uint64_t)(at - layout.iso.begin()), size, 0});
    }
    return layout;
}

// The files that have data (all the reader returns), by path.
std::string Describe(const std::vector<IsoFile> &files)
{
    std::vector<std::string> lines;
    for (const IsoFile &f : files) {
        std::string line = f.path;
        for (const IsoExtent &e : f.extents)
            line += " " + std::to_string(e.position) + "+" + std::to_string(e.length) + "@" + std::to_string(e.offset);
        if (!f.extents.empty())
            lines.push_back(line + "\n");
    }
    std::sort(lines.begin(), lines.end());
    return std::accumulate(lines.begin(), lines.end(), std::string());
}

// Reads view and holds what it finds to `expected`: the files with data,
// the name of every position that matters (each file's first bytes, bytes
// around its block boundaries and its last, the byte after it, the system
// area and the descriptors, directories, the last byte of the view), and no
// block read twice as a directory.
void Check(const Bytes &view, bool fileSystem, const std::vector<IsoFile> &expected, const std::vector<IsoFile> &sound)
{
    std::vector<IsoFile> files;
    std::vector<uint64_t> blocks;
    GuardedBuffer guarded(view);
    EXPECT_EQ(ReadIsoFileSystem(guarded.data(), view.size(), &files, &blocks), fileSystem);
    EXPECT_EQ(Describe(files), Describe(expected));
    EXPECT_EQ(std::set<uint64_t>(blocks.begin(), blocks.end()).size(), blocks.size()) << "a block read twice";

    const IsoNames names(files);
    std::vector<uint64_t> positions = {0, 16 * B - 1, 16 * B, view.size() - 1};
    for (const IsoFile &f : sound)
        for (const IsoExtent &e : f.extents)
            for (uint64_t k : std::initializer_list<uint64_t>{0, 1, 0x2D3, B - 1, B, e.length - 1, e.length})
                if (k <= e.length)
                    positions.push_back(e.position + k);
    for (uint64_t block : blocks)
        positions.push_back(block * B), positions.push_back(block * B + 100);
    for (uint64_t p : positions) {
        if (p >= view.size())
            continue;
        EXPECT_EQ(names.Name(p), PlainName(expected, p)) << "position " << p;
    }
}

class Iso : public testing::Test {
protected:
    const fs::path dir = fs::temp_directory_path() /
                         ("exspack-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
                          std::to_string(iso_detail::ProcessId()));
    void SetUp() override
    {
        if (!GenisoimageMissing().empty())
            GTEST_SKIP() << GenisoimageMissing();
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
};

TEST_F(Iso, ReadsTreesGenisoimageMasters)
{
    for (const auto &[options, lowercase] : std::vector<std::pair<std::string, bool>>{
             {"", false}, {"-R -J", false}, {"-allow-lowercase", true}}) {
        SCOPED_TRACE(options);
        const Layout layout = Master(dir / "tree", options, lowercase);
        ASSERT_FALSE(layout.iso.empty());
        Check(layout.iso, true, layout.files, layout.files);
        std::vector<IsoFile> files;
        ReadIsoFileSystem(layout.iso.data(), layout.iso.size(), &files);
        const IsoNames names(files);
        const IsoFile &noext = layout.files[1], &c = layout.files[4];
        EXPECT_EQ(names.Name(noext.extents[0].position + 5), noext.path + "+0x5");
        EXPECT_EQ(names.Name(c.extents[0].position + 0x1ABC), c.path + "+0x1ABC");

        // The same as a raw image whose sectors of C are Form 2: they hold no
        // data, but the tree still names them.
        const uint64_t first = c.extents[0].position / B;
        std::vector<bool> form2(first + 4, false);
        std::fill(form2.begin() + (ptrdiff_t)first, form2.end(), true);
        const Bytes image = RawImage(layout.iso, form2);
        Bytes view(DataViewSize(image.size())), expected = layout.iso;
        EXPECT_EQ(ReadDataView(image.data(), image.size(), view.data()).size(), 2u);
        std::fill(expected.begin() + (ptrdiff_t)(first * B), expected.begin() + (ptrdiff_t)((first + 4) * B), 0);
        EXPECT_EQ(view, expected);
        Check(view, true, layout.files, layout.files);
    }
}

void PutBoth32(Bytes &iso, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        iso[at + i] = (uint8_t)(value >> 8 * i), iso[at + 7 - i] = (uint8_t)(value >> 8 * i);
}

uint32_t Le32(const Bytes &iso, size_t at)
{
    return iso[at] | iso[at + 1] << 8 | iso[at + 2] << 16 | (uint32_t)iso[at + 3] << 24;
}

void Drop(std::vector<IsoFile> &files, const std::string &prefix)
{
    files.erase(std::remove_if(files.begin(), files.end(),
                               [&](const IsoFile &f) { return f.path.compare(0, prefix.size(), prefix) == 0; }),
                files.end());
}

// Each row damages the default tree's image as a disc might be damaged or
// made to harm, and says what the reader should then find.
struct Damage {
    const char *what;
    std::function<void(Layout &)> damage; // changes iso, and files to what should be found
    bool fileSystem = true;
};

TEST_F(Iso, DamagedTreesCostOnlyWhatTheyDamage)
{
    const size_t EXTENT = 2, LENGTH = 10, FLAGS = 25, NAME_LENGTH = 32;
    const auto extent = [](Layout &l, size_t record) { return l.iso.begin() + (ptrdiff_t)record + EXTENT; };
    const std::vector<Damage> table = {
        {"a directory pointing at the root",
         [&](Layout &l) {
             const size_t root = 16 * B + 156;
             std::copy(l.iso.begin() + root + EXTENT, l.iso.begin() + root + 18, extent(l, l.Record("DIR")));
             Drop(l.files, "/DIR/");
         }},
        {"a directory shorter than its records",
         [&](Layout &l) { PutBoth32(l.iso, l.Record("SUB") + LENGTH, 100); Drop(l.files, "/DIR/SUB/"); }},
        {"'.' and '..' pointing at a subdirectory",
         [&](Layout &l) {
             const size_t self = Le32(l.iso, l.Record("SUB") + EXTENT) * B, deep = l.Record("DEEP");
             for (size_t at : {self, self + l.iso[self]})
                 std::copy(l.iso.begin() + deep + EXTENT, l.iso.begin() + deep + 18, extent(l, at));
         }},
        {"a file past the end",
         [&](Layout &l) { PutBoth32(l.iso, l.Record("C.BIN;1") + EXTENT, 0xFFFFFFFF), Drop(l.files, "/DIR/SUB/C.BIN"); }},
        {"a file running past the end",
         [&](Layout &l) {
             // over files after it, whose paths are smaller
             PutBoth32(l.iso, l.Record("NOEXT.;1") + LENGTH, 0xFFFFFFFF);
             l.File("/NOEXT").extents[0].length = l.iso.size() - l.File("/NOEXT").extents[0].position;
         }},
        {"a 4 GiB directory", [&](Layout &l) { PutBoth32(l.iso, l.Record("DEEP") + LENGTH, 0xFFFFFFFF); }},
        {"a short record ends its block",
         [&](Layout &l) {
             const size_t b = l.Record("B.DAT;1");
             l.iso[b] = 33, l.iso[b + NAME_LENGTH] = 0; // whole as far as it goes
             Drop(l.files, "/DIR/B.DAT"), Drop(l.files, "/DIR/SUB/");
         }},
        {"a record running past its block",
         [&](Layout &l) {
             const size_t block = Le32(l.iso, l.Record("MANY") + EXTENT) * B;
             size_t last = block;
             for (size_t at = block; at < block + B && l.iso[at] != 0; at += l.iso[at])
                 last = at;
             l.iso[last] = 255;
             Drop(l.files, "/MANY/" + std::string(&l.iso[last + 33], &l.iso[last + 33 + l.iso[last + 32] - 2]));
         }},
        {"a name longer than its record",
         [&](Layout &l) { l.iso[l.Record("B.DAT;1") + NAME_LENGTH] = 200, Drop(l.files, "/DIR/B.DAT"); }},
        {"a root of random bytes",
         [&](Layout &l) {
             const Bytes noise = Contents("root", 34);
             std::copy(noise.begin(), noise.end(), l.iso.begin() + 16 * B + 156), l.files.clear();
         }},
        {"a block size of 512", [&](Layout &l) { l.iso[16 * B + 129] = l.iso[16 * B + 130] = 2, l.files.clear(); }, false},
        {"no set terminator", [&](Layout &l) { l.iso[17 * B + 5] = '2', l.files.clear(); }, false},
        {"a descriptor of version 2", [&](Layout &l) { l.iso[17 * B + 6] = 2, l.files.clear(); }, false},
        {"a multi-extent file",
         [&](Layout &l) {
             l.iso[l.Record("F10.BIN;1") + FLAGS] |= 0x80;
             l.iso[l.Record("F11.BIN;1") + 35] = '0';
             IsoExtent second = l.File("/MANY/F11.BIN").extents[0];
             second.offset = l.File("/MANY/F10.BIN").extents[0].length;
             l.File("/MANY/F10.BIN").extents.push_back(second);
             Drop(l.files, "/MANY/F11.BIN");
         }},
        {"an extended attribute record",
         [&](Layout &l) { l.iso[l.Record("A.BIN;1") + 1] = 1, l.File("/A.BIN").extents[0].position += B; }},
        {"an interleaved file",
         [&](Layout &l) { l.iso[l.Record("C.BIN;1") + 26] = 1, Drop(l.files, "/DIR/SUB/C.BIN"); }},
        {"names outside 0x21..0x7E",
         [&](Layout &l) {
             const char name[] = " !.~\x7F;1";
             std::copy(name, name + 7, l.iso.begin() + (ptrdiff_t)l.Record("A.BIN;1") + 33);
             l.File("/A.BIN").path = "/?!.~?";
         }},
    };
    const Layout sound = Master(dir / "tree", "", false);
    ASSERT_FALSE(sound.iso.empty());
    for (const Damage &row : table) {
        SCOPED_TRACE(row.what);
        Layout damaged = sound;
        row.damage(damaged);
        Check(damaged.iso, row.fileSystem, damaged.files, sound.files);
    }
}

} // namespace
