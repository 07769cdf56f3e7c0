#include "output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vesk {

StdoutBuffer::~StdoutBuffer() {
    try {
        Flush();
    } catch (const std::exception&) {
    }
}

namespace {

void WriteAll(const char* p, size_t left) {
    while (left > 0) {
        const ssize_t n = write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::string("cannot write to standard output: ") + std::strerror(errno));
        p += n;
        left -= size_t(n);
    }
}

}  // namespace

void StdoutBuffer::Flush() {
    const size_t size = fBuffer.Size();
    fBuffer.Clear();
    WriteAll(fBuffer.Data(), size);
}

void StdoutBuffer::Write(std::string_view text) {
    Flush();
    WriteAll(text.data(), text.size());
}

}  // namespace vesk
