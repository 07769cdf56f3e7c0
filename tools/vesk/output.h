// Buffered stdout for the commands: text collects in a string and goes out
// in large writes.
#pragma once

#include <cstdio>
#include <string>

namespace vesk {

class StdoutBuffer {
public:
    ~StdoutBuffer() { Flush(); }
    std::string& Text() { return fText; }
    // Writes out the text when enough has collected.
    void Drain() {
        if (fText.size() >= kChunk) Flush();
    }
    void Flush() {
        if (!fText.empty()) std::fwrite(fText.data(), 1, fText.size(), stdout);
        fText.clear();
        std::fflush(stdout);
    }

private:
    static constexpr size_t kChunk = 1 << 16;
    std::string fText;
};

}  // namespace vesk
