// What every implementation of Platform.h shares: the errors' wording,
// formatting, paths' folders, moving a buffer, diverting standard output
// (but on the page), and the whole-file helpers built on InputFile and
// OutputFile.
#include "Platform.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
// dup, dup2, fdopen and fileno exist under these names in the Windows C
// runtime too.
#include <fcntl.h>
#include <io.h>
static const char NULL_DEVICE[] = "NUL";
#elif !defined(__EMSCRIPTEN__)
#include <fcntl.h>
#include <unistd.h>
static const char NULL_DEVICE[] = "/dev/null";
#endif

Error CantOpen(const std::string &path) { return Error{"Can't open: " + path}; }
Error CantWrite(const std::string &path) { return Error{"Can't write: " + path}; }
Error NoMemory() { return Error{"Error: malloc()"}; }

std::string FormatArgs(const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int n = vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string text(n > 0 ? (size_t)n : 0, '\0');
    if (n > 0)
        vsnprintf(&text[0], text.size() + 1, format, args);
    return text;
}

std::string Format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatArgs(format, args);
    va_end(args);
    return text;
}

std::string FolderOf(const std::string &path)
{
#ifdef _WIN32
    const size_t slash = path.find_last_of("/\\");
#else
    const size_t slash = path.find_last_of('/');
#endif
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

#ifndef __EMSCRIPTEN__ // the page has no standard output to divert
int divertedStdout = 1;

FILE *DivertStdout(void)
{
    fflush(stdout);
    const int saved = dup(fileno(stdout));
    if (saved < 0)
        return stdout;
    const int null = open(NULL_DEVICE, O_WRONLY);
    FILE *report = null < 0 ? NULL : fdopen(saved, "w");
    if (report == NULL || dup2(null, fileno(stdout)) < 0) {
        if (report != NULL)
            fclose(report);
        else
            close(saved);
        if (null >= 0)
            close(null);
        return stdout;
    }
    close(null);
    divertedStdout = saved;
    return report;
}
#endif

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
