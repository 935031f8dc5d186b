// The fixture for tests that run the tool as a user does: a separate
// process, its output files, its two output streams and its exit status.
#ifndef EXSPACK_TESTS_TOOL_H
#define EXSPACK_TESTS_TOOL_H

#include "support.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

struct Outcome {
    int status;
    std::string out, err;
};

inline std::string Slurp(const fs::path &path)
{
    std::ifstream file(path, std::ios::binary); // by the path itself: a name in any script on Windows
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const fs::path &path, const Bytes &bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write((const char *)bytes.data(), (std::streamsize)bytes.size());
}

inline Bytes RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes(n);
    for (uint8_t &b : bytes)
        b = (uint8_t)rng();
    return bytes;
}

// A record as the tool writes it: the header, then the greedy stream, or the
// optimal one with -b.
inline Bytes Record(const Bytes &input, bool best = false)
{
    Bytes record(8 + LZSS_GetCompressedMaxSize(input.size())), work(LZSS_GetOptimalWorkSize(input.size()));
    const uint64_t n = best ? LZSS_CompressOptimal(input.data(), input.size(), record.data() + 8, work.data())
                            : LZSS_CompressSimpleFast(input.data(), input.size(), record.data() + 8);
    record.resize(8 + n);
    const uint32_t size = (uint32_t)input.size();
    const uint8_t header[8] = {0x45, 0x58, 0x53, 0x01, (uint8_t)size, (uint8_t)(size >> 8), (uint8_t)(size >> 16),
                               (uint8_t)(size >> 24)};
    std::copy(header, header + 8, record.begin());
    return record;
}

class Tool : public testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        // The process id keeps apart the same test run twice at once, plain
        // and under valgrind.
        const auto *info = testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() / (std::string("exspack-") + info->name() + "-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        if (!HasFailure())
            fs::remove_all(dir);
    }

    std::string P(const std::string &name) const { return (dir / name).string(); }

    // Runs the tool with args; `shell` goes in front of the command, for
    // limits and umask. EXSPACK_TOOL_WRAPPER, when set, goes right in front
    // of the tool itself, to run it under a checker such as valgrind. With
    // `together`, both streams go to `out`, as on a terminal.
    Outcome Exec(const std::vector<std::string> &args, const std::string &shell = "", bool together = false) const
    {
        const char *wrapper = std::getenv("EXSPACK_TOOL_WRAPPER");
        std::string command = shell + (wrapper ? std::string(wrapper) + " " : "") + "\"" EXSPACK_TOOL "\"";
        for (const std::string &arg : args)
            command += " \"" + arg + "\"";
        const fs::path out = dir / ".stdout", err = dir / ".stderr";
        command += " >\"" + out.string() + "\" 2>" + (together ? "&1" : "\"" + err.string() + "\"");
#ifdef _WIN32
        // cmd /c drops the first and the last quote of a command line that
        // holds more than two.
        command = "\"" + command + "\"";
#endif
#ifdef _WIN32
        // The command is UTF-8, as the tool's paths are; system() would read
        // it in the ANSI code page.
        const int status = _wsystem(fs::u8path(command).wstring().c_str());
#else
        int status = std::system(command.c_str());
        status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
        Outcome run{status, Slurp(out), Slurp(err)};
#ifdef _WIN32
        // Standard output is in text mode, as for any console program.
        for (std::string *text : {&run.out, &run.err})
            for (size_t at; (at = text->find("\r\n")) != std::string::npos;)
                text->erase(at, 1);
#endif
        fs::remove(out);
        fs::remove(err);
        return run;
    }

    // Every entry of the folder with its contents ("/" marks a folder, and a
    // file too large to read is known by its size).
    std::map<std::string, std::string> Snapshot() const
    {
        std::map<std::string, std::string> files;
        for (const auto &entry : fs::recursive_directory_iterator(dir))
            files[entry.path().lexically_relative(dir).string()] =
                entry.is_directory()                 ? "/"
                : fs::file_size(entry.path()) > 1e6 ? std::to_string(fs::file_size(entry.path()))
                                                     : Slurp(entry.path());
        return files;
    }
};

#endif
