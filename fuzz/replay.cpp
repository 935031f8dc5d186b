// Runs a fuzz target over the files given, or over every file of the folders
// given, once each: how the seed corpora are checked on every test run with
// any compiler, without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
    std::vector<fs::path> files;
    for (int i = 1; i < argc; i++) {
        if (fs::is_directory(argv[i])) {
            for (const auto &entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n(no input found)\n", argv[0]);
        return 1;
    }
    for (const fs::path &file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "can't read %s\n", file.string().c_str());
            return 1;
        }
        const std::vector<char> contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // A copy of exactly the file's size, as the fuzzer hands inputs over.
        std::unique_ptr<uint8_t[]> data(new uint8_t[contents.size()]);
        if (!contents.empty())
            memcpy(data.get(), contents.data(), contents.size());
        std::printf("%s\n", file.string().c_str());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(data.get(), contents.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
