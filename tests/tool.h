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
#include <sys/stat.h>
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

// What tells a file replaced from one written in place or left alone: its
// inode (where the system has them) and its modification time.
struct Stamp {
    uint64_t inode;
    fs::file_time_type time;
    bool operator==(const Stamp &other) const { return inode == other.inode && time == other.time; }
};

inline Stamp StampOf(const fs::path &path)
{
    uint64_t inode = 0;
#ifndef _WIN32
    struct stat info;
    if (stat(path.c_str(), &info) == 0)
        inode = info.st_ino;
#endif
    return {inode, fs::last_write_time(path)};
}

// Applies a PPF 3.0 patch to image as a patcher does, from the format's
// layout: the header, the block check against the image, then each entry's
// new bytes over the bytes it says it replaces; with undo, each entry's old
// bytes back over its new ones. Entries must be in order, none overlapping,
// each starting and ending with a changed byte.
inline Bytes ApplyPpf(Bytes image, const Bytes &patch, bool undo)
{
    const size_t BLOCK = 0x9320;
    if (patch.size() < 60 || std::string(patch.begin(), patch.begin() + 5) != "PPF30" || patch[5] != 2) {
        ADD_FAILURE() << "not a PPF 3.0 patch";
        return {};
    }
    for (size_t i = 6; i < 56; i++)
        EXPECT_TRUE(patch[i] >= 0x20 && patch[i] < 0x7F) << "description byte " << i;
    EXPECT_EQ(patch[56], 0) << "image type";
    EXPECT_EQ(patch[57], image.size() >= BLOCK + 1024) << "block check";
    EXPECT_EQ(patch[58], 1) << "undo data";
    size_t at = 60;
    if (patch[57] == 1) {
        EXPECT_TRUE(undo || std::equal(patch.begin() + 60, patch.begin() + 1084, image.begin() + BLOCK)) << "block check";
        at = 1084;
    }
    uint64_t end = 0;
    while (at < patch.size()) {
        uint64_t offset = 0;
        for (int i = 7; i >= 0; i--)
            offset = offset << 8 | patch[at + i];
        const size_t n = patch[at + 8];
        if (n == 0 || at + 9 + 2 * n > patch.size() || offset < end || offset + n > image.size()) {
            ADD_FAILURE() << "bad entry at patch byte " << at;
            return {};
        }
        const Bytes now(patch.begin() + at + 9, patch.begin() + at + 9 + n);
        const Bytes old(patch.begin() + at + 9 + n, patch.begin() + at + 9 + 2 * n);
        EXPECT_TRUE(now.front() != old.front() && now.back() != old.back()) << "entry at " << offset;
        const Bytes &from = undo ? now : old, &to = undo ? old : now;
        EXPECT_TRUE(std::equal(from.begin(), from.end(), image.begin() + offset)) << "entry at " << offset;
        std::copy(to.begin(), to.end(), image.begin() + offset);
        end = offset + n;
        at += 9 + 2 * n;
    }
    return image;
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

    // Every entry of the folder with its contents ("/" marks a folder, "|"
    // what is neither folder nor file, and a file too large to read is known
    // by its size).
    std::map<std::string, std::string> Snapshot() const
    {
        std::map<std::string, std::string> files;
        for (const auto &entry : fs::recursive_directory_iterator(dir))
            files[entry.path().lexically_relative(dir).string()] =
                entry.is_directory()                 ? "/"
                : !entry.is_regular_file()           ? "|"
                : fs::file_size(entry.path()) > 1e6 ? std::to_string(fs::file_size(entry.path()))
                                                     : Slurp(entry.path());
        return files;
    }

    // Runs put-back (args: INPUT CONTAINER -i ...) twice: first with a patch,
    // which must leave the container as it was, bytes and time, and which,
    // applied to it, gives exactly what the second run, without a patch,
    // makes of the container; its undo data gives the untouched container
    // back. Both runs report alike. Returns the second run.
    Outcome PutBack(const std::vector<std::string> &args, const std::string &container)
    {
        const fs::path path = dir / container, patch = dir / "change.ppf";
        const Bytes before = ReadFile(path.string());
        const Stamp stamp = StampOf(path);
        std::vector<std::string> patching = args;
        patching.push_back(patch.string());
        const Outcome patched = Exec(patching);
        EXPECT_EQ(ReadFile(path.string()), before) << "the container changed";
        EXPECT_TRUE(StampOf(path) == stamp) << "the container was written";
        const Outcome run = Exec(args);
        EXPECT_EQ(patched.status, run.status);
        EXPECT_EQ(patched.out, run.out);
        EXPECT_EQ(patched.err, run.err);
        EXPECT_EQ(fs::exists(patch), run.status == 0);
        if (run.status == 0) {
            const Bytes ppf = ReadFile(patch.string()), after = ReadFile(path.string());
            EXPECT_EQ(ApplyPpf(before, ppf, false), after) << "the patch does not make the change";
            EXPECT_EQ(ApplyPpf(after, ppf, true), before) << "the undo data does not take it off";
            if (after == before) {
                EXPECT_EQ(ppf.size(), before.size() >= 0x9320 + 1024 ? 1084u : 60u) << "entries for no change";
                EXPECT_TRUE(StampOf(path) == stamp) << "an unchanged container was written";
            }
            fs::remove(patch);
        }
        return run;
    }
};

#endif
