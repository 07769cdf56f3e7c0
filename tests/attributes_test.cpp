#include "Attributes.h"

#include <gtest/gtest.h>

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

// Parses text expecting success; returns the result and the consumed count.
DatasourceAttributes ParseOk(const std::string& text, uint64_t* consumed = nullptr) {
    DatasourceAttributes out;
    EXPECT_TRUE(DatasourceAttributes::Parse(text, out, consumed)) << text;
    return out;
}

}  // namespace

TEST(AttributesTest, DefineLookupAndDelete) {
    DatasourceAttributes a;
    EXPECT_EQ(a.Size(), 0u);
    EXPECT_EQ(a.Version(), 0u);
    a.Define("Note", {"first"});
    a.Define("Other", {"x", "y"});
    a.Define("NOTE", {"second", "third"});
    ASSERT_EQ(a.Size(), 2u);
    EXPECT_EQ(a.Name(0), "NOTE");  // new spelling, same place
    EXPECT_EQ(a.Values(0), (Values{"second", "third"}));
    EXPECT_EQ(a.Name(1), "Other");
    EXPECT_EQ(a.Version(), 3u);
    EXPECT_EQ(a.Index("OTHER"), 1);
    EXPECT_EQ(a.Index("none"), -1);
    EXPECT_EQ(a.Values("oThEr"), (Values{"x", "y"}));
    EXPECT_TRUE(a.Values("none").empty());

    a.Define("Empty", {});  // empty value lists are kept
    ASSERT_EQ(a.Size(), 3u);
    EXPECT_TRUE(a.Values(2).empty());

    a.Delete(0);
    ASSERT_EQ(a.Size(), 2u);
    EXPECT_EQ(a.Name(0), "Other");
    EXPECT_EQ(a.Name(1), "Empty");
    EXPECT_TRUE(a.Delete("EMPTY"));
    EXPECT_FALSE(a.Delete("empty"));
    EXPECT_TRUE(a.Delete("other"));
    EXPECT_EQ(a.Size(), 0u);
    EXPECT_EQ(a.Version(), 7u);
    // Deleting the last attribute frees the storage: equal to a fresh collection.
    EXPECT_EQ(a, DatasourceAttributes());
    EXPECT_FALSE(DatasourceAttributes().Delete("x"));
}

TEST(AttributesTest, IndexOutOfRangeIsAnAssertion) {
    DatasourceAttributes a = Sample();
    try {
        a.Name(2);
        FAIL() << "no assertion";
    } catch (const VESK_AssertFailed& e) {
        EXPECT_STREQ(e.Condition(), "k < Size()");
        EXPECT_STREQ(e.SourceFile(), "Datasource/src/Attributes");
    }
    EXPECT_THROW(a.Values(uint64_t{5}), VESK_AssertFailed);
    EXPECT_THROW(DatasourceAttributes().Delete(uint64_t{0}), VESK_AssertFailed);
}

TEST(AttributesTest, CopyAssignChangeAndVersion) {
    DatasourceAttributes a = Sample();  // version 2
    DatasourceAttributes copy(a);
    EXPECT_EQ(copy.Version(), 3u);
    EXPECT_EQ(copy, a);
    copy.Define("Size", {"11"});
    EXPECT_EQ(a.Values("Size"), (Values{"10"}));  // copies are independent

    DatasourceAttributes emptyCopy(DatasourceAttributes{});
    EXPECT_EQ(emptyCopy.Version(), 0u);

    DatasourceAttributes b;
    b = a;
    EXPECT_EQ(b.Version(), 1u);
    EXPECT_EQ(b, a);
    b = b;  // self-assignment does nothing
    EXPECT_EQ(b.Version(), 1u);
    b = DatasourceAttributes();
    EXPECT_EQ(b.Version(), 2u);
    EXPECT_EQ(b, DatasourceAttributes());

    // Change creates empty storage: no longer equal to a collection without it.
    DatasourceAttributes c;
    c.Change();
    EXPECT_EQ(c.Version(), 1u);
    EXPECT_EQ(c.Size(), 0u);
    EXPECT_NE(c, DatasourceAttributes());
}

TEST(AttributesTest, Equality) {
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
    ASSERT_EQ(keep.Size(), 3u);
    EXPECT_EQ(keep.Values("Color"), (Values{"red", "blue"}));
    EXPECT_EQ(keep.Name(2), "Shape");

    DatasourceAttributes replace = Sample();
    EXPECT_TRUE(replace.Merge(other, true));
    ASSERT_EQ(replace.Size(), 3u);
    EXPECT_EQ(replace.Name(0), "color");
    EXPECT_EQ(replace.Values(0), (Values{"green"}));

    // Nothing to define: equal values are not redefined.
    const uint64_t version = replace.Version();
    EXPECT_FALSE(replace.Merge(other, true));
    EXPECT_FALSE(replace.Merge(other, false));
    EXPECT_FALSE(replace.Merge(DatasourceAttributes(), true));
    EXPECT_FALSE(replace.Merge(replace, true));
    EXPECT_EQ(replace.Version(), version);

    DatasourceAttributes empty;
    EXPECT_TRUE(empty.Merge(other, false));
    EXPECT_EQ(empty, other);
}

TEST(AttributesTest, NameValidation) {
    using A = DatasourceAttributes;
    EXPECT_EQ(A::ValidateVarAttrName("$@role"), A::RegisteredReserved);
    EXPECT_EQ(A::ValidateVarAttrName("$MyAttr"), A::UnregisteredReserved);
    EXPECT_EQ(A::ValidateVarAttrName("MyAttr"), A::ValidName);
    EXPECT_EQ(A::ValidateVarAttrName("#MyAttr"), A::InvalidName);
    EXPECT_EQ(A::ValidateVarAttrName("My Attr"), A::InvalidName);
    EXPECT_EQ(A::ValidateVarAttrName("Attr_"), A::InvalidName);
    EXPECT_EQ(A::ValidateVarAttrName(std::string("a\0b", 3)), A::InvalidName);
    // The two tables differ; the last entries are found too.
    EXPECT_EQ(A::ValidateVarAttrName("$ExtendedVariableLabel"), A::RegisteredReserved);
    EXPECT_EQ(A::ValidateFileAttrName("$ExtendedVariableLabel"), A::UnregisteredReserved);
    EXPECT_EQ(A::ValidateFileAttrName("$variableview2"), A::RegisteredReserved);
    EXPECT_EQ(A::ValidateVarAttrName("$@MeasurementLevel"), A::RegisteredReserved);
    EXPECT_EQ(A::ValidateFileAttrName("$@Quorvance.MDDFile"), A::RegisteredReserved);
}

TEST(AttributesTest, MakeString) {
    EXPECT_EQ(Sample().MakeString(), "Color('red'\n'blue'\n)Size('10'\n)");
    EXPECT_EQ(DatasourceAttributes().MakeString(), "");

    DatasourceAttributes a;
    a.Define("NoValues", {});
    EXPECT_EQ(a.MakeString(), "");
    a.Define("Text", {"line1\nline2\n", ""});
    EXPECT_EQ(a.MakeString(), "Text('line1line2'\n''\n)");
}

TEST(AttributesTest, ParseWellFormedTexts) {
    DatasourceAttributes out = Sample();
    uint64_t consumed = 99;
    ASSERT_TRUE(DatasourceAttributes::Parse("", out, &consumed));
    EXPECT_EQ(consumed, 0u);
    EXPECT_EQ(out.Size(), 0u);  // an empty collection was assigned

    DatasourceAttributes a = ParseOk("a('x'\n)");
    ASSERT_EQ(a.Size(), 1u);
    EXPECT_EQ(a.Values("a"), (Values{"x"}));

    a = ParseOk("a()", &consumed);
    EXPECT_EQ(a.Size(), 0u);
    EXPECT_EQ(consumed, 3u);

    a = ParseOk("a(''\n'it's'\n'(x)/y'\n)");
    EXPECT_EQ(a.Values("a"), (Values{"", "it's", "(x)/y"}));

    // Invalid names are dropped, their values still read.
    a = ParseOk("1abc('x'\n)b('y'\n)");
    ASSERT_EQ(a.Size(), 1u);
    EXPECT_EQ(a.Name(0), "b");
    EXPECT_EQ(ParseOk("x.('1'\n)#s('2'\n)").Size(), 0u);
    a = ParseOk("$Any('x'\n)");
    EXPECT_EQ(a.Name(0), "$Any");

    // The no-length form stops at the given length.
    const char* text = "a('x'\n)b('y'\n)";
    ASSERT_TRUE(DatasourceAttributes::Parse(text, 7, out, &consumed));
    EXPECT_EQ(out.Size(), 1u);
    EXPECT_EQ(consumed, 7u);
}

TEST(AttributesTest, ParseBlocksEndAtSlash) {
    const std::string text = "a('x'\n)/b('y'\n'z'\n)/";
    uint64_t consumed = 0;
    DatasourceAttributes first = ParseOk(text, &consumed);
    ASSERT_EQ(consumed, 7u);
    EXPECT_EQ(first.Size(), 1u);
    EXPECT_EQ(first.Values("a"), (Values{"x"}));

    uint64_t more = 0;
    DatasourceAttributes second;
    ASSERT_TRUE(DatasourceAttributes::Parse(text.data() + consumed + 1, text.size() - consumed - 1, second, &more));
    EXPECT_EQ(second.Values("b"), (Values{"y", "z"}));
    EXPECT_EQ(consumed + 1 + more, text.size() - 1);

    EXPECT_EQ(ParseOk("/a('x'\n)", &consumed).Size(), 0u);
    EXPECT_EQ(consumed, 0u);
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
    a.Define("Note", {"free text with 'quotes' and (brackets) / slashes"});
    a.Define("$@Role", {"input"});
    a.Define("Empty", {""});
    a.Define("Many", {"1", "2", "3", "4"});
    a.Define("NoValues", {});  // not written
    a.Define("caf\xC3\xA9", {"\xE2\x82\xAC"});
    DatasourceAttributes back;
    uint64_t consumed = 0;
    const std::string text = a.MakeString();
    ASSERT_TRUE(DatasourceAttributes::Parse(text, back, &consumed));
    EXPECT_EQ(consumed, text.size());
    a.Delete("NoValues");
    EXPECT_EQ(back, a);
    EXPECT_EQ(back.MakeString(), text);
    SetUTF8mode(savedMode);
}

// A text holding very many attributes, some repeated in another case, parses
// in well under a second (a quadratic name lookup would take minutes).
TEST(DatasourceAttributesTest, ParsesVeryManyAttributesQuickly) {
    std::string text;
    const int n = 200000;
    for (int i = 0; i < n; ++i) text += "a" + std::to_string(i) + "('x'\n)";
    text += "A7('again'\n)";
    DatasourceAttributes out;
    ASSERT_TRUE(DatasourceAttributes::Parse(text, out, nullptr));
    ASSERT_EQ(out.Size(), uint64_t(n));
    EXPECT_EQ(out.Name(7), "A7");
    EXPECT_EQ(out.Values(7), std::vector<std::string>{"again"});
}
