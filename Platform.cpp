#include "Platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

Error CantOpen(const std::string &path) { return Error{"Can't open: " + path}; }
Error CantWrite(const std::string &path) { return Error{"Can't write: " + path}; }
Error NoMemory() { return Error{"Error: malloc()"}; }

static Error NotMeasurable() { return Error{"Error: GetFileSize()"}; }

// Sizes are signed 32-bit numbers to the record format's tools: a larger
// file is refused rather than taken for its size modulo 2^32.
static const uint64_t LARGEST_FILE = INT32_MAX;

// A temporary file's name: the output's name, hidden, with the process and
// an attempt number, cut short where needed so that the whole fits in
// `limit` units of the system's names. `units` counts what a name is limited
// in; `cut` backs off to a whole character.
template <typename Text, typename Cut>
static Text TemporaryName(const Text &name, const Text &suffix, size_t limit, Cut cut)
{
    const size_t room = limit > suffix.size() + 1 ? limit - suffix.size() - 1 : 0;
    const size_t keep = name.size() <= room ? name.size() : cut(name, room);
    Text temp(1, '.');
    temp += name.substr(0, keep);
    temp += suffix;
    return temp;
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

Error ReadWholeFile(const char *path, Buffer *buffer)
{
    InputFile file;
    if (Error error = file.Open(path))
        return error;
    return file.ReadAll(buffer);
}

#ifdef _WIN32
// Files, folders, arguments and console output through the wide-character
// functions, so that a name in any script arrives and shows as typed; and
// replacing a file in one step. <windows.h> stays in this module; it defines
// names such as GetFileSize that the tool uses for its own functions.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

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

// Windows programs get no memory in large pages without a privilege that
// few accounts hold: buffers come from malloc.
static uint8_t *MapPages(uint64_t) { return nullptr; }

static void Unmap(uint8_t *, uint64_t) {}

// Files are shared for deleting too, so that another run may replace a file
// this one reads or holds locked: the lock, not the sharing mode, keeps runs
// apart.
static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

static bool SameFile(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION x, y;
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

// The lock is a mutex named after the file's identity rather than a lock on
// the file: Windows replaces no file that is open, so the file is closed
// before it is replaced, and the lock must outlive it. A mutex left behind
// by a run that ended without releasing it is taken over (WAIT_ABANDONED).
static HANDLE LockFile(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return nullptr;
    wchar_t name[64];
    swprintf(name, 64, L"Local\\exspack-%08lx-%08lx%08lx", (unsigned long)info.dwVolumeSerialNumber,
             (unsigned long)info.nFileIndexHigh, (unsigned long)info.nFileIndexLow);
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (mutex == nullptr)
        return nullptr;
    const DWORD waited = WaitForSingleObject(mutex, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

Error InputFile::Open(const char *path, bool lock)
{
    Close();
    path_ = path;
    std::wstring wide;
    if (!Widen(path, &wide))
        return CantOpen(path);
    for (;;) {
        const HANDLE file =
            CreateFileW(wide.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return CantOpen(path);
        handle_ = file;
        if (GetFileType(file) != FILE_TYPE_DISK)
            return NotMeasurable();
        if (!lock)
            break;
        lock_ = LockFile(file);
        if (lock_ == nullptr || IsAt(path))
            break; // locked, or no lock to be had: go on unguarded
        Close(); // replaced while this run waited: take the new file
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx((HANDLE)handle_, &size) || size.QuadPart < 0 || (uint64_t)size.QuadPart > LARGEST_FILE)
        return NotMeasurable();
    size_ = (uint64_t)size.QuadPart;
    return Error();
}

void InputFile::FinishReading()
{
    if (handle_ != nullptr)
        CloseHandle((HANDLE)handle_);
    handle_ = nullptr;
}

void InputFile::Close()
{
    FinishReading();
    if (lock_ != nullptr) {
        ReleaseMutex((HANDLE)lock_);
        CloseHandle((HANDLE)lock_);
    }
    lock_ = nullptr;
    size_ = 0;
}

Error InputFile::Read(uint64_t offset, uint8_t *to, uint64_t n) const
{
    while (n > 0) {
        OVERLAPPED at = {};
        at.Offset = (DWORD)offset;
        at.OffsetHigh = (DWORD)(offset >> 32);
        const DWORD chunk = n < (1u << 30) ? (DWORD)n : (DWORD)1 << 30;
        DWORD got = 0;
        if (!ReadFile((HANDLE)handle_, to, chunk, &got, &at) || got == 0)
            return CantOpen(path_);
        to += got;
        offset += got;
        n -= got;
    }
    return Error();
}

Error InputFile::ReadAll(Buffer *buffer, bool) const
{
    if (!buffer->Allocate(size_))
        return NoMemory();
    return Read(0, buffer->data(), size_);
}

bool InputFile::IsAt(const char *path) const
{
    std::wstring wide;
    if (handle_ == nullptr || !Widen(path, &wide))
        return false;
    const HANDLE other = CreateFileW(wide.c_str(), 0, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                     nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    const bool same = SameFile((HANDLE)handle_, other);
    CloseHandle(other);
    return same;
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

static Error WriteDirectly(const char *path, const std::wstring &wide, const uint8_t *data, uint64_t size)
{
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return CantOpen(path);
    const bool written = WriteAll(file, data, size);
    if (!CloseHandle(file) || !written)
        return CantWrite(path);
    return Error();
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

// The temporary file being written, for the console handler to delete when
// Ctrl-C or closing the console ends the process. The handler runs on a
// thread of its own; the file is open with FILE_SHARE_DELETE, so deleting
// it succeeds and takes effect when the process has ended.
static const wchar_t *volatile pendingTemp = nullptr;

static BOOL WINAPI RemoveTemporary(DWORD)
{
    if (const wchar_t *temp = pendingTemp)
        DeleteFileW(temp);
    return FALSE; // and end as the default handler ends the process
}

Error WriteFileSafely(const char *path, const uint8_t *data, uint64_t size)
{
    std::wstring target;
    if (!Widen(path, &target))
        return CantOpen(path);

    // What the name stands for now: nothing, a file, or a device such as NUL
    // or CON, which has no folder to put a temporary file in.
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    const HANDLE old = CreateFileW(target.c_str(), 0, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                   nullptr);
    if (old == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            return CantOpen(path); // no such folder, no access
    } else {
        if (GetFileType(old) != FILE_TYPE_DISK) {
            CloseHandle(old);
            return WriteDirectly(path, target, data, size);
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
            return CantOpen(path);
        const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
        if (info.dwFileAttributes & kept)
            attributes = info.dwFileAttributes & kept;
    }

    size_t slash = target.find_last_of(L"\\/");
    if (slash == std::wstring::npos && target.size() >= 2 && target[1] == L':')
        slash = 1; // C:name, relative to the drive's current folder
    const std::wstring folder = slash == std::wstring::npos ? L"" : target.substr(0, slash + 1);
    const std::wstring name = slash == std::wstring::npos ? target : target.substr(slash + 1);

    static const BOOL handling = SetConsoleCtrlHandler(RemoveTemporary, TRUE);
    (void)handling;
    std::wstring temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; file == INVALID_HANDLE_VALUE; attempt++) {
        // A name holds at most 255 UTF-16 units; a surrogate pair stays whole.
        temp = folder + TemporaryName(name, L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                                std::to_wstring(attempt) + L".tmp",
                                      255, [](const std::wstring &text, size_t n) {
                                          return n > 0 && IS_HIGH_SURROGATE(text[n - 1]) ? n - 1 : n;
                                      });
        file = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW, attributes, nullptr);
        if (file == INVALID_HANDLE_VALUE && (GetLastError() != ERROR_FILE_EXISTS || attempt == 100))
            return CantOpen(path);
    }
    pendingTemp = temp.c_str();
    bool ok = WriteAll(file, data, size) && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    ok = ok && MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok)
        DeleteFileW(temp.c_str());
    pendingTemp = nullptr;
    return ok ? Error() : CantWrite(path);
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

bool ListFolder(const char *path, std::vector<std::string> *names, std::vector<std::string> *others)
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
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names->push_back(Narrow(entry.cFileName));
        else if (others != nullptr && wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0)
            others->push_back(Narrow(entry.cFileName));
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

#define NULL_DEVICE "NUL"

#else

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// size bytes in large pages, or NULL where malloc does as well (below 16
// MiB) or no mapping can be had.
static uint8_t *MapPages(uint64_t size)
{
    if (size < ((uint64_t)1 << 24))
        return nullptr;
    void *map = mmap(nullptr, (size_t)size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(map, (size_t)size, MADV_HUGEPAGE);
#endif
    return (uint8_t *)map;
}

static void Unmap(uint8_t *data, uint64_t size) { munmap(data, (size_t)size); }

static bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

Error InputFile::Open(const char *path, bool lock)
{
    Close();
    path_ = path;
    struct stat info;
    for (;;) {
        // Without O_NONBLOCK, opening a FIFO would wait for a writer.
        fd_ = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return CantOpen(path);
        if (fstat(fd_, &info) != 0)
            return CantOpen(path);
        if (!S_ISREG(info.st_mode))
            return NotMeasurable();
        if (!lock)
            break;
        int locked;
        while ((locked = flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (locked != 0 || IsAt(path))
            break; // locked, or a file system without locks: go on unguarded
        Close(); // replaced while this run waited: take the new file
    }
    if (fstat(fd_, &info) != 0 || info.st_size < 0 || (uint64_t)info.st_size > LARGEST_FILE)
        return NotMeasurable();
    size_ = (uint64_t)info.st_size;
    return Error();
}

void InputFile::FinishReading() {}

void InputFile::Close()
{
    if (fd_ >= 0)
        close(fd_); // and with it the lock
    fd_ = -1;
    size_ = 0;
}

Error InputFile::Read(uint64_t offset, uint8_t *to, uint64_t n) const
{
    while (n > 0) {
        const size_t chunk = n < (1u << 30) ? (size_t)n : (size_t)1 << 30;
        const ssize_t got = pread(fd_, to, chunk, (off_t)offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return CantOpen(path_);
        to += got;
        offset += (uint64_t)got;
        n -= (uint64_t)got;
    }
    return Error();
}

Error InputFile::ReadAll(Buffer *buffer, bool map) const
{
    if (map && size_ > 0 && size_ <= SIZE_MAX) {
        void *data = mmap(nullptr, (size_t)size_, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd_, 0);
        if (data != MAP_FAILED) {
#ifdef MADV_POPULATE_READ
            // Page tables for the whole file at once, without copying
            // anything: far cheaper than a fault per page when all of it is
            // read or written out.
            madvise(data, (size_t)size_, MADV_POPULATE_READ);
#endif
            buffer->Release();
            buffer->data_ = (uint8_t *)data;
            buffer->size_ = size_;
            buffer->kind_ = Buffer::MAPPED;
            return Error();
        }
    }
    if (!buffer->Allocate(size_))
        return NoMemory();
    return Read(0, buffer->data(), size_);
}

bool InputFile::IsAt(const char *path) const
{
    struct stat mine, named;
    return fd_ >= 0 && fstat(fd_, &mine) == 0 && stat(path, &named) == 0 && SameFile(mine, named);
}

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

static Error WriteDirectly(const char *path, const uint8_t *data, uint64_t size)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return CantOpen(path);
    const bool written = WriteAll(fd, data, size);
    if (close(fd) != 0 || !written)
        return CantWrite(path);
    return Error();
}

// Where DivertStdout put the real standard output, or 1.
static int realStdout = 1;

// The descriptor of this process that path leads to through its folder of
// descriptors (/dev/stdout, /dev/fd/N, /proc/self/fd/N), or -1: the links
// are followed one by one until one lies in that folder.
static int DescriptorBehind(const char *path)
{
    const std::string own = "/proc/" + std::to_string(getpid()) + "/";
    std::string at = path;
    for (int links = 0; links < 40; links++) {
        const size_t slash = at.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : at.substr(0, slash);
        const std::string name = slash == std::string::npos ? at : at.substr(slash + 1);
        char *resolved = realpath(folder.c_str(), nullptr);
        if (resolved == nullptr)
            return -1;
        const std::string real = resolved;
        free(resolved);
        // /proc/PID/fd, or /proc/PID/task/TID/fd by way of /proc/thread-self.
        if (real.compare(0, own.size(), own) == 0 && real.size() >= 3 && real.compare(real.size() - 3, 3, "/fd") == 0 &&
            !name.empty() && name.size() < 10 && name.find_first_not_of("0123456789") == std::string::npos)
            return atoi(name.c_str());
        char target[PATH_MAX];
        const ssize_t n = readlink(at.c_str(), target, sizeof target - 1);
        if (n <= 0)
            return -1;
        target[n] = '\0';
        at = target[0] == '/' ? std::string(target) : real + "/" + target;
    }
    return -1;
}

// The temporary file being written, for the signal handler to remove.
// Signals are blocked while it changes, so the handler sees it set exactly
// while the file exists under that name.
static const char *volatile pendingTemp = nullptr;

static void RemoveTemporaryAndDie(int signal)
{
    if (const char *temp = pendingTemp)
        unlink(temp);
    // Then end as the signal would have: it is blocked until the handler
    // returns, and then takes its default action.
    struct sigaction plain = {};
    plain.sa_handler = SIG_DFL;
    sigaction(signal, &plain, nullptr);
    raise(signal);
}

static const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

static void HandleInterrupts()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    for (int signal : CLEANUP_SIGNALS) {
        struct sigaction action = {}, old;
        action.sa_handler = RemoveTemporaryAndDie;
        sigfillset(&action.sa_mask);
        // A signal ignored from the start (nohup, a background job) stays so.
        if (sigaction(signal, &action, &old) == 0 && old.sa_handler == SIG_IGN)
            sigaction(signal, &old, nullptr);
    }
}

static void BlockInterrupts(bool block, sigset_t *old)
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : CLEANUP_SIGNALS)
        sigaddset(&set, signal);
    sigprocmask(block ? SIG_BLOCK : SIG_SETMASK, block ? &set : old, block ? old : nullptr);
}

// How many bytes a name may have in folder.
static size_t NameLimit(const std::string &folder)
{
    const long limit = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    return limit > 0 ? (size_t)limit : 255;
}

Error WriteFileSafely(const char *path, const uint8_t *data, uint64_t size)
{
    // A file over the size limit would otherwise kill the process with
    // SIGXFSZ and leave the temporary file behind; as an error it is cleaned up.
    signal(SIGXFSZ, SIG_IGN);

    const int descriptor = DescriptorBehind(path);
    if (descriptor == 1 || descriptor == 2) {
        if (!WriteAll(descriptor == 1 ? realStdout : 2, data, size))
            return CantWrite(path);
        return Error();
    }
    struct stat old;
    const bool exists = stat(path, &old) == 0;
    if (exists ? !S_ISREG(old.st_mode) : errno != ENOENT)
        return WriteDirectly(path, data, size);
    struct stat link;
    if (!exists && lstat(path, &link) == 0)
        return WriteDirectly(path, data, size); // a dangling link: create what it names

    // Replace the file itself, found by its own name, not a link to it nor
    // a name under /proc, which rename cannot replace.
    std::string target = path;
    if (exists) {
        // The mode protects a file from its owner too, as it does for tools
        // that write in place; root passes, as everywhere.
        if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0 && errno == EACCES)
            return CantOpen(path);
        char *resolved = realpath(path, nullptr);
        struct stat named;
        const bool found = resolved != nullptr && stat(resolved, &named) == 0 && SameFile(named, old);
        if (resolved != nullptr)
            target = resolved;
        free(resolved);
        if (!found)
            return CantOpen(path); // a file without a name, such as a deleted one still open
    }
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    const size_t limit = NameLimit(folder);

    HandleInterrupts();
    sigset_t mask;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; attempt++) {
        // Cut on a character of UTF-8, so that the name still reads.
        temp = folder + TemporaryName(name, "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp",
                                      limit, [](const std::string &text, size_t n) {
                                          while (n > 0 && (text[n] & 0xC0) == 0x80)
                                              n--;
                                          return n;
                                      });
        BlockInterrupts(true, &mask);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            pendingTemp = temp.c_str();
        BlockInterrupts(false, &mask);
        if (fd < 0 && (errno != EEXIST || attempt == 100))
            return CantOpen(path);
    }
    if (exists) {
        // Best effort: a file we may replace but not chown keeps our owner.
        (void)!fchown(fd, old.st_uid, old.st_gid);
        (void)!fchmod(fd, old.st_mode & 07777);
    }
    bool ok = WriteAll(fd, data, size) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    BlockInterrupts(true, &mask);
    ok = ok && rename(temp.c_str(), target.c_str()) == 0;
    if (!ok)
        unlink(temp.c_str());
    pendingTemp = nullptr;
    BlockInterrupts(false, &mask);
    return ok ? Error() : CantWrite(path);
}

bool MakeFolder(const char *path)
{
    if (mkdir(path, 0777) == 0)
        return true;
    struct stat folder;
    return errno == EEXIST && stat(path, &folder) == 0 && S_ISDIR(folder.st_mode);
}

void GetArguments(int *, char ***) {}

bool ListFolder(const char *path, std::vector<std::string> *names, std::vector<std::string> *others)
{
    DIR *folder = opendir(path);
    if (folder == nullptr)
        return false;
    std::string prefix = path;
    if (prefix.empty() || prefix.back() != '/')
        prefix += '/';
    while (const struct dirent *entry = readdir(folder)) {
        struct stat info;
        if (stat((prefix + entry->d_name).c_str(), &info) == 0 && S_ISREG(info.st_mode))
            names->push_back(entry->d_name);
        else if (others != nullptr && strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            others->push_back(entry->d_name);
    }
    closedir(folder);
    return true;
}

void PrintText(FILE *stream, const char *text) { fputs(text, stream); }

#define NULL_DEVICE "/dev/null"

#endif

bool Buffer::Allocate(uint64_t size)
{
    Release();
    if (size > SIZE_MAX)
        return false;
    data_ = MapPages(size);
    kind_ = MAPPED;
    // malloc(0) may return NULL; an empty buffer must still succeed.
    if (data_ == nullptr) {
        data_ = (uint8_t *)malloc(size != 0 ? (size_t)size : 1);
        kind_ = HEAP;
    }
    if (data_ == nullptr) {
        kind_ = NONE;
        return false;
    }
    size_ = size;
    return true;
}

void Buffer::Release()
{
    if (kind_ == MAPPED)
        Unmap(data_, size_);
    else
        free(data_);
    data_ = nullptr;
    size_ = 0;
    kind_ = NONE;
}

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
#ifndef _WIN32
    realStdout = saved;
#endif
    return report;
}
