#include "Attributes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "textmb.h"
#include "vesk_assert.h"

namespace {

using Values = std::vector<std::string>;

DatasourceAttributes Sample() {
    DatasourceAttributes a;
    a.Define("Color", {"red", "blue"});
    a.Define("Size", {"10"});
    return a;
}

DatasourceAttributes ParseOk(const std::string& text, uint64_t* consumed = nullptr) {
    DatasourceAttributes out;
    EXPECT_TRUE(DatasourceAttributes::Parse(text, out, consumed)) << text;
    return out;
}

}  // namespace

TEST(AttributesTest, DefineLookupDeleteAndVersion) {
    DatasourceAttributes a;
    a.Define("Note", {"first"});
    a.Define("Other", {"x", "y"});
    a.Define("NOTE", {"second", "third"});  // new spelling, same place
    a.Define("Empty", {});                  // empty value lists are kept
    EXPECT_EQ(a.MakeString(), "NOTE('second'\n'third'\n)Other('x'\n'y'\n)");
    EXPECT_EQ(a.Size(), 3u);
    EXPECT_EQ(a.Version(), 4u);
    EXPECT_EQ(std::vector<int>({a.Index("OTHER"), a.Index("none")}), std::vector<int>({1, -1}));
    EXPECT_EQ(a.Values("oThEr"), (Values{"x", "y"}));
    EXPECT_TRUE(a.Values("none").empty());
    a.Delete(0);
    EXPECT_EQ(a.Name(1), "Empty");
    EXPECT_EQ(std::vector<bool>({a.Delete("EMPTY"), a.Delete("empty"), a.Delete("other")}),
              std::vector<bool>({true, false, true}));
    EXPECT_EQ(a.Version(), 7u);
    // Deleting the last attribute frees the storage: equal to a fresh collection.
    EXPECT_EQ(a, DatasourceAttributes());
    EXPECT_FALSE(DatasourceAttributes().Delete("x"));
    EXPECT_THROW(Sample().Name(2), VESK_AssertFailed);
    EXPECT_THROW(DatasourceAttributes().Delete(uint64_t{0}), VESK_AssertFailed);
}

TEST(AttributesTest, CopyAssignChangeAndEquality) {
    DatasourceAttributes a = Sample();
    DatasourceAttributes copy(a), b;
    EXPECT_EQ(copy, a);
    std::vector<uint64_t> versions = {copy.Version(), DatasourceAttributes(DatasourceAttributes{}).Version()};
    copy.Define("Size", {"11"});
    EXPECT_EQ(a.Values("Size"), (Values{"10"}));  // copies are independent
    b = a;
    EXPECT_EQ(b, a);
    versions.push_back(b.Version());
    b = b;
    versions.push_back(b.Version());
    b = DatasourceAttributes();
    versions.push_back(b.Version());
    // Change creates empty storage: no longer equal to a collection without it.
    DatasourceAttributes c;
    c.Change();
    versions.push_back(c.Version());
    EXPECT_EQ(versions, std::vector<uint64_t>({3, 0, 1, 1, 2, 1}));
    EXPECT_NE(c, DatasourceAttributes());
    // Order counts, so does the case of names, and so do the values.
    DatasourceAttributes reversed, cased, shorter = Sample();
    reversed.Define("Size", {"10"});
    reversed.Define("Color", {"red", "blue"});
    cased.Define("color", {"red", "blue"});
    cased.Define("Size", {"10"});
    shorter.Define("Color", {"red"});
    for (const DatasourceAttributes& other : {reversed, cased, shorter, DatasourceAttributes()})
        EXPECT_NE(Sample(), other) << other.MakeString();
}

TEST(AttributesTest, Merge) {
    DatasourceAttributes other;
    other.Define("color", {"green"});
    other.Define("Shape", {"round"});
    DatasourceAttributes keep = Sample();
    EXPECT_TRUE(keep.Merge(other, false));
    EXPECT_EQ(keep.MakeString(), "Color('red'\n'blue'\n)Size('10'\n)Shape('round'\n)");
    DatasourceAttributes replace = Sample();
    EXPECT_TRUE(replace.Merge(other, true));
    EXPECT_EQ(replace.MakeString(), "color('green'\n)Size('10'\n)Shape('round'\n)");
    // Nothing to define: equal values are not redefined.
    const uint64_t version = replace.Version();
    EXPECT_EQ(std::vector<bool>({replace.Merge(other, true), replace.Merge(other, false),
                                 replace.Merge(DatasourceAttributes(), true), replace.Merge(replace, true)}),
              std::vector<bool>(4, false));
    EXPECT_EQ(replace.Version(), version);
    DatasourceAttributes empty;
    EXPECT_TRUE(empty.Merge(other, false));
    EXPECT_EQ(empty, other);
}

TEST(AttributesTest, NameValidation) {
    using A = DatasourceAttributes;
    const std::pair<std::string, A::NameType> var[] = {
        {"$@role", A::RegisteredReserved}, {"$MyAttr", A::UnregisteredReserved}, {"MyAttr", A::ValidName},
        {"#MyAttr", A::InvalidName},       {"My Attr", A::InvalidName},          {"Attr_", A::InvalidName},
        {std::string("a\0b", 3), A::InvalidName},
        // The two tables differ; the last entries are found too.
        {"$ExtendedVariableLabel", A::RegisteredReserved}, {"$@MeasurementLevel", A::RegisteredReserved},
    };
    for (const auto& [name, want] : var) EXPECT_EQ(A::ValidateVarAttrName(name), want) << name;
    EXPECT_EQ(A::ValidateFileAttrName("$ExtendedVariableLabel"), A::UnregisteredReserved);
    EXPECT_EQ(A::ValidateFileAttrName("$variableview2"), A::RegisteredReserved);
    EXPECT_EQ(A::ValidateFileAttrName("$@Quorvance.MDDFile"), A::RegisteredReserved);
}

TEST(AttributesTest, ParseWellFormedTexts) {
    // The collection read (into one that held Sample()) and the bytes consumed.
    auto parsed = [](const std::string& text, size_t offset = 0, size_t length = std::string::npos) {
        DatasourceAttributes out = Sample();
        uint64_t consumed = 99;
        length = std::min(length, text.size() - offset);
        EXPECT_TRUE(DatasourceAttributes::Parse(text.data() + offset, length, out, &consumed)) << text;
        return out.MakeString() + "|" + std::to_string(consumed);
    };
    EXPECT_EQ(parsed(""), "|0");
    EXPECT_EQ(parsed("a()"), "|3");
    EXPECT_EQ(ParseOk("a(''\n'it's'\n'(x)/y'\n)").Values("a"), (Values{"", "it's", "(x)/y"}));
    // Invalid names are dropped, their values still read.
    EXPECT_EQ(ParseOk("1abc('x'\n)b('y'\n)x.('1'\n)#s('2'\n)$Any('z'\n)").MakeString(), "b('y'\n)$Any('z'\n)");
    // The no-length form stops at the given length; a block ends at "/".
    EXPECT_EQ(parsed("a('x'\n)b('y'\n)", 0, 7), "a('x'\n)|7");
    const std::string text = "a('x'\n)/b('y'\n'z'\n)/";
    EXPECT_EQ(parsed(text), "a('x'\n)|7");
    EXPECT_EQ(parsed(text, 8), "b('y'\n'z'\n)|11");
    EXPECT_EQ(parsed("/a('x'\n)"), "|0");
}

TEST(AttributesTest, ParseMalformedTextsLeaveOutUnchanged) {
    const char* bad[] = {
        "a('x')",      // no line feed
        "a('x'\n",     // line feed is the last byte
        "abc",         // no "("
        "('x'\n)",     // empty name
        "a(",          // "(" is the last byte
        "a(x'\n)",     // no opening quote
        "a('x\n)",     // no closing quote
        "a('\n)",      // a lone quote
        "a('x'\n)b",   // trailing name without "("
        "a('x'\n'y'",  // values run to the end
    };
    for (const char* text : bad) {
        DatasourceAttributes out = Sample();
        const uint64_t version = out.Version();
        EXPECT_FALSE(DatasourceAttributes::Parse(text, std::strlen(text), out, nullptr)) << text;
        EXPECT_EQ(out, Sample()) << text;
        EXPECT_EQ(out.Version(), version) << text;
    }
}

TEST(AttributesTest, TextRoundTrip) {
    const int savedMode = qUTF8mode();
    SetUTF8mode(1);  // for the multibyte name below
    DatasourceAttributes a;
    a.Define("Note", {"free 'quotes' (brackets) / slashes", "", "3"});
    a.Define("caf\xC3\xA9", {"\xE2\x82\xAC"});
    const std::string text = a.MakeString();
    uint64_t consumed = 0;
    EXPECT_EQ(ParseOk(text, &consumed), a);
    EXPECT_EQ(consumed, text.size());
    // Line feeds inside values are dropped on writing.
    a.Define("Text", {"line1\nline2\n"});
    EXPECT_EQ(a.MakeString(), text + "Text('line1line2'\n)");
    SetUTF8mode(savedMode);
}
