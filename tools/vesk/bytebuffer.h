// A growing byte buffer filled through pointers: Reserve room, write into
// it, Commit the end. Cheaper per field than appending to a std::string, and
// never zero-fills what is then overwritten.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace vesk {

class ByteBuffer {
public:
    // At least n writable bytes at the end of the content; valid until the
    // next Reserve.
    char* Reserve(size_t n) {
        if (fCapacity - fSize < n) Grow(n);
        return fData.get() + fSize;
    }
    // The content now ends at `end`, a pointer into the last reserved room.
    void Commit(const char* end) { fSize = size_t(end - fData.get()); }
    void Append(std::string_view text) {
        char* to = Reserve(text.size());
        if (!text.empty()) std::memcpy(to, text.data(), text.size());
        Commit(to + text.size());
    }

    const char* Data() const { return fData.get(); }
    size_t Size() const { return fSize; }
    std::string_view View() const { return {fData.get(), fSize}; }
    void Clear() { fSize = 0; }

private:
    void Grow(size_t n) {
        size_t capacity = fCapacity ? fCapacity : 4096;
        while (capacity - fSize < n) capacity *= 2;
        std::unique_ptr<char[]> data(new char[capacity]);
        if (fSize) std::memcpy(data.get(), fData.get(), fSize);
        fData = std::move(data);
        fCapacity = capacity;
    }

    std::unique_ptr<char[]> fData;
    size_t fSize = 0;
    size_t fCapacity = 0;
};

}  // namespace vesk
