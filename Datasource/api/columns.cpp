// Columnar reads: cases from the engine's iterator taken apart into one
// contiguous array per column. Cases are gathered into a small block (a few
// dozen rows, kept in the cache) and the block is written out column by
// column: each column's array then receives runs of consecutive values, which
// costs about half of what storing every case's cells across all the arrays
// does.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <limits>
#include <mutex>
#include <thread>

#include <immintrin.h>

#include "SystemFileDataSource.h"
#include "datasrc.h"
#include "reader_impl.h"

namespace vesk {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int64_t kChunkRows = 1 << 16;
constexpr size_t kTileBytes = 16 << 10;         // rows taken apart at a time
constexpr size_t kAheadBlockBytes = 256 << 10;  // rows handed over between threads at a time
constexpr size_t kMaxBlockRows = 4096;
constexpr int64_t kAheadMinRows = 8192;         // fewer rows are read on the caller's thread
constexpr int64_t kStreamingBytes = 64 << 20;   // more numbers than this are stored past the cache

// A numeric column copied as is, system-missing becoming NaN (or staying).
struct PlainNumbers {
    int cell;
    double* out;
    uint8_t* mask;
};

// Any other column: a string, or a number that needs the user-missing test.
struct Tested {
    detail::CellSpan span;
    const detail::MissingTest* test;
    double* numbers;
    StringColumn* strings;
    uint8_t* mask;
};

struct Plan {
    std::vector<PlainNumbers> plain;
    std::vector<Tested> tested;
    bool nan = true;
    bool streaming = false;  // stores bypass the cache (large reads)
};

void CheckTarget(const Reader::Impl& r, const ColumnTarget& t) {
    if (t.column >= r.fLayout.size())
        throw std::out_of_range("column " + std::to_string(t.column) + " beyond the dictionary");
    const bool numeric = r.fLayout[t.column].width == 0;
    if (numeric ? !t.numbers : !t.strings)
        throw std::invalid_argument("column " + std::to_string(t.column) +
                                    (numeric ? " is numeric and needs `numbers`" : " is a string and needs `strings`"));
}

Plan MakePlan(const Reader::Impl& r, std::span<const ColumnTarget> targets, const BatchOptions& options) {
    Plan plan;
    plan.nan = options.nan_for_missing;
    for (const ColumnTarget& t : targets) {
        CheckTarget(r, t);
        const detail::CellSpan& span = r.fLayout[t.column];
        const detail::MissingTest& test = r.fMissing[t.column];
        const bool numeric = span.width == 0;
        if (numeric && (options.user_missing || !test.HasRule()))
            plan.plain.push_back({span.cell, t.numbers, t.missing});
        else
            plan.tested.push_back(
                {span, &test, numeric ? t.numbers : nullptr, numeric ? nullptr : t.strings, t.missing});
    }
    return plan;
}

// Cases gathered row after row, `stride` cells each.
struct Block {
    std::vector<OBS> cells;
    size_t stride;
    size_t capacity;  // rows
    size_t rows = 0;

    Block(size_t cellsPerCase, size_t bytes)
        : stride(std::max<size_t>(cellsPerCase, 1)),
          capacity(std::clamp<size_t>(bytes / (stride * sizeof(OBS)), 1, kMaxBlockRows)) {
        cells.resize(stride * capacity);
    }
    const OBS& At(size_t row, int cell) const { return cells[row * stride + size_t(cell)]; }
    // Reads up to `limit` cases (at most the capacity) from the iterator;
    // true when the data ended.
    bool Fill(VESK_InputCaseIterator& it, int64_t limit) {
        const size_t n = size_t(std::min<int64_t>(int64_t(capacity), limit));
        // The file's own iterator (no view over the file) decodes straight
        // into the block; any other copies each case out of its buffer.
        if (auto* file = dynamic_cast<SystemFileDataSource::Iterator*>(&it)) {
            rows = size_t(file->NextCases(cells.data(), stride, int64_t(n)));
            return rows < n;
        }
        const OBS* from = it.GetCase().Cells();
        rows = 0;
        while (rows < n) {
            if (!it.NextCase()) return true;
            std::memcpy(&cells[rows++ * stride], from, stride * sizeof(OBS));
        }
        return false;
    }
};

// Rows [from, to) of the block as rows at + from.. of a column. Large reads
// store past the cache: the arrays are far larger than it, and a store that
// first loads its line would double the traffic to memory.
void WritePlain(const PlainNumbers& p, const Block& block, size_t from, size_t to, int64_t at, bool nan,
                bool streaming) {
    double* out = p.out + at;
    if (nan && !p.mask) {
        // Locals the compiler can keep in registers: the stores could
        // otherwise alias the block and the plan.
        uint64_t nanBits;
        std::memcpy(&nanBits, &kNaN, 8);
        const size_t stride = block.stride;
        const OBS* __restrict in = &block.At(from, p.cell);
        double* __restrict dst = out + from;
        const size_t n = to - from;
        if (streaming) {
            // Two rows per 16-byte store: eight-byte non-temporal stores cost
            // about as much each as a sixteen-byte one.
            size_t k = 0;
            if ((reinterpret_cast<uintptr_t>(dst) & 15) != 0 && n > 0) {
                const uint64_t bits = in[0].bits;
                _mm_stream_si64(reinterpret_cast<long long*>(dst), (long long)(bits == VESK_SYSMIS_BITS ? nanBits : bits));
                k = 1;
            }
            // The system-missing value is the lowest finite double: equal
            // as a double to nothing but itself.
            const __m128d sysmis = _mm_set1_pd(-std::numeric_limits<double>::max());
            const __m128d nanLanes = _mm_set1_pd(kNaN);
            for (; k + 2 <= n; k += 2) {
                const __m128d v = _mm_loadh_pd(_mm_load_sd(&in[k * stride].d), &in[(k + 1) * stride].d);
                const __m128d eq = _mm_cmpeq_pd(v, sysmis);
                _mm_stream_pd(dst + k, _mm_or_pd(_mm_andnot_pd(eq, v), _mm_and_pd(eq, nanLanes)));
            }
            if (k < n) {
                const uint64_t bits = in[k * stride].bits;
                _mm_stream_si64(reinterpret_cast<long long*>(dst + k), (long long)(bits == VESK_SYSMIS_BITS ? nanBits : bits));
            }
        } else {
            for (size_t k = 0; k < n; ++k) {
                const uint64_t bits = in[k * stride].bits;
                const uint64_t v = bits == VESK_SYSMIS_BITS ? nanBits : bits;
                std::memcpy(dst + k, &v, 8);
            }
        }
        return;
    }
    for (size_t b = from; b < to; ++b) {
        const OBS cell = block.At(b, p.cell);
        const bool missing = cell.bits == VESK_SYSMIS_BITS;
        out[b] = missing && nan ? kNaN : cell.d;
        if (p.mask) p.mask[at + int64_t(b)] = missing;
    }
}

void WriteTested(const Tested& t, const Block& block, size_t from, size_t to, int64_t at, bool nan) {
    for (size_t b = from; b < to; ++b) {
        const OBS& cell = block.At(b, t.span.cell);
        const bool missing = (*t.test)(cell);
        if (t.numbers) t.numbers[at + int64_t(b)] = missing && nan ? kNaN : cell.d;
        if (t.strings) t.strings->push_back(detail::TrimBlanks(cell.c, size_t(t.span.width)));
        if (t.mask) t.mask[at + int64_t(b)] = missing;
    }
}

// The block's rows as rows at.. of every column, a tile of rows that stays
// in the cache at a time.
void WriteBlock(const Plan& plan, const Block& block, int64_t at) {
    const size_t tile = std::max<size_t>(1, kTileBytes / (block.stride * sizeof(OBS)));
    for (size_t from = 0; from < block.rows; from += tile) {
        const size_t to = std::min(block.rows, from + tile);
        for (const PlainNumbers& p : plan.plain) WritePlain(p, block, from, to, at, plan.nan, plan.streaming);
        for (const Tested& t : plan.tested) WriteTested(t, block, from, to, at, plan.nan);
    }
}

// Reads cases on a thread of its own into a ring of blocks while the caller
// writes the columns from the blocks already read. The iterator is used by
// that thread alone until the object is destroyed.
class DecodeAhead {
public:
    DecodeAhead(VESK_InputCaseIterator& it, size_t stride, int64_t rows) : fIt(it), fLeft(rows) {
        for (size_t k = 0; k < kRing; ++k) fBlocks.emplace_back(stride, kAheadBlockBytes);
        fThread = std::thread([this] { Run(); });
    }
    ~DecodeAhead() {
        {
            const std::lock_guard<std::mutex> lock(fMutex);
            fStop = true;
        }
        fChanged.notify_all();
        fThread.join();
    }
    DecodeAhead(const DecodeAhead&) = delete;
    DecodeAhead& operator=(const DecodeAhead&) = delete;

    // The next block read, null after the last; raises the reader's error
    // once the blocks before it are taken.
    const Block* Next() {
        std::unique_lock<std::mutex> lock(fMutex);
        fChanged.wait(lock, [&] { return fFilled > fTaken || fEnded; });
        if (fFilled > fTaken) return &fBlocks[fTaken % kRing];
        if (fError) std::rethrow_exception(fError);
        return nullptr;
    }
    // The block Next gave is written out: its slot may be filled again.
    void Release() {
        {
            const std::lock_guard<std::mutex> lock(fMutex);
            ++fTaken;
        }
        fChanged.notify_all();
    }

private:
    // Blocks in flight (8 MB): enough for either thread to run on through a
    // time slice the other spends waiting for a core.
    static constexpr size_t kRing = 32;

    void Run() {
        try {
            for (bool end = false; !end && fLeft > 0;) {
                Block* block = FreeSlot();
                if (!block) return;
                end = block->Fill(fIt, fLeft);
                fLeft -= int64_t(block->rows);
                Publish(false);
            }
        } catch (...) {
            fError = std::current_exception();
        }
        Publish(true);
    }
    Block* FreeSlot() {
        std::unique_lock<std::mutex> lock(fMutex);
        fChanged.wait(lock, [&] { return fFilled - fTaken < kRing || fStop; });
        return fStop ? nullptr : &fBlocks[fFilled % kRing];
    }
    void Publish(bool ended) {
        {
            const std::lock_guard<std::mutex> lock(fMutex);
            if (ended)
                fEnded = true;
            else
                ++fFilled;
        }
        fChanged.notify_all();
    }

    VESK_InputCaseIterator& fIt;
    int64_t fLeft;
    std::vector<Block> fBlocks;
    std::mutex fMutex;
    std::condition_variable fChanged;
    size_t fFilled = 0;  // blocks read so far
    size_t fTaken = 0;   // blocks written out so far
    bool fEnded = false;
    bool fStop = false;
    std::exception_ptr fError;
    std::thread fThread;
};

int64_t ReadHere(const Plan& plan, VESK_InputCaseIterator& it, size_t stride, int64_t n) {
    Block block(stride, kTileBytes);
    int64_t done = 0;
    for (bool end = false; !end && done < n; done += int64_t(block.rows)) {
        end = block.Fill(it, n - done);
        WriteBlock(plan, block, done);
    }
    return done;
}

int64_t ReadAhead(const Plan& plan, VESK_InputCaseIterator& it, size_t stride, int64_t n) {
    DecodeAhead ahead(it, stride, n);
    int64_t done = 0;
    while (const Block* block = ahead.Next()) {
        WriteBlock(plan, *block, done);
        done += int64_t(block->rows);
        ahead.Release();
    }
    return done;
}

// Whether decoding on a second thread pays: only where decoding costs more
// than handing the decoded rows to the other core, which reads them out of a
// cache not its own. A view over the file (re-encoding texts) and a bytecode
// file whose cells are mostly compressed codes decode ahead; the plain cases
// of an uncompressed file, bytecode made mostly of raw cells, and a zlib file
// (inflated on threads of its own already) are read on the calling thread.
bool DecodingPays(const Reader::Impl& r, VESK_InputCaseIterator& it, int64_t rows) {
    if (!dynamic_cast<SystemFileDataSource::Iterator*>(&it)) return true;
    if (r.fFile->GetCompressionLevel() != 1 || rows <= 0) return false;
    std::error_code error;
    const uintmax_t fileBytes = std::filesystem::file_size(r.fPath, error);
    const double logical = double(rows) * double(r.fFile->GetObsAreaSize()) * sizeof(OBS);
    return !error && double(fileBytes) < 0.75 * logical;
}

// Rows the batch will most likely hold, to size its arrays once.
int64_t ExpectedRows(const Reader& reader, int64_t first, int64_t n) {
    const int64_t available = std::max<int64_t>(0, reader.row_count() - first);
    return n < 0 ? available : std::min(n, available);
}

// Whether the iterator stands at the end of the data; a row read to find
// out is read again by the next NextCase.
bool AtEnd(VESK_InputCaseIterator& it) {
    const int64_t row = it.Tell();
    if (!detail::Guarded([&] { return it.NextCase(); })) return true;
    it.Seek(row);
    return false;
}

// Makes room for `capacity` rows in the column and points a target at row `at`.
ColumnTarget Grow(const Reader::Impl& r, BatchColumn& c, int64_t at, int64_t capacity, const BatchOptions& options) {
    ColumnTarget t{c.column};
    if (c.column < r.fLayout.size() && r.fLayout[c.column].width == 0) {
        c.numbers.resize(size_t(capacity));
        t.numbers = c.numbers.data() + at;
    } else {
        t.strings = &c.strings;
    }
    if (options.mask) {
        c.missing.resize(size_t(capacity));
        t.missing = c.missing.data() + at;
    }
    return t;
}

}  // namespace

int64_t Reader::read_into(std::span<const ColumnTarget> targets, int64_t first_row, int64_t n_rows,
                          const BatchOptions& options) const {
    if (first_row < 0 || n_rows < 0) throw std::invalid_argument("negative first row or row count");
    Plan plan = MakePlan(*fImpl, targets, options);
    plan.streaming = !plan.plain.empty() && n_rows > kStreamingBytes / int64_t(plan.plain.size() * sizeof(double));
    if (!fImpl->fBatchIter) fImpl->fBatchIter = fImpl->MakeIterator();
    VESK_InputCaseIterator& it = *fImpl->fBatchIter;
    if (it.Tell() != first_row) it.Seek(first_row);
    const size_t stride = fImpl->fSource->GetObsAreaSize();
    const bool ahead = options.decode_ahead && n_rows >= kAheadMinRows && std::thread::hardware_concurrency() > 1 &&
                       DecodingPays(*fImpl, it, row_count());
    try {
        const int64_t rows = detail::Guarded([&] { return (ahead ? ReadAhead : ReadHere)(plan, it, stride, n_rows); });
        _mm_sfence();  // the streamed stores are visible before the caller reads the arrays
        return rows;
    } catch (...) {
        fImpl->fBatchIter.reset();  // its position is unknown now; the next read starts afresh
        throw;
    }
}

Batch Reader::read(std::span<const size_t> columns, int64_t first_row, int64_t n_rows,
                   const BatchOptions& options) const {
    if (first_row < 0) throw std::invalid_argument("negative first row");
    Batch batch;
    batch.first_row = first_row;
    const size_t count = columns.empty() ? fImpl->fVariables.size() : columns.size();
    batch.columns.resize(count);
    for (size_t k = 0; k < count; ++k) batch.columns[k].column = columns.empty() ? k : columns[k];

    // Arrays sized for the rows the file declares, grown (at least doubled)
    // only when it holds more.
    int64_t left = n_rows < 0 ? std::numeric_limits<int64_t>::max() : n_rows;
    int64_t want = std::min(left, ExpectedRows(*this, first_row, n_rows));
    std::vector<ColumnTarget> targets(count);
    for (;;) {
        for (size_t k = 0; k < count; ++k)
            targets[k] = Grow(*fImpl, batch.columns[k], batch.rows, batch.rows + want, options);
        const int64_t got = read_into(targets, first_row + batch.rows, want, options);
        batch.rows += got;
        left -= got;
        if (got < want || left == 0 || AtEnd(*fImpl->fBatchIter)) break;
        want = std::min(left, std::max(kChunkRows, batch.rows));
    }
    for (BatchColumn& c : batch.columns) {
        if (!c.numbers.empty()) c.numbers.resize(size_t(batch.rows));
        if (!c.missing.empty()) c.missing.resize(size_t(batch.rows));
    }
    return batch;
}

}  // namespace vesk
