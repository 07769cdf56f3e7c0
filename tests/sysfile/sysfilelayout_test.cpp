#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "sysfilecoding.h"
#include "sysfilelayout.h"
#include "dates.h"
#include "sparsefileindex.h"
#include "sysfilebuilder.h"
#include "variable.h"

using namespace SysFileLayout;
using Bytes = std::vector<uint8_t>;

namespace {

// Big-endian pieces written out by hand, independent of ByteOrder.
struct Expect {
    Bytes b;
    Expect& Big(uint64_t v, int bytes) {
        for (int s = 8 * (bytes - 1); s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
        return *this;
    }
    Expect& I32(uint32_t v) { return Big(v, 4); }
    Expect& U64(uint64_t v) { return Big(v, 8); }
    Expect& Byte(uint8_t v) { return Big(v, 1); }
    Expect& Text(std::string t, size_t width) {
        t.resize(width, ' ');
        b.insert(b.end(), t.begin(), t.end());
        return *this;
    }
};

Bytes Slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + long(from), b.begin() + long(from + n)); }

}  // namespace

// Swapping and the header in both orders are covered by the builder's exact
// big-order bytes below and by the reader suite on files of either order.
TEST(SysFileLayoutTest, LayoutCodeAndFormatWords) {
    for (int32_t code : {2, 255}) EXPECT_FALSE(LayoutCodeIsReversed(code)) << code;
    for (int32_t code : {0, 256, 0x02000000}) EXPECT_TRUE(LayoutCodeIsReversed(code)) << code;
    EXPECT_EQ(EncodeFormatWord(1, 300, 0), 0x00012C01u);  // width's high byte in byte 0
    EXPECT_EQ(DecodeFormatWord(0x00012C01u), VESK_Format(1, 300, 0));
    EXPECT_EQ(DecodeFormatWord(kContinuationFormat).code, 1);
    // Widths above 40 read as 40 except for the string types.
    EXPECT_EQ(DecodeFormatWord(EncodeFormatWord(5, 50, 3)), VESK_Format(5, 40, 3));
    EXPECT_EQ(DecodeFormatWord(EncodeFormatWord(2, 50, 0)), VESK_Format(2, 50, 0));
    EXPECT_EQ(DecodeFormatWord(EncodeFormatWord(20, 200, 0)), VESK_Format(20, 40, 0));
    // The file form is the variable's packed form for every format a file holds.
    for (const VESK_Format f : {VESK_Format(5, 8, 2), VESK_Format(1, 255, 0), VESK_Format(1, 32767, 0),
                                VESK_Format(2, 40, 0), VESK_Format(20, 11, 0), VESK_Format(3, 40, 16)}) {
        EXPECT_EQ(int32_t(EncodeFormatWord(f)), VESK_VariableImpl::PackFormat(f.code, f.width, f.decimals));
        EXPECT_EQ(DecodeFormatWord(EncodeFormatWord(f)), VESK_VariableImpl::UnpackFormat(int32_t(EncodeFormatWord(f))));
    }
}

TEST(SysFileLayoutTest, CreationDateAndTimeTexts) {
    setenv("TZ", "UTC", 1);
    tzset();
    std::tm tm{.tm_sec = 9, .tm_min = 8, .tm_hour = 7, .tm_mday = 5, .tm_mon = 2, .tm_year = 124};
    char date[kDateSize], time[kTimeSize];
    FormatCreationDateTime(timegm(&tm), date, time);
    EXPECT_EQ(std::string(date, kDateSize) + std::string(time, kTimeSize), "05 Mar 2407:08:09");
    // Moments before one day after the epoch are taken as that moment.
    FormatCreationDateTime(0, date, time);
    EXPECT_EQ(std::string(date, kDateSize) + std::string(time, kTimeSize), "02 Jan 7000:00:00");

    auto at = [](int day, int month, int year, int hour, int minute, int second) {
        double v = 0;
        EXPECT_TRUE(iDMY2Vesk(day, month, year, hour, minute, second, &v));
        return v;
    };
    EXPECT_EQ(ParseCreationDateTime("05 mAR 24", "07:08:09"), at(5, 3, 2024, 7, 8, 9));
    EXPECT_EQ(ParseCreationDateTime("31 DEC 70", "23:59:59"), at(31, 12, 1970, 23, 59, 59));
    EXPECT_EQ(ParseCreationDateTime("01 Jan 69", "00:00:00"), at(1, 1, 2069, 0, 0, 0));  // before 1970: next century
    // Month 13, hour 25, blanks, a day that is not a number.
    for (const auto& [d, t] : {std::pair{"05 Xyz 24", "07:08:09"}, {"05 Mar 24", "25:08:09"}, {"        ", "        "},
                               {"ab Mar 24", "07:08:09"}})
        EXPECT_EQ(ParseCreationDateTime(d, t), 0.0) << d << " " << t;
}

TEST(SysFileBuilderTest, ProducesTheExactLayout) {
    SysFileBuilder b(ByteOrder::Big());
    b.Header({.label = "L"})
        .Variable({.name = "AGE", .label = "Age y"})
        .Variable({.name = "S", .type = 20, .missingText = {"n/a"}})
        .ValueLabels({{1.0, "seven77"}, {2.0, "eight888"}}, {b.PositionOf("AGE")})
        .Documents({"doc"})
        .ExtensionInts(3, {1, 2})
        .End()
        .Row(Cells().Num(1.5).Str("abc", 20));
    const Bytes file = b.Bytes();

    Expect header;
    header.Text("$FL2", 4).Text(kProductText, 60).I32(2).I32(4).I32(0).I32(0).I32(1).U64(0x4059000000000000ull);
    header.Text("15 Mar 24", 9).Text("13:45:07", 8).Text("L", 64).Byte(0).Byte(0).Byte(0);
    ASSERT_EQ(header.b.size(), kHeaderSize);
    EXPECT_EQ(Slice(file, 0, kHeaderSize), header.b);

    Expect dict;
    // AGE: a label of length 5 takes 8 bytes after its length word.
    dict.I32(2).I32(0).I32(1).I32(0).I32(0x050802).I32(0x050802).Text("AGE", 8).I32(5).Text("Age y", 8);
    // S, width 20: one record and two continuation records.
    dict.I32(2).I32(20).I32(0).I32(1).I32(0x011400).I32(0x011400).Text("S", 8).Text("n/a", 8);
    for (int i = 0; i < 2; ++i) dict.I32(2).I32(0xFFFFFFFF).I32(0).I32(0).I32(72961).I32(72961).Text("", 8);
    // Value labels: length 7 takes 8 bytes with its length byte, length 8 takes 16.
    dict.I32(3).I32(2).U64(0x3FF0000000000000ull).Byte(7).Text("seven77", 7);
    dict.U64(0x4000000000000000ull).Byte(8).Text("eight888", 15);
    dict.I32(4).I32(1).I32(1);
    dict.I32(6).I32(1).Text("doc", 80);
    dict.I32(7).I32(3).I32(4).I32(2).I32(1).I32(2);
    dict.I32(999).I32(0);
    EXPECT_EQ(b.DataStart(), kHeaderSize + dict.b.size());
    EXPECT_EQ(Slice(file, kHeaderSize, dict.b.size()), dict.b);

    // Numeric cells in the file's order, string cells as they are.
    Expect data;
    data.U64(0x3FF8000000000000ull).Text("abc", 24);
    EXPECT_EQ(Slice(file, b.DataStart(), file.size() - b.DataStart()), data.b);
    EXPECT_EQ(b.PositionOf("S"), 2);

    // Compression 1 in the other order: codes as they are, raw numeric cells swapped.
    SysFileBuilder c(ByteOrder::Big());
    c.Header({.compression = 1}).Variable({.name = "X"}).Variable({.name = "T", .type = 8}).End();
    c.Row(Cells().Num(0.5).Str("", 8)).Row(Cells().Num(7).Str("xy", 8));
    const Bytes cfile = c.Bytes();
    Expect coded;
    coded.Byte(253).Byte(254).Byte(107).Byte(253).Byte(0).Byte(0).Byte(0).Byte(0);
    coded.U64(0x3FE0000000000000ull).Text("xy", 8);
    EXPECT_EQ(Slice(cfile, c.DataStart(), cfile.size() - c.DataStart()), coded.b);
    EXPECT_EQ(std::make_pair(ByteOrder::Big().GetI32(cfile.data() + kOffCompression),
                             ByteOrder::Big().GetI32(cfile.data() + kOffCaseCount)), std::make_pair(1, 2));
}

TEST(SparseFileIndexTest, SpacingThinningAndLookup) {
    EXPECT_EQ(std::make_tuple(VESK_SparseFileIndex(1).Spacing(), VESK_SparseFileIndex(2).Spacing(),
                              VESK_SparseFileIndex(256).Spacing()), std::make_tuple(4096u, 2048u, 16u));
    using Pos = std::pair<int64_t, int64_t>;
    auto lookup = [](VESK_SparseFileIndex& index, int64_t r) {
        Pos p;
        index.GetPos(r, p.first, p.second);
        return p;
    };
    // Rows 100 positions apart: the first entry at 0, the next at the first
    // row at 4096 or beyond. Positions not beyond the last are ignored.
    VESK_SparseFileIndex index(1);
    EXPECT_EQ(lookup(index, 5), Pos(0, 0));
    for (int64_t r = 0; r <= 41; ++r) index.Add(r, r * 100);
    index.Add(1000, 50);
    EXPECT_EQ(index.Size(), 2);
    EXPECT_EQ(std::make_pair(lookup(index, 40), lookup(index, 1000)), std::make_pair(Pos(0, 0), Pos(41, 4100)));

    // 256 entries halve to 128 and double the spacing; every lookup agrees
    // with a fresh search.
    VESK_SparseFileIndex grid(1);
    for (int64_t r = 0; r < 256; ++r) grid.Add(r, r * 4096);
    EXPECT_EQ(std::make_pair(grid.Size(), grid.Spacing()), std::make_pair(int64_t(128), 8192u));
    for (int64_t r = 0; r < 300; ++r) {
        const int64_t want = std::min<int64_t>(r, 254) / 2 * 2;
        EXPECT_EQ(lookup(grid, r), Pos(want, want * 4096)) << r;
    }

    // A jump wider than the spacing widens it; a first row past 0 looks up
    // earlier rows as row 0 at the start.
    VESK_SparseFileIndex jumps(1);
    jumps.Add(10, 1000);
    jumps.Add(11, 100000);
    EXPECT_EQ(std::make_pair(jumps.Size(), jumps.Spacing()), std::make_pair(int64_t(2), uint32_t(100000 - 1000)));
    EXPECT_EQ(lookup(jumps, 3), Pos(0, 0));

    // The index stays small: at most spacing / 16 entries (160 MB: about 3200).
    VESK_SparseFileIndex big(1);
    for (int64_t r = 0; r < 1000000; ++r) big.Add(r, r * 160);
    EXPECT_LE(big.Size() * 16, int64_t(big.Spacing()));
    EXPECT_LT(big.Size(), 3300);
    const Pos last = lookup(big, 999999);
    EXPECT_EQ(last.second, last.first * 160);
    EXPECT_LT(999999 - last.first, int64_t(big.Spacing()) / 160 + 2);
}
