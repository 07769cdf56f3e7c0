// An in-memory byte stream for tests, with switches that make it fail the way
// a full disk or a broken device would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "filestream.h"

class MemStream : public VESK_StrBaseIO {
public:
    MemStream() = default;
    explicit MemStream(std::vector<uint8_t> bytes) : fData(std::move(bytes)) {}
    explicit MemStream(const std::string& bytes) : fData(bytes.begin(), bytes.end()) {}

    void Clear() override { fEof = false; }
    int Good() const override { return 1; }
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* data, size_t count) override;
    int Seek(int64_t offset, int direction) override;
    int64_t Tell() const override { return fPos; }
    int EndOfFile() const override { return fEof; }

    std::vector<uint8_t>& Data() { return fData; }
    const std::vector<uint8_t>& Data() const { return fData; }
    std::string Str() const { return std::string(fData.begin(), fData.end()); }

    // Writes stop (short, errno ENOSPC) once the stream would exceed this size.
    void SetWriteLimit(size_t bytes) { fWriteLimit = bytes; }
    // Every Seek fails (errno ESPIPE).
    void SetFailSeeks(bool fail) { fFailSeeks = fail; }

private:
    std::vector<uint8_t> fData;
    int64_t fPos = 0;
    bool fEof = false;
    bool fFailSeeks = false;
    size_t fWriteLimit = SIZE_MAX;
};
