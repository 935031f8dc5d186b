// Platform.h for the web page: the tool's files are the worker's own. An
// input is a File or Blob the page handed over, read in slices through
// FileReaderSync, never whole unless the module asks for all of it; an
// output is a list of parts, bytes written and slices of inputs, that
// becomes one Blob when it is committed, so that a changed copy of a large
// image shares every unchanged byte with the original file. Folders are
// names under which files are kept. The JavaScript half is files.js.
#include "Platform.h"

#include <stdlib.h>
#include <string.h>

#include <string>

extern "C" {
// -1 for no file at path, -2 for a folder, else the file's size.
double web_file_size(const char *path);
// Copies n bytes from offset of the file at path to memory at to; whether
// all of them came.
int web_file_read(const char *path, double offset, uint8_t *to, double n);
int web_output_open(void);
void web_output_write(int output, const uint8_t *data, double size);
int web_output_copy(int output, const char *path, double offset, double size);
void web_output_commit(int output, const char *path);
void web_output_drop(int output);
int web_make_folder(const char *path);
// The names of a folder's files, each followed by a NUL and the list by
// another, then those of its folders the same way, in memory from malloc;
// NULL for no folder at path.
char *web_list_folder(const char *path);
}

// As on every system: sizes are signed 32-bit numbers to the record
// format's tools.
static const uint64_t LARGEST_FILE = INT32_MAX;

void GetArguments(int *, char ***) {}

bool Buffer::Allocate(uint64_t size)
{
    Release();
    return AllocateHeap(size);
}

void Buffer::Release()
{
    free(data_);
    data_ = nullptr;
    size_ = 0;
    kind_ = NONE;
}

// No other run can reach the worker's files: nothing to lock. The handle
// only says whether the file is open, the lock whether it was asked for;
// the path names the file.
Error InputFile::Open(const char *path, bool lock)
{
    Close();
    path_ = path;
    const double size = web_file_size(path);
    if (size == -1)
        return CantOpen(path);
    if (size < 0 || size > (double)LARGEST_FILE)
        return Error{"Error: GetFileSize()"};
    size_ = (uint64_t)size;
    handle_ = 0;
    lock_ = lock;
    return Error();
}

void InputFile::Close()
{
    handle_ = -1;
    size_ = 0;
}

void InputFile::FinishReading() {}

Error InputFile::Read(uint64_t offset, uint8_t *to, uint64_t n) const
{
    if (handle_ < 0 || offset + n > size_ || !web_file_read(path_.c_str(), (double)offset, to, (double)n))
        return CantOpen(path_);
    return Error();
}

Error InputFile::ReadAll(Buffer *buffer, bool) const
{
    if (!buffer->Allocate(size_))
        return NoMemory();
    return Read(0, buffer->data(), size_);
}

// Paths are the worker's names for its files, and one name is one file.
bool InputFile::IsAt(const char *path) const { return handle_ >= 0 && path_ == path; }

struct OutputFile::State {
    int output;
    std::string path;
};

OutputFile::~OutputFile() { Abandon(); }

void OutputFile::Abandon()
{
    if (state_ != nullptr)
        web_output_drop(state_->output);
    delete state_;
    state_ = nullptr;
}

// Nothing to flush: the outputs live as long as the page.
Error OutputFile::Open(const char *path, bool)
{
    Abandon();
    if (web_file_size(path) == -2)
        return CantOpen(path);
    state_ = new State{web_output_open(), path};
    return Error();
}

Error OutputFile::Write(const uint8_t *data, uint64_t size)
{
    if (state_ == nullptr)
        return CantWrite("");
    if (size > 0)
        web_output_write(state_->output, data, (double)size);
    return Error();
}

Error OutputFile::Copy(const InputFile &from, uint64_t offset, uint64_t size)
{
    if (state_ == nullptr)
        return CantWrite("");
    if (offset + size > from.size() || !web_output_copy(state_->output, from.path().c_str(), (double)offset, (double)size))
        return CantOpen(from.path());
    return Error();
}

Error OutputFile::Commit()
{
    if (state_ == nullptr)
        return CantWrite("");
    web_output_commit(state_->output, state_->path.c_str());
    delete state_;
    state_ = nullptr;
    return Error();
}

Error FlushFolder(const char *) { return Error(); }

std::string PathInFolder(const std::string &folder, const std::string &name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The worker's files: no standard output, no devices, nothing to lose to a
// typo but a file the page was given or made.
PathKind KindOfPath(const char *path)
{
    const double size = web_file_size(path);
    return size == -1 ? PATH_NEW : size == -2 ? PATH_OTHER : PATH_FILE;
}

bool MakeFolder(const char *path) { return web_make_folder(path) != 0; }

// The worker's folders hold files only.
bool ListFolder(const char *path, std::vector<std::string> *names, std::vector<std::string> *others)
{
    char *list = *path != '\0' ? web_list_folder(path) : nullptr;
    if (list == nullptr)
        return false;
    const char *name = list;
    for (; *name != '\0'; name += strlen(name) + 1)
        names->push_back(name);
    for (name++; *name != '\0'; name += strlen(name) + 1)
        if (others != nullptr)
            others->push_back(name);
    free(list);
    return true;
}

void PrintText(FILE *stream, const char *text) { fputs(text, stream); }

// The codec's own messages on stdout are the console's business; the page
// takes its reports from the binding, never from a stream.
FILE *DivertStdout(void) { return stdout; }
