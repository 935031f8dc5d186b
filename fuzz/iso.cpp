// Arbitrary bytes as a data view from block 16 on, where the volume
// descriptors start (the 16 blocks of the system area in front are zeros):
// the reader must end, read nothing outside the view, read no block twice as
// a directory, return extents inside the view only and keep to its memory
// bound; IsoNames must name every position as the plain naming does. The
// seeds are the first 64 KiB of images genisoimage made (less the system
// area), whole and damaged, and a chain of deep paths made to take memory.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>

#include "Iso9660.h"
#include "check.h"
#include "guarded.h"
#include "iso.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint64_t systemArea = 16 * ISO_BLOCK_SIZE, n = systemArea + size;
    GuardedBuffer view(n); // ends at an unreadable page
    memset(view.data(), 0, systemArea);
    if (size > 0)
        memcpy(view.data() + systemArea, data, size);

    std::vector<IsoFile> files;
    std::vector<uint64_t> blocks;
    if (!ReadIsoFileSystem(view.data(), n, &files, &blocks)) {
        CHECK(files.empty() && blocks.empty());
        return 0;
    }
    std::set<uint64_t> read;
    for (uint64_t block : blocks)
        CHECK(block < (n + ISO_BLOCK_SIZE - 1) / ISO_BLOCK_SIZE && read.insert(block).second);
    uint64_t paths = 0; // what a tree of deep paths costs is bounded by the view
    for (const IsoFile &file : files) {
        paths += file.path.size();
        CHECK(!file.extents.empty());
        for (const IsoExtent &e : file.extents)
            CHECK(e.length > 0 && e.position < n && e.length <= n - e.position);
    }
    CHECK(paths <= n + (64 << 10));

    // The ends of the first extents, and positions spread over the view by
    // the input's size: enough to meet each kind of overlap, few enough for
    // the plain naming to stay quick.
    std::vector<uint64_t> positions;
    for (const IsoFile &file : files)
        for (const IsoExtent &e : file.extents)
            if (positions.size() < 256)
                for (uint64_t p : {e.position - 1, e.position, e.position + e.length - 1, e.position + e.length})
                    positions.push_back(p);
    for (uint64_t p = systemArea + size % 997; p < n; p += n / 32 + 1)
        positions.push_back(p);
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    const IsoNames names(files);
    for (uint64_t p : positions)
        CHECK(names.Name(p) == PlainName(files, p));
    return 0;
}
