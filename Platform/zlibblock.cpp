#define VESK_SOURCE_NAME "Platform/zlibblock"
#include "zlibblock.h"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

#include <cstdint>
#include <new>
#include <vector>

#include "vesk_assert.h"

zlibCompressBlock::zlibCompressBlock(int level) : fLevel(level) {
    VESK_ASSERT(level >= kMinLevel && level <= kMaxLevel);
}

// The fast compressor's state: its hash tables live in levelBuffer, kept
// between blocks so a block costs no allocation.
struct zlibCompressBlock::FastDeflate {
    std::vector<uint8_t> levelBuffer = std::vector<uint8_t>(ISAL_DEF_LVL1_DEFAULT);

    // 0 when the stream does not fit the room; the caller then compresses
    // the block again with the general compressor, whose bound always fits.
    size_t Compress(const void* src, size_t srcLen, void* dst, size_t room) {
        isal_zstream s;
        isal_deflate_stateless_init(&s);
        s.level = 1;
        s.level_buf = levelBuffer.data();
        s.level_buf_size = uint32_t(levelBuffer.size());
        s.gzip_flag = IGZIP_ZLIB;
        s.end_of_stream = 1;
        s.flush = NO_FLUSH;
        s.next_in = static_cast<uint8_t*>(const_cast<void*>(src));
        s.avail_in = uint32_t(srcLen);
        s.next_out = static_cast<uint8_t*>(dst);
        s.avail_out = uint32_t(room);
        return isal_deflate_stateless(&s) == COMP_OK ? size_t(s.total_out) : 0;
    }
};

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
    // Blocks and their room are far below 4 GiB here; the fast path takes
    // 32-bit sizes.
    if (fLevel == 1 && srcLen <= UINT32_MAX && *dstLen <= UINT32_MAX) {
        if (!fFast) fFast = std::make_unique<FastDeflate>();
        if (size_t n = fFast->Compress(src, srcLen, dst, *dstLen)) {
            *dstLen = n;
            return 1;
        }
    }
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
