#include "names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "nameutil.h"
#include "textmb.h"

namespace {

// Runs fn in UTF-8 mode or in the single-byte windows-1252 code page, then restores both.
template <typename Fn>
auto InMode(bool utf8, Fn fn) {
    const int savedMode = qUTF8mode();
    const std::string savedCp = VESKMBCurrentConverterName_A();
    SetUTF8mode(utf8);
    EXPECT_TRUE(utf8 || VESKMBConverterSet_A("windows-1252"));
    auto result = fn();
    VESKMBConverterSet_A(savedCp.c_str());
    SetUTF8mode(savedMode);
    return result;
}

const std::string kE = "\xC3\xA9";   // U+00E9, two bytes in UTF-8
const std::string kEuro = "\xE2\x82\xAC";  // U+20AC, three bytes

std::string Repeat(const std::string& s, int n) { return n ? s + Repeat(s, n - 1) : ""; }

std::string Generate(const std::string& in, unsigned index = 12, VESKNameInUseFn inUse = nullptr,
                     void* c1 = nullptr, void* c2 = nullptr) {
    char buf[200] = {};
    std::strncpy(buf, in.c_str(), sizeof buf - 1);
    EXPECT_EQ(GenerateVESKName(buf, index, inUse, c1, c2), 0);
    EXPECT_LE(std::strlen(buf), 64u);
    return buf;
}

// The in-use callback: context1 is the set of taken names, context2 counts the calls.
int TakenIn(void* context1, void* context2, const char* candidate) {
    ++*static_cast<int*>(context2);
    return static_cast<std::set<std::string>*>(context1)->count(candidate) ? 1 : 0;
}

std::string LetterCode(int n) {
    char buf[16];
    VESKNameLetterCode(n, buf);
    return buf;
}

}  // namespace

TEST(NamesTest, Classifier) {
    const std::string a64(64, 'a');
    const std::pair<std::string, int> cases[] = {  // trailing blanks do not count
        {"", 3}, {"   ", 3}, {a64, 0}, {a64 + "a", 3}, {a64 + "   ", 0}, {"a-b", 4}, {"a b", 4}, {"Az09@#$_.", 0},
        {"@x", 0}, {"1abc", 6}, {"_x", 6}, {".x", 6}, {"#tmp", 1}, {"$casenum", 2}, {"with", 5}, {"To", 5},
        {"all  ", 5}, {"WITHIN", 0}, {"1-a", 4}};  // character errors are found before a bad first byte
    for (const auto& [name, code] : cases) EXPECT_EQ(ValidateVESKName(name.c_str()), code) << name;
    EXPECT_EQ(ValidateVESKName(nullptr), 3);

    // The strict form also refuses a name ending in '.' (7) or '_' (100).
    const std::pair<const char*, int> strict[] = {{"score.", 7}, {"score. ", 7}, {"score_", 100}, {"s._", 100},
                                                  {"a.b", 0},    {"a_b", 0},     {"$x.", 2},       {"1abc.", 6}};
    for (const auto& [name, code] : strict) EXPECT_EQ(ValidateVESKNameCheckLastChar(name), code) << name;

    // UTF-8: 64 bytes fit; a lone lead byte or a stray continuation byte is invalid.
    // windows-1252: a byte of 128 or more is a character of its own.
    const std::tuple<bool, std::string, int> multibyte[] = {
        {true, "caf" + kE, 0}, {true, Repeat(kE, 32), 0}, {true, "a" + Repeat(kE, 32), 3}, {true, "caf\xE9", 4},
        {true, "a\x80z", 4},   {true, "ab\xC3", 4},      {false, "caf\xE9", 0},             {false, "\xB0x", 0}};
    for (const auto& [utf8, name, code] : multibyte)
        EXPECT_EQ(InMode(utf8, [&] { return ValidateVESKName(name.c_str()); }), code) << name;
}

TEST(NamesTest, NumericNamesAndLetterCodes) {
    char out[16] = "untouched";
    EXPECT_TRUE(FormNumericVESKName(out, "12  ") == 1 && std::string(out) == "@12");
    EXPECT_TRUE(FormNumericVESKName(out, "1234567") == 1 && std::string(out) == "@1234567");
    for (const char* bad : {"12345678", "12a", "   ", " 12"}) EXPECT_EQ(FormNumericVESKName(out, bad), 0) << bad;
    EXPECT_STREQ(out, "@1234567");  // refusals write nothing

    // Bijective base 26.
    const std::pair<int, const char*> codes[] = {{0, "A"}, {25, "Z"}, {26, "AA"}, {52, "BA"}, {701, "ZZ"}, {702, "AAA"}};
    for (const auto& [n, code] : codes) EXPECT_EQ(LetterCode(n), code) << n;
    EXPECT_EQ(LetterCode(2147483647).size(), 7u);
}

TEST(NamesTest, SuffixedNamesAndTruncatedCopies) {
    // Base, index, width limit, short form?, UTF-8 mode?, result (null: refused with the form's code).
    const struct { std::string base; int index, limit; bool shortForm, utf8; const char* want; } cases[] = {
        {"age", 0, 64, false, false, "age_A"}, {"abcdefgh", 26, 8, false, false, "abcde_AA"},
        {"abc", 0, 3, false, false, nullptr} /* room 1 */, {"", 0, 8, false, false, nullptr}, {"V2", 0, 8, true, false, "V2_A"},
        {"V12345678", 702, 8, true, false, "V123_AAA"}, {"V1", 0, 3, true, false, nullptr}, {"", 0, 8, true, false, nullptr},
        {Repeat(kE, 3), 0, 6, false, true, "\xC3\xA9\xC3\xA9_A"}, {Repeat(kE, 3), 0, 5, false, true, "\xC3\xA9_A"},  // room 3
        {kEuro + "x", 0, 4, false, true, nullptr},          // room 2 splits the first
        {"ab" + kE + "cd", 0, 5, true, true, "ab_A"},        // room 3
        {"ab\xFF" "cd", 0, 8, true, true, "ab_A"},           // the short form cuts at an invalid sequence
        {"\xFF" "abc", 0, 8, true, true, nullptr}};
    for (const auto& c : cases) {
        char out[80] = "untouched";
        const int rc = InMode(c.utf8, [&] {
            return c.shortForm ? MakeShortSuffixedName(out, c.base.c_str(), c.index, c.limit)
                               : MakeSuffixedName(out, c.base.c_str(), c.index, c.limit);
        });
        EXPECT_EQ(rc, c.want ? 0 : c.shortForm ? 1504 : 1) << c.base << " " << c.limit;
        EXPECT_TRUE((c.shortForm && !c.want) || std::string(out) == (c.want ? c.want : "untouched")) << c.base << " gave " << out;
    }
    char out[80];
    // Copies cut to whole characters; a leading invalid byte leaves nothing.
    const std::tuple<std::string, bool, int, const char*> copies[] = {
        {"LONGVARIABLE1", false, 8, "LONGVARI"}, {"", false, 0, ""}, {"abcdefg" + kE, true, 7, "abcdefg"},
        {"abcdef" + kE, true, 8, nullptr},        {"\xFF" "abc", true, 0, ""}, {"ab\x80" "c", true, 2, nullptr}};
    for (const auto& [in, utf8, length, want] : copies) {
        EXPECT_EQ(InMode(utf8, [&, &in = in] { return CopyNameTruncated(out, in.c_str(), 8); }), length) << in;
        EXPECT_TRUE(!want || std::string(out) == want) << in << " gave " << out;
    }

    const std::tuple<const char*, int, const char*> ends[] = {{"abc._", 1, "abc"}, {"._", 1, ""}, {"a_b", 0, "a_b"}};
    for (const auto& [in, stripped, want] : ends)
        EXPECT_TRUE(StripNameEnd(std::strcpy(out, in)) == stripped && std::string(out) == want) << in;
}

TEST(NamesTest, GenerateRepairsNamesOnCharacterBoundaries) {
    const std::string k64(64, 'k');
    // UTF-8 mode?, input, index, repaired name.
    const std::tuple<bool, std::string, unsigned, std::string> repairs[] = {
        {false, "my var!", 12, "myvar"}, {false, "1st", 12, "@1st"}, {false, "12345678", 12, "@12345678"},
        {false, "with", 12, "@with"}, {false, "#tmp", 12, "@#tmp"}, {false, "total_", 12, "total"},
        {false, "__", 12, "@"}, {false, "!!!", 12, "V12"}, {false, "", 7, "V7"},
        {false, "- -", 4000000000u, "V4000000000"}, {false, std::string(100, 'k'), 0, k64},
        {false, "9" + std::string(70, 'k'), 0, "@9" + std::string(62, 'k')},  // prefixed within 64 bytes
        {false, std::string(10, '-') + k64 + "!", 0, k64},  // bytes beyond the first 64 name bytes do not matter
        {true, "pr" + kE + "nom", 0, "pr" + kE + "nom"}, {true, "ab\xFF" "c", 0, "abc"},  // invalid byte dropped
        {true, kEuro + " 1", 0, kEuro + "1"},
        // 64 bytes are collected; a character crossing the limit is dropped whole, also to make room for "@".
        {true, Repeat(kE, 40), 0, Repeat(kE, 32)}, {true, "a" + Repeat(kE, 40), 0, "a" + Repeat(kE, 31)},
        {true, std::string(62, 'a') + kEuro, 0, std::string(62, 'a')},
        {true, "_a" + Repeat(kE, 40), 0, "@_a" + Repeat(kE, 30)}, {true, "#" + Repeat(kE, 40), 0, "@#" + Repeat(kE, 31)}};
    for (const auto& [utf8, in, index, want] : repairs)
        EXPECT_EQ(InMode(utf8, [&, &in = in, index = index] { return Generate(in, index); }), want) << in;
}

TEST(NamesTest, GenerateAvoidsNamesInUse) {
    std::set<std::string> taken{"age", "age_A"};
    int calls = 0;
    EXPECT_EQ(Generate("age", 0, TakenIn, &taken, &calls) + Generate("free", 0, TakenIn, &taken, &calls), "age_Bfree");
    EXPECT_EQ(calls, 3 + 1);

    // The suffix is built on the repaired name; a long base is shortened.
    taken = {"@1st", "V3", std::string(64, 'z')};
    EXPECT_EQ(Generate("1st", 0, TakenIn, &taken, &calls) + Generate("?", 3, TakenIn, &taken, &calls), "@1st_AV3_A");
    EXPECT_EQ(Generate(std::string(64, 'z'), 0, TakenIn, &taken, &calls), std::string(62, 'z') + "_A");

    // Twenty-seven taken suffixes run on to the two-letter codes.
    taken = {"x"};
    for (int k = 0; k < 27; ++k) taken.insert("x_" + LetterCode(k));
    EXPECT_EQ(Generate("x", 0, TakenIn, &taken, &calls), "x_AB");
}
