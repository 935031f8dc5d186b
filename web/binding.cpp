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

#include "Container.h"
#include "LZSS.h"
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
static std::unique_ptr<Container> held;
static std::string openPath;

static Error Open(const char *path)
{
    if (held && openPath == path)
        return Error();
    held.reset(new Container);
    openPath = path;
    if (Error error = held->Open(path, Container::TO_READ)) {
        held.reset();
        return error;
    }
    return Error();
}

static Error Decode(const uint8_t *data, const FoundRecord &record, Buffer *decoded)
{
    if (!decoded->Allocate(record.decoded))
        return NoMemory();
    LZSS_Decompress(data + record.position + HEADER_SIZE, decoded->data());
    return Error();
}

extern "C" {

// Forgets the open container: its file has changed.
void exspack_forget(void)
{
    held.reset();
    openPath.clear();
}

// -l of path, and with folder, -l path folder.
const char *exspack_list(const char *path, const char *folder)
{
    if (Error error = Open(path))
        return Done(error, "");
    const Container &input = *held;
    std::string prefix;
    if (folder != nullptr && *folder != '\0') {
        if (!MakeFolder(folder))
            return Done(CantOpen(folder), "");
        prefix = std::string(folder) + '/';
    }
    std::string notice;
    if (input.kind() == Container::CUT_RAW_IMAGE)
        notice = "Not read as a CD image: the size is not a whole number of 2352-byte sectors";
    if (input.kind() == Container::RAW_IMAGE)
        notice = "CD image: 2352-byte sectors; positions count 2048 data bytes per sector";
    std::vector<FoundRecord> records;
    for (const Area &area : input.areas())
        FindRecords(input.data(), area.begin, area.end, &records);
    const bool names = input.HasFileNames();
    std::string rows;
    for (const FoundRecord &record : records) {
        char name[16];
        snprintf(name, sizeof name, "%08llX.bin", (unsigned long long)record.position);
        if (!prefix.empty()) {
            Buffer decoded;
            if (Error error = Decode(input.data(), record, &decoded))
                return Done(error, "");
            if (Error error = WriteFileSafely((prefix + name).c_str(), decoded.data(), decoded.size()))
                return Done(error, "");
        }
        std::string header = "ok";
        if (record.header_size != (uint32_t)record.decoded)
            header = "header says " + Number(record.header_size);
        rows += std::string(rows.empty() ? "" : ",") + "{\"position\":" + Number(record.position) +
                ",\"compressed\":" + Number(record.length) + ",\"uncompressed\":" + Number(record.decoded) +
                ",\"header\":" + Quote(header) + ",\"file\":" +
                (names ? Quote(input.FileName(record.position)) : "null") + ",\"name\":" + Quote(name) + "}";
    }
    return Done(Error(), "{\"notice\":" + Quote(notice) + ",\"names\":" + (names ? "true" : "false") +
                             ",\"rows\":[" + rows + "]}");
}

// -d -p position path output
const char *exspack_unpack(const char *path, double position, const char *output)
{
    if (Error error = Open(path))
        return Done(error, "");
    const Container &input = *held;
    const uint64_t at = (uint64_t)position;
    FoundRecord record;
    switch (CheckRecord(input.data(), input.AreaEnd(at), at, &record)) {
    case RECORD_OK:
        break;
    case RECORD_SMALL:
        return Done(Error{"Error: Small file"}, "");
    case RECORD_BAD:
        return Done(Error{"Error: Bad file"}, "");
    }
    Buffer decoded;
    if (Error error = Decode(input.data(), record, &decoded))
        return Done(error, "");
    return Done(WriteFileSafely(output, decoded.data(), decoded.size()),
                "{\"compressed\":" + Number(record.length) + ",\"uncompressed\":" + Number(record.decoded) + "}");
}

// path output [-b]
const char *exspack_pack(const char *path, int best, const char *output)
{
    Buffer input;
    if (Error error = ReadWholeFile(path, &input))
        return Done(error, "");
    const uint64_t size = input.size();
    const uint64_t maxsize = LZSS_GetCompressedMaxSize(size) + HEADER_SIZE;
    Buffer record, work;
    if (!record.Allocate(maxsize) || (best && !work.Allocate(LZSS_GetOptimalWorkSize(size))))
        return Done(NoMemory(), "");
    const uint64_t n = best ? LZSS_CompressOptimal(input.data(), size, record.data() + HEADER_SIZE, work.data())
                            : LZSS_CompressSimpleFast(input.data(), size, record.data() + HEADER_SIZE);
    work.Release();
    if (n == UINT64_MAX)
        return Done(Error{"Error: LZSS_Compress*()"}, "");
    assert(n + HEADER_SIZE <= maxsize);
    WriteHeader(record.data(), size);
    return Done(WriteFileSafely(output, record.data(), n + HEADER_SIZE),
                "{\"compressed\":" + Number(n + HEADER_SIZE) + ",\"uncompressed\":" + Number(size) + "}");
}

// -i from into [patch] -p position
const char *exspack_put_back(const char *from, const char *into, double position, const char *patch)
{
    if (openPath == into)
        exspack_forget();
    std::vector<PutBackLine> lines;
    bool names = false;
    if (Error error = PutBack(from, into, (uint64_t)position, *patch != '\0' ? patch : nullptr, &lines, &names))
        return Done(error, "");
    std::string rows;
    for (const PutBackLine &line : lines)
        rows += std::string(rows.empty() ? "" : ",") + "{\"position\":" + Number(line.position) +
                ",\"room\":" + Number(line.room) + ",\"compressed\":" + Number(line.length) +
                ",\"uncompressed\":" + Number(line.size) + ",\"stream\":" + Quote(PUT_STREAM_NAMES[line.stream]) +
                ",\"file\":" + (names ? Quote(line.file) : "null") + "}";
    return Done(Error(), "{\"names\":" + std::string(names ? "true" : "false") + ",\"rows\":[" + rows + "]}");
}
}
