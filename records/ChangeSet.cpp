#include "ChangeSet.h"

#include <string.h>

#include <algorithm>

#include "CdImage.h"
#include "Ppf.h"

// Changed ranges this close together are diffed as one, so that a patch may
// carry the few bytes between them rather than start a new entry.
static const uint64_t NEAR = 8;

// The file's bytes read at a time when a patch compares a change with them.
static const uint64_t PATCH_CHUNK = 1 << 20;

Error ChangeSet::Open(const char *path, bool patch, const std::shared_ptr<const ImageView> &listed,
                      std::unique_ptr<ChangeSet> *changes)
{
    // A CHD is only ever read: refused before it is.
    if (!patch) {
        InputFile named;
        uint8_t head[8] = {};
        if (!named.Open(path) && named.size() >= sizeof head && !named.Read(0, head, sizeof head) &&
            IsChd(head, sizeof head))
            return Error{"Error: Can't write into a CHD: give a third path for a PPF patch"};
    }
    std::unique_ptr<ChangeSet> made(new ChangeSet);
    if (listed) {
        if (Error error = made->file_.Open(listed->path().c_str(), !patch))
            return error;
        if (made->file_.size() == listed->fileSize() && listed->searched())
            made->view_ = listed;
        else
            made->file_.Close();
    }
    if (!made->view_)
        if (Error error = ImageView::Open(path, true, &made->view_, &made->file_, !patch))
            return error;
    if (made->view_->kind() == ImageView::CUT_RAW_IMAGE)
        return Error{"Error: Not a CD image exspack can write: " + made->view_->path()};
    *changes = std::move(made);
    return Error();
}

// Keeps bytes[0 .. n - 1] as the file's from offset on: written over what
// earlier changes hold there, new ranges for the rest. Each range is kept
// at its own size, never grown, so that many changes cost their bytes and no
// more.
void ChangeSet::Keep(uint64_t offset, const uint8_t *bytes, uint64_t n)
{
    const uint64_t end = offset + n;
    auto at = changes_.upper_bound(offset);
    if (at != changes_.begin() && std::prev(at)->first + std::prev(at)->second.size() > offset)
        --at;
    for (uint64_t p = offset; p < end;) {
        if (at != changes_.end() && at->first <= p) {
            const uint64_t k = std::min(end, at->first + at->second.size()) - p;
            memcpy(at->second.data() + (p - at->first), bytes + (p - offset), k);
            p += k;
            ++at;
        } else {
            const uint64_t stop = at == changes_.end() ? end : std::min(end, at->first);
            changes_.emplace_hint(at, p, std::vector<uint8_t>(bytes + (p - offset), bytes + (stop - offset)));
            p = stop;
        }
    }
}

// The file's bytes from offset on as the changes so far make them.
Error ChangeSet::ReadChanged(uint64_t offset, uint8_t *to, uint64_t n) const
{
    if (Error error = file_.Read(offset, to, n))
        return error;
    const uint64_t end = offset + n;
    auto at = changes_.upper_bound(offset);
    if (at != changes_.begin())
        --at;
    for (; at != changes_.end() && at->first < end; ++at) {
        const uint64_t from = std::max(offset, at->first), to_ = std::min(end, at->first + at->second.size());
        if (from < to_)
            memcpy(to + (from - offset), at->second.data() + (from - at->first), to_ - from);
    }
    return Error();
}

bool ChangeSet::Put(uint64_t position, const uint8_t *bytes, uint64_t n)
{
    if (n == 0)
        return true;
    if (view_->kind() != ImageView::RAW_IMAGE) {
        Keep(position, bytes, n);
        return true;
    }
    // The sectors that hold the bytes, as earlier changes left them, get the
    // data and their codes.
    const uint64_t first = position / SECTOR_DATA_SIZE, end = (position + n - 1) / SECTOR_DATA_SIZE + 1;
    std::vector<uint8_t> run((end - first) * RAW_SECTOR_SIZE), data((end - first) * SECTOR_DATA_SIZE);
    if (ReadChanged(first * RAW_SECTOR_SIZE, run.data(), run.size()))
        return false;
    ReadDataView(run.data(), run.size(), data.data());
    memcpy(data.data() + (position - first * SECTOR_DATA_SIZE), bytes, n);
    if (WriteDataView(run.data(), run.size(), data.data()) == UINT64_MAX)
        return false;
    Keep(first * RAW_SECTOR_SIZE, run.data(), run.size());
    return true;
}

bool ChangeSet::Read(uint64_t position, uint8_t *to, uint64_t n) const
{
    if (n == 0)
        return true;
    if (view_->kind() != ImageView::RAW_IMAGE)
        return !ReadChanged(position, to, n);
    const uint64_t first = position / SECTOR_DATA_SIZE, end = (position + n - 1) / SECTOR_DATA_SIZE + 1;
    std::vector<uint8_t> run((end - first) * RAW_SECTOR_SIZE), data((end - first) * SECTOR_DATA_SIZE);
    if (ReadChanged(first * RAW_SECTOR_SIZE, run.data(), run.size()))
        return false;
    ReadDataView(run.data(), run.size(), data.data());
    memcpy(to, data.data() + (position - first * SECTOR_DATA_SIZE), n);
    return true;
}

// The change as PPF entries, written as they are made: each range is
// compared with the file's bytes a chunk at a time, and the few unchanged
// bytes between two near ranges are shown to the writer so that it may
// carry them.
Error ChangeSet::WritePatch(OutputFile *output, const std::string &description) const
{
    std::vector<uint8_t> before(PPF_BLOCK_CHECK_SIZE);
    const bool check = file_.size() >= PPF_BLOCK_CHECK_OFFSET + PPF_BLOCK_CHECK_SIZE;
    if (check)
        if (Error error = file_.Read(PPF_BLOCK_CHECK_OFFSET, before.data(), before.size()))
            return error;
    PpfWriter writer(description, check ? before.data() : nullptr);
    uint64_t done = 0; // the end of the last range
    for (const auto &[offset, bytes] : changes_) {
        if (done != 0 && offset > done && offset - done <= NEAR) {
            before.resize(offset - done);
            if (Error error = file_.Read(done, before.data(), before.size()))
                return error;
            writer.Add(done, before.data(), before.data(), before.size());
        }
        for (uint64_t k = 0; k < bytes.size(); k += PATCH_CHUNK) {
            before.resize(std::min<uint64_t>(PATCH_CHUNK, bytes.size() - k));
            if (Error error = file_.Read(offset + k, before.data(), before.size()))
                return error;
            writer.Add(offset + k, before.data(), bytes.data() + k, before.size());
            const std::vector<uint8_t> &out = writer.Take();
            if (Error error = output->Write(out.data(), out.size()))
                return error;
        }
        done = offset + bytes.size();
    }
    const std::vector<uint8_t> &out = writer.Take(true);
    return output->Write(out.data(), out.size());
}

Error ChangeSet::Commit(const char *patch, const std::string &description)
{
    if (patch == nullptr && changes_.empty())
        return Error();
    OutputFile output;
    if (Error error = output.Open(patch != nullptr ? patch : file_.file().path().c_str()))
        return error;
    if (patch != nullptr) {
        if (Error error = WritePatch(&output, description))
            return error;
    } else {
        uint64_t done = 0;
        for (const auto &[offset, bytes] : changes_) {
            if (Error error = output.Copy(file_.file(), done, offset - done))
                return error;
            if (Error error = output.Write(bytes.data(), bytes.size()))
                return error;
            done = offset + bytes.size();
        }
        if (Error error = output.Copy(file_.file(), done, file_.size() - done))
            return error;
        file_.file().FinishReading(); // Windows replaces no file that is open
    }
    return output.Commit();
}
