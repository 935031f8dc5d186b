// Raw CD images: the sector codes against sample sectors whose codes were
// made elsewhere; the tool's tests build whole images with it.
#include "CdImage.h"
#include "support.h"

namespace {

const size_t S = RAW_SECTOR_SIZE, D = SECTOR_DATA_SIZE;
// The sample's sectors: Form 1 three times, Form 2 twice, Mode 1, audio.
const size_t kDataOffset[7] = {24, 24, 24, 0, 0, 16, 0};
const Bytes kSample = ReadFile(EXSPACK_CD_SAMPLE);

Bytes Part(const Bytes &b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }

Bytes Flipped(Bytes b, size_t at, uint8_t bits) { b[at] ^= bits; return b; }

TEST(CdImage, CodesMadeAnewAreTheSamplesOwn)
{
    REQUIRE_SAMPLE(EXSPACK_CD_SAMPLE);
    ASSERT_EQ(kSample.size(), 7 * S);
    for (size_t i = 0; i < 7; i++) {
        Bytes sector = Part(kSample, i * S, S);
        if (kDataOffset[i] != 0) // all after the data: the EDC, Mode 1's zero bytes, P and Q
            std::fill(&sector[kDataOffset[i] + D], sector.data() + S, 0);
        EXPECT_EQ(SetSectorCodes(sector.data()), kDataOffset[i] != 0);
        EXPECT_EQ(sector, Part(kSample, i * S, S)) << "sector " << i;
    }
}

TEST(CdImage, RawImageIsWholeSectorsAfterASync)
{
    REQUIRE_SAMPLE(EXSPACK_CD_SAMPLE);
    for (uint64_t size : std::initializer_list<uint64_t>{0, 1, S - 1, S + 1, 7 * S - 1, S, 7 * S})
        EXPECT_EQ(IsRawImage(kSample.data(), size), size % S == 0 && size != 0) << size;
    for (size_t at : {0, 1, 10, 11})
        EXPECT_FALSE(IsRawImage(Flipped(kSample, at, 1).data(), 7 * S)) << "sync byte " << at;
}

} // namespace
