// PPF 3.0 patches (PlayStation Patch File): a change to a disc image as the
// bytes it replaces, which patchers on every system and emulators apply to
// an untouched image, and take off again with the undo data it carries.
//
// Layout, numbers little-endian: "PPF30", the encoding method 2, a 50-byte
// ASCII description padded with spaces, the image type (0, BIN), the block
// check flag, the undo flag (1) and a zero byte; with the block check flag
// set, the 1024 bytes of the untouched image at 0x9320, which appliers
// compare before patching; then the entries, each an 8-byte offset, a count
// n of 1 to 255, the n new bytes and the n bytes they replace.
#ifndef EXSPACK_PPF_H
#define EXSPACK_PPF_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

static const uint64_t PPF_BLOCK_CHECK_OFFSET = 0x9320;
static const uint64_t PPF_BLOCK_CHECK_SIZE = 1024;

// Whether head[0 .. n - 1], a file's first bytes, start a PPF patch of any
// version: "PPF10", "PPF20" or "PPF30".
bool IsPpfPatch(const uint8_t *head, size_t n);

class PpfWriter {
public:
    // Starts a patch with description (cut to 50 bytes, bytes outside
    // printable ASCII shown as '?') and, when block is not NULL, the block
    // check: block holds the PPF_BLOCK_CHECK_SIZE bytes of the untouched image
    // at PPF_BLOCK_CHECK_OFFSET.
    PpfWriter(const std::string &description, const uint8_t *block);

    // Adds entries for the bytes of before[0 .. n - 1], the untouched image
    // from offset on, that after[0 .. n - 1] changes. Calls come in ascending
    // order of offset and their ranges do not overlap; a call that starts
    // where the last one ended goes on from it, as if they were one, so that
    // a long range may come a piece at a time. The entries cover exactly the
    // bytes that differ, in order, except that up to four unchanged bytes
    // between two changed ones are carried in the same entry when calls
    // cover them, which costs fewer bytes than the 9 of a new entry's start.
    void Add(uint64_t offset, const uint8_t *before, const uint8_t *after, uint64_t n);

    // The bytes of the patch made since the last call, for the caller to
    // write out in order: the header first, then each entry once it is
    // complete; with last, the entry still open too, which ends the patch.
    // Valid until the next call, so that the patch is never held whole.
    const std::vector<uint8_t> &Take(bool last = false);

private:
    void Flush();
    std::vector<uint8_t> patch_, taken_;
    bool open_ = false;  // an entry is being gathered
    uint64_t start_ = 0; // its offset
    uint64_t end_ = 0;   // the offset behind its last changed byte
    uint64_t next_ = 0;  // the offset behind the last call's bytes
    std::vector<uint8_t> new_, old_;
    std::vector<uint8_t> carryNew_, carryOld_; // unchanged bytes since end_, to carry
};

#endif
