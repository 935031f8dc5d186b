// Raw CD images: the sector codes against sample sectors whose codes were
// made elsewhere, the data view and its runs, and putting a view back.
#include "CdImage.h"
#include "support.h"

bool operator==(const SectorRun &a, const SectorRun &b) { return a.first == b.first && a.count == b.count; }

namespace {

const size_t S = RAW_SECTOR_SIZE, D = SECTOR_DATA_SIZE;
// The sample's sectors: Form 1 three times, Form 2 twice, Mode 1, audio.
const size_t kDataOffset[7] = {24, 24, 24, 0, 0, 16, 0};
const Bytes kSample = ReadFile(EXSPACK_CD_SAMPLE);

Bytes Part(const Bytes &b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }

Bytes Flipped(Bytes b, size_t at, uint8_t bits) { b[at] ^= bits; return b; }

// What the view holds for the sample's sector i: its data, or zeros.
Bytes ViewOf(size_t i) { return kDataOffset[i] ? Part(kSample, i * S + kDataOffset[i], D) : Bytes(D, 0); }

TEST(CdImage, CodesMadeAnewAreTheSamplesOwn)
{
    ASSERT_EQ(kSample.size(), 7 * S);
    for (size_t i = 0; i < 7; i++) {
        Bytes sector = Part(kSample, i * S, S);
        if (kDataOffset[i] != 0) // all after the data: the EDC, Mode 1's zero bytes, P and Q
            std::fill(&sector[kDataOffset[i] + D], sector.data() + S, 0);
        EXPECT_EQ(SetSectorCodes(sector.data()), kDataOffset[i] != 0);
        EXPECT_EQ(sector, Part(kSample, i * S, S)) << "sector " << i;
    }
}

// Images of the sample's sectors in other orders: each sector's view bytes
// in its place, and the runs of data sectors between the others; likewise
// for a view built in place of the image.
TEST(CdImage, ViewAndRunsFollowTheDataSectors)
{
    const std::pair<std::vector<size_t>, std::vector<SectorRun>> cases[] = {
        {{0, 1, 2, 3, 4, 5, 6}, {{0, 3}, {5, 1}}}, {{6, 5, 0, 3, 1, 2, 5}, {{1, 2}, {4, 3}}}, {{3}, {}}};
    for (const auto &c : cases) {
        Bytes image;
        for (size_t i : c.first)
            image.insert(image.end(), &kSample[i * S], &kSample[i * S] + S);
        for (bool in_place : {false, true}) {
            Bytes view = in_place ? image : Bytes(c.first.size() * D, 0xEE);
            EXPECT_TRUE(ReadDataView(in_place ? view.data() : image.data(), image.size(), view.data()) == c.second);
            for (size_t j = 0; j < c.first.size(); j++)
                EXPECT_EQ(Part(view, j * D, D), ViewOf(c.first[j])) << "sector " << j << ", in place " << in_place;
        }
    }
}

// A view byte, first or last of a sector's, changed or not: a data sector
// takes a change with new codes, a sector without data refuses it, and
// nothing else moves.
TEST(CdImage, PutBackRewritesOnlyTheChangedSector)
{
    Bytes view(7 * D);
    ReadDataView(kSample.data(), kSample.size(), view.data());
    for (uint8_t flip : {0, 0x40})
        for (size_t i = 0; i < 7; i++)
            for (size_t at : {i * D, i * D + D - 1}) {
                Bytes changed = Flipped(view, at, flip), expect = kSample, image = kSample;
                // A sector without data keeps its bytes, and SetSectorCodes leaves it be.
                expect[i * S + kDataOffset[i] + at % D] ^= kDataOffset[i] ? flip : 0;
                SetSectorCodes(&expect[i * S]);
                EXPECT_EQ(WriteDataView(image.data(), 7 * S, changed.data()), flip ? (kDataOffset[i] ? 1 : UINT64_MAX) : 0);
                EXPECT_EQ(image, expect) << "sector " << i << ", view byte " << at << ", flip " << +flip;
            }
}

TEST(CdImage, RawImageIsWholeSectorsAfterASync)
{
    for (uint64_t size : std::initializer_list<uint64_t>{0, 1, S - 1, S + 1, 7 * S - 1, S, 7 * S})
        EXPECT_EQ(IsRawImage(kSample.data(), size), size % S == 0 && size != 0) << size;
    for (size_t at : {0, 1, 10, 11})
        EXPECT_FALSE(IsRawImage(Flipped(kSample, at, 1).data(), 7 * S)) << "sync byte " << at;
}

} // namespace
