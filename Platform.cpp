#include "Platform.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#ifdef _WIN32
// Files, folders, arguments and console output through the wide-character
// functions, so that a name in any script arrives and shows as typed; and
// replacing a file in one step. <windows.h> stays in this module; it defines
// names such as GetFileSize that the tool uses for its own functions.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

// Inside the tool a path is UTF-8; the system takes UTF-16. A path is widened
// before it is taken apart, so that only whole characters are looked at.
// Bytes that are not UTF-8 name no file: the conversion fails instead of
// guessing.
static bool Widen(const char *path, std::wstring *wide)
{
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0)
        return false;
    wide->assign((size_t)n, L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, &(*wide)[0], n) != n)
        return false;
    wide->resize((size_t)n - 1);
    return true;
}

// The other way, for arguments and names in a folder. A lone surrogate, which
// no UTF-8 can hold, becomes U+FFFD.
static std::string Narrow(const wchar_t *wide)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string text((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], n, nullptr, nullptr);
    text.resize((size_t)n - 1);
    return text;
}

// WriteFile takes at most 4 GiB - 1 at a time, and may take less.
static bool WriteAll(HANDLE file, const uint8_t *data, uint64_t size)
{
    while (size > 0) {
        const DWORD chunk = size < (1u << 30) ? (DWORD)size : (DWORD)1 << 30;
        DWORD n = 0;
        if (!WriteFile(file, data, chunk, &n, nullptr) || n == 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

static WriteResult WriteDirectly(const std::wstring &path, const uint8_t *data, uint64_t size)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return WRITE_CANT_OPEN;
    const bool written = WriteAll(file, data, size);
    if (!CloseHandle(file) || !written)
        return WRITE_CANT_WRITE;
    return WRITE_OK;
}

// The file a symbolic link or junction leads to, so that the link survives.
static bool FinalPath(HANDLE file, std::wstring *path)
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(file, &buffer[0], (DWORD)buffer.size(), FILE_NAME_NORMALIZED);
        if (n == 0)
            return false;
        if (n < buffer.size()) {
            buffer.resize(n);
            *path = buffer;
            return true;
        }
        buffer.assign(n, L'\0');
    }
}

WriteResult WriteFileSafely(const char *path, const uint8_t *data, uint64_t size)
{
    std::wstring target;
    if (!Widen(path, &target))
        return WRITE_CANT_OPEN;

    // What the name stands for now: nothing, a file, or a device such as NUL
    // or CON, which has no folder to put a temporary file in.
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    const HANDLE old = CreateFileW(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (old == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            return WRITE_CANT_OPEN; // no such folder, no access
    } else {
        if (GetFileType(old) != FILE_TYPE_DISK) {
            CloseHandle(old);
            return WriteDirectly(target, data, size);
        }
        BY_HANDLE_FILE_INFORMATION info;
        // A read-only file could not be opened for writing, and so is not
        // replaced either.
        bool ok = GetFileInformationByHandle(old, &info) &&
                  !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
        if (ok && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            ok = FinalPath(old, &target);
        CloseHandle(old);
        if (!ok)
            return WRITE_CANT_OPEN;
        const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
        if (info.dwFileAttributes & kept)
            attributes = info.dwFileAttributes & kept;
    }

    size_t slash = target.find_last_of(L"\\/");
    if (slash == std::wstring::npos && target.size() >= 2 && target[1] == L':')
        slash = 1; // C:name, relative to the drive's current folder
    const std::wstring folder = slash == std::wstring::npos ? L"" : target.substr(0, slash + 1);
    const std::wstring name = slash == std::wstring::npos ? target : target.substr(slash + 1);

    std::wstring temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; file == INVALID_HANDLE_VALUE; attempt++) {
        temp = folder + L"." + name + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(attempt) + L".tmp";
        file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
        if (file == INVALID_HANDLE_VALUE && (GetLastError() != ERROR_FILE_EXISTS || attempt == 100))
            return WRITE_CANT_OPEN;
    }
    bool ok = WriteAll(file, data, size) && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    ok = ok && MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        DeleteFileW(temp.c_str());
        return WRITE_CANT_WRITE;
    }
    return WRITE_OK;
}

bool MakeFolder(const char *path)
{
    std::wstring folder;
    if (!Widen(path, &folder))
        return false;
    if (CreateDirectoryW(folder.c_str(), nullptr))
        return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The C runtime's wide twin of the __getmainargs that filled main's argv: the
// same command line, split by the same rules, but not squeezed through the
// ANSI code page. It keeps the tool's imports to KERNEL32 and msvcrt, where
// CommandLineToArgvW would bring in SHELL32.
struct StartupInfo {
    int newMode;
};
extern "C" int __cdecl __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***env, int glob, StartupInfo *info);

void GetArguments(int *argc, char ***argv)
{
    int count = 0;
    wchar_t **wide = nullptr, **env = nullptr;
    StartupInfo info = {0};
    if (__wgetmainargs(&count, &wide, &env, 0, &info) < 0 || wide == nullptr)
        return; // keep the ANSI arguments rather than none
    // Lives as long as the process, as main's own arguments do.
    static std::vector<std::string> texts;
    static std::vector<char *> pointers;
    for (int i = 0; i < count; i++)
        texts.push_back(Narrow(wide[i]));
    for (std::string &text : texts)
        pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    *argc = count;
    *argv = pointers.data();
}

FILE *OpenFile(const char *path)
{
    std::wstring wide;
    return Widen(path, &wide) ? _wfopen(wide.c_str(), L"rb") : nullptr;
}

bool ListFolder(const char *path, std::vector<std::string> *names)
{
    std::wstring pattern;
    if (!Widen(path, &pattern))
        return false;
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/' && pattern.back() != L':')
        pattern += L'\\';
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((pattern + L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    do {
        if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0)
            names->push_back(Narrow(entry.cFileName));
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return true;
}

// A console shows UTF-16 written with WriteConsoleW; the C runtime would send
// it the bytes in the console's code page. Anything else (a file, a pipe, NUL,
// which _isatty takes for a terminal) gets the UTF-8 bytes themselves.
void PrintText(FILE *stream, const char *text)
{
    const HANDLE handle = (HANDLE)_get_osfhandle(_fileno(stream));
    DWORD mode;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        fputs(text, stream);
        return;
    }
    // What went through the stream before must show first.
    fflush(stream);
    std::wstring wide;
    for (const char *at = text; *at != '\0'; at++) {
        const char *line = strchr(at, '\n');
        const int length = line == nullptr ? (int)strlen(at) : (int)(line - at);
        const int n = MultiByteToWideChar(CP_UTF8, 0, at, length, nullptr, 0);
        const size_t start = wide.size();
        wide.resize(start + (size_t)n);
        if (n > 0)
            MultiByteToWideChar(CP_UTF8, 0, at, length, &wide[start], n);
        if (line == nullptr)
            break;
        wide += L"\r\n"; // as the stream's text mode would end the line
        at = line;
    }
    for (size_t done = 0; done < wide.size();) {
        // Older consoles take no more than about 64 KiB at once; a surrogate
        // pair stays in one piece.
        DWORD chunk = (DWORD)std::min<size_t>(wide.size() - done, 8192);
        if (done + chunk < wide.size() && IS_HIGH_SURROGATE(wide[done + chunk - 1]))
            chunk--;
        DWORD written = 0;
        if (!WriteConsoleW(handle, wide.data() + done, chunk, &written, nullptr) || written == 0)
            return;
        done += written;
    }
}

uint8_t *MapFile(FILE *, uint64_t) { return nullptr; }

uint8_t *MapMemory(uint64_t) { return nullptr; }

void ReleaseBuffer(uint8_t *data, uint64_t) { free(data); }

#define NULL_DEVICE "NUL"

#else

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// Writes everything or fails; write() may take fewer bytes than asked.
static bool WriteAll(int fd, const uint8_t *data, uint64_t size)
{
    while (size > 0) {
        const size_t chunk = size < (1u << 30) ? (size_t)size : (size_t)1 << 30;
        const ssize_t n = write(fd, data, chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= (uint64_t)n;
    }
    return true;
}

static WriteResult WriteDirectly(const char *path, const uint8_t *data, uint64_t size)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        return WRITE_CANT_OPEN;
    const bool written = WriteAll(fd, data, size);
    if (close(fd) != 0 || !written)
        return WRITE_CANT_WRITE;
    return WRITE_OK;
}

// Devices and pseudo-files reached by name (/dev/stdout, /proc/self/fd/1)
// are streams even when they resolve to a regular file.
static bool IsStreamPath(const char *path)
{
    return strncmp(path, "/dev/", 5) == 0 || strncmp(path, "/proc/", 6) == 0;
}

WriteResult WriteFileSafely(const char *path, const uint8_t *data, uint64_t size)
{
    // A file over the size limit would otherwise kill the process with
    // SIGXFSZ and leave the temporary file behind; as an error it is cleaned up.
    signal(SIGXFSZ, SIG_IGN);

    struct stat old;
    const bool exists = stat(path, &old) == 0;
    if (exists ? !S_ISREG(old.st_mode) : errno != ENOENT)
        return WriteDirectly(path, data, size);
    struct stat link;
    if (IsStreamPath(path) || (!exists && lstat(path, &link) == 0))
        return WriteDirectly(path, data, size); // a stream, or a dangling link

    // Replace the file a link points to, not the link.
    std::string target = path;
    if (exists) {
        char *resolved = realpath(path, nullptr);
        if (resolved == nullptr)
            return WRITE_CANT_OPEN;
        target = resolved;
        free(resolved);
    }
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);

    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; attempt++) {
        temp = folder + "." + name + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd < 0 && (errno != EEXIST || attempt == 100))
            return WRITE_CANT_OPEN;
    }
    if (exists) {
        // Best effort: a file we may replace but not chown keeps our owner.
        (void)!fchown(fd, old.st_uid, old.st_gid);
        (void)!fchmod(fd, old.st_mode & 07777);
    }
    bool ok = WriteAll(fd, data, size) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return WRITE_CANT_WRITE;
    }
    return WRITE_OK;
}

bool MakeFolder(const char *path)
{
    if (mkdir(path, 0777) == 0)
        return true;
    struct stat folder;
    return errno == EEXIST && stat(path, &folder) == 0 && S_ISDIR(folder.st_mode);
}

void GetArguments(int *, char ***) {}

FILE *OpenFile(const char *path) { return fopen(path, "rb"); }

bool ListFolder(const char *path, std::vector<std::string> *names)
{
    DIR *folder = opendir(path);
    if (folder == nullptr)
        return false;
    while (const struct dirent *entry = readdir(folder))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names->push_back(entry->d_name);
    closedir(folder);
    return true;
}

void PrintText(FILE *stream, const char *text) { fputs(text, stream); }

// What MapFile and MapMemory mapped, for ReleaseBuffer to tell from
// buffers of malloc.
static std::vector<uint8_t *> mapped;

static uint8_t *Mapped(void *data)
{
    if (data == MAP_FAILED)
        return nullptr;
    mapped.push_back((uint8_t *)data);
    return (uint8_t *)data;
}

uint8_t *MapFile(FILE *file, uint64_t size)
{
    if (size == 0 || size > SIZE_MAX)
        return nullptr;
    uint8_t *data = Mapped(mmap(nullptr, (size_t)size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fileno(file), 0));
#ifdef MADV_POPULATE_READ
    // Page tables for the whole file at once, without copying anything: far
    // cheaper than a fault per page when all of it is read or written out.
    if (data != nullptr)
        madvise(data, (size_t)size, MADV_POPULATE_READ);
#endif
    return data;
}

uint8_t *MapMemory(uint64_t size)
{
    if (size < ((uint64_t)1 << 24) || size > SIZE_MAX)
        return nullptr; // malloc does as well below 16 MiB
    uint8_t *data = Mapped(mmap(nullptr, (size_t)size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
#ifdef MADV_HUGEPAGE
    if (data != nullptr)
        madvise(data, (size_t)size, MADV_HUGEPAGE);
#endif
    return data;
}

void ReleaseBuffer(uint8_t *data, uint64_t size)
{
    const auto at = std::find(mapped.begin(), mapped.end(), data);
    if (at == mapped.end()) {
        free(data);
        return;
    }
    munmap(data, (size_t)size);
    mapped.erase(at);
}

#define NULL_DEVICE "/dev/null"

#endif

// dup, dup2, fdopen and fileno exist under these names in the Windows C
// runtime too.
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
    return report;
}
