/* Packs a stream and unpacks it again through the installed codec, in C. */
#include <LZSS.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    static const char text[] = "installed, installed, installed codec";
    uint8_t stream[sizeof text + sizeof text / 8 + 3], out[sizeof text];
    uint64_t consumed = 0;
    const uint64_t n = LZSS_CompressSimpleFast((const uint8_t *)text, sizeof text, stream);
    if (n > sizeof stream || LZSS_GetDecompressedSize(stream, n, &consumed) != sizeof text || consumed != n)
        return 1;
    LZSS_Decompress(stream, out);
    printf("stream of %llu bytes for %llu\n", (unsigned long long)n, (unsigned long long)sizeof text);
    return memcmp(out, text, sizeof text) != 0;
}
