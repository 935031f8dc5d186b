#include "Iso9660.h"

#include <string.h>

#include <algorithm>
#include <deque>
#include <queue>

// Descriptor and directory record layout (ECMA-119 8.4, 9.1). Numbers are
// recorded both-endian; the little-endian half is read.
static const uint64_t FIRST_DESCRIPTOR = 16 * ISO_BLOCK_SIZE;
static const uint8_t TYPE_PRIMARY = 1, TYPE_TERMINATOR = 255;
static const size_t PVD_BLOCK_SIZE = 128, PVD_ROOT = 156;
static const size_t MIN_RECORD = 34; // the fixed part and a one-byte identifier
static const size_t REC_XAR = 1, REC_EXTENT = 2, REC_LENGTH = 10, REC_FLAGS = 25, REC_UNIT = 26, REC_GAP = 27,
                    REC_NAME_LENGTH = 32, REC_NAME = 33;
static const uint8_t FLAG_DIRECTORY = 0x02, FLAG_NOT_FINAL = 0x80;

// A hostile tree can nest long names deep and give each level many records,
// so that its paths alone would take the square of the view's size: the
// reading keeps a budget of the view's size plus SPARE_BUDGET, charging each
// path its bytes and what its string and vector cost beside them. A sound
// disc spends a fraction of it: each file or directory it charges takes a
// block of the view at least, and costs a few hundred bytes.
static const uint64_t PATH_COST = sizeof(IsoFile) + 32, EXTENT_COST = sizeof(IsoExtent);
static const uint64_t SPARE_BUDGET = 64 << 10;

static uint32_t LE32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

static std::string Printable(const uint8_t *name, size_t n)
{
    std::string s(n, '?');
    for (size_t i = 0; i < n; i++)
        if (name[i] >= 0x21 && name[i] <= 0x7E)
            s[i] = (char)name[i];
    return s;
}

static std::string FileName(const uint8_t *id, size_t n)
{
    const uint8_t *version = (const uint8_t *)memchr(id, ';', n);
    if (version != nullptr)
        n = (size_t)(version - id);
    if (n > 0 && id[n - 1] == '.')
        n--;
    return Printable(id, n);
}

namespace {

struct Directory {
    uint64_t position, length;
    std::string path; // "" for the root, so that its entries are "/NAME"
};

class Reader {
public:
    Reader(const uint8_t *view, uint64_t size, std::vector<IsoFile> *files, std::vector<uint64_t> *blocks)
        : view_(view), size_(size), files_(files), blocks_(blocks), skip_((size + ISO_BLOCK_SIZE - 1) / ISO_BLOCK_SIZE),
          budget_(size + SPARE_BUDGET)
    {
    }

    uint64_t walked = 0; // directories, blocks read and links followed past read ones

    void Read(const uint8_t *root)
    {
        // A deque: directories found while the front one is read go to its
        // back, which leaves the front where it is.
        std::deque<Directory> queue;
        queue.push_back(Directory{Extent(root), LE32(root + REC_LENGTH), std::string()});
        while (!queue.empty() && !spent_) {
            ReadDirectory(queue.front(), &queue);
            queue.pop_front();
        }
    }

private:
    const uint8_t *const view_;
    const uint64_t size_;
    std::vector<IsoFile> *const files_;
    std::vector<uint64_t> *const blocks_;
    // The view blocks read as directory data, as links towards the next
    // block not read: 0 for a block not read, else a block after it from
    // which to look on. Links are shortened as they are followed (path
    // halving), so a directory whose extent was read before, however long,
    // costs about the logarithm of the view's blocks, not a walk over them.
    std::vector<uint64_t> skip_;

    // The first block from b on that was not read (skip_.size() when none).
    uint64_t Unread(uint64_t b)
    {
        while (b < skip_.size() && skip_[b] != 0) {
            const uint64_t next = skip_[b];
            if (next < skip_.size() && skip_[next] != 0)
                skip_[b] = skip_[next];
            b = skip_[b];
            walked++;
        }
        return b;
    }
    uint64_t budget_;
    bool spent_ = false;

    // The file whose records are being read: a multi-extent file's records
    // follow each other, all but the last flagged.
    bool open_ = false, sound_ = true;
    const Directory *dir_ = nullptr;
    const uint8_t *id_ = nullptr;
    size_t idLength_ = 0;
    uint64_t offset_ = 0;
    IsoFile file_;

    static uint64_t Extent(const uint8_t *record)
    {
        return ((uint64_t)LE32(record + REC_EXTENT) + record[REC_XAR]) * ISO_BLOCK_SIZE;
    }

    bool Charge(uint64_t cost)
    {
        if (cost > budget_)
            spent_ = true;
        else
            budget_ -= cost;
        return !spent_;
    }

    void ReadDirectory(const Directory &dir, std::deque<Directory> *queue)
    {
        walked++;
        if (dir.position >= size_)
            return;
        const uint64_t end = dir.position + std::min(dir.length, size_ - dir.position);
        for (uint64_t b = Unread(dir.position / ISO_BLOCK_SIZE); b * ISO_BLOCK_SIZE < end && !spent_;
             b = Unread(b + 1)) {
            walked++;
            skip_[b] = b + 1;
            if (blocks_ != nullptr)
                blocks_->push_back(b);
            const uint64_t block = b * ISO_BLOCK_SIZE;
            const uint64_t limit = std::min(block + ISO_BLOCK_SIZE, end);
            for (uint64_t at = block; at < limit && !spent_;) {
                const uint8_t *const record = view_ + at;
                const size_t length = record[0];
                if (length < MIN_RECORD || length > limit - at)
                    break; // 0 included: the block's records end here
                if (REC_NAME + record[REC_NAME_LENGTH] <= length)
                    Entry(record, dir, queue);
                at += length;
            }
        }
        Close();
    }

    void Entry(const uint8_t *record, const Directory &dir, std::deque<Directory> *queue)
    {
        const uint8_t *const id = record + REC_NAME;
        const size_t n = record[REC_NAME_LENGTH];
        if (n == 1 && id[0] <= 1)
            return; // the directory itself and its parent
        const uint64_t position = Extent(record), length = LE32(record + REC_LENGTH);
        if (record[REC_FLAGS] & FLAG_DIRECTORY) {
            Close();
            if (position >= size_)
                return;
            Directory sub{position, length, dir.path + "/" + Printable(id, n)};
            if (Charge(PATH_COST + sub.path.size()))
                queue->push_back(std::move(sub));
            return;
        }
        if (!open_ || n != idLength_ || memcmp(id, id_, n) != 0) {
            Close();
            open_ = true, sound_ = true, dir_ = &dir, id_ = id, idLength_ = n, offset_ = 0;
        }
        if (record[REC_UNIT] != 0 || record[REC_GAP] != 0)
            sound_ = false;
        if (sound_ && position < size_ && length > 0)
            Add(IsoExtent{position, std::min(length, size_ - position), offset_});
        offset_ += length;
        if (!(record[REC_FLAGS] & FLAG_NOT_FINAL))
            Close();
    }

    // The path is made, and paid for, with the file's first bytes in the
    // view: records that name nothing cost no more than reading them.
    void Add(const IsoExtent &extent)
    {
        if (file_.path.empty()) {
            file_.path = dir_->path + "/" + FileName(id_, idLength_);
            if (!Charge(PATH_COST + file_.path.size()))
                return;
        }
        if (Charge(EXTENT_COST))
            file_.extents.push_back(extent);
    }

    void Close()
    {
        if (open_ && sound_ && !spent_ && !file_.extents.empty()) {
            file_.size = offset_;
            files_->push_back(std::move(file_));
        }
        file_ = IsoFile();
        open_ = false;
    }
};

} // namespace

static bool IsDescriptor(const uint8_t *d) { return memcmp(d + 1, "CD001", 5) == 0 && d[6] == 1; }

bool StartsIsoFileSystem(const uint8_t *view, uint64_t size)
{
    return size >= FIRST_DESCRIPTOR + ISO_BLOCK_SIZE && IsDescriptor(view + FIRST_DESCRIPTOR);
}

bool ReadIsoFileSystem(const uint8_t *view, uint64_t size, std::vector<IsoFile> *files,
                       std::vector<uint64_t> *directoryBlocks, uint64_t *walked)
{
    files->clear();
    if (directoryBlocks != nullptr)
        directoryBlocks->clear();
    if (walked != nullptr)
        *walked = 0;
    const uint8_t *primary = nullptr;
    for (uint64_t at = FIRST_DESCRIPTOR;; at += ISO_BLOCK_SIZE) {
        if (size < at + ISO_BLOCK_SIZE)
            return false;
        const uint8_t *const d = view + at;
        if (!IsDescriptor(d))
            return false;
        if (d[0] == TYPE_TERMINATOR)
            break;
        const uint64_t blockSize = d[PVD_BLOCK_SIZE] | d[PVD_BLOCK_SIZE + 1] << 8;
        if (d[0] == TYPE_PRIMARY && primary == nullptr && blockSize == ISO_BLOCK_SIZE)
            primary = d;
    }
    if (primary == nullptr)
        return false;
    Reader reader(view, size, files, directoryBlocks);
    reader.Read(primary + PVD_ROOT);
    if (walked != nullptr)
        *walked = reader.walked;
    return true;
}

IsoNames::IsoNames(const std::vector<IsoFile> &files)
{
    // Every extent as an interval, in the order of precedence where they
    // overlap: by path, then as listed.
    std::vector<size_t> order(files.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return files[a].path < files[b].path; });
    std::vector<Segment> intervals;
    for (size_t i : order) {
        if (files[i].extents.empty())
            continue;
        for (const IsoExtent &e : files[i].extents)
            intervals.push_back(Segment{e.position, e.position + e.length, e.offset, paths_.size()});
        paths_.push_back(files[i].path);
    }

    // A sweep over the starts, with the intervals holding the current
    // position in a heap by precedence; each part of the view goes to the
    // first interval that holds it.
    std::vector<size_t> byStart(intervals.size());
    for (size_t i = 0; i < byStart.size(); i++)
        byStart[i] = i;
    std::sort(byStart.begin(), byStart.end(),
              [&](size_t a, size_t b) { return intervals[a].start < intervals[b].start; });
    std::priority_queue<size_t, std::vector<size_t>, std::greater<size_t>> holding;
    size_t next = 0;
    uint64_t at = 0;
    while (next < byStart.size() || !holding.empty()) {
        if (holding.empty())
            at = intervals[byStart[next]].start;
        while (next < byStart.size() && intervals[byStart[next]].start <= at)
            holding.push(byStart[next++]);
        while (!holding.empty() && intervals[holding.top()].end <= at)
            holding.pop();
        if (holding.empty())
            continue;
        const Segment &top = intervals[holding.top()];
        uint64_t until = top.end;
        if (next < byStart.size())
            until = std::min(until, intervals[byStart[next]].start);
        const uint64_t offset = top.offset + (at - top.start);
        Segment *last = segments_.empty() ? nullptr : &segments_.back();
        if (last != nullptr && last->end == at && last->file == top.file && last->offset + (at - last->start) == offset)
            last->end = until;
        else
            segments_.push_back(Segment{at, until, offset, top.file});
        at = until;
    }
}

std::string IsoNames::Name(uint64_t position) const
{
    auto it = std::upper_bound(segments_.begin(), segments_.end(), position,
                               [](uint64_t p, const Segment &s) { return p < s.start; });
    if (it == segments_.begin() || position >= (--it)->end)
        return "-";
    uint64_t offset = it->offset + (position - it->start);
    char hex[17];
    size_t n = sizeof hex;
    do
        hex[--n] = "0123456789ABCDEF"[offset & 15];
    while ((offset >>= 4) != 0);
    return paths_[it->file] + "+0x" + std::string(hex + n, sizeof hex - n);
}

bool SameIgnoringCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        const unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
        if ((x >= 'a' && x <= 'z' ? x - 32 : x) != (y >= 'a' && y <= 'z' ? y - 32 : y))
            return false;
    }
    return true;
}

IsoLookup FindIsoPosition(const std::vector<IsoFile> &files, const std::string &path, uint64_t offset,
                          uint64_t *position, std::vector<std::string> *alike)
{
    const IsoFile *found = nullptr;
    size_t matches = 0;
    for (const IsoFile &file : files)
        if (file.path == path) {
            found = &file, matches = 1;
            break;
        }
    if (found == nullptr)
        for (const IsoFile &file : files)
            if (SameIgnoringCase(file.path, path)) {
                found = &file, matches++;
                if (alike != nullptr)
                    alike->push_back(file.path);
            }
    if (matches != 1)
        return matches == 0 ? ISO_NO_FILE : ISO_AMBIGUOUS;
    for (const IsoExtent &e : found->extents)
        if (offset >= e.offset && offset - e.offset < e.length) {
            *position = e.position + (offset - e.offset);
            return ISO_FOUND;
        }
    if (offset < found->size)
        return ISO_NOT_HELD;
    *position = found->size;
    return ISO_PAST_END;
}
