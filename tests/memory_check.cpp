// Peak resident memory of the tool compressing a large input must stay
// within 2.3 N + 12 MiB for N input bytes: the input, the worst-case output
// buffer (N + N / 8 + 11), the 8 MiB of position queues and the runtime.
//
// usage: memory_check EXSPACK [MIB]
//
// The input is random, so that every byte value's queue fills and the
// stream is as long as the bound allows. This process writes it in small
// pieces and stays small itself: a child's peak includes the memory it had
// before exec.
#include <stdio.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

static int Fail(const char *what)
{
    perror(what);
    return 1;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s EXSPACK [MIB]\n", argv[0]);
        return 2;
    }
    const uint64_t mib = argc > 2 ? strtoull(argv[2], NULL, 10) : 64;
    const uint64_t size = mib << 20;

    char dir[] = "/tmp/exspack-memory-XXXXXX";
    if (mkdtemp(dir) == NULL)
        return Fail("mkdtemp");
    const std::string input = std::string(dir) + "/input";
    const std::string output = std::string(dir) + "/output.exs";

    FILE *file = fopen(input.c_str(), "wb");
    if (file == NULL)
        return Fail("fopen");
    uint64_t state = 0x243F6A8885A308D3u;
    static uint8_t chunk[1 << 16];
    for (uint64_t done = 0; done < size; done += sizeof chunk) {
        for (size_t i = 0; i < sizeof chunk; i += 8) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            const uint64_t bits = state ^ (state >> 29);
            memcpy(chunk + i, &bits, 8);
        }
        if (fwrite(chunk, 1, sizeof chunk, file) != sizeof chunk)
            return Fail("fwrite");
    }
    if (fclose(file) != 0)
        return Fail("fclose");

    const pid_t child = fork();
    if (child < 0)
        return Fail("fork");
    if (child == 0) {
        if (freopen("/dev/null", "w", stdout) == NULL)
            _exit(126);
        execl(argv[1], argv[1], input.c_str(), output.c_str(), (char *)NULL);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child)
        return Fail("wait4");

    struct stat packed;
    const bool wrote = stat(output.c_str(), &packed) == 0;
    unlink(input.c_str());
    unlink(output.c_str());
    rmdir(dir);

    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "exspack did not compress the input (status %d)\n", status);
        return 1;
    }
    // A random input packs to nearly the bound: it has few repeats.
    const uint64_t bound = size / 8 + size + 3 + 8;
    if (!wrote || (uint64_t)packed.st_size > bound || (uint64_t)packed.st_size < size) {
        fprintf(stderr, "output is %lld bytes, expected %llu to %llu\n", wrote ? (long long)packed.st_size : -1LL,
                (unsigned long long)size, (unsigned long long)bound);
        return 1;
    }
    const double peak = (double)usage.ru_maxrss * 1024; // Linux reports KiB
    const double limit = 2.3 * (double)size + 12.0 * 1048576;
    printf("input %llu MiB, peak resident %.1f MiB, limit %.1f MiB\n", (unsigned long long)mib, peak / 1048576,
           limit / 1048576);
    if (peak > limit) {
        fprintf(stderr, "peak resident memory over the limit\n");
        return 1;
    }
    return 0;
}
