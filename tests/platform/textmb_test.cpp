// Multibyte text functions and code-page converters.
#include "textmb.h"

#include <langinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tempdir.h"

namespace {

// Restores the process-wide encoding settings a test changes.
class TextMbTest : public ::testing::Test {
protected:
    void SetUp() override {
        fSavedMode = qUTF8mode();
        fSavedCodePage = VESKMBCurrentConverterName_A();
    }
    void TearDown() override {
        SetUTF8mode(fSavedMode);
        ASSERT_TRUE(VESKMBConverterSet_A(fSavedCodePage.c_str()));
    }
    void UseCodePage(const char* name) {
        SetUTF8mode(0);
        ASSERT_TRUE(VESKMBConverterSet_A(name)) << name;
    }
    void UseUtf8() { SetUTF8mode(1); }

private:
    int fSavedMode = 0;
    std::string fSavedCodePage;
};

// A text made of known characters, with the byte offsets where characters start.
struct Pieces {
    std::string text;
    std::vector<size_t> bounds{0};
    Pieces(std::initializer_list<const char*> chars) {
        for (const char* c : chars) bounds.push_back((text += c).size());
    }
    size_t LargestBoundAtMost(size_t k) const { return *std::prev(std::upper_bound(bounds.begin(), bounds.end(), k)); }
};

std::string Convert(const char* encoding, const std::string& in, bool toU8, int* lost) {
    VESKMBConverter* c = VESKMBConverterNew_A(encoding);
    EXPECT_NE(c, nullptr) << encoding;
    std::string out;
    if (c) *lost = toU8 ? VESKMBCodePageToU8(c, out, in) : VESKMBU8ToCodePage(c, out, in);
    VESKMBConverterDelete_A(c);
    return out;
}

}  // namespace

TEST_F(TextMbTest, WholeTextConversionsRoundTripAndReportLoss) {
    const std::tuple<const char*, std::string, std::string> roundTrips[] = {
        {"windows-1252", "Gr\xFC\xDF" "e \x80 \x8A\x9F", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xC5\xA0\xC5\xB8"},
        {"Shift_JIS", "a\x93\xFA\x96\x7B\x95\x5C\xB1", "a\xE6\x97\xA5\xE6\x9C\xAC\xE8\xA1\xA8\xEF\xBD\xB1"},
        {"windows-1252", std::string("a\0b", 3), std::string("a\0b", 3)}};  // NULs are text like any other
    for (const auto& [encoding, native, u8] : roundTrips) {
        int lost = -1, lostBack = -1;
        const std::string there = Convert(encoding, native, true, &lost), back = Convert(encoding, u8, false, &lostBack);
        EXPECT_EQ(std::make_tuple(there, back, lost, lostBack), std::make_tuple(u8, native, 0, 0)) << encoding;
    }
    // An unrepresentable character is replaced and reported; invalid input is reported both ways.
    int lost[3] = {};
    EXPECT_EQ(Convert("windows-1252", "x\xE6\x97\xA5y", false, &lost[0]), "x?y");
    Convert("Shift_JIS", "ab\x93", true, &lost[1]);
    Convert("Shift_JIS", "ab\xFF\xFF", false, &lost[2]);
    EXPECT_EQ(std::vector<int>(lost, lost + 3), std::vector<int>(3, 1));
    EXPECT_EQ(VESKMBConverterNew_A("no-such-encoding"), nullptr);
}

TEST_F(TextMbTest, BufferConversionsNeverSplitAnOutputCharacter) {
    VESKMBConverter* sjis = VESKMBConverterNew_A("Shift_JIS");
    ASSERT_NE(sjis, nullptr);
    const std::string src = "\x93\xFA\x96\x7B", u8 = "a\xE6\x97\xA5\xE6\x9C\xAC";  // 日本 / a日本
    char dest[16];
    for (size_t room = 0; room <= 8; ++room) {
        int status = -1;
        size_t n = VESKMBCodePageto8(sjis, dest, room, src.data(), src.size(), &status), want = room >= 6 ? 6 : room / 3 * 3;
        EXPECT_EQ(std::make_pair(std::string(dest, n), status != 0),
                  std::make_pair(std::string("\xE6\x97\xA5\xE6\x9C\xAC", want), room < 6)) << room;
        status = -1;
        n = VESKMB8toCodePage(sjis, dest, room, u8.data(), u8.size(), &status);
        want = room >= 5 ? 5 : room >= 3 ? 3 : room >= 1 ? 1 : 0;
        EXPECT_EQ(std::make_pair(std::string(dest, n), status != 0),
                  std::make_pair(std::string("a\x93\xFA\x96\x7B", want), room < 5)) << room;
    }
    // Unrepresentable text is reported even when everything fits.
    VESKMBConverter* latin = VESKMBConverterNew_A("windows-1252");
    int status = 0;
    const size_t n = VESKMB8toCodePage(latin, dest, 8, "\xE6\x97\xA5", 3, &status);
    EXPECT_TRUE(std::string(dest, n) == "?" && status != 0);
    VESKMBConverterDelete_A(latin);
    VESKMBConverterDelete_A(sjis);
}

TEST_F(TextMbTest, CuttingAtEveryOffsetKeepsWholeCharacters) {
    const std::pair<const char*, Pieces> modes[] = {  // null code page: UTF-8 mode
        {nullptr, Pieces{"a", "\xC3\xA4", "\xE6\x97\xA5", "b", "\xF0\x9F\x98\x80", "\xC3\xA9", "c"}},
        {"Shift_JIS", Pieces{"a", "\x95\x5C", "b", "\xB1", "\x82\x81", "\x83\x5C", "c"}},
        {"GBK", Pieces{"a", "\xD6\xD0", "\x81\x40", "b", "\xA3\xE1", "\xCE\xC4", "c"}},
        {"GB18030", Pieces{"a", "\x81\x30\x81\x30", "\xD6\xD0", "\x90\x30\x81\x30", "b"}},
    };
    for (const auto& [codePage, pieces] : modes) {
        codePage ? UseCodePage(codePage) : UseUtf8();
        const std::string& text = pieces.text;
        // Upper-casing keeps every character's length in these texts.
        const std::string upper = VESKMBUpper(text);
        ASSERT_EQ(upper.size(), text.size());
        for (size_t k = 0; k <= text.size() + 1; ++k) {
            SCOPED_TRACE(std::string(codePage ? codePage : "UTF-8 mode") + " at " + std::to_string(k));
            const size_t want = pieces.LargestBoundAtMost(k);
            std::string copy = text;
            VESKMBStringTruncate_A(copy.data(), k);
            EXPECT_EQ(strlen(copy.c_str()), want);
            char field[64], buf[64];
            memset(field, 'X', sizeof field);
            EXPECT_EQ(VESKMBCopyToFixed_A(field, k, text.data(), text.size()), want);
            EXPECT_EQ(std::string(field, k + 1), text.substr(0, want) + std::string(k - want, ' ') + "X");
            EXPECT_EQ(VESKMBMvUpper_A(buf, k + 1, text.data(), text.size()), static_cast<int>(want));
            EXPECT_EQ(std::string(buf), upper.substr(0, want));
        }
        // Walking by character lengths visits exactly the character starts.
        std::vector<size_t> starts{0};
        for (size_t pos = 0; pos < text.size();) {
            int n = VESKMBmblen_A(text.data() + pos, text.size() - pos);
            ASSERT_GE(n, 1);
            starts.push_back(pos += n);
        }
        EXPECT_EQ(starts, pieces.bounds);
    }
}

TEST_F(TextMbTest, CharacterLengthsOfValidAndInvalidSequences) {
    // Code page (null: UTF-8 mode), bytes, length (0: the empty count; -1: invalid or cut).
    const std::tuple<const char*, std::string, int> cases[] = {
        {nullptr, "", 0}, {nullptr, std::string(1, '\0'), 1}, {nullptr, "\xF0\x9F\x98\x80", 4}, {nullptr, "\xE2\x82\xAC", 3},
        // Cut, stray continuation, incomplete, bad continuation, two overlong forms, a surrogate, above U+10FFFF, unused.
        {nullptr, "\xE2\x82", -1}, {nullptr, "\x80", -1}, {nullptr, "\xC3", -1}, {nullptr, "\xC3\x28", -1}, {nullptr, "\xC0\xAF", -1},
        {nullptr, "\xE0\x80\xAF", -1}, {nullptr, "\xED\xA0\x80", -1}, {nullptr, "\xF4\x90\x80\x80", -1}, {nullptr, "\xFF", -1},
        {"Shift_JIS", "\x95\x5C", 2}, {"Shift_JIS", "\xB1", 1}, {"Shift_JIS", "\x95", -1},
        {"Shift_JIS", "\x95\x20", -1},  // blank is no trail byte
        // GB18030 has four-byte characters behind lead bytes that also start two-byte ones.
        {"GB18030", "\x81\x30\x81\x30", 4}, {"GB18030", "\xD6\xD0", 2}, {"GB18030", "\x81\x30\x81", -1}};
    for (const auto& [codePage, bytes, want] : cases) {
        codePage ? UseCodePage(codePage) : UseUtf8();
        const int n = VESKMBmblen_A(bytes.data(), bytes.size());
        EXPECT_EQ(want < 0 ? n < 1 : n == want, true) << testing::PrintToString(bytes) << " gave " << n;
    }
    for (const auto& [codePage, max] : {std::pair{"Shift_JIS", 2}, {"GB18030", 4}, {"windows-1252", 1}})
        EXPECT_EQ((UseCodePage(codePage), VESKMBMaxCharLen()), max) << codePage;
    // In a single-byte code page every byte is a character.
    for (int b = 1; b < 256; ++b) EXPECT_EQ(VESKMBmblen_A(std::string(1, char(b)).data(), 1), 1) << b;
}

TEST_F(TextMbTest, CaseFoldingComparisonAndSearch) {
    // Code page (null: UTF-8 mode), a, b, byte count for the counted form (0: the plain form), expected:
    // counted form: 1 when equal ignoring case; plain form: the sign of the difference.
    const std::tuple<const char*, const char*, const char*, int, int> compares[] = {
        {nullptr, "\xC3\x84" "BC", "\xC3\xA4" "bc", 4, 1}, {nullptr, "\xC3\x84" "BC", "\xC3\xA4" "bc", 0, 0},  // ÄBC, äbc
        {nullptr, "\xC3\x84" "BC", "\xC3\xA4" "bd", 4, 0}, {nullptr, "abd", "ABC", 0, 1},
        {nullptr, "ab", "ABC", 0, -1}, {nullptr, "with", "WITHIN", 4, 0},
        {nullptr, "stra\xC3\x9F" "e", "STRASSE", 7, 1},  // full mapping: ß upper-cases to SS
        {"windows-1252", "\xC4" "BC", "\xE4" "bc", 3, 1}, {"windows-1252", "\x8A\xFF", "\x9A\x9F", 2, 1},  // Šÿ, šŸ
        {"windows-1252", "\xC4", "\xC5", 1, 0},
        {"Shift_JIS", "\x82\x81", "\x82\x60", 2, 1}};  // ａ, Ａ
    for (const auto& [codePage, a, b, n, want] : compares) {
        codePage ? UseCodePage(codePage) : UseUtf8();
        const int got = n ? (VESKMBqstricmp_A(a, n, b, int(strlen(b))) != 0)
                          : (VESKMBstricmp_A(a, b) > 0) - (VESKMBstricmp_A(a, b) < 0);
        EXPECT_EQ(got, want) << a << " " << b;
    }

    UseUtf8();
    // ß upper-cases to SS, ΣΑΣ lower-cases to σας; invalid bytes are left as they are.
    EXPECT_EQ(VESKMBUpper("stra\xC3\x9F" "e") + VESKMBLower("\xCE\xA3\xCE\x91\xCE\xA3") + VESKMBUpper("a\xFF" "b"),
              "STRASSE\xCF\x83\xCE\xB1\xCF\x82" "A\xFF" "B");
    // In place the text keeps its length: ɐ upper-cases to a 3-byte letter that does not fit.
    char grow[] = "x\xC9\x90", sharp[] = "a\xC3\x9F", lower[] = "\xC3\x84Z", small[4];
    EXPECT_EQ(std::string(VESKMBstrupr_A(grow)) + VESKMBstrupr_A(sharp) + VESKMBstrlwr_A(lower), "XASS\xC3\xA4z");
    EXPECT_TRUE(VESKMBMvLower_A(small, sizeof small, "\xC3\x84\xC3\x96", 4) == 2 && std::string(small) == "\xC3\xA4");
    char dotted[] = "a.\xC3\xA4.b";
    EXPECT_TRUE(VESKMBstrrchr_A(dotted, '.') == dotted + 4 && !VESKMBstrrchr_A(dotted, 0xA4));  // 0xA4 is inside ä

    UseCodePage("windows-1252");
    char cp[] = "\xE4\xFF\x9A" "b";
    EXPECT_EQ(VESKMBstrupr_A(cp) + VESKMBUpper("\xDF"), "\xC4\x9F\x8A" "B\xDF");  // ß has no single-byte capital
    const char text[] = "a\\\x95\x5C" "b";  // a\表b: in Shift_JIS the second 0x5C is a trail byte
    EXPECT_EQ(VESKMBstrrchr_A(text, '\\'), text + 3);

    UseCodePage("Shift_JIS");
    EXPECT_EQ(VESKMBUpper("a\x82\x81\x95\x5C") + VESKMBLower("\x82\x60"), "A\x82\x60\x95\x5C\x82\x81");  // aａ表 -> AＡ表
    EXPECT_TRUE(VESKMBstrrchr_A(text, '\\') == text + 1 && VESKMBstrrchr_A(text, 0) == text + 5);
    EXPECT_EQ(VESKMBstrrchr_A("\x95\x5C", '\\'), nullptr);
}

TEST_F(TextMbTest, CodePageNumbersAndNames) {
    // Aliases map to the number; the number maps back to the first name.
    const std::pair<const char*, int> aliases[] = {{"cp1252", 1252}, {"utf8", 65001},     {"windows-932", 932},
                                                   {"latin1", 28591}, {"ISO-8859-15", 28605}, {"ANSI_X3.4-1968", 20127}};
    int number = 0;
    for (const auto& [name, want] : aliases)
        EXPECT_TRUE(VESKMBCpNameToNum_A(name, &number) && number == want) << name << " " << number;
    EXPECT_FALSE(VESKMBCpNameToNum_A("no-such-encoding", &number) || VESKMBCpNameToNum_A("", &number));

    std::string name;
    for (const auto& [n, want] : {std::pair{1252, "windows-1252"}, {65001, "UTF-8"}, {28591, "ISO-8859-1"}})
        EXPECT_TRUE(VESKMBCpNameFromNum_A(n, &name) && name == want) << n << " " << name;
    EXPECT_FALSE(VESKMBCpNameFromNum_A(12345, &name));
    // Every number's name opens a converter and maps back to the number.
    for (int n : {874, 932, 936, 949, 950, 1250, 1251, 1255, 1258, 20127, 28592, 28595, 28597, 28603, 28605}) {
        ASSERT_TRUE(VESKMBCpNameFromNum_A(n, &name)) << n;
        VESKMBConverter* c = VESKMBConverterNew_A(name.c_str());
        EXPECT_TRUE(VESKMBCpNameToNum_A(name.c_str(), &number) && number == n && c) << name;
        VESKMBConverterDelete_A(c);
    }

    // Known names compare by number, unknown ones by name.
    const std::tuple<const char*, const char*, bool> same[] = {
        {"UTF-8", "utf8", true}, {"Shift_JIS", "windows-932", true}, {"windows-1252", "ISO-8859-1", false},
        {"x-private", "X_PRIVATE", true}, {"x-private", nullptr, false}};
    for (const auto& [a, b, want] : same) EXPECT_EQ(VESKMBqSameCodePage(a, b) != 0, want) << a << " " << (b ? b : "null");
}

TEST_F(TextMbTest, ProcessCodePageAndUtf8Mode) {
    // The library never sets the locale; in the plain C locale the code page is windows-1252.
    EXPECT_TRUE(std::string(nl_langinfo(CODESET)) != "ANSI_X3.4-1968" ||
                VESKMBqSameCodePage(VESKMBDefaultCodePage(), "windows-1252"));
    UseCodePage("Shift_JIS");
    // Unknown and stateful or wide encodings are refused and change nothing.
    for (const char* refused : {"no-such-encoding", "ISO-2022-JP", "UTF-16LE", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(VESKMBConverterSet_A(refused)) << (refused ? refused : "null");
    EXPECT_EQ(std::string(VESKMBDefaultCodePage()) + " " + VESKMBCurrentConverterName_A(), "Shift_JIS Shift_JIS");

    // UTF-8 mode overrides the code page for the character functions, not its name.
    SetUTF8mode(1);
    EXPECT_EQ(std::make_pair(VESKMBMaxCharLen(), VESKMBmblen_A("\xE6\x97\xA5", 3)), std::make_pair(4, 3));
    EXPECT_STREQ(VESKMBCurrentConverterName_A(), "Shift_JIS");
    SetUTF8mode(0);
    EXPECT_EQ(VESKMBmblen_A("\x95\x5C", 2), 2);

    VESKMBSetDefaultCodePage("windows-1251");
    EXPECT_EQ(VESKMBDefaultCodePage() + VESKMBUpper("\xE0"), "windows-1251\xC0");  // Cyrillic а -> А
    // A UTF-8 code page works on UTF-8 even outside UTF-8 mode.
    UseCodePage("UTF-8");
    EXPECT_EQ(VESKMBUpper("\xC3\xA4"), "\xC3\x84");
}

TEST_F(TextMbTest, CollationOrder) {
    UseUtf8();
    // Letters before case; an accent counts after the base letter (éa < ef, éa > ea).
    const std::tuple<const char*, const char*, size_t, int> order[] = {
        {"a", "B", 1, -1},  {"B", "c", 1, -1}, {"abd", "abc", 3, 1}, {"abcX", "abcY", 3, 0},
        {"\xC3\xA9" "a", "ef", 3, -1}, {"\xC3\xA9" "a", "ea", 3, 1}, {"ab", "ab ", 3, -1}};
    for (const auto& [a, b, n, sign] : order)
        EXPECT_EQ((VESKMBstrncoll_A(a, b, n) > 0) - (VESKMBstrncoll_A(a, b, n) < 0), sign) << a << " " << b;
    EXPECT_NE(VESKMBstrncoll_A("a\x01", "a\x02", 2), 0);  // only identical texts are equal

    VESKMBCollator coll;
    EXPECT_EQ(coll.Compare("x", 1, "x", 1), 0);  // usable before Init

    UseCodePage("windows-1252");
    EXPECT_TRUE(VESKMBstrncoll_A("e", "\xE9", 1) < 0 && VESKMBstrncoll_A("\xE9", "f", 1) < 0);  // e < é < f
    VESKMBCollator cp;
    EXPECT_TRUE(cp.Init() && cp.Compare("\xC4" "b", 2, "ab", 2) > 0);
}

TEST_F(TextMbTest, FileNamesHoldBothForms) {
    UseCodePage("windows-1252");
    ExtNameStr name("gr\xFC\xDF" "e.sys"), back;
    EXPECT_STREQ(name.GetU8(), "gr\xC3\xBC\xC3\x9F" "e.sys");
    back.SetU8("gr\xC3\xBC\xC3\x9F" "e.sys");
    EXPECT_TRUE(std::string(back.GetGeneric()) == "gr\xFC\xDF" "e.sys" && back == name);
    back.Clear();
    EXPECT_TRUE(back.Empty() && back.Access(ExtNameStr::Exists) == -1);

    UseUtf8();
    TempDir dir("textmb");
    const std::string path = dir.File("f");
    std::ofstream{path};
    ExtNameStr file(path.c_str());
    EXPECT_EQ(file.Access(ExtNameStr::ReadWrite), 0);
    std::remove(path.c_str());
    EXPECT_EQ(file.Access(ExtNameStr::Exists), -1);
}

TEST_F(TextMbTest, ConcurrentUseGivesTheSameResults) {
    UseCodePage("Shift_JIS");
    VESKMBConverter* shared = VESKMBConverterNew_A("Shift_JIS");
    const std::string sjis = "a\x93\xFA\x96\x7B\x95\x5C\x82\x81";
    int failures[3] = {};
    std::vector<std::thread> threads;
    for (int& failed : failures)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                std::string u8, back;
                VESKMBCodePageToU8(shared, u8, sjis);
                VESKMBU8ToCodePage(shared, back, u8);
                failed += back != sjis || VESKMBUpper(sjis) != "A\x93\xFA\x96\x7B\x95\x5C\x82\x60" ||
                          VESKMBstrncoll_A("a", "b", 1) >= 0;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures[0] + failures[1] + failures[2], 0);
    VESKMBConverterDelete_A(shared);
}
