// Extension records: the record object, the handler registry and the read
// and write dispatch, the order in which the writer's handlers change its
// dictionary copy, and the handlers of subtypes 3, 4, 6, 11, 13, 14, 16, 17,
// 18, 20, 21, 22 and 24 in both byte orders: writer-copy changes, malformed
// records, unknown names, file round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "SFExtensionDictionary.h"
#include "SystemFileDataSource.h"
#include "SystemFileExtensionRecord.h"
#include "datafreedatasource.h"
#include "sortednameindex.h"
#include "sources.h"
#include "sysfilelayout.h"
#include "tempdir.h"
#include "vesk_assert.h"

using namespace std::string_literals;

namespace {

constexpr bool kLittle = std::endian::native == std::endian::little;

// Units laid out by hand in a chosen order.
template <typename T>
std::vector<uint8_t> Units(const std::vector<T>& values, bool bigEndian) {
    std::vector<uint8_t> out;
    for (T v : values) {
        uint64_t bits = std::is_floating_point_v<T> ? std::bit_cast<uint64_t>(double(v)) : uint64_t(v);
        for (size_t i = 0; i < sizeof(T); ++i) out.push_back(uint8_t(bits >> 8 * (bigEndian ? sizeof(T) - 1 - i : i)));
    }
    return out;
}
auto Ints32 = Units<int32_t>;
auto Ints64 = Units<int64_t>;
auto Doubles = Units<double>;
SystemFileOptions ReaderOptions(bool bigEndian) {
    SystemFileOptions o;
    return o._reversed = bigEndian == kLittle, o;
}

// Hands a record of those units to the read dispatch, as the reader does.
void Read(int subtype, VESK_DataSource& ds, SystemFileOptions& o, int32_t unitSize, int32_t nUnits,
          const void* bytes) {
    SystemFileExtensionRecord rec;
    rec.SetUnitSize(unitSize);
    rec.SetNUnits(nUnits);
    if (nUnits > 0 && unitSize > 0) rec.SetContents(bytes);
    ReadExtensionRecord(subtype, ds, o, rec);
}
void Read(int subtype, VESK_DataSource& ds, SystemFileOptions& o, int32_t unitSize, const std::vector<uint8_t>& b) {
    Read(subtype, ds, o, unitSize, int32_t(b.size()) / unitSize, b.data());
}
void ReadText(int subtype, VESK_DataSource& ds, SystemFileOptions& o, const std::string& t) {
    Read(subtype, ds, o, 1, int32_t(t.size()), t.data());
}

// Expects a malformed-record error (or, for E = VESK_AssertFailed, an assertion) on the condition.
template <class E = SystemFileException>
void ExpectFailure(const std::function<void()>& call, const std::string& condition) {
    try {
        call();
        ADD_FAILURE() << "no failure for " << condition;
    } catch (const E& e) {
        EXPECT_EQ(std::string(e.Condition()), condition);
        if constexpr (std::is_same_v<E, SystemFileException>) {
            EXPECT_EQ(e.Code(), 1204);
            EXPECT_FALSE(e.SystemError());
        }
    }
}
const auto ExpectAssert = ExpectFailure<VESK_AssertFailed>;

std::vector<int> Display(const VESK_Variable& v) {
    return {v.GetMeasurementLevel(), v.GetDisplayWidth(), v.GetAlignment()};
}

bool Writes(int subtype, const VESK_DataSource& source, SystemFileWriterContext* writer = nullptr) {
    SystemFileExtensionRecord rec;
    WriteExtensionRecord(subtype, source, rec, writer);
    return !rec.IsEmpty();
}

// A numeric, 'Address' (300 bytes, 2 segments), 'Notes' (600, 3 segments), a numeric; long names applied.
void StoredVeryLongStrings(DataFreeDataSource& ds, SystemFileOptions& o) {
    for (auto [name, type] : {std::pair("ID", 0), {"ADDRESS", 255}, {"ADDRE0", 48}, {"NOTES", 255}, {"NOTES0", 255},
                              {"NOTES1", 96}, {"AGE", 0}})
        AddVar(ds, name, type);
    ReadText(13, ds, o, "ID=Id\tADDRESS=Address\tNOTES=Notes\tAGE=Age\tGONE=Gone");
}

class CountingHandler final : public SystemFileExtensionHandler {
public:
    void BuildRecord(const VESK_DataSource&, SystemFileWriterContext*, SystemFileExtensionRecord& rec) override {
        ++built, rec.SetText("built");
    }
    void ApplyRecord(VESK_DataSource&, SystemFileOptions&, const SystemFileExtensionRecord& rec) override {
        ++applied, lastText = rec.Text();
    }
    int built = 0, applied = 0;
    std::string lastText;
};

std::vector<std::string> Names(const VESK_DataSource& ds) {
    std::vector<std::string> names;
    for (unsigned v = 0; v < ds.ColumnCount(); ++v) names.push_back(ds.GetVariable(int(v)).GetName());
    return names;
}

// Name, type, "m" with missing values, "l" with value labels, measurement
// level; one such entry per variable.
std::string CopyState(const VESK_DataSource& ds) {
    std::string text;
    for (unsigned v = 0; v < ds.ColumnCount(); ++v) {
        const VESK_Variable& var = ds.GetVariable(int(v));
        const OBS *a, *b, *c;
        if (v > 0) text += '|';
        text += var.GetName() + ' ' + std::to_string(var.GetType());
        if (var.GetMissingValues(a, b, c) != 0) text += " m";
        if (var.GetValueLabels().IsValid()) text += " l";
        text += ' ' + std::to_string(var.GetMeasurementLevel());
    }
    return text;
}

// Stands in for a library handler, noting the copy after each record it builds.
class NotingHandler final : public SystemFileExtensionHandler {
public:
    NotingHandler(int subtype, SystemFileExtensionHandler& inner, std::vector<std::pair<int, std::string>>& log)
        : fSubtype(subtype), fInner(inner), fLog(log) {
        RegisterExtensionHandler(subtype, this);
    }
    ~NotingHandler() { RegisterExtensionHandler(fSubtype, &fInner); }
    void BuildRecord(const VESK_DataSource& source, SystemFileWriterContext* writer,
                     SystemFileExtensionRecord& rec) override {
        fInner.BuildRecord(source, writer, rec);
        fLog.emplace_back(fSubtype, CopyState(source));
    }
    void ApplyRecord(VESK_DataSource& target, SystemFileOptions& options,
                     const SystemFileExtensionRecord& rec) override {
        fInner.ApplyRecord(target, options, rec);
    }

private:
    int fSubtype;
    SystemFileExtensionHandler& fInner;
    std::vector<std::pair<int, std::string>>& fLog;
};

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

std::string UnitText(const std::vector<int32_t>& units, bool big) {
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

TEST(ExtensionRecordTest, SizesContentsAndMisuse) {
    SystemFileExtensionRecord rec;
    EXPECT_TRUE(rec.IsEmpty());
    ExpectAssert([&] { rec.GetContents(); }, "m_nUnits && m_unitSize");
    rec.SetUnitSize(4);
    rec.SetNUnits(3);
    EXPECT_EQ(rec.ByteSize(), 12u);
    unsigned char* p = rec.GetContents();
    EXPECT_EQ(p, rec.GetContents());  // allocated once
    EXPECT_EQ(std::vector<uint8_t>(p, p + 12), std::vector<uint8_t>(12, 0));
    ExpectAssert([&] { rec.SetNUnits(4); }, "m_pContents == 0");
    const auto big = Ints32({7, -2, 0x01020304}, true);
    std::memcpy(p, big.data(), big.size());
    EXPECT_EQ(std::vector<int32_t>({rec.Int32At(1, ByteOrder::Big()), rec.Int32At(2, ByteOrder::Big()),
                                    rec.Int32At(2, ByteOrder::Little())}),
              std::vector<int32_t>({-2, 0x01020304, 0x04030201}));
    ExpectAssert([&] { rec.Int32At(3, ByteOrder::Big()); }, "0 <= i && i < m_nUnits");
    ExpectAssert([&] { rec.Int64At(0, ByteOrder::Big()); }, "m_unitSize == 8 && m_pContents");
    SystemFileExtensionRecord negative;
    negative.SetUnitSize(1);
    negative.SetNUnits(-5);
    EXPECT_EQ(negative.ByteSize(), 0u);
    ExpectAssert([&] { negative.GetContents(); }, "m_nUnits > 0 && m_unitSize > 0");
}

TEST(ExtensionDispatchTest, UnhandledSubtypesTravelAsRawBlocks) {
    // Unhandled subtypes 2, 30, 150 (beyond the found set) and -3.
    for (bool big : {false, true}) {
        DataFreeDataSource ds;
        SystemFileOptions o = ReaderOptions(big);
        const std::vector<uint8_t> ints = Ints32({1, -1, 0x7FFFFFFF}, big);
        Read(2, ds, o, 4, ints);
        ReadText(30, ds, o, "raw\ttext\0x"s);
        ReadText(150, ds, o, "beyond the found set");
        ReadText(-3, ds, o, "negative");
        for (int subtype : {2, 30, 150}) EXPECT_TRUE(ds.HasExtension(subtype)) << subtype;
        for (int s = 0; s < SysFileLayout::kExtensionFoundSize; ++s)
            EXPECT_EQ(o._extensionFound.test(size_t(s)), s == 2 || s == 30) << s;
        // Written again: same unit size, count and bytes (integers untouched).
        SystemFileExtensionRecord two, thirty;
        WriteExtensionRecord(2, ds, two);
        EXPECT_EQ(std::make_pair(two.UnitSize(), two.NUnits()), std::make_pair(4, 3));
        EXPECT_EQ(std::vector<uint8_t>(two.Contents(), two.Contents() + two.ByteSize()), ints);
        WriteExtensionRecord(30, ds, thirty);
        EXPECT_EQ(std::make_pair(thirty.UnitSize(), thirty.Text()), std::make_pair(1, "raw\ttext\0x"s));
        EXPECT_FALSE(Writes(31, ds) || Writes(-1, ds));
    }
}

TEST(ExtensionDispatchTest, RegisteredHandlersReplaceRawHandling) {
    for (int subtype : {3, 14}) EXPECT_NE(FindExtensionHandler(subtype), nullptr) << subtype;
    for (int subtype : {2, -1, kMaxExtensionSubtype + 1}) EXPECT_EQ(FindExtensionHandler(subtype), nullptr) << subtype;
    CountingHandler first, second;
    RegisterExtensionHandler(40, &first);
    RegisterExtensionHandler(40, &second);  // the later one wins
    DataFreeDataSource ds;
    SystemFileOptions o;
    ReadText(40, ds, o, "payload");
    EXPECT_EQ(std::make_tuple(first.applied, second.applied, second.lastText, ds.HasExtension(40)),
              std::make_tuple(0, 1, "payload"s, false));
    EXPECT_TRUE(o._extensionFound.test(40));
    SystemFileExtensionRecord rec;
    WriteExtensionRecord(40, ds, rec);
    EXPECT_EQ(std::make_pair(second.built, rec.Text()), std::make_pair(1, "built"s));
    RegisterExtensionHandler(40, nullptr);  // back to a raw block
    ReadText(40, ds, o, "kept");
    EXPECT_TRUE(second.applied == 1 && ds.HasExtension(40));
    ExpectAssert([&] { RegisterExtensionHandler(kMaxExtensionSubtype + 1, &first); },
                 "0 <= subtype && subtype <= kMaxExtensionSubtype");
}

TEST(ExtensionDispatchTest, MalformedRecordsAreRefused) {
    const struct {
        int subtype, unitSize;
        std::string payload;
        const char* condition;
    } cases[] = {
        {41, 0, "", "rec.UnitSize() > 0 && rec.NUnits() >= 0"},  // raw block, not stored
        {3, 4, std::string(28, 0), "rec.NUnits() == 8"},
        {3, 8, std::string(64, 0), "rec.UnitSize() == 4"},
        {4, 8, std::string(16, 0), "rec.NUnits() == 3"},
        {4, 4, std::string(12, 0), "rec.UnitSize() == sizeof(double)"},
        {11, 4, std::string(16, 0), "rec.NUnits()== src.ColumnCount()*3"},
        {11, 8, std::string(8 * 21, 0), "rec.UnitSize() == sizeof(int32)"},
        {16, 4, std::string(8, 0), "rec.UnitSize() == sizeof(int64)"},
        {16, 8, std::string(24, 0), "rec.NUnits() == 1 || rec.NUnits() == 2"},
        {20, 1, "", "rec.NUnits() > 0"},
        {20, 4, "UTF-", "rec.UnitSize() == sizeof(char)"},
        {13, 4, "A=a\t", "rec.UnitSize()==1"},
        {13, 1, "A=a\tB=b=c", "j == len || extString[j] == '\\t'"},
        {13, 1, "A=a\tBb", "i != notFound && extString[i] == '='"},
        {14, 4, "ADDR", "rec.UnitSize() == sizeof(char)"},
        {14, 1, "ADDRESS=300000\0\t"s, "endLen < lengthString+6"},
        {14, 1, "ADDRESS=3x0\0\t"s, "endLen == endDigits"},
        {14, 1, "ADDRESS=300\0\t\0"s, "content < endDigits+3"},
        {14, 1, "ADDRESSADDRESSADDRESS=300", "equal != content+16"},
        {14, 1, "MISSING=300\0\t"s, "name == rename->first"},
        {14, 1, "ADDRESS=300\0\tGONE=300\0\t"s, "varIndex >= 0"},
    };
    for (const auto& c : cases) {
        DataFreeDataSource ds;
        SystemFileOptions o;
        StoredVeryLongStrings(ds, o);
        const int32_t nUnits = c.unitSize ? int32_t(c.payload.size()) / c.unitSize : 0;
        ExpectFailure([&] { Read(c.subtype, ds, o, c.unitSize, nUnits, c.payload.data()); }, c.condition);
        EXPECT_FALSE(ds.HasExtension(c.subtype)) << c.subtype;
    }
}

TEST(SFExtensionRecordsTest, DecodeInEitherOrder) {
    for (bool big : {false, true}) {
        SCOPED_TRACE(big);
        DataFreeDataSource ds;
        AddVar(ds, "a", 0).SetDisplayWidth(7);
        AddVar(ds, "b", 20).SetDisplayWidth(17);
        SystemFileOptions o = ReaderOptions(big);
        Read(3, ds, o, 4, Ints32({21, 1, 2, -1, 1, 2, 1, 65001}, big));
        EXPECT_EQ(std::vector<int32_t>({o._releaseMajor, o._releaseMinor, o._releaseRevision, o._machineCode,
                                        o._floatingPointRep, o._compressionCode, o._characterCode}),
                  std::vector<int32_t>({21, 1, 2, -1, 1, 2, 65001}));
        Read(4, ds, o, 8, Doubles({-99.5, 1e300, -1e300}, big));
        EXPECT_EQ(std::vector<double>({o._sysmis, o._highest, o._lowest}), std::vector<double>({-99.5, 1e300, -1e300}));
        // Display properties; width 0 keeps the variable's own.
        Read(11, ds, o, 4, Ints32({3, 12, 1, 1, 0, 2}, big));
        EXPECT_EQ(Display(ds.GetVariable(0)),
                  std::vector<int>({VESK_Variable::eMeasureScale, 12, VESK_Variable::eAlignRight}));
        EXPECT_EQ(Display(ds.GetVariable(1)),
                  std::vector<int>({VESK_Variable::eMeasureNominal, 17, VESK_Variable::eAlignCentre}));
        // Case count of two units: the marker decides the order, whatever the header said.
        SystemFileOptions swapped = ReaderOptions(!big);
        swapped._nCases = 10;
        Read(16, ds, swapped, 8, Ints64({1, 3000000000LL}, big));
        EXPECT_EQ(swapped._nCases, 3000000000LL);
        // One unit: in the file's order; a larger header count is kept.
        o._nCases = 10;
        Read(16, ds, o, 8, Ints64({5000}, big));
        EXPECT_EQ(o._nCases, 5000);
        o._nCases = 9000;
        Read(16, ds, o, 8, Ints64({5000}, big));
        EXPECT_EQ(o._nCases, 9000);
    }
    DataFreeDataSource ds;
    SystemFileOptions o;
    ReadText(20, ds, o, "windows-1252");
    EXPECT_EQ(o._encoding, "windows-1252");
    // Long names: short names match case-sensitively; unmatched pairs are kept in file order.
    for (const char* name : {"INCOME", "X", "income"}) AddVar(ds, name, 0);
    ReadText(13, ds, o, "INCOME=Income\tX=x\tGHOST=Nobody");
    EXPECT_TRUE(o._longNamesPresent);
    std::vector<std::string> names;
    for (unsigned v = 0; v < ds.ColumnCount(); ++v) names.push_back(ds.GetVariable(v).GetName());
    EXPECT_EQ(names, (std::vector<std::string>{"Income", "x", "income"}));
    EXPECT_EQ(o.LongNames().back(), std::make_pair("GHOST"s, "Nobody"s));
    SystemFileOptions empty;
    ReadText(13, ds, empty, "");
    EXPECT_TRUE(empty._longNamesPresent && empty.LongNames().empty());
}

TEST(SFExtensionRecordsTest, EncodeFromTheWriterCopy) {
    WriterSource writer;
    EXPECT_FALSE(Writes(20, writer, &writer));  // no encoding
    EXPECT_FALSE(Writes(11, writer, &writer));  // no variables
    writer.fOptions._characterCode = 1252;
    writer.fOptions._nCases = 123456789012LL;
    writer.fOptions._encoding = "UTF-8";
    VESK_Variable& x = AddVar(writer, "x", 0);
    x.SetMeasurementLevel(VESK_Variable::eMeasureOrdinal);
    x.SetDisplayWidth(33);
    x.SetAlignment(VESK_Variable::eAlignCentre);
    AddVar(writer, "y", 300).SetAlignment(VESK_Variable::eAlignLeft);
    DataFreeDataSource target;
    AddVar(target, "x", 0);
    AddVar(target, "y", 300);
    SystemFileOptions back;
    back._releaseMajor = 0;
    back._sysmis = back._highest = back._lowest = 0;
    for (int subtype : {3, 4, 11, 16, 20}) {
        SystemFileExtensionRecord rec;
        WriteExtensionRecord(subtype, writer, rec, &writer);
        ReadExtensionRecord(subtype, target, back, rec);
    }
    EXPECT_EQ(std::vector<int32_t>({back._releaseMajor, back._machineCode, back._compressionCode, back._characterCode}),
              std::vector<int32_t>({23, 720, 1, 1252}));
    EXPECT_EQ(std::vector<double>({back._sysmis, back._highest, back._lowest}),
              std::vector<double>({VESK_DataSource::SystemMissing(), VESK_DataSource::HighNumber(),
                                   VESK_DataSource::LowNumber()}));
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Display(target.GetVariable(i)), Display(writer.GetVariable(i))) << i;
    EXPECT_EQ(std::make_pair(back._nCases, back._encoding), std::make_pair(int64_t(123456789012LL), "UTF-8"s));
    SystemFileExtensionRecord params, plainParams, count;
    WriteExtensionRecord(3, writer, params, &writer);
    EXPECT_EQ(params.Int32At(6, ByteOrder::Native()), 2);  // byte-order code, always 2
    // A source that is not a writer gets the defaults and an unknown count.
    WriteExtensionRecord(3, target, plainParams);
    WriteExtensionRecord(16, target, count);
    EXPECT_EQ(plainParams.Int32At(7, ByteOrder::Native()), 2);
    EXPECT_EQ(std::make_pair(count.Int64At(0, ByteOrder::Native()), count.Int64At(1, ByteOrder::Native())),
              std::make_pair(int64_t(1), int64_t(-1)));
}

TEST(SFExtensionExtStringsTest, MismatchedRunsAreIgnored) {
    // Last segment too narrow, too wide; width beyond a string, of an ordinary string; run past
    // the dictionary; numeric first segment; segment name unlike the first; full segment
    // narrower than 255; the same run twice (merged once).
    const std::pair<std::string, std::function<void(VESK_DataSource&)>> cases[] = {
        {"ADDRESS=310\0\t"s, nullptr},
        {"ADDRESS=290\0\t"s, nullptr},
        {"ADDRESS=40000"s, nullptr},
        {"ADDRESS=200\0\t"s, nullptr},
        {"NOTES=2000\0\t"s, nullptr},
        {"ID=300\0\t"s, nullptr},
        {"NOTES=600\0\t"s, [](VESK_DataSource& ds) { ds.GetVariable(4).SetName("OTHER0"); }},
        {"NOTES=600\0\t"s, [](VESK_DataSource& ds) { ds.GetVariable(4).SetType(254); }},
        {"ADDRESS=300\0\tADDRESS=300\0\t"s, nullptr},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        DataFreeDataSource ds;
        SystemFileOptions o;
        StoredVeryLongStrings(ds, o);
        if (cases[i].second) cases[i].second(ds);
        ReadText(14, ds, o, cases[i].first);
        const bool twice = i + 1 == std::size(cases);
        EXPECT_EQ(o._veryLongStrings.size(), twice ? 1u : 0u) << i;
        EXPECT_EQ(ds.ColumnCount(), twice ? 6u : 7u) << i;
    }
}

TEST(SFExtensionExtStringsTest, RandomTextsOnlyRaiseMalformed) {
    std::mt19937 rng(12345);
    const std::string alphabet = "ADRESNOT0123456789=\t\0"s;
    for (int round = 0; round < 600; ++round) {
        DataFreeDataSource ds;
        SystemFileOptions o;
        StoredVeryLongStrings(ds, o);
        std::string text = round % 2 ? "NOTES=" : "";
        for (int i = int(rng() % 40); i > 0; --i) text += alphabet[rng() % alphabet.size()];
        for (int subtype : {14, 13}) try {
            ReadText(subtype, ds, o, text);
        } catch (const SystemFileException& e) {
            EXPECT_EQ(e.Code(), 1204);
        }
        EXPECT_LE(ds.ColumnCount(), 7u);
        for (const SystemFileVeryLongString& s : o._veryLongStrings)
            EXPECT_LE(s.storedCell + SysFileLayout::StoredCells(s.width), o._cellsPerCase);
    }
}

TEST(SFExtensionLongNamesTest, StandInWriterBuildsSubtypes13And14) {
    // 14 names each very long string by its short name and asks the writer to
    // split it; 13 renames the copy to the short names and lists the table.
    WriterSource writer;
    for (auto [name, type] : {std::pair("Identifier", 0), {"Address", 300}, {"n", 8}}) AddVar(writer, name, type);
    writer.fOptions._longNames = {{"Identifier", "IDENTIFI"}, {"Address", "ADDR"}, {"n", "N"}};
    SystemFileExtensionRecord strings, names;
    WriteExtensionRecord(14, writer, strings, &writer);
    EXPECT_EQ(strings.Text(), "ADDR=300\0\t"s);
    EXPECT_EQ(writer.fSplit, (std::vector<std::pair<int, int>>{{1, 300}}));
    WriteExtensionRecord(13, writer, names, &writer);
    EXPECT_EQ(names.Text(), "IDENTIFI=Identifier\tADDR=Address\tN=n");
    EXPECT_EQ(Names(writer), (std::vector<std::string>{"IDENTIFI", "ADDR", "N"}));
    // Without a writer there is nothing to build, and the source is left alone.
    DataFreeDataSource plain;
    AddVar(plain, "Address", 300);
    EXPECT_FALSE(Writes(14, plain) || Writes(13, plain));
    EXPECT_EQ(Names(plain), (std::vector<std::string>{"Address"}));
}

TEST(SystemFileWriterTest, HandlersChangeTheCopyInBuildOrder) {
    // Every library handler is wrapped to note, after it built its record,
    // what the writer's copy looks like. The writer builds from 24 down; the
    // handlers that change the copy, and what each leaves, are pinned here:
    // a change of order would show later records a different dictionary.
    std::vector<std::pair<int, std::string>> log;
    std::vector<std::unique_ptr<NotingHandler>> wrappers;
    for (int subtype = 1; subtype <= 24; ++subtype)
        if (SystemFileExtensionHandler* handler = FindExtensionHandler(subtype))
            wrappers.push_back(std::make_unique<NotingHandler>(subtype, *handler, log));
    VESK_ValueLabelMap labels(20);
    labels.AddPair("n"s, "North");
    {
        SystemFileDataSource out;
        VESK_Variable& city = AddVar(out, "LongCity", 20);
        city.SetValueLabels(labels);
        city.SetMissingValues("none", nullptr, nullptr);
        AddVar(out, "Rating", 0).SetMeasurementLevel(VESK_Variable::MeasurementLevel(4));
        AddVar(out, "Comments", 300);
        TempDir dir("order");
        out.SetFileSpec(dir.File("order.sys").c_str());
        out.CommitDictionary();
        out.Close();
    }
    wrappers.clear();  // the library's handlers are back
    std::vector<int> order;
    std::vector<std::pair<int, std::string>> changes;
    for (const auto& [subtype, copy] : log) {
        order.push_back(subtype);
        if (changes.empty() || changes.back().second != copy) changes.emplace_back(subtype, copy);
    }
    EXPECT_TRUE(std::is_sorted(order.rbegin(), order.rend()) && order.front() == 24 && order.back() == 3);
    const std::vector<std::pair<int, std::string>> expected = {
        {24, "LongCity 20 m l 1|Rating 0 4|Comments 300 1"},
        {22, "LongCity 20 l 1|Rating 0 4|Comments 300 1"},
        {21, "LongCity 20 1|Rating 0 4|Comments 300 1"},
        {18, "LongCity 20 1|Rating 0 1|Comments 300 1"},
        {14, "LongCity 20 1|Rating 0 1|Comments 255 1|COMME0 48 1"},
        {13, "LONGCITY 20 1|RATING 0 1|COMMENTS 255 1|COMME0 48 1"},
    };
    EXPECT_EQ(changes, expected);
}

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
    EXPECT_EQ(Build(6, source), UnitText(units, !kLittle));
    for (bool big : {false, true}) {
        DataFreeDataSource target;
        DateDictionary(target);
        target.GetTrendsInfo().SetPeriod(false, 7);
        Apply(6, target, big, 4, UnitText(units, big));
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
    Apply(6, target, !kLittle, 4, UnitText({0, 1, 1, 1, 1, 1, 0, 9, 9, -5, 9, 9, 4, 2, 1}, !kLittle));
    const std::vector<int> got = DateInfo(target.GetTrendsInfo());
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 3), std::vector<int>({1, VESK_TrendsInfo::e_YEAR, 1}));
}

TEST(SFExtensionRecordsTest, MalformedDateAttributeAndWideStringRecordsRaise) {
    const bool big = !kLittle;
    const auto labels = [&](int64_t nameLength, int64_t valLen, int64_t labelLen) {
        return Bytes{big, {}}.I32(nameLength).Text("s12").I32(12).I32(1).I32(valLen).Text("abc").I32(labelLen).Text("L").out;
    };
    const auto missing = [&](int64_t nameLength, int count, int64_t mvlen, size_t valueBytes) {
        return Bytes{big, {}}.I32(nameLength).Text("s12").Byte(count).I32(mvlen).Text(std::string(valueBytes, 'v')).out;
    };
    const auto units = [&](const std::vector<int32_t>& v) { return UnitText(v, big); };
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

// The role alone is read on a shortcut; entries next to it, or of other
// shapes, take the general parse, and both must give the same.
TEST(SFExtensionVariableAttributesTest, RoleOnlyEntriesMatchTheGeneralParse) {
    DataFreeDataSource target;
    for (const char* name : {"a", "b", "c", "d", "e"}) AddVar(target, name, 0);
    target.GetVariable(0).SetAttributes([] {
        DatasourceAttributes old;
        old.Define("Old", {"o"});
        return old;
    }());
    Apply(18, target, false, 1,
          "a:$@Role('2'\n)/b:$@Role('4'\n)N('x'\n)/c:$@Role('12'\n)/d:$@Role('x'\n)/e:$@Role('1'\n)");
    EXPECT_EQ(Summary(target.GetVariable(0)), "2/" + std::to_string(VESK_Variable::eMeasureUnknown) + " ");
    EXPECT_EQ(target.GetVariable(1).GetAttributes().MakeString(), "N('x'\n)");
    std::vector<int> roles;
    for (int v = 0; v < 5; ++v) roles.push_back(target.GetVariable(v).GetRole());
    EXPECT_EQ(roles, std::vector<int>({2, 4, 12, 0, 1}));
}

// Long names: a record in column order is applied on a shortcut, any other
// (out of order, repeated short names, a second record) by the whole table;
// the pairs read are the same either way.
TEST(SFExtensionExtNamesTest, ColumnOrderAndTheGeneralTableAgree) {
    const auto names = [](const VESK_DataSource& ds) {
        std::vector<std::string> out;
        for (unsigned v = 0; v < ds.ColumnCount(); ++v) out.push_back(ds.GetVariable(int(v)).GetName());
        return out;
    };
    DataFreeDataSource inOrder;
    for (const char* name : {"A", "B", "C"}) AddVar(inOrder, name, 0);
    SystemFileOptions o;
    ReadText(13, inOrder, o, "A=Alpha\tB=Beta\tC=Gamma\t");
    EXPECT_EQ(names(inOrder), (std::vector<std::string>{"Alpha", "Beta", "Gamma"}));
    // A second record adds its pairs; the whole table renames again.
    ReadText(13, inOrder, o, "Beta=Second");
    EXPECT_EQ(names(inOrder), (std::vector<std::string>{"Alpha", "Second", "Gamma"}));
    EXPECT_EQ(o.LongNames(), (std::vector<std::pair<std::string, std::string>>{
                                 {"A", "Alpha"}, {"B", "Beta"}, {"C", "Gamma"}, {"Beta", "Second"}}));

    // In column order but a short name twice: both take the least long name.
    DataFreeDataSource repeated;
    for (const char* name : {"A", "A", "B"}) AddVar(repeated, name, 0);
    SystemFileOptions r;
    ReadText(13, repeated, r, "A=zeta\tA=alpha\tB=b");
    EXPECT_EQ(names(repeated), (std::vector<std::string>{"alpha", "alpha", "b"}));
    // A malformed record is refused whichever way it would have gone.
    const std::string noEqual = "i != notFound && extString[i] == '='";
    const std::string noTab = "j == len || extString[j] == '\\t'";
    for (const auto& [bad, condition] : {std::pair("A=x\t\tB=y", noEqual), {"A=x=y", noTab}, {"A", noEqual}}) {
        DataFreeDataSource ds;
        for (const char* name : {"A", "B"}) AddVar(ds, name, 0);
        SystemFileOptions bo;
        ExpectFailure([&] { ReadText(13, ds, bo, bad); }, condition);
    }
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
TEST(SFExtensionRecordsTest, RandomPayloadsOnlyRaiseMalformed) {
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

TEST(ExtensionRecordFileTest, DictionaryPartsSurviveEveryCompression) {
    TempDir dir("extrecords");
    DataFreeDataSource want;
    RichDictionary(want);
    for (int compression : {0, 1, 2}) {
        SCOPED_TRACE(compression);
        const std::string path = dir.File("rich" + std::to_string(compression) + ".sys");
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
}

// Large enough for the bucketed sort: every name found at all its positions,
// in tie-break order, and the repeats classified as a plain map sees them.
TEST(SortedNameIndexTest, WideIndexAgreesWithAMap) {
    std::vector<std::string> text;
    for (int i = 0; i < 30000; ++i) text.push_back("name_" + std::to_string(i * 7919 % 12000));
    std::map<std::string, std::vector<uint32_t>> where;
    for (uint32_t i = 0; i < text.size(); ++i) where[text[i]].push_back(i);
    const std::vector<std::string_view> views(text.begin(), text.end());
    const SortedNameIndex ascending(views);
    const SortedNameIndex descending(views, [](uint32_t a, uint32_t b) { return a > b; });
    const std::vector<uint8_t> flags = ascending.Classify();
    for (const auto& [name, positions] : where) {
        std::vector<uint32_t> up, down;
        for (auto [at, end] = ascending.Find(name); at != end; ++at) up.push_back(at->position);
        for (auto [at, end] = descending.Find(name); at != end; ++at) down.push_back(at->position);
        EXPECT_EQ(up, positions) << name;
        EXPECT_EQ(down, std::vector<uint32_t>(positions.rbegin(), positions.rend())) << name;
        for (size_t k = 0; k < positions.size(); ++k) {
            const uint8_t want = (positions.size() > 1 ? SortedNameIndex::kShared : 0) |
                                 (k > 0 ? SortedNameIndex::kRepeated : 0);
            EXPECT_EQ(flags[positions[k]], want) << name;
        }
    }
    const auto none = ascending.Find("name_12000");
    EXPECT_EQ(none.first, none.second);
}

// Name lookup for records that name many variables gives what FindVarIndex
// gives, whether the names come in column order (the hinted path) or not.
TEST(ExtensionNameLookupTest, FindsAsFindVarIndexInAndOutOfColumnOrder) {
    DataFreeDataSource ds;
    const std::vector<std::string> names = {"alpha", "Beta", "gamma_long_name_1", "gamma_long_name_2", "DELTA"};
    for (const auto& name : names) AddVar(ds, name.c_str(), 0);
    const ExtensionNameLookup lookup(ds);
    std::vector<std::string> probes = {"ALPHA", "beta  ", "Gamma_Long_Name_2", "delta", "missing", "", "alpha\0x"};
    probes.back() = std::string("alpha\0x", 7);  // the text up to a NUL
    for (int start = 0; start < 6; ++start)
        for (const auto& probe : probes)
            EXPECT_EQ(lookup.Find(probe, start), ds.FindVarIndex(probe.c_str(), start)) << probe << " from " << start;
    for (int column = 0; column < 5; ++column) EXPECT_EQ(lookup.Find(names[size_t(column)], column), column);

    // Before the names are repaired a file may repeat one: the hinted columns
    // must still give the first at or after start.
    DataFreeDataSource repeated;
    for (const char* name : {"a", "b", "A", "c", "a", "b"}) AddVar(repeated, name, 0);
    const ExtensionNameLookup again(repeated);
    for (int start = 0; start < 7; ++start)
        for (const char* probe : {"a", "b", "c", "d"})
            EXPECT_EQ(again.Find(probe, start), repeated.FindVarIndex(probe, start)) << probe << " from " << start;
}
