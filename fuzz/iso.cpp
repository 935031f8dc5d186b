// Arbitrary bytes as a data view from block 16 on, where the volume
// descriptors start (the 16 blocks of the system area in front are zeros):
// the reader must end, read nothing outside the view, read no block twice as
// a directory, walk past blocks read before in logarithmic steps (many
// records naming one long extent cost no walk over it each), return extents
// inside the view only and keep to its memory bound; IsoNames must name every position as the plain naming does. The
// seeds are the first 64 KiB of images genisoimage made (less the system
// area), whole and damaged, and a chain of deep paths made to take memory.
#include <cmath>
#include <set>

#include "Iso9660.h"
#include "check.h"
#include "iso.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint64_t systemArea = 16 * ISO_BLOCK_SIZE, n = systemArea + size;
    GuardedBuffer view(n); // zeros, ending at an unreadable page
    std::copy(data, data + size, view.data() + systemArea);
    std::vector<IsoFile> files;
    std::vector<uint64_t> blocks;
    uint64_t walked = 0;
    CHECK(ReadIsoFileSystem(view.data(), n, &files, &blocks, &walked) || (files.empty() && blocks.empty()));
    std::set<uint64_t> read;
    const uint64_t viewBlocks = (n + ISO_BLOCK_SIZE - 1) / ISO_BLOCK_SIZE;
    for (uint64_t block : blocks)
        CHECK(block < viewBlocks && read.insert(block).second);
    // Every directory takes a record of 34 bytes at least in a block read.
    const double directories = 1 + blocks.size() * ISO_BLOCK_SIZE / 34.0;
    CHECK(walked <= (directories + blocks.size()) * (std::log2((double)viewBlocks) + 2));

    uint64_t paths = 0; // what a tree of deep paths costs is bounded by the view
    for (const IsoFile &file : files) {
        paths += file.path.size();
        CHECK(!file.extents.empty());
        for (const IsoExtent &e : file.extents)
            CHECK(e.length > 0 && e.position < n && e.length <= n - e.position);
    }
    CHECK(paths <= n + (64 << 10));

    // Both ends of the first extents, inside and out: where names change, so
    // enough to meet each kind of overlap, and few enough for the plain
    // naming to stay quick.
    const IsoNames names(files);
    size_t named = 0;
    for (const IsoFile &file : files)
        for (const IsoExtent &e : file.extents)
            for (uint64_t p : {e.position - 1, e.position, e.position + e.length - 1, e.position + e.length})
                CHECK(++named > 256 || names.Name(p) == PlainName(files, p));
    return 0;
}
