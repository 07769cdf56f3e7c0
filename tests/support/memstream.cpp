#include "memstream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

size_t MemStream::Read(void* buffer, size_t count) {
    const size_t size = fData.size();
    const size_t at = size_t(fPos) < size ? size_t(fPos) : size;
    const size_t n = std::min(count, size - at);
    if (n) std::memcpy(buffer, fData.data() + at, n);
    fPos = int64_t(at + n);
    if (n < count) fEof = true;
    return n;
}

size_t MemStream::Write(const void* data, size_t count) {
    const size_t at = size_t(fPos);
    size_t n = count;
    if (at >= fWriteLimit) n = 0;
    else n = std::min(count, fWriteLimit - at);
    if (n < count) errno = ENOSPC;
    if (at + n > fData.size()) fData.resize(at + n);
    if (n) std::memcpy(fData.data() + at, data, n);
    fPos = int64_t(at + n);
    return n;
}

int MemStream::Seek(int64_t offset, int direction) {
    if (fFailSeeks) {
        errno = ESPIPE;
        return -1;
    }
    int64_t base = 0;
    if (direction == SeekFromCurrent) base = fPos;
    else if (direction == SeekFromEnd) base = int64_t(fData.size());
    else if (direction != SeekFromStart) return -2;
    if (base + offset < 0) return -1;
    fPos = base + offset;
    fEof = false;
    return 0;
}
