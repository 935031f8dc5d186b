#include "support.h"

#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

static size_t PageSize()
{
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return (size_t)sysconf(_SC_PAGESIZE);
#endif
}

GuardedBuffer::GuardedBuffer(size_t size) : size_(size)
{
    const size_t page = PageSize();
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
}

GuardedBuffer::GuardedBuffer(const Bytes &contents) : GuardedBuffer(contents.size())
{
    if (!contents.empty())
        memcpy(data_, contents.data(), contents.size());
}

GuardedBuffer::~GuardedBuffer()
{
#ifdef _WIN32
    VirtualFree(map_, 0, MEM_RELEASE);
#else
    munmap(map_, mapped_);
#endif
}

void StreamBuilder::Flag(bool literal)
{
    if (items_ == 8) {
        flagAt_ = bytes_.size();
        bytes_.push_back(0);
        items_ = 0;
    }
    if (literal)
        bytes_[flagAt_] |= (uint8_t)(1u << items_);
    items_++;
}

StreamBuilder &StreamBuilder::Literal(uint8_t byte)
{
    Flag(true);
    bytes_.push_back(byte);
    return *this;
}

StreamBuilder &StreamBuilder::Literals(const std::string &text)
{
    for (char c : text)
        Literal((uint8_t)c);
    return *this;
}

StreamBuilder &StreamBuilder::Reference(unsigned field, unsigned length)
{
    return Word(field | (length - 2) << 12);
}

StreamBuilder &StreamBuilder::Word(unsigned word)
{
    Flag(false);
    bytes_.push_back((uint8_t)word);
    bytes_.push_back((uint8_t)(word >> 8));
    return *this;
}

ScanResult Scan(const Bytes &stream, size_t available)
{
    GuardedBuffer guarded(Bytes(stream.begin(), stream.begin() + available));
    ScanResult result{0, 0xC0FFEE};
    result.size = LZSS_GetDecompressedSize(guarded.data(), available, &result.consumed);
    return result;
}

Bytes Decode(const Bytes &stream)
{
    const ScanResult scan = Scan(stream);
    EXPECT_NE(scan.size, UINT64_MAX);
    if (scan.size == UINT64_MAX)
        return {};
    // Only the consumed bytes are readable: the decoder must not look further.
    GuardedBuffer in(Bytes(stream.begin(), stream.begin() + scan.consumed));
    GuardedBuffer out(scan.size);
    LZSS_Decompress(in.data(), out.data());
    return out.bytes();
}

Bytes Compress(const Bytes &input)
{
    GuardedBuffer in(input);
    GuardedBuffer out(LZSS_GetCompressedMaxSize(input.size()));
    const uint64_t n = LZSS_CompressSimpleFast(in.data(), input.size(), out.data());
    EXPECT_LE(n, out.size());
    return Bytes(out.data(), out.data() + std::min<uint64_t>(n, out.size()));
}

Bytes RoundTrip(const Bytes &input)
{
    const Bytes fast = Compress(input);
    GuardedBuffer in(input);
    GuardedBuffer simple(LZSS_GetCompressedMaxSize(input.size()));
    const uint64_t n = LZSS_CompressSimple(in.data(), input.size(), simple.data());
    EXPECT_GE(fast.size(), 3u);
    EXPECT_TRUE(n == fast.size() && memcmp(simple.data(), fast.data(), fast.size()) == 0)
        << "the two encoders disagree";
    const ScanResult scan = Scan(fast);
    EXPECT_EQ(scan.consumed, fast.size());
    EXPECT_EQ(scan.size, input.size());
    EXPECT_TRUE(Decode(fast) == input) << "the stream does not decode to the input";
    return fast;
}

const char *const kCorpusFiles[9] = {"alice29.txt", "lcet10.txt", "plrabn12.txt", "html", "urls.10K",
                                     "geo.protodata", "kppkn.gtb", "paper-100k.pdf", "fireworks.jpeg"};

std::string CorpusTestName(const testing::TestParamInfo<const char *> &info)
{
    std::string name = info.param;
    for (char &c : name)
        if (!isalnum((unsigned char)c))
            c = '_';
    return name;
}

Bytes FromText(const std::string &text) { return Bytes(text.begin(), text.end()); }

Bytes FromHex(const std::string &hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size();) {
        if (hex[i] == ' ') {
            i++;
            continue;
        }
        bytes.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
        i += 2;
    }
    return bytes;
}

Bytes ReadFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
