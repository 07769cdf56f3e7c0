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

void StdoutBuffer::Flush() {
    const char* p = fBuffer.Data();
    size_t left = fBuffer.Size();
    fBuffer.Clear();
    while (left > 0) {
        const ssize_t n = write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::string("cannot write to standard output: ") + std::strerror(errno));
        p += n;
        left -= size_t(n);
    }
}

}  // namespace vesk
