#include "Packing.h"

#include <assert.h>

#include "LZSS.h"

Error PackFile(const char *path, bool best, Buffer *record, uint64_t *length, uint64_t *size)
{
    Buffer input;
    if (Error error = ReadWholeFile(path, &input))
        return error;
    *size = input.size();
    const uint64_t maxsize = LZSS_GetCompressedMaxSize(*size) + HEADER_SIZE;
    Buffer work;
    if (!record->Allocate(maxsize) || (best && !work.Allocate(LZSS_GetOptimalWorkSize(*size))))
        return NoMemory();
    const uint64_t n = best ? LZSS_CompressOptimal(input.data(), *size, record->data() + HEADER_SIZE, work.data())
                            : LZSS_CompressSimpleFast(input.data(), *size, record->data() + HEADER_SIZE);
    if (n == UINT64_MAX)
        return Error{"Error: LZSS_Compress*()"};
    *length = n + HEADER_SIZE;
    assert(*length <= maxsize);
    WriteHeader(record->data(), *size);
    return Error();
}

Error UnpackAt(const ImageView &view, uint64_t position, FoundRecord *record, Buffer *decoded)
{
    switch (CheckRecord(view.data(), view.AreaEnd(position), position, record)) {
    case RECORD_OK:
        break;
    case RECORD_SMALL:
        return Error{"Error: Small file"};
    case RECORD_BAD:
        return Error{"Error: Bad file"};
    }
    return DecodeRecord(view.data(), *record, decoded);
}
