// Disc images for tests: ISO 9660 file systems mastered by a real tool,
// genisoimage, at test time, and raw Mode 2 images of them as a drive reads
// them; and a plain naming of positions to hold IsoNames to. Free of the test
// framework, so that the fuzz targets use it too.
#ifndef EXSPACK_TESTS_ISO_H
#define EXSPACK_TESTS_ISO_H

#include "guarded.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CdImage.h"
#include "Iso9660.h"

namespace iso_detail {

inline std::string ShellQuoted(const std::string &s)
{
    std::string quoted = "'";
    for (char c : s)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline unsigned long ProcessId()
{
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return (unsigned long)getpid();
#endif
}

// The path by which a Linux program finds `path`: under Wine, the host's
// path of the Windows one; "" where there is none (Windows itself).
inline std::string HostPath(const std::filesystem::path &path)
{
#ifdef _WIN32
    typedef char *(__cdecl * ToUnix)(const WCHAR *);
    static const ToUnix toUnix =
        (ToUnix)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    char *host = toUnix != nullptr ? toUnix(std::filesystem::absolute(path).wstring().c_str()) : nullptr;
    if (host == nullptr)
        return "";
    const std::string result = host;
    HeapFree(GetProcessHeap(), 0, host);
    return result;
#else
    return std::filesystem::absolute(path).string();
#endif
}

// Runs a shell command on the host (Linux) with its standard output
// discarded and its standard error in *err. Returns its exit status, or -1
// where no shell could be started.
inline int RunOnHost(const std::string &command, std::string *err)
{
    namespace fs = std::filesystem;
    static int runs = 0;
    const fs::path work = fs::temp_directory_path() /
                          ("exspack-host-" + std::to_string(ProcessId()) + "-" + std::to_string(runs++));
    fs::create_directories(work);
    const std::string script = HostPath(work / "run.sh"), status = HostPath(work / "status");
    int result = -1;
    if (!script.empty()) {
        // The status file appears, whole, only when the command has ended.
        std::ofstream(work / "run.sh", std::ios::binary)
            << "(" << command << ") >/dev/null 2>" << ShellQuoted(HostPath(work / "err")) << "\n"
            << "echo $? >" << ShellQuoted(status + ".part") << " && mv " << ShellQuoted(status + ".part") << " "
            << ShellQuoted(status) << "\n";
#ifdef _WIN32
        // Wine 8 starts a Linux program with start /unix, but start's /wait
        // does not wait for one, nor does its status come back: the script's
        // status file is awaited instead. start passes quotes around the
        // program's first argument on to it, so the path goes unquoted (a
        // temporary folder's path has no spaces).
        _wsystem(fs::u8path("start /unix /bin/sh " + script).wstring().c_str());
        for (int waited = 0; waited < 120000 && !fs::exists(work / "status"); waited += 10)
            Sleep(10);
#else
        std::system(("/bin/sh " + ShellQuoted(script)).c_str());
#endif
        std::ifstream(work / "status") >> result;
    }
    std::ifstream errors(work / "err", std::ios::binary);
    *err = std::string(std::istreambuf_iterator<char>(errors), std::istreambuf_iterator<char>());
    errors.close();
    std::error_code ignored;
    fs::remove_all(work, ignored);
    return result;
}

} // namespace iso_detail

// Why genisoimage cannot be run here, for a test to skip with; "" where it
// can. A Windows test program reaches the Linux genisoimage only under Wine.
inline const std::string &GenisoimageMissing()
{
    static const std::string reason = [] {
        std::string err;
        const int status = iso_detail::RunOnHost("genisoimage -version", &err);
        if (status == 0)
            return std::string();
        if (status == -1)
            return std::string("genisoimage not run: a Linux program can be started from here only under Wine");
        return "genisoimage not found or not working (.ci/deps installs it): " + err;
    }();
    return reason;
}

// The ISO image genisoimage masters (-quiet, then `options`) from the files
// under `folder`, or no bytes where it fails, its complaint on standard error.
inline Bytes MakeIso(const std::filesystem::path &folder, const std::string &options = "")
{
    namespace fs = std::filesystem;
    const fs::path out = folder.parent_path() / (folder.filename().string() + ".iso");
    std::string err;
    const int status = iso_detail::RunOnHost("genisoimage -quiet " + options + " -o " +
                                                 iso_detail::ShellQuoted(iso_detail::HostPath(out)) + " " +
                                                 iso_detail::ShellQuoted(iso_detail::HostPath(folder)),
                                             &err);
    std::ifstream file(out, std::ios::binary);
    Bytes iso(std::istreambuf_iterator<char>(file), (std::istreambuf_iterator<char>()));
    file.close();
    std::error_code ignored;
    fs::remove(out, ignored);
    if (status != 0) {
        std::fprintf(stderr, "genisoimage failed (%d): %s\n", status, err.c_str());
        iso.clear();
    }
    return iso;
}

// A raw image of a 2048-byte-sector image as a drive reads a PSX disc: each
// sector i Mode 2, at address i + 150 (after the two-second pregap), Form 1
// with its codes (EDC, P and Q), or Form 2 where form2[i] (submode bit 5 set;
// the data goes in unchanged, the optional EDC left zero), so that the data
// view holds zeros there. A last part-sector is padded with zeros.
inline Bytes RawImage(const Bytes &iso, const std::vector<bool> &form2 = {})
{
    const size_t sectors = (iso.size() + SECTOR_DATA_SIZE - 1) / SECTOR_DATA_SIZE;
    Bytes image(sectors * RAW_SECTOR_SIZE, 0);
    const auto bcd = [](size_t n) { return (uint8_t)(n / 10 % 10 << 4 | n % 10); };
    for (size_t i = 0; i < sectors; i++) {
        uint8_t *const sector = &image[i * RAW_SECTOR_SIZE];
        std::fill(sector + 1, sector + 11, 0xFF);
        const size_t address = i + 150;
        sector[12] = bcd(address / 75 / 60), sector[13] = bcd(address / 75 % 60), sector[14] = bcd(address % 75);
        sector[15] = 2;
        const bool formTwo = i < form2.size() && form2[i];
        sector[18] = sector[22] = formTwo ? 0x20 : 0x08; // Form 2, or plain data
        const size_t from = i * SECTOR_DATA_SIZE, n = std::min<size_t>(SECTOR_DATA_SIZE, iso.size() - from);
        std::copy(iso.begin() + from, iso.begin() + from + n, sector + 24);
        if (!formTwo)
            SetSectorCodes(sector);
    }
    return image;
}

// The name IsoNames gives `position`, found the plain way: every extent of
// every file looked at, in order of precedence.
inline std::string PlainName(const std::vector<IsoFile> &files, uint64_t position)
{
    const IsoFile *best = nullptr;
    uint64_t offset = 0;
    for (const IsoFile &file : files)
        for (const IsoExtent &e : file.extents)
            if (position >= e.position && position - e.position < e.length &&
                (best == nullptr || file.path < best->path)) {
                best = &file, offset = e.offset + (position - e.position);
                break;
            }
    if (best == nullptr)
        return "-";
    char hex[32];
    std::snprintf(hex, sizeof hex, "+0x%llX", (unsigned long long)offset);
    return best->path + hex;
}

#endif
