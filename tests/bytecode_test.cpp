#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "../Datasource/src/CompressedSystemFile.h"
#include "../Datasource/src/bytecode.h"
#include "CompressedStream.h"
#include "datasrc.h"
#include "errortext.h"
#include "memstream.h"
#include "sparsefileindex.h"
#include "sysfilebuilder.h"

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

std::vector<OBS> RandomRow(std::mt19937_64& rng, long n) {
    std::vector<OBS> row(static_cast<size_t>(n));
    for (OBS& c : row) c = RandomCell(rng);
    return row;
}

// Rows a function of their number, for positioning tests.
std::vector<OBS> RowNumbered(int64_t row, long n) {
    std::vector<OBS> cells(static_cast<size_t>(n));
    for (long i = 0; i < n; ++i) {
        const int64_t k = row * n + i;
        cells[size_t(i)] = (k % 3 == 0) ? Num(double(k % 150)) : (k % 3 == 1) ? Num(double(k) + 0.25) : kSysmis;
    }
    return cells;
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

// The condition text and number of the SystemFileException that f raises.
template <class F>
std::pair<int, std::string> FailureOf(F f) {
    try {
        f();
    } catch (const SystemFileException& e) {
        return {e.Code(), e.Condition()};
    }
    return {0, ""};
}

std::vector<uint8_t> U8(std::initializer_list<int> v) { return std::vector<uint8_t>(v.begin(), v.end()); }

void AppendCell(std::vector<uint8_t>& b, OBS c) { b.insert(b.end(), c.c, c.c + 8); }

}  // namespace

// ---------------------------------------------------------------- system-file codec

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
    for (const Case& c : cases) row.push_back(c.cell);
    MemStream s;
    EncodeRows(s, long(row.size()), {row});

    // Walk the blocks: every command must be the expected code.
    const std::vector<uint8_t>& bytes = s.Data();
    size_t at = 0, cell = 0;
    while (cell < cases.size()) {
        ASSERT_LE(at + 8, bytes.size());
        int raws = 0;
        for (int j = 0; j < 8 && cell < cases.size(); ++j, ++cell) {
            EXPECT_EQ(int(bytes[at + j]), cases[cell].code) << "cell " << cell;
            raws += bytes[at + j] == 253;
        }
        at += 8 + 8 * size_t(raws);
    }
    EXPECT_EQ(at, bytes.size());

    const auto back = DecodeAll(s, long(row.size()));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(BitsOf(back[0]), BitsOf(row));

    // Every integer -99..151 is exact, and its neighbours are not coded.
    std::vector<OBS> ints;
    for (int v = -99; v <= 151; ++v) ints.push_back(Num(v));
    MemStream t;
    EncodeRows(t, long(ints.size()), {ints});
    EXPECT_EQ(t.Data().size(), 256u);  // 251 commands, padded to 32 blocks, no raw cell
    for (int v = -99; v <= 151; ++v) EXPECT_EQ(int(t.Data()[size_t(v + 99)]), v + 100);
    EXPECT_EQ(BitsOf(DecodeAll(t, long(ints.size()))[0]), BitsOf(ints));
}

TEST(SystemFileCodecTest, BlocksRunAcrossCasesAndArePaddedOnlyAtTheEnd) {
    // Eight cells of 1.0: one block of eight 101 codes and no raw cells.
    MemStream s;
    EncodeRows(s, 8, {std::vector<OBS>(8, Num(1.0))});
    EXPECT_EQ(s.Data(), std::vector<uint8_t>(8, 101));

    // Three cases of three cells share blocks; the last block is padded with 0.
    MemStream t;
    std::vector<OBS> row = {Num(2), Num(0.5), kSysmis};
    EncodeRows(t, 3, {row, row, row});
    std::vector<uint8_t> expected = U8({102, 253, 255, 102, 253, 255, 102, 253});
    for (int k = 0; k < 3; ++k) AppendCell(expected, Num(0.5));
    for (int v : {255, 0, 0, 0, 0, 0, 0, 0}) expected.push_back(uint8_t(v));
    EXPECT_EQ(t.Data(), expected);
    EXPECT_EQ(DecodeAll(t, 3).size(), 3u);

    // The library's codec and the test builder's independent coder agree.
    std::mt19937_64 rng(7);
    for (long cells : {1L, 7L, 8L, 9L, 20L}) {
        SysFileBuilder b;
        b.Header({.compression = 1}).End();
        std::vector<std::vector<OBS>> rows;
        for (int r = 0; r < 50; ++r) {
            std::vector<OBS> cellsOfRow;
            for (long i = 0; i < cells; ++i) {
                OBS c = RandomCell(rng);
                if (c.bits == kSpaces.bits) c = Num(3);  // the builder codes blanks of string cells only
                cellsOfRow.push_back(c);
            }
            rows.push_back(cellsOfRow);
            b.Row(cellsOfRow);
        }
        MemStream m;
        EncodeRows(m, cells, rows);
        const std::vector<uint8_t> file = b.Bytes();
        EXPECT_EQ(std::vector<uint8_t>(file.begin() + long(b.DataStart()), file.end()), m.Data())
            << cells << " cells";
    }
}

TEST(SystemFileCodecTest, ReaderHonoursPaddingEndCodesAndSwapFlags) {
    // Row of three cells: 1.0, a raw cell, then 252 ends the block, so the
    // third cell comes from the next block; padding codes produce nothing.
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
    const uint8_t flags[3] = {1, 1, 0};
    ASSERT_EQ(codec.ReadRow(row.data(), flags), 3);
    EXPECT_EQ(row[0].d, 1.0);
    EXPECT_EQ(row[1].d, 12.75);  // reversed back: its swap flag is set
    EXPECT_EQ(row[2].d, 2.0);
    const uint8_t flags2[3] = {0, 1, 1};
    ASSERT_EQ(codec.ReadRow(row.data(), flags2), 3);
    EXPECT_EQ(row[0].bits, kSpaces.bits);
    EXPECT_EQ(row[1].d, 12.75);
    EXPECT_EQ(row[2].bits, kSysmis.bits);
    EXPECT_EQ(codec.ReadRow(row.data()), 0);
    EXPECT_EQ(codec.CurrentRow(), 2);
}

TEST(SystemFileCodecTest, MalformedDataRaisesShortRead) {
    std::vector<OBS> buf(4);
    auto decode = [&](std::vector<uint8_t> bytes, long cells) {
        MemStream s(bytes);
        SystemFileOptions o = OptionsFor(cells);
        CompressedSystemFile codec(&s, &o, nullptr, 0);
        long got = 0;
        while ((got = codec.ReadRow(buf.data())) != 0) {
        }
    };
    // A command block cut short.
    EXPECT_EQ(FailureOf([&] { decode(U8({101, 101, 101}), 1); }),
              std::make_pair(1205, std::string("nRead == 0")));
    // Raw cells announced but missing.
    EXPECT_EQ(FailureOf([&] { decode(U8({253, 253, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}), 2); }),
              std::make_pair(1205, std::string("nRead == nu*sizeof(OBS)")));
    // Data that ends inside a case (three cells in a file of two-cell cases).
    EXPECT_EQ(FailureOf([&] { decode(U8({101, 101, 101, 0, 0, 0, 0, 0}), 2); }),
              std::make_pair(1205, std::string("iCell == 0")));
    // Raw cells after a 252 are not expected: this block is whole.
    EXPECT_EQ(FailureOf([&] { decode(U8({101, 252, 253, 253, 253, 253, 253, 253}), 1); }),
              std::make_pair(0, std::string()));
    // Padding only: no case, a clean end.
    EXPECT_EQ(FailureOf([&] { decode(std::vector<uint8_t>(800, 0), 3); }), std::make_pair(0, std::string()));

    // Skipping meets the same faults.
    MemStream s(U8({101, 101, 101, 0, 0, 0, 0, 0}));
    SystemFileOptions o = OptionsFor(2);
    CompressedSystemFile codec(&s, &o, nullptr, 0);
    EXPECT_EQ(codec.SkipCase(), 2);
    EXPECT_EQ(FailureOf([&] { codec.SkipCase(); }).first, 1205);

    // The outer operation turns the exception into library error 1205 on the file.
    try {
        decode(U8({101}), 1);
        FAIL();
    } catch (const SystemFileException& e) {
        try {
            e.Raise("data.sys");
        } catch (const VeskError& v) {
            EXPECT_EQ(v.Number(), 1205);
            ASSERT_EQ(v.Args().size(), 1u);
            EXPECT_EQ(v.Args()[0], "data.sys");
        }
    }

    // Random bytes never crash: each stream decodes or raises 1205.
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<uint8_t> bytes(rng() % 300);
        for (uint8_t& b : bytes) b = uint8_t(rng() % 4 == 0 ? 253 : rng());
        const auto [code, text] = FailureOf([&] { decode(bytes, long(1 + rng() % 4)); });
        EXPECT_TRUE(code == 0 || code == 1205) << code;
    }
}

TEST(SystemFileCodecTest, PositionsOnRowsThroughTheSharedIndex) {
    const long cells = 20;
    const int64_t rows = 3000;
    MemStream s;
    VESK_SparseFileIndex writerIndex(1);
    {
        SystemFileOptions o = OptionsFor(cells);
        CompressedSystemFile w(&s, &o, &writerIndex, 0);
        for (int64_t r = 0; r < rows; ++r) w.WriteRow(RowNumbered(r, cells).data());
        w.Flush();
    }
    EXPECT_GT(writerIndex.Size(), 1);

    VESK_SparseFileIndex index(1);
    SystemFileOptions o = OptionsFor(cells);
    CompressedSystemFile codec(&s, &o, &index, 0);
    std::vector<OBS> buf(cells);
    auto readAt = [&](int64_t row) {
        codec.SetTargetRow(row);
        return codec.ReadRow(buf.data());
    };
    // In order; back to row 5, a walk from the nearest indexed row; far
    // ahead, indexing the rows passed; the row just read again; one behind
    // an indexed row; the last.
    for (int64_t r : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 5, 2500, 2500, 1234, 2999}) {
        ASSERT_EQ(readAt(r), cells) << r;
        EXPECT_EQ(BitsOf(buf), BitsOf(RowNumbered(r, cells))) << r;
    }
    EXPECT_GT(index.Size(), 1);
    // Past the end: nothing, and the codec stops at the number of rows present; it can still go back.
    EXPECT_EQ(readAt(rows + 100), 0);
    EXPECT_EQ(codec.CurrentRow(), rows);
    EXPECT_EQ(readAt(rows), 0);
    ASSERT_EQ(readAt(17), cells);
    EXPECT_EQ(BitsOf(buf), BitsOf(RowNumbered(17, cells)));

    // A row's logical position is its block offset plus the command index.
    SystemFileOptions o2 = OptionsFor(3);
    MemStream t;
    EncodeRows(t, 3, {{Num(1), Num(2), Num(3)}, {Num(4), Num(5), Num(6)}, {Num(7), Num(8), Num(9)}});
    CompressedSystemFile c2(&t, &o2, nullptr, 0);
    c2.SetTargetRow(2);
    EXPECT_EQ(c2.PositionOnTarget(), 6);
    c2.SeekLogical(3);
    std::vector<OBS> three(3);
    ASSERT_EQ(c2.DecodeCase(three.data()), 3);
    EXPECT_EQ(three[0].d, 4.0);
    EXPECT_EQ(c2.Tell(), 6);
    ASSERT_EQ(c2.DecodeCase(three.data()), 3);  // runs into the second block
    EXPECT_EQ(three[2].d, 9.0);
    EXPECT_EQ(c2.Tell(), 8 + 1);
}

// Random rows read back straight through and by positioning, which walks
// whole blocks by their command bytes where it can, whatever the cell count,
// and where other writers put padding codes between cells.
TEST(SystemFileCodecTest, RandomRowsReadTheSameStraightAndByPositioning) {
    constexpr int64_t kRow0 = 176;  // the data area does not start at 0 in a file
    for (long cells : {1L, 3L, 7L, 8L, 9L, 20L, 33L}) {
        for (bool padded : {false, true}) {
            SCOPED_TRACE(testing::Message() << cells << " cells, padded " << padded);
            std::mt19937_64 rng(uint64_t(cells) * 2 + padded);
            std::vector<std::vector<OBS>> rows;
            for (int r = 0; r < 1500; ++r) rows.push_back(RandomRow(rng, cells));
            MemStream s;
            s.Data().assign(kRow0, 'h');
            if (!padded) {
                EncodeRows(s, cells, rows, kRow0);
            } else {
                // Commands by hand: each cell's own code, a padding code before
                // about one cell in five.
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
            const auto back = DecodeAll(s, cells, kRow0);
            ASSERT_EQ(back.size(), rows.size());
            for (size_t r = 0; r < rows.size(); ++r) ASSERT_EQ(BitsOf(back[r]), BitsOf(rows[r])) << "row " << r;

            VESK_SparseFileIndex index(1);
            SystemFileOptions o = OptionsFor(cells);
            CompressedSystemFile codec(&s, &o, &index, kRow0);
            std::vector<OBS> buf(size_t(cells), kSysmis);
            for (int i = 0; i < 400; ++i) {
                const int64_t target = int64_t(rng() % rows.size());
                codec.SetTargetRow(target);
                ASSERT_EQ(codec.ReadRow(buf.data()), cells) << "row " << target;
                ASSERT_EQ(BitsOf(buf), BitsOf(rows[size_t(target)])) << "row " << target;
            }
            codec.SetTargetRow(int64_t(rows.size()) + 5);
            EXPECT_EQ(codec.ReadRow(buf.data()), 0);
            EXPECT_EQ(codec.CurrentRow(), int64_t(rows.size()));
        }
    }
}

TEST(SystemFileCodecTest, AppendsAndFlushesMidStream) {
    const long cells = 3;
    std::mt19937_64 rng(5);
    std::vector<std::vector<OBS>> rows;
    for (int r = 0; r < 15; ++r) rows.push_back(RandomRow(rng, cells));

    // A file of 10 rows (its last block half full), then 5 rows appended.
    MemStream s;
    s.Data().assign(40, 'd');
    EncodeRows(s, cells, std::vector<std::vector<OBS>>(rows.begin(), rows.begin() + 10), 40);
    {
        SystemFileOptions o = OptionsFor(cells);
        CompressedSystemFile a(&s, &o, nullptr, 40);
        a.PrepareAppend(10, false);
        EXPECT_EQ(a.CurrentRow(), 10);
        for (int r = 10; r < 15; ++r) a.WriteRow(rows[size_t(r)].data());
        a.Flush();
    }
    auto back = DecodeAll(s, cells, 40);
    ASSERT_EQ(back.size(), 15u);
    for (size_t r = 0; r < 15; ++r) EXPECT_EQ(BitsOf(back[r]), BitsOf(rows[r]));

    // Asking to append after more rows than present appends after the last.
    {
        SystemFileOptions o = OptionsFor(cells);
        CompressedSystemFile a(&s, &o, nullptr, 40);
        a.PrepareAppend(1000, false);
        EXPECT_EQ(a.CurrentRow(), 15);
        a.WriteRow(rows[0].data());
    }  // the destructor flushes
    EXPECT_EQ(DecodeAll(s, cells, 40).size(), 16u);

    // Flushing between rows leaves a readable file each time; later rows
    // rewrite the padded block in place.
    MemStream f;
    SystemFileOptions o = OptionsFor(cells);
    CompressedSystemFile w(&f, &o, nullptr, 0);
    for (size_t r = 0; r < rows.size(); ++r) {
        w.WriteRow(rows[r].data());
        w.Flush();
        MemStream copy(f.Data());
        ASSERT_EQ(DecodeAll(copy, cells).size(), r + 1);
    }
    EXPECT_EQ(f.Data().size() % 8, 0u);
}

TEST(SystemFileCodecTest, ReadersSharingAStreamKeepTheirPlace) {
    const long cells = 5;
    MemStream s;
    std::vector<std::vector<OBS>> rows;
    for (int64_t r = 0; r < 20000; ++r) rows.push_back(RowNumbered(r, cells));
    EncodeRows(s, cells, rows);

    // Two readers on one stream, read alternately, each keep their place.
    SystemFileOptions o = OptionsFor(cells);
    CompressedSystemFile a(&s, &o, nullptr, 0), b(&s, &o, nullptr, 0);
    std::vector<OBS> buf(cells);
    b.SetTargetRow(10000);
    for (int64_t r = 0; r < 10000; ++r) {
        ASSERT_EQ(a.ReadRow(buf.data()), cells);
        ASSERT_EQ(BitsOf(buf), BitsOf(rows[size_t(r)])) << r;
        ASSERT_EQ(b.ReadRow(buf.data()), cells);
        ASSERT_EQ(BitsOf(buf), BitsOf(rows[size_t(r + 10000)])) << r;
    }
}

TEST(SystemFileCodecTest, FailedWritesRaiseCannotWriteCase) {
    // A full disk is reported as 1202 with the system error.
    MemStream full;
    full.SetWriteLimit(100);
    SystemFileOptions o = OptionsFor(2);
    CompressedSystemFile w(&full, &o, nullptr, 0);
    std::vector<OBS> row = {Num(0.5), Num(0.25)};
    for (int i = 0; i < 100; ++i) w.WriteRow(row.data());
    try {
        w.Flush();
        FAIL() << "no error";
    } catch (const SystemFileException& e) {
        EXPECT_EQ(e.Code(), 1202);
        EXPECT_TRUE(e.SystemError());
    }
}

// ---------------------------------------------------------------- stream codec

TEST(CompressedStreamTest, BlockShapes) {
    auto write = [](const std::vector<OBS>& cells) {
        MemStream s;
        WriteCompressed(s, cells.data(), long(cells.size()));
        return s.Data();
    };
    // Sixteen cells of 5.0: 15 codes, then 1.
    std::vector<uint8_t> expected = {0xF0};
    expected.insert(expected.end(), 15, 105);
    expected.push_back(0x10);
    expected.push_back(105);
    EXPECT_EQ(write(std::vector<OBS>(16, Num(5))), expected);
    // A raw cell followed by a coded one: codes never follow raw cells.
    std::vector<uint8_t> rawThenCode = {0x01};
    AppendCell(rawThenCode, Num(0.5));
    rawThenCode.push_back(0x10);
    rawThenCode.push_back(105);
    EXPECT_EQ(write({Num(0.5), Num(5)}), rawThenCode);
    // Codes then raw cells share a block.
    std::vector<uint8_t> codeThenRaw = {0x21, 255, 254};
    AppendCell(codeThenRaw, Num(-0.0));
    EXPECT_EQ(write({kSysmis, kSpaces, Num(-0.0)}), codeThenRaw);
    // Sixteen raw cells: 15 and 1.
    const std::vector<uint8_t> raws = write(std::vector<OBS>(16, Num(0.5)));
    ASSERT_EQ(raws.size(), 2u + 16 * 8);
    EXPECT_EQ(raws[0], 0x0F);
    EXPECT_EQ(raws[1 + 15 * 8], 0x01);
    // An empty row is one byte; reading a row of 0 cells reads nothing.
    EXPECT_EQ(write({}), std::vector<uint8_t>{0x00});
    MemStream empty;
    EXPECT_TRUE(ReadCompressed(empty, nullptr, 0));
}

TEST(CompressedStreamTest, RoundTripsSkipsAndCopiesRows) {
    std::mt19937_64 rng(3);
    const long n = 37;
    std::vector<std::vector<OBS>> rows;
    MemStream s;
    for (int r = 0; r < 300; ++r) {
        rows.push_back(RandomRow(rng, n));
        WriteCompressed(s, rows.back().data(), n);
    }
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
    EXPECT_EQ(buf[0].d, 153.0);
    EXPECT_EQ(buf[1].d, 152.0);
    EXPECT_EQ(buf[2].d, -100.0);
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
    // Empty stream: a clean end.
    MemStream empty;
    EXPECT_FALSE(ReadCompressed(empty, buf.data(), 4));
    // A row cut after its first block.
    MemStream cut(U8({0x20, 101, 102}));
    EXPECT_EQ(errnoOf([&] { ReadCompressed(cut, buf.data(), 4); }), 0);
    // A header byte alone.
    MemStream header(U8({0x10}));
    EXPECT_EQ(errnoOf([&] { ReadCompressed(header, buf.data(), 1); }), 0);
    // A block with more cells than the row, read, skipped or copied.
    MemStream wide(U8({0x50, 101, 101, 101, 101, 101})), sink;
    EXPECT_EQ(errnoOf([&] { ReadCompressed(wide, buf.data(), 4); }), EILSEQ);
    wide.Seek(0, 0);
    EXPECT_EQ(errnoOf([&] { SkipCompressed(wide, 4); }), EILSEQ);
    wide.Seek(0, 0);
    EXPECT_EQ(errnoOf([&] { CopyPrecompressed(wide, sink, 4); }), EILSEQ);
    // A full disk, a stream that cannot seek.
    MemStream full;
    full.SetWriteLimit(10);
    std::vector<OBS> raw(4, Num(0.5));
    EXPECT_EQ(errnoOf([&] { WriteCompressed(full, raw.data(), 4); }), ENOSPC);
    MemStream noSeek(U8({0x10, 101}));
    noSeek.SetFailSeeks(true);
    EXPECT_EQ(errnoOf([&] { SkipCompressed(noSeek, 1); }), ESPIPE);
    // Random bytes never crash or overrun the row.
    std::mt19937_64 rng(9);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<uint8_t> bytes(rng() % 200);
        for (uint8_t& b : bytes) b = uint8_t(rng());
        MemStream m(bytes);
        try {
            while (ReadCompressed(m, buf.data(), 4)) {
            }
        } catch (const CompressedStreamError&) {
        }
    }
}
