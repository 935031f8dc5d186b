/* Packs a record and unpacks it again through the installed codec. */
#include <LZSS.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    static const char text[] = "installed, installed, installed codec";
    uint8_t record[8 + sizeof text + sizeof text / 8 + 3], out[sizeof text];
    const uint64_t size = sizeof text;
    static const uint8_t magic[4] = {0x45, 0x58, 0x53, 0x01};
    memcpy(record, magic, 4);
    for (int i = 0; i < 4; i++)
        record[4 + i] = (uint8_t)(size >> (8 * i));
    if (LZSS_GetCompressedMaxSize(size) + 8 > sizeof record)
        return 1;
    const uint64_t n = LZSS_CompressSimpleFast((const uint8_t *)text, size, record + 8);
    uint64_t consumed = 0;
    if (n == UINT64_MAX || LZSS_GetDecompressedSize(record + 8, n, &consumed) != size || consumed != n)
        return 1;
    LZSS_Decompress(record + 8, out);
    if (memcmp(out, text, sizeof text) != 0)
        return 1;
    printf("record of %llu bytes for %llu\n", (unsigned long long)(n + 8), (unsigned long long)size);
    return 0;
}
