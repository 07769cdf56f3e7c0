// Buffered stdout for the commands: text collects in a buffer and goes out
// in large writes straight to the file descriptor.
#pragma once

#include <string_view>

#include "bytebuffer.h"

namespace vesk {

class StdoutBuffer {
public:
    // Writes what is left; a failure here can no longer be reported, so
    // commands call Flush themselves at the end.
    ~StdoutBuffer();

    ByteBuffer& Buffer() { return fBuffer; }
    void Append(std::string_view text) { fBuffer.Append(text); }
    // Writes out the text when enough has collected.
    void Drain() {
        if (fBuffer.Size() >= kChunk) Flush();
    }
    // Writes out the text; raises std::runtime_error when stdout refuses it.
    void Flush();
    // Writes out the text collected, then `text` straight from where it is
    // (a large finished text is not copied); errors as Flush.
    void Write(std::string_view text);

private:
    static constexpr size_t kChunk = size_t(1) << 20;
    ByteBuffer fBuffer;
};

}  // namespace vesk
