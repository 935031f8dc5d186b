#include "Chd.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

bool IsChd(const uint8_t *head, size_t n)
{
    return n >= 8 && memcmp(head, "MComprHD", 8) == 0;
}

#ifndef EXSPACK_HAVE_CHD

struct ChdImage::State {};
ChdImage::ChdImage() = default;
ChdImage::~ChdImage() = default;
bool HaveChdReader() { return false; }
Error ChdImage::Open(const char *path) { return Error{std::string("Error: CHD support was not built in: ") + path}; }
void ChdImage::Close() {}
bool ChdImage::IsAt(const char *) const { return false; }
Error ChdImage::Read(uint64_t, uint8_t *, uint64_t) const { return Error{"Error: Bad CHD: " + path_}; }

#else

#include <condition_variable>
#include <mutex>
#include <thread>

#include <libchdr/chd.h>

static const uint64_t FRAME_AND_SUBCODE = 2448;
// Tracks start on a multiple of this many frames in the CHD's numbering.
static const uint64_t TRACK_PADDING = 4;
// Hunks decoded ahead of the reader: a few hundred KiB of a CD's 19584-byte
// hunks, enough to keep the second core busy between reads.
static const uint64_t AHEAD = 32;
// A parent of a parent of ...: more than this is a loop or no CHD chdman made.
static const int PARENTS = 8;
// The web page's module has no threads: it decodes each hunk when it is read.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
static const bool THREADS = false;
#else
static const bool THREADS = true;
#endif

bool HaveChdReader() { return true; }

// libchdr reads through these, over InputFile: the same paths as every
// other input on every system, and a read past the end noticed, which the
// library leaves unchecked for uncompressed hunks.
namespace {
struct CoreFile {
    core_file core;
    InputFile file;
    uint64_t at = 0;
    bool shortRead = false;
};

uint64_t CoreSize(core_file *core) { return static_cast<CoreFile *>(core->argp)->file.size(); }

size_t CoreRead(void *to, size_t size, size_t count, core_file *core)
{
    CoreFile *f = static_cast<CoreFile *>(core->argp);
    const uint64_t want = (uint64_t)size * count;
    const uint64_t n = f->at >= f->file.size() ? 0 : std::min(want, f->file.size() - f->at);
    if (n < want)
        f->shortRead = true;
    if (n != 0 && f->file.Read(f->at, static_cast<uint8_t *>(to), n)) {
        f->shortRead = true;
        return 0;
    }
    f->at += n;
    return size == 0 ? 0 : (size_t)(n / size);
}

int CoreSeek(core_file *core, int64_t offset, int whence)
{
    CoreFile *f = static_cast<CoreFile *>(core->argp);
    const int64_t base = whence == SEEK_CUR ? (int64_t)f->at : whence == SEEK_END ? (int64_t)f->file.size() : 0;
    if (offset < -base)
        return -1;
    f->at = (uint64_t)(base + offset);
    return 0;
}

int CoreClose(core_file *core)
{
    delete static_cast<CoreFile *>(core->argp);
    return 0;
}

uint32_t BigEndian32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// Where a header of this version holds its own SHA-1 and its parent's.
bool Sha1Offsets(uint32_t version, size_t *own, size_t *parent)
{
    switch (version) {
    case 3: *own = 80, *parent = 100; return true;
    case 4: *own = 48, *parent = 68; return true;
    case 5: *own = 84, *parent = 104; return true;
    }
    return false;
}

// The first bytes of a CHD, enough for every version's header.
const size_t HEADER_SIZE = 124;

uint64_t BigEndian64(const uint8_t *p) { return (uint64_t)BigEndian32(p) << 32 | BigEndian32(p + 4); }

// The sizes a header claims, looked at before the library allocates by
// them: chdman makes hunks of 1 MiB at most, and a CD holds well under
// 2 GiB with its subcode. Empty when they are fine.
std::string CheckSizes(const uint8_t *header, const std::string &path)
{
    const uint32_t version = BigEndian32(header + 12);
    const uint64_t logical = version == 5 ? BigEndian64(header + 32) : BigEndian64(header + 28);
    const uint32_t hunk = version == 5 ? BigEndian32(header + 56) : version == 4 ? BigEndian32(header + 44)
                                                                                  : BigEndian32(header + 76);
    if (hunk == 0 || hunk > (1 << 20))
        return "Error: Bad CHD: " + path + " (header)";
    const uint64_t hunks = version == 5 ? (logical + hunk - 1) / hunk : BigEndian32(header + 24);
    if (logical > ((uint64_t)2 << 30) || hunks > ((uint64_t)1 << 21))
        return "Error: Not a CD image: " + path;
    return "";
}
} // namespace

struct ChdImage::State {
    std::vector<chd_file *> chds; // parents first, the image last
    chd_file *image = nullptr;
    std::vector<CoreFile *> files;
    uint32_t hunkBytes = 0, hunks = 0;

    // The read-ahead: hunks [begin, ready) are decoded, hunk h in slot
    // h % AHEAD; the worker decodes `ready` next while there is room. The
    // reader alone moves begin, and uses the library only while the worker
    // is paused and idle.
    std::mutex lock;
    std::condition_variable wake, done;
    std::thread worker;
    std::vector<uint8_t> slots;
    chd_error errors[AHEAD] = {};
    uint64_t begin = 0, ready = 0;
    bool busy = false, paused = false, stop = false;

    ~State()
    {
        if (worker.joinable()) {
            {
                std::lock_guard<std::mutex> hold(lock);
                stop = true;
            }
            wake.notify_all();
            worker.join();
        }
        // A child before its parent; each closes its file.
        for (auto chd = chds.rbegin(); chd != chds.rend(); ++chd)
            chd_close(*chd);
    }

    chd_error Decode(uint64_t hunk)
    {
        for (CoreFile *file : files)
            file->shortRead = false;
        chd_error error = chd_read(image, (uint32_t)hunk, &slots[hunk % AHEAD * hunkBytes]);
        for (CoreFile *file : files)
            if (file->shortRead && error == CHDERR_NONE)
                error = CHDERR_READ_ERROR;
        return error;
    }

    void Work()
    {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            wake.wait(hold, [this] { return stop || (!paused && ready < begin + AHEAD && ready < hunks); });
            if (stop)
                return;
            const uint64_t hunk = ready;
            busy = true;
            hold.unlock();
            const chd_error error = Decode(hunk);
            hold.lock();
            busy = false;
            errors[hunk % AHEAD] = error;
            ready = hunk + 1;
            done.notify_all();
        }
    }

    // Hunk `hunk`, decoded, or null with its error; valid until the next call.
    const uint8_t *Hunk(uint64_t hunk, chd_error *error)
    {
        if (!THREADS) {
            if (ready != hunk + 1)
                errors[0] = Decode(hunk), ready = hunk + 1;
            *error = errors[0];
            return *error == CHDERR_NONE ? &slots[hunk % AHEAD * hunkBytes] : nullptr;
        }
        std::unique_lock<std::mutex> hold(lock);
        if (hunk < begin || hunk >= begin + AHEAD) {
            // Off the run ahead: start a new one there.
            paused = true;
            done.wait(hold, [this] { return !busy; });
            begin = ready = hunk;
            paused = false;
        }
        begin = hunk;
        wake.notify_all();
        done.wait(hold, [this, hunk] { return ready > hunk; });
        *error = errors[hunk % AHEAD];
        return *error == CHDERR_NONE ? &slots[hunk % AHEAD * hunkBytes] : nullptr;
    }
};

ChdImage::ChdImage() = default;
ChdImage::~ChdImage() = default;

void ChdImage::Close()
{
    state_.reset();
    tracks_.clear();
    size_ = 0;
}

// Opens path as a chd_file, its parents first where it names one: the CHD
// in its folder whose SHA-1 it names. The files go to state.
static Error OpenChd(const std::string &path, const std::string &named, ChdImage::State *state, int depth,
                     chd_file **chd);

static Error OpenCore(const std::string &path, CoreFile **file, uint8_t *header)
{
    std::unique_ptr<CoreFile> f(new CoreFile);
    if (Error error = f->file.Open(path.c_str()))
        return error;
    memset(header, 0, HEADER_SIZE);
    if (Error error = f->file.Read(0, header, std::min<uint64_t>(HEADER_SIZE, f->file.size())))
        return error;
    f->core.argp = f.get();
    f->core.fsize = CoreSize;
    f->core.fread = CoreRead;
    f->core.fclose = CoreClose;
    f->core.fseek = CoreSeek;
    *file = f.release();
    return Error();
}

static Error OpenChd(const std::string &path, const std::string &named, ChdImage::State *state, int depth,
                     chd_file **chd)
{
    CoreFile *file = nullptr;
    uint8_t header[HEADER_SIZE];
    if (Error error = OpenCore(path, &file, header))
        return error;
    const std::string bad = "Error: Bad CHD: " + named;
    size_t own, parentAt;
    if (!IsChd(header, HEADER_SIZE) || !Sha1Offsets(BigEndian32(header + 12), &own, &parentAt)) {
        CoreClose(&file->core);
        return Error{bad + " (header)"};
    }
    const std::string sizes = CheckSizes(header, named);
    if (!sizes.empty()) {
        CoreClose(&file->core);
        return Error{sizes};
    }
    // A v5 map that is compressed starts with its length, which the
    // library allocates before reading: it must lie within the file.
    if (BigEndian32(header + 12) == 5 && BigEndian32(header + 16) != 0) {
        const uint64_t at = BigEndian64(header + 40);
        uint8_t length[4];
        if (at > file->file.size() || file->file.size() - at < 16 || file->file.Read(at, length, 4) ||
            BigEndian32(length) > file->file.size() - at - 16) {
            CoreClose(&file->core);
            return Error{bad + " (map)"};
        }
    }
    chd_file *parent = nullptr;
    static const uint8_t none[20] = {};
    const bool needsParent = memcmp(header + parentAt, none, 20) != 0 &&
                             (BigEndian32(header + 12) == 5 || (BigEndian32(header + 16) & 1) != 0);
    if (needsParent) {
        std::string folder = path;
        const size_t slash = folder.find_last_of("/\\");
        folder = slash == std::string::npos ? "." : folder.substr(0, slash + 1);
        std::vector<std::string> names;
        ListFolder(folder.c_str(), &names);
        std::sort(names.begin(), names.end());
        for (const std::string &name : names) {
            const std::string candidate = slash == std::string::npos ? name : PathInFolder(folder, name);
            InputFile look;
            uint8_t head[HEADER_SIZE] = {};
            size_t theirs, unused;
            if (depth >= PARENTS || look.Open(candidate.c_str()) ||
                look.Read(0, head, std::min<uint64_t>(HEADER_SIZE, look.size())) || !IsChd(head, HEADER_SIZE) ||
                !Sha1Offsets(BigEndian32(head + 12), &theirs, &unused) ||
                memcmp(head + theirs, header + parentAt, 20) != 0 || look.IsAt(path.c_str()))
                continue;
            look.Close();
            if (Error error = OpenChd(candidate, candidate, state, depth + 1, &parent)) {
                CoreClose(&file->core);
                return error;
            }
            break;
        }
        if (parent == nullptr) {
            CoreClose(&file->core);
            return Error{"Error: " + named + " needs its parent CHD"};
        }
    }
    // On failure the library closes the file itself.
    const chd_error error = chd_open_core_file(&file->core, CHD_OPEN_READ, parent, chd);
    switch (error) {
    case CHDERR_NONE:
        break;
    case CHDERR_REQUIRES_PARENT:
    case CHDERR_INVALID_PARENT:
        return Error{"Error: " + named + " needs its parent CHD"};
    case CHDERR_OUT_OF_MEMORY:
        return NoMemory();
    case CHDERR_DECOMPRESSION_ERROR:
    case CHDERR_INVALID_DATA:
        return Error{bad + " (map)"};
    default:
        return Error{bad + " (header)"};
    }
    state->chds.push_back(*chd);
    state->files.push_back(file);
    return Error();
}

// The name a cue sheet gives a track type of the CHD's metadata, and the
// bytes of each of its frames in the .bin; false for a type no CD track has.
static bool TrackMode(const std::string &type, std::string *mode, uint64_t *frameSize)
{
    static const struct {
        const char *type, *mode;
        uint64_t size;
    } modes[] = {{"MODE1_RAW", "MODE1/2352", 2352}, {"MODE2_RAW", "MODE2/2352", 2352},
                 {"AUDIO", "AUDIO", 2352},          {"MODE1", "MODE1/2048", 2048},
                 {"MODE2", "MODE2/2336", 2336},     {"MODE2_FORM1", "MODE2/2048", 2048},
                 {"MODE2_FORM2", "MODE2/2324", 2324}, {"MODE2_FORM_MIX", "MODE2/2336", 2336}};
    for (const auto &m : modes)
        if (type == m.type) {
            *mode = m.mode;
            *frameSize = m.size;
            return true;
        }
    return false;
}

Error ChdImage::Open(const char *path)
{
    Close();
    path_ = path;
    std::unique_ptr<State> state(new State);
    chd_file *chd;
    if (Error error = OpenChd(path, path, state.get(), 0, &chd))
        return error;
    const chd_header *header = chd_get_header(chd);
    const Error bad{"Error: Bad CHD: " + path_ + " (metadata)"};
    const Error notCd{"Error: Not a CD image: " + path_};
    // chdman's older CDs name their tracks with the tag of the first
    // version of the track list; the newer carry pregaps too.
    uint64_t first = 0;
    for (uint32_t i = 0; i < 99; i++) { // a CD has 99 tracks at most
        char text[256] = {};
        uint32_t length = 0;
        if (chd_get_metadata(chd, CDROM_TRACK_METADATA2_TAG, i, text, sizeof text - 1, &length, nullptr, nullptr) !=
                CHDERR_NONE &&
            chd_get_metadata(chd, CDROM_TRACK_METADATA_TAG, i, text, sizeof text - 1, &length, nullptr, nullptr) !=
                CHDERR_NONE)
            break;
        int number = 0, frames = 0;
        char type[32] = {}, subtype[32] = {};
        if (sscanf(text, "TRACK:%d TYPE:%31s SUBTYPE:%31s FRAMES:%d", &number, type, subtype, &frames) != 4 ||
            number != (int)i + 1 || frames <= 0)
            return bad;
        ChdTrack track;
        char digits[16];
        snprintf(digits, sizeof digits, "%02d", number);
        track.number = digits;
        if (!TrackMode(type, &track.mode, &track.frameSize))
            return bad;
        track.frames = (uint64_t)frames;
        track.offset = size_;
        track.first = first;
        size_ += track.frames * track.frameSize;
        first += (track.frames + TRACK_PADDING - 1) / TRACK_PADDING * TRACK_PADDING;
        tracks_.push_back(track);
    }
    if (tracks_.empty())
        return notCd;
    // A CD's hunks hold whole frames with their subcode, as its units.
    if (header->hunkbytes == 0 || header->hunkbytes % FRAME_AND_SUBCODE != 0 ||
        (header->version >= 5 && header->unitbytes != FRAME_AND_SUBCODE))
        return Error{"Error: Bad CHD: " + path_ + " (header)"};
    const uint64_t framesPerHunk = header->hunkbytes / FRAME_AND_SUBCODE;
    // A hunk the same as another names an earlier one in every CHD chdman
    // writes; the library would follow one that names itself, or a later
    // one back, until its stack ran out.
    if (header->version >= 5 && header->compression[0] != 0 && header->rawmap != nullptr &&
        header->mapentrybytes == 12)
        for (uint64_t i = 0; i < header->totalhunks; i++) {
            const uint8_t *entry = header->rawmap + i * 12;
            uint64_t offset = 0;
            for (int k = 4; k < 10; k++)
                offset = offset << 8 | entry[k];
            if (entry[0] > 6 || (entry[0] == 5 && offset >= i))
                return Error{"Error: Bad CHD: " + path_ + " (map)"};
        }
    // The last track's padding may lie past the last hunk; its frames not.
    const uint64_t used = tracks_.back().first + tracks_.back().frames;
    if (used > (uint64_t)header->totalhunks * framesPerHunk)
        return bad;

    state->image = chd;
    state->hunkBytes = header->hunkbytes;
    state->hunks = header->totalhunks;
    state->slots.resize(AHEAD * state->hunkBytes);
    if (THREADS)
        state->worker = std::thread(&State::Work, state.get());
    state_ = std::move(state);
    return Error();
}

bool ChdImage::IsAt(const char *path) const
{
    return state_ != nullptr && state_->files[0]->file.IsAt(path);
}

Error ChdImage::Read(uint64_t offset, uint8_t *to, uint64_t n) const
{
    if (state_ == nullptr)
        return Error{"Error: Bad CHD: " + path_};
    const uint64_t framesPerHunk = state_->hunkBytes / FRAME_AND_SUBCODE;
    while (n != 0) {
        auto track = std::upper_bound(tracks_.begin(), tracks_.end(), offset,
                                      [](uint64_t o, const ChdTrack &t) { return o < t.offset; });
        if (track == tracks_.begin() || offset >= size_)
            return Error{"Error: Bad CHD: " + path_};
        --track;
        const uint64_t frame = track->first + (offset - track->offset) / track->frameSize;
        const uint64_t within = (offset - track->offset) % track->frameSize;
        const uint64_t hunk = frame / framesPerHunk;
        chd_error error;
        const uint8_t *bytes = state_->Hunk(hunk, &error);
        if (bytes == nullptr)
            return Error{"Error: Bad CHD: " + path_ + " (hunk " + std::to_string(hunk) + ")"};
        const uint8_t *at = bytes + frame % framesPerHunk * FRAME_AND_SUBCODE;
        const uint64_t k = std::min(n, track->frameSize - within);
        if (track->mode == "AUDIO") {
            // The CHD holds samples big-endian, the .bin little-endian.
            for (uint64_t i = 0; i < k; i++)
                to[i] = at[(within + i) ^ 1];
        } else {
            memcpy(to, at + within, k);
        }
        offset += k, to += k, n -= k;
    }
    return Error();
}

#endif
