// Variable sets and multiple-response sets: line syntax, record text, malformed
// lines, conversions, the handlers of subtypes 5, 7 and 19, and file round trips.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "SFExtensionHandlers.h"
#include "SystemFileDataSource.h"
#include "VariableNameIndex.h"
#include "datafreedatasource.h"
#include "memorydatastore.h"
#include "sources.h"
#include "tempdir.h"
#include "variableset.h"
#include "variableset_private.h"

namespace {

using VS = VariableSet;
constexpr VS::VariableSetType kPlain = VS::eVariableSet, kCat = VS::eMultipleCategories,
                              kDich = VS::eMultipleDichotomies;

VariableSet MakeSet(const std::string& name, VS::VariableSetType type, const std::vector<std::string>& vars,
                    const std::string& flags = "0", const std::string& label = "", const std::string& value = "") {
    VariableSet set(name, type);
    set.SetFlags(flags), set.SetLabel(label), set.SetValue(value);
    for (const std::string& v : vars) set.AddVariableName(v);
    return set;
}

std::string MalformedCondition(const std::function<void()>& f) {
    try {
        f();
    } catch (const SystemFileException& e) {
        EXPECT_EQ(e.Code(), 1204);
        return e.Condition();
    }
    return std::string();
}

void ApplyText(int subtype, VESK_DataSource& ds, const std::string& text) {
    SystemFileExtensionRecord rec;
    rec.SetText(text);
    SystemFileOptions options;
    ReadExtensionRecord(subtype, ds, options, rec);
}

std::string BuildText(int subtype, const VESK_DataSource& ds) {
    SystemFileExtensionRecord rec;
    WriteExtensionRecord(subtype, ds, rec);
    return rec.Text();
}

void AddVars(VESK_DataSource& ds, const std::vector<std::string>& names) {
    for (const std::string& name : names) AddVar(ds, name.c_str());
}

// Every field of each set, names as stored (operator== ignores case).
std::vector<std::string> Describe(const std::vector<VariableSet>& sets) {
    std::vector<std::string> out;
    for (const VariableSet& set : sets) {
        out.push_back(set.GetName() + "|" + std::to_string(set.GetType()) + "|" + set.GetFlags() + "|" +
                      set.GetLabel() + "|" + set.GetValue());
        for (const std::string& name : set.GetVariableNames()) out.back() += "|" + name;
    }
    return out;
}

}  // namespace

TEST(VariableSetTest, LinesOfEveryTypeAndTheirParse) {
    const struct {
        VariableSet set;
        std::string line;
    } cases[] = {
        {MakeSet("colours", kPlain, {"red", "green", "blue"}), "colours= red green blue\n"},
        {MakeSet("empty", kPlain, {}), "empty= \n"},
        {MakeSet("$pets", kCat, {"cat", "dog"}, "0", "Pet type"), "$pets=C 8 Pet type cat dog\n"},
        {MakeSet("$c", kCat, {"a"}), "$c=C 0  a\n"},
        {MakeSet("$d", kDich, {"q1", "q2"}, "0", "Has one", "yes no"), "$d=D6 yes no 7 Has one q1 q2\n"},
        {MakeSet("$x", kDich, {"a", "b"}, "11", "ignored", "1"), "$x=E 11 1 1 0  a b\n"},
        {MakeSet("$e", kDich, {"a"}, "1", "Counted", "12"), "$e=E 1 2 12 7 Counted a\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.set.ToExtension(), c.line);
        const VariableSet back(c.line);
        // A label set by variable is not written, so it comes back empty.
        VariableSet want = c.set;
        if (want.LabelSetByVariable() && want.GetType() == kDich) want.SetLabel("");
        EXPECT_TRUE(back == want);
        EXPECT_EQ(back.ToExtension(), c.line);
    }
    // Lengths count bytes: a label may hold blanks, "=" and digits.
    const VariableSet tricky = MakeSet("$t", kDich, {"v"}, "0", "a = 3 b ", "x y");
    EXPECT_TRUE(VariableSet(tricky.ToExtension()) == tricky);
    // The line ends at its first line break; pieces of blanks are skipped,
    // a name already listed (in any case) is not added again.
    const VariableSet listed("s=  a   B b A c\r\nignored");
    EXPECT_EQ(listed.GetVariableNames(), (std::vector<std::string>{"a", "B", "c"}));
    // Line breaks inside the label are written as blanks.
    EXPECT_EQ(MakeSet("$n", kCat, {"v"}, "0", "a\nb").ToExtension(), "$n=C 3 a b v\n");
}

TEST(VariableSetTest, FlagsCaseEqualityLabelAndValidate) {
    VariableSet set("$S", kDich);
    // Given flags, stored flags, then label by variable, category labels, enhanced dichotomy.
    const char* flags[][3] = {{"", "0", "000"},   {"0", "0", "000"},   {"1", "1", "011"},
                              {"01", "01", "100"}, {"11", "11", "111"}, {"x0", "1", "011"},
                              {"10", "1", "011"},  {"0x", "01", "100"}, {"111", "11", "111"}};
    for (const auto& f : flags) {
        set.SetFlags(f[0]);
        EXPECT_EQ(set.GetFlags() + std::to_string(set.LabelSetByVariable()) +
                      std::to_string(set.UseVariableCategoryLabels()) + std::to_string(set.IsEnhancedDichotomy()),
                  std::string(f[1]) + f[2])
            << f[0];
    }
    set.SetType(kCat);
    VariableSet a = MakeSet("$Abc", kCat, {"Xy", "z"}, "0", "L");
    VariableSet b = MakeSet("$aBC", kCat, {"xY", "Z"}, "0", "L");
    EXPECT_TRUE(a == b && !set.IsEnhancedDichotomy());
    EXPECT_EQ(a.GetName(VS::eLowerCase) + a.GetName(VS::eUpperCase), "$abc$ABC");
    EXPECT_EQ(a.GetVariableNames(VS::eUpperCase), (std::vector<std::string>{"XY", "Z"}));
    void (*const changes[])(VariableSet&) = {[](VariableSet& s) { s.SetLabel("l"); },
                                             [](VariableSet& s) { s.AddVariableName("w"); },
                                             [](VariableSet& s) { s.SetFlags("01"); }};
    for (auto change : changes) {
        change(b = a);
        EXPECT_FALSE(a == b);
    }
    // The label to show: own, or the first labelled variable, or the first name.
    DataFreeDataSource ds;
    AddVars(ds, {"p", "q"});
    ds.GetVariable(1).SetLabel("Label of q");
    VariableSet shown = MakeSet("$m", kDich, {"gone", "p", "q"}, "0", "Own", "1");
    std::string labels = shown.GetLabel(ds) + "|";
    shown.SetFlags("01");
    labels += shown.GetLabel(ds) + "|";
    ds.GetVariable(1).SetLabel("");
    EXPECT_EQ(labels + shown.GetLabel(ds), "Own|Label of q|gone");
    const std::pair<int, std::vector<VariableSet>> validations[] = {
        {VS::kNoError,
         {MakeSet("plain", kPlain, {"a"}), MakeSet("$mr", kCat, {"a"}), MakeSet("$d", kDich, {"a"}, "0", "", "12345.6789"),
          MakeSet("$d", kDich, {"a"}, "0", "", "eight ch")}},
        {VS::kNameLengthTooBig, {MakeSet("$" + std::string(64, 'n'), kCat, {"a"})}},
        {VS::kInvalidSetName, {MakeSet("mr", kCat, {"a"}), MakeSet("$plain", kPlain, {"a"}), MakeSet("1bad", kPlain, {"a"})}},
        {VS::kValueOutOfBound, {MakeSet("$d", kDich, {"a"}), MakeSet("$d", kDich, {"a"}, "0", "", "ninechars")}},
        {VS::kTooFewVariables, {MakeSet("$d", kDich, {}, "0", "", "1")}},
    };
    for (const auto& [code, sets] : validations)
        for (const VariableSet& set : sets) EXPECT_EQ(set.Validate(), code) << set.GetName() << " " << set.GetValue();
}

TEST(VariableSetTest, MalformedLinesAndUnwritableSetsRaise1204) {
    const std::pair<const char*, std::vector<const char*>> lines[] = {
        {"equal != std::string::npos", {"no equals sign"}},
        {"(type == 'D') || (type == 'C') || (type == 'E')", {"$x=Q 1 a v", "$x="}},
        {"blank == ' '", {"$x=E11 1 1 0  a"}},
        {"length != 0", {"$x=D0 1 0  a", "$x=Dz 1 0  a"}},
        {"length <= line.size()", {"$x=D9 1 0  a", "$x=D99999999999999999999999 1", "$x=C 50 short a"}},
        {"(length != 0) || (strLabelLength[0] == '0')", {"$x=C x label a", "$x=C  label a"}},
        {"space == ' '", {"$x=C 5 labelXa", "$x=C5 label a", "$x=D1 1", "$x=C 3 abc"}},
    };
    for (const auto& [condition, texts] : lines)
        for (const char* line : texts) {
            VariableSet set;
            EXPECT_EQ(MalformedCondition([&] { ParseSetLine(line, set); }), condition) << line;
        }
    const std::pair<VariableSet, const char*> unwritable[] = {
        {MakeSet("mr", kCat, {"a"}), "vset.GetName()[0] == '$'"},
        {MakeSet("$d", kDich, {"a"}), "vset.GetValue().size() > 0"},
        {MakeSet("$plain", kPlain, {"a"}), "plain set name does not begin with '$'"},
        {MakeSet("a=b", kPlain, {"a"}), "vset.GetName() has no '=' or line break"},
    };
    for (const auto& [set, condition] : unwritable)
        EXPECT_EQ(MalformedCondition([&] { SetLine(set); }), condition) << set.GetName();
    // Public callers see the library's error, naming what was malformed.
    const auto publicError = [](const std::function<void()>& f) {
        try {
            f();
        } catch (const VeskError& e) {
            return std::to_string(e.Number()) + " " + e.Args().at(0);
        }
        return std::string();
    };
    std::string bad = "no equals sign";
    std::vector<VariableSet> parsed;
    EXPECT_EQ(publicError([&] { VariableSet set(bad); }), "1204 variable set");
    EXPECT_EQ(publicError([&] { unwritable[0].first.ToExtension(); }), "1204 variable set");
    EXPECT_EQ(publicError([&] { ParseExtension(bad.data(), bad.size(), 5, parsed); }), "1204 variable set");
    EXPECT_EQ(publicError([&] { MakeExtension({unwritable[1].first}, bad, 7); }), "1204 variable set");
    // One bad line rejects the whole record: the stored sets stay as they were.
    DataFreeDataSource ds;
    AddVars(ds, {"a", "b"});
    ApplyText(5, ds, "first= a b\n");
    EXPECT_EQ(MalformedCondition([&] { ApplyText(5, ds, "second= a\nbroken\nthird= b\n"); }),
              "equal != std::string::npos");
    EXPECT_EQ(Describe(VariableSets(ds, eVarSets)), Describe({MakeSet("first", kPlain, {"a", "b"})}));
    SystemFileExtensionRecord wide;
    wide.SetInt32s(std::vector<int32_t>{1}.data(), 1);
    SystemFileOptions options;
    for (int subtype : {5, 7, 19})
        EXPECT_EQ(MalformedCondition([&] { ReadExtensionRecord(subtype, ds, options, wide); }),
                  "rec.UnitSize() == sizeof(char)");
    // Damaged records raise 1204 or parse; nothing else happens.
    std::mt19937 rng(7);
    for (int round = 0; round < 1000; ++round) {
        std::string text = "$pets=C 8 Pet type cat dog\n$x=E 11 1 1 0  a b\n$d=D2 no 3 abc a\nplain= a b\n";
        for (int k = 1 + int(rng() % 4); k > 0 && !text.empty(); --k) {
            const size_t at = rng() % text.size();
            if (const unsigned how = rng() % 3; how == 0) text[at] = "$=CDE 0123456789\nx"[rng() % 18];
            else if (how == 1) text.erase(at, 1 + rng() % 3);
            else text.insert(at, 1, char(rng() % 256));
        }
        std::vector<VariableSet> sets;  // any other exception fails the test
        MalformedCondition([&] { ParseSetRecord(text.data(), text.size(), 1 + int(rng() % 2) * 6, sets); });
    }
}

TEST(VariableSetTest, RecordTextReplacementRuleAndSubtypeSelection) {
    using Names = std::vector<std::string>;
    std::vector<VariableSet> sets;
    auto parse = [&](const std::string& text, int subtype) { ParseExtension(text.data(), text.size(), subtype, sets); };
    // The repeated "$a" replaces the first; "$A" is new to this record and is
    // appended; the repeated "$A" replaces the first set whose upper-cased
    // name is "$A", the one named "$a".
    parse("$a=C 3 one x\n\n$b=C 0  y\r\n$a=C 3 two z w\nq\n$A=C 0  u\n$A=C 5 again v\n", 7);
    EXPECT_EQ(Describe(sets), (Names{"$A|1|0|again||v", "$b|1|0|||y", "$A|1|0|||u"}));
    // Subtype 7 puts the "$" in front; other subtypes read such a line as a
    // plain set. A record adds to the list it is given; a name of an earlier
    // record is not a repeat.
    sets.clear();
    parse("x=C 0  a\n", 7);
    parse("x=C 0  a\n", 19);
    parse("$x=C 0  b\n", 7);
    EXPECT_EQ(Describe(sets), (Names{"$x|1|0|||a", "x|0|0|||C|0|a", "$x|1|0|||b"}));
    const std::vector<VariableSet> mixed = {
        MakeSet("plain", kPlain, {"a"}),
        MakeSet("$cat", kCat, {"a"}, "1", "L"),
        MakeSet("$dich", kDich, {"a"}, "01", "L", "1"),
        MakeSet("$enh", kDich, {"a"}, "1", "L", "1"),
    };
    const std::pair<int, std::string> selections[] = {
        {5, "plain= a\n"},
        {7, "$cat=C 1 L a\n$dich=D1 1 0  a\n"},
        {19, "$enh=E 1 1 1 1 L a\n"},
        {6, ""},
    };
    for (const auto& [subtype, want] : selections) {
        std::string out;
        MakeExtension(mixed, out, subtype);
        EXPECT_EQ(out, want) << subtype;
    }
}

TEST(VariableSetTest, ConversionsKeepKnownVariablesOnly) {
    DataFreeDataSource ds;
    AddVars(ds, {"Alpha", "beta", "Gamma"});
    const VariableSet set = MakeSet("$s", kDich, {"gamma", "nope", "ALPHA"}, "11", "L", "2");
    const VariableNameIndex names(ds);
    for (const VariableNameIndex* index : {&names, static_cast<const VariableNameIndex*>(nullptr)}) {
        VariableSetImpl impl;
        ConvertToImpl(set, ds, impl, index);
        EXPECT_EQ(impl.Name() + impl.Value() + std::to_string(impl.UseCategoryLabels()) +
                      std::to_string(impl.LabelFromVariable()),
                  "$s211");
        EXPECT_EQ(impl.Variables(),
                  (std::vector<LocallyUniqueID>{ds.GetVariable(2).GetID(), ds.GetVariable(0).GetID()}));
        // Back to names: the variables' current names; renaming does not
        // disturb the ids, a deleted variable drops out.
        ds.GetVariable(0).SetName("Renamed");
        std::map<LocallyUniqueID, int> columns;
        VariableSet back;
        ConvertToVarSet(impl, ds, back, columns);
        EXPECT_EQ(back.GetVariableNames(), (std::vector<std::string>{"Gamma", "Renamed"}));
        EXPECT_EQ(back.GetFlags(), "11");
        ds.GetVariable(0).SetName("Alpha");
    }
    // Saving sorts by kind, drops the other kind and empty sets.
    const std::vector<VariableSet> all = {
        MakeSet("p", kPlain, {"beta"}),
        MakeSet("$m", kCat, {"beta", "alpha"}),
        MakeSet("$gone", kCat, {"unknown"}),
    };
    SaveVariableSets(all, ds, eVarSets);
    EXPECT_TRUE(ds.GetMRSets().empty());
    SaveVariableSets(all, ds, eMRSets);
    EXPECT_EQ(Describe(VariableSets(ds, eVarSets)), Describe({MakeSet("p", kPlain, {"beta"})}));
    ds.DeleteVariables(1, 1);
    EXPECT_EQ(Describe(VariableSets(ds, eMRSets)), Describe({MakeSet("$m", kCat, {"Alpha"})}));
}

// The writer builds subtype 19 from the long names and subtypes 7 and 5 after
// subtype 13 gave its copy short names; the reader applies them the same way
// round, and the sets of 19 join those of 7.
TEST(VariableSetHandlersTest, RecordTextsAndSystemFileRoundTrip) {
    MemoryDataStore dict;
    AddVars(dict, {"FirstLongName", "SecondLongName", "Third"});
    dict.GetVariable(2).SetLabel("Label of Third");
    const std::vector<VariableSet> plain = {MakeSet("colours", kPlain, {"FirstLongName", "Third"})};
    const std::vector<VariableSet> mr = {
        MakeSet("$cat", kCat, {"SecondLongName", "Third"}, "0", "Categories"),
        MakeSet("$dich", kDich, {"FirstLongName"}, "0", "Counted at yes", "yes"),
        MakeSet("$enh", kDich, {"Third", "FirstLongName"}, "11", "", "1"),
        MakeSet("$enhL", kDich, {"SecondLongName"}, "1", "Labelled", "1"),
    };
    SaveVariableSets(plain, dict, eVarSets);
    SaveVariableSets(mr, dict, eMRSets);
    DataFreeDataSource writer;
    writer.CopyDictionary(dict);
    EXPECT_EQ(BuildText(19, writer), "$enh=E 11 1 1 0  Third FirstLongName\n$enhL=E 1 1 1 8 Labelled SecondLongName\n");
    const char* shortNames[] = {"FIRSTLON", "SECONDLO", "THIRD"};
    for (int v = 0; v < 3; ++v) writer.GetVariable(v).SetName(shortNames[v]);
    EXPECT_EQ(BuildText(5, writer), "colours= firstlon third\n");
    EXPECT_EQ(BuildText(7, writer), "$cat=C 10 Categories secondlo third\n$dich=D3 yes 14 Counted at yes firstlon\n");
    DataFreeDataSource none;
    for (int subtype : {5, 7, 19}) EXPECT_EQ(BuildText(subtype, none), "") << subtype;

    TempDir dir("variableset");
    const std::string path = dir.File("sets.sys");
    {
        SystemFileDataSource w;
        w.CopyDictionary(dict);
        w.SetFileSpec(path.c_str());
        std::vector<OBS> row(dict.GetObsAreaSize());
        dict.InitCells(row.data(), 0, dict.ColumnCount());
        w.AddRow(row.data());
        w.Close();
    }
    SystemFileDataSource r(path, "", false);
    for (int subtype : {5, 7, 19}) EXPECT_TRUE(r.bExtensionFound(subtype)) << subtype;
    EXPECT_EQ(Describe(VariableSets(r, eVarSets)), Describe(plain));
    std::vector<VariableSet> wantMr = mr;
    wantMr[2].SetLabel("");  // the label is set by variable and not written
    EXPECT_EQ(Describe(VariableSets(r, eMRSets)), Describe(wantMr));
    EXPECT_EQ(VariableSets(r, eMRSets)[2].GetLabel(r), "Label of Third");
}

// Found by fuzzing the records. A dictionary as read can hold two sets of
// exactly the same name: from two subtype-19 records that both define "$m",
// or from one record where a repeated name replaced the first set of that
// name in any case. Written, such sets share a record, where the later one
// replaces the earlier.
TEST(VariableSetHandlersTest, SetsOfOneNameAsReadAreOneSetOnceWritten) {
    using Names = std::vector<std::string>;
    auto dictionary = [](DataFreeDataSource& ds) { AddVars(ds, {"Q1", "Essay"}); };
    DataFreeDataSource read;
    dictionary(read);
    ApplyText(7, read, "$c=C 0  q1 essay\n");
    ApplyText(19, read, "$m=E 1 1 1 0  Q1 Essay\n");
    ApplyText(19, read, "$m=E 1 1 2 0  Essay\n");
    ApplyText(5, read, "alL= essay\nall= q1\nalL= essay\nall= q1 essay\n");
    EXPECT_EQ(Describe(VariableSets(read, eMRSets)),
              (Names{"$c|1|0|||Q1|Essay", "$m|2|1||1|Q1|Essay", "$m|2|1||2|Essay"}));
    EXPECT_EQ(Describe(VariableSets(read, eVarSets)), (Names{"all|0|0|||Q1|Essay", "all|0|0|||Q1"}));
    EXPECT_EQ(BuildText(19, read), "$m=E 1 1 1 0  Q1 Essay\n$m=E 1 1 2 0  Essay\n");
    EXPECT_EQ(BuildText(5, read), "all= q1 essay\nall= q1\n");
    DataFreeDataSource again;
    dictionary(again);
    for (int subtype : {5, 7, 19}) ApplyText(subtype, again, BuildText(subtype, read));
    EXPECT_EQ(Describe(VariableSets(again, eMRSets)), (Names{"$c|1|0|||Q1|Essay", "$m|2|1||2|Essay"}));
    EXPECT_EQ(Describe(VariableSets(again, eVarSets)), (Names{"all|0|0|||Q1"}));
}
