// The page's calls into the tool's modules: list, unpack, pack and the
// editing session of the open disc, on the worker's files (PlatformWeb.cpp).
// Each returns its result as JSON text, valid until the next call:
// {"error": MESSAGE} with the message the tool prints, or what the job
// reports. Outputs go to the paths given, as the tool writes them.
#include <assert.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "LZSS.h"
#include "Listing.h"
#include "Packing.h"
#include "CdImage.h"
#include "CueSheet.h"
#include "Platform.h"
#include "Position.h"
#include "PutBack.h"
#include "Records.h"

static std::string result;

static std::string Quote(const std::string &text)
{
    std::string quoted = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += (char)c;
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += (char)c;
        }
    }
    return quoted + '"';
}

static const char *Done(const Error &error, const std::string &json)
{
    std::string message = error.message;
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    result = error ? "{\"error\":" + Quote(message) + "}" : json;
    return result.c_str();
}

static std::string Number(uint64_t n) { return std::to_string((unsigned long long)n); }

static std::vector<std::string> Split(const std::string &line, char separator)
{
    std::vector<std::string> fields(1);
    for (const char c : line)
        if (c == separator)
            fields.emplace_back();
        else
            fields.back() += c;
    return fields;
}

// The image last listed stays open, so that unpacking its records one
// by one does not read it again.
static std::shared_ptr<Listing> held;
static std::string heldPath;

// A cue sheet whose data track's file did not come with it: the page's
// files are those the user picked or dropped, so the file is named to them.
static Error MissingTrack(const char *path, const Error &error)
{
    Buffer text;
    if (KindOfPath(path) != PATH_FILE || ReadWholeFile(path, &text))
        return error;
    if (!IsCueSheet(path, text.data(), (size_t)std::min<uint64_t>(text.size(), RAW_SECTOR_SIZE)))
        return error;
    for (const CueTrack &track : ReadCueSheet(text.data(), text.size()))
        if (DataSectorSize(track.mode) != 0) {
            if (KindOfPath((FolderOf(path) + track.file).c_str()) != PATH_FILE)
                return Error{"The cue sheet names \"" + track.file + "\": pick or drop it with the sheet"};
            break;
        }
    return error;
}

static Error Open(const char *path)
{
    if (held && heldPath == path)
        return Error();
    held.reset(new Listing);
    heldPath = path;
    if (Error error = held->Open(path)) {
        held.reset();
        heldPath.clear();
        return MissingTrack(path, error);
    }
    return Error();
}

// What a file is, where the tool knows, for a listing that finds no record
// in it; "" where it does not.
static std::string About(const Listing &listing)
{
    const ImageView &view = *listing.view();
    if (view.kind() == ImageView::CUT_RAW_IMAGE)
        return "a cut raw image: " + Number(view.cutBytes()) + " bytes past the last whole sector";
    if (!view.hint().empty())
        return "a PPF patch";
    return "";
}

static std::string ListingJson(const Listing &listing)
{
    const std::vector<std::string> lines = Split(listing.Table(), '\n');
    std::string rows;
    for (size_t i = 0; i < listing.records().size(); i++) {
        const FoundRecord &record = listing.records()[i];
        const std::vector<std::string> fields = Split(lines[i + 1], '\t');
        rows += std::string(i == 0 ? "" : ",") + "{\"position\":" + Number(record.position) +
                ",\"compressed\":" + Number(record.length) + ",\"uncompressed\":" + Number(record.decoded) +
                ",\"header\":" + Quote(fields[3]) + ",\"file\":" + (listing.names() ? Quote(fields[4]) : "null") +
                ",\"name\":" + Quote(RecordFileName(record.position)) + "}";
    }
    std::string notice = listing.Notice();
    if (!notice.empty())
        notice.pop_back();
    return "{\"text\":" + Quote(listing.Text()) + ",\"notice\":" + Quote(notice) + ",\"about\":" +
           Quote(About(listing)) + ",\"names\":" + (listing.names() ? "true" : "false") + ",\"rows\":[" + rows + "]}";
}

// The editing session of the open disc: every file put back since it was
// opened, by position, a later one at a position in place of the earlier.
// Each change of the set runs the tool's put-back over the whole set, from
// a folder of record files the worker links to the files given, so that
// the patch and the changed image always hold every change and a set the
// tool refuses is never kept.
extern "C" {
// The worker's files (library.js): the file at `to` becomes the one at
// `from`, without a copy; everything in folder and below it is forgotten.
void web_link(const char *from, const char *to);
void web_clear_folder(const char *folder);
}

static const char SESSION_FOLDER[] = ".session";

struct Pending {
    std::string path, name; // the file in the worker, and as the user named it
};

static struct {
    std::shared_ptr<Listing> listing; // of the disc, kept for positions by name
    std::string path;                 // the disc: a file or a cue sheet
    std::map<uint64_t, Pending> pending;
    std::string list; // the records.tsv a put brought, if any
    PutBackReport report;
} session;

static std::string InFolder(uint64_t position) { return std::string(SESSION_FOLDER) + "/" + RecordFileName(position); }

// The tool's message with the session's own file names as the user's.
static std::string UsersNames(std::string message, const std::map<uint64_t, Pending> &set)
{
    for (const auto &entry : set) {
        const std::string path = InFolder(entry.first);
        for (size_t at; (at = message.find(path)) != std::string::npos;)
            message.replace(at, path.size(), entry.second.name);
    }
    return message;
}

// A record followed by zeros may have been put back shorter before: its
// old room is larger than the record the disc holds now.
static std::string ZerosHint(const std::string &message, const std::map<uint64_t, Pending> &set)
{
    if (message.compare(0, 19, "Error: No room for ") != 0 || !session.list.empty())
        return "";
    const ImageView &container = *session.listing->view();
    for (const auto &entry : set) {
        if (message.compare(19, InFolder(entry.first).size() + 1, InFolder(entry.first) + ":") != 0)
            continue;
        for (const FoundRecord &record : session.listing->records())
            if (record.position == entry.first) {
                const uint64_t end = record.position + record.length;
                const uint64_t stop = std::min(container.AreaEnd(record.position), end + 16);
                if (end < stop && std::all_of(container.data() + end, container.data() + stop,
                                              [](uint8_t b) { return b == 0; }))
                    return "\nZeros follow the record there: a records.tsv from before an earlier put-back"
                           " may hold its old room; put it back with the file";
            }
    }
    return "";
}

// Puts the set back: as a patch to `patch`, or, without, into the disc
// itself. Keeps the set and its report when the tool takes it.
static Error Run(const std::map<uint64_t, Pending> &set, const std::string &list, const char *patch)
{
    web_clear_folder(SESSION_FOLDER);
    MakeFolder(SESSION_FOLDER);
    for (const auto &entry : set)
        web_link(entry.second.path.c_str(), InFolder(entry.first).c_str());
    if (!list.empty())
        web_link(list.c_str(), (std::string(SESSION_FOLDER) + "/" + RECORD_LIST).c_str());
    // The disc's view as the session read it: the change is kept apart
    // from it, so that it is never read again nor copied.
    PutBackReport report;
    Error error = PutBack(SESSION_FOLDER, session.path.c_str(), DataPosition(), patch, &report, session.listing->view());
    if (error) {
        error.message = UsersNames(error.message, set) + ZerosHint(error.message, set);
        return error;
    }
    if (patch != nullptr) {
        session.pending = set;
        session.list = list;
        session.report = report;
    }
    return Error();
}

static std::string ChangesJson(const std::string &leftOut)
{
    const PutBackReport &report = session.report;
    const bool names = report.names;
    std::string rows, text = leftOut;
    if (!session.pending.empty()) {
        text += report.notice + PutBackHeading(names);
        for (const PutBackLine &line : report.lines)
            text += PutBackRow(line, names);
        text += PutBackCount(report.lines.size());
    }
    for (const PutBackLine &line : report.lines)
        rows += std::string(rows.empty() ? "" : ",") + "{\"position\":" + Number(line.position) +
                ",\"room\":" + Number(line.room) + ",\"compressed\":" + Number(line.length) +
                ",\"uncompressed\":" + Number(line.size) + ",\"stream\":" + Quote(PUT_STREAM_NAMES[line.stream]) +
                ",\"file\":" + (names ? Quote(line.file) : "null") +
                ",\"input\":" + Quote(session.pending.count(line.position) ? session.pending[line.position].name : "") +
                "}";
    return "{\"text\":" + Quote(text) + ",\"names\":" + (names ? "true" : "false") + ",\"rows\":[" + rows + "]}";
}

static std::string BaseName(const std::string &path) { return path.substr(FolderOf(path).size()); }


extern "C" {

// Forgets the image last listed: its file has changed.
void exspack_forget(void)
{
    held.reset();
    heldPath.clear();
}

// -l of path, and with folder, -l path folder: the text -l prints and its
// rows, as the record list has them, and what the file is where it holds
// no record.
const char *exspack_list(const char *path, const char *folder)
{
    if (Error error = Open(path))
        return Done(error, "");
    if (*folder != '\0')
        if (Error error = held->Extract(folder))
            return Done(error, "");
    return Done(Error(), ListingJson(*held));
}

// -d -p position path output, the position as -p takes it.
const char *exspack_unpack(const char *path, const char *position, const char *output)
{
    if (Error error = Open(path))
        return Done(error, "");
    uint64_t at;
    if (Error error = held->view()->Locate(ParsePosition(position), &at))
        return Done(error, "");
    FoundRecord record;
    Buffer decoded;
    if (Error error = UnpackAt(*held->view(), at, &record, &decoded))
        return Done(error, "");
    return Done(WriteFileSafely(output, decoded.data(), decoded.size()),
                "{\"compressed\":" + Number(record.length) + ",\"uncompressed\":" + Number(record.decoded) + "}");
}

// path output [-b]
const char *exspack_pack(const char *path, int best, const char *output)
{
    Buffer record;
    uint64_t length, size;
    if (Error error = PackFile(path, best != 0, &record, &length, &size))
        return Done(error, "");
    return Done(WriteFileSafely(output, record.data(), length),
                "{\"compressed\":" + Number(length) + ",\"uncompressed\":" + Number(size) + "}");
}

// Opens path, a disc or its cue sheet, as the session's, with no changes:
// its listing, as exspack_list gives it.
const char *exspack_session(const char *path)
{
    session.listing.reset();
    session.pending.clear();
    session.list.clear();
    session.report = PutBackReport();
    if (Error error = Open(path))
        return Done(error, "");
    session.listing = held;
    session.path = path;
    return Done(Error(), ListingJson(*held));
}

// Adds to the session the file `from` at `position` (as -p takes it), or,
// with position "", the record files in the folder `from` (by their names,
// as -i takes a folder, with the rooms of a records.tsv among them); each
// in place of an earlier change at its position. The whole set goes to
// `patch`. Answers with the changes, and the report's text, the entries
// of the folder left out first; refused, the set stays as it was.
const char *exspack_put(const char *from, const char *position, const char *patch)
{
    if (!session.listing)
        return Done(Error{"Error: No disc is open"}, "");
    std::map<uint64_t, Pending> set = session.pending;
    std::string list = session.list, leftOut;
    if (*position != '\0') {
        uint64_t at;
        if (Error error = session.listing->view()->Locate(ParsePosition(position), &at))
            return Done(error, "");
        set[at] = {from, BaseName(from)};
    } else {
        std::vector<std::string> names, others;
        if (!ListFolder(from, &names, &others))
            return Done(CantOpen(from), "");
        std::sort(names.begin(), names.end());
        std::sort(others.begin(), others.end());
        bool any = false;
        for (const std::string &name : names) {
            uint64_t at;
            if (IsRecordName(name, &at))
                set[at] = {PathInFolder(from, name.c_str()), name}, any = true;
            else if (name == RECORD_LIST)
                list = PathInFolder(from, name.c_str());
            else
                leftOut += "Left out: " + name + " (not a record file name)\n";
        }
        for (const std::string &name : others)
            leftOut += "Left out: " + name + " (not a regular file)\n";
        if (!any)
            return Done(Error{leftOut + "Error: No record files in " + BaseName(from)}, "");
    }
    if (Error error = Run(set, list, patch)) {
        error.message = leftOut + error.message;
        return Done(error, "");
    }
    return Done(Error(), ChangesJson(leftOut));
}

// The session's changes, as exspack_put answers.
const char *exspack_changes(void) { return Done(Error(), ChangesJson("")); }

// Takes the change at position (as -p takes it) out of the session; the
// set left goes to patch.
const char *exspack_remove(const char *position, const char *patch)
{
    if (!session.listing)
        return Done(Error{"Error: No disc is open"}, "");
    uint64_t at;
    if (Error error = session.listing->view()->Locate(ParsePosition(position), &at))
        return Done(error, "");
    std::map<uint64_t, Pending> set = session.pending;
    if (set.erase(at) == 0)
        return Done(Error{"Error: No change at 0x" + RecordFileName(at).substr(0, 8)}, "");
    if (set.empty()) {
        session.pending.clear();
        session.report = PutBackReport();
        return Done(Error(), ChangesJson(""));
    }
    if (Error error = Run(set, session.list, patch))
        return Done(error, "");
    return Done(Error(), ChangesJson(""));
}

// Puts every change of the session into the disc's file itself: {"path":
// the file written}, the data track's file of a cue sheet.
const char *exspack_image(void)
{
    if (!session.listing || session.pending.empty())
        return Done(Error{"Error: No changes"}, "");
    if (Error error = Run(session.pending, session.list, nullptr))
        return Done(error, "");
    return Done(Error(), "{\"path\":" + Quote(session.listing->view()->path()) + "}");
}
}
