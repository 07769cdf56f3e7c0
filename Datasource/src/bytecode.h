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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The codes of eight cells at once, as Classify gives them, cell 0's code in
// the lowest byte. With SSE2 the integer test is a truncating conversion and
// back: a cell is integral when the round trip gives it again (never for NaNs).
// A cell that truncates to 0 must also be +0.0 by its bits: -0.0 compares
// equal to 0, and so do denormals when the process treats them as zero.
// (NaNs and values out of range raise the inexact/invalid flags, as any
// arithmetic on the cells would; nothing traps on them by default.)
inline uint64_t Classify8(const OBS* cells) {
#if defined(__SSE2__)
    __m128i part[2];
    for (int h = 0; h < 2; ++h) {
        const __m128d v0 = _mm_loadu_pd(&cells[4 * h].d);
        const __m128d v1 = _mm_loadu_pd(&cells[4 * h + 2].d);
        const __m128i t0 = _mm_cvttpd_epi32(v0);
        const __m128i t1 = _mm_cvttpd_epi32(v1);
        const __m128i t = _mm_unpacklo_epi64(t0, t1);  // the four truncated values
        const __m128d e0 = _mm_cmpeq_pd(_mm_cvtepi32_pd(t0), v0);
        const __m128d e1 = _mm_cmpeq_pd(_mm_cvtepi32_pd(t1), v1);
        const __m128i exact =
            _mm_castps_si128(_mm_shuffle_ps(_mm_castpd_ps(e0), _mm_castpd_ps(e1), _MM_SHUFFLE(2, 0, 2, 0)));
        // Low and high 32 bits of the four cells.
        const __m128 a = _mm_castpd_ps(v0), b = _mm_castpd_ps(v1);
        const __m128i lo = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i hi = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
        const __m128i zero = _mm_setzero_si128();
        const __m128i zeroBits = _mm_and_si128(_mm_cmpeq_epi32(hi, zero), _mm_cmpeq_epi32(lo, zero));
        const __m128i falseZero = _mm_andnot_si128(zeroBits, _mm_cmpeq_epi32(t, zero));
        const __m128i inRange = _mm_and_si128(_mm_cmpgt_epi32(t, _mm_set1_epi32(kMinCoded - 1)),
                                              _mm_cmplt_epi32(t, _mm_set1_epi32(kMaxCoded + 1)));
        const __m128i integral = _mm_andnot_si128(falseZero, _mm_and_si128(exact, inRange));
        const __m128i spaces = _mm_and_si128(_mm_cmpeq_epi32(lo, _mm_set1_epi32(int32_t(kSpacesBits))),
                                             _mm_cmpeq_epi32(hi, _mm_set1_epi32(int32_t(kSpacesBits >> 32))));
        const __m128i sysmis = _mm_and_si128(_mm_cmpeq_epi32(lo, _mm_set1_epi32(int32_t(uint32_t(kSysmisBits)))),
                                             _mm_cmpeq_epi32(hi, _mm_set1_epi32(int32_t(kSysmisBits >> 32))));
        // Masks are -1: 253 + 1 for spaces, + 2 for system-missing.
        const __m128i special =
            _mm_sub_epi32(_mm_sub_epi32(_mm_set1_epi32(kCodeRaw), spaces), _mm_add_epi32(sysmis, sysmis));
        const __m128i code = _mm_add_epi32(t, _mm_set1_epi32(kBias));
        part[h] = _mm_or_si128(_mm_and_si128(integral, code), _mm_andnot_si128(integral, special));
    }
    const __m128i words = _mm_packs_epi32(part[0], part[1]);  // 1..255 survive both packs
    return uint64_t(_mm_cvtsi128_si64(_mm_packus_epi16(words, words)));
#else
    uint64_t codes = 0;
    for (int j = 0; j < 8; ++j) codes |= uint64_t(Classify(cells[j].bits)) << (8 * j);
    return codes;
#endif
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

// The eight cells of a command word that holds value codes, spaces and
// system-missing only (no 0, 252 or 253; cell 0's code in the lowest byte),
// as kDecodeTable gives them. With SSE2 the codes become doubles two at a
// time: c - 100 is exact, and 254 and 255 are then replaced by their bits.
inline void Decode8(uint64_t commands, OBS* out) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i words = _mm_unpacklo_epi8(_mm_cvtsi64_si128(int64_t(commands)), zero);
    const __m128i quads[2] = {_mm_unpacklo_epi16(words, zero), _mm_unpackhi_epi16(words, zero)};
    const __m128d bias = _mm_set1_pd(kBias);
    const __m128d spacesCode = _mm_set1_pd(kCodeSpaces - kBias);
    const __m128d sysmisCode = _mm_set1_pd(kCodeSysmis - kBias);
    const __m128d spaces = _mm_castsi128_pd(_mm_set1_epi64x(int64_t(kSpacesBits)));
    const __m128d sysmis = _mm_castsi128_pd(_mm_set1_epi64x(int64_t(kSysmisBits)));
    for (int k = 0; k < 4; ++k) {
        const __m128i quad = quads[k / 2];
        const __m128i pair = k % 2 ? _mm_shuffle_epi32(quad, _MM_SHUFFLE(3, 2, 3, 2)) : quad;
        const __m128d v = _mm_sub_pd(_mm_cvtepi32_pd(pair), bias);
        const __m128d isSpaces = _mm_cmpeq_pd(v, spacesCode);
        const __m128d isSysmis = _mm_cmpeq_pd(v, sysmisCode);
        const __m128d special = _mm_or_pd(_mm_and_pd(isSpaces, spaces), _mm_and_pd(isSysmis, sysmis));
        _mm_storeu_pd(&out[2 * k].d, _mm_or_pd(_mm_andnot_pd(_mm_or_pd(isSpaces, isSysmis), v), special));
    }
#else
    for (int j = 0; j < 8; ++j) out[j].bits = kDecodeTable[(commands >> (8 * j)) & 0xFF];
#endif
}

}  // namespace Bytecode
