#include "BaseCString.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <utility>

TEST(BaseCStringTest, ConstructionAndAssignment) {
    EXPECT_TRUE(BaseCString().IsEmpty());
    EXPECT_STREQ(BaseCString(std::string("abc")), "abc");
    EXPECT_STREQ(BaseCString('x', 3), "xxx");
    EXPECT_TRUE(BaseCString('x', -2).IsEmpty());
    EXPECT_STREQ(BaseCString("hello", 3), "hel");
    EXPECT_TRUE(BaseCString(static_cast<const char*>(nullptr)).IsEmpty());
    const unsigned char bytes[] = {'u', 0xE9, 0};
    EXPECT_EQ(BaseCString(bytes).GetLength(), 2);

    // The count form keeps embedded NULs.
    BaseCString withNul("a\0b", 3);
    EXPECT_EQ(withNul.GetLength(), 3);
    EXPECT_EQ(withNul[2], 'b');

    BaseCString s("one");
    BaseCString copy(s);
    s = "two";
    EXPECT_STREQ(copy, "one");
    s = 'z';
    EXPECT_STREQ(s, "z");
    s = copy;
    EXPECT_STREQ(s, "one");
    s += BaseCString("-");
    s += "x";
    s += 'y';
    EXPECT_STREQ(s, "one-xy");
    EXPECT_EQ(s.GetLength(), 6);
    s.Empty();
    EXPECT_TRUE(s.IsEmpty());
}

TEST(BaseCStringTest, Comparisons) {
    BaseCString abc("abc");
    EXPECT_EQ(abc.Compare("abc"), 0);
    EXPECT_LT(abc.Compare("abd"), 0);
    EXPECT_GT(abc.Compare("ab"), 0);
    // Bytes compare unsigned: a high byte sorts after ASCII.
    EXPECT_LT(abc.Compare("\xE9"), 0);
    // No case folding.
    EXPECT_NE(abc.CompareNoCase("ABC"), 0);
    EXPECT_EQ(abc.CompareNoCase("abc"), 0);
    EXPECT_EQ(abc.Collate("abc"), 0);
    EXPECT_LT(abc.Collate("abd"), 0);
}

TEST(BaseCStringTest, SubstringsAndSearch) {
    BaseCString s("hello"), list("ab,cd");
    // Out-of-range starts and counts are clipped to the text.
    const std::pair<BaseCString, const char*> parts[] = {
        {s.Mid(1, 3), "ell"},  {s.Mid(3, 100), "lo"},  {s.Mid(9, 1), ""},        {s.Mid(-2, 2), "he"},
        {s.Left(2), "he"},     {s.Left(-1), ""},       {s.Right(3), "llo"},      {s.Right(10), "hello"},
        {list.SpanExcluding(","), "ab,"}, {list.SpanExcluding(";"), "ab,cd"}, {list.SpanExcluding("dc"), "ab,c"}};
    for (size_t i = 0; i < std::size(parts); ++i) EXPECT_STREQ(parts[i].first, parts[i].second) << i;

    EXPECT_EQ(s.Find('l'), 2);
    EXPECT_EQ(s.Find('z'), -1);
    EXPECT_EQ(s.Find("lo"), 2);  // any byte of the set, not a substring
    EXPECT_EQ(s.Find("xyz"), -1);
    EXPECT_EQ(s.ReverseFind('l'), 3);
    EXPECT_EQ(s.ReverseFind('z'), -1);
}

TEST(BaseCStringTest, TrimUpperAndBuffer) {
    // Blanks, tabs, newlines and NULs are trimmed from the right.
    const std::pair<std::string, std::string> trims[] = {
        {"x \t\n", "x"}, {std::string("a b\0\0", 5), "a b"}, {" \n\t", ""}};
    for (const auto& [in, want] : trims) {
        BaseCString t(in.data(), int(in.size()));
        t.TrimRight();
        EXPECT_EQ(std::string(t, t.GetLength()), want);
    }

    BaseCString up("Mixed case 123");
    up.MakeUpper();
    EXPECT_STREQ(up, "MIXED CASE 123");
    // Each piece around an embedded NUL is upper-cased; the length is kept.
    BaseCString withNul("ab\0cd", 5);
    withNul.MakeUpper();
    EXPECT_EQ(std::string(withNul, withNul.GetLength()), std::string("AB\0CD", 5));

    BaseCString s("hello");
    char* buf = s.GetBufferSetLength(2);
    EXPECT_EQ(s.GetLength(), 2);
    buf[0] = 'H';
    EXPECT_STREQ(s, "He");
    s.GetBufferSetLength(10);
    EXPECT_STREQ(s, "He");
    EXPECT_EQ(s.GetLength(), 2);
}
