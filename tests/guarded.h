// Buffers that end right before a page the process may not touch, so that
// reading or writing one byte too far faults instead of passing unnoticed.
// Fresh pages: a buffer made without contents holds zeros.
// Free of the test framework so that the fuzz targets' replay uses it too.
#ifndef EXSPACK_TESTS_GUARDED_H
#define EXSPACK_TESTS_GUARDED_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

using Bytes = std::vector<uint8_t>;

class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size, const uint8_t *contents = nullptr);
    GuardedBuffer(const Bytes &contents) : GuardedBuffer(contents.size(), contents.data()) {}
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;
    uint8_t *data() { return data_; }
    Bytes bytes(size_t n) const { return Bytes(data_, data_ + n); }

private:
    void *map_ = nullptr;
    size_t mapped_ = 0;
    uint8_t *data_ = nullptr;
};

inline GuardedBuffer::GuardedBuffer(size_t size, const uint8_t *contents)
{
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
#else
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
#endif
    const size_t usable = (size + page - 1) / page * page;
    mapped_ = usable + page;
#ifdef _WIN32
    map_ = VirtualAlloc(nullptr, mapped_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old;
    if (map_ == nullptr || !VirtualProtect((uint8_t *)map_ + usable, page, PAGE_NOACCESS, &old))
        abort();
#else
    map_ = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map_ == MAP_FAILED || mprotect((uint8_t *)map_ + usable, page, PROT_NONE) != 0)
        abort();
#endif
    data_ = (uint8_t *)map_ + usable - size;
    if (size > 0 && contents != nullptr)
        memcpy(data_, contents, size);
}

inline GuardedBuffer::~GuardedBuffer()
{
#ifdef _WIN32
    VirtualFree(map_, 0, MEM_RELEASE);
#else
    munmap(map_, mapped_);
#endif
}

#endif
