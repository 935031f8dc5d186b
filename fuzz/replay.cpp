// Runs a fuzz target once over each file of the folders given: how the seed
// corpora are checked on every test run with any compiler, without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "guarded.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    size_t count = 0;
    for (int i = 1; i < argc; i++)
        for (const auto &entry : std::filesystem::directory_iterator(argv[i])) {
            std::ifstream in(entry.path(), std::ios::binary);
            // A copy of exactly the file's size, as the fuzzer hands inputs
            // over, that ends at an unreadable page.
            const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            GuardedBuffer data(bytes);
            std::fprintf(stderr, "%s\n", entry.path().string().c_str()); // unbuffered: named before a crash
            LLVMFuzzerTestOneInput(data.data(), bytes.size());
            count++;
        }
    std::printf("replayed %zu inputs\n", count);
    return count > 0 ? 0 : 1;
}
