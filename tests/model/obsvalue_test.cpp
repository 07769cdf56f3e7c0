#include "ObsValue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "vesk_assert.h"

namespace {
// The whole cell area of a string value.
std::string Area(const ObsValue& v) { return std::string(v.Char(), size_t(v.NCells()) * 8); }
}  // namespace

TEST(ObsValueTest, ConstructionAndAssignmentCopyAndPad) {
    EXPECT_EQ(ObsValue(0.0).String(), "");
    const int cells[][2] = {{0, 1}, {8, 1}, {9, 2}, {16, 2}, {20, 3}};
    for (const auto& [type, n] : cells) EXPECT_EQ(ObsValue(type).NCells(), n) << type;

    // A wider string from a narrower one: the 5 bytes, then blanks; same type: cells as they are.
    OBS src[2];
    std::memcpy(src, "abcdeXYZ89abcdef", 16);
    ObsValue wide(20, src, 5), same(10, src, 10);
    EXPECT_EQ(Area(wide) + "|" + wide.String(), "abcde" + std::string(19, ' ') + "|abcde" + std::string(15, ' '));
    EXPECT_EQ(Area(same) + "|" + same.String(), "abcdeXYZ89abcdef|abcdeXYZ89");
    EXPECT_THROW(ObsValue(0, src, 10), VESK_AssertFailed);
    EXPECT_THROW(ObsValue(10, src, 0), VESK_AssertFailed);

    // The copy owns its own cells; SetType changes the type only, within the cells.
    ObsValue copy(wide);
    EXPECT_TRUE(copy == wide);
    copy = "zz";
    EXPECT_FALSE(copy == wide);
    copy.SetType(17);
    EXPECT_EQ(copy.NCells(), 3);
    EXPECT_THROW(copy.SetType(25), VESK_AssertFailed);

    ObsValue n(1.5), s(3);
    EXPECT_EQ((n = 2.5).Double(), 2.5);
    EXPECT_THROW(s = 1.0, VESK_AssertFailed);
    EXPECT_THROW(n = s, VESK_AssertFailed);
    s = std::string("abcdef");
    EXPECT_EQ(Area(s), "abcdef  ");  // the whole cell area is filled
    ObsValue w12(12), narrow(2);
    w12 = s;  // different widths: the 3 bytes, padded
    EXPECT_EQ(Area(w12), "abc" + std::string(13, ' '));
    narrow = w12;
    EXPECT_EQ(Area(narrow), "abc     ");
    w12 = src;
    EXPECT_TRUE(w12 == src && w12.String() == "abcdeXYZ89ab");
    src[1].c[7] = '!';
    EXPECT_FALSE(w12 == src);
}

TEST(ObsValueTest, ComparisonRules) {
    ObsValue a(1.0), b(2.0), nan(std::nan("")), pz(0.0), nz(-0.0);
    EXPECT_EQ(std::vector<int>({a.Compare(b), b.Compare(a), a.Compare(a), a.Compare(nan), nan.Compare(a)}),
              std::vector<int>({-1, 1, 0, 0, 0}));
    EXPECT_TRUE(a < b && !(b < a));
    // -0.0 and 0.0 compare equal but are different bits.
    EXPECT_TRUE(pz.Compare(nz) == 0 && !(pz == nz) && pz.FastCompare(nz) != 0);

    ObsValue x(4), y(4), other(5);
    x = "abc";
    y = "abd";
    other = "abc";
    EXPECT_TRUE(x.Compare(y) < 0 && y.Compare(x) > 0);
    EXPECT_EQ(std::make_pair(x.FastCompare(y), y.FastCompare(x)), std::make_pair(-1, 1));
    y = "abc";
    EXPECT_TRUE(x.Compare(y) == 0 && x.FastCompare(y) == 0 && x == y);
    EXPECT_THROW(x.Compare(other), VESK_AssertFailed);
    EXPECT_THROW(x.FastCompare(other), VESK_AssertFailed);
    EXPECT_FALSE(x == other);  // different types
}
