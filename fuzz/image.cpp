// Arbitrary bytes as a raw CD image. The first CONTROL bytes are not part of
// it: byte i shapes sector i, so that most sectors can be data sectors and
// get changed data:
//   bits 0-1: 0 leaves the sector as it is; 1, 2 and 3 give it the sync
//             pattern and make it Mode 1, Mode 2 Form 1 or Mode 2 Form 2;
//   bit 2:    its view byte at (bits 3-7) * 2047 / 31, from the first to
//             the last, is inverted before the view is written back.
// The view and its runs must be those of a plain reading of the sectors, in
// a separate buffer and in place. Written back, every sector whose data did
// not change must stay as it was byte for byte, codes that do not fit its
// data included (tools that leave them zero make such images); every changed
// one must hold its new data, keep its header, subheader and Mode 1's zero
// bytes, and carry an EDC and P and Q parity that a check written from
// ECMA-130 accepts. A view byte for a sector without data refuses the whole
// write.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "CdImage.h"
#include "check.h"

static const size_t CONTROL = 16;
static const size_t S = 2352, D = 2048;
static const uint8_t SYNC[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// Where a sector's 2048 data bytes start, 0 for none.
static size_t PlainDataOffset(const uint8_t *sector)
{
    if (memcmp(sector, SYNC, 12) != 0)
        return 0;
    const uint8_t mode = sector[15], submode = sector[18];
    return mode == 1 ? 16 : mode == 2 && !(submode & 0x20) ? 24 : 0;
}

// CRC-32 with (x^16 + x^15 + x^2 + 1)(x^16 + x^2 + x + 1), least significant
// bit first, from 0, one bit at a time.
static uint32_t Edc(const uint8_t *p, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; bit++)
            crc = crc >> 1 ^ ((crc & 1) ? 0xD8018001u : 0);
    }
    return crc;
}

// GF(2^8) modulo x^8 + x^4 + x^3 + x^2 + 1, by shifts.
static uint8_t Times(uint8_t a, uint8_t b)
{
    uint8_t product = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1)
            product ^= a;
        a = (uint8_t)(a << 1 ^ ((a & 0x80) ? 0x1D : 0));
    }
    return product;
}

// Whether v[0 .. n - 1] is a code word of the check matrix with the rows
// 1 1 ... 1 and alpha^(n-1) ... alpha 1: both syndromes are zero.
static bool IsCodeWord(const uint8_t *v, size_t n)
{
    uint8_t s0 = 0, s1 = 0;
    for (size_t i = 0; i < n; i++) {
        s0 ^= v[i];
        s1 = Times(s1, 2) ^ v[i];
    }
    return s0 == 0 && s1 == 0;
}

// ECMA-130 annex A: the 1170 16-bit words S(n) from byte 12, each of the two
// byte planes coded by itself. P: 43 columns of 26 words S(43 m + n); Q: 26
// diagonals of 43 words S((44 m + 43 n) mod 1118) and the Q words S(1118 + n)
// and S(1144 + n).
static bool ParityFits(const uint8_t *sector, bool addressAsZero)
{
    uint8_t s[S - 12];
    memcpy(s, sector + 12, sizeof s);
    if (addressAsZero)
        memset(s, 0, 4);
    for (int plane = 0; plane < 2; plane++) {
        uint8_t v[45];
        for (size_t n = 0; n < 43; n++) {
            for (size_t m = 0; m < 26; m++)
                v[m] = s[2 * (43 * m + n) + plane];
            if (!IsCodeWord(v, 26))
                return false;
        }
        for (size_t n = 0; n < 26; n++) {
            for (size_t m = 0; m < 43; m++)
                v[m] = s[2 * ((44 * m + 43 * n) % 1118) + plane];
            v[43] = s[2 * (1118 + n) + plane];
            v[44] = s[2 * (1144 + n) + plane];
            if (!IsCodeWord(v, 45))
                return false;
        }
    }
    return true;
}

static bool operator==(const SectorRun &a, const SectorRun &b) { return a.first == b.first && a.count == b.count; }

static uint32_t Load32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

// A sector rewritten with new data: everything but the data and the codes as
// before, the data as given, the codes fitting it.
static void CheckRewritten(const uint8_t *now, const uint8_t *old, size_t offset, const uint8_t *data)
{
    CHECK(memcmp(now + offset, data, D) == 0);
    if (offset == 16) {
        CHECK(memcmp(now, old, 16) == 0 && memcmp(now + 2068, old + 2068, 8) == 0);
        CHECK(Load32(now + 2064) == Edc(now, 2064));
        CHECK(ParityFits(now, false));
    } else {
        CHECK(memcmp(now, old, 24) == 0);
        CHECK(Load32(now + 2072) == Edc(now + 16, 2056));
        CHECK(ParityFits(now, true));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const size_t control = size < CONTROL ? size : CONTROL;
    const size_t n = size - control, sectors = n / S;
    std::vector<uint8_t> image(data + control, data + size);
    for (size_t i = 0; i < control && i < sectors; i++) {
        uint8_t *sector = &image[i * S];
        const unsigned kind = data[i] & 3;
        if (kind == 0)
            continue;
        memcpy(sector, SYNC, 12);
        sector[15] = kind == 1 ? 1 : 2;
        sector[18] = (uint8_t)(kind == 3 ? sector[18] | 0x20 : sector[18] & ~0x20);
    }

    // The plain reading.
    std::vector<uint8_t> view(sectors * D, 0);
    std::vector<SectorRun> runs;
    std::vector<size_t> offsets(sectors);
    for (size_t i = 0; i < sectors; i++) {
        offsets[i] = PlainDataOffset(&image[i * S]);
        if (offsets[i] == 0)
            continue;
        memcpy(&view[i * D], &image[i * S + offsets[i]], D);
        if (runs.empty() || runs.back().first + runs.back().count != i)
            runs.push_back({i, 0});
        runs.back().count++;
    }
    std::vector<uint8_t> read(view.size()), inPlace = image;
    CHECK(ReadDataView(image.data(), n, read.data()) == runs && read == view);
    CHECK(ReadDataView(inPlace.data(), n, inPlace.data()) == runs);
    CHECK(std::equal(view.begin(), view.end(), inPlace.begin()));

    std::vector<uint8_t> edited = view;
    bool refused = false;
    uint64_t changed = 0;
    for (size_t i = 0; i < control && i < sectors; i++)
        if (data[i] & 4) {
            edited[i * D + (data[i] >> 3) * (D - 1) / 31] ^= 0xFF;
            refused |= offsets[i] == 0;
            changed += offsets[i] != 0;
        }
    std::vector<uint8_t> written = image;
    const uint64_t result = WriteDataView(written.data(), n, edited.data());
    if (refused) {
        CHECK(result == UINT64_MAX && written == image);
        return 0;
    }
    CHECK(result == changed);
    for (size_t i = 0; i < sectors; i++) {
        const uint8_t *now = &written[i * S], *old = &image[i * S];
        if (offsets[i] != 0 && memcmp(&edited[i * D], &view[i * D], D) != 0)
            CheckRewritten(now, old, offsets[i], &edited[i * D]);
        else
            CHECK(memcmp(now, old, S) == 0);
    }
    CHECK(std::equal(written.begin() + sectors * S, written.end(), image.begin() + sectors * S));
    return 0;
}
