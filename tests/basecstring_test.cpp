#include "BaseCString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
    EXPECT_STREQ(s, "two");
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

TEST(BaseCStringTest, Substrings) {
    BaseCString s("hello");
    EXPECT_STREQ(s.Mid(1, 3), "ell");
    EXPECT_STREQ(s.Mid(3, 100), "lo");
    EXPECT_TRUE(s.Mid(9, 1).IsEmpty());
    EXPECT_STREQ(s.Mid(-2, 2), "he");
    EXPECT_STREQ(s.Left(2), "he");
    EXPECT_TRUE(s.Left(-1).IsEmpty());
    EXPECT_STREQ(s.Right(3), "llo");
    EXPECT_STREQ(s.Right(10), "hello");

    BaseCString list("ab,cd");
    EXPECT_STREQ(list.SpanExcluding(","), "ab,");
    EXPECT_STREQ(list.SpanExcluding(";"), "ab,cd");
    EXPECT_STREQ(list.SpanExcluding("dc"), "ab,c");
}

TEST(BaseCStringTest, SearchTrimAndBuffer) {
    BaseCString s("hello");
    EXPECT_EQ(s.Find('l'), 2);
    EXPECT_EQ(s.Find('z'), -1);
    EXPECT_EQ(s.Find("lo"), 2);  // any byte of the set, not a substring
    EXPECT_EQ(s.Find("xyz"), -1);
    EXPECT_EQ(s.ReverseFind('l'), 3);
    EXPECT_EQ(s.ReverseFind('z'), -1);

    BaseCString t("x \t\n");
    t.TrimRight();
    EXPECT_STREQ(t, "x");
    BaseCString nul("a b\0\0", 5);
    nul.TrimRight();
    EXPECT_EQ(nul.GetLength(), 3);
    BaseCString blanks(" \n\t");
    blanks.TrimRight();
    EXPECT_TRUE(blanks.IsEmpty());

    char* buf = s.GetBufferSetLength(2);
    EXPECT_STREQ(s, "he");
    EXPECT_EQ(s.GetLength(), 2);
    buf[0] = 'H';
    EXPECT_STREQ(s, "He");
    s.GetBufferSetLength(10);
    EXPECT_STREQ(s, "He");
    EXPECT_EQ(s.GetLength(), 2);
}

TEST(BaseCStringTest, MakeUpper) {
    BaseCString s("Mixed case 123");
    s.MakeUpper();
    EXPECT_STREQ(s, "MIXED CASE 123");
    // Each piece around an embedded NUL is upper-cased; the length is kept.
    BaseCString withNul("ab\0cd", 5);
    withNul.MakeUpper();
    ASSERT_EQ(withNul.GetLength(), 5);
    EXPECT_EQ(std::memcmp(static_cast<const char*>(withNul), "AB\0CD", 5), 0);
}
