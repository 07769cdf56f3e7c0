#include "BaseCString.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {
std::string Bytes(const BaseCString& s) { return std::string(s, s.GetLength()); }
}  // namespace

TEST(BaseCStringTest, ConstructionAssignmentAndComparison) {
    const unsigned char bytes[] = {'u', 0xE9, 0};
    const std::pair<BaseCString, std::string> made[] = {
        {BaseCString(), ""},           {BaseCString(std::string("abc")), "abc"},
        {BaseCString('x', 3), "xxx"},  {BaseCString('x', -2), ""},
        {BaseCString("hello", 3), "hel"}, {BaseCString(static_cast<const char*>(nullptr)), ""},
        {BaseCString(bytes), "u\xE9"},  {BaseCString("a\0b", 3), std::string("a\0b", 3)}};  // the count form keeps NULs
    for (size_t i = 0; i < std::size(made); ++i) EXPECT_EQ(Bytes(made[i].first), made[i].second) << i;

    BaseCString s("one");
    BaseCString copy(s);
    s = "two";
    s = 'z';
    EXPECT_EQ(Bytes(copy) + Bytes(s), "onez");
    s = copy;
    ((s += BaseCString("-")) += "x") += 'y';
    EXPECT_EQ(Bytes(s), "one-xy");
    s.Empty();
    EXPECT_TRUE(s.IsEmpty());

    // Bytes compare unsigned, without case folding.
    BaseCString abc("abc");
    auto sign = [](int c) { return (c > 0) - (c < 0); };
    EXPECT_EQ(std::vector<int>({sign(abc.Compare("abc")), sign(abc.Compare("abd")), sign(abc.Compare("ab")),
                                sign(abc.Compare("\xE9")), sign(abc.CompareNoCase("ABC")) != 0,
                                sign(abc.CompareNoCase("abc")), sign(abc.Collate("abc")), sign(abc.Collate("abd"))}),
              std::vector<int>({0, -1, 1, -1, 1, 0, 0, -1}));
}

TEST(BaseCStringTest, SubstringsSearchTrimUpperAndBuffer) {
    BaseCString s("hello"), list("ab,cd");
    // Out-of-range starts and counts are clipped to the text; Find takes any byte of a set.
    const std::pair<BaseCString, const char*> parts[] = {
        {s.Mid(1, 3), "ell"},  {s.Mid(3, 100), "lo"},  {s.Mid(9, 1), ""},        {s.Mid(-2, 2), "he"},
        {s.Left(2), "he"},     {s.Left(-1), ""},       {s.Right(3), "llo"},      {s.Right(10), "hello"},
        {list.SpanExcluding(","), "ab,"}, {list.SpanExcluding(";"), "ab,cd"}, {list.SpanExcluding("dc"), "ab,c"}};
    for (size_t i = 0; i < std::size(parts); ++i) EXPECT_STREQ(parts[i].first, parts[i].second) << i;
    EXPECT_EQ(std::vector<int>({s.Find('l'), s.Find('z'), s.Find("lo"), s.Find("xyz"), s.ReverseFind('l'),
                                s.ReverseFind('z')}),
              std::vector<int>({2, -1, 2, -1, 3, -1}));

    // Blanks, tabs, newlines and NULs are trimmed from the right.
    for (const auto& [in, want] : {std::pair<std::string, std::string>{"x \t\n", "x"},
                                   {std::string("a b\0\0", 5), "a b"}, {" \n\t", ""}}) {
        BaseCString t(in.data(), int(in.size()));
        t.TrimRight();
        EXPECT_EQ(Bytes(t), want);
    }
    // Each piece around an embedded NUL is upper-cased; the length is kept.
    BaseCString up("Mixed case\0 123", 15);
    up.MakeUpper();
    EXPECT_EQ(Bytes(up), std::string("MIXED CASE\0 123", 15));

    s.GetBufferSetLength(2)[0] = 'H';
    EXPECT_EQ(Bytes(s), "He");
    s.GetBufferSetLength(10);
    EXPECT_EQ(Bytes(s), "He");
}
