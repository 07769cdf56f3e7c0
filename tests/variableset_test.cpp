// Variable sets and multiple-response sets: the line syntax of every set type,
// the record text with its replacement rule, malformed lines, the conversions
// to the data source's sets, the handlers of subtypes 5, 7 and 19, and system
// file round trips.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "SFExtensionHandlers.h"
#include "SystemFileDataSource.h"
#include "VariableNameIndex.h"
#include "datafreedatasource.h"
#include "memorydatastore.h"
#include "variableset.h"

namespace {

VariableSet MakeSet(const std::string& name, VariableSet::VariableSetType type, const std::string& flags,
                    const std::string& label, const std::string& value, const std::vector<std::string>& vars) {
    VariableSet set(name, type);
    set.SetFlags(flags);
    set.SetLabel(label);
    set.SetValue(value);
    for (const std::string& v : vars) set.AddVariableName(v);
    return set;
}

// The condition text of the 1204 raised by f; empty when nothing was raised.
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
    for (const std::string& name : names) ds.MakeVariable(0).SetName(name.c_str());
}

// The sets of one kind, named by the variables' current names.
std::vector<VariableSet> Sets(const VESK_DataSource& ds, VarSetsType kind) { return VariableSets(ds, kind); }

// Every field of two lists, names compared as stored.
void ExpectSameSets(const std::vector<VariableSet>& want, const std::vector<VariableSet>& got) {
    ASSERT_EQ(want.size(), got.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(want[i].GetName());
        EXPECT_EQ(want[i].GetName(), got[i].GetName());
        EXPECT_EQ(want[i].GetType(), got[i].GetType());
        EXPECT_EQ(want[i].GetFlags(), got[i].GetFlags());
        EXPECT_EQ(want[i].GetLabel(), got[i].GetLabel());
        EXPECT_EQ(want[i].GetValue(), got[i].GetValue());
        EXPECT_EQ(want[i].GetVariableNames(), got[i].GetVariableNames());
    }
}

}  // namespace

TEST(VariableSetTest, LinesOfEveryTypeAndTheirParse) {
    const struct {
        VariableSet set;
        std::string line;
    } cases[] = {
        {MakeSet("colours", VariableSet::eVariableSet, "0", "", "", {"red", "green", "blue"}),
         "colours= red green blue\n"},
        {MakeSet("empty", VariableSet::eVariableSet, "0", "", "", {}), "empty= \n"},
        {MakeSet("$pets", VariableSet::eMultipleCategories, "0", "Pet type", "", {"cat", "dog"}),
         "$pets=C 8 Pet type cat dog\n"},
        {MakeSet("$c", VariableSet::eMultipleCategories, "0", "", "", {"a"}), "$c=C 0  a\n"},
        {MakeSet("$d", VariableSet::eMultipleDichotomies, "0", "Has one", "yes no", {"q1", "q2"}),
         "$d=D6 yes no 7 Has one q1 q2\n"},
        {MakeSet("$x", VariableSet::eMultipleDichotomies, "11", "ignored", "1", {"a", "b"}),
         "$x=E 11 1 1 0  a b\n"},
        {MakeSet("$e", VariableSet::eMultipleDichotomies, "1", "Counted", "12", {"a"}), "$e=E 1 2 12 7 Counted a\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.set.ToExtension(), c.line);
        const VariableSet back(c.line);
        // A label set by variable is not written, so it comes back empty.
        VariableSet want = c.set;
        if (want.LabelSetByVariable() && want.GetType() == VariableSet::eMultipleDichotomies) want.SetLabel("");
        EXPECT_TRUE(back == want);
        EXPECT_EQ(back.ToExtension(), c.line);
    }

    // Lengths count bytes: a label may hold blanks, "=" and digits.
    const VariableSet tricky = MakeSet("$t", VariableSet::eMultipleDichotomies, "0", "a = 3 b ", "x y", {"v"});
    EXPECT_TRUE(VariableSet(tricky.ToExtension()) == tricky);
    // The line ends at its first line break; pieces of blanks are skipped,
    // a name already listed (in any case) is not added again.
    const VariableSet listed("s=  a   B b A c\r\nignored");
    EXPECT_EQ(listed.GetVariableNames(), (std::vector<std::string>{"a", "B", "c"}));
    // Line breaks inside the label are written as blanks.
    EXPECT_EQ(MakeSet("$n", VariableSet::eMultipleCategories, "0", "a\nb", "", {"v"}).ToExtension(),
              "$n=C 3 a b v\n");
}

TEST(VariableSetTest, FlagsCaseEqualityLabelAndValidate) {
    VariableSet set("$S", VariableSet::eMultipleDichotomies);
    const char* flags[][2] = {{"", "0"}, {"0", "0"}, {"1", "1"}, {"01", "01"}, {"11", "11"}, {"x0", "1"},
                              {"10", "1"},  {"0x", "01"}, {"111", "11"}};
    for (const auto& f : flags) {
        set.SetFlags(f[0]);
        EXPECT_EQ(set.GetFlags(), f[1]) << f[0];
    }
    set.SetFlags("01");
    EXPECT_TRUE(set.LabelSetByVariable());
    EXPECT_FALSE(set.UseVariableCategoryLabels());
    EXPECT_FALSE(set.IsEnhancedDichotomy());
    set.SetFlags("1");
    EXPECT_TRUE(set.IsEnhancedDichotomy());
    set.SetType(VariableSet::eMultipleCategories);
    EXPECT_FALSE(set.IsEnhancedDichotomy());

    VariableSet a = MakeSet("$Abc", VariableSet::eMultipleCategories, "0", "L", "", {"Xy", "z"});
    VariableSet b = MakeSet("$aBC", VariableSet::eMultipleCategories, "0", "L", "", {"xY", "Z"});
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.GetName(VariableSet::eLowerCase), "$abc");
    EXPECT_EQ(a.GetName(VariableSet::eUpperCase), "$ABC");
    EXPECT_EQ(a.GetVariableNames(VariableSet::eUpperCase), (std::vector<std::string>{"XY", "Z"}));
    b.SetLabel("l");
    EXPECT_FALSE(a == b);
    b = a;
    b.AddVariableName("w");
    EXPECT_FALSE(a == b);
    b = a;
    b.SetFlags("01");
    EXPECT_FALSE(a == b);

    // The label to show: own, or the first labelled variable, or the first name.
    DataFreeDataSource ds;
    AddVars(ds, {"p", "q"});
    ds.GetVariable(1).SetLabel("Label of q");
    VariableSet shown = MakeSet("$m", VariableSet::eMultipleDichotomies, "0", "Own", "1", {"gone", "p", "q"});
    EXPECT_EQ(shown.GetLabel(ds), "Own");
    shown.SetFlags("01");
    EXPECT_EQ(shown.GetLabel(ds), "Label of q");
    ds.GetVariable(1).SetLabel("");
    EXPECT_EQ(shown.GetLabel(ds), "gone");

    const struct {
        VariableSet set;
        int code;
    } validations[] = {
        {MakeSet("plain", VariableSet::eVariableSet, "0", "", "", {"a"}), VariableSet::kNoError},
        {MakeSet("$mr", VariableSet::eMultipleCategories, "0", "", "", {"a"}), VariableSet::kNoError},
        {MakeSet("$" + std::string(64, 'n'), VariableSet::eMultipleCategories, "0", "", "", {"a"}),
         VariableSet::kNameLengthTooBig},
        {MakeSet("mr", VariableSet::eMultipleCategories, "0", "", "", {"a"}), VariableSet::kInvalidSetName},
        {MakeSet("$plain", VariableSet::eVariableSet, "0", "", "", {"a"}), VariableSet::kInvalidSetName},
        {MakeSet("1bad", VariableSet::eVariableSet, "0", "", "", {"a"}), VariableSet::kInvalidSetName},
        {MakeSet("$d", VariableSet::eMultipleDichotomies, "0", "", "", {"a"}), VariableSet::kValueOutOfBound},
        {MakeSet("$d", VariableSet::eMultipleDichotomies, "0", "", "ninechars", {"a"}),
         VariableSet::kValueOutOfBound},
        {MakeSet("$d", VariableSet::eMultipleDichotomies, "0", "", "12345.6789", {"a"}), VariableSet::kNoError},
        {MakeSet("$d", VariableSet::eMultipleDichotomies, "0", "", "eight ch", {"a"}), VariableSet::kNoError},
        {MakeSet("$d", VariableSet::eMultipleDichotomies, "0", "", "1", {}), VariableSet::kTooFewVariables},
    };
    for (const auto& v : validations) EXPECT_EQ(v.set.Validate(), v.code) << v.set.GetName();
}

TEST(VariableSetTest, MalformedLinesAndUnwritableSetsRaise1204) {
    const std::pair<const char*, const char*> lines[] = {
        {"no equals sign", "equal != std::string::npos"},
        {"$x=Q 1 a v", "(type == 'D') || (type == 'C') || (type == 'E')"},
        {"$x=", "(type == 'D') || (type == 'C') || (type == 'E')"},
        {"$x=E11 1 1 0  a", "blank == ' '"},
        {"$x=D0 1 0  a", "length != 0"},
        {"$x=Dz 1 0  a", "length != 0"},
        {"$x=D9 1 0  a", "length <= line.size()"},
        {"$x=D99999999999999999999999 1", "length <= line.size()"},
        {"$x=C x label a", "(length != 0) || (strLabelLength[0] == '0')"},
        {"$x=C  label a", "(length != 0) || (strLabelLength[0] == '0')"},
        {"$x=C 50 short a", "length <= line.size()"},
        {"$x=C 5 labelXa", "space == ' '"},
        {"$x=C5 label a", "space == ' '"},
        {"$x=D1 1", "space == ' '"},
        {"$x=C 3 abc", "space == ' '"},
    };
    for (const auto& [line, condition] : lines)
        EXPECT_EQ(MalformedCondition([&] { VariableSet set(line); }), condition) << line;

    const std::pair<VariableSet, const char*> unwritable[] = {
        {MakeSet("mr", VariableSet::eMultipleCategories, "0", "", "", {"a"}), "vset.GetName()[0] == '$'"},
        {MakeSet("$d", VariableSet::eMultipleDichotomies, "0", "", "", {"a"}), "vset.GetValue().size() > 0"},
        {MakeSet("$plain", VariableSet::eVariableSet, "0", "", "", {"a"}), "plain set name does not begin with '$'"},
        {MakeSet("a=b", VariableSet::eVariableSet, "0", "", "", {"a"}), "vset.GetName() has no '=' or line break"},
    };
    for (const auto& [set, condition] : unwritable)
        EXPECT_EQ(MalformedCondition([&] { set.ToExtension(); }), condition) << set.GetName();

    // One bad line rejects the whole record: the stored sets stay as they were.
    DataFreeDataSource ds;
    AddVars(ds, {"a", "b"});
    ApplyText(5, ds, "first= a b\n");
    ASSERT_EQ(ds.GetVariableSets().size(), 1u);
    EXPECT_EQ(MalformedCondition([&] { ApplyText(5, ds, "second= a\nbroken\nthird= b\n"); }),
              "equal != std::string::npos");
    ASSERT_EQ(ds.GetVariableSets().size(), 1u);
    EXPECT_EQ(ds.GetVariableSets()[0].Name(), "first");
    SystemFileExtensionRecord wide;
    wide.SetInt32s(std::vector<int32_t>{1}.data(), 1);
    SystemFileOptions options;
    for (int subtype : {5, 7, 19})
        EXPECT_EQ(MalformedCondition([&] { ReadExtensionRecord(subtype, ds, options, wide); }),
                  "rec.UnitSize() == sizeof(char)");

    // Damaged records raise 1204 or parse; nothing else happens.
    std::mt19937 rng(7);
    const std::string good = "$pets=C 8 Pet type cat dog\n$x=E 11 1 1 0  a b\n$d=D2 no 3 abc a\nplain= a b\n";
    for (int round = 0; round < 3000; ++round) {
        std::string text = good;
        for (int k = 0; k < 1 + int(rng() % 4); ++k) {
            const size_t at = rng() % text.size();
            switch (rng() % 3) {
                case 0: text[at] = "$=CDE 0123456789\nx"[rng() % 18]; break;
                case 1: text.erase(at, 1 + rng() % 3); break;
                default: text.insert(at, 1, char(rng() % 256)); break;
            }
            if (text.empty()) text = "x";
        }
        std::vector<VariableSet> sets;
        try {
            ParseExtension(text.data(), text.size(), 1 + int(rng() % 2) * 6, sets);
        } catch (const SystemFileException& e) {
            ASSERT_EQ(e.Code(), 1204);
        }
    }
}

TEST(VariableSetTest, RecordTextReplacementRuleAndSubtypeSelection) {
    std::vector<VariableSet> sets;
    const std::string text = "$a=C 3 one x\n\n$b=C 0  y\r\n$a=C 3 two z w\nq\n$A=C 0  u\n$A=C 5 again v\n";
    ParseExtension(text.data(), text.size(), 7, sets);
    // The repeated "$a" replaces the first; "$A" is new to this record and is
    // appended; the repeated "$A" replaces the first set whose upper-cased
    // name is "$A", the one named "$a".
    ASSERT_EQ(sets.size(), 3u);
    EXPECT_EQ(sets[0].GetName(), "$A");
    EXPECT_EQ(sets[0].GetLabel(), "again");
    EXPECT_EQ(sets[0].GetVariableNames(), std::vector<std::string>{"v"});
    EXPECT_EQ(sets[1].GetName(), "$b");
    EXPECT_EQ(sets[2].GetName(), "$A");
    EXPECT_EQ(sets[2].GetVariableNames(), std::vector<std::string>{"u"});

    // Subtype 7 puts the "$" in front; other subtypes read such a line as a
    // plain set.
    sets.clear();
    const std::string noDollar = "x=C 0  a\n";
    ParseExtension(noDollar.data(), noDollar.size(), 7, sets);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].GetName(), "$x");
    EXPECT_EQ(sets[0].GetType(), VariableSet::eMultipleCategories);
    EXPECT_EQ(sets[0].GetLabel(), "");
    ParseExtension(noDollar.data(), noDollar.size(), 19, sets);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[1].GetType(), VariableSet::eVariableSet);

    // A record adds to the list it is given; a name of an earlier record is
    // not a repeat.
    const std::string again = "$x=C 0  b\n";
    ParseExtension(again.data(), again.size(), 7, sets);
    ASSERT_EQ(sets.size(), 3u);

    const std::vector<VariableSet> mixed = {
        MakeSet("plain", VariableSet::eVariableSet, "0", "", "", {"a"}),
        MakeSet("$cat", VariableSet::eMultipleCategories, "1", "L", "", {"a"}),
        MakeSet("$dich", VariableSet::eMultipleDichotomies, "01", "L", "1", {"a"}),
        MakeSet("$enh", VariableSet::eMultipleDichotomies, "1", "L", "1", {"a"}),
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
    const VariableSet set = MakeSet("$s", VariableSet::eMultipleDichotomies, "11", "L", "2", {"gamma", "nope", "ALPHA"});
    const VariableNameIndex names(ds);
    for (const VariableNameIndex* index : {&names, static_cast<const VariableNameIndex*>(nullptr)}) {
        VariableSetImpl impl;
        ConvertToImpl(set, ds, impl, index);
        EXPECT_EQ(impl.Name(), "$s");
        EXPECT_EQ(impl.Value(), "2");
        EXPECT_TRUE(impl.UseCategoryLabels());
        EXPECT_TRUE(impl.LabelFromVariable());
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
        MakeSet("p", VariableSet::eVariableSet, "0", "", "", {"beta"}),
        MakeSet("$m", VariableSet::eMultipleCategories, "0", "", "", {"beta", "alpha"}),
        MakeSet("$gone", VariableSet::eMultipleCategories, "0", "", "", {"unknown"}),
    };
    SaveVariableSets(all, ds, eVarSets);
    ASSERT_EQ(ds.GetVariableSets().size(), 1u);
    EXPECT_EQ(ds.GetVariableSets()[0].Name(), "p");
    EXPECT_TRUE(ds.GetMRSets().empty());
    SaveVariableSets(all, ds, eMRSets);
    ASSERT_EQ(ds.GetMRSets().size(), 1u);
    EXPECT_EQ(ds.GetMRSets()[0].Name(), "$m");
    ds.DeleteVariables(1, 1);
    ExpectSameSets(Sets(ds, eMRSets), {MakeSet("$m", VariableSet::eMultipleCategories, "0", "", "", {"Alpha"})});
}

TEST(VariableSetHandlersTest, BuildAndApplyThroughShortAndLongNames) {
    // The writer's copy: long names first (subtype 19), short names after
    // subtype 13 renamed it (subtypes 7 and 5).
    DataFreeDataSource writer;
    AddVars(writer, {"FirstLongName", "SecondLongName", "Third"});
    const std::vector<VariableSet> plain = {MakeSet("colours", VariableSet::eVariableSet, "0", "", "",
                                                    {"FirstLongName", "Third"})};
    const std::vector<VariableSet> mr = {
        MakeSet("$cat", VariableSet::eMultipleCategories, "0", "Categories", "", {"SecondLongName", "Third"}),
        MakeSet("$dich", VariableSet::eMultipleDichotomies, "0", "Counted at yes", "yes", {"FirstLongName"}),
        MakeSet("$enh", VariableSet::eMultipleDichotomies, "11", "", "1", {"Third", "FirstLongName"}),
    };
    SaveVariableSets(plain, writer, eVarSets);
    SaveVariableSets(mr, writer, eMRSets);

    const std::string text19 = BuildText(19, writer);
    EXPECT_EQ(text19, "$enh=E 11 1 1 0  Third FirstLongName\n");
    const char* shortNames[] = {"FIRSTLON", "SECONDLO", "THIRD"};
    for (int v = 0; v < 3; ++v) writer.GetVariable(v).SetName(shortNames[v]);
    const std::string text7 = BuildText(7, writer);
    const std::string text5 = BuildText(5, writer);
    EXPECT_EQ(text5, "colours= firstlon third\n");
    EXPECT_EQ(text7, "$cat=C 10 Categories secondlo third\n$dich=D3 yes 14 Counted at yes firstlon\n");

    // Nothing to write leaves the records empty.
    DataFreeDataSource none;
    for (int subtype : {5, 7, 19}) {
        SystemFileExtensionRecord rec;
        WriteExtensionRecord(subtype, none, rec);
        EXPECT_TRUE(rec.IsEmpty()) << subtype;
    }

    // The reader: 5 and 7 meet the short names, 19 the long names; the sets
    // of 19 join those of 7. A set naming only unknown variables disappears.
    DataFreeDataSource reader;
    AddVars(reader, {"FIRSTLON", "SECONDLO", "THIRD"});
    ApplyText(5, reader, text5 + "ghost= nobody\n");
    ApplyText(7, reader, text7);
    const char* longNames[] = {"FirstLongName", "SecondLongName", "Third"};
    for (int v = 0; v < 3; ++v) reader.GetVariable(v).SetName(longNames[v]);
    ApplyText(19, reader, text19);

    ExpectSameSets(Sets(reader, eVarSets), plain);
    std::vector<VariableSet> wantMr = mr;
    wantMr[2].SetLabel("");  // the label is set by variable and not written
    ExpectSameSets(Sets(reader, eMRSets), wantMr);
}

TEST(VariableSetHandlersTest, SystemFileRoundTripInEveryCompression) {
    char dir[] = "/tmp/variablesetXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    MemoryDataStore dict;
    AddVars(dict, {"Satisfaction_with_price", "Satisfaction_with_service", "Owns_cat", "Owns_dog", "region"});
    dict.GetVariable(2).SetLabel("Cat owner");
    const std::vector<VariableSet> plain = {
        MakeSet("satisfaction", VariableSet::eVariableSet, "0", "", "",
                {"Satisfaction_with_price", "Satisfaction_with_service"}),
        MakeSet("all", VariableSet::eVariableSet, "0", "", "", {"region", "Owns_dog", "Owns_cat"}),
    };
    const std::vector<VariableSet> mr = {
        MakeSet("$sat", VariableSet::eMultipleCategories, "0", "Satisfaction, both", "",
                {"Satisfaction_with_price", "Satisfaction_with_service"}),
        MakeSet("$pets", VariableSet::eMultipleDichotomies, "0", "Pets owned", "1", {"Owns_cat", "Owns_dog"}),
        MakeSet("$petsE", VariableSet::eMultipleDichotomies, "1", "Pets, enhanced", "1", {"Owns_dog", "Owns_cat"}),
        MakeSet("$petsV", VariableSet::eMultipleDichotomies, "11", "", "1", {"Owns_cat"}),
    };
    SaveVariableSets(plain, dict, eVarSets);
    SaveVariableSets(mr, dict, eMRSets);
    for (int compression : {0, 1, 2}) {
        SCOPED_TRACE(compression);
        const std::string path = std::string(dir) + "/sets" + std::to_string(compression) + ".sav";
        {
            SystemFileDataSource w;
            w.CopyDictionary(dict);
            w.SetCompressionLevel(compression);
            w.SetFileSpec(path.c_str());
            std::vector<OBS> row(dict.GetObsAreaSize());
            dict.InitCells(row.data(), 0, dict.ColumnCount());
            w.AddRow(row.data());
            w.Close();
        }
        SystemFileDataSource r(path, "", false);
        EXPECT_TRUE(r.bExtensionFound(5));
        EXPECT_TRUE(r.bExtensionFound(7));
        EXPECT_TRUE(r.bExtensionFound(19));
        ExpectSameSets(Sets(r, eVarSets), plain);
        ExpectSameSets(Sets(r, eMRSets), Sets(dict, eMRSets));
        EXPECT_EQ(VariableSets(r, eMRSets)[3].GetLabel(r), "Cat owner");
    }
    std::system((std::string("rm -rf ") + dir).c_str());
}
