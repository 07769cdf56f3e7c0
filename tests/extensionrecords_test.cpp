// Extension records: record object, handler registry, dispatch, handlers of subtypes 3, 4, 11, 13, 14, 16 and 20.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "../Datasource/src/SFExtensionDictionary.h"
#include "../Datasource/src/SystemFileExtensionRecord.h"
#include "datafreedatasource.h"
#include "sysfilebuilder.h"
#include "vesk_assert.h"

using namespace std::string_literals;
using SysFileLayout::ByteOrder;

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

// Stands for the writer's copy of a dictionary.
class WriterSource : public DataFreeDataSource, public SystemFileWriterContext {
public:
    SystemFileOptions& WriterOptions() const override { return fOptions; }
    mutable SystemFileOptions fOptions;
};

VESK_Variable& AddVar(VESK_DataSource& ds, const char* name, int type) {
    VESK_Variable& v = ds.MakeVariable(type);
    v.SetName(name);
    return v;
}

std::vector<int> Display(const VESK_Variable& v) {
    return {v.GetMeasurementLevel(), v.GetDisplayWidth(), v.GetAlignment()};
}

bool Writes(int subtype, const VESK_DataSource& source) {
    SystemFileExtensionRecord rec;
    WriteExtensionRecord(subtype, source, rec);
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
    void BuildRecord(const VESK_DataSource&, SystemFileExtensionRecord& rec) override { ++built, rec.SetText("built"); }
    void ApplyRecord(VESK_DataSource&, SystemFileOptions&, const SystemFileExtensionRecord& rec) override {
        ++applied, lastText = rec.Text();
    }
    int built = 0, applied = 0;
    std::string lastText;
};

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
    EXPECT_EQ(o._longNames.back(), std::make_pair("GHOST"s, "Nobody"s));
    SystemFileOptions empty;
    ReadText(13, ds, empty, "");
    EXPECT_TRUE(empty._longNamesPresent && empty._longNames.empty());
}

TEST(SFExtensionRecordsTest, EncodeFromTheWriterCopy) {
    WriterSource writer;
    EXPECT_FALSE(Writes(20, writer));  // no encoding
    EXPECT_FALSE(Writes(11, writer));  // no variables
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
        WriteExtensionRecord(subtype, writer, rec);
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
    WriteExtensionRecord(3, writer, params);
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
}
