#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <vector>

#include "CompressedStream.h"
#include "CompressedSystemFile.h"
#include "SystemFileException.h"
#include "bytecode.h"
#include "datasrc.h"
#include "errortext.h"
#include "memstream.h"
#include "sparsefileindex.h"
#include "sysfilecoding.h"
#include "tempdir.h"

namespace {

OBS Bits(uint64_t b) { OBS c; c.bits = b; return c; }
OBS Num(double d) { OBS c; c.d = d; return c; }
OBS Text(const char* eight) { OBS c; std::memcpy(c.c, eight, 8); return c; }
const OBS kSpaces = Text("        ");
const OBS kSysmis = Bits(VESK_SYSMIS_BITS);

std::vector<uint64_t> BitsOf(const std::vector<OBS>& cells) {
    std::vector<uint64_t> b;
    for (const OBS& c : cells) b.push_back(c.bits);
    return b;
}
std::vector<std::vector<uint64_t>> BitsOf(const std::vector<std::vector<OBS>>& rows) {
    std::vector<std::vector<uint64_t>> b;
    for (const auto& r : rows) b.push_back(BitsOf(r));
    return b;
}

// A cell drawn from a mix of every class the bytecode distinguishes.
OBS RandomCell(std::mt19937_64& rng) {
    switch (rng() % 8) {
    case 0: return kSysmis;
    case 1: return kSpaces;
    case 2: return Num(double(int(rng() % 251) - 99));         // coded
    case 3: return Num(double(int(rng() % 400) - 200));        // coded or raw
    case 4: return Bits(rng());                                // anything, NaNs included
    case 5: return Num(std::ldexp(double(rng() % 1000), int(rng() % 40) - 20));
    case 6: return Num(-0.0);
    default: return Num(double(rng() % 1000) / 7.0);
    }
}

std::vector<std::vector<OBS>> RandomRows(std::mt19937_64& rng, int rows, long n) {
    std::vector<std::vector<OBS>> out(static_cast<size_t>(rows), std::vector<OBS>(static_cast<size_t>(n)));
    for (auto& row : out)
        for (OBS& c : row) c = RandomCell(rng);
    return out;
}

SystemFileOptions OptionsFor(long cells) { SystemFileOptions o; o._cellsPerCase = cells; return o; }

// Encodes rows with the library's codec at stream offset row0.
void EncodeRows(MemStream& s, long cells, const std::vector<std::vector<OBS>>& rows, int64_t row0 = 0,
                VESK_SparseFileIndex* index = nullptr) {
    SystemFileOptions o = OptionsFor(cells);
    CompressedSystemFile codec(&s, &o, index, row0);
    for (const auto& r : rows) codec.WriteRow(r.data());
    codec.Flush();
}

std::vector<std::vector<OBS>> DecodeAll(MemStream& s, long cells, int64_t row0 = 0) {
    SystemFileOptions o = OptionsFor(cells);
    CompressedSystemFile codec(&s, &o, nullptr, row0);
    std::vector<std::vector<OBS>> rows;
    std::vector<OBS> buf(static_cast<size_t>(cells));
    while (codec.ReadRow(buf.data()) == cells) rows.push_back(buf);
    return rows;
}

// The number and condition text of the SystemFileException that f raises.
template <class F>
std::pair<int, std::string> FailureOf(F f) {
    try {
        f();
    } catch (const SystemFileException& e) {
        return {e.Code(), e.SystemError() ? "system error" : e.Condition()};
    }
    return {0, ""};
}

std::vector<uint8_t> U8(std::initializer_list<int> v) { return std::vector<uint8_t>(v.begin(), v.end()); }

void AppendCell(std::vector<uint8_t>& b, OBS c) {
    const size_t at = b.size();
    b.resize(at + 8);
    std::memcpy(b.data() + at, c.c, 8);
}

}  // namespace

TEST(SystemFileCodecTest, CodesTheBiasEdgesAndRoundTripsEveryBitPattern) {
    struct Case { OBS cell; int code; };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Case> cases = {
        {Num(-99), 1}, {Num(151), 251}, {Num(0.0), 100}, {Num(1.0), 101}, {Num(128), 228},
        {Num(-0.0), 253}, {Num(-100), 253}, {Num(152), 253}, {Num(0.5), 253}, {Num(255), 253}, {Num(256), 253},
        {Num(1e300), 253}, {Num(-1e300), 253}, {Num(std::numeric_limits<double>::denorm_min()), 253},
        {Num(inf), 253}, {Num(-inf), 253}, {Num(nan), 253},
        {Bits(0x7FF0000000000001ull), 253},  // signalling NaN
        {Bits(0xFFF8000000000000ull), 253},  // negative NaN
        {Bits(0x7FF8000000000000ull | 100), 253},
        {Num(4294967296.0 + 3), 253},  // low 32 bits zero, large
        {Num(VESK_DataSource::LowNumber()), 253}, {Num(VESK_DataSource::HighNumber()), 253},
        {kSysmis, 255}, {kSpaces, 254}, {Text("abcdefgh"), 253}, {Text("       x"), 253},
    };
    std::vector<OBS> row;
    for (const Case& c : cases) {
        MemStream one;
        EncodeRows(one, 1, {{c.cell}});
        std::vector<uint8_t> want = U8({c.code, 0, 0, 0, 0, 0, 0, 0});
        if (c.code == 253) AppendCell(want, c.cell);
        EXPECT_EQ(one.Data(), want) << "cell " << row.size();
        row.push_back(c.cell);
    }
    MemStream s;
    EncodeRows(s, long(row.size()), {row});
    EXPECT_EQ(BitsOf(DecodeAll(s, long(row.size()))), BitsOf(std::vector<std::vector<OBS>>{row}));
}

// The eight-at-once classifier agrees with the one-cell one on every class,
// the edges of the coded range and arbitrary bit patterns, in every lane.
TEST(SystemFileCodecTest, ClassifyingEightCellsAgreesWithOneAtATime) {
    std::vector<OBS> cells = {Num(-99), Num(151), Num(-100), Num(152), Num(0.0), Num(-0.0), Num(-2147483648.0),
                              Num(2147483647.0), Num(4294967296.0 + 100), Num(99.5), Num(-99.5), Num(1e300),
                              Num(std::numeric_limits<double>::denorm_min()), Num(-std::numeric_limits<double>::denorm_min()),
                              Num(std::numeric_limits<double>::infinity()), Bits(0xFFF8000000000000ull),
                              Bits(0x7FF0000000000001ull), kSysmis, kSpaces, Text("       x"),
                              Bits(0x2020202000000000ull), Bits(0x0000000020202020ull), Bits(0xFFEFFFFF00000000ull),
                              Bits(0x80000000FFFFFFFFull), Bits(0x8000000000000001ull), Bits(1),
                              Bits(0x000FFFFFFFFFFFFFull)};
    std::mt19937_64 rng(29);
    while (cells.size() < 8000) cells.push_back(RandomCell(rng));
    auto agree = [&] {
        for (size_t lane = 0; lane < 8; ++lane)  // every edge case in every lane
            for (size_t i = lane; i + 8 <= cells.size(); i += 8) {
                const uint64_t codes = Bytecode::Classify8(&cells[i]);
                for (size_t j = 0; j < 8; ++j)
                    ASSERT_EQ(int((codes >> (8 * j)) & 0xFF), int(Bytecode::Classify(cells[i + j].bits)))
                        << "bits " << std::hex << cells[i + j].bits;
            }
    };
    agree();
#if defined(__SSE2__)
    // A library built for fast maths may make the process treat denormals as
    // zero: they must stay raw all the same.
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | 0x8040u);  // denormals are zero, flush to zero
    agree();
    _mm_setcsr(saved);
#endif
}

// The eight-at-once decoder of blocks without raw cells gives the table's
// cell for every code it takes, in every lane; a file of such blocks, cases
// starting mid-block, decodes as encoded.
TEST(SystemFileCodecTest, DecodingEightCodesAgreesWithTheTable) {
    std::vector<uint8_t> codes;
    for (int c = 1; c <= 251; ++c) codes.push_back(uint8_t(c));
    codes.push_back(254);
    codes.push_back(255);
    for (size_t lane = 0; lane < 8; ++lane)
        for (uint8_t c : codes) {
            uint64_t word = 0x6565656565656565ull;  // code 101 elsewhere
            word = (word & ~(uint64_t(0xFF) << (8 * lane))) | (uint64_t(c) << (8 * lane));
            OBS out[8];
            Bytecode::Decode8(word, out);
            for (size_t j = 0; j < 8; ++j)
                ASSERT_EQ(out[j].bits, Bytecode::kDecodeTable[(word >> (8 * j)) & 0xFF]) << "code " << int(c);
        }
    std::mt19937_64 rng(31);
    std::vector<std::vector<OBS>> rows(500, std::vector<OBS>(13));
    for (auto& row : rows)
        for (OBS& cell : row) cell = rng() % 9 == 0 ? kSysmis : Num(double(int(rng() % 251) - 99));
    MemStream s;
    EncodeRows(s, 13, rows);
    EXPECT_EQ(BitsOf(DecodeAll(s, 13)), BitsOf(rows));
}

TEST(SystemFileCodecTest, BlocksRunAcrossCasesAndArePaddedOnlyAtTheEnd) {
    // Three cases of three cells share blocks; the last block is padded with 0.
    MemStream t;
    std::vector<OBS> row = {Num(2), Num(0.5), kSysmis};
    EncodeRows(t, 3, {row, row, row});
    std::vector<uint8_t> expected = U8({102, 253, 255, 102, 253, 255, 102, 253});
    for (int k = 0; k < 3; ++k) AppendCell(expected, Num(0.5));
    for (int v : {255, 0, 0, 0, 0, 0, 0, 0}) expected.push_back(uint8_t(v));
    EXPECT_EQ(t.Data(), expected);
    EXPECT_EQ(BitsOf(DecodeAll(t, 3)), BitsOf({row, row, row}));
}

TEST(SystemFileCodecTest, ReaderHonoursPaddingEndCodesAndSwapFlags) {
    // 252 ends the block, so the third cell comes from the next; padding codes produce nothing.
    std::vector<uint8_t> data = U8({101, 0, 253, 252, 105, 105, 105, 105});
    OBS raw = Num(12.75);
    OBS swapped = raw;
    SysFileLayout::ReverseCell(swapped);
    AppendCell(data, swapped);
    for (int v : {0, 0, 102, 254, 253, 255, 0, 0}) data.push_back(uint8_t(v));
    AppendCell(data, swapped);
    MemStream s(data);
    SystemFileOptions o = OptionsFor(3);
    CompressedSystemFile codec(&s, &o, nullptr, 0);
    std::vector<OBS> row(3);
    const uint8_t flags[2][3] = {{1, 1, 0}, {0, 1, 1}};  // raw cells are reversed back where flagged
    ASSERT_EQ(codec.ReadRow(row.data(), flags[0]), 3);
    EXPECT_EQ(BitsOf(row), BitsOf({Num(1), raw, Num(2)}));
    ASSERT_EQ(codec.ReadRow(row.data(), flags[1]), 3);
    EXPECT_EQ(BitsOf(row), BitsOf({kSpaces, raw, kSysmis}));
    EXPECT_EQ(codec.ReadRow(row.data()), 0);
    EXPECT_EQ(codec.CurrentRow(), 2);
}

TEST(SystemFileCodecTest, MalformedDataRaisesShortReadAndAFullDiskWriteError) {
    std::vector<OBS> buf(4);
    auto decode = [&](std::vector<uint8_t> bytes, long cells) {
        MemStream s(bytes);
        SystemFileOptions o = OptionsFor(cells);
        CompressedSystemFile codec(&s, &o, nullptr, 0);
        while (codec.ReadRow(buf.data()) != 0) {
        }
    };
    const struct {
        std::vector<uint8_t> bytes;
        long cells;
        int code;
        const char* condition;
    } cases[] = {
        {U8({101, 101, 101}), 1, 1205, "nRead == 0"},  // a command block cut short
        {U8({253, 253, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}), 2, 1205, "nRead == nu*sizeof(OBS)"},
        {U8({101, 101, 101, 0, 0, 0, 0, 0}), 2, 1205, "iCell == 0"},  // ends inside a case
        {U8({101, 252, 253, 253, 253, 253, 253, 253}), 1, 0, ""},    // no raw cells after a 252
        {std::vector<uint8_t>(800, 0), 3, 0, ""},                    // padding only: a clean end
    };
    for (const auto& c : cases)
        EXPECT_EQ(FailureOf([&] { decode(c.bytes, c.cells); }), std::make_pair(c.code, std::string(c.condition)));

    // Skipping meets the same faults.
    MemStream s(U8({101, 101, 101, 0, 0, 0, 0, 0}));
    SystemFileOptions o = OptionsFor(2);
    CompressedSystemFile codec(&s, &o, nullptr, 0);
    EXPECT_EQ(codec.SkipCase(), 2);
    EXPECT_EQ(FailureOf([&] { codec.SkipCase(); }).first, 1205);

    MemStream full;  // a full disk: 1202 with the system error
    full.SetWriteLimit(100);
    CompressedSystemFile w(&full, &o, nullptr, 0);
    for (int i = 0; i < 50; ++i) w.WriteRow(std::vector<OBS>(2, Num(0.5)).data());
    EXPECT_EQ(FailureOf([&] { w.Flush(); }), std::make_pair(1202, std::string("system error")));
}

TEST(SystemFileCodecTest, WriterIndexesRowsAndLogicalPositionsAreBlockOffsetPlusCommand) {
    MemStream s, t;
    std::mt19937_64 rng(13);
    VESK_SparseFileIndex writerIndex(1);
    EncodeRows(s, 20, RandomRows(rng, 3000, 20), 0, &writerIndex);
    EXPECT_GT(writerIndex.Size(), 1);

    SystemFileOptions o2 = OptionsFor(3);
    EncodeRows(t, 3, {{Num(1), Num(2), Num(3)}, {Num(4), Num(5), Num(6)}, {Num(7), Num(8), Num(9)}});
    CompressedSystemFile c2(&t, &o2, nullptr, 0);
    c2.SetTargetRow(2);
    EXPECT_EQ(c2.PositionOnTarget(), 6);
    c2.SeekLogical(3);
    std::vector<OBS> three(3);
    ASSERT_EQ(c2.DecodeCase(three.data()), 3);
    EXPECT_EQ(std::make_pair(three[0].d, c2.Tell()), std::make_pair(4.0, int64_t{6}));
    ASSERT_EQ(c2.DecodeCase(three.data()), 3);  // runs into the second block
    EXPECT_EQ(std::make_pair(three[2].d, c2.Tell()), std::make_pair(9.0, int64_t{8 + 1}));
}

// Positioning walks whole blocks by their command bytes, also past padding codes.
TEST(SystemFileCodecTest, RandomRowsReadTheSameStraightAndByPositioning) {
    constexpr int64_t kRow0 = 176;  // the data area does not start at 0 in a file
    for (long cells : {1L, 8L, 9L, 33L}) {
        for (bool padded : {false, true}) {
            SCOPED_TRACE(testing::Message() << cells << " cells, padded " << padded);
            std::mt19937_64 rng(uint64_t(cells) * 2 + padded);
            const auto rows = RandomRows(rng, 1500, cells);
            MemStream s;
            s.Data().assign(kRow0, 'h');
            if (!padded) {
                EncodeRows(s, cells, rows, kRow0);
            } else {
                // A padding code before about one cell in five.
                std::vector<uint8_t> bytes, commands, raw;
                auto put = [&](uint8_t c) {
                    commands.push_back(c);
                    if (commands.size() < 8) return;
                    bytes.insert(bytes.end(), commands.begin(), commands.end());
                    bytes.insert(bytes.end(), raw.begin(), raw.end());
                    commands.clear();
                    raw.clear();
                };
                for (const auto& row : rows)
                    for (const OBS& c : row) {
                        if (rng() % 5 == 0) put(Bytecode::kCodePadding);
                        const uint8_t code = Bytecode::Classify(c.bits);
                        if (code == Bytecode::kCodeRaw) raw.insert(raw.end(), c.c, c.c + 8);
                        put(code);
                    }
                while (!commands.empty()) put(Bytecode::kCodePadding);
                s.Data().insert(s.Data().end(), bytes.begin(), bytes.end());
            }
            ASSERT_EQ(BitsOf(DecodeAll(s, cells, kRow0)), BitsOf(rows));

            // In order, back, far ahead, the same row again, the last, then at random.
            std::vector<int64_t> targets = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 5, 1400, 1400, 1234, 1499};
            while (targets.size() < 400) targets.push_back(int64_t(rng() % rows.size()));
            VESK_SparseFileIndex index(1);
            SystemFileOptions o = OptionsFor(cells);
            CompressedSystemFile codec(&s, &o, &index, kRow0);
            std::vector<OBS> buf(size_t(cells), kSysmis);
            auto readAt = [&](int64_t row) {
                codec.SetTargetRow(row);
                return codec.ReadRow(buf.data());
            };
            for (int64_t target : targets) {
                ASSERT_EQ(readAt(target), cells) << "row " << target;
                ASSERT_EQ(BitsOf(buf), BitsOf(rows[size_t(target)])) << "row " << target;
            }
            EXPECT_GT(index.Size(), 1);
            // Past the end: nothing, stopping at the last row; it can still go back.
            EXPECT_EQ(readAt(int64_t(rows.size()) + 5), 0);
            EXPECT_EQ(codec.CurrentRow(), int64_t(rows.size()));
            ASSERT_EQ(readAt(17), cells);
            EXPECT_EQ(BitsOf(buf), BitsOf(rows[17]));
        }
    }
}

TEST(SystemFileCodecTest, RunsOfRawBlocksDecodeAndStopAtAnEndCodeOrCutData) {
    // 20 cells a row, all raw: two rows fill five blocks of 72 bytes.
    constexpr long kCells = 20;
    constexpr size_t kTwoRows = 5 * 72;
    std::vector<std::vector<OBS>> rows(2000, std::vector<OBS>(kCells));
    for (size_t r = 0; r < rows.size(); ++r)
        for (size_t c = 0; c < kCells; ++c) rows[r][c] = Num(double(r) + 0.25 + double(c) / 64.0);
    rows[7][3] = Num(5);  // one coded cell among the raw ones
    rows[7][19] = kSysmis;
    MemStream s;
    EncodeRows(s, kCells, rows);
    ASSERT_EQ(BitsOf(DecodeAll(s, kCells)), BitsOf(rows));

    // The same stream from row 8 on, so that the byte offsets are plain.
    std::vector<uint8_t> bytes;
    MemStream whole;
    EncodeRows(whole, kCells, std::vector<std::vector<OBS>>(rows.begin() + 8, rows.end()));
    bytes = whole.Data();
    ASSERT_EQ(bytes.size(), 996 * kTwoRows);

    // A block of 252 where row 1000 (of these) starts: 1000 rows, cleanly.
    MemStream ended(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 500 * kTwoRows));
    ended.Data().insert(ended.Data().end(), {Bytecode::kCodeEnd, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(DecodeAll(ended, kCells).size(), 1000u);

    for (size_t cut : {size_t{8 + 3 * 8}, size_t{3}, size_t{72 + 40}}) {
        SCOPED_TRACE(cut);
        MemStream cutShort(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 500 * kTwoRows + cut));
        EXPECT_EQ(FailureOf([&] { DecodeAll(cutShort, kCells); }).first, 1205);
    }
}

TEST(SystemFileCodecTest, AppendingEqualsWritingInOneGo) {
    const long cells = 3;
    std::mt19937_64 rng(5);
    const auto rows = RandomRows(rng, 16, cells);
    auto rowsTo = [&](size_t n) { return std::vector<std::vector<OBS>>(rows.begin(), rows.begin() + long(n)); };
    MemStream once, s;
    once.Data().assign(40, 'd');
    EncodeRows(once, cells, rowsTo(15), 40);

    // Ten rows (the last block half full), then appended in two goes.
    s.Data().assign(40, 'd');
    EncodeRows(s, cells, rowsTo(10), 40);
    auto append = [&](int64_t ask, int64_t from, int64_t to) {
        SystemFileOptions o = OptionsFor(cells);
        CompressedSystemFile a(&s, &o, nullptr, 40);
        a.PrepareAppend(ask, false);
        EXPECT_EQ(a.CurrentRow(), from);
        for (int64_t r = from; r < to; ++r) a.WriteRow(rows[size_t(r)].data());
    };  // the destructor flushes
    append(10, 10, 13);
    append(13, 13, 15);
    EXPECT_EQ(s.Data(), once.Data());
    append(1000, 15, 16);  // after more rows than present: after the last
    EXPECT_EQ(BitsOf(DecodeAll(s, cells, 40)), BitsOf(rowsTo(16)));
}

// A plain file stream is read in place, from its buffer or its read-ahead
// chunks; blocks and rows that straddle two of them, cut data and appending
// behind a block that stood in the stream's buffer work as from memory.
TEST(SystemFileCodecTest, FileStreamsAreReadInPlaceAcrossTheirBuffers) {
    constexpr int64_t kRow0 = 100;
    constexpr long kCells = 13;
    std::mt19937_64 rng(18);
    const auto rows = RandomRows(rng, 40000, kCells);  // about 3 MB: several read-ahead chunks
    MemStream s;
    s.Data().assign(kRow0, 'h');
    EncodeRows(s, kCells, rows, kRow0);
    TempDir dir("bytecode");
    auto put = [&](const std::string& name, size_t bytes) {
        std::ofstream(dir.File(name), std::ios::binary).write(reinterpret_cast<const char*>(s.Data().data()),
                                                               std::streamsize(bytes));
        return dir.File(name);
    };
    const std::string whole = put("whole.sys", s.Data().size());
    for (bool readAhead : {false, true}) {
        SCOPED_TRACE(readAhead ? "read-ahead" : "buffered");
        VESK_FileStream file;
        ASSERT_NE(file.Open(whole.c_str(), "rb"), 0);
        ASSERT_TRUE(!readAhead || file.EnableMultiThreadReading() != 0);
        SystemFileOptions o = OptionsFor(kCells);
        VESK_SparseFileIndex index(64);
        CompressedSystemFile codec(&file, &o, &index, kRow0);
        std::vector<OBS> buf(kCells);
        for (size_t r = 0; r < rows.size(); ++r) {
            ASSERT_EQ(codec.ReadRow(buf.data()), kCells) << "row " << r;
            ASSERT_EQ(BitsOf(buf), BitsOf(rows[r])) << "row " << r;
        }
        EXPECT_EQ(codec.ReadRow(buf.data()), 0);
        for (int k = 0; k < 200; ++k) {
            const int64_t row = k % 3 == 0 ? int64_t(rows.size()) - 1 - k : int64_t(rng() % rows.size());
            codec.SetTargetRow(row);
            ASSERT_EQ(codec.ReadRow(buf.data()), kCells) << "row " << row;
            ASSERT_EQ(BitsOf(buf), BitsOf(rows[size_t(row)])) << "row " << row;
        }
    }
    // Cut inside the last block's raw cells and after its command bytes.
    for (size_t cut : {size_t{5}, size_t{2 + 8}}) {
        VESK_FileStream file;
        ASSERT_NE(file.Open(put("cut.sys", s.Data().size() - cut).c_str(), "rb"), 0);
        SystemFileOptions o = OptionsFor(kCells);
        CompressedSystemFile codec(&file, &o, nullptr, kRow0);
        std::vector<OBS> buf(kCells);
        EXPECT_EQ(FailureOf([&] { while (codec.ReadRow(buf.data()) != 0) {} }).first, 1205) << cut;
    }
    // Appending from the middle of a block, reopening the file.
    {
        VESK_FileStream file;
        ASSERT_NE(file.Open(whole.c_str(), "rb"), 0);
        SystemFileOptions o = OptionsFor(kCells);
        CompressedSystemFile codec(&file, &o, nullptr, kRow0);
        codec.PrepareAppend(30001, true);
        for (size_t r = 30001; r < rows.size(); ++r) codec.WriteRow(rows[r].data());
        codec.Flush();
    }
    std::ifstream in(whole, std::ios::binary);
    EXPECT_TRUE(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}) == s.Data());
}

TEST(CompressedStreamTest, BlockShapes) {
    auto write = [](const std::vector<OBS>& cells) {
        MemStream s;
        WriteCompressed(s, cells.data(), long(cells.size()));
        return s.Data();
    };
    auto bytes = [](std::initializer_list<int> head, std::vector<OBS> raws = {}, std::initializer_list<int> tail = {}) {
        std::vector<uint8_t> b = U8(head);
        for (const OBS& c : raws) AppendCell(b, c);
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    std::vector<uint8_t> sixteenCodes = bytes({0xF0}), sixteenRaws = bytes({0x0F}, std::vector<OBS>(15, Num(0.5)), {0x01});
    sixteenCodes.insert(sixteenCodes.end(), 15, 105);
    sixteenCodes.insert(sixteenCodes.end(), {0x10, 105});
    AppendCell(sixteenRaws, Num(0.5));
    const std::pair<std::vector<OBS>, std::vector<uint8_t>> cases[] = {
        {std::vector<OBS>(16, Num(5)), sixteenCodes},                    // 15 codes, then 1
        {{Num(0.5), Num(5)}, bytes({0x01}, {Num(0.5)}, {0x10, 105})},      // codes never follow raw cells
        {{kSysmis, kSpaces, Num(-0.0)}, bytes({0x21, 255, 254}, {Num(-0.0)})},  // codes, then raw cells
        {std::vector<OBS>(16, Num(0.5)), sixteenRaws},                   // 15 raw cells, then 1
        {{}, bytes({0x00})},
    };
    for (const auto& [cells, want] : cases) EXPECT_EQ(write(cells), want);
    MemStream empty;
    EXPECT_TRUE(ReadCompressed(empty, nullptr, 0));  // a row of 0 cells reads nothing
}

TEST(CompressedStreamTest, RoundTripsSkipsAndCopiesRows) {
    std::mt19937_64 rng(3);
    const long n = 37;
    const auto rows = RandomRows(rng, 300, n);
    MemStream s;
    for (const auto& row : rows) WriteCompressed(s, row.data(), n);
    s.Seek(0, 0);
    std::vector<OBS> buf(n);
    for (size_t r = 0; r < rows.size(); ++r) {
        if (r % 3 == 1) {
            ASSERT_TRUE(SkipCompressed(s, n));
            continue;
        }
        ASSERT_TRUE(ReadCompressed(s, buf.data(), n));
        ASSERT_EQ(BitsOf(buf), BitsOf(rows[r])) << "row " << r;
    }
    EXPECT_FALSE(ReadCompressed(s, buf.data(), n));
    EXPECT_FALSE(SkipCompressed(s, n));

    // A copy without decoding is byte for byte the original.
    s.Seek(0, 0);
    MemStream copy;
    for (size_t r = 0; r < rows.size(); ++r) ASSERT_TRUE(CopyPrecompressed(s, copy, n));
    EXPECT_FALSE(CopyPrecompressed(s, copy, n));
    EXPECT_EQ(copy.Data(), s.Data());

    // Codes the system-file codec reserves are plain integers here.
    MemStream odd(U8({0x30, 253, 252, 0}));
    ASSERT_TRUE(ReadCompressed(odd, buf.data(), 3));
    EXPECT_EQ(BitsOf({buf[0], buf[1], buf[2]}), BitsOf({Num(153), Num(152), Num(-100)}));
}

TEST(CompressedStreamTest, FaultsRaiseCompressedStreamError) {
    std::vector<OBS> buf(4);
    auto errnoOf = [](auto f) {
        try {
            f();
        } catch (const CompressedStreamError& e) {
            return e.Errno();
        }
        return -1;
    };
    MemStream empty;  // a clean end
    EXPECT_FALSE(ReadCompressed(empty, buf.data(), 4));
    // A row cut after its first block; a header byte alone.
    MemStream cut(U8({0x20, 101, 102})), header(U8({0x10}));
    EXPECT_EQ(errnoOf([&] { ReadCompressed(cut, buf.data(), 4); }), 0);
    EXPECT_EQ(errnoOf([&] { ReadCompressed(header, buf.data(), 1); }), 0);
    // A block with more cells than the row, read, skipped or copied.
    MemStream wide(U8({0x50, 101, 101, 101, 101, 101})), sink;
    EXPECT_EQ(errnoOf([&] { ReadCompressed(wide, buf.data(), 4); }), EILSEQ);
    wide.Seek(0, 0);
    EXPECT_EQ(errnoOf([&] { SkipCompressed(wide, 4); }), EILSEQ);
    wide.Seek(0, 0);
    EXPECT_EQ(errnoOf([&] { CopyPrecompressed(wide, sink, 4); }), EILSEQ);
    // A full disk, a stream that cannot seek.
    MemStream full, noSeek(U8({0x10, 101}));
    full.SetWriteLimit(10);
    EXPECT_EQ(errnoOf([&] { WriteCompressed(full, std::vector<OBS>(4, Num(0.5)).data(), 4); }), ENOSPC);
    noSeek.SetFailSeeks(true);
    EXPECT_EQ(errnoOf([&] { SkipCompressed(noSeek, 1); }), ESPIPE);
}
