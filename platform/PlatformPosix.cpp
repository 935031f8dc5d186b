// Platform.h on POSIX systems: descriptors, flock for the lock, rename over
// the old file for replacing it, fsync of the file and its folder so that a
// reported success survives a power cut.
#include "Platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

static Error NotMeasurable() { return Error{"Error: GetFileSize()"}; }

// Sizes are signed 32-bit numbers to the record format's tools: a larger
// file is refused rather than taken for its size modulo 2^32.
static const uint64_t LARGEST_FILE = INT32_MAX;

// Bytes moved at a time where the system cannot copy between files itself.
static const uint64_t COPY_CHUNK = 1 << 20;

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

bool Buffer::Allocate(uint64_t size)
{
    Release();
    if (size > SIZE_MAX)
        return false;
    data_ = MapPages(size);
    if (data_ == nullptr)
        return AllocateHeap(size);
    kind_ = MAPPED;
    size_ = size;
    return true;
}

void Buffer::Release()
{
    if (kind_ == MAPPED)
        munmap(data_, (size_t)size_);
    else
        free(data_);
    data_ = nullptr;
    size_ = 0;
    kind_ = NONE;
}

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
        const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return CantOpen(path);
        handle_ = fd;
        if (fstat(fd, &info) != 0)
            return CantOpen(path);
        if (!S_ISREG(info.st_mode))
            return NotMeasurable();
        if (!lock)
            break;
        int locked;
        while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (locked != 0 || IsAt(path))
            break; // locked, or a file system without locks: go on unguarded
        Close(); // replaced while this run waited: take the new file
    }
    if (fstat((int)handle_, &info) != 0 || info.st_size < 0 || (uint64_t)info.st_size > LARGEST_FILE)
        return NotMeasurable();
    size_ = (uint64_t)info.st_size;
    return Error();
}

// An open file does not keep a POSIX system from replacing it.
void InputFile::FinishReading() {}

void InputFile::Close()
{
    if (handle_ >= 0)
        close((int)handle_); // and with it the lock
    handle_ = -1;
    size_ = 0;
}

Error InputFile::Read(uint64_t offset, uint8_t *to, uint64_t n) const
{
    while (n > 0) {
        const size_t chunk = n < (1u << 30) ? (size_t)n : (size_t)1 << 30;
        const ssize_t got = pread((int)handle_, to, chunk, (off_t)offset);
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
        void *data = mmap(nullptr, (size_t)size_, PROT_READ | PROT_WRITE, MAP_PRIVATE, (int)handle_, 0);
        if (data != MAP_FAILED) {
#ifdef MADV_POPULATE_READ
            // Page tables for the whole file at once, without copying
            // anything: far cheaper than a fault per page when all of it is
            // read.
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
    return handle_ >= 0 && fstat((int)handle_, &mine) == 0 && stat(path, &named) == 0 && SameFile(mine, named);
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

// Where DivertStdout (Platform.cpp) put the real standard output, or 1.
extern int divertedStdout;

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
// while the file exists under that name. The tool writes one output at a
// time.
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

// A temporary file's name: the output's name, hidden, with the process and
// an attempt number, cut short on a character of UTF-8 where the whole
// would pass the folder's limit on names, so that it still reads.
static std::string TemporaryName(const std::string &folder, const std::string &name, int attempt)
{
    const long max = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    const size_t limit = max > 0 ? (size_t)max : 255;
    const std::string suffix = "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
    const size_t room = limit > suffix.size() + 1 ? limit - suffix.size() - 1 : 0;
    size_t keep = name.size();
    if (keep > room)
        for (keep = room; keep > 0 && (name[keep] & 0xC0) == 0x80;)
            keep--;
    return folder + "." + name.substr(0, keep) + suffix;
}

// Puts the folder's entries on disk. Some file systems cannot flush a
// folder (EINVAL): they have nothing to put there.
static bool FlushFolderEntries(const std::string &folder)
{
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fsync(fd) == 0 || errno == EINVAL;
    close(fd);
    return ok;
}

struct OutputFile::State {
    enum Kind {
        STREAM,  // standard output or error, at its offset, not ours to close
        DIRECT,  // a device or a pipe, written in place
        REPLACE, // a temporary file that takes the place of target
    } kind;
    std::string path;   // as the caller named it, for messages
    std::string target; // the file replaced: its own name, not a link's
    std::string temp;
    int fd = -1;
    bool flush = true;
    bool failed = false;
};

OutputFile::~OutputFile() { Abandon(); }

void OutputFile::Abandon()
{
    if (state_ == nullptr)
        return;
    if (state_->kind != State::STREAM && state_->fd >= 0)
        close(state_->fd);
    if (state_->kind == State::REPLACE) {
        sigset_t mask;
        BlockInterrupts(true, &mask);
        unlink(state_->temp.c_str());
        pendingTemp = nullptr;
        BlockInterrupts(false, &mask);
    }
    delete state_;
    state_ = nullptr;
}

Error OutputFile::Open(const char *path, bool flush)
{
    Abandon();
    // A file over the size limit would otherwise kill the process with
    // SIGXFSZ and leave the temporary file behind; as an error it is cleaned up.
    signal(SIGXFSZ, SIG_IGN);
    State *state = new State{State::STREAM, path, path, std::string(), -1, flush, false};

    const int descriptor = DescriptorBehind(path);
    if (descriptor == 1 || descriptor == 2) {
        state->fd = descriptor == 1 ? divertedStdout : 2;
        state_ = state;
        return Error();
    }
    struct stat old, link;
    const bool exists = stat(path, &old) == 0;
    // Devices and pipes, and a dangling link, which creates what it names.
    if ((exists ? !S_ISREG(old.st_mode) : errno != ENOENT) || (!exists && lstat(path, &link) == 0)) {
        state->kind = State::DIRECT;
        state->fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (state->fd < 0) {
            delete state;
            return CantOpen(path);
        }
        state_ = state;
        return Error();
    }

    // Replace the file itself, found by its own name, not a link to it nor
    // a name under /proc, which rename cannot replace.
    if (exists) {
        // The mode protects a file from its owner too, as it does for tools
        // that write in place; root passes, as everywhere.
        bool found = !(faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0 && errno == EACCES);
        char *resolved = found ? realpath(path, nullptr) : nullptr;
        struct stat named;
        // Not found: a file without a name, such as a deleted one still open.
        found = resolved != nullptr && stat(resolved, &named) == 0 && SameFile(named, old);
        if (resolved != nullptr)
            state->target = resolved;
        free(resolved);
        if (!found) {
            delete state;
            return CantOpen(path);
        }
    }
    const std::string folder = FolderOf(state->target), name = state->target.substr(folder.size());

    HandleInterrupts();
    state->kind = State::REPLACE;
    sigset_t mask;
    for (int attempt = 0; state->fd < 0; attempt++) {
        state->temp = TemporaryName(folder, name, attempt);
        BlockInterrupts(true, &mask);
        state->fd = open(state->temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (state->fd >= 0)
            pendingTemp = state->temp.c_str();
        BlockInterrupts(false, &mask);
        if (state->fd < 0 && (errno != EEXIST || attempt == 100)) {
            delete state;
            return CantOpen(path);
        }
    }
    state_ = state;
    if (exists) {
        // Best effort: a file we may replace but not chown keeps our owner.
        (void)!fchown(state->fd, old.st_uid, old.st_gid);
        (void)!fchmod(state->fd, old.st_mode & 07777);
    }
    return Error();
}

Error OutputFile::Write(const uint8_t *data, uint64_t size)
{
    if (state_ == nullptr || state_->failed || !WriteAll(state_->fd, data, size)) {
        if (state_ != nullptr)
            state_->failed = true;
        return CantWrite(state_ != nullptr ? state_->path : std::string());
    }
    return Error();
}

Error OutputFile::Copy(const InputFile &from, uint64_t offset, uint64_t size)
{
    if (state_ == nullptr || state_->failed)
        return CantWrite(state_ != nullptr ? state_->path : std::string());
#ifdef __linux__
    // The kernel copies, or shares the blocks where the file system can
    // (reflinks); the bytes never pass through this process.
    while (size > 0) {
        loff_t at = (loff_t)offset;
        const ssize_t n = copy_file_range((int)from.handle_, &at, state_->fd, nullptr,
                                          (size_t)std::min<uint64_t>(size, 1u << 30), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // another file system, a pipe, an old kernel: copied below
        offset += (uint64_t)n;
        size -= (uint64_t)n;
    }
#endif
    if (size == 0)
        return Error();
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

Error OutputFile::Commit()
{
    State *state = state_;
    if (state == nullptr)
        return CantWrite(std::string());
    bool ok = !state->failed;
    if (state->kind != State::STREAM) {
        ok = (!state->flush || state->kind != State::REPLACE || fsync(state->fd) == 0) && ok;
        ok = close(state->fd) == 0 && ok;
        state->fd = -1;
    }
    if (state->kind == State::REPLACE) {
        sigset_t mask;
        BlockInterrupts(true, &mask);
        ok = ok && rename(state->temp.c_str(), state->target.c_str()) == 0;
        if (!ok)
            unlink(state->temp.c_str());
        pendingTemp = nullptr;
        BlockInterrupts(false, &mask);
        // The new name on disk too: until then a power cut may bring the
        // old file back, or lose a new one.
        ok = ok && (!state->flush || FlushFolderEntries(FolderOf(state->target)));
    }
    const Error result = ok ? Error() : CantWrite(state->path);
    delete state;
    state_ = nullptr;
    return result;
}

Error FlushFolder(const char *path)
{
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return CantWrite(path);
#ifdef __linux__
    // The whole file system at once: the files written into the folder are
    // on it, and far cheaper than an fsync each.
    bool ok = syncfs(fd) == 0;
#else
    sync();
    bool ok = true;
#endif
    ok = (fsync(fd) == 0 || errno == EINVAL) && ok;
    close(fd);
    return ok ? Error() : CantWrite(path);
}

std::string PathInFolder(const std::string &folder, const std::string &name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
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
    DIR *folder = *path != '\0' ? opendir(path) : nullptr;
    if (folder == nullptr)
        return false;
    while (const struct dirent *entry = readdir(folder)) {
        struct stat info;
        if (stat(PathInFolder(path, entry->d_name).c_str(), &info) == 0 && S_ISREG(info.st_mode))
            names->push_back(entry->d_name);
        else if (others != nullptr && strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            others->push_back(entry->d_name);
    }
    closedir(folder);
    return true;
}

void PrintText(FILE *stream, const char *text) { fputs(text, stream); }

PathKind KindOfPath(const char *path)
{
    // Standard error is written at its offset too, but is no data stream.
    const int descriptor = DescriptorBehind(path);
    if (descriptor == 1 || descriptor == 2)
        return descriptor == 1 ? PATH_STANDARD_OUTPUT : PATH_OTHER;
    struct stat named;
    if (stat(path, &named) != 0)
        return errno == ENOENT ? PATH_NEW : PATH_OTHER;
    return S_ISREG(named.st_mode) ? PATH_FILE : PATH_OTHER;
}
