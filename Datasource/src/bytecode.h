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
// fractions, NaNs and everything else are raw.
//
// Written in integer arithmetic without branches on the value (case data
// mixes the classes unpredictably): a double of magnitude 1 to 255.x has a
// biased exponent of 1023 + k, k = 0..7, holds its integer part in the top k
// bits of the mantissa (under the implicit bit) and is an integer exactly
// when the other 52 - k bits are zero.
inline uint8_t Classify(uint64_t bits) {
    const uint32_t k = (uint32_t(bits >> 52) & 0x7FFu) - 1023u;
    const uint64_t inRange = k <= 7u;
    const uint32_t intBits = k & 7u;
    // Out of range the implicit bit is left out, so that +0.0 yields 0.
    const uint64_t mantissa = (bits & 0x000FFFFFFFFFFFFFull) | (inRange << 52);
    const uint64_t magnitude = mantissa >> (52u - intBits);
    const uint64_t fraction = bits << (12u + intBits);  // the mantissa bits below the units
    const uint64_t negative = bits >> 63;
    const uint32_t code = uint32_t(kBias + int64_t((magnitude ^ (0 - negative)) + negative));
    uint32_t integral = uint32_t((inRange | uint64_t(bits == 0)) & uint64_t(fraction == 0)) &
                        uint32_t(code - 1u <= 250u);
    // Neither pattern is integral: 253 raw, 254 spaces, 255 system-missing.
    uint32_t special = kCodeRaw + uint32_t(bits == kSpacesBits) + 2u * uint32_t(bits == kSysmisBits);
    // Keeps the compiler from turning the select back into branches.
    __asm__("" : "+r"(integral), "+r"(special));
    return uint8_t(special ^ ((special ^ code) & (0u - integral)));
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
