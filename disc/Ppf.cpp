#include "Ppf.h"

#include <string.h>

static const uint64_t MAX_COUNT = 255;
// Unchanged bytes cost two each inside an entry (new and undo), a new entry
// 9 bytes of offset and count: up to four are cheaper carried.
static const uint64_t MAX_CARRIED = 4;
static const size_t DESCRIPTION_SIZE = 50;

static void PutLE64(std::vector<uint8_t> *to, uint64_t value)
{
    for (int i = 0; i < 8; i++)
        to->push_back((uint8_t)(value >> (8 * i)));
}

PpfWriter::PpfWriter(const std::string &description, const uint8_t *block)
{
    const char magic[] = "PPF30";
    patch_.assign(magic, magic + 5);
    patch_.push_back(2); // the encoding method of PPF 3.0
    for (size_t i = 0; i < DESCRIPTION_SIZE; i++) {
        const uint8_t c = i < description.size() ? (uint8_t)description[i] : ' ';
        patch_.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    patch_.push_back(0); // the image type: BIN
    patch_.push_back(block != nullptr);
    patch_.push_back(1); // undo data follows each entry's new bytes
    patch_.push_back(0);
    if (block != nullptr)
        patch_.insert(patch_.end(), block, block + PPF_BLOCK_CHECK_SIZE);
}

void PpfWriter::Add(uint64_t offset, const uint8_t *before, const uint8_t *after, uint64_t n)
{
    if (offset != next_) { // bytes between that no call showed
        carryNew_.clear();
        carryOld_.clear();
    }
    next_ = offset + n;
    for (uint64_t i = 0; i < n; i++) {
        if (before[i] == after[i]) {
            if (open_ && carryNew_.size() == MAX_CARRIED)
                Flush(); // too far for the next change to join
            else if (open_)
                carryNew_.push_back(after[i]), carryOld_.push_back(before[i]);
            continue;
        }
        const uint64_t at = offset + i;
        // The bytes between can be carried only when the calls showed them.
        if (open_ && at == end_ + carryNew_.size() && at + 1 - start_ <= MAX_COUNT) {
            new_.insert(new_.end(), carryNew_.begin(), carryNew_.end());
            old_.insert(old_.end(), carryOld_.begin(), carryOld_.end());
        } else {
            Flush();
            open_ = true;
            start_ = at;
        }
        carryNew_.clear();
        carryOld_.clear();
        new_.push_back(after[i]);
        old_.push_back(before[i]);
        end_ = at + 1;
    }
}

void PpfWriter::Flush()
{
    carryNew_.clear();
    carryOld_.clear();
    if (!open_)
        return;
    PutLE64(&patch_, start_);
    patch_.push_back((uint8_t)new_.size());
    patch_.insert(patch_.end(), new_.begin(), new_.end());
    patch_.insert(patch_.end(), old_.begin(), old_.end());
    new_.clear();
    old_.clear();
    open_ = false;
}

const std::vector<uint8_t> &PpfWriter::Take(bool last)
{
    if (last)
        Flush();
    taken_.swap(patch_);
    patch_.clear();
    return taken_;
}

bool IsPpfPatch(const uint8_t *head, size_t n)
{
    return n >= 5 && memcmp(head, "PPF", 3) == 0 && head[3] >= '1' && head[3] <= '3' && head[4] == '0';
}
