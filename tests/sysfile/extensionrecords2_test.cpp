// Extension records 21, 22, 6, 17, 18, 24: both byte orders, writer-copy changes, malformed records, unknown names.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <bit>
#include <cstring>
#include <tuple>
#include <random>
#include <string>
#include <vector>

#include "SystemFileExtensionRecord.h"
#include "SystemFileDataSource.h"
#include "datafreedatasource.h"

using namespace std::string_literals;

namespace {

constexpr bool kLittle = std::endian::native == std::endian::little;

// Record payloads laid out by hand in a chosen byte order.
struct Bytes {
    bool big;
    std::string out;
    Bytes& I32(int64_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(char(uint32_t(v) >> (8 * (big ? 3 - i : i))));
        return *this;
    }
    Bytes& Text(const std::string& s) { return out += s, *this; }
    Bytes& Byte(int b) { return out.push_back(char(b)), *this; }
};

std::string Units(const std::vector<int32_t>& units, bool big) {
    Bytes b{big, {}};
    for (int32_t x : units) b.I32(x);
    return b.out;
}

void Apply(int subtype, VESK_DataSource& ds, bool big, int32_t unitSize, const std::string& payload) {
    SystemFileExtensionRecord rec;
    rec.SetUnitSize(unitSize);
    rec.SetNUnits(int32_t(payload.size()) / unitSize);
    if (!payload.empty()) rec.SetContents(payload.data());
    SystemFileOptions o;
    o._reversed = big == kLittle;
    ReadExtensionRecord(subtype, ds, o, rec);
}

// Stands for the writer's copy of a dictionary. The short names are those
// the test puts in the options' long-name table.
class WriterSource : public DataFreeDataSource, public SystemFileWriterContext {
public:
    VESK_DataSource& WriterDictionary() override { return *this; }
    SystemFileOptions& WriterOptions() override { return fOptions; }
    std::vector<std::pair<std::string, std::string>>& AssignShortNames() override { return fOptions._longNames; }
    void SplitVeryLongStrings(const std::vector<std::pair<int, int>>& strings) override { fSplit = strings; }
    SystemFileOptions fOptions;
    std::vector<std::pair<int, int>> fSplit;  // what the writer was asked to split
};

VESK_Variable& AddVar(VESK_DataSource& ds, const char* name, int type) {
    VESK_Variable& v = ds.MakeVariable(type);
    v.SetName(name);
    return v;
}

std::string Build(int subtype, const VESK_DataSource& source) {
    SystemFileExtensionRecord rec;
    WriteExtensionRecord(subtype, source, rec);
    return rec.Text();
}
std::string Build(int subtype, WriterSource& writer) {
    SystemFileExtensionRecord rec;
    WriteExtensionRecord(subtype, writer, rec, &writer);
    return rec.Text();
}

// Column, type and extra of each date entry (key included), then the period (given, value) and the start.
std::vector<int> DateInfo(const VESK_TrendsInfo& info) {
    std::vector<int> out;
    for (int i = 0; i <= info.GetNDateVars(); ++i) {
        int column, type, extra;
        info.GetDateVar(i, column, type, extra);
        out.insert(out.end(), {column, type, extra});
    }
    bool given;
    int period, first, second;
    info.GetPeriod(given, period);
    info.GetStart(first, second);
    out.insert(out.end(), {given, period, first, second});
    return out;
}

// Role, level and attribute text of a variable.
std::string Summary(const VESK_Variable& v) {
    return std::to_string(v.GetRole()) + "/" + std::to_string(v.GetMeasurementLevel()) + " " +
           v.GetAttributes().MakeString();
}

int Rule(const VESK_Variable& v) {
    const OBS *v1, *v2, *v3;
    return v.GetMissingValues(v1, v2, v3);
}

std::vector<std::pair<std::string, std::string>> Labels(const VESK_Variable& var) {
    std::vector<std::pair<std::string, std::string>> out;
    const VESK_ValueLabelMap map(var.GetValueLabels());
    map.Reset();
    std::string value;
    const char* label;
    while (map.GetNextPair(value, label)) out.emplace_back(value, label);
    return out;
}

// A wide string ahead of the date variables (so cells and columns differ) and a 12-byte string after them.
void DateDictionary(VESK_DataSource& ds) {
    for (auto [name, type] : {std::pair("label", 20), {"YEAR_", 0}, {"MONTH_", 0}, {"DATE_", 12}, {"s12", 12}})
        AddVar(ds, name, type);
}

// Years at the column, months and the date key after it; a period of 12.
void SetDates(VESK_DataSource& ds, int yearColumn, int startYear, int startMonth) {
    VESK_TrendsInfo& info = ds.GetTrendsInfo();
    info.SetNDateVars(2);
    info.SetDateVar(0, yearColumn, VESK_TrendsInfo::e_YEAR, 1);
    info.SetDateVar(1, yearColumn + 1, VESK_TrendsInfo::e_MONTH, 12);
    info.SetDateVar(2, yearColumn + 2, VESK_TrendsInfo::e_DATKEY, 0);
    info.SetPeriod(true, 12);
    info.SetStart(startYear, startMonth);
}

// Everything these records carry; a very long string ahead of the dates moves segments and short names.
void RichDictionary(VESK_DataSource& ds) {
    VESK_ValueLabelMap wide(20);
    wide.AddPair("alpha"s, "First");
    wide.AddPair("beta"s, "Second");
    VESK_Variable& longString = AddVar(ds, "LongStringVariable", 20);
    longString.SetValueLabels(wide);
    longString.SetMissingValues("a", "b", nullptr);
    VESK_ValueLabelMap veryWide(300);
    veryWide.AddPair("long value"s, "Long");
    AddVar(ds, "CommentText", 300).SetValueLabels(veryWide);
    DatasourceAttributes note;
    note.Define("Note", {"n1", "n2"});
    for (auto [name, role, level] : {std::tuple("Extended", 7, 5), {"Six", 6, 4}, {"plain", 2, 3}}) {
        VESK_Variable& v = AddVar(ds, name, 0);
        v.SetRole(VESK_Variable::Role(role));
        v.SetMeasurementLevel(VESK_Variable::MeasurementLevel(level));
    }
    ds.GetVariable(2).SetAttributes(note);
    for (auto [name, type] : {std::pair("YEAR_", 0), {"MONTH_", 0}, {"DATE_", 12}}) AddVar(ds, name, type);
    SetDates(ds, 5, 2001, 4);
    DatasourceAttributes file;
    file.Define("Origin", {"survey"});
    file.Define("$VariableView", {"names", "labels"});
    ds.SetAttributes(file);
    ds.SetDEFormattingInfo(DataEditorFormattingInfo("<columns widths='8,12'/>"));
}

}  // namespace

TEST(SFExtensionWideStringsTest, LabelsAndMissingValuesMoveToTheRecords) {
    VESK_ValueLabelMap wide(20);
    wide.AddPair("alpha"s, "First");
    wide.AddPair("beta"s, "Second");
    VESK_ValueLabelMap narrow(8);
    narrow.AddPair("x"s, "Ex");
    const auto fill = [&](VESK_DataSource& ds) {
        VESK_Variable& longer = AddVar(ds, "LongerName", 20);
        longer.SetValueLabels(wide);
        longer.SetMissingValues("a", "b", nullptr);
        VESK_Variable& shorter = AddVar(ds, "short", 8);
        shorter.SetValueLabels(narrow);
        shorter.SetMissingValues("z", nullptr, nullptr);
        AddVar(ds, "n", 0).SetMissingValues(&VESK_SYSMIS, nullptr, nullptr);
    };
    WriterSource writer;
    fill(writer);
    const auto pairs = Labels(writer.GetVariable(0));
    ASSERT_EQ(pairs.size(), 2u);
    // Native order. Labels: name, width, count, then (value, label) twice.
    // Missing values: name, count, value width 8, the values.
    Bytes labels{!kLittle, {}};
    labels.I32(10).Text("LongerName").I32(20).I32(2);
    for (const auto& [value, label] : pairs) labels.I32(20).Text(value).I32(int64_t(label.size())).Text(label);
    EXPECT_EQ(Build(21, writer), labels.out);
    EXPECT_EQ(Build(22, writer), (Bytes{!kLittle, {}}.I32(10).Text("LongerName").Byte(2).I32(8).Text("a       b       ").out));
    // The copy keeps the narrow ones for the older records only.
    EXPECT_FALSE(writer.GetVariable(0).GetValueLabels().IsValid());
    EXPECT_EQ(Labels(writer.GetVariable(1)).size(), 1u);
    EXPECT_EQ(std::vector<int>({Rule(writer.GetVariable(0)), Rule(writer.GetVariable(1)), Rule(writer.GetVariable(2))}),
              std::vector<int>({0, 1, 1}));
    // A source that is not a writer's copy is described but left alone.
    DataFreeDataSource plain;
    fill(plain);
    EXPECT_EQ(Build(21, plain), labels.out);
    EXPECT_EQ(Labels(plain.GetVariable(0)).size(), 2u);
    // Unknown names, blocks whose width differs from the variable's and
    // missing values wider than 8 are skipped.
    const OBS *v1, *v2, *v3;
    for (bool big : {false, true}) {
        Bytes b{big, {}};
        b.I32(10).Text("LONGERNAME").I32(20).I32(2);
        b.I32(4).Text("beta").I32(6).Text("Second");
        b.I32(5).Text("alpha").I32(5).Text("First");
        b.I32(7).Text("missing").I32(12).I32(1).I32(1).Text("a").I32(1).Text("A");
        b.I32(3).Text("s12").I32(16).I32(1).I32(1).Text("b").I32(1).Text("B");
        b.I32(3).Text("s16").I32(16).I32(1).I32(1).Text("c").I32(1).Text("C");
        Bytes m{big, {}};
        m.I32(10).Text("LONGERNAME").Byte(3).I32(8).Text("a       b       cc      ");
        m.I32(3).Text("s12").Byte(1).I32(9).Text("123456789");
        m.I32(4).Text("nope").Byte(1).I32(8).Text("xxxxxxxx");
        DataFreeDataSource target;
        AddVar(target, "LongerName", 20);
        AddVar(target, "s12", 12);
        AddVar(target, "s16", 16);
        Apply(21, target, big, 1, b.out);
        Apply(22, target, big, 1, m.out);
        EXPECT_EQ(Labels(target.GetVariable(0)), pairs) << big;
        EXPECT_FALSE(target.GetVariable(1).GetValueLabels().IsValid());
        ASSERT_EQ(Labels(target.GetVariable(2)).size(), 1u);
        EXPECT_EQ(Labels(target.GetVariable(2))[0].second, "C");
        ASSERT_EQ(target.GetVariable(0).GetMissingValues(v1, v2, v3), 3);
        EXPECT_EQ(std::string(v3->c, 8), "cc      ");
        EXPECT_EQ(target.GetVariable(0).IsMissing("b"), 1);
        EXPECT_EQ(Rule(target.GetVariable(1)), 0);
    }
    // Nothing qualifies: no record.
    DataFreeDataSource none;
    AddVar(none, "short", 8).SetValueLabels(narrow);
    none.GetVariable(0).SetMissingValues("z", nullptr, nullptr);
    for (int subtype : {21, 22}) EXPECT_TRUE(Build(subtype, none).empty()) << subtype;
}

TEST(SFExtensionTrendsInfoTest, DateVariablesPeriodAndStartRoundTrip) {
    DataFreeDataSource source;
    DateDictionary(source);
    SetDates(source, 1, 1990, 3);
    // The date key came last: no closing zeros.
    const std::vector<int32_t> units{1, 12, 2, 3, 1990, 1, 4, 2, 1, 5, 4, 12, 6, 11, 0};
    EXPECT_EQ(Build(6, source), Units(units, !kLittle));
    for (bool big : {false, true}) {
        DataFreeDataSource target;
        DateDictionary(target);
        target.GetTrendsInfo().SetPeriod(false, 7);
        Apply(6, target, big, 4, Units(units, big));
        ASSERT_EQ(target.GetTrendsInfo().GetNDateVars(), 2);
        EXPECT_EQ(DateInfo(target.GetTrendsInfo()), std::vector<int>({1, 2, 1, 2, 4, 12, 3, 11, 0, 1, 12, 1990, 3}));
        EXPECT_TRUE(target.GetTrendsInfo().Validate());
    }
    // Without a key the list closes with zeros; a period alone is written too.
    source.GetTrendsInfo().SetDateVar(2, 3, VESK_TrendsInfo::e_NONE, 0);
    EXPECT_EQ(Build(6, source).size(), 4u * (6 + 6 + 3));
    DataFreeDataSource periodOnly;
    EXPECT_TRUE(Build(6, periodOnly).empty());
    periodOnly.GetTrendsInfo().SetPeriod(true, 4);
    EXPECT_EQ(Build(6, periodOnly).size(), 4u * 9);
    // Triples with no cell are passed over.
    DataFreeDataSource target;
    DateDictionary(target);
    Apply(6, target, !kLittle, 4, Units({0, 1, 1, 1, 1, 1, 0, 9, 9, -5, 9, 9, 4, 2, 1}, !kLittle));
    const std::vector<int> got = DateInfo(target.GetTrendsInfo());
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 3), std::vector<int>({1, VESK_TrendsInfo::e_YEAR, 1}));
}

TEST(ExtensionRecords2Test, MalformedRecordsRaise) {
    const bool big = !kLittle;
    const auto labels = [&](int64_t nameLength, int64_t valLen, int64_t labelLen) {
        return Bytes{big, {}}.I32(nameLength).Text("s12").I32(12).I32(1).I32(valLen).Text("abc").I32(labelLen).Text("L").out;
    };
    const auto missing = [&](int64_t nameLength, int count, int64_t mvlen, size_t valueBytes) {
        return Bytes{big, {}}.I32(nameLength).Text("s12").Byte(count).I32(mvlen).Text(std::string(valueBytes, 'v')).out;
    };
    const auto units = [&](const std::vector<int32_t>& v) { return Units(v, big); };
    std::vector<int32_t> eleven(39, 0);
    eleven[2] = 11;
    const struct {
        int subtype, unitSize;
        std::string payload;
        const char* condition;
    } cases[] = {
        {21, 1, labels(3, 3, 1).substr(0, 13), "r+13 < endr"},
        {21, 1, labels(-5, 3, 1), "nameLength >= 0"},
        {21, 1, labels(40, 3, 1), "r+nameLength+8 < endr"},
        {21, 1, labels(3, 13, 1), "valLen <= varType"},
        {21, 1, labels(3, -1, 1), "valLen >= 0"},
        {21, 1, labels(3, 3, 2), "r + labelLen <= endr"},
        {21, 1, labels(3, 3, 1).substr(0, 24), "r + 4 <= endr"},
        {21, 4, std::string(16, '\0'), "rec.UnitSize() == sizeof(char)"},
        {22, 1, missing(3, 1, 8, 8).substr(0, 12), "r+13 < endr"},
        {22, 1, missing(-1, 1, 8, 8), "nameLength >= 0"},
        {22, 1, missing(10, 1, 8, 0) + "xx", "r+nameLength+5 < endr"},
        {22, 1, missing(3, 2, 8, 8), "r+rule*mvlen <= endr"},
        {22, 1, missing(3, 1, -8, 8), "mvlen >= 0"},
        {22, 1, missing(3, 4, 8, 32), "rule <= 3"},
        {22, 2, std::string(20, 'x'), "rec.UnitSize() == sizeof(char)"},
        {6, 4, units({0, 1, 0, 1, 1}), "nElements >= 6"},
        {6, 4, units({0, 1, 2, 1, 1, 1, 4, 2, 1}), "nElements >= 3*nDateVars+6"},
        {6, 4, units(eleven), "nDateVars >= 0 && nDateVars < eMaxDateVars"},
        {6, 4, units({0, 1, 1, 1, 1, 1, 5, 2, 1, 6, 11, 0, 6, 11, 0}), "nDateVars > 0 && iDateVar <= nDateVars"},
        {6, 4, units({0, 1, 1, 1, 1, 1, 5, 12, 1}), "iType >= e_NONE && iType <= e_DATKEY"},
        {6, 4, units({0, 1, 1, 1, 1, 1, 5, 2, 1, 6, 4, 1}), "iType == e_DATKEY || iType == e_NONE"},
        {6, 4, units({0, 1, 1, 1, 1, 1, 99, 2, 1}), "iVar < nVars"},
        {6, 8, std::string(48, '\0'), "rec.UnitSize() == sizeof(int32)"},
        {17, 2, "ab", "rec.UnitSize() == sizeof(char)"},
        {18, 4, "abcd", "rec.UnitSize() == sizeof(char)"},
        {24, 8, std::string(8, 'x'), "rec.UnitSize() == sizeof(char)"},
    };
    for (const auto& c : cases) {
        DataFreeDataSource target;
        DateDictionary(target);
        try {
            Apply(c.subtype, target, big, c.unitSize, c.payload);
            ADD_FAILURE() << "no error for " << c.condition;
        } catch (const SystemFileException& e) {
            EXPECT_EQ(std::make_tuple(e.Code(), e.Condition(), e.SystemError()), std::make_tuple(1204, c.condition, false));
        }
        EXPECT_FALSE(target.GetVariable(4).GetValueLabels().IsValid());
        EXPECT_EQ(Rule(target.GetVariable(4)), 0);
    }
}

TEST(SFExtensionDatasetAttributesTest, FileAttributesAndEditorFormattingRoundTrip) {
    DataFreeDataSource source;
    for (int subtype : {17, 24}) EXPECT_TRUE(Build(subtype, source).empty()) << subtype;
    DatasourceAttributes attributes;
    attributes.Define("Note", {"one", "two"});
    attributes.Define("$VariableView2", {"old"});
    attributes.Define("$VariableView", {"a", "b"});
    source.SetAttributes(attributes);
    const std::string text = Build(17, source);
    EXPECT_EQ(text, attributes.MakeString());
    DataFreeDataSource target;
    Apply(17, target, false, 1, text);
    // The old view attribute takes the new name, replacing the one there.
    EXPECT_EQ(target.GetAttributes().MakeString(), "Note('one'\n'two'\n)$VariableView2('a'\n'b'\n)");
    // Text that does not parse leaves the attributes as they were.
    Apply(17, target, false, 1, "Broken('x')");
    EXPECT_EQ(target.GetAttributes().Size(), 2u);
    // Editor formatting: texts too short to be one are ignored.
    source.SetDEFormattingInfo(DataEditorFormattingInfo("<grid widths='1,2'/>"));
    Apply(24, target, false, 1, Build(24, source));
    Apply(24, target, false, 1, "x");
    EXPECT_EQ(target.GetDEFormattingInfo(), source.GetDEFormattingInfo());
}

TEST(SFExtensionVariableAttributesTest, ReservedAttributesCarryRoleAndLevel) {
    WriterSource writer;
    VESK_Variable& a = AddVar(writer, "Extended", 0);
    a.SetRole(VESK_Variable::Role(7));
    a.SetMeasurementLevel(VESK_Variable::MeasurementLevel(5));
    DatasourceAttributes own;
    own.Define("Note", {"n"});
    a.SetAttributes(own);
    AddVar(writer, "plain", 0);
    const std::string text = Build(18, writer);
    EXPECT_EQ(text,
              "Extended:Note('n'\n)$@MeasurementLevel('5'\n)$@ExtendRole('7'\n)$@Role('3'\n)/"
              "plain:$@Role('0'\n)");
    // Subtype 11 of the copy says 1; the variables' own attributes are unchanged. Reading
    // these back is checked by the file round trip below.
    EXPECT_EQ(Summary(writer.GetVariable(0)), "7/1 Note('n'\n)");
    // A level read as ordinal or scale drops the stored level; an extended
    // role that contradicts a role other than 3 is dropped.
    DataFreeDataSource other;
    AddVar(other, "v", 0).SetMeasurementLevel(VESK_Variable::eMeasureScale);
    Apply(18, other, false, 1, "v:$@MeasurementLevel('4'\n)$@Role('1'\n)$@ExtendRole('6'\n)");
    EXPECT_EQ(Summary(other.GetVariable(0)), "1/" + std::to_string(VESK_Variable::eMeasureScale) + " ");
}

TEST(SFExtensionVariableAttributesTest, BadOrUnknownEntriesAreSkipped) {
    DataFreeDataSource target;
    for (const char* name : {"a", "b", "c"}) AddVar(target, name, 0);
    // After an entry that does not parse, reading resumes at its ":", so the
    // next name is lost with it.
    Apply(18, target, false, 1, "ghost:N('1'\n)/a:N(x)/b:N('2'\n)/c:N('3'\n)");
    for (int v : {0, 1}) EXPECT_EQ(target.GetVariable(v).GetAttributes().Size(), 0u) << v;
    EXPECT_EQ(target.GetVariable(2).GetAttributes().MakeString(), "N('3'\n)");
    // Hostile text of many colons and unfinished values ends (a hang would be the fault).
    std::string hostile;
    for (int i = 0; i < 40000; ++i) hostile += "a:b('x:";
    Apply(18, target, false, 1, hostile);
}

// Sort-key records (23) start with a valid key half the time so that the index entries get parsed.
TEST(ExtensionRecords2Test, RandomPayloadsOnlyRaiseMalformed) {
    std::mt19937 rng(2024);
    const std::string alphabet = "ab:/('\n)$@\x01\x02\x03\x08\x0c\x1d\x1f!-019\0"s;
    for (int round = 0; round < 1050; ++round) {
        const int subtype = std::vector<int>{6, 17, 18, 21, 22, 23, 24}[size_t(round % 7)];
        std::string payload(size_t(rng() % 64) * 4, '\0');
        for (char& c : payload) c = (rng() % 3) ? alphabet[rng() % alphabet.size()] : char(rng());
        if (subtype == 23 && rng() % 2) payload = "1:0:0!\x1d" + payload;
        DataFreeDataSource target;
        for (auto [name, type] : {std::pair("a", 0), {"b", 12}, {"YEAR_", 0}}) AddVar(target, name, type);
        try {
            Apply(subtype, target, rng() % 2, subtype == 6 ? 4 : 1, payload);
        } catch (const SystemFileException& e) {
            EXPECT_EQ(e.Code(), 1204);
        }
    }
}

TEST(ExtensionRecords2FileTest, DictionaryPartsSurviveEveryCompression) {
    char dir[] = "/tmp/extrecords2XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    DataFreeDataSource want;
    RichDictionary(want);
    for (int compression : {0, 1, 2}) {
        SCOPED_TRACE(compression);
        const std::string path = dir + "/rich"s + std::to_string(compression) + ".sys";
        {
            SystemFileDataSource w;
            w.CopyDictionary(want);
            w.SetCompressionLevel(compression);
            w.SetFileSpec(path.c_str());
            w.CommitDictionary();
            w.Close();
            // Writing changed the writer's copy only.
            EXPECT_EQ(w.GetVariable(0).GetValueLabels().IsValid(), true);
            EXPECT_EQ(w.GetVariable(2).GetMeasurementLevel(), 5);
        }
        SystemFileDataSource got(path, "", false);
        ASSERT_EQ(got.ColumnCount(), want.ColumnCount());
        for (int v : {0, 1}) EXPECT_EQ(Labels(got.GetVariable(v)), Labels(want.GetVariable(v))) << v;
        const VESK_Variable& s = got.GetVariable(0);
        EXPECT_EQ(std::vector<int>({Rule(s), s.IsMissing("a"), s.IsMissing("b")}), std::vector<int>({2, 1, 1}));
        // Roles 6 and 7 come back as 3, levels 4 and 5 as 1, the true values in attributes.
        EXPECT_EQ(Summary(got.GetVariable(2)), "3/1 Note('n1'\n'n2'\n)$@MeasurementLevel('5'\n)$@ExtendRole('7'\n)");
        EXPECT_EQ(Summary(got.GetVariable(3)), "3/1 $@MeasurementLevel('4'\n)$@ExtendRole('6'\n)");
        EXPECT_EQ(Summary(got.GetVariable(4)), "2/" + std::to_string(VESK_Variable::eMeasureScale) + " ");
        EXPECT_EQ(got.GetAttributes().MakeString(), "Origin('survey'\n)$VariableView2('names'\n'labels'\n)");
        EXPECT_EQ(got.GetDEFormattingInfo(), want.GetDEFormattingInfo());
        // The reader settles the date columns against the final dictionary: no Validate needed.
        EXPECT_EQ(DateInfo(got.GetTrendsInfo()), DateInfo(want.GetTrendsInfo()));
    }
    std::system(("rm -rf "s + dir).c_str());
}
