// Disc images for tests: ISO 9660 file systems mastered by a real tool,
// genisoimage, at test time, and raw Mode 2 images of them as a drive reads
// them; and a plain naming of positions to hold IsoNames to. Free of the test
// framework, so that the fuzz targets use it too.
#ifndef EXSPACK_TESTS_ISO_H
#define EXSPACK_TESTS_ISO_H

#include "guarded.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "CdImage.h"
#include "Iso9660.h"

// The path by which a Linux program finds `path`: under Wine, the host's
// path of the Windows one; "" where there is none (Windows itself).
inline std::string HostPath(const std::filesystem::path &path)
{
#ifdef _WIN32
    typedef char *(__cdecl * ToUnix)(const WCHAR *);
    static const auto toUnix =
        (ToUnix)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    char *host = toUnix != nullptr ? toUnix(std::filesystem::absolute(path).wstring().c_str()) : nullptr;
    const std::string result = host != nullptr ? host : "";
    HeapFree(GetProcessHeap(), 0, host);
    return result;
#else
    return std::filesystem::absolute(path).string();
#endif
}

// Runs a shell command on the host (Linux), in a folder of its own under the
// temporary one, whose path holds no quote (nor, on Windows, a space).
// Returns its exit status, or -1 where no shell could be started; *out and
// *err get what it wrote to its standard output and error.
inline int RunOnHost(const std::string &command, std::string *out, std::string *err)
{
    const auto work = std::filesystem::temp_directory_path() / ("exspack-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(work);
    const std::string script = HostPath(work / "run.sh");
    int status = -1;
    if (!script.empty()) {
        // The status file appears, whole, only when the command has ended.
        std::ofstream(work / "run.sh", std::ios::binary)
            << "cd \"${0%/*}\" && (" << command << ") >out 2>err; echo $? >part && mv part status\n";
#ifdef _WIN32
        // Wine 8 starts a Linux program with start /unix, but start's /wait
        // does not wait for one, nor does its status come back: the script's
        // status file is awaited instead. start passes quotes around the
        // program's first argument on to it, so the path goes unquoted.
        _wsystem(std::filesystem::u8path("start /unix /bin/sh " + script).wstring().c_str());
        for (int waited = 0; waited < 120000 && !std::filesystem::exists(work / "status"); waited += 10)
            Sleep(10);
#else
        (void)!std::system(("/bin/sh '" + script + "'").c_str()); // the script leaves its status in a file
#endif
        std::ifstream(work / "status") >> status;
    }
    for (auto [name, text] : {std::make_pair("out", out), std::make_pair("err", err)})
        *text = std::string(std::istreambuf_iterator<char>(std::ifstream(work / name, std::ios::binary).rdbuf()), {});
    std::error_code ignored;
    std::filesystem::remove_all(work, ignored);
    return status;
}

// Why genisoimage cannot be run here, for a test to skip with; "" where it
// can. A Windows test program reaches the Linux genisoimage only under Wine.
inline const std::string &GenisoimageMissing()
{
    static std::string out, err, reason = RunOnHost("genisoimage -version", &out, &err) == 0 ? "" :
        "genisoimage cannot be run (.ci/deps installs it; a Windows program starts it only under Wine): " + err;
    return reason;
}

// The ISO image genisoimage masters (-quiet, then `options`) from the files
// under `folder`, or no bytes where it fails, its complaint on standard error.
inline Bytes MakeIso(const std::filesystem::path &folder, const std::string &options = "")
{
    std::string iso, err;
    if (RunOnHost("genisoimage -quiet " + options + " '" + HostPath(folder) + "'", &iso, &err) != 0)
        std::fprintf(stderr, "genisoimage failed: %s\n", err.c_str()), iso.clear();
    return Bytes(iso.begin(), iso.end());
}

// A raw image of a 2048-byte-sector image as a drive reads a PSX disc: each
// sector i Mode 2 (after its sync pattern), at address i + 150 (after the
// two-second pregap), Form 1 with its codes (EDC, P and Q), or Form 2 where
// form2[i] (submode 0x20 rather than 0x08; the data goes in unchanged, the
// optional EDC left zero), so that the data view holds zeros there. A last
// part-sector is padded with zeros.
inline Bytes RawImage(const Bytes &iso, const std::vector<bool> &form2 = {})
{
    const size_t sectors = (iso.size() + SECTOR_DATA_SIZE - 1) / SECTOR_DATA_SIZE;
    Bytes image(sectors * RAW_SECTOR_SIZE, 0);
    const auto bcd = [](size_t n) { return (uint8_t)(n / 10 % 10 << 4 | n % 10); };
    for (size_t i = 0, address = 150, from = 0; i < sectors; i++, address++, from += SECTOR_DATA_SIZE) {
        uint8_t *const sector = &image[i * RAW_SECTOR_SIZE];
        const bool formTwo = i < form2.size() && form2[i];
        std::fill(sector + 1, sector + 11, 0xFF), sector[15] = 2, sector[18] = sector[22] = formTwo ? 0x20 : 0x08;
        sector[12] = bcd(address / 75 / 60), sector[13] = bcd(address / 75 % 60), sector[14] = bcd(address % 75);
        std::copy(iso.begin() + from, iso.begin() + std::min(from + SECTOR_DATA_SIZE, iso.size()), sector + 24);
        if (!formTwo)
            SetSectorCodes(sector);
    }
    return image;
}

// The name IsoNames gives `position`, found the plain way: every extent of
// every file looked at, in order of precedence. (A position before an extent
// wraps around to far more than its length.)
inline std::string PlainName(const std::vector<IsoFile> &files, uint64_t position)
{
    const IsoFile *best = nullptr;
    uint64_t offset = 0;
    for (const IsoFile &file : files)
        for (const IsoExtent &e : file.extents)
            if (position - e.position < e.length && (best == nullptr || file.path < best->path)) {
                best = &file, offset = e.offset + (position - e.position);
                break;
            }
    char hex[32];
    std::snprintf(hex, sizeof hex, "+0x%llX", (unsigned long long)offset);
    return best == nullptr ? "-" : best->path + hex;
}

#endif
