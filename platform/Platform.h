// The tool's dealings with the operating system: reading and locking files,
// memory for whole files, writing output files so that a failure or an
// interrupt never destroys a good one, folders and messages. Inside the tool
// a path is UTF-8 on every platform; this module alone turns it into what the
// system takes.
//
// One implementation a system stands behind this header: PlatformPosix.cpp,
// PlatformWindows.cpp, and the web page's in web/; Platform.cpp holds what
// they share. The header names no type of any system, so that each keeps its
// own handles to itself.
#ifndef EXSPACK_PLATFORM_H
#define EXSPACK_PLATFORM_H

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// What went wrong, as the one line the tool prints on standard error before
// it exits with status 1; empty when nothing did. Errors travel back to the
// driver as values, and it alone prints them.
struct Error {
    std::string message;
    explicit operator bool() const { return !message.empty(); }
};

Error CantOpen(const std::string &path);  // "Can't open: PATH"
Error CantWrite(const std::string &path); // "Can't write: PATH"
Error NoMemory();                         // "Error: malloc()"

// printf's formatting into a string, of any length; FormatArgs takes the
// arguments as a va_list, which it uses up.
std::string FormatArgs(const char *format, va_list args);
std::string Format(const char *format, ...)
#if defined(__MINGW32__)
    __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The folder part of path, with its last separator ('/', or on Windows '/'
// or '\\'): "" when path has none.
std::string FolderOf(const std::string &path);

// On Windows, replaces the arguments with their UTF-8 forms, taken from the
// wide command line, so that any path arrives as typed. Elsewhere arguments
// are bytes already and nothing changes.
void GetArguments(int *argc, char ***argv);

// Memory for a whole file or a data view, which it owns: large buffers in
// large pages where the system has them, so that filling one costs a fault
// per 2 MiB rather than per 4 KiB, or a file's copy-on-write mapping.
class Buffer {
public:
    Buffer() = default;
    ~Buffer() { Release(); }
    Buffer(Buffer &&other) noexcept { *this = static_cast<Buffer &&>(other); }
    Buffer &operator=(Buffer &&other) noexcept;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    // size bytes of new memory, not cleared (also for size 0); false when
    // there is none.
    bool Allocate(uint64_t size);
    void Release();
    uint8_t *data() const { return data_; }
    uint64_t size() const { return size_; }

private:
    friend class InputFile;
    enum Kind { NONE, HEAP, MAPPED };
    // size bytes from malloc (one for size 0, which must succeed too), on
    // an empty buffer; every system's Allocate ends here when it has
    // nothing better.
    bool AllocateHeap(uint64_t size);
    uint8_t *data_ = nullptr;
    uint64_t size_ = 0;
    Kind kind_ = NONE;
};

// A regular file opened for reading and measured. What is not a regular file
// (a FIFO, a socket, a device, a folder) is refused at once rather than read
// as empty or waited on.
class InputFile {
public:
    InputFile() = default;
    ~InputFile() { Close(); }
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    // Opens path. Errors: "Can't open: PATH"; "Error: GetFileSize()" for
    // anything but a regular file of fewer than 2^31 bytes. With lock, waits
    // for an exclusive lock on the file, held until Close, and makes sure
    // that path still names the file locked: a run that held the lock before
    // may have replaced it, and then the new file is opened and locked.
    // Only other runs that lock it too are kept out.
    Error Open(const char *path, bool lock = false);
    // Closes the file and gives up the lock.
    void Close();
    // Done reading, for now: where an open file keeps it from being replaced
    // (Windows), closes the file while keeping the lock; elsewhere nothing
    // changes. Read, ReadAll and IsAt may not be called afterwards.
    void FinishReading();
    uint64_t size() const { return size_; }
    const std::string &path() const { return path_; }

    // Reads n bytes from offset into to; "Can't open: PATH" when fewer come.
    Error Read(uint64_t offset, uint8_t *to, uint64_t n) const;
    // The whole file in *buffer, memory that may be changed without changing
    // the file: with map, a copy-on-write mapping where the system has one,
    // so that a large file costs only the pages that are touched.
    Error ReadAll(Buffer *buffer, bool map = false) const;
    // Whether path names this very file (not a copy of it).
    bool IsAt(const char *path) const;

private:
    friend class OutputFile; // copies from the open file
    std::string path_;
    uint64_t size_ = 0;
    // The system's own: a descriptor or a handle, and whatever stands for
    // the lock where it is not the open file itself (a named mutex).
    intptr_t handle_ = -1;
    intptr_t lock_ = 0;
};

// An output written as it is made, in order, then committed whole: the same
// rules as WriteFileSafely below, which is one Open, one Write and Commit.
// Until Commit succeeds nothing at path has changed; an OutputFile dropped
// without Commit leaves no trace. Bytes may come from memory (Write) or be
// taken from ranges of an input file (Copy), so that a changed copy of a
// large file never has to be held whole: where the system can, Copy shares
// the input's bytes rather than moving them (the web page's output is a
// Blob made of slices of the original file).
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile(); // abandons an output not committed
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Errors as WriteFileSafely's; nothing is written at path yet. Without
    // flush, Commit flushes neither the file nor its folder: for many
    // outputs into one folder, flushed together by FlushFolder at the end
    // (Windows, which flushes no file it has not open, flushes each anyway).
    Error Open(const char *path, bool flush = true);
    Error Write(const uint8_t *data, uint64_t size);
    // Appends bytes [offset, offset + size) of from, which stays open.
    Error Copy(const InputFile &from, uint64_t offset, uint64_t size);
    // Flushes the output and puts it in place of path (the folder's entry
    // flushed too, where the system has that).
    Error Commit();

private:
    void Abandon();
    struct State;
    State *state_ = nullptr;
};

// The whole file at path in *buffer, as InputFile::ReadAll reads it.
Error ReadWholeFile(const char *path, Buffer *buffer);

// Writes size bytes of data to path, deciding by what path refers to, not by
// how it is spelled:
//  - a regular file, under whatever name (also through a symbolic link,
//    /proc/self/cwd or /dev/fd/N), or a name that does not exist yet, is
//    written to a temporary file in the same folder that replaces it only
//    once it is complete and flushed: the old contents survive any failure,
//    and no temporary file is left behind, also when SIGINT, SIGTERM or
//    SIGHUP (Ctrl-C or a closed console on Windows) ends the process
//    meanwhile. The file keeps its mode; its other hard links keep the old
//    contents. A file the process may not write is refused ("Can't open").
//  - standard output or standard error (/dev/stdout, /dev/fd/1) goes to the
//    descriptor the process was given, at its offset, so that >> appends;
//  - anything else (a device, a pipe) is written in place.
// Errors: "Can't open: PATH" when the output or its temporary twin cannot be
// created, "Can't write: PATH" when writing, flushing or replacing fails.
// Once it returns success, the new file and the folder entry that names it
// are on disk, so that a power cut cannot bring the old file back; flush
// leaves that to a FlushFolder later.
Error WriteFileSafely(const char *path, const uint8_t *data, uint64_t size, bool flush = true);

// Puts on disk every file written into the folder path without flush, and
// the folder itself: one flush for all of them rather than one each.
// Error: "Can't write: PATH".
Error FlushFolder(const char *path);

// The path of the entry name in folder: joined by a separator, unless folder
// ends with one or, on Windows, is a bare drive such as C:, whose names are
// relative to that drive's current folder.
std::string PathInFolder(const std::string &folder, const std::string &name);

// What an output path leads to now, decided as WriteFileSafely decides it,
// by what the path refers to rather than how it is spelled: nothing yet; a
// regular file, which writing the output replaces; the standard output the
// process was given (/dev/stdout, /dev/fd/1, /proc/self/fd/1 or a link to
// one of them; Windows has no name for it), written at its offset; or
// anything else (standard error, a device, a pipe, a folder, a path that
// cannot be looked at).
enum PathKind { PATH_NEW, PATH_FILE, PATH_STANDARD_OUTPUT, PATH_OTHER };
PathKind KindOfPath(const char *path);

// Creates the folder path unless a folder (or a link to one) is there already;
// its parent must exist. Returns whether path is a folder afterwards.
bool MakeFolder(const char *path);

// The names of the regular files (or links to them) in the folder path, in
// no particular order, in UTF-8 on Windows as every path is; folders,
// devices and pipes in it are left out, and go to *others where it is given
// (but for "." and ".."), none of them opened. Returns false when path is
// not a folder that can be read, and for the empty path, which names nothing.
bool ListFolder(const char *path, std::vector<std::string> *names, std::vector<std::string> *others = nullptr);

// Writes UTF-8 text to stream: as UTF-16 through the console functions when
// stream is a Windows console, as the bytes themselves everywhere else.
void PrintText(FILE *stream, const char *text);

// Returns a new stream to where stdout goes now, and points stdout itself at
// the null device, so that what other code prints to stdout from then on is
// dropped while the caller still reports through the returned stream. An
// output written to /dev/stdout afterwards still goes where stdout went.
// When that cannot be arranged, returns stdout unchanged.
FILE *DivertStdout(void);

#endif
