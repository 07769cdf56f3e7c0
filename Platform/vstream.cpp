#include "vstream.h"

#include <cstring>

#include "errortext.h"

namespace {

// A VStreamIO over a caller's string: writes append, reads go forward from 0.
class BorrowedBufferIO : public VStreamIO {
public:
    explicit BorrowedBufferIO(std::string& buffer) : fBuffer(buffer) {}

    size_t Read(void* buffer, size_t n) override {
        size_t left = fBuffer.size() - fPos;
        if (n > left) n = left;
        std::memcpy(buffer, fBuffer.data() + fPos, n);
        fPos += n;
        return n;
    }
    size_t Write(const void* buffer, size_t n) override {
        fBuffer.append(static_cast<const char*>(buffer), n);
        return n;
    }

private:
    std::string& fBuffer;
    size_t fPos = 0;
};

// Strings are read in pieces of this size, so that a damaged length costs no
// more memory than the data actually present.
constexpr size_t kStringChunk = 64 * 1024;

}  // namespace

VStream::VStream(VStreamIO& io, Direction direction, const char* name)
    : fIO(&io), fOwnedIO(nullptr), fLoading(direction == kLoading), fName(name ? name : "") {}

VStream::VStream(std::string& buffer, Direction direction, const char* name)
    : fIO(nullptr), fOwnedIO(new BorrowedBufferIO(buffer)), fLoading(direction == kLoading),
      fName(name ? name : "") {
    fIO = fOwnedIO;
}

VStream::~VStream() { delete fOwnedIO; }

void VStream::Put(const void* bytes, size_t n) {
    if (n == 0) return;
    if (fIO->Write(bytes, n) != n) ThrowError::String1(DATASRC_ERR, DatasrcMsg::CannotWriteCase, fName);
    fCount += n;
}

void VStream::Get(void* bytes, size_t n) {
    if (n == 0) return;
    size_t got = fIO->Read(bytes, n);
    fCount += got;
    if (got != n) ThrowError::String1(DATASRC_ERR, DatasrcMsg::ShortRead, fName);
}

// Every integer goes through here: little-endian, byte by byte.
template <class U>
void VStream::TransferUnsigned(U& value) {
    unsigned char bytes[sizeof(U)];
    if (fLoading) {
        Get(bytes, sizeof(U));
        U v = 0;
        for (size_t i = 0; i < sizeof(U); ++i) v |= U(bytes[i]) << (8 * i);
        value = v;
    } else {
        for (size_t i = 0; i < sizeof(U); ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
        Put(bytes, sizeof(U));
    }
}

void VStream::Transfer(bool& value) {
    // Loading never reads the target, which may be uninitialised.
    uint8_t b = (!fLoading && value) ? 1 : 0;
    TransferUnsigned(b);
    if (fLoading) value = b != 0;
}

void VStream::Transfer(uint8_t& value) { TransferUnsigned(value); }
void VStream::Transfer(uint16_t& value) { TransferUnsigned(value); }
void VStream::Transfer(uint32_t& value) { TransferUnsigned(value); }
void VStream::Transfer(uint64_t& value) { TransferUnsigned(value); }

void VStream::Transfer(int8_t& value) {
    uint8_t u = static_cast<uint8_t>(value);
    TransferUnsigned(u);
    value = static_cast<int8_t>(u);
}
void VStream::Transfer(int16_t& value) {
    uint16_t u = static_cast<uint16_t>(value);
    TransferUnsigned(u);
    value = static_cast<int16_t>(u);
}
void VStream::Transfer(int32_t& value) {
    uint32_t u = static_cast<uint32_t>(value);
    TransferUnsigned(u);
    value = static_cast<int32_t>(u);
}
void VStream::Transfer(int64_t& value) {
    uint64_t u = static_cast<uint64_t>(value);
    TransferUnsigned(u);
    value = static_cast<int64_t>(u);
}

void VStream::Transfer(double& value) {
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    TransferUnsigned(bits);
    if (fLoading) std::memcpy(&value, &bits, 8);
}

void VStream::Transfer(std::string& value) {
    if (!fLoading) {
        // The count is 32 bits wide; longer strings cannot be represented.
        if (value.size() > UINT32_MAX) ThrowError::String1(DATASRC_ERR, DatasrcMsg::CannotWriteCase, fName);
        uint32_t n = static_cast<uint32_t>(value.size());
        TransferUnsigned(n);
        Put(value.data(), value.size());
        return;
    }
    uint32_t n = 0;
    TransferUnsigned(n);
    std::string result;
    size_t left = n;
    while (left > 0) {
        size_t piece = left < kStringChunk ? left : kStringChunk;
        size_t old = result.size();
        result.resize(old + piece);
        Get(&result[old], piece);
        left -= piece;
    }
    value = std::move(result);
}

void VStream::TransferBytes(void* bytes, size_t n) {
    if (fLoading)
        Get(bytes, n);
    else
        Put(bytes, n);
}
