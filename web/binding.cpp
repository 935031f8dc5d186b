// The page's calls into the tool's modules: list, unpack, pack and put back,
// on the worker's files (PlatformWeb.cpp). Each returns its result as JSON
// text, valid until the next call: {"error": MESSAGE} with the message the
// tool prints, or what the job reports. Outputs go to the paths given, as
// the tool writes them.
#include <assert.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "LZSS.h"
#include "Listing.h"
#include "Packing.h"
#include "Platform.h"
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

// The container last listed stays open, so that unpacking its records one
// by one does not read it again.
static std::unique_ptr<Listing> held;
static std::string heldPath;

static Error Open(const char *path)
{
    if (held && heldPath == path)
        return Error();
    held.reset(new Listing);
    heldPath = path;
    if (Error error = held->Open(path)) {
        held.reset();
        return error;
    }
    return Error();
}

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

extern "C" {

// Forgets the open container: its file has changed.
void exspack_forget(void)
{
    held.reset();
    heldPath.clear();
}

// -l of path, and with folder, -l path folder: the text -l prints and its
// rows, as the record list has them.
const char *exspack_list(const char *path, const char *folder)
{
    if (Error error = Open(path))
        return Done(error, "");
    if (*folder != '\0')
        if (Error error = held->Extract(folder))
            return Done(error, "");
    const std::vector<std::string> lines = Split(held->Table(), '\n');
    std::string rows;
    for (size_t i = 0; i < held->records().size(); i++) {
        const FoundRecord &record = held->records()[i];
        const std::vector<std::string> fields = Split(lines[i + 1], '\t');
        rows += std::string(i == 0 ? "" : ",") + "{\"position\":" + Number(record.position) +
                ",\"compressed\":" + Number(record.length) + ",\"uncompressed\":" + Number(record.decoded) +
                ",\"header\":" + Quote(fields[3]) + ",\"file\":" + (held->names() ? Quote(fields[4]) : "null") +
                ",\"name\":" + Quote(RecordFileName(record.position)) + "}";
    }
    std::string notice = held->Notice();
    if (!notice.empty())
        notice.pop_back();
    return Done(Error(), "{\"text\":" + Quote(held->Text()) + ",\"notice\":" + Quote(notice) + ",\"names\":" +
                             (held->names() ? "true" : "false") + ",\"rows\":[" + rows + "]}");
}

// -d -p position path output
const char *exspack_unpack(const char *path, double position, const char *output)
{
    if (Error error = Open(path))
        return Done(error, "");
    FoundRecord record;
    Buffer decoded;
    if (Error error = UnpackAt(*held->view(), (uint64_t)position, &record, &decoded))
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

// -i from into [patch] -p position
const char *exspack_put_back(const char *from, const char *into, double position, const char *patch)
{
    // The image just listed is not read again; its data goes to the change.
    std::unique_ptr<Listing> listed;
    if (heldPath == into)
        listed.swap(held);
    exspack_forget();
    PutBackReport report;
    DataPosition at;
    at.number = (uint64_t)position;
    if (Error error = PutBack(from, into, at, *patch != '\0' ? patch : nullptr, &report,
                              listed ? listed->view() : nullptr))
        return Done(error, "");
    const std::vector<PutBackLine> &lines = report.lines;
    const bool names = report.names;
    std::string rows, text = report.notice + PutBackHeading(names);
    for (const PutBackLine &line : lines)
        text += PutBackRow(line, names);
    text += PutBackCount(lines.size());
    for (const PutBackLine &line : lines)
        rows += std::string(rows.empty() ? "" : ",") + "{\"position\":" + Number(line.position) +
                ",\"room\":" + Number(line.room) + ",\"compressed\":" + Number(line.length) +
                ",\"uncompressed\":" + Number(line.size) + ",\"stream\":" + Quote(PUT_STREAM_NAMES[line.stream]) +
                ",\"file\":" + (names ? Quote(line.file) : "null") + "}";
    return Done(Error(), "{\"text\":" + Quote(text) + ",\"names\":" + std::string(names ? "true" : "false") +
                             ",\"rows\":[" + rows + "]}");
}
}
