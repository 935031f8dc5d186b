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
#include "CdImage.h"
#include "check.h"

static const size_t CONTROL = 16, S = 2352, D = 2048;
static const uint8_t SYNC[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// CRC-32 with (x^16 + x^15 + x^2 + 1)(x^16 + x^2 + x + 1), from 0, one bit
// at a time, each byte's least significant bit first.
static uint32_t Edc(const uint8_t *p, const uint8_t *end)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < 8 * (size_t)(end - p); i++)
        crc = ((crc ^ p[i / 8] >> i % 8) & 1) ? crc >> 1 ^ 0xD8018001u : crc >> 1;
    return crc;
}

// ECMA-130 annex A: the 1170 16-bit words S(n) from byte 12, each of the two
// byte planes coded by itself. P: 43 columns of 26 words S(43 m + n); Q: 26
// diagonals of 43 words S((44 m + 43 n) mod 1118) and the Q words S(1118 + n)
// and S(1144 + n). Each is a code word v of the check matrix with the rows
// 1 1 ... 1 and alpha^(len-1) ... alpha 1 over GF(2^8) modulo x^8 + x^4 +
// x^3 + x^2 + 1: both syndromes are zero, the second summed by Horner's rule.
static bool ParityFits(const uint8_t *sector, bool addressAsZero)
{
    uint8_t w[S - 12];
    memcpy(w, sector + 12, sizeof w);
    memset(w, 0, addressAsZero ? 4 : 0);
    for (size_t plane = 0; plane < 2; plane++)
        for (size_t k = 0; k < 43 + 26; k++) { // the P columns, then the Q diagonals
            const size_t n = k < 43 ? k : k - 43, len = k < 43 ? 26 : 45;
            uint8_t s0 = 0, s1 = 0;
            for (size_t m = 0; m < len; m++) {
                const size_t word = k < 43 ? 43 * m + n : m < 43 ? (44 * m + 43 * n) % 1118 : 26 * m + n;
                const uint8_t v = w[2 * word + plane];
                s0 ^= v, s1 = (uint8_t)(s1 << 1 ^ ((s1 & 0x80) ? 0x1D : 0) ^ v);
            }
            if (s0 != 0 || s1 != 0)
                return false;
        }
    return true;
}

static bool operator==(const SectorRun &a, const SectorRun &b) { return a.first == b.first && a.count == b.count; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const size_t control = std::min(size, CONTROL), n = size - control, sectors = n / S;
    Bytes image(data + control, data + size);
    for (size_t i = 0; i < std::min(control, sectors); i++)
        if (data[i] & 3) {
            memcpy(&image[i * S], SYNC, 12);
            image[i * S + 15] = (data[i] & 3) == 1 ? 1 : 2;
            image[i * S + 18] = (uint8_t)((image[i * S + 18] & ~0x20) | ((data[i] & 3) == 3) << 5);
        }

    // The plain reading: where each sector's data starts, 0 for none; its view and runs.
    Bytes view(sectors * D, 0), read(sectors * D), inPlace = image;
    std::vector<SectorRun> runs;
    std::vector<size_t> offsets(sectors);
    for (size_t i = 0; i < sectors; i++) {
        const uint8_t *s = &image[i * S];
        offsets[i] = memcmp(s, SYNC, 12) != 0 ? 0 : s[15] == 1 ? 16 : s[15] == 2 && !(s[18] & 0x20) ? 24 : 0;
        if (offsets[i] == 0)
            continue;
        memcpy(&view[i * D], s + offsets[i], D);
        if (runs.empty() || runs.back().first + runs.back().count != i)
            runs.push_back({i, 0});
        runs.back().count++;
    }
    CHECK(ReadDataView(image.data(), n, read.data()) == runs && read == view);
    CHECK(ReadDataView(inPlace.data(), n, inPlace.data()) == runs);
    CHECK(std::equal(view.begin(), view.end(), inPlace.begin()));

    // Both end at an unreadable page, so that a sector too many is seen.
    GuardedBuffer edited(view), written(image);
    uint64_t refused = 0, changed = 0;
    for (size_t i = 0; i < std::min(control, sectors); i++)
        if (data[i] & 4) {
            edited.data()[i * D + (data[i] >> 3) * (D - 1) / 31] ^= 0xFF;
            (offsets[i] != 0 ? changed : refused)++;
        }
    const uint64_t result = WriteDataView(written.data(), n, edited.data());
    CHECK(refused ? result == UINT64_MAX && written.bytes(n) == image : result == changed);
    for (size_t i = 0; i < sectors && !refused; i++) {
        const uint8_t *now = written.data() + i * S, *old = &image[i * S], *want = edited.data() + i * D;
        const size_t at = offsets[i];
        // A changed sector keeps its header, subheader and Mode 1's zero bytes.
        if (at == 0 || memcmp(want, &view[i * D], D) == 0)
            CHECK(memcmp(now, old, S) == 0);
        else
            CHECK(memcmp(now, old, at) == 0 && memcmp(now + at, want, D) == 0 &&
                  (at == 24 || memcmp(now + 2068, old + 2068, 8) == 0) &&
                  Load32(now + at + D) == Edc(now + (at == 24 ? 16 : 0), now + at + D) && ParityFits(now, at == 24));
    }
    CHECK(refused || std::equal(image.begin() + sectors * S, image.end(), written.data() + sectors * S));
    return 0;
}
