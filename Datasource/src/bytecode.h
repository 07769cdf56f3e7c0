// The value codes shared by the two bytecodes: the system file's data area
// (CompressedSystemFile) and the temporary case store's rows (CompressedStream).
//
//   1..251  the integer code - 100 (-99..151)
//   254     eight spaces
//   255     the system-missing value
// The system file's codec adds 0 (padding), 252 (end of data) and 253 (the
// cell follows raw after the command block).
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "obs.h"

namespace Bytecode {

constexpr int kBias = 100;
constexpr uint8_t kCodePadding = 0;
constexpr uint8_t kCodeEnd = 252;
constexpr uint8_t kCodeRaw = 253;
constexpr uint8_t kCodeSpaces = 254;
constexpr uint8_t kCodeSysmis = 255;
constexpr int kMinCoded = 1 - kBias;    // -99
constexpr int kMaxCoded = 251 - kBias;  // 151

constexpr uint64_t kSpacesBits = 0x2020202020202020ull;
constexpr uint64_t kSysmisBits = VESK_SYSMIS_BITS;

// The code of a cell: a value code, or kCodeRaw when the cell must be stored
// as it is. Integers -99..151 code as themselves + 100, +0.0 as 100; -0.0,
// fractions, NaNs and everything else are raw. Written without branches on
// the value: case data mixes the classes unpredictably.
inline uint8_t Classify(uint64_t bits) {
    const uint32_t high = uint32_t(bits >> 32);
    const uint32_t exponent = high & 0x7FF00000u;
    // Magnitude from 1 up to (not including) 256: safe to truncate to int32.
    const bool inRange = exponent - 0x3FF00000u <= 0x40600000u - 0x3FF00000u;
    const double value = inRange ? std::bit_cast<double>(bits) : 0.0;
    const int32_t t = int32_t(value);
    const uint32_t code = uint32_t(t + kBias);
    const bool integral = (uint32_t(bits) == 0) & (inRange | (bits == 0)) & (code - 1u <= 250u) &
                          (value == double(t));
    uint8_t c = integral ? uint8_t(code) : kCodeRaw;
    c = bits == kSpacesBits ? kCodeSpaces : c;
    c = bits == kSysmisBits ? kCodeSysmis : c;
    return c;
}

// The cell of each value code as bits: entry c is c - 100 for 0..252, 254
// spaces, 255 system-missing (253 has no value: 0).
constexpr std::array<uint64_t, 256> MakeDecodeTable() {
    std::array<uint64_t, 256> t{};
    for (int c = 0; c <= 252; ++c) t[c] = std::bit_cast<uint64_t>(double(c - kBias));
    t[kCodeRaw] = 0;
    t[kCodeSpaces] = kSpacesBits;
    t[kCodeSysmis] = kSysmisBits;
    return t;
}
inline constexpr std::array<uint64_t, 256> kDecodeTable = MakeDecodeTable();

}  // namespace Bytecode
