#include "ImageView.h"

#include <algorithm>

#include "CdImage.h"
#include "CueSheet.h"
#include "Ppf.h"

// Sectors read at a time: few enough that the buffer stays in the cache
// while each sector's data is copied out of it.
static const uint64_t SECTORS_PER_READ = 128;

// A sheet is a small text file: one that is not is read no further.
static const uint64_t LARGEST_SHEET = 1 << 20;

// The file a cue sheet names: relative to the sheet's folder, and where no
// file has the name as written, the only one there whose name is the same
// but for ASCII case (sheets written on systems that ignore case).
static std::string SheetFile(const std::string &sheet, std::string file)
{
    const bool absolute =
        !file.empty() && (file[0] == '/' || file[0] == '\\' || (file.size() > 1 && file[1] == ':'));
    if (!absolute)
        file = FolderOf(sheet) + file;
    const std::string folder = FolderOf(file), name = file.substr(folder.size());
    std::vector<std::string> names;
    if (!ListFolder(folder.empty() ? "." : folder.c_str(), &names) || std::count(names.begin(), names.end(), name) != 0)
        return file;
    std::string only;
    for (const std::string &other : names)
        if (SameIgnoringCase(other, name)) {
            if (!only.empty())
                return file;
            only = other;
        }
    return only.empty() ? file : folder + only;
}

Error ImageView::Open(const char *path, bool search, std::shared_ptr<const ImageView> *view, ImageSource *source,
                      bool lock)
{
    std::shared_ptr<ImageView> made(new ImageView);
    ImageSource own;
    if (source == nullptr)
        source = &own;
    made->path_ = path;
    uint64_t sectorSize = 0, trackStart = 0;
    {
        InputFile named;
        if (Error error = named.Open(path))
            return error;
        std::vector<uint8_t> text((size_t)std::min<uint64_t>(named.size(), CUE_SNIFF_SIZE));
        if (Error error = named.Read(0, text.data(), text.size()))
            return error;
        if (IsPpfPatch(text.data(), text.size()))
            made->hint_ = std::string(path) + " is a PPF patch, not a disc image\n";
        if (!IsChd(text.data(), text.size()) && IsCueSheet(path, text.data(), text.size())) {
            text.resize((size_t)std::min(named.size(), LARGEST_SHEET));
            if (Error error = named.Read(0, text.data(), text.size()))
                return error;
            const std::vector<CueTrack> tracks = ReadCueSheet(text.data(), text.size());
            const auto track = std::find_if(tracks.begin(), tracks.end(),
                                            [](const CueTrack &t) { return DataSectorSize(t.mode) != 0; });
            if (track == tracks.end())
                return Error{std::string("Error: No data track in ") + path};
            made->path_ = SheetFile(path, track->file);
            made->sheetNotice_ = "Cue sheet: track " + track->number + " " + track->mode + " in " + made->path_ + "\n";
            sectorSize = DataSectorSize(track->mode);
            trackStart = track->start;
        }
    }
    if (Error error = source->Open(made->path_.c_str(), lock))
        return error;
    if (source->IsChd()) {
        // Its first data track, as the sheet extractcd writes names it.
        const std::vector<ChdTrack> &tracks = source->chd().tracks();
        const auto track = std::find_if(tracks.begin(), tracks.end(),
                                        [](const ChdTrack &t) { return DataSectorSize(t.mode) != 0; });
        if (track == tracks.end())
            return Error{std::string("Error: No data track in ") + path};
        made->sheetNotice_ = "CHD: track " + track->number + " " + track->mode + "\n";
        sectorSize = DataSectorSize(track->mode);
        trackStart = track->offset / track->frameSize;
    }
    if (Error error = made->Read(*source, sectorSize, trackStart, search))
        return error;
    *view = made;
    return Error();
}

// sectorSize and trackStart: those of the data track of a cue sheet that
// names this file, or 0.
Error ImageView::Read(const ImageSource &source, uint64_t sectorSize, uint64_t trackStart, bool search)
{
    const uint64_t size = fileSize_ = source.size();
    // A raw image by its content: whole sectors, and a data sector among
    // the first, after any audio or pregap.
    std::vector<uint8_t> head((size_t)std::min(size, RAW_IMAGE_LEAD * RAW_SECTOR_SIZE));
    if (Error error = source.Read(0, head.data(), head.size()))
        return error;
    const uint64_t first = FirstDataSector(head.data(), head.size());
    kind_ = first == UINT64_MAX ? PLAIN : size % RAW_SECTOR_SIZE == 0 ? RAW_IMAGE : CUT_RAW_IMAGE;
    if (sectorSize == RAW_SECTOR_SIZE && size != 0 && size % RAW_SECTOR_SIZE == 0)
        kind_ = RAW_IMAGE;
    cut_ = kind_ == CUT_RAW_IMAGE ? size % RAW_SECTOR_SIZE : 0;

    // A raw image is never held whole: its data view is.
    if (kind_ == RAW_IMAGE) {
        if (Error error = ReadView(source))
            return error;
    } else {
        areas_.push_back({0, size});
        if (Error error = source.ReadAll(&data_))
            return error;
    }

    // Without a sheet, the data track starts at the file's start, at its
    // first data sector, or after that sector's pregap: where the file
    // system's first descriptor is.
    if (sectorSize == 0 && kind_ == RAW_IMAGE && first != 0 && !StartsIsoFileSystem(data(), this->size()))
        for (const uint64_t start : {first, first + RAW_IMAGE_LEAD})
            if (start * SECTOR_DATA_SIZE < this->size() &&
                StartsIsoFileSystem(data() + start * SECTOR_DATA_SIZE, this->size() - start * SECTOR_DATA_SIZE)) {
                trackStart = start;
                break;
            }
    // A data track that starts inside its file holds its file system, and
    // counts its blocks, from its own first sector on.
    const uint64_t base = trackStart * SECTOR_DATA_SIZE;
    if (base < this->size()) {
        fileSystem_ = ReadIsoFileSystem(data() + base, this->size() - base, &files_);
        for (IsoFile &f : files_)
            for (IsoExtent &extent : f.extents)
                extent.position += base;
    }
    names_ = IsoNames(files_);

    if (search)
        for (const Area &area : areas_)
            if (!FindRecords(data(), area.begin, area.end, &records_))
                return NoMemory(); // not an empty map
    searched_ = search;
    return Error();
}

// One read of the image, a few sectors at a time into a small buffer, and
// one copy of each sector's data into the view: a mapping would cost a
// copy-on-write fault per page, and reading the image whole twice its size.
Error ImageView::ReadView(const ImageSource &source)
{
    const uint64_t sectors = source.size() / RAW_SECTOR_SIZE;
    if (!data_.Allocate(sectors * SECTOR_DATA_SIZE))
        return NoMemory();
    std::vector<uint8_t> chunk(SECTORS_PER_READ * RAW_SECTOR_SIZE);
    for (uint64_t first = 0; first < sectors; first += SECTORS_PER_READ) {
        const uint64_t count = std::min(SECTORS_PER_READ, sectors - first);
        if (Error error = source.Read(first * RAW_SECTOR_SIZE, chunk.data(), count * RAW_SECTOR_SIZE))
            return error;
        for (const SectorRun &run :
             ReadDataView(chunk.data(), count * RAW_SECTOR_SIZE, data_.data() + first * SECTOR_DATA_SIZE)) {
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

uint64_t ImageView::AreaEnd(uint64_t position) const
{
    const auto area = std::upper_bound(areas_.begin(), areas_.end(), position,
                                       [](uint64_t p, const Area &a) { return p < a.end; });
    return area != areas_.end() && position >= area->begin ? area->end : position;
}

const FoundRecord *ImageView::RecordAt(uint64_t position) const
{
    const auto at = std::lower_bound(records_.begin(), records_.end(), position,
                                     [](const FoundRecord &r, uint64_t p) { return r.position < p; });
    return at != records_.end() && at->position == position ? &*at : nullptr;
}

Error ImageView::Locate(const DataPosition &at, uint64_t *position) const
{
    if (at.path.empty()) {
        *position = at.number;
        return Error();
    }
    std::vector<std::string> alike;
    switch (fileSystem_ ? FindIsoPosition(files_, at.path, at.offset, position, &alike) : ISO_NO_FILE) {
    case ISO_FOUND:
        return Error();
    case ISO_NO_FILE:
        break;
    case ISO_AMBIGUOUS: {
        std::string message = "Error: " + at.path + " names " + std::to_string(alike.size()) + " files in " + path_ + ": ";
        for (size_t i = 0; i < alike.size(); i++)
            message += (i == 0 ? "" : ", ") + alike[i];
        return Error{message};
    }
    case ISO_PAST_END:
        return Error{"Error: " + at.path + " has " + std::to_string(*position) + " bytes"};
    case ISO_NOT_HELD:
        return Error{"Error: " + at.path + Format("+0x%llX", (unsigned long long)at.offset) + " is in no data sector of " +
                     path_};
    }
    return Error{"Error: No file " + at.path + " in " + path_};
}
