// Arbitrary bytes as a CHD file: opening it either fails with an error or
// gives tracks that lie one after the other in the .bin, and every byte of
// that .bin reads back alike forwards, backwards and in odd pieces, whatever
// the read-ahead had decoded, or fails alike.
#include "Chd.h"
#include "check.h"

#include <stdio.h>

#include <filesystem>
#include <string>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

// Past this the .bin is not read whole: a few hundred hunks say all there
// is to say, and a header may claim gigabytes.
static const uint64_t LARGEST_READ = 1 << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("exspack-fuzz-" + std::to_string(getpid()) + ".chd")).string();
    FILE *file = fopen(path.c_str(), "wb");
    CHECK(file != nullptr);
    CHECK(fwrite(data, 1, size, file) == size);
    fclose(file);

    ChdImage chd;
    const Error error = chd.Open(path.c_str());
    if (error) {
        CHECK(chd.size() == 0 || error.message.find(path) != std::string::npos);
        remove(path.c_str());
        return 0;
    }
    uint64_t at = 0;
    for (const ChdTrack &track : chd.tracks()) {
        CHECK(track.offset == at && track.frames != 0 && track.frameSize != 0);
        at += track.frames * track.frameSize;
    }
    CHECK(at == chd.size());

    const uint64_t n = std::min(chd.size(), LARGEST_READ);
    std::vector<uint8_t> forward(n), backward(n, FILL);
    const bool whole = !chd.Read(0, forward.data(), n);
    bool pieces = true;
    for (uint64_t end = n; end > 0;) {
        const uint64_t k = std::min<uint64_t>(end, 2352 * 3 + 7);
        pieces = !chd.Read(end - k, backward.data() + end - k, k) && pieces;
        end -= k;
    }
    if (whole && pieces)
        CHECK(forward == backward);
    // A read past the end is refused.
    uint8_t byte;
    CHECK(chd.Read(chd.size(), &byte, 1));
    chd.Close();
    remove(path.c_str());
    return 0;
}
