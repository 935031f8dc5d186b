/* The codec's header compiles as C and its functions link from C. */
#include "LZSS.h"

#include <string.h>

int main(void)
{
    static const char text[] = "a C caller, a C caller, a C caller";
    uint8_t stream[64], out[64];
    uint64_t consumed = 0;
    const uint64_t n = LZSS_CompressSimpleFast((const uint8_t *)text, sizeof text, stream);
    if (n == UINT64_MAX || n > LZSS_GetCompressedMaxSize(sizeof text))
        return 1;
    if (LZSS_GetDecompressedSize(stream, n, &consumed) != sizeof text || consumed != n)
        return 1;
    LZSS_Decompress(stream, out);
    return memcmp(out, text, sizeof text) != 0;
}
