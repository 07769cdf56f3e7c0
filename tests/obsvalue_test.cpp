#include "ObsValue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "vesk_assert.h"

namespace {

OBS Cells(const char* text) {
    OBS o;
    std::memset(o.c, ' ', 8);
    std::memcpy(o.c, text, std::min<size_t>(8, std::strlen(text)));
    return o;
}

}  // namespace

TEST(ObsValueTest, ConstructionCopiesAndPads) {
    ObsValue n(0.0);
    EXPECT_EQ(n.Type(), 0);
    EXPECT_EQ(n.String(), "");
    const int cells[][2] = {{0, 1}, {8, 1}, {9, 2}, {16, 2}, {20, 3}};
    for (const auto& [type, n] : cells) EXPECT_EQ(ObsValue(type).NCells(), n) << type;

    // A wider string from a narrower one: the 5 bytes, then blanks to the end.
    OBS src = Cells("abcdeXYZ");
    ObsValue wide(20, &src, 5);
    EXPECT_EQ(std::string(wide.Char(), 24), "abcde" + std::string(19, ' '));
    EXPECT_EQ(wide.String(), "abcde" + std::string(15, ' '));

    // Same type: cells as they are.
    OBS two[2];
    std::memcpy(two, "0123456789abcdef", 16);
    ObsValue same(10, two, 10);
    EXPECT_EQ(std::string(same.Char(), 16), "0123456789abcdef");
    EXPECT_EQ(same.String(), "0123456789");
    EXPECT_THROW(ObsValue(0, two, 10), VESK_AssertFailed);
    EXPECT_THROW(ObsValue(10, two, 0), VESK_AssertFailed);

    // The copy owns its own cells.
    ObsValue copy(wide);
    EXPECT_TRUE(copy == wide);
    copy = "zz";
    EXPECT_FALSE(copy == wide);
    EXPECT_EQ(wide.String().substr(0, 5), "abcde");

    // SetType changes the type only, within the cells.
    copy.SetType(17);
    EXPECT_EQ(copy.NCells(), 3);
    EXPECT_THROW(copy.SetType(25), VESK_AssertFailed);
}

TEST(ObsValueTest, AssignmentRules) {
    ObsValue n(1.5);
    n = 2.5;
    EXPECT_EQ(n.Double(), 2.5);
    ObsValue s(3);
    EXPECT_THROW(s = 1.0, VESK_AssertFailed);
    EXPECT_THROW(n = s, VESK_AssertFailed);

    s = std::string("abcdef");
    EXPECT_EQ(std::string(s.Char(), 8), "abcdef  ");  // the whole cell area is filled
    ObsValue wide(12);
    wide = s;  // different widths: the 3 bytes, padded
    EXPECT_EQ(std::string(wide.Char(), 16), "abc" + std::string(13, ' '));
    ObsValue narrow(2);
    narrow = wide;
    EXPECT_EQ(std::string(narrow.Char(), 8), "abc     ");

    OBS cells[2];
    std::memcpy(cells, "ABCDEFGHIJKLMNOP", 16);
    wide = cells;
    EXPECT_TRUE(wide == cells);
    EXPECT_EQ(wide.String(), "ABCDEFGHIJKL");
    cells[1].c[7] = '!';
    EXPECT_FALSE(wide == cells);
}

TEST(ObsValueTest, ComparisonRules) {
    ObsValue a(1.0), b(2.0), nan(std::nan(""));
    EXPECT_EQ(a.Compare(b), -1);
    EXPECT_EQ(b.Compare(a), 1);
    EXPECT_EQ(a.Compare(a), 0);
    EXPECT_EQ(a.Compare(nan), 0);
    EXPECT_EQ(nan.Compare(a), 0);
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);

    // -0.0 and 0.0 compare equal but are different bits.
    ObsValue pz(0.0), nz(-0.0);
    EXPECT_EQ(pz.Compare(nz), 0);
    EXPECT_FALSE(pz == nz);
    EXPECT_NE(pz.FastCompare(nz), 0);

    ObsValue x(4), y(4);
    x = "abc";
    y = "abd";
    EXPECT_LT(x.Compare(y), 0);
    EXPECT_GT(y.Compare(x), 0);
    EXPECT_EQ(x.FastCompare(y), -1);
    EXPECT_EQ(y.FastCompare(x), 1);
    y = "abc";
    EXPECT_EQ(x.Compare(y), 0);
    EXPECT_EQ(x.FastCompare(y), 0);
    EXPECT_TRUE(x == y);

    ObsValue other(5);
    other = "abc";
    EXPECT_THROW(x.Compare(other), VESK_AssertFailed);
    EXPECT_THROW(x.FastCompare(other), VESK_AssertFailed);
    EXPECT_FALSE(x == other);  // different types
}
