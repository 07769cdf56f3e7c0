// Integers and doubles of a file in the file's byte order.
//
// The file formats here (the system file, the zlib data area of zcmpsFilestr)
// are written in the byte order of the machine that wrote them; a reader on a
// machine of the other order reverses every integer and double; the
// encrypted file's wrapper and cipher header are little-endian. ByteOrder is
// the one place that does so: code that reads or writes a format asks it for
// every integer and double, at any (unaligned) address, and never reverses
// bytes itself.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

class ByteOrder {
public:
    // reversed: the file's order is not this machine's.
    constexpr explicit ByteOrder(bool reversed = false) : fReversed(reversed) {}
    static constexpr ByteOrder Native() { return ByteOrder(false); }
    static constexpr ByteOrder Little() { return ByteOrder(std::endian::native != std::endian::little); }
    static constexpr ByteOrder Big() { return ByteOrder(std::endian::native == std::endian::little); }

    bool Reversed() const { return fReversed; }

    static uint32_t Swap32(uint32_t v) { return __builtin_bswap32(v); }
    static uint64_t Swap64(uint64_t v) { return __builtin_bswap64(v); }

    // A value between the file's order and this machine's (its own inverse).
    uint32_t U32(uint32_t v) const { return fReversed ? Swap32(v) : v; }
    uint64_t U64(uint64_t v) const { return fReversed ? Swap64(v) : v; }
    int32_t I32(int32_t v) const { return int32_t(U32(uint32_t(v))); }

    int32_t GetI32(const void* p) const { return int32_t(GetU32(p)); }
    uint32_t GetU32(const void* p) const {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return U32(v);
    }
    int64_t GetI64(const void* p) const { return int64_t(GetU64(p)); }
    uint64_t GetU64(const void* p) const {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return U64(v);
    }
    double GetF64(const void* p) const {
        uint64_t v;
        std::memcpy(&v, p, 8);
        v = U64(v);
        double d;
        std::memcpy(&d, &v, 8);
        return d;
    }
    void PutI32(void* p, int32_t v) const { PutU32(p, uint32_t(v)); }
    void PutU32(void* p, uint32_t v) const {
        v = U32(v);
        std::memcpy(p, &v, 4);
    }
    void PutI64(void* p, int64_t v) const { PutU64(p, uint64_t(v)); }
    void PutU64(void* p, uint64_t v) const {
        v = U64(v);
        std::memcpy(p, &v, 8);
    }
    void PutF64(void* p, double d) const {
        uint64_t u;
        std::memcpy(&u, &d, 8);
        u = U64(u);
        std::memcpy(p, &u, 8);
    }

private:
    bool fReversed;
};
