// Codec throughput on the corpus and on the game-like files, with zlib in the
// same run as the yardstick.
//
// Every entry reports bytes per second of uncompressed data. At the end the
// program prints a table per corpus file and for the whole corpus: MB/s of
// each entry (the median when --benchmark_repetitions is given) and the
// ratios that matter, queue encoder to zlib level 1 compression and scan plus
// decode to zlib inflation. A second table gives both encoders on the
// game-like files, and last comes each encoder's slowest file against zlib
// level 1 over all files.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "LZSS.h"
#include "Records.h"
#include "Iso9660.h"

#include <cstring>
#include <random>

namespace {

// The files of the corpus, in the order they are reported. The exhaustive
// encoder runs on the one marked small: it needs minutes on the others.
struct CorpusFile {
    const char *name;
    bool small;
};
const CorpusFile kCorpus[] = {
    {"alice29.txt", false},    {"lcet10.txt", false}, {"plrabn12.txt", false},
    {"html", true},            {"urls.10K", false},   {"geo.protodata", false},
    {"kppkn.gtb", false},      {"paper-100k.pdf", false}, {"fireworks.jpeg", false},
};

// Generated data of the kinds the game's records hold: long runs, sparse
// pixels, few distinct bytes. Only the encoders and zlib level 1 run on them.
const char *const kGameLike[] = {"sprites4bpp.bin", "tilemap.bin",    "mesh.bin",
                                 "padded.bin",      "bitmap1bpp.bin", "script.bin"};

struct Sample {
    std::string name;
    std::vector<uint8_t> raw;
    std::vector<uint8_t> packed; // LZSS stream of raw
    std::vector<uint8_t> zpacked; // zlib level 1 of raw
};

[[noreturn]] void Die(const std::string &message)
{
    fprintf(stderr, "exspack_bench: %s\n", message.c_str());
    exit(1);
}

std::vector<uint8_t> ReadFile(const std::string &path)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        // Without its sample files the benchmark measures nothing: the test
        // that runs it counts as skipped (see bench/CMakeLists.txt), but
        // not in CI, which lays them beside the clone.
        fprintf(stderr, "exspack_bench: cannot open %s, nothing measured\n", path.c_str());
        const char *ci = getenv("CI");
        exit(ci != nullptr && strcmp(ci, "true") == 0 ? 1 : 77);
    }
    std::vector<uint8_t> data;
    uint8_t chunk[1 << 16];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        data.insert(data.end(), chunk, chunk + n);
    fclose(file);
    return data;
}

// Prepares the compressed forms once and proves that both codecs give the
// input back, so that no entry times a broken round trip.
Sample Load(const std::string &dir, const char *name)
{
    Sample s;
    s.name = name;
    s.raw = ReadFile(dir + "/" + name);
    s.packed.resize(LZSS_GetCompressedMaxSize(s.raw.size()));
    const uint64_t n = LZSS_CompressSimpleFast(s.raw.data(), s.raw.size(), s.packed.data());
    if (n == UINT64_MAX)
        Die(s.name + ": the encoder failed");
    s.packed.resize(n);
    uint64_t consumed = 0;
    std::vector<uint8_t> back(s.raw.size());
    if (LZSS_GetDecompressedSize(s.packed.data(), n, &consumed) != s.raw.size() || consumed != n)
        Die(s.name + ": the scanner rejects the encoder's stream");
    LZSS_Decompress(s.packed.data(), back.data());
    if (back != s.raw)
        Die(s.name + ": the LZSS round trip differs");

    uLongf zn = compressBound(s.raw.size());
    s.zpacked.resize(zn);
    if (compress2(s.zpacked.data(), &zn, s.raw.data(), s.raw.size(), 1) != Z_OK)
        Die(s.name + ": zlib compression failed");
    s.zpacked.resize(zn);
    uLongf bn = back.size();
    if (uncompress(back.data(), &bn, s.zpacked.data(), zn) != Z_OK || bn != s.raw.size() || back != s.raw)
        Die(s.name + ": the zlib round trip differs");
    return s;
}

void Processed(benchmark::State &state, const Sample &s)
{
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)s.raw.size());
}

void BM_CompressSimpleFast(benchmark::State &state, const Sample *s)
{
    std::vector<uint8_t> out(LZSS_GetCompressedMaxSize(s->raw.size()));
    for (auto _ : state)
        benchmark::DoNotOptimize(LZSS_CompressSimpleFast(s->raw.data(), s->raw.size(), out.data()));
    Processed(state, *s);
}

void BM_CompressSimple(benchmark::State &state, const Sample *s)
{
    std::vector<uint8_t> out(LZSS_GetCompressedMaxSize(s->raw.size()));
    for (auto _ : state)
        benchmark::DoNotOptimize(LZSS_CompressSimple(s->raw.data(), s->raw.size(), out.data()));
    Processed(state, *s);
}

// Wall-clock time: a large input's second half is searched on another thread.
void BM_CompressOptimal(benchmark::State &state, const Sample *s)
{
    std::vector<uint8_t> out(LZSS_GetCompressedMaxSize(s->raw.size()));
    std::vector<uint8_t> work(LZSS_GetOptimalWorkSize(s->raw.size()));
    for (auto _ : state)
        benchmark::DoNotOptimize(LZSS_CompressOptimal(s->raw.data(), s->raw.size(), out.data(), work.data()));
    Processed(state, *s);
}

void BM_GetDecompressedSize(benchmark::State &state, const Sample *s)
{
    uint64_t consumed = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(LZSS_GetDecompressedSize(s->packed.data(), s->packed.size(), &consumed));
    Processed(state, *s);
}

// What unpacking a record costs: the scan that validates and sizes the
// stream, then the decode.
void BM_ScanAndDecompress(benchmark::State &state, const Sample *s)
{
    std::vector<uint8_t> out(s->raw.size());
    for (auto _ : state) {
        uint64_t consumed = 0;
        const uint64_t size = LZSS_GetDecompressedSize(s->packed.data(), s->packed.size(), &consumed);
        if (size != out.size()) {
            state.SkipWithError("scan failed");
            break;
        }
        LZSS_Decompress(s->packed.data(), out.data());
        benchmark::ClobberMemory();
    }
    Processed(state, *s);
}

void BM_ZlibCompress1(benchmark::State &state, const Sample *s)
{
    std::vector<uint8_t> out(compressBound(s->raw.size()));
    for (auto _ : state) {
        uLongf n = out.size();
        benchmark::DoNotOptimize(compress2(out.data(), &n, s->raw.data(), s->raw.size(), 1));
    }
    Processed(state, *s);
}

void BM_ZlibInflate(benchmark::State &state, const Sample *s)
{
    std::vector<uint8_t> out(s->raw.size());
    for (auto _ : state) {
        uLongf n = out.size();
        benchmark::DoNotOptimize(uncompress(out.data(), &n, s->zpacked.data(), s->zpacked.size()));
        benchmark::ClobberMemory();
    }
    Processed(state, *s);
}

// The list mode's search between records: 256 MiB of zeros (0) or random
// bytes (1) holding four empty records.
void BM_FindRecords(benchmark::State &state)
{
    const size_t size = size_t(1) << 28;
    std::vector<uint8_t> data(size);
    if (state.range(0) == 1) {
        std::mt19937_64 rng(1);
        for (size_t i = 0; i + 8 <= size; i += 8) {
            const uint64_t word = rng();
            memcpy(&data[i], &word, 8);
        }
    }
    static const uint8_t empty[11] = {0x45, 0x58, 0x53, 0x01, 0, 0, 0, 0, 0, 0, 0};
    for (size_t pos = size / 4; pos <= size; pos += size / 4)
        memcpy(&data[pos - sizeof empty], empty, sizeof empty);
    for (auto _ : state) {
        std::vector<FoundRecord> found;
        FindRecords(data.data(), 0, size, &found);
        const uint64_t count = found.size();
        if (count != 4)
            state.SkipWithError("wrong number of records");
        benchmark::DoNotOptimize(count);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)size);
}

// Shows the usual console output and keeps each entry's rate: the median
// aggregate when there are repetitions, the single run otherwise.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &reports) override
    {
        ConsoleReporter::ReportRuns(reports);
        for (const Run &run : reports) {
            if (run.error_occurred)
                continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!median && run.run_type != Run::RT_Iteration)
                continue;
            const auto rate = run.counters.find("bytes_per_second");
            if (rate == run.counters.end())
                continue;
            const std::string name = run.run_name.function_name;
            // Once a median exists, single repetitions no longer count.
            if (median || !medians_.count(name)) {
                rates_[name] = rate->second.value;
                if (median)
                    medians_[name] = true;
            }
        }
    }

    // Rate of family on file, 0 when it did not run.
    double Rate(const std::string &family, const std::string &file) const
    {
        const auto it = rates_.find(family + "/" + file);
        return it == rates_.end() ? 0 : it->second;
    }

private:
    std::map<std::string, double> rates_;
    std::map<std::string, bool> medians_;
};

// One row of rates in the order of PrintTable's families, with the ratios.
void PrintRow(const char *name, const std::vector<double> &r)
{
    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
    printf("| %s | %.1f | %.1f | %.3f | %.1f | %.1f | %.2f | %.1f | %.1f | %.3f |\n", name, r[0] / 1e6, r[1] / 1e6,
           ratio(r[0], r[1]), r[2] / 1e6, r[3] / 1e6, ratio(r[2], r[3]), r[4] / 1e6, r[5] / 1e6, ratio(r[5], r[1]));
}

void PrintTable(const RatioReporter &reporter, const std::vector<Sample> &samples)
{
    const char *const families[] = {"BM_CompressSimpleFast", "BM_ZlibCompress1", "BM_ScanAndDecompress",
                                    "BM_ZlibInflate", "BM_GetDecompressedSize", "BM_CompressOptimal"};
    const int count = sizeof families / sizeof families[0];
    // Whole corpus: all bytes over the time all files take, so every file
    // weighs by its size.
    double bytes = 0;
    std::vector<double> seconds(count, 0);
    std::vector<bool> complete(count, true);
    printf("\n| file | fast enc MB/s | zlib-1 MB/s | enc ratio | scan+dec MB/s | inflate MB/s | dec ratio | scan MB/s "
           "| best enc MB/s | best ratio |\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Sample &s : samples) {
        std::vector<double> r(count);
        bool any = false;
        for (int f = 0; f < count; f++) {
            r[f] = reporter.Rate(families[f], s.name);
            any = any || r[f] > 0;
            if (r[f] > 0)
                seconds[f] += s.raw.size() / r[f];
            else
                complete[f] = false;
        }
        if (!any)
            continue;
        bytes += s.raw.size();
        PrintRow(s.name.c_str(), r);
    }
    if (bytes == 0)
        return;
    std::vector<double> r(count);
    for (int f = 0; f < count; f++)
        r[f] = complete[f] && seconds[f] > 0 ? bytes / seconds[f] : 0;
    PrintRow("**whole corpus**", r);
    printf("\ntargets: enc ratio >= 0.18, dec ratio >= 1.5, best ratio >= 0.25 (MB = 10^6 bytes)\n");
}

// The encoders on the game-like files, then each encoder's slowest file of
// all against zlib level 1 over all files (all bytes over all its time).
void PrintEncoders(const RatioReporter &reporter, const std::vector<Sample> &games, const std::vector<Sample> &all)
{
    const char *const families[] = {"BM_CompressSimpleFast", "BM_CompressOptimal", "BM_ZlibCompress1"};
    printf("\n| file | fast enc MB/s | best enc MB/s | zlib-1 MB/s | enc ratio | best ratio |\n");
    printf("|---|---:|---:|---:|---:|---:|\n");
    for (const Sample &s : games) {
        double r[3];
        for (int f = 0; f < 3; f++)
            r[f] = reporter.Rate(families[f], s.name);
        if (r[2] > 0)
            printf("| %s | %.1f | %.1f | %.1f | %.3f | %.3f |\n", s.name.c_str(), r[0] / 1e6, r[1] / 1e6, r[2] / 1e6,
                   r[0] / r[2], r[1] / r[2]);
    }
    double bytes = 0, seconds = 0;
    for (const Sample &s : all) {
        const double rate = reporter.Rate(families[2], s.name);
        if (rate <= 0)
            return;
        bytes += s.raw.size();
        seconds += s.raw.size() / rate;
    }
    const double zlib = bytes / seconds;
    printf("\nzlib-1 over all %zu files: %.1f MB/s; slowest file against it (target >= 0.10):\n", all.size(),
           zlib / 1e6);
    for (int f = 0; f < 2; f++) {
        const Sample *slowest = nullptr;
        for (const Sample &s : all)
            if (slowest == nullptr || reporter.Rate(families[f], s.name) < reporter.Rate(families[f], slowest->name))
                slowest = &s;
        const double rate = reporter.Rate(families[f], slowest->name);
        printf("  %s: %s, %.1f MB/s, %.3f\n", families[f], slowest->name.c_str(), rate / 1e6, rate / zlib);
    }
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const char *dir = getenv("EXSPACK_CORPUS");
    std::vector<Sample> samples;
    for (const CorpusFile &file : kCorpus)
        samples.push_back(Load(dir != nullptr ? dir : EXSPACK_CORPUS_DIR, file.name));
    const char *gamedir = getenv("EXSPACK_GAMELIKE");
    std::vector<Sample> games;
    for (const char *name : kGameLike)
        games.push_back(Load(gamedir != nullptr ? gamedir : EXSPACK_GAMELIKE_DIR, name));

    // One file at a time, every entry on it, so that each codec and its
    // yardstick run close together on a machine shared with other work.
    for (size_t i = 0; i < samples.size(); i++) {
        const Sample *s = &samples[i];
        benchmark::RegisterBenchmark(("BM_CompressSimpleFast/" + s->name).c_str(), BM_CompressSimpleFast, s);
        if (kCorpus[i].small)
            benchmark::RegisterBenchmark(("BM_CompressSimple/" + s->name).c_str(), BM_CompressSimple, s);
        benchmark::RegisterBenchmark(("BM_CompressOptimal/" + s->name).c_str(), BM_CompressOptimal, s)->UseRealTime();
        benchmark::RegisterBenchmark(("BM_ZlibCompress1/" + s->name).c_str(), BM_ZlibCompress1, s);
        benchmark::RegisterBenchmark(("BM_GetDecompressedSize/" + s->name).c_str(), BM_GetDecompressedSize, s);
        benchmark::RegisterBenchmark(("BM_ScanAndDecompress/" + s->name).c_str(), BM_ScanAndDecompress, s);
        benchmark::RegisterBenchmark(("BM_ZlibInflate/" + s->name).c_str(), BM_ZlibInflate, s);
    }
    for (const Sample &s : games) {
        benchmark::RegisterBenchmark(("BM_CompressSimpleFast/" + s.name).c_str(), BM_CompressSimpleFast, &s);
        benchmark::RegisterBenchmark(("BM_CompressOptimal/" + s.name).c_str(), BM_CompressOptimal, &s)->UseRealTime();
        benchmark::RegisterBenchmark(("BM_ZlibCompress1/" + s.name).c_str(), BM_ZlibCompress1, &s);
    }

    benchmark::RegisterBenchmark("BM_FindRecords", BM_FindRecords)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintTable(reporter, samples);
    std::vector<Sample> all = samples;
    all.insert(all.end(), games.begin(), games.end());
    PrintEncoders(reporter, games, all);
    benchmark::Shutdown();
    return 0;
}

// Raw CD images: building the data view, a copy of 2048 of every 2352 bytes,
// and making the codes of every sector new, both over 64 MiB of Form 1
// sectors with random data. Bytes per second of the image.
#include "CdImage.h"

namespace {

const std::vector<uint8_t> &Form1Image()
{
    static std::vector<uint8_t> image = [] {
        static const uint8_t head[24] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,
                                         0, 2, 0, 2, 0, 0, 8, 0, 0, 0, 8, 0};
        std::vector<uint8_t> bytes((64 << 20) / RAW_SECTOR_SIZE * RAW_SECTOR_SIZE);
        std::mt19937 rng(1);
        for (size_t at = 0; at < bytes.size(); at += RAW_SECTOR_SIZE) {
            memcpy(&bytes[at], head, sizeof head);
            for (size_t i = sizeof head; i < sizeof head + SECTOR_DATA_SIZE; i++)
                bytes[at + i] = (uint8_t)rng();
            SetSectorCodes(&bytes[at]);
        }
        return bytes;
    }();
    return image;
}

void BM_CdReadDataView(benchmark::State &state)
{
    const std::vector<uint8_t> &image = Form1Image();
    std::vector<uint8_t> view(DataViewSize(image.size()));
    for (auto _ : state)
        if (ReadDataView(image.data(), image.size(), view.data()).size() != 1)
            state.SkipWithError("the sectors are not one run");
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)image.size());
}
BENCHMARK(BM_CdReadDataView)->Unit(benchmark::kMillisecond);

void BM_CdSetSectorCodes(benchmark::State &state)
{
    std::vector<uint8_t> image = Form1Image();
    for (auto _ : state) {
        for (size_t at = 0; at < image.size(); at += RAW_SECTOR_SIZE)
            SetSectorCodes(&image[at]);
        benchmark::ClobberMemory();
    }
    if (image != Form1Image())
        state.SkipWithError("codes made anew differ from the first ones");
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)image.size());
}
BENCHMARK(BM_CdSetSectorCodes)->Unit(benchmark::kMillisecond);

// Appends an ISO 9660 directory record to a directory's blocks; a record
// never crosses into the next block.
void PutDirectoryRecord(std::vector<uint8_t> &dir, uint32_t block, uint32_t size, uint8_t flags, const std::string &name)
{
    const size_t length = (33 + name.size() + 1) & ~(size_t)1;
    if (dir.size() % 2048 + length > 2048)
        dir.resize((dir.size() / 2048 + 1) * 2048, 0);
    const size_t at = dir.size();
    dir.resize(at + length, 0);
    dir[at] = (uint8_t)length;
    for (int i = 0; i < 4; i++) {
        dir[at + 2 + i] = dir[at + 9 - i] = (uint8_t)(block >> (8 * i)); // both byte orders
        dir[at + 10 + i] = dir[at + 17 - i] = (uint8_t)(size >> (8 * i));
    }
    dir[at + 25] = flags;
    dir[at + 28] = dir[at + 31] = 1;
    dir[at + 32] = (uint8_t)name.size();
    memcpy(&dir[at + 33], name.data(), name.size());
}

// A disc's data as the tool sees it, 64 MiB with an ISO 9660 file system of
// 50 folders of 100 files each, most of the data in files: what reading the
// tree and naming positions by file costs -l and -i.
void BM_IsoFileSystem(benchmark::State &state)
{
    const uint32_t folders = 50, files = 100, fileBlocks = 6;
    std::vector<uint8_t> view((size_t)64 << 20, 0), root;
    // The root in blocks 18 and 19, the folders' blocks three each, then the
    // files.
    const uint32_t first = 20 + folders * 3;
    PutDirectoryRecord(root, 18, 2 * 2048, 2, std::string(1, '\0'));
    PutDirectoryRecord(root, 18, 2 * 2048, 2, std::string(1, '\1'));
    for (uint32_t f = 0; f < folders; f++) {
        std::vector<uint8_t> dir;
        PutDirectoryRecord(dir, 20 + 3 * f, 3 * 2048, 2, std::string(1, '\0'));
        PutDirectoryRecord(dir, 18, 2 * 2048, 2, std::string(1, '\1'));
        for (uint32_t k = 0; k < files; k++)
            PutDirectoryRecord(dir, first + (f * files + k) * fileBlocks, fileBlocks * 2048, 0,
                               "FILE" + std::to_string(1000 + k) + ".BIN;1");
        memcpy(&view[(20 + 3 * f) * 2048], dir.data(), std::min<size_t>(dir.size(), 3 * 2048));
        PutDirectoryRecord(root, 20 + 3 * f, 3 * 2048, 2, "DIR" + std::to_string(100 + f));
    }
    memcpy(&view[18 * 2048], root.data(), std::min<size_t>(root.size(), 2 * 2048));
    const uint8_t descriptors[2][8] = {{1, 'C', 'D', '0', '0', '1', 1, 0}, {255, 'C', 'D', '0', '0', '1', 1, 0}};
    memcpy(&view[16 * 2048], descriptors[0], 8);
    memcpy(&view[17 * 2048], descriptors[1], 8);
    view[16 * 2048 + 128] = 0x00, view[16 * 2048 + 129] = 0x08; // the block size, 2048, both byte orders
    view[16 * 2048 + 130] = 0x08, view[16 * 2048 + 131] = 0x00;
    memcpy(&view[16 * 2048 + 156], root.data(), 34); // the root's own record
    size_t named = 0;
    for (auto _ : state) {
        std::vector<IsoFile> found;
        if (!ReadIsoFileSystem(view.data(), view.size(), &found) || found.size() != folders * files)
            state.SkipWithError("the file system is not read whole");
        const IsoNames names(found);
        for (uint64_t at = 0; at < view.size(); at += 65537)
            named += names.Name(at) != "-";
    }
    benchmark::DoNotOptimize(named);
}
BENCHMARK(BM_IsoFileSystem)->Unit(benchmark::kMillisecond);

} // namespace
