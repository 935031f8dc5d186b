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

} // namespace
