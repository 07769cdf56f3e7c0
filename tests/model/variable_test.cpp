#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "valuelabelmap.h"
#include "variable.h"
#include "vesk_assert.h"

namespace {

using V = VESK_Variable;

OBS Num(double d) {
    OBS o;
    o.d = d;
    return o;
}

std::pair<std::string, std::string> AssertionOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const VESK_AssertFailed& e) {
        return {e.Condition(), e.SourceFile()};
    }
    return {"<no assertion>", ""};
}
std::string Cond(const std::function<void()>& f) { return AssertionOf(f).first; }

std::vector<int> Props(const V& v) {
    return {v.GetDisplayWidth(), v.GetMeasurementLevel(), v.GetAlignment(), v.GetRole()};
}

// The missing-value rule and which of the given values are missing, as "rule:0110".
template <typename T>
std::string Missing(const V& v, std::initializer_list<T> values) {
    const OBS *o1, *o2, *o3;
    std::string out = std::to_string(v.GetMissingValues(o1, o2, o3)) + ":";
    for (const T& x : values) out += char('0' + v.IsMissing(x));
    return out;
}

}  // namespace

TEST(VariableTest, ConstructorDefaultsAndIds) {
    V num(0);
    EXPECT_EQ(num.Impl()->GetFormat(), 329730);
    EXPECT_EQ(num.Impl()->GetWriteFormat(), 0x00050802);
    EXPECT_EQ(Props(num), std::vector<int>({8, V::eMeasureUnknown, V::eAlignRight, 0}));
    V str(20);
    EXPECT_EQ(str.GetFormat(), VESK_Format(1, 20, 0));
    EXPECT_EQ(Props(str), std::vector<int>({20, V::eMeasureNominal, V::eAlignLeft, 0}));
    // Display width is capped at 50 from type 51 on.
    EXPECT_EQ(V(50).GetDisplayWidth() + V(51).GetDisplayWidth(), 100);
    EXPECT_EQ(V(300).Impl()->GetFormat(), 0x00012C01);
    EXPECT_EQ(V(MAX_STRING_TYPE).GetFormat().width, MAX_STRING_TYPE);
    EXPECT_NE(V(0).GetID(), V(0).GetID());
    EXPECT_FALSE(V().Impl().IsValid());
    EXPECT_TRUE(num.Impl()->IsDirty());
    // Ids count up above four originator bits, which decide the order first.
    EXPECT_EQ(LocallyUniqueID().Value(), 0xFFFFFFFFu);
    const LocallyUniqueID a = LocallyUniqueID::New();
    VESK_VariableImpl::SetOriginator(0x13);  // low 4 bits kept
    const LocallyUniqueID c = LocallyUniqueID::New();
    VESK_VariableImpl::SetOriginator(0);
    const LocallyUniqueID d = LocallyUniqueID::New();
    EXPECT_EQ(std::vector<uint32_t>({c.Originator(), c.Value() >> 4, d.Value() >> 4}),
              std::vector<uint32_t>({3, (a.Value() >> 4) + 1, (a.Value() >> 4) + 2}));
    EXPECT_EQ(std::vector<bool>({a < c, a < a, d < c, c < d, LocallyUniqueID(0x21) < LocallyUniqueID(0xFFFFFFF2),
                                 LocallyUniqueID(0xFFFFFFF1) < LocallyUniqueID(0x12)}),
              std::vector<bool>({true, false, true, false, true, true}));
}

TEST(VariableTest, CopyOnWriteIsolatesEverySetter) {
    VESK_VLImplPointer labels(new VESK_VLMapImpl(0));
    DatasourceAttributes attrs;
    attrs.Define("Note", {"x"});
    OBS m1 = Num(9);
    double d1 = 7, d2 = 8;
    const std::vector<std::pair<int, std::function<void(V&)>>> changes = {
        {0, [](V& v) { v.SetName("other"); }}, {0, [](V& v) { v.SetName("otherxx", 5); }}, {0, [](V& v) { v.SetType(4); }},
        {0, [](V& v) { v.SetName("ORIG"); }},  // names compare with their case
        {0, [](V& v) { v.SetFormat(VESK_Format(5, 10, 3)); }}, {0, [](V& v) { v.SetFormat(V::FormatType(3), 9, 1); }},
        {0, [](V& v) { v.SetWriteFormat(VESK_Format(5, 10, 3)); }}, {0, [](V& v) { v.SetWriteFormat(V::FormatType(3), 9, 1); }},
        {0, [](V& v) { v.SetLabel("new label"); }}, {0, [](V& v) { v.SetLabel("new label", 3); }},
        {0, [](V& v) { v.SetLabel(nullptr); }}, {0, [&](V& v) { v.SetMissingValues(1, &m1, nullptr, nullptr); }},
        {0, [&](V& v) { v.SetMissingValues(&m1, nullptr, nullptr); }}, {0, [&](V& v) { v.SetMissingValues(&d1, &d2, nullptr); }},
        {6, [](V& v) { v.SetMissingValues("zz", nullptr, nullptr); }}, {0, [&](V& v) { v.SetMissingRange(&d1, nullptr, nullptr); }},
        {0, [](V& v) { v.SetAlignment(V::eAlignCentre); }}, {0, [](V& v) { v.SetRole(V::Role(3)); }},
        {0, [](V& v) { v.SetDisplayWidth(33); }}, {0, [](V& v) { v.SetMeasurementLevel(V::eMeasureScale); }},
        {0, [&](V& v) { v.SetValueLabels(labels); }}, {0, [&](V& v) { v.SetAttributes(attrs); }},
        {0, [](V& v) { v.SetID(LocallyUniqueID(0x1234)); }}, {0, [](V& v) { v.NewID(); }},
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        V a(changes[i].first);
        a.SetName("orig");
        a.SetLabel("label");
        if (a.GetType() == 0) {
            double m = 1;
            a.SetMissingValues(&m, nullptr, nullptr);
        }
        VESK_VariableImpl snapshot(*a.Impl());
        const VESK_VariableImpl* body = a.Impl().get();
        V b = a;
        EXPECT_EQ(b.Impl().get(), body);  // shared until changed
        changes[i].second(b);
        EXPECT_TRUE(b.Impl().get() != body && a.Impl().get() == body && a.Impl()->RefCount() == 1);
        EXPECT_TRUE(*a.Impl() == snapshot);
        EXPECT_EQ(a.GetID(), snapshot.GetID());  // ids are not part of equality
        EXPECT_EQ(a.GetUpperCaseName(), "ORIG");
        // The change took effect on the copy, and equality sees all but id changes.
        EXPECT_TRUE(b != a || b.GetID() != a.GetID());
    }
    // A handle that does not share its body changes it in place.
    V solo(0);
    const VESK_VariableImpl* body = solo.Impl().get();
    solo.SetName("x");
    EXPECT_EQ(solo.Impl().get(), body);
}

TEST(VariableTest, DirtyFlag) {
    V v(0);
    v.Impl()->Wipe();
    v.SetFormat(V::eFmtNumber, 10, 1);
    v.SetWriteFormat(VESK_Format(5, 10, 1));
    v.SetID(LocallyUniqueID(16));
    v.NewID();
    EXPECT_FALSE(v.Impl()->IsDirty());
    v.SetType(0);  // even the unchanged type marks dirty
    EXPECT_TRUE(v.Impl()->IsDirty());
    // A copy keeps the flags; obsolete is set for good and marks dirty.
    v.Impl()->Wipe();
    v.Impl()->MakeObsolete();
    VESK_VariableImpl copy(*v.Impl());
    EXPECT_TRUE(copy.IsObsolete() && copy.IsDirty() && copy.GetID() == v.GetID());
    // Packed flags do not disturb one another.
    V w(0);
    w.SetMeasurementLevel(V::MeasurementLevel(15));
    w.SetAlignment(V::eAlignCentre);
    double m = 3;
    w.SetMissingValues(&m, nullptr, nullptr);
    w.Impl()->Wipe();
    EXPECT_EQ(Props(w), std::vector<int>({8, 15, V::eAlignCentre, 0}));
    EXPECT_TRUE(w.Impl()->GetMissingRule() == V::eMissOne && !w.IsObsolete());
}

TEST(VariableTest, NumericMissingValues) {
    V v(0);
    // System-missing is missing under every rule, even none.
    EXPECT_EQ(Missing(v, {VESK_SYSMIS, 0.0}), "0:10");
    double lo = 1, hi = 5, disc = 9;
    v.SetMissingRange(&lo, &hi, nullptr);
    EXPECT_EQ(Missing(v, {1.0, 5.0, 3.5, 5.0000001, 0.999, std::nan("")}), std::to_string(V::eMissRange) + ":111000");
    v.SetMissingRange(&lo, &hi, &disc);
    EXPECT_EQ(Missing(v, {9.0, 2.0, 8.0}), std::to_string(V::eMissRangeAndDiscrete) + ":110");
    // Open ends take the extreme finite doubles; the low one is system-missing.
    const OBS *o1, *o2, *o3;
    v.SetMissingRange(nullptr, &hi, nullptr);
    v.GetMissingValues(o1, o2, o3);
    EXPECT_EQ(std::vector<uint64_t>({o1->bits, o3->bits}), std::vector<uint64_t>({VESK_SYSMIS_BITS, 0}));
    EXPECT_EQ(v.IsMissing(-1e300), 1);
    v.SetMissingRange(&lo, nullptr, nullptr);
    EXPECT_EQ(Missing(v, {1e308, std::numeric_limits<double>::infinity()}), std::to_string(V::eMissRange) + ":10");
    EXPECT_EQ(o2->bits, 0x7FEFFFFFFFFFFFFFull);
    // Discrete values compare bits: each of the three counts, unused operands are zero.
    double a = 1, b = 2, c = 3, zero = 0.0, nan = std::nan("");
    v.SetMissingValues(&a, &b, &c);
    EXPECT_EQ(Missing(v, {1.0, 2.0, 3.0, 4.0}), std::to_string(V::eMissThree) + ":1110");
    v.SetMissingValues(&a, nullptr, nullptr);
    EXPECT_EQ(Missing(v, {1.0, 2.0}), std::to_string(V::eMissOne) + ":10");
    EXPECT_EQ(o2->bits | o3->bits, 0u);
    v.SetMissingValues(&zero, nullptr, nullptr);
    EXPECT_EQ(v.IsMissing(-0.0), 0);  // different bits
    v.SetMissingValues(&nan, nullptr, nullptr);
    EXPECT_EQ(v.IsMissing(nan), 1);  // same bits
    // Rule -1 and rule 0 mean none; cells with the OBS overloads.
    OBS c1 = Num(7), c2 = Num(8);
    v.SetMissingValues(-1, &c1, nullptr, nullptr);
    EXPECT_EQ(v.IsMissing(&c1), 0);
    v.SetMissingValues(&c1, &c2, nullptr);
    EXPECT_EQ(Missing(v, {&c1, &c2}), std::to_string(V::eMissTwo) + ":11");
    v.SetMissingValues(0, nullptr, nullptr, nullptr);
    EXPECT_EQ(v.IsMissing(&c2), 0);
    EXPECT_EQ(v.IsMissing("7"), 0);  // a numeric variable never treats a text as missing
}

TEST(VariableTest, StringMissingValues) {
    V v(20);
    v.SetMissingValues("ab", nullptr, nullptr);
    const OBS *o1, *o2, *o3;
    v.GetMissingValues(o1, o2, o3);
    EXPECT_EQ(std::string(o1->c, 8), "ab      ");
    // 9 bytes are never missing.
    EXPECT_EQ(Missing<const char*>(v, {"ab", "ab      ", "abc", "ab       ", "", nullptr}), "1:110000");
    EXPECT_EQ(v.Impl()->IsMissing(std::string("ab\0zz", 5)), 1);  // stops at the NUL
    OBS cell;
    std::memcpy(cell.c, "ab      ", 8);
    OBS sys = Num(VESK_SYSMIS);  // a string cell equal to system-missing bits is not special
    EXPECT_EQ(Missing(v, {&cell, &sys}), "1:10");
    // Texts are cut to 8 bytes; all three values count.
    v.SetMissingValues("abcdefghij", "x", "y");
    EXPECT_EQ(Missing<const char*>(v, {"abcdefgh", "abcdefghij", "x", "y"}), std::to_string(V::eMissThree) + ":1011");
    // A text longer than the variable is not missing; nor under rule 0 or a range rule.
    V narrow(2);
    narrow.SetMissingValues("ab", nullptr, nullptr);
    EXPECT_EQ(Missing<const char*>(narrow, {"ab", "ab "}), "1:10");
    OBS r = cell;
    narrow.SetMissingValues(-2, &r, &r, nullptr);
    const int underRange = narrow.IsMissing("ab");
    narrow.SetMissingValues(static_cast<const char*>(nullptr), nullptr, nullptr);
    EXPECT_EQ(underRange + narrow.IsMissing("ab"), 0);
}

TEST(VariableTest, FormatPackingSettersAndTypeChanges) {
    V v(0);
    v.SetFormat(V::eFmtNumber, 60, 2);
    EXPECT_EQ(v.Impl()->GetFormat(), VESK_VariableImpl::PackFormat(5, 40, 2));
    // The packed setter stores what it is given; reading still caps at 40.
    v.SetFormat(VESK_Format(5, 60, 2));
    EXPECT_EQ(v.Impl()->GetFormat(), VESK_VariableImpl::PackFormat(5, 60, 2));
    EXPECT_EQ(v.GetFormat().width, 40);
    v.SetWriteFormat(V::FormatType(17), 12, 3);
    v.SetType(0);  // unchanged type keeps even an odd format
    V::FormatType code;
    int width, decimals;
    v.GetWriteFormat(code, width, decimals);
    EXPECT_EQ(std::vector<int>({code, width, decimals, v.GetFormat().code}), std::vector<int>({17, 12, 3, 5}));
    V s(10);
    s.SetFormat(V::eFmtHexString, 60, 0);  // string codes keep wide widths
    EXPECT_EQ(s.GetFormat(), VESK_Format(2, 60, 0));
    // A new string width: hex formats double it while 2 x width fits, a plain
    // write format becomes the default, display properties stay.
    V h(10);
    h.SetFormat(V::eFmtHexString, 20, 0);
    h.SetDisplayWidth(17);
    h.SetMeasurementLevel(V::eMeasureOrdinal);
    h.SetType(100);
    EXPECT_EQ(h.GetFormat(), VESK_Format(2, 200, 0));
    EXPECT_EQ(h.GetWriteFormat(), VESK_Format(1, 100, 0));
    EXPECT_EQ(Props(h), std::vector<int>({17, V::eMeasureOrdinal, V::eAlignLeft, 0}));
    h.SetType(126);
    const VESK_Format at126 = h.GetFormat();
    h.SetType(127);
    EXPECT_EQ(std::vector<VESK_Format>({at126, h.GetFormat()}), std::vector<VESK_Format>({{2, 252, 0}, {1, 127, 0}}));
    // To numeric and back: the defaults; missing values stay.
    V t(4);
    t.SetMissingValues("ab", nullptr, nullptr);
    t.SetType(0);
    EXPECT_TRUE(t.Impl()->GetFormat() == 0x00050802 && t.Impl()->GetMissingRule() == V::eMissOne);
    t.SetType(3);
    EXPECT_EQ(t.GetFormat(), VESK_Format(1, 3, 0));
    EXPECT_EQ(Cond([&] { t.SetType(-1); }), "0 <= type && type <= MAX_STRING_TYPE");
    EXPECT_EQ(AssertionOf([&] { t.SetType(32768); }).second, "Datasource/src/varimpl");
    EXPECT_EQ(t.GetType(), 3);
}

TEST(VariableTest, ValidateFormat) {
    // type, code, width, decimals, fix, verdict, then code, width, decimals afterwards.
    const int cases[][9] = {
        // Numeric: decimals beyond the width are cut (20 - 21 < 0, 10 - 12 < 0), without fix nothing changes.
        {0, 5, 8, 2, 1, 0, 5, 8, 2},     {0, 22, 20, 3, 1, 3, 22, 20, 0},   {0, 22, 40, 25, 1, 3, 22, 40, 16},
        {0, 22, 20, 3, 0, 3, 22, 20, 3}, {0, 5, 30, 17, 1, 3, 5, 30, 16},
        // String or unknown codes on a number become the default.
        {0, 1, 8, 0, 1, 1, 5, 8, 2},     {0, 40, 8, 0, 1, 1, 5, 8, 2},      {0, -1, 8, 0, 0, 1, -1, 8, 0},
        // Widths below the minimum or above 40; a width fix keeps the first verdict.
        {0, 17, 3, 0, 1, 2, 17, 6, 0},   {0, 5, 50, 2, 1, 2, 5, 40, 2},     {0, 17, 3, 2, 1, 2, 17, 6, 0},
        {0, 20, 10, 2, 1, 3, 20, 10, 0}, {0, 5, 8, -1, 1, 3, 5, 8, 0},      {0, 39, 10, 10, 1, 0, 39, 10, 10},
        // Strings; 2 x 20000 does not fit a hex format; negative types are not checked.
        {8, 5, 8, 2, 1, 1, 1, 8, 0},     {8, 5, 8, 2, 0, 1, 5, 8, 2},       {8, 1, 8, 0, 1, 0, 1, 8, 0},
        {8, 1, 5, 2, 1, 2, 1, 8, 0},     {8, 1, 8, 2, 1, 3, 1, 8, 0},       {8, 2, 16, 0, 1, 0, 2, 16, 0},
        {8, 2, 8, 0, 1, 2, 2, 16, 0},    {20000, 2, 8, 0, 1, 1, 1, 20000, 0}, {-1, 77, 0, 99, 1, 0, 77, 0, 99},
    };
    for (const auto& c : cases) {
        V::FormatType code = V::FormatType(c[1]);
        int w = c[2], d = c[3];
        const int verdict = V::ValidateFormat(c[0], code, w, d, c[4] != 0);
        EXPECT_EQ(std::vector<int>({verdict, code, w, d}), std::vector<int>(c + 5, c + 9))
            << c[0] << " " << c[1] << " " << c[2] << " " << c[3] << " " << c[4];
    }
}

TEST(VariableTest, ImageIndex) {
    // code, level, index: strings, dates, times, then other numbers.
    const int cases[][3] = {{1, 1, 4}, {1, 2, 3},  {1, 3, 4},  {20, 1, 7}, {39, 2, 6}, {38, 0, 5},
                            {21, 1, 10}, {25, 2, 9}, {22, 3, 8}, {5, 1, 2},  {2, 2, 1},  {17, 3, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(V::GetImageIndex(V::FormatType(c[0]), V::MeasurementLevel(c[1])), c[2]) << c[0] << " " << c[1];
}

TEST(VariableTest, NamesAndLabels) {
    V v(0);
    for (const auto& [name, length, want] : {std::tuple{"abc   ", -1, "abc|ABC"}, {"Mixed Name  x", 8, "Mixed Na|MIXED NA"},
                                             {"    ", -1, "|"}}) {
        length < 0 ? v.SetName(name) : v.SetName(name, length);
        EXPECT_EQ(v.GetName() + "|" + v.GetUpperCaseName(), want) << name;
    }
    v.SetName("age");
    // No label: the preferred label is the name. An empty label is a label.
    const std::string unlabelled = v.GetPreferredLabel();
    v.SetLabel("");
    ASSERT_NE(v.GetLabel(), nullptr);
    EXPECT_EQ(unlabelled + "|" + v.GetPreferredLabel(), "age|");
    v.SetLabel("Age in years", 6);  // exactly length bytes are kept
    EXPECT_STREQ(v.GetLabel(), "Age in");
    // Copies share the pool entry; a new SetLabel of the same text makes a new one.
    V w = v;
    w.SetName("other");
    const VESK_VarLabel* shared = w.Impl()->GetVarLabelPtr();
    w.SetLabel("Age in");
    EXPECT_TRUE(shared == v.Impl()->GetVarLabelPtr() && w.Impl()->GetVarLabelPtr() != shared);
    const VESK_VarLabel* entry = VESK_VariableImpl::InsertLabel("a\0b", 3);
    w.Impl().Unshared()->SetLabel(entry);
    EXPECT_TRUE(*entry == std::string("a\0b", 3) && w.Impl()->GetVarLabelPtr() == entry);
}

TEST(VariableTest, Equality) {
    V a(8), b(8);
    for (V* v : {&a, &b}) {
        v->SetName("x");
        v->SetLabel("lab");  // two pool entries, same text
        v->SetMissingValues("q", nullptr, nullptr);
    }
    b.Impl()->Wipe();
    b.Impl()->MakeObsolete();
    EXPECT_TRUE(a == b);  // ids and flags do not count
    // Operands beyond the rule are not compared.
    V n1(0), n2(0);
    OBS x = Num(1), y = Num(2), z = Num(3);
    n1.SetMissingValues(1, &x, &y, nullptr);
    n2.SetMissingValues(1, &x, &z, nullptr);
    EXPECT_TRUE(n1 == n2);
    n1.SetMissingValues(-3, &x, &y, &z);
    n2.SetMissingValues(-3, &x, &y, &y);
    EXPECT_TRUE(n1 != n2);
    // Value labels compare by content.
    VESK_ValueLabelMap m1(0), m2(0);
    m1.AddPair(1.0, "one");
    m2.AddPair(1.0, "one");
    n1.SetValueLabels(m1);
    n2.SetMissingValues(-3, &x, &y, &z);
    n2.SetValueLabels(m2);
    EXPECT_TRUE(n1 == n2);
    m2.AddPair(2.0, "two");
    n2.SetValueLabels(m2);
    EXPECT_TRUE(n1 != n2);
}

TEST(VariableTest, PreconditionFailures) {
    V null, num(0), str(4);
    EXPECT_EQ(AssertionOf([&] { null.SetLabel("x"); }),
              std::make_pair(std::string("fpImpl.IsValid()"), std::string("Datasource/src/variable")));
    EXPECT_EQ(Cond([&] { (void)(num == null); }), "other.fpImpl.IsValid()");
    EXPECT_EQ(null.GetAttributes().Size(), 0u);  // allowed on a null handle
    double d = 1;
    OBS o = Num(1);
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { str.SetMissingValues(&d, nullptr, nullptr); }, "v1 == 0 || GetType() == 0"},
        {[&] { num.SetMissingValues("a", nullptr, nullptr); }, "v1 == 0 || GetType() != 0"},
        {[&] { num.SetMissingValues(&d, nullptr, &d); }, "int(v2!=0) >= int(v3!=0)"},
        {[&] { num.SetMissingValues(nullptr, &d, nullptr); }, "int(v1!=0) >= int(v2!=0)"},
        {[&] { str.SetMissingRange(&d, nullptr, nullptr); }, "GetType() == 0"},
        {[&] { num.SetMissingValues(3, &o, &o, nullptr); }, "v3"},
    };
    for (const auto& [call, condition] : cases) EXPECT_EQ(Cond(call), condition);
    EXPECT_EQ(AssertionOf([&] { num.SetMissingValues(-2, &o, nullptr, nullptr); }),
              std::make_pair(std::string("v2"), std::string("Datasource/src/varimpl")));
    // Failed preconditions leave the variable as it was.
    EXPECT_EQ(num.Impl()->GetMissingRule() + str.Impl()->GetMissingRule(), V::eMissNone);
}
