// The codec through its public functions: the stream format the encoders
// write, the scanner's checks, the decoder's copies, and round trips.
#include "reference.h"
#include "support.h"

#include <random>

namespace {

// One decoded item of a stream, with the output position it stands at.
struct Item {
    bool literal;
    unsigned value; // the byte, or the window field
    unsigned length;
    uint64_t pos;
    bool operator==(const Item &o) const
    {
        return literal == o.literal && value == o.value && length == o.length && pos == o.pos;
    }
};

std::vector<Item> Items(const Bytes &stream)
{
    std::vector<Item> items;
    uint64_t pos = 0;
    for (size_t i = 0, bit = 8, flags = 0;; bit++) {
        if (bit == 8) {
            flags = stream.at(i++);
            bit = 0;
        }
        if (flags >> bit & 1) {
            items.push_back({true, stream.at(i++), 1, pos++});
            continue;
        }
        const unsigned word = stream.at(i) | stream.at(i + 1) << 8;
        i += 2;
        if ((word & 0xFFF) == 0)
            return items;
        items.push_back({false, word & 0xFFF, (word >> 12) + 2, pos});
        pos += (word >> 12) + 2;
    }
}

Item Ref(uint64_t pos, unsigned field, unsigned length) { return {false, field, length, pos}; }

Bytes Distinct(size_t n, uint8_t first = 0)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; i++)
        bytes[i] = (uint8_t)(first + i);
    return bytes;
}

Bytes Repeat(size_t n, uint8_t byte) { return Bytes(n, byte); }

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Filler that shares no byte with the ASCII test patterns.
Bytes Filler(size_t n)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; i++)
        bytes[i] = (uint8_t)(0x80 | (i * 7 + i / 128) % 128);
    return bytes;
}

} // namespace

// ---- The stream the encoders write ----

TEST(Format, KnownStreams)
{
    const struct {
        std::string input, stream;
    } cases[] = {
        {"", "000000"},
        {"A", "01 41 0000"},
        {"abcdefg", "7F 61626364656667 0000"},
        {"abcdefgh", "FF 6162636465666768 00 0000"},
        {"abcdefghi", "FF 6162636465666768 01 69 0000"},
        {"aa", "03 6161 0000"},
        {"aaa", "01 61 0100 0000"},
        {"abcabc", "07 616263 0110 0000"},
        {"ababab", "03 6162 0120 0000"},
        {std::string(18, 'a'), "01 61 01F0 0000"},
        {std::string(19, 'a'), "05 61 01F0 61 0000"},
        {std::string(20, 'a'), "01 61 01F0 1200 0000"},
        {"abcXabcYabc", "2F 616263 58 0110 59 0510 0000"}, // the nearer of two equal matches
    };
    for (const auto &c : cases)
        EXPECT_EQ(RoundTrip(FromText(c.input)), FromHex(c.stream)) << '"' << c.input << '"';
}

TEST(Format, BoundIsMetExactlyByLiteralsOnly)
{
    EXPECT_EQ(LZSS_GetCompressedMaxSize(0), 3u);
    EXPECT_EQ(LZSS_GetCompressedMaxSize(1), 4u);
    EXPECT_EQ(LZSS_GetCompressedMaxSize(8), 12u);
    EXPECT_EQ(LZSS_GetCompressedMaxSize(9), 13u);
    EXPECT_EQ(LZSS_GetCompressedMaxSize(UINT64_MAX - 4), UINT64_MAX / 8 + UINT64_MAX - 1);
    for (size_t n : {1, 7, 8, 9, 15, 16, 17, 255, 256})
        EXPECT_EQ(RoundTrip(Distinct(n)).size(), LZSS_GetCompressedMaxSize(n)) << n;
}

TEST(Format, WindowEdgeIs4094)
{
    const Bytes abcde = FromText("ABCDE");
    // Distance 4094: one reference with field 1 (source 0) and length 5.
    std::vector<Item> items = Items(RoundTrip(Concat({abcde, Filler(4089), abcde})));
    EXPECT_EQ(items.back(), Ref(4094, 1, 5));
    // Distance 4095 is out of reach: the second copy is all literals.
    items = Items(RoundTrip(Concat({abcde, Filler(4090), abcde})));
    for (size_t k = 1; k <= 5; k++)
        EXPECT_TRUE(items[items.size() - k].literal && items[items.size() - k].pos == 4100 - k);
}

TEST(Format, SourceEndingInFFFIsNeverNamed)
{
    // 15 distinct bytes and a long run: distance 1 everywhere but at 4096,
    // whose neighbour 4095 cannot be a source.
    const std::vector<Item> items = Items(RoundTrip(Concat({Distinct(15, 1), Repeat(4200, 0xEE)})));
    ASSERT_EQ(items.size(), 16u + 247u);
    for (size_t i = 16; i < items.size(); i++) {
        const Item &item = items[i];
        const unsigned expected = item.pos == 4096 ? 4095 : ((item.pos - 1) & 0xFFF) + 1;
        ASSERT_EQ(item, Ref(item.pos, expected, item.pos + 17 <= 4215 ? 17 : 4215 - item.pos));
    }

    // At 4110 the only 6-byte match at distance 15 starts at 4095: the
    // encoder takes the same bytes from 2000 instead.
    const Bytes six = FromText("QRSTUV");
    Bytes input = Filler(4116);
    std::copy(six.begin(), six.end(), input.begin() + 2000);
    input[2006] = 'Z';
    std::copy(six.begin(), six.end(), input.begin() + 4095);
    input[4101] = 'W';
    std::copy(six.begin(), six.end(), input.begin() + 4110);
    const std::vector<Item> found = Items(RoundTrip(input));
    EXPECT_NE(std::find(found.begin(), found.end(), Ref(4110, ((4110 - 2110) & 0xFFF) + 1, 6)), found.end());
}

// ---- Scanner: one test per way a stream can be wrong ----

TEST(Scanner, AcceptsEmptyStreamAndIgnoresTerminatorLength)
{
    for (const char *hex : {"000000", "000030", "0000F0"}) {
        const ScanResult r = Scan(FromHex(hex));
        EXPECT_EQ(r.size, 0u);
        EXPECT_EQ(r.consumed, 3u);
    }
}

TEST(Scanner, RejectsEmptyStream)
{
    const ScanResult r = Scan(Bytes{});
    EXPECT_EQ(r.size, UINT64_MAX);
    EXPECT_EQ(r.consumed, 0xC0FFEEu) << "consumed is written only on success";
}

TEST(Scanner, RejectsMissingFlagByte)
{
    EXPECT_EQ(Scan(StreamBuilder().Literals("abcdefgh").Build()).size, UINT64_MAX);
}

TEST(Scanner, RejectsMissingLiteral) { EXPECT_EQ(Scan(FromHex("01")).size, UINT64_MAX); }

TEST(Scanner, RejectsCutReference)
{
    EXPECT_EQ(Scan(FromHex("0000")).size, UINT64_MAX);
    EXPECT_EQ(Scan(FromHex("000000"), 2).size, UINT64_MAX);
    EXPECT_EQ(Scan(FromHex("00")).size, UINT64_MAX);
}

TEST(Scanner, RejectsEveryCutOfAValidStream)
{
    const Bytes stream = Compress(FromText("a stream, a stream, a stream with references"));
    for (size_t available = 0; available < stream.size(); available++)
        EXPECT_EQ(Scan(stream, available).size, UINT64_MAX) << available;
    Bytes longer = stream;
    longer.insert(longer.end(), {1, 2, 3});
    const ScanResult r = Scan(longer);
    EXPECT_EQ(r.consumed, stream.size());
}

TEST(Scanner, RejectsReferenceToTheByteBeingWritten)
{
    const Bytes streams[] = {
        FromHex("000100"),                                             // dpos 0, field 1
        StreamBuilder().Literals("ABCDE").Reference(6, 2).Build(),     // dpos 5, field 6
        StreamBuilder().Literals(std::string(4096, 'x')).Reference(1, 2).Terminator().Build(),
    };
    for (const Bytes &stream : streams) {
        testing::internal::CaptureStdout();
        const ScanResult r = Scan(stream);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "(dpos & 0x0FFF) == offset\n");
        EXPECT_EQ(r.size, UINT64_MAX);
        EXPECT_EQ(r.consumed, 0xC0FFEEu);
    }
}

TEST(Scanner, RejectsReferenceBeforeTheStartSilently)
{
    for (const Bytes &stream : {FromHex("000200"), StreamBuilder().Literals("ABCDE").Reference(7, 2).Build(),
                                StreamBuilder().Literals("ABCDE").Reference(4095, 17).Build()}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(Scan(stream).size, UINT64_MAX);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
}

// The scanner on the first `available` bytes of stream accepts exactly what
// the plain decoder accepts, with the same consumed count, and the decoder
// then writes the same bytes.
void ExpectSameAsPlainDecoder(const Bytes &stream, size_t available)
{
    const ReferenceResult expected = ReferenceDecode(stream.data(), available);
    testing::internal::CaptureStdout(); // damaged streams may name the byte being written
    const ScanResult scan = Scan(stream, available);
    testing::internal::GetCapturedStdout();
    if (!expected.ok) {
        ASSERT_EQ(scan.size, UINT64_MAX) << "available " << available;
        ASSERT_EQ(scan.consumed, 0xC0FFEEu);
        return;
    }
    ASSERT_EQ(scan.size, expected.output.size()) << "available " << available;
    ASSERT_EQ(scan.consumed, expected.consumed);
    ASSERT_EQ(Decode(Bytes(stream.begin(), stream.begin() + available)), expected.output);
}

TEST(Scanner, AgreesWithPlainDecoderOnRandomStreams)
{
    // Valid streams of every mix of literals and references, many of them
    // close enough to overlap their copies, then cut short and damaged.
    std::mt19937 rng(9);
    for (int round = 0; round < 300; round++) {
        StreamBuilder builder;
        uint64_t out = 0;
        const unsigned literalPercent = rng() % 101;
        for (int n = round < 40 ? round : (int)(rng() % 1500); n > 0; n--) {
            const uint64_t reach = std::min<uint64_t>(out, rng() % 3 ? 4095 : 20);
            const uint64_t source = out - 1 - (reach > 0 ? rng() % reach : 0);
            // A source ending in 0xFFF has no field: it would read as 0.
            if (out == 0 || rng() % 100 < literalPercent || (source & 0xFFF) == 0xFFF) {
                builder.Literal((uint8_t)rng());
                out++;
                continue;
            }
            const unsigned length = 2 + rng() % 16;
            builder.Reference((unsigned)(source & 0xFFF) + 1, length);
            out += length;
        }
        const Bytes stream = builder.Terminator(rng() % 16).Build();
        Bytes padded = stream;
        padded.insert(padded.end(), 20, 0xA5);
        ExpectSameAsPlainDecoder(padded, padded.size());
        for (int cut = 0; cut < 10; cut++)
            ExpectSameAsPlainDecoder(stream, rng() % stream.size());
        for (int damage = 0; damage < 10; damage++) {
            Bytes bad = padded;
            bad[rng() % bad.size()] = rng() % 2 ? 0 : (uint8_t)rng();
            ExpectSameAsPlainDecoder(bad, rng() % 2 ? bad.size() : rng() % bad.size());
        }
        if (HasFatalFailure())
            return;
    }
}

// ---- Decoder ----

// What the plain decoder makes of a whole stream.
Bytes PlainDecode(const Bytes &stream) { return ReferenceDecode(stream.data(), stream.size()).output; }

TEST(Decoder, KnownStreams)
{
    const struct {
        std::string stream;
        uint64_t consumed;
        std::string output;
    } cases[] = {
        {"1F 4142434445 05F0 0000", 10, "4142434445" "4545454545454545454545454545454545"},
        {"FF 0001020304050607 FF 08090A0B0C0D0E0F 00 01F0 0000", 23,
         "000102030405060708090A0B0C0D0E0F000102030405060708090A0B0C0D0E0F00"},
        {"FF 0001020304050607 7F 08090A0B0C0D0E 01F0 00 0000", 22,
         "000102030405060708090A0B0C0D0E000102030405060708090A0B0C0D0E0001"},
    };
    for (const auto &c : cases) {
        const Bytes stream = FromHex(c.stream);
        EXPECT_EQ(Scan(stream).consumed, c.consumed);
        EXPECT_EQ(Decode(stream), FromHex(c.output)) << c.stream;
    }
}

TEST(Decoder, EveryShortDistanceAndLength)
{
    for (unsigned distance = 1; distance <= 16; distance++) {
        for (unsigned length = 2; length <= 17; length++) {
            StreamBuilder builder;
            for (unsigned k = 0; k < distance + 3; k++)
                builder.Literal((uint8_t)(0x30 + k));
            const uint64_t dpos = distance + 3;
            const Bytes stream = builder.Reference((unsigned)(dpos - distance) + 1, length).Terminator().Build();
            ASSERT_EQ(Decode(stream), PlainDecode(stream)) << distance << " " << length;
        }
    }
}

TEST(Decoder, WindowAddressingAcrossBlocks)
{
    std::mt19937 rng(7);
    StreamBuilder builder;
    for (int k = 0; k < 4096; k++)
        builder.Literal((uint8_t)rng());
    // At dpos 4096 field 2 names source 1 and field 4095 names 4094.
    builder.Reference(2, 17).Literals("abcd").Reference(4095, 9);
    // Fields below, at and above the current block offset, near 8192 too.
    uint64_t dpos = 4096 + 17 + 4 + 9;
    while (dpos < 9000) {
        const unsigned low = dpos & 0xFFF;
        unsigned field = (unsigned)(rng() % 4095) + 1;
        if (field - 1 == low)
            field = field % 4095 + 1;
        const unsigned length = (unsigned)(rng() % 16) + 2;
        builder.Reference(field, length);
        dpos += length;
    }
    const Bytes stream = builder.Terminator().Build();
    EXPECT_EQ(Decode(stream), PlainDecode(stream));
}

// ---- Encoders: both produce the same valid stream for every input ----

TEST(Encoders, RunsAndBlockBoundaries)
{
    RoundTrip(Bytes{});
    for (size_t n : {1, 2, 3, 17, 18, 19, 34, 35, 4094, 4095, 4096, 4097, 8191, 8192, 8193})
        RoundTrip(Repeat(n, 0x61));
    // A run long enough to fill its byte's queue to the brim.
    EXPECT_EQ(RoundTrip(Repeat(5000, 0x61)).size(), 630u);
}

TEST(Encoders, RandomDataOverSmallAlphabets)
{
    std::mt19937 rng(1);
    for (unsigned alphabet = 1; alphabet <= 4; alphabet++) {
        for (size_t size : {100, 4095, 4097, 20000}) {
            Bytes input(size);
            for (uint8_t &b : input)
                b = (uint8_t)(rng() % alphabet);
            RoundTrip(input);
        }
    }
    // Ties everywhere: short random words from a tiny dictionary.
    Bytes words;
    while (words.size() < 30000)
        for (int k = (int)(rng() % 5); k >= 0; k--)
            words.push_back((uint8_t)("xyz "[rng() % 4]));
    RoundTrip(words);
}

TEST(Encoders, SourcesAtPositionsEndingInFFF)
{
    // A pattern repeated with periods that put candidate sources at 4095,
    // 8191 and 12287 at the moment they would be the best match.
    for (size_t period : {15, 16, 17, 4094, 4095}) {
        Bytes input = Filler(12300);
        for (size_t p = 4095; p + 6 < input.size(); p += 4096)
            for (size_t k = 0; k < 6; k++) {
                input[p + k] = (uint8_t)('A' + k);
                if (p + period + k < input.size())
                    input[p + period + k] = (uint8_t)('A' + k);
            }
        RoundTrip(input);
    }
}

class Corpus : public testing::TestWithParam<const char *> {};

TEST_P(Corpus, RoundTrips)
{
    const Bytes input = ReadFile(std::string(EXSPACK_CORPUS) + "/" + GetParam());
    ASSERT_FALSE(input.empty());
    RoundTrip(input);
}

INSTANTIATE_TEST_SUITE_P(Files, Corpus, testing::ValuesIn(kCorpusFiles), CorpusTestName);

// Runs of zeros of every length, r + 2 long on average, with 1 or 2 after
// them. At
// 4096 + r, r zeros then a 3 match most at 4095, which cannot be named: the
// source one older (t = 1, a run one longer) or the next run that long must
// stand in. Then pieces of the game-like files.
TEST(Encoders, RunsOfEveryLengthAndSparseData)
{
    std::mt19937 rng(9);
    for (size_t r = 2; r <= 17; r++) {
        Bytes input(4400);
        for (uint8_t &b : input)
            b = rng() % (r + 3) != 0 ? 0 : (uint8_t)(1 + rng() % 2);
        std::fill(input.begin() + 4095 - r % 2, input.begin() + 4097 + 2 * r, 0);
        input[4095 + r] = input[4096 + 2 * r] = 3;
        RoundTrip(input);
    }
    for (const char *name : {"sprites4bpp.bin", "padded.bin", "bitmap1bpp.bin", "tilemap.bin", "mesh.bin"}) {
        const Bytes file = ReadFile(std::string(EXSPACK_CORPUS) + "/../gamelike/" + name);
        ASSERT_GE(file.size(), 300000u) << name;
        RoundTrip(Bytes(file.begin() + 262144, file.begin() + 282144));
    }
}
