// The fixture for tests that run the tool as a user does: a separate
// process, its output files, its two output streams and its exit status.
#ifndef EXSPACK_TESTS_TOOL_H
#define EXSPACK_TESTS_TOOL_H

#include "support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <tuple>

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

// By the path itself: a name in any script on Windows.
inline std::string Slurp(const fs::path &path) { const Bytes bytes = ReadFile(path); return {bytes.begin(), bytes.end()}; }

inline void WriteBytes(const fs::path &path, const Bytes &bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write((const char *)bytes.data(), (std::streamsize)bytes.size());
}

inline std::string Str(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

inline void Append(Bytes &to, const Bytes &bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// Text with repeats near and far, so that its record holds literals and
// references over several groups.
inline Bytes Sample(size_t size)
{
    const std::string words = "exspack unpacks records; records pack again; ";
    std::string text;
    for (size_t i = 0; text.size() < size; i++)
        text += words.substr(i * 7 % words.size()) + std::to_string(i * i);
    return FromText(text.substr(0, size));
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
    for (int i = 0; i < 4; i++)
        record[i] = "EXS\x01"[i], record[4 + i] = (uint8_t)(input.size() >> (8 * i));
    return record;
}

// Applies a PPF 3.0 patch to image as a patcher does, from the format's
// layout: the header, the block check against the image, then each entry's
// new bytes over the bytes it says it replaces; with undo, each entry's old
// bytes back over its new ones. Entries must be in order, none overlapping,
// each starting and ending with a changed byte.
inline Bytes ApplyPpf(Bytes image, const Bytes &patch, bool undo)
{
    const size_t BLOCK = 0x9320, check = patch.size() >= 60 && patch[57] ? 1024 : 0;
    const auto printable = [](uint8_t c) { return c >= 0x20 && c < 0x7F; };
    EXPECT_TRUE(patch.size() >= 60 + check && std::string(patch.begin(), patch.begin() + 6) == "PPF30\x02" &&
                std::all_of(patch.begin() + 6, patch.begin() + 56, printable)) << "no PPF 3.0 header";
    EXPECT_EQ(Bytes(patch.begin() + 56, patch.begin() + 60), Bytes({0, image.size() >= BLOCK + 1024, 1, 0}));
    EXPECT_TRUE(undo || !check || std::equal(patch.begin() + 60, patch.begin() + 1084, image.begin() + BLOCK));
    uint64_t end = 0;
    for (size_t at = 60 + check; at < patch.size();) {
        uint64_t offset = 0;
        for (int i = 7; i >= 0; i--)
            offset = offset << 8 | patch[at + i];
        const size_t n = patch[at + 8];
        if (n == 0 || at + 9 + 2 * n > patch.size() || offset < end || offset + n > image.size()) {
            ADD_FAILURE() << "bad entry at patch byte " << at;
            return {};
        }
        const Bytes now(patch.begin() + at + 9, patch.begin() + at + 9 + n), old(patch.begin() + at + 9 + n, patch.begin() + at + 9 + 2 * n);
        EXPECT_TRUE(now.front() != old.front() && now.back() != old.back()) << "entry at " << offset;
        EXPECT_TRUE(std::equal((undo ? now : old).begin(), (undo ? now : old).end(), image.begin() + offset)) << offset;
        std::copy((undo ? old : now).begin(), (undo ? old : now).end(), image.begin() + offset);
        end = offset + n;
        at += 9 + 2 * n;
    }
    return image;
}

// A run of the tool and all it must do: exit with status, print out and err
// exactly; refused, leave the folder as it was; otherwise leave `file` (if
// any) holding `written`, as a new file in the old one's place.
struct ToolRun {
    std::vector<std::string> args;
    int status;
    std::string out, err;
    Bytes written = {};
    std::string shell = "", file = "out";
    bool together = false; // both streams to out, as on a terminal
};

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
        // it in the ANSI code page. -1 is a command processor that did not
        // start, which Wine does now and then with other programs starting
        // beside it: nothing ran, so it is tried again.
        int status = -1;
        for (int attempt = 0; attempt < 3 && status == -1; attempt++)
            status = _wsystem(fs::u8path(command).wstring().c_str());
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

    void Check(const ToolRun &run) const
    {
        const std::string what = testing::PrintToString(run.args);
        const fs::path file = dir / run.file, link = dir / ".link";
        const bool existed = !run.file.empty() && fs::exists(file);
        const Bytes old = existed ? ReadFile(file.string()) : Bytes();
        if (existed)
            fs::create_hard_link(file, link);
        const auto before = Snapshot();
        const Outcome outcome = Exec(run.args, run.shell, run.together);
        EXPECT_EQ(std::tie(outcome.status, outcome.out, outcome.err), std::tie(run.status, run.out, run.err)) << what;
        if (run.status != 0) {
            EXPECT_EQ(Snapshot(), before) << what << ": the folder changed";
        } else if (!run.file.empty()) {
            EXPECT_EQ(ReadFile(file.string()), run.written) << what;
            EXPECT_EQ(Snapshot().size(), before.size() + !existed) << what << ": a temporary file is left";
            EXPECT_EQ(ReadFile(link.string()), old) << what << ": written in place, not replaced";
        }
        fs::remove(link);
    }

    // Runs put-back (args: INPUT CONTAINER -i ...) twice: first with a patch,
    // which must leave the container as it was, bytes and time, and which,
    // applied to it, gives exactly what the second run, without a patch,
    // makes of the container (not writing it when nothing changes); its undo
    // data gives the untouched container back. Both runs report alike.
    Outcome PutBack(const std::vector<std::string> &args, const std::string &container) const
    {
        const fs::path path = dir / container, patch = dir / "change.ppf";
        const Bytes before = ReadFile(path.string());
        const auto time = fs::last_write_time(path);
        std::vector<std::string> patching = args;
        const Outcome patched = (patching.push_back(patch.string()), Exec(patching));
        EXPECT_TRUE(ReadFile(path.string()) == before && fs::last_write_time(path) == time) << "container written";
        fs::create_hard_link(path, dir / ".link");
        const Outcome run = Exec(args);
        EXPECT_EQ(std::tie(patched.status, patched.out, patched.err), std::tie(run.status, run.out, run.err));
        EXPECT_EQ(fs::exists(patch), run.status == 0);
        if (run.status == 0) {
            const Bytes ppf = ReadFile(patch.string()), after = ReadFile(path.string());
            EXPECT_EQ(ApplyPpf(before, ppf, false), after) << "the patch does not make the change";
            EXPECT_EQ(ApplyPpf(after, ppf, true), before) << "the undo data does not take it off";
            EXPECT_EQ(ppf.size() == (before.size() >= 0x9320 + 1024 ? 1084u : 60u), after == before);
            EXPECT_EQ(fs::equivalent(path, dir / ".link"), after == before) << "an unchanged container was written";
            fs::remove(patch);
        }
        fs::remove(dir / ".link");
        return run;
    }
};

#endif
