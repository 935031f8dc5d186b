// Placeholder until the reader lands.
#ifndef EXSPACK_ISO9660_H
#define EXSPACK_ISO9660_H
#include <stdint.h>
#include <string>
#include <vector>
struct IsoExtent { uint64_t position, length, offset; };
struct IsoFile { std::string path; std::vector<IsoExtent> extents; };
inline bool ReadIsoFileSystem(const uint8_t *, uint64_t, std::vector<IsoFile> *, std::vector<uint64_t> * = nullptr) { return false; }
class IsoNames {
public:
    IsoNames() = default;
    explicit IsoNames(const std::vector<IsoFile> &) {}
    bool empty() const { return true; }
    std::string Name(uint64_t) const { return "-"; }
};
#endif
