#define VESK_SOURCE_NAME "Platform/zlibblock"
#include "zlibblock.h"

#include <libdeflate.h>

#include <new>

#include "vesk_assert.h"

zlibCompressBlock::zlibCompressBlock(int level) : fLevel(level) {
    VESK_ASSERT(level >= kMinLevel && level <= kMaxLevel);
}

zlibCompressBlock::~zlibCompressBlock() {
    libdeflate_free_compressor(fCompressor);
    libdeflate_free_decompressor(fDecompressor);
}

void zlibCompressBlock::SetLevel(int level) {
    VESK_ASSERT(level >= kMinLevel && level <= kMaxLevel);
    if (level == fLevel) return;
    libdeflate_free_compressor(fCompressor);
    fCompressor = nullptr;
    fLevel = level;
}

size_t zlibCompressBlock::CompressBound(size_t srcLen) {
    // libdeflate's bound for a null compressor holds for every level.
    return libdeflate_zlib_compress_bound(nullptr, srcLen);
}

int zlibCompressBlock::compressBlock(const void* src, size_t srcLen, void* dst, size_t* dstLen) {
    VESK_ASSERT(dstLen != nullptr);
    VESK_ASSERT(src != nullptr || srcLen == 0);
    if (!fCompressor) {
        fCompressor = libdeflate_alloc_compressor(fLevel);
        if (!fCompressor) throw std::bad_alloc();
    }
    size_t n = libdeflate_zlib_compress(fCompressor, src, srcLen, dst, *dstLen);
    if (n == 0) return 0;
    *dstLen = n;
    return 1;
}

int zlibCompressBlock::decompressBlock(const void* src, size_t srcLen, void* dst, size_t* dstLen) {
    VESK_ASSERT(dstLen != nullptr);
    if (!fDecompressor) {
        fDecompressor = libdeflate_alloc_decompressor();
        if (!fDecompressor) throw std::bad_alloc();
    }
    size_t consumed = 0, produced = 0;
    libdeflate_result r =
        libdeflate_zlib_decompress_ex(fDecompressor, src, srcLen, dst, *dstLen, &consumed, &produced);
    if (r != LIBDEFLATE_SUCCESS || consumed != srcLen) return 0;
    *dstLen = produced;
    return 1;
}
