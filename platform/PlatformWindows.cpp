// Platform.h on Windows: files, folders, arguments and console output through
// the wide-character functions, so that a name in any script arrives and
// shows as typed; a named mutex for the lock; MoveFileEx for replacing a file
// in one step. <windows.h> stays in this file; it defines names such as
// GetFileSize that the tool uses for its own functions.
#include "Platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

static Error NotMeasurable() { return Error{"Error: GetFileSize()"}; }

// Sizes are signed 32-bit numbers to the record format's tools: a larger
// file is refused rather than taken for its size modulo 2^32.
static const uint64_t LARGEST_FILE = INT32_MAX;

// Bytes moved at a time when copying from an input file.
static const uint64_t COPY_CHUNK = 1 << 20;

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

// The long form of path (\\?\C:\..., \\?\UNC\server\...), which no MAX_PATH
// limits: a file whose name fits may still have a temporary twin whose name
// does not. The full path is made first, as the long form takes no "..",
// "." or "/".
static std::wstring LongPath(const std::wstring &path)
{
    if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0)
        return path;
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return path;
    std::wstring full(n, L'\0');
    const DWORD got = GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
    if (got == 0 || got >= n)
        return path;
    full.resize(got);
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Windows programs get no memory in large pages without a privilege that
// few accounts hold: buffers come from malloc.
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

// Files are shared for deleting too, so that another run may replace a file
// this one reads: the lock, not the sharing mode, keeps runs apart.
static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

static HANDLE OpenToRead(const std::wstring &path)
{
    return CreateFileW(path.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A file's identity: its volume and its index there.
struct FileId {
    DWORD volume, high, low;
    bool operator==(const FileId &other) const
    {
        return volume == other.volume && high == other.high && low == other.low;
    }
};

static bool Identify(HANDLE file, FileId *id)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return false;
    *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

// The lock is a mutex named after the file's identity rather than a lock on
// the file: Windows replaces no file that is open, so a run holds the file
// open neither while it waits for the lock nor when it replaces the file,
// and the lock must outlive the open file. A mutex left behind by a run that
// ended without releasing it is taken over (WAIT_ABANDONED). NULL when no
// mutex can be had.
static HANDLE WaitForLock(const FileId &id)
{
    wchar_t name[64];
    swprintf(name, 64, L"Local\\exspack-%08lx-%08lx%08lx", (unsigned long)id.volume, (unsigned long)id.high,
             (unsigned long)id.low);
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

static void Unlock(intptr_t *lock)
{
    if (*lock != 0) {
        ReleaseMutex((HANDLE)*lock);
        CloseHandle((HANDLE)*lock);
    }
    *lock = 0;
}

Error InputFile::Open(const char *path, bool lock)
{
    Close();
    path_ = path;
    std::wstring wide;
    if (!Widen(path, &wide) || wide.empty())
        return CantOpen(path);
    HANDLE file = OpenToRead(wide);
    if (file == INVALID_HANDLE_VALUE)
        return CantOpen(path);
    handle_ = (intptr_t)file;
    if (GetFileType(file) != FILE_TYPE_DISK)
        return NotMeasurable();
    // Learn which file the path names, let go of it while waiting for its
    // lock, so that the run holding the lock may replace it, then open it
    // again: when the path names another file by now, that one is locked.
    FileId id, now;
    while (lock && Identify(file, &id)) {
        FinishReading();
        const HANDLE mutex = WaitForLock(id);
        lock_ = (intptr_t)mutex;
        file = OpenToRead(wide);
        if (file == INVALID_HANDLE_VALUE)
            return CantOpen(path);
        handle_ = (intptr_t)file;
        if (GetFileType(file) != FILE_TYPE_DISK)
            return NotMeasurable();
        if (mutex == nullptr || (Identify(file, &now) && now == id))
            break; // locked, or no lock to be had: go on unguarded
        Unlock(&lock_);
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 || (uint64_t)size.QuadPart > LARGEST_FILE)
        return NotMeasurable();
    size_ = (uint64_t)size.QuadPart;
    return Error();
}

void InputFile::FinishReading()
{
    if (handle_ != -1)
        CloseHandle((HANDLE)handle_);
    handle_ = -1;
}

void InputFile::Close()
{
    FinishReading();
    Unlock(&lock_);
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
        if (handle_ == -1 || !ReadFile((HANDLE)handle_, to, chunk, &got, &at) || got == 0)
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
    if (handle_ == -1 || !Widen(path, &wide) || wide.empty())
        return false;
    const HANDLE other = CreateFileW(wide.c_str(), 0, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                     nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    FileId mine, its;
    const bool same = Identify((HANDLE)handle_, &mine) && Identify(other, &its) && mine == its;
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
// it succeeds and takes effect when the process has ended. The tool writes
// one output at a time.
static const wchar_t *volatile pendingTemp = nullptr;

static BOOL WINAPI RemoveTemporary(DWORD)
{
    if (const wchar_t *temp = pendingTemp)
        DeleteFileW(temp);
    return FALSE; // and end as the default handler ends the process
}

// A temporary file's name in folder: the output's name, hidden, with the
// process and an attempt number, cut short where the whole would pass 255
// UTF-16 units, keeping a surrogate pair whole.
static std::wstring TemporaryName(const std::wstring &folder, const std::wstring &name, int attempt)
{
    const std::wstring suffix =
        L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + L".tmp";
    const size_t room = 255 > suffix.size() + 1 ? 255 - suffix.size() - 1 : 0;
    size_t keep = std::min(name.size(), room);
    if (keep < name.size() && keep > 0 && IS_HIGH_SURROGATE(name[keep - 1]))
        keep--;
    return folder + L"." + name.substr(0, keep) + suffix;
}

struct OutputFile::State {
    bool replace;       // a temporary file that takes target's place; else a device written in place
    std::string path;   // as the caller named it, for messages
    std::wstring target, temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    bool flush = true;
    bool failed = false;
};

OutputFile::~OutputFile() { Abandon(); }

void OutputFile::Abandon()
{
    if (state_ == nullptr)
        return;
    if (state_->file != INVALID_HANDLE_VALUE)
        CloseHandle(state_->file);
    if (state_->replace) {
        DeleteFileW(state_->temp.c_str());
        pendingTemp = nullptr;
    }
    delete state_;
    state_ = nullptr;
}

Error OutputFile::Open(const char *path, bool flush)
{
    Abandon();
    std::wstring target;
    if (!Widen(path, &target) || target.empty())
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
            const HANDLE device = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (device == INVALID_HANDLE_VALUE)
                return CantOpen(path);
            state_ = new State{false, path, target, L"", device, flush, false};
            return Error();
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
    target = LongPath(target);
    const size_t slash = target.find_last_of(L'\\');
    const std::wstring folder = slash == std::wstring::npos ? L"" : target.substr(0, slash + 1);
    const std::wstring name = slash == std::wstring::npos ? target : target.substr(slash + 1);

    static const BOOL handling = SetConsoleCtrlHandler(RemoveTemporary, TRUE);
    (void)handling;
    State *state = new State{true, path, target, L"", INVALID_HANDLE_VALUE, flush, false};
    for (int attempt = 0; state->file == INVALID_HANDLE_VALUE; attempt++) {
        state->temp = TemporaryName(folder, name, attempt);
        state->file = CreateFileW(state->temp.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  attributes, nullptr);
        if (state->file == INVALID_HANDLE_VALUE && (GetLastError() != ERROR_FILE_EXISTS || attempt == 100)) {
            delete state;
            return CantOpen(path);
        }
    }
    pendingTemp = state->temp.c_str();
    state_ = state;
    return Error();
}

Error OutputFile::Write(const uint8_t *data, uint64_t size)
{
    if (state_ == nullptr || state_->failed || !WriteAll(state_->file, data, size)) {
        if (state_ != nullptr)
            state_->failed = true;
        return CantWrite(state_ != nullptr ? state_->path : std::string());
    }
    return Error();
}

Error OutputFile::Copy(const InputFile &from, uint64_t offset, uint64_t size)
{
    std::string chunk((size_t)std::min(size, COPY_CHUNK), '\0');
    uint8_t *bytes = (uint8_t *)&chunk[0];
    while (size > 0) {
        const uint64_t n = std::min<uint64_t>(size, chunk.size());
        if (Error error = from.Read(offset, bytes, n))
            return error;
        if (Error error = Write(bytes, n))
            return error;
        offset += n;
        size -= n;
    }
    return Error();
}

// Another run that learns which file the target is opens it for a moment
// (see InputFile::Open), and an open file is not replaced: a failed replace
// is tried again for a while.
static bool Replace(const std::wstring &temp, const std::wstring &target)
{
    for (int attempt = 0;; attempt++) {
        if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt == 40)
            return false;
        Sleep(50);
    }
}

// Each file is flushed as it is committed, whatever flush says, and
// MOVEFILE_WRITE_THROUGH puts its new name on disk before the move returns:
// Windows flushes no file it has not open.
Error OutputFile::Commit()
{
    State *state = state_;
    if (state == nullptr)
        return CantWrite(std::string());
    bool ok = !state->failed && (!state->replace || FlushFileBuffers(state->file));
    ok = CloseHandle(state->file) && ok;
    state->file = INVALID_HANDLE_VALUE;
    if (state->replace) {
        ok = ok && Replace(state->temp, state->target);
        if (!ok)
            DeleteFileW(state->temp.c_str());
        pendingTemp = nullptr;
    }
    const Error result = ok ? Error() : CantWrite(state->path);
    delete state;
    state_ = nullptr;
    return result;
}

Error FlushFolder(const char *) { return Error(); }

std::string PathInFolder(const std::string &folder, const std::string &name)
{
    const bool drive = folder.size() == 2 && folder[1] == ':';
    return folder.empty() || drive || folder.back() == '/' || folder.back() == '\\' ? folder + name
                                                                                     : folder + "/" + name;
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
    if (!Widen(path, &pattern) || pattern.empty())
        return false;
    if (pattern.back() != L'\\' && pattern.back() != L'/' && pattern.back() != L':')
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

PathKind KindOfPath(const char *path)
{
    std::wstring wide;
    if (!Widen(path, &wide) || wide.empty())
        return PATH_OTHER;
    const HANDLE file = CreateFileW(wide.c_str(), 0, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? PATH_NEW : PATH_OTHER;
    BY_HANDLE_FILE_INFORMATION info;
    const bool regular = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
                         !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(file);
    return regular ? PATH_FILE : PATH_OTHER;
}
