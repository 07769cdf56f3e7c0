// A small two-way binary stream for serialising objects.
//
// One Serialize function per class transfers its fields in a fixed order; the
// stream's direction (IsLoading) decides whether each Transfer writes the value
// out or reads it back into the same variable. The byte layout is fixed and
// independent of the machine: integers of the stated width and doubles (their
// IEEE bits) little-endian, bool as one byte 0 or 1, a std::string as a 32-bit
// byte count followed by the bytes, a byte block as its raw bytes.
//
// Reading past the end of the data raises error 1205 of "datasrc.err" with the
// stream's name; a sink that accepts fewer bytes than given raises 1202.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The bytes a VStream reads from or writes to.
class VStreamIO {
public:
    virtual ~VStreamIO() = default;
    // Reads up to n bytes into buffer; returns the number read (fewer only at the end).
    virtual size_t Read(void* buffer, size_t n) = 0;
    // Writes n bytes; returns the number written (fewer means failure).
    virtual size_t Write(const void* buffer, size_t n) = 0;
};

class VStream {
public:
    enum Direction { kStoring = 0, kLoading = 1 };

    // A stream over io, which must remain live while the stream is in use. The
    // name is the argument of the error messages.
    VStream(VStreamIO& io, Direction direction, const char* name = "serialised data");
    // A stream over a memory buffer, which must remain live while the stream is
    // in use: storing appends to it, loading reads it from its first byte.
    VStream(std::string& buffer, Direction direction, const char* name = "serialised data");
    ~VStream();

    VStream(const VStream&) = delete;
    VStream& operator=(const VStream&) = delete;

    bool IsLoading() const { return fLoading; }

    void Transfer(bool& value);
    void Transfer(int8_t& value);
    void Transfer(uint8_t& value);
    void Transfer(int16_t& value);
    void Transfer(uint16_t& value);
    void Transfer(int32_t& value);
    void Transfer(uint32_t& value);
    void Transfer(int64_t& value);
    void Transfer(uint64_t& value);
    void Transfer(double& value);
    void Transfer(std::string& value);
    // Exactly n raw bytes; the reader must know n.
    void TransferBytes(void* bytes, size_t n);

    // Bytes transferred so far.
    uint64_t Count() const { return fCount; }

private:
    void Put(const void* bytes, size_t n);
    void Get(void* bytes, size_t n);
    template <class U>
    void TransferUnsigned(U& value);

    VStreamIO* fIO;
    VStreamIO* fOwnedIO;  // the adapter over a memory buffer, or null
    bool fLoading;
    std::string fName;
    uint64_t fCount = 0;
};
