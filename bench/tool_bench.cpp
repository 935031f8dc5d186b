// The tool as a process on large files: what people wait for and the memory
// it takes. Each entry runs the tool (and a yardstick command in the same
// run) as a child, timed by the wall clock, its peak resident memory read
// from wait4. Containers are EXSPACK_BENCH_CONTAINER_MIB (default 64) MiB of
// random bytes; 700 gives the size of a CD.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CdImage.h"
#include "LZSS.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Child {
    double seconds, peakMiB;
};

// Runs args as a child and times it. Everything written before, by this
// program or by an earlier child, is flushed first: on these machines the
// writeback of a just-written file otherwise lands in whichever run comes
// next.
Child Spawn(const std::vector<std::string> &args)
{
    sync();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv;
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        if (freopen("/dev/null", "w", stdout) == nullptr || freopen("/dev/null", "w", stderr) == nullptr)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "exspack_bench: %s failed\n", args[0].c_str());
        exit(1);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return {took.count(), usage.ru_maxrss / 1024.0}; // Linux reports KiB
}

const std::string &Scratch()
{
    static char name[] = "/tmp/exspack-bench-XXXXXX";
    static const std::string dir = mkdtemp(name) ? name : (exit(1), "");
    // The string may be gone by the time exit handlers run; the array stays.
    static const int cleanup = atexit([] { (void)!system((std::string("rm -rf ") + name).c_str()); });
    (void)cleanup;
    return dir;
}

std::string Write(const std::string &name, const Bytes &bytes)
{
    const std::string path = Scratch() + "/" + name;
    std::ofstream(path, std::ios::binary).write((const char *)bytes.data(), (std::streamsize)bytes.size());
    // On disk before anything is timed: a later fsync would otherwise pay
    // for writing it out too.
    sync();
    return path;
}

Bytes Random(uint64_t n, unsigned seed)
{
    std::mt19937_64 rng(seed);
    Bytes bytes(n / 8 * 8);
    for (size_t i = 0; i < bytes.size(); i += 8) {
        const uint64_t word = rng();
        memcpy(&bytes[i], &word, 8);
    }
    return bytes;
}

uint64_t ContainerSize()
{
    const char *mib = getenv("EXSPACK_BENCH_CONTAINER_MIB");
    return (mib ? strtoull(mib, nullptr, 10) : 64) << 20;
}

// At least `floor`, unless a size was asked for: the smoke test asks for a
// small one, to prove every entry in seconds rather than to time it.
uint64_t ContainerSizeAtLeast(uint64_t floor)
{
    return getenv("EXSPACK_BENCH_CONTAINER_MIB") ? ContainerSize() : std::max(floor, ContainerSize());
}

// A record of n random bytes, as the tool writes it.
Bytes Record(uint64_t n)
{
    const Bytes input = Random(n, 7);
    Bytes record(8 + LZSS_GetCompressedMaxSize(n));
    record.resize(8 + LZSS_CompressSimpleFast(input.data(), n, record.data() + 8));
    const uint8_t header[8] = {0x45, 0x58, 0x53, 0x01, (uint8_t)n, (uint8_t)(n >> 8), (uint8_t)(n >> 16), 0};
    std::copy(header, header + 8, record.begin());
    return record;
}

// The peak of packing ContainerSize() (64 MiB) of random bytes: the input,
// the worst-case output and the position queues, against 2.3 N + 12 MiB.
void BM_ToolPackPeakMemory(benchmark::State &state)
{
    const uint64_t size = ContainerSize();
    const std::string in = Write("pack.in", Random(size, 1)), out = Scratch() + "/pack.out";
    Child child{};
    for (auto _ : state)
        child = Spawn({EXSPACK_TOOL, in, out});
    state.SetBytesProcessed((int64_t)(state.iterations() * size));
    state.counters["peak_MiB"] = child.peakMiB;
    state.counters["limit_MiB"] = 2.3 * (size >> 20) + 12;
}
BENCHMARK(BM_ToolPackPeakMemory)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

// A container (or a raw CD image) with a record in its middle, which
// put-back replaces by turns with two shorter ones, so that every run writes
// the whole file, or with patch only a patch; against a synced copy of the
// same file.
void PutBack(benchmark::State &state, bool image, bool patch)
{
    const uint64_t size = ContainerSize() / RAW_SECTOR_SIZE * RAW_SECTOR_SIZE;
    Bytes container = Random(size, 2);
    const Bytes record = Record(1 << 16);
    uint64_t position = size / 2, at = position;
    if (image) {
        for (uint64_t s = 0; s < size; s += RAW_SECTOR_SIZE) {
            static const uint8_t form1[16] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 2, 0, 2};
            memcpy(&container[s], form1, 16);
            memset(&container[s + 16], 0, 8);
        }
        position = size / RAW_SECTOR_SIZE / 2 * SECTOR_DATA_SIZE;
        for (uint64_t k = 0; k < record.size(); k++, position++) // the record's bytes, sector by sector
            container[position / SECTOR_DATA_SIZE * RAW_SECTOR_SIZE + 24 + position % SECTOR_DATA_SIZE] = record[k];
        position -= record.size();
        for (uint64_t s = 0; s < size; s += RAW_SECTOR_SIZE)
            SetSectorCodes(&container[s]);
    } else {
        std::copy(record.begin(), record.end(), container.begin() + at);
    }
    const std::string path = Write(image ? "image.bin" : "container", container), copy = Scratch() + "/copy";
    container = Bytes();
    const std::string inputs[2] = {Write("zeros", Bytes(1000, 0)), Write("ones", Bytes(1000, 1))};
    // The fastest of each, each run twice in a row: the file system's own
    // work after a large write (freeing and discarding blocks) falls on
    // whatever runs next and makes single runs vary by a factor of three.
    double put = 1e9, dd = 1e9, peak = 0;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; turn++)
            dd = std::min(dd, Spawn({"dd", "if=" + path, "of=" + copy, "bs=1M", "conv=fsync"}).seconds);
        for (int turn = 0; turn < 2; turn++) {
            std::vector<std::string> args = {EXSPACK_TOOL, inputs[turn], path, "-i", "-p", std::to_string(position)};
            if (patch) // the container is only read
                args.push_back(Scratch() + "/change.ppf");
            const Child child = Spawn(args);
            put = std::min(put, child.seconds);
            peak = std::max(peak, child.peakMiB);
        }
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * size));
    state.counters["vs_synced_copy"] = put / dd;
    state.counters["peak_per_size"] = peak / (size >> 20);
    state.counters["peak_MiB"] = peak;
}
BENCHMARK_CAPTURE(PutBack, container, false, false)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(2);
BENCHMARK_CAPTURE(PutBack, cd_image, true, false)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(2);
BENCHMARK_CAPTURE(PutBack, cd_image_patch, true, true)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(2);

// Text-like bytes: words from a small vocabulary, so that records are about
// half their input and a shorter edit fits its room in the default stream.
Bytes Words(uint64_t n, unsigned seed)
{
    static const char *const words[] = {"sector ", "record ", "stream ", "vesper ", "hall ", "data ", "the ", "of "};
    std::mt19937 rng(seed);
    Bytes bytes;
    while (bytes.size() < n) {
        const char *word = words[rng() % 8];
        bytes.insert(bytes.end(), word, word + strlen(word));
        if (rng() % 4 == 0)
            bytes.push_back((uint8_t)('0' + rng() % 10));
    }
    bytes.resize(n);
    return bytes;
}

// The peak memory of putting back many records at once, in place and as a
// patch, into a plain container and a raw image of ContainerSize() but at
// least 256 MiB, where holding the file whole shows, with a record every
// 64 KiB or so of data, pairs of them sharing a sector; each edit is a
// shorter file, which leaves zeros behind in the room. Held against the data
// view, twice the bytes changed (in the file's coordinates: whole sectors in
// an image) and 64 MiB. Every record is checked afterwards.
void PutBackMany(benchmark::State &state, bool image, bool patch)
{
    const uint64_t size = ContainerSizeAtLeast(256 << 20), sectors = size / RAW_SECTOR_SIZE;
    const uint64_t viewSize = image ? sectors * SECTOR_DATA_SIZE : size, count = viewSize >> 16;
    const uint64_t spacing = viewSize / count, input = 12000;
    Bytes view = Random(viewSize, 4);
    const std::string folder = Scratch() + "/many", again = Scratch() + "/again";
    (void)!system(("rm -rf " + folder + " " + again + " && mkdir " + folder).c_str());
    std::vector<uint64_t> positions;
    std::vector<bool> touched(sectors + 1);
    uint64_t changed = 0;
    for (uint64_t i = 0; i < count; i++) {
        const Bytes text = Words(input, (unsigned)i);
        Bytes record(8 + LZSS_GetCompressedMaxSize(input));
        record.resize(8 + LZSS_CompressSimpleFast(text.data(), input, record.data() + 8));
        const uint8_t header[8] = {0x45, 0x58, 0x53, 0x01, (uint8_t)input, (uint8_t)(input >> 8), 0, 0};
        std::copy(header, header + 8, record.begin());
        const uint64_t at = i * spacing + (i % 2 ? spacing - record.size() - 1 : 0); // pairs share a sector
        std::copy(record.begin(), record.end(), view.begin() + at);
        positions.push_back(at);
        char name[16];
        snprintf(name, sizeof name, "/%08llX.bin", (unsigned long long)at);
        std::ofstream(folder + name, std::ios::binary).write((const char *)text.data(), input / 2);
        if (!image)
            changed += record.size();
        for (uint64_t s = at / SECTOR_DATA_SIZE; image && s <= (at + record.size() - 1) / SECTOR_DATA_SIZE; s++)
            touched[s] = true;
    }
    if (image)
        changed = std::count(touched.begin(), touched.end(), true) * RAW_SECTOR_SIZE;
    Bytes file = view;
    if (image) {
        static const uint8_t form1[16] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 2, 0, 2};
        file.assign(sectors * RAW_SECTOR_SIZE, 0);
        for (uint64_t s = 0; s < sectors; s++) {
            memcpy(&file[s * RAW_SECTOR_SIZE], form1, 16);
            memcpy(&file[s * RAW_SECTOR_SIZE + 24], &view[s * SECTOR_DATA_SIZE], SECTOR_DATA_SIZE);
            SetSectorCodes(&file[s * RAW_SECTOR_SIZE]);
        }
    }
    view = Bytes();
    const std::string original = Write("many.original", file), path = Scratch() + "/many.container";
    file = Bytes();
    double peak = 0, seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Spawn({"cp", original, path});
        state.ResumeTiming();
        std::vector<std::string> args = {EXSPACK_TOOL, folder, path, "-i"};
        if (patch)
            args.push_back(Scratch() + "/many.ppf");
        const Child child = Spawn(args);
        peak = std::max(peak, child.peakMiB);
        seconds = child.seconds;
    }
    // Every record reads back as its edited file (Spawn stops the benchmark
    // when diff finds a difference), or with a patch the container is as it
    // was.
    if (patch) {
        Spawn({"cmp", "-s", original, path});
    } else {
        Spawn({EXSPACK_TOOL, path, again, "-l"});
        Spawn({"diff", "-r", "-q", "-x", "records.tsv", folder, again}); // -l adds its record list
    }
    const double limit = (viewSize + 2 * changed) / 1048576.0 + 64;
    if (peak > limit)
        state.SkipWithError("the peak memory passes the limit");
    state.SetBytesProcessed((int64_t)(state.iterations() * (image ? sectors * RAW_SECTOR_SIZE : viewSize)));
    state.counters["records"] = (double)count;
    state.counters["changed_MiB"] = changed / 1048576.0;
    state.counters["peak_MiB"] = peak;
    state.counters["limit_MiB"] = limit;
    state.counters["seconds"] = seconds;
}
BENCHMARK_CAPTURE(PutBackMany, container, false, false)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK_CAPTURE(PutBackMany, container_patch, false, true)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK_CAPTURE(PutBackMany, cd_image, true, false)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK_CAPTURE(PutBackMany, cd_image_patch, true, true)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

// -l extracting 4,096 records into a folder, each file replaced safely, against
// -l listing them alone: the files are flushed once, together, not each.
void BM_ToolListIntoFolder(benchmark::State &state)
{
    const uint64_t count = ContainerSize() >> 14, input = 12000; // 4096 records in 64 MiB
    Bytes container;
    for (uint64_t i = 0; i < count; i++) {
        const Bytes text = Words(input, (unsigned)i);
        const size_t at = container.size();
        container.resize(at + 8 + LZSS_GetCompressedMaxSize(input));
        container.resize(at + 8 + LZSS_CompressSimpleFast(text.data(), input, &container[at + 8]));
        const uint8_t header[8] = {0x45, 0x58, 0x53, 0x01, (uint8_t)input, (uint8_t)(input >> 8), 0, 0};
        std::copy(header, header + 8, container.begin() + at);
    }
    const std::string path = Write("records", container), folder = Scratch() + "/extracted";
    double extract = 1e9, list = 1e9;
    for (auto _ : state) {
        list = std::min(list, Spawn({EXSPACK_TOOL, path, "-l"}).seconds);
        Spawn({"rm", "-rf", folder});
        extract = std::min(extract, Spawn({EXSPACK_TOOL, path, folder, "-l"}).seconds);
    }
    state.counters["seconds"] = extract;
    state.counters["vs_listing_alone"] = extract / list;
}
BENCHMARK(BM_ToolListIntoFolder)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(2);

// -l on a raw image against -l on its data view as a plain file.
void BM_ToolListCdImage(benchmark::State &state)
{
    const uint64_t sectors = ContainerSize() / RAW_SECTOR_SIZE;
    Bytes image = Random(sectors * RAW_SECTOR_SIZE, 3), view(sectors * SECTOR_DATA_SIZE);
    static const uint8_t form1[16] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 2, 0, 2};
    for (uint64_t s = 0; s < sectors; s++) {
        memcpy(&image[s * RAW_SECTOR_SIZE], form1, 16);
        memset(&image[s * RAW_SECTOR_SIZE + 16], 0, 8);
    }
    ReadDataView(image.data(), image.size(), view.data());
    const std::string raw = Write("list.bin", image), plain = Write("list.plain", view);
    image = view = Bytes();
    double cd = 1e9, flat = 1e9;
    for (auto _ : state) {
        cd = std::min(cd, Spawn({EXSPACK_TOOL, raw, "-l"}).seconds);
        flat = std::min(flat, Spawn({EXSPACK_TOOL, plain, "-l"}).seconds);
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * sectors * RAW_SECTOR_SIZE));
    state.counters["vs_plain_file"] = cd / flat;
}
BENCHMARK(BM_ToolListCdImage)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

// Files that made a search cost the square of their size, each of
// EXSPACK_BENCH_CONTAINER_MIB: -l on them against -l on random bytes.
//
// A magic in every group of literals (a flag byte 0xFF, the magic and a
// size), so that every magic's stream runs on to the end of the file.
Bytes LiteralRun(uint64_t n)
{
    static const uint8_t group[9] = {0xFF, 0x45, 0x58, 0x53, 0x01, 0xE8, 0x03, 0x00, 0x00};
    Bytes bytes(n);
    for (uint64_t i = 0; i < n; i++)
        bytes[i] = group[i % 9];
    return bytes;
}

// The same ended by a terminator: one record of the whole file, every
// magic in it the start of a stream that holds as well.
Bytes ValidRun(uint64_t n)
{
    Bytes bytes = LiteralRun(n - 3 - (n - 3) % 9);
    bytes.resize(bytes.size() + 3, 0);
    return bytes;
}

// The same ended by references that fail every stream still under way, one
// class of decoded sizes (modulo 4096) after another.
Bytes FailLate(uint64_t n)
{
    const uint64_t refs = 4096 + 16, m = (n - refs / 8 * 17) / 9;
    Bytes bytes = LiteralRun(m * 9);
    // The stream of the magic in group j decodes 8 * (m - j) bytes before
    // the tail: at first f = 4095 ends the scans below 4095, then each
    // field ends the scans of one residue still under way.
    std::vector<bool> alive(4096);
    for (uint64_t j = 1; j < m; j++)
        if (8 * (m - j) >= 4095)
            alive[8 * (m - j) % 4096] = true;
    uint64_t shift = 0;
    for (uint64_t r = 0; r < refs; r++, shift += 2) {
        unsigned f = 4095;
        if (r != 0) {
            f = 1;
            for (unsigned k = 0; k < 4096; k++)
                if (alive[k] && (k + shift) % 4096 != 4095) {
                    alive[k] = false;
                    f = (unsigned)((k + shift) % 4096) + 1;
                    break;
                }
        }
        if (r % 8 == 0)
            bytes.push_back(0x00); // eight references
        bytes.push_back((uint8_t)f);
        bytes.push_back((uint8_t)(f >> 8));
    }
    bytes.resize(n, 0);
    return bytes;
}

// Magics whose streams start apart and meet on the same groups with other
// decoded sizes, found by a search over short patterns.
Bytes Converge(uint64_t n)
{
    static const uint8_t pattern[45] = {0xbf, 0xfe, 0xff, 0xff, 0xff, 0x45, 0x58, 0x53, 0x01, 0x02, 0x10, 0xfe,
                                        0x01, 0xff, 0xff, 0x10, 0xff, 0x02, 0xff, 0x02, 0x03, 0x02, 0xff, 0x01,
                                        0x01, 0xff, 0x10, 0xff, 0xff, 0x01, 0x03, 0xff, 0x03, 0x10, 0xff, 0x01,
                                        0xff, 0x02, 0x03, 0xfe, 0xff, 0x45, 0x58, 0x53, 0x01};
    Bytes bytes(n);
    for (uint64_t i = 0; i < n; i++)
        bytes[i] = pattern[i % sizeof pattern];
    return bytes;
}

// An ISO 9660 file system whose root holds many directory records, all of
// them naming block 0 with a length of 4 GiB, as many as the reader's memory
// budget lets it follow.
Bytes IsoLoops(uint64_t n)
{
    Bytes bytes(n, 0);
    auto record = [&](uint64_t at, uint32_t block, uint32_t length, uint8_t name) {
        bytes[at] = 34;
        for (int i = 0; i < 4; i++) {
            bytes[at + 2 + i] = bytes[at + 9 - i] = (uint8_t)(block >> (8 * i));
            bytes[at + 10 + i] = bytes[at + 17 - i] = (uint8_t)(length >> (8 * i));
        }
        bytes[at + 25] = 2; // a directory
        bytes[at + 28] = bytes[at + 31] = 1;
        bytes[at + 32] = 1;
        bytes[at + 33] = name;
    };
    const uint64_t blocks = std::max<uint64_t>(1, n / 200 / 60), pvd = 16 * 2048;
    static const uint8_t descriptors[2][7] = {{1, 'C', 'D', '0', '0', '1', 1}, {255, 'C', 'D', '0', '0', '1', 1}};
    memcpy(&bytes[pvd], descriptors[0], 7);
    memcpy(&bytes[pvd + 2048], descriptors[1], 7);
    bytes[pvd + 129] = bytes[pvd + 130] = 0x08; // the block size, 2048, both byte orders
    record(pvd + 156, 18, (uint32_t)(blocks * 2048), 0);
    uint64_t k = 0;
    for (uint64_t b = 18; b < 18 + blocks; b++)
        for (uint64_t at = b * 2048; at + 34 <= (b + 1) * 2048; at += 34)
            record(at, 0, 0xFFFFFFFF, (uint8_t)('A' + k++ % 26));
    return bytes;
}

// The fastest -l of each, a few times in turn.
void ToolListShape(benchmark::State &state, Bytes (*make)(uint64_t))
{
    static const std::string random = Write("list.random", Random(ContainerSize(), 5));
    const std::string shaped = Write("list.shaped", make(ContainerSize()));
    double plain = 1e9, slow = 1e9;
    for (auto _ : state)
        for (int turn = 0; turn < 3; turn++) {
            plain = std::min(plain, Spawn({EXSPACK_TOOL, random, "-l"}).seconds);
            slow = std::min(slow, Spawn({EXSPACK_TOOL, shaped, "-l"}).seconds);
        }
    state.SetBytesProcessed((int64_t)(state.iterations() * ContainerSize()));
    state.counters["seconds"] = slow;
    state.counters["random_seconds"] = plain;
    state.counters["vs_random"] = slow / plain;
}
BENCHMARK_CAPTURE(ToolListShape, literal_run, LiteralRun)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK_CAPTURE(ToolListShape, valid_run, ValidRun)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK_CAPTURE(ToolListShape, fail_late, FailLate)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK_CAPTURE(ToolListShape, converge, Converge)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK_CAPTURE(ToolListShape, iso_loops, IsoLoops)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

} // namespace
