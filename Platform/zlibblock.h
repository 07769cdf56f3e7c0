// One-shot zlib compression of whole blocks.
//
// Block format: a block is exactly one complete zlib stream (RFC 1950: the
// two-byte header, deflate data, the Adler-32 of the uncompressed bytes) and
// nothing else: no length prefix, no padding. Standard zlib tools can inflate
// it. Level 1, the default, compresses with ISA-L's igzip: about twice as
// fast as libdeflate's level 1, for about 5 % more bytes. Every other level
// is libdeflate's, as is every inflation (it is the faster inflater).
//
// An object keeps its compressor and decompressor between calls; it is not
// safe to use one object from two threads at once (use one per thread).
#pragma once

#include <cstddef>
#include <memory>

struct libdeflate_compressor;
struct libdeflate_decompressor;

class zlibCompressBlock {
public:
    static constexpr int kDefaultLevel = 1;
    static constexpr int kMinLevel = 0;   // stored blocks only
    static constexpr int kMaxLevel = 12;

    explicit zlibCompressBlock(int level = kDefaultLevel);
    ~zlibCompressBlock();
    zlibCompressBlock(const zlibCompressBlock&) = delete;
    zlibCompressBlock& operator=(const zlibCompressBlock&) = delete;

    int Level() const { return fLevel; }
    // Changes the level used by later compressBlock calls.
    void SetLevel(int level);

    // Compresses srcLen bytes into dst, which has *dstLen bytes of room.
    // Nonzero on success with *dstLen set to the compressed size; 0 when the
    // result does not fit (dstLen of CompressBound(srcLen) always fits).
    int compressBlock(const void* src, size_t srcLen, void* dst, size_t* dstLen);

    // Inflates the zlib stream of exactly srcLen bytes into dst, which has
    // *dstLen bytes of room. Nonzero on success with *dstLen set to the
    // inflated size; 0 when the stream is corrupt, does not end exactly at
    // srcLen, or inflates to more than the room.
    int decompressBlock(const void* src, size_t srcLen, void* dst, size_t* dstLen);

    // Room that compressBlock needs at most for srcLen bytes at any level.
    static size_t CompressBound(size_t srcLen);

private:
    struct FastDeflate;

    int fLevel;
    std::unique_ptr<FastDeflate> fFast;
    libdeflate_compressor* fCompressor = nullptr;
    libdeflate_decompressor* fDecompressor = nullptr;
};
