#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "valuelabelmap.h"
#include "variable.h"
#include "vesk_assert.h"

namespace {

using Texts = std::vector<std::string>;

std::string FailedCondition(const std::function<void()>& f) {
    try {
        f();
    } catch (const VESK_AssertFailed& e) {
        EXPECT_STREQ(e.SourceFile(), "Datasource/src/valuelabelmap");
        return e.Condition();
    }
    return "<no assertion>";
}

Texts NumericPairs(const VESK_ValueLabelMap& m) {
    Texts out;
    m.Reset();
    double v;
    const char* label;
    while (m.GetNextPair(v, label)) out.push_back(std::to_string(int(v)) + "=" + label);
    return out;
}

const VESK_VLImplPointer& Body(const VESK_ValueLabelMap& m) { return m; }

VESK_ValueLabelMap NullMap() { return VESK_ValueLabelMap(VESK_VLImplPointer()); }

}  // namespace

TEST(ValueLabelMapTest, NumericOrderingAndReplacement) {
    VESK_ValueLabelMap m(0);
    for (auto [value, label] : {std::pair{2.0, "b"}, {1.0, "a"}, {2.0, "c"}, {-5.0, "neg"}, {100.0, "big"},
                                {1.5, "mid"}, {8.0, ""}})
        m.AddPair(value, label);
    EXPECT_EQ(NumericPairs(m), (Texts{"-5=neg", "1=a", "1=mid", "2=c", "8=", "100=big"}));
    const OBS cell = {.d = -5};
    EXPECT_STREQ(m.GetLabel(&cell), "neg");
    // Equal numbers with different bits are different values.
    m.AddPair(0.0, "zero");
    m.AddPair(7.0, std::string(1000, 'x'));
    EXPECT_EQ(m.GetLabel(-0.0), nullptr);
    EXPECT_EQ(m.GetLabel(3.0), nullptr);
    EXPECT_EQ(std::strlen(m.GetLabel(7.0)), 1000u);
    // A map of NaN alone still finds it by bits.
    VESK_ValueLabelMap n(0);
    n.AddPair(std::nan(""), "nan");
    n.AddPair(std::nan(""), "nan2");
    EXPECT_EQ(n.Size(), 1u);
    EXPECT_STREQ(n.GetLabel(std::nan("")), "nan2");
}

TEST(ValueLabelMapTest, StringValues) {
    VESK_ValueLabelMap m(3);
    m.AddPair(std::string("ab"), "label ab");
    EXPECT_EQ(std::to_string((*Body(m))[0].value.size()) + std::string((*Body(m))[0].value[0].c, 8), "1ab      ");
    for (const char* key : {"ab ", "ab"}) EXPECT_STREQ(m.GetLabel(std::string(key)), "label ab") << key;
    EXPECT_EQ(m.GetLabel(std::string("abc")), nullptr);
    m.AddPair(std::string("ab   "), "replaced");
    m.Reset();
    std::string value;
    const char* label;
    ASSERT_EQ(m.GetNextPair(value, label), 1);
    EXPECT_EQ(value + "|" + label, "ab |replaced");  // the first `type` bytes
    // Long strings take several cells; values differing only in a later cell are distinct.
    VESK_ValueLabelMap w(20);
    for (const char* key : {"abcdefgh-one", "abcdefgh-two", "abcdefgh"}) w.AddPair(std::string(key), key + 8);
    EXPECT_EQ((*Body(w))[0].value.size(), 3u);
    EXPECT_STREQ(w.GetLabel(std::string("abcdefgh-two")), "-two");
    EXPECT_STREQ(w.GetLabel(std::string("abcdefgh")), "");
    // A text longer than the cells is cut to them.
    w.AddPair(std::string("abcdefgh-one") + std::string(30, 'z'), "long");
    EXPECT_EQ(w.Size(), 4u);
    // Iteration order follows the 8-byte chunks read as doubles.
    VESK_ValueLabelMap s(8);
    for (const char* t : {"b", "a", "c", "zz", "A"}) s.AddPair(std::string(t), t);
    const OBS* cells;
    std::vector<double> seen;
    for (s.Reset(); s.GetNextPair(cells, label);) seen.push_back(cells[0].d);
    EXPECT_TRUE(seen.size() == 5u && std::is_sorted(seen.begin(), seen.end()));
}

TEST(ValueLabelMapTest, CopyOnWriteTypeAndEquality) {
    VESK_ValueLabelMap m(0);
    m.AddPair(1.0, "one");
    for (double value : {2.0, 1.0}) {  // a replaced label is a change too
        VESK_ValueLabelMap copy = m;
        copy.AddPair(value, "new");
        EXPECT_EQ(NumericPairs(m), Texts{"1=one"});
        EXPECT_EQ(copy.GetLabel(value), std::string("new"));
    }
    // Type of an empty map: a new body; of a shared map with pairs: unshared, pairs kept.
    VESK_ValueLabelMap empty(0);
    const VESK_VLImplPointer before = empty;
    empty.Type(8);
    EXPECT_EQ(empty.Type() * 10 + before->GetType(), 80);  // the old body is left alone
    VESK_ValueLabelMap shared = m;
    shared.Type(8);
    EXPECT_EQ(shared.Type() * 10 + int(shared.Size()), 81);
    EXPECT_EQ(m.Type(), 0);
    // Without a body: no labels; Type makes one.
    VESK_ValueLabelMap none = NullMap();
    EXPECT_EQ(none.GetLabel(1.0), nullptr);
    none.Type(4);
    EXPECT_EQ(none.Type() * 10 + int(none.Size()), 40);
    // Equality: pairs and labels count, types do not; null equals only null.
    VESK_ValueLabelMap x(0), y(0), s3(3), s5(5);
    std::vector<bool> same = {(x == y) != 0};
    x.AddPair(1.0, "x");
    y.AddPair(1.0, "y");
    same.push_back(x == y);
    y.AddPair(1.0, "x");
    same.push_back(x == y);
    y.AddPair(2.0, "x");
    s3.AddPair(std::string("ab"), "l");
    s5.AddPair(std::string("ab"), "l");
    for (int equal : {x == y, s3 == s5, NullMap() == NullMap(), NullMap() == x, x == NullMap()}) same.push_back(equal != 0);
    EXPECT_EQ(same, std::vector<bool>({true, false, true, false, true, true, false, false}));
}

TEST(ValueLabelMapTest, IterationAndPreconditions) {
    VESK_ValueLabelMap n = NullMap();
    const OBS* cells;
    const char* label;
    EXPECT_EQ(n.GetNextPair(cells, label), 0);  // no body: no assertion
    OBS cell = {.d = 1};
    for (const auto& add : std::vector<std::function<void()>>{[&] { n.AddPair(1.0, "x"); },
                                                               [&] { n.AddPair(std::string("a"), "x"); },
                                                               [&] { n.AddPair(&cell, "x"); }})
        EXPECT_EQ(FailedCondition(add), "fpImpl.IsValid()");
    VESK_ValueLabelMap m(0);
    EXPECT_EQ(FailedCondition([&] { m.GetNextPair(cells, label); }), "fIter && \"Reset() missing\"");
    m.Reset();
    EXPECT_EQ(m.GetNextPair(cells, label), 0);
    for (int i = 1; i <= 3; ++i) m.AddPair(double(i), std::to_string(i));
    auto next = [](const VESK_ValueLabelMap& map) {
        double v;
        const char* l;
        return map.GetNextPair(v, l) ? v : -1.0;
    };
    m.Reset();
    EXPECT_EQ(next(m), 1);
    // A copy continues from the same position, independently; assignment copies the position.
    VESK_ValueLabelMap c = m;
    EXPECT_EQ(next(c), 2);
    EXPECT_EQ(next(m), 2);
    VESK_ValueLabelMap d(0);
    d.Reset();
    d = c;
    EXPECT_EQ(std::vector<double>({next(d), next(d), next(d)}), std::vector<double>({3, -1, -1}));
    // Changing a shared map mid-iteration moves the handle to its own copy;
    // iteration goes on safely in it.
    VESK_ValueLabelMap other = m;
    m.Reset();
    next(m);
    other = NullMap();
    m.AddPair(0.5, "half");
    int rest = 0;
    while (next(m) != -1) ++rest;
    EXPECT_EQ(rest, 3);
}

TEST(ValueLabelMapTest, CountsAndShareability) {
    VESK_VLMapImpl* raw = new VESK_VLMapImpl(0);
    EXPECT_EQ(raw->RefCount(), 0);
    {
        VESK_VLImplPointer p(raw);
        VESK_VLImplPointer q = p;
        q = q;
        EXPECT_EQ(raw->RefCount(), 2);
        // Unshared copies a shared body; the copy starts with its own count.
        VESK_VLMapImpl* mine = q.Unshared();
        EXPECT_TRUE(mine != raw && mine->RefCount() == 1 && raw->RefCount() == 1);
        EXPECT_EQ(p.Unshared(), raw);
        // An unshareable body is copied before it is referenced.
        raw->MarkUnshareable();
        VESK_VLImplPointer r(raw);
        EXPECT_TRUE(r.get() != raw && r->IsShareable() && raw->RefCount() == 1);
    }
    // Assignment copies pairs and type but not the count.
    VESK_VLMapImpl x(3), y(0);
    y.Insert(std::vector<OBS>(1).data(), "l");
    x = y;
    EXPECT_EQ(std::vector<int>({x.GetType(), x.Size(), x.RefCount()}), std::vector<int>({0, 1, 0}));
}

// Copies made and dropped in several threads keep the count exact; a change
// through a copy goes to a private body.
TEST(ValueLabelMapTest, SharedAcrossThreads) {
    VESK_ValueLabelMap original(0);
    original.AddPair(1.0, "one");
    const VESK_VLMapImpl* body = Body(original).get();
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int& fails : failures)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                VESK_ValueLabelMap copy(original), second = copy;
                if (i % 100 == 0) second.AddPair(-1.0, "private");
                fails += Body(copy).get() != body || copy.Size() != 1 || second.Size() != 1u + (i % 100 == 0);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    EXPECT_EQ(body->RefCount(), 1);
}

TEST(ValueLabelMapTest, Registry) {
    VESK_VLMapRegistry::CollectGarbage();
    const size_t start = VESK_VLMapRegistry::Count();
    VESK_ValueLabelMap m(0);
    m.AddPair(1.0, "one");
    VESK_VLMapID id1 = VESK_VLMapRegistry::Add(m);
    VESK_VLMapID id2 = VESK_VLMapRegistry::Add(m, VESK_VLMapID::None());
    EXPECT_TRUE(!id1.IsNone() && id2.Value() >> 4 == (id1.Value() >> 4) + 1);
    EXPECT_TRUE(VESK_VLMapRegistry::GetID(m) == id1 && VESK_VLMapRegistry::GetMap(id2) == Body(m));
    EXPECT_FALSE(VESK_VLMapRegistry::GetMap(VESK_VLMapID::None()).IsValid());
    EXPECT_TRUE(VESK_VLMapRegistry::GetID(VESK_VLImplPointer()).IsNone());
    // A given id is used as is; SetID renames the first entry of the body.
    VESK_ValueLabelMap k(0);
    VESK_VLMapID fixed(0x777u << 4), renamed(0x778u << 4);
    EXPECT_EQ(VESK_VLMapRegistry::Add(k, fixed), fixed);
    EXPECT_EQ(VESK_VLMapRegistry::GetMap(fixed), Body(k));
    VESK_VLMapRegistry::SetID(k, renamed);
    EXPECT_TRUE(!VESK_VLMapRegistry::GetMap(fixed).IsValid() && VESK_VLMapRegistry::GetID(k) == renamed);
    VESK_ValueLabelMap stranger(0);
    EXPECT_EQ(FailedCondition([&] { VESK_VLMapRegistry::SetID(stranger, renamed); }), "i < _Pairs.size()");
    // The originator fills the low bits of new ids; the variables' setter passes it on.
    VESK_VariableImpl::SetOriginator(5);
    VESK_ValueLabelMap o(0);
    EXPECT_EQ(VESK_VLMapRegistry::Add(o).Value() & 0xFu, 5u);
    VESK_VLMapRegistry::SetOriginator(0);
    VESK_VariableImpl::SetOriginator(0);
    EXPECT_EQ(VESK_VLMapRegistry::Add(o).Value() & 0xFu, 0u);
    // Garbage collection: a map registered twice keeps both entries even with
    // no other holder; a map registered once goes when the registry alone holds it.
    auto kept = [&] {
        VESK_VLMapRegistry::CollectGarbage();
        return VESK_VLMapRegistry::Count() - start;
    };
    std::vector<size_t> counts = {kept()};
    m = o = NullMap();
    counts.push_back(kept());
    k = NullMap();
    counts.push_back(kept());
    EXPECT_EQ(counts, std::vector<size_t>({5, 5, 4}));
    EXPECT_FALSE(VESK_VLMapRegistry::GetMap(renamed).IsValid());
    EXPECT_EQ(VESK_VLMapRegistry::GetMap(id1)->Size(), 1);
}
