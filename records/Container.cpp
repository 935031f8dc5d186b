#include "Container.h"

#include <string.h>

#include <algorithm>

#include "CdImage.h"
#include "CueSheet.h"
#include "Ppf.h"

// Sectors read at a time when a raw image is only read: few enough that the
// buffer stays in the cache while each sector's data is copied out of it.
static const uint64_t SECTORS_PER_READ = 128;

// Changed ranges this close together are diffed as one, so that a patch may
// carry the few bytes between them rather than start a new entry.
static const uint64_t NEAR = 8;

// The file's bytes read at a time when a patch compares a change with them.
static const uint64_t PATCH_CHUNK = 1 << 20;

// A sheet is a small text file: one that is not is read no further.
static const uint64_t LARGEST_SHEET = 1 << 20;

Error Container::Open(const char *path, Use use)
{
    {
        InputFile sheet;
        if (Error error = sheet.Open(path))
            return error;
        std::vector<uint8_t> text((size_t)std::min(sheet.size(), RAW_SECTOR_SIZE));
        if (Error error = sheet.Read(0, text.data(), text.size()))
            return error;
        if (IsCueSheet(path, text.data(), text.size())) {
            text.resize((size_t)std::min(sheet.size(), LARGEST_SHEET));
            if (Error error = sheet.Read(0, text.data(), text.size()))
                return error;
            for (const CueTrack &track : ReadCueSheet(text.data(), text.size())) {
                const uint64_t sectorSize = DataSectorSize(track.mode);
                if (sectorSize == 0)
                    continue;
                // A name in the sheet is relative to the sheet's folder.
                std::string file = track.file;
                const std::string sheetPath = path;
                const size_t slash = sheetPath.find_last_of("/\\");
                const bool absolute = !file.empty() && (file[0] == '/' || file[0] == '\\' ||
                                                        (file.size() > 1 && file[1] == ':'));
                if (!absolute && slash != std::string::npos)
                    file = sheetPath.substr(0, slash + 1) + file;
                sheetNotice_ = "Cue sheet: track " + track.number + " " + track.mode + " in " + file + "\n";
                sheet.Close();
                return OpenFile(file.c_str(), use, sectorSize, track.start);
            }
            return Error{std::string("Error: No data track in ") + path};
        }
    }
    return OpenFile(path, use, 0, 0);
}

// sectorSize and trackStart: those of the data track of a cue sheet that
// names this file, or 0.
Error Container::OpenFile(const char *path, Use use, uint64_t sectorSize, uint64_t trackStart)
{
    use_ = use;
    path_ = path;
    if (Error error = file_.Open(path, use == TO_CHANGE))
        return error;
    const uint64_t size = file_.size();
    uint8_t start[RAW_SECTOR_SIZE];
    const uint64_t head = std::min<uint64_t>(size, sizeof start);
    if (Error error = file_.Read(0, start, head))
        return error;
    kind_ = !StartsWithSync(start, head) ? PLAIN : IsRawImage(start, size) ? RAW_IMAGE : CUT_RAW_IMAGE;
    if (sectorSize == RAW_SECTOR_SIZE && size != 0 && size % RAW_SECTOR_SIZE == 0)
        kind_ = RAW_IMAGE;
    if (kind_ == CUT_RAW_IMAGE && use != TO_READ)
        return Error{std::string("Error: Not a CD image exspack can write: ") + path};

    // A raw image is never held whole: its data view is, and a change takes
    // the sectors it touches from the file.
    if (kind_ == RAW_IMAGE) {
        if (Error error = ReadView())
            return error;
    } else {
        areas_.push_back({0, size});
        if (Error error = file_.ReadAll(&image_, use != TO_READ))
            return error;
    }
    // An open file stands in the way of an output that is the input too
    // (on Windows); a change is committed from the open file.
    if (use == TO_READ)
        file_.Close();

    // A data track that starts inside its file holds its file system, and
    // counts its blocks, from its own first sector on.
    const uint64_t base = trackStart * SECTOR_DATA_SIZE;
    if (base < this->size()) {
        fileSystem_ = ReadIsoFileSystem(data() + base, this->size() - base, &files_);
        for (IsoFile &file : files_)
            for (IsoExtent &extent : file.extents)
                extent.position += base;
    }
    names_ = IsoNames(files_);
    return Error();
}

Error Container::Locate(const DataPosition &at, uint64_t *position) const
{
    if (at.path.empty()) {
        *position = at.number;
        return Error();
    }
    switch (fileSystem_ ? FindIsoPosition(files_, at.path, at.offset, position) : ISO_NO_FILE) {
    case ISO_FOUND:
        return Error();
    case ISO_NO_FILE:
        return Error{"Error: No file " + at.path + " in " + path_};
    case ISO_PAST_END:
        break;
    }
    return Error{"Error: " + at.path + " has " + std::to_string(*position) + " bytes"};
}

Error Container::Open(const char *path, Use use, Container *read)
{
    if (read == nullptr || read->use_ != TO_READ || (read->kind_ == RAW_IMAGE) != (read->view_.data() != nullptr))
        return Open(path, use);
    // The file the container read: a cue sheet's data track, or path itself.
    use_ = use;
    path_ = read->path_;
    if (Error error = file_.Open(path_.c_str(), use == TO_CHANGE))
        return error;
    const uint64_t size = read->kind_ == RAW_IMAGE ? read->view_.size() / SECTOR_DATA_SIZE * RAW_SECTOR_SIZE
                                                   : read->image_.size();
    if (file_.size() != size)
        return Open(path, use);
    kind_ = read->kind_;
    if (kind_ == CUT_RAW_IMAGE && use != TO_READ)
        return Error{"Error: Not a CD image exspack can write: " + path_};
    image_ = static_cast<Buffer &&>(read->image_);
    view_ = static_cast<Buffer &&>(read->view_);
    areas_.swap(read->areas_);
    sheetNotice_.swap(read->sheetNotice_);
    fileSystem_ = read->fileSystem_;
    files_.swap(read->files_);
    names_ = read->names_;
    if (use == TO_READ)
        file_.Close();
    return Error();
}

// One read of the image, a few sectors at a time into a small buffer, and
// one copy of each sector's data into the view: a mapping would cost a
// copy-on-write fault per page, and reading the image whole twice its size.
Error Container::ReadView()
{
    const uint64_t sectors = file_.size() / RAW_SECTOR_SIZE;
    if (!view_.Allocate(sectors * SECTOR_DATA_SIZE))
        return NoMemory();
    std::vector<uint8_t> chunk(SECTORS_PER_READ * RAW_SECTOR_SIZE);
    for (uint64_t first = 0; first < sectors; first += SECTORS_PER_READ) {
        const uint64_t count = std::min(SECTORS_PER_READ, sectors - first);
        if (Error error = file_.Read(first * RAW_SECTOR_SIZE, chunk.data(), count * RAW_SECTOR_SIZE))
            return error;
        for (const SectorRun &run :
             ReadDataView(chunk.data(), count * RAW_SECTOR_SIZE, view_.data() + first * SECTOR_DATA_SIZE)) {
            const uint64_t begin = (first + run.first) * SECTOR_DATA_SIZE;
            const uint64_t end = begin + run.count * SECTOR_DATA_SIZE;
            if (!areas_.empty() && areas_.back().end == begin)
                areas_.back().end = end; // a run that goes on from the last read
            else
                areas_.push_back({begin, end});
        }
    }
    return Error();
}

uint64_t Container::AreaEnd(uint64_t position) const
{
    const auto area = std::upper_bound(areas_.begin(), areas_.end(), position,
                                       [](uint64_t p, const Area &a) { return p < a.end; });
    return area != areas_.end() && position >= area->begin ? area->end : position;
}

// Keeps bytes[0 .. n - 1] as the file's from offset on: written over what
// earlier changes hold there, new ranges for the rest. Each range is kept
// at its own size, never grown, so that many changes cost their bytes and no
// more.
void Container::Keep(uint64_t offset, const uint8_t *bytes, uint64_t n)
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
Error Container::ReadChanged(uint64_t offset, uint8_t *to, uint64_t n) const
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

bool Container::Put(uint64_t position, const uint8_t *bytes, uint64_t n)
{
    if (n == 0)
        return true;
    if (kind_ != RAW_IMAGE) {
        memcpy(image_.data() + position, bytes, n);
        Keep(position, bytes, n);
        return true;
    }
    // The sectors that hold the bytes, as earlier changes left them, get the
    // data and their codes, and give the data back to the view.
    const uint64_t first = position / SECTOR_DATA_SIZE, end = (position + n - 1) / SECTOR_DATA_SIZE + 1;
    std::vector<uint8_t> run((end - first) * RAW_SECTOR_SIZE);
    if (ReadChanged(first * RAW_SECTOR_SIZE, run.data(), run.size()))
        return false;
    memcpy(view_.data() + position, bytes, n);
    if (WriteDataView(run.data(), run.size(), view_.data() + first * SECTOR_DATA_SIZE) == UINT64_MAX)
        return false;
    ReadDataView(run.data(), run.size(), view_.data() + first * SECTOR_DATA_SIZE);
    Keep(first * RAW_SECTOR_SIZE, run.data(), run.size());
    return true;
}

// The change as PPF entries, written as they are made: each range is
// compared with the file's bytes a chunk at a time, and the few unchanged
// bytes between two near ranges are shown to the writer so that it may
// carry them.
Error Container::WritePatch(OutputFile *output, const std::string &description) const
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

Error Container::Commit(const char *patch, const std::string &description)
{
    if (patch == nullptr && changes_.empty())
        return Error();
    OutputFile output;
    if (Error error = output.Open(patch != nullptr ? patch : file_.path().c_str()))
        return error;
    if (patch != nullptr) {
        if (Error error = WritePatch(&output, description))
            return error;
    } else {
        uint64_t done = 0;
        for (const auto &[offset, bytes] : changes_) {
            if (Error error = output.Copy(file_, done, offset - done))
                return error;
            if (Error error = output.Write(bytes.data(), bytes.size()))
                return error;
            done = offset + bytes.size();
        }
        if (Error error = output.Copy(file_, done, file_.size() - done))
            return error;
        file_.FinishReading(); // Windows replaces no file that is open
    }
    return output.Commit();
}

Error Container::CopyOf(const Container &read)
{
    if (read.use_ != TO_READ || (read.kind_ == RAW_IMAGE) != (read.view_.data() != nullptr))
        return Error{"Error: Not a container to copy"};
    for (const Buffer *from : {&read.image_, &read.view_}) {
        Buffer &to = from == &read.image_ ? image_ : view_;
        if (from->data() == nullptr)
            continue;
        if (!to.Allocate(from->size()))
            return NoMemory();
        memcpy(to.data(), from->data(), (size_t)from->size());
    }
    use_ = TO_READ;
    kind_ = read.kind_;
    path_ = read.path_;
    areas_ = read.areas_;
    sheetNotice_ = read.sheetNotice_;
    fileSystem_ = read.fileSystem_;
    files_ = read.files_;
    names_ = read.names_;
    return Error();
}
