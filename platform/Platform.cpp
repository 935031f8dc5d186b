// What every implementation of Platform.h shares: the errors' wording, moving
// a buffer, and the whole-file helpers built on InputFile and OutputFile.
#include "Platform.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

Error CantOpen(const std::string &path) { return Error{"Can't open: " + path}; }
Error CantWrite(const std::string &path) { return Error{"Can't write: " + path}; }
Error NoMemory() { return Error{"Error: malloc()"}; }

std::string Format(const char *format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int n = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? (size_t)n : 0, '\0');
    if (n > 0)
        vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    return text;
}

std::string FolderOf(const std::string &path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

Buffer &Buffer::operator=(Buffer &&other) noexcept
{
    if (this != &other) {
        Release();
        data_ = other.data_;
        size_ = other.size_;
        kind_ = other.kind_;
        other.data_ = nullptr;
        other.size_ = 0;
        other.kind_ = NONE;
    }
    return *this;
}

bool Buffer::AllocateHeap(uint64_t size)
{
    if (size > SIZE_MAX)
        return false;
    // malloc(0) may return NULL; an empty buffer must still succeed.
    data_ = (uint8_t *)malloc(size != 0 ? (size_t)size : 1);
    if (data_ == nullptr)
        return false;
    kind_ = HEAP;
    size_ = size;
    return true;
}

Error ReadWholeFile(const char *path, Buffer *buffer)
{
    InputFile file;
    if (Error error = file.Open(path))
        return error;
    return file.ReadAll(buffer);
}

Error WriteFileSafely(const char *path, const uint8_t *data, uint64_t size, bool flush)
{
    OutputFile output;
    if (Error error = output.Open(path, flush))
        return error;
    if (Error error = output.Write(data, size))
        return error;
    return output.Commit();
}
