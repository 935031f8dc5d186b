#include "SafeWrite.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <fcntl.h>
#include <signal.h>
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

FILE *DivertStdout(void)
{
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    if (saved < 0)
        return stdout;
    const int null = open("/dev/null", O_WRONLY);
    FILE *report = null < 0 ? NULL : fdopen(saved, "w");
    if (report == NULL || dup2(null, STDOUT_FILENO) < 0) {
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
