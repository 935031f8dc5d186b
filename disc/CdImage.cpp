#include "CdImage.h"

#include <string.h>

static const uint8_t SYNC[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// The sector layout around the codes.
static const size_t HEADER = 12;         // the address (3 bytes) and mode follow the sync
static const size_t MODE1_EDC = 2064;    // Mode 1: EDC of bytes 0..2063
static const size_t FORM1_EDC = 2072;    // Form 1: EDC of bytes 16..2071
static const size_t P_PARITY = 2076;     // 2 x 86 bytes
static const size_t Q_PARITY = 2248;     // 2 x 52 bytes
static const size_t P_COLUMNS = 86, P_ROWS = 24;
static const size_t Q_DIAGONALS = 52, Q_LENGTH = 43;
static const size_t Q_SPAN = 2236;       // bytes 12..2247: the 24 data rows and the 2 rows of P

// The EDC is a CRC-32 with the polynomial
// (x^16 + x^15 + x^2 + 1)(x^16 + x^2 + x + 1) = 0x8001801B, taken least
// significant bit first (0xD8018001 reflected), starting at 0, no final xor.
// The parity is Reed-Solomon over GF(2^8) with x^8 + x^4 + x^3 + x^2 + 1,
// whose root alpha = 2 generates the field: exp and log tables.
struct Tables {
    uint32_t edc[256];
    uint8_t exp[510]; // alpha^i, twice over so that a sum of two logs needs no reduction
    uint8_t log[256];
};

static constexpr Tables MakeTables()
{
    Tables t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; bit++)
            crc = crc >> 1 ^ ((crc & 1) ? 0xD8018001u : 0);
        t.edc[i] = crc;
    }
    unsigned x = 1;
    for (unsigned i = 0; i < 255; i++) {
        t.exp[i] = t.exp[i + 255] = (uint8_t)x;
        t.log[x] = (uint8_t)i;
        x = x << 1 ^ ((x & 0x80) ? 0x11D : 0);
    }
    return t;
}

static constexpr Tables TABLES = MakeTables();

static uint32_t Edc(const uint8_t *p, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; i++)
        crc = crc >> 8 ^ TABLES.edc[(crc ^ p[i]) & 0xFF];
    return crc;
}

static void PutLE32(uint8_t *to, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        to[i] = (uint8_t)(value >> (8 * i));
}

static inline uint8_t TimesAlpha(uint8_t x) { return (uint8_t)(x << 1 ^ (x >> 7) * 0x1D); }

static uint8_t Multiply(uint8_t a, uint8_t b)
{
    return a == 0 || b == 0 ? 0 : TABLES.exp[TABLES.log[a] + TABLES.log[b]];
}

// Both P and Q are codes of two parity symbols after n data symbols d[0 ..
// n - 1], with the checks sum(v[i]) = 0 and sum(alpha^(n + 1 - i) v[i]) = 0
// over the whole word v = d, p0, p1. Given the data's two sums
// a = sum(d[i]) and h = sum(alpha^(n - 1 - i) d[i]) (Horner's rule over the
// data), b = alpha^2 h, and p0 + p1 = a, alpha p0 + p1 = b: so
// p0 = (a + b) / (alpha + 1) and p1 = a + p0.
static void Parity(uint8_t a, uint8_t h, uint8_t *p0, uint8_t *p1)
{
    static const uint8_t over_alpha_plus_1 = TABLES.exp[255 - TABLES.log[3]];
    *p0 = Multiply(a ^ TimesAlpha(TimesAlpha(h)), over_alpha_plus_1);
    *p1 = a ^ *p0;
}

// The bytes from 12 on are 1032 16-bit words of two bytes each, and each byte
// plane is coded by itself: so byte-wise there are 86 P columns of 24 rows of
// 86 bytes (column m, row n at 86 n + m), and 52 Q diagonals over the 26 rows
// of data and P, where diagonal m steps one row and one word (88 bytes) per
// symbol, wrapping round the 2236 bytes, in its own byte plane m & 1.
static void SetParity(uint8_t *sector)
{
    uint8_t *const base = sector + HEADER;
    // Row by row, so that the 86 columns go along side by side.
    uint8_t a[P_COLUMNS] = {0}, h[P_COLUMNS] = {0};
    for (size_t n = 0; n < P_ROWS; n++) {
        const uint8_t *row = base + n * P_COLUMNS;
        for (size_t m = 0; m < P_COLUMNS; m++) {
            a[m] ^= row[m];
            h[m] = TimesAlpha(h[m]) ^ row[m];
        }
    }
    uint8_t *const p = sector + P_PARITY;
    for (size_t m = 0; m < P_COLUMNS; m++)
        Parity(a[m], h[m], &p[m], &p[m + P_COLUMNS]);

    uint8_t *const q = sector + Q_PARITY;
    for (size_t m = 0; m < Q_DIAGONALS; m++) {
        uint8_t qa = 0, qh = 0;
        size_t at = (m >> 1) * P_COLUMNS; // even: the byte plane is added on reading
        for (size_t n = 0; n < Q_LENGTH; n++) {
            const uint8_t d = base[at + (m & 1)];
            qa ^= d;
            qh = TimesAlpha(qh) ^ d;
            at += 2 * 44;
            if (at >= Q_SPAN)
                at -= Q_SPAN;
        }
        Parity(qa, qh, &q[m], &q[m + Q_DIAGONALS]);
    }
}

static bool IsBcd(uint8_t byte, unsigned below) { return (byte & 0xF) < 10 && (byte >> 4) * 10u + (byte & 0xF) < below; }

uint64_t FirstDataSector(const uint8_t *head, uint64_t n)
{
    for (uint64_t i = 0; n / RAW_SECTOR_SIZE > i; i++) {
        const uint8_t *const s = head + i * RAW_SECTOR_SIZE;
        if (memcmp(s, SYNC, sizeof SYNC) == 0 && IsBcd(s[12], 100) && IsBcd(s[13], 60) && IsBcd(s[14], 75) &&
            (s[15] == 1 || s[15] == 2))
            return i;
    }
    return UINT64_MAX;
}

size_t SectorDataOffset(const uint8_t *sector)
{
    if (memcmp(sector, SYNC, sizeof SYNC) != 0)
        return 0;
    if (sector[15] == 1)
        return 16;
    if (sector[15] == 2 && (sector[18] & 0x20) == 0)
        return 24;
    return 0;
}

bool SetSectorCodes(uint8_t *sector)
{
    const size_t data = SectorDataOffset(sector);
    if (data == 16) {
        PutLE32(sector + MODE1_EDC, Edc(sector, MODE1_EDC));
        SetParity(sector);
    } else if (data == 24) {
        PutLE32(sector + FORM1_EDC, Edc(sector + 16, FORM1_EDC - 16));
        // Form 1 parity leaves the address out, so that a sector keeps its
        // codes wherever on the disc it is written.
        uint8_t address[4];
        memcpy(address, sector + HEADER, sizeof address);
        memset(sector + HEADER, 0, sizeof address);
        SetParity(sector);
        memcpy(sector + HEADER, address, sizeof address);
    }
    return data != 0;
}

std::vector<SectorRun> ReadDataView(const uint8_t *image, uint64_t size, uint8_t *view)
{
    std::vector<SectorRun> runs;
    const uint64_t sectors = size / RAW_SECTOR_SIZE;
    for (uint64_t i = 0; i < sectors; i++) {
        const uint8_t *const sector = image + i * RAW_SECTOR_SIZE;
        uint8_t *const to = view + i * SECTOR_DATA_SIZE;
        const size_t data = SectorDataOffset(sector);
        if (data == 0) {
            memset(to, 0, SECTOR_DATA_SIZE);
            continue;
        }
        // In place, sector i's data lies at or after view position i * 2048
        // and its header has been read: moving the sectors in order, none
        // overwrites a byte still to be read.
        memmove(to, sector + data, SECTOR_DATA_SIZE);
        if (!runs.empty() && runs.back().first + runs.back().count == i)
            runs.back().count++;
        else
            runs.push_back(SectorRun{i, 1});
    }
    return runs;
}

static bool AllZero(const uint8_t *p, size_t n)
{
    uint8_t any = 0;
    for (size_t i = 0; i < n; i++)
        any |= p[i];
    return any == 0;
}

uint64_t WriteDataView(uint8_t *image, uint64_t size, const uint8_t *view)
{
    const uint64_t sectors = size / RAW_SECTOR_SIZE;
    // All or nothing: a byte that cannot go back is found before any is written.
    for (uint64_t i = 0; i < sectors; i++)
        if (SectorDataOffset(image + i * RAW_SECTOR_SIZE) == 0 &&
            !AllZero(view + i * SECTOR_DATA_SIZE, SECTOR_DATA_SIZE))
            return UINT64_MAX;
    uint64_t changed = 0;
    for (uint64_t i = 0; i < sectors; i++) {
        uint8_t *const sector = image + i * RAW_SECTOR_SIZE;
        const uint8_t *const from = view + i * SECTOR_DATA_SIZE;
        const size_t data = SectorDataOffset(sector);
        if (data == 0 || memcmp(sector + data, from, SECTOR_DATA_SIZE) == 0)
            continue;
        memcpy(sector + data, from, SECTOR_DATA_SIZE);
        SetSectorCodes(sector);
        changed++;
    }
    return changed;
}
