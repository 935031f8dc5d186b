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

    // A raw image whole only where it is written whole; a patch takes the
    // sectors it changes from the file.
    if (kind_ == RAW_IMAGE) {
        if (Error error = ReadView())
            return error;
    } else {
        areas_.push_back({0, size});
    }
    if (kind_ != RAW_IMAGE || use == TO_CHANGE)
        if (Error error = file_.ReadAll(&image_, use != TO_READ))
            return error;

    // Open files stand in the way of writing: of the output where it is the
    // input too, and on Windows of replacing the container.
    if (use == TO_READ)
        file_.Close();
    else if (use == TO_CHANGE)
        file_.FinishReading();

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

bool Container::Put(uint64_t position, const uint8_t *bytes, uint64_t n)
{
    if (n == 0)
        return true;
    if (kind_ != RAW_IMAGE) {
        memcpy(image_.data() + position, bytes, n);
        changed_.push_back({position, position + n});
        return true;
    }
    // The sectors that hold the bytes, as an earlier Put left them or else
    // as the file holds them, get the data and their codes, and give the
    // data back to the view.
    const uint64_t first = position / SECTOR_DATA_SIZE, end = (position + n - 1) / SECTOR_DATA_SIZE + 1;
    std::vector<uint8_t> run((end - first) * RAW_SECTOR_SIZE);
    for (uint64_t i = first; i < end; i++) {
        uint8_t *const to = &run[(i - first) * RAW_SECTOR_SIZE];
        const auto put = sectors_.find(i);
        if (put != sectors_.end())
            memcpy(to, put->second.data(), RAW_SECTOR_SIZE);
        else if (image_.data() != nullptr)
            memcpy(to, image_.data() + i * RAW_SECTOR_SIZE, RAW_SECTOR_SIZE);
        else if (file_.Read(i * RAW_SECTOR_SIZE, to, RAW_SECTOR_SIZE))
            return false;
    }
    memcpy(view_.data() + position, bytes, n);
    if (WriteDataView(run.data(), run.size(), view_.data() + first * SECTOR_DATA_SIZE) == UINT64_MAX)
        return false;
    ReadDataView(run.data(), run.size(), view_.data() + first * SECTOR_DATA_SIZE);
    for (uint64_t i = first; i < end; i++)
        sectors_[i].assign(&run[(i - first) * RAW_SECTOR_SIZE], &run[(i - first + 1) * RAW_SECTOR_SIZE]);
    return true;
}

Error Container::Commit(const char *patch, const std::string &description)
{
    if (patch == nullptr) {
        for (const auto &[i, sector] : sectors_)
            memcpy(image_.data() + i * RAW_SECTOR_SIZE, sector.data(), RAW_SECTOR_SIZE);
        if (changed_.empty() && sectors_.empty())
            return Error();
        return WriteFileSafely(file_.path().c_str(), image_.data(), image_.size());
    }

    // The untouched bytes come from the file itself, which Put never changes.
    std::vector<uint8_t> block(PPF_BLOCK_CHECK_SIZE);
    const bool check = file_.size() >= PPF_BLOCK_CHECK_OFFSET + PPF_BLOCK_CHECK_SIZE;
    if (check)
        if (Error error = file_.Read(PPF_BLOCK_CHECK_OFFSET, block.data(), block.size()))
            return error;
    PpfWriter writer(description, check ? block.data() : nullptr);
    std::vector<uint8_t> before(RAW_SECTOR_SIZE);
    for (const auto &[i, sector] : sectors_) {
        if (Error error = file_.Read(i * RAW_SECTOR_SIZE, before.data(), RAW_SECTOR_SIZE))
            return error;
        writer.Add(i * RAW_SECTOR_SIZE, before.data(), sector.data(), RAW_SECTOR_SIZE);
    }
    std::sort(changed_.begin(), changed_.end(), [](const Area &a, const Area &b) { return a.begin < b.begin; });
    for (size_t i = 0; i < changed_.size();) {
        Area range = changed_[i];
        for (i++; i < changed_.size() && changed_[i].begin <= range.end + NEAR; i++)
            range.end = std::max(range.end, changed_[i].end);
        before.resize(range.end - range.begin);
        if (Error error = file_.Read(range.begin, before.data(), before.size()))
            return error;
        writer.Add(range.begin, before.data(), image_.data() + range.begin, before.size());
    }
    const std::vector<uint8_t> &bytes = writer.Finish();
    return WriteFileSafely(patch, bytes.data(), bytes.size());
}
