#include "ImageSource.h"

Error ImageSource::Open(const char *path, bool lock)
{
    Close();
    if (Error error = file_.Open(path, lock))
        return error;
    uint8_t head[8] = {};
    const uint64_t n = file_.size() < sizeof head ? file_.size() : sizeof head;
    if (Error error = file_.Read(0, head, n))
        return error;
    if (!::IsChd(head, (size_t)n))
        return Error();
    file_.Close();
    return chd_.Open(path);
}

void ImageSource::Close()
{
    file_.Close();
    chd_.Close();
}

Error ImageSource::Read(uint64_t offset, uint8_t *to, uint64_t n) const
{
    return IsChd() ? chd_.Read(offset, to, n) : file_.Read(offset, to, n);
}

Error ImageSource::ReadAll(Buffer *buffer) const
{
    if (!IsChd())
        return file_.ReadAll(buffer);
    if (!buffer->Allocate(chd_.size()))
        return NoMemory();
    return chd_.Read(0, buffer->data(), chd_.size());
}
