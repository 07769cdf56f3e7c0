// Writing system files: round trips of random dictionaries and cases in every
// compression, the exact bytes of the fixed records, short names and very
// long string segments, appending, the case-count patch, misuse, the
// save-file entry points, and raw extension blocks.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "SaveFile.h"
#include "SystemFileDataSource.h"
#include "errortext.h"
#include "memorydatastore.h"
#include "sysfilebuilder.h"
#include "sysfilelayout.h"
#include "vesk_assert.h"

using namespace SysFileLayout;
using Bytes = std::vector<uint8_t>;
using Rows = std::vector<std::vector<OBS>>;

namespace {

constexpr int kCompressions[] = {kCompressNone, kCompressBytecode, kCompressZlib};

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/sysfilewriterXXXXXX";
        fPath = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf " + fPath).c_str()); }
    std::string File(const std::string& name) const { return fPath + "/" + name; }

private:
    std::string fPath;
};

Bytes ReadBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

// The library error number raised by f; -1 for a failed assertion, 0 for none.
int ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const VeskError& e) {
        return e.Number();
    } catch (const VESK_AssertFailed&) {
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------- file walker

struct VarRec {
    SystemFileVariableRecord r;
    std::string label;
    size_t offset = 0;
};
struct ExtRec {
    int32_t unitSize = 0, nUnits = 0;
    std::string payload;
    size_t payloadOffset = 0;
};
struct Parsed {
    SystemFileHeader header;
    std::vector<VarRec> vars;  // continuation records included
    std::vector<std::string> valueLabelRecords;  // raw bytes of each type 3 record after its type word
    std::vector<std::vector<int32_t>> valueLabelVars;
    int32_t docLines = -1;
    std::vector<int32_t> extOrder;
    std::map<int32_t, ExtRec> ext;
    size_t row0 = 0;
};

// Walks the dictionary records of a file written by this machine.
Parsed Parse(const Bytes& b) {
    Parsed p;
    if (b.size() < kHeaderSize) {
        ADD_FAILURE() << "no header";
        return p;
    }
    const ByteOrder o = ByteOrder::Native();
    p.header.Decode(b.data());
    size_t at = kHeaderSize;
    auto i32 = [&] {
        const int32_t v = o.GetI32(b.data() + at);
        at += 4;
        return v;
    };
    for (;;) {
        const int32_t type = i32();
        if (type == kRecVariable) {
            VarRec v;
            v.offset = at - 4;
            v.r.Decode(b.data() + at, o);
            at += kVarFixedSize;
            if (v.r.hasLabel) {
                const int32_t len = i32();
                v.label.assign(reinterpret_cast<const char*>(b.data() + at), size_t(len));
                at += VarLabelStoredSize(size_t(len));
            }
            at += 8 * size_t(std::abs(v.r.missingCount));
            p.vars.push_back(v);
        } else if (type == kRecValueLabels) {
            const size_t start = at;
            const int32_t n = i32();
            for (int32_t k = 0; k < n; ++k) at += 8 + ValueLabelStoredSize(b[at + 8]);
            p.valueLabelRecords.emplace_back(reinterpret_cast<const char*>(b.data() + start), at - start);
            EXPECT_EQ(i32(), kRecValueLabelVars);
            std::vector<int32_t> pos(static_cast<size_t>(i32()));
            for (auto& x : pos) x = i32();
            p.valueLabelVars.push_back(pos);
        } else if (type == kRecDocument) {
            p.docLines = i32();
            at += size_t(p.docLines) * kDocumentLineSize;
        } else if (type == kRecExtension) {
            const int32_t sub = i32();
            ExtRec e;
            e.unitSize = i32();
            e.nUnits = i32();
            e.payloadOffset = at;
            e.payload.assign(reinterpret_cast<const char*>(b.data() + at), size_t(e.unitSize) * size_t(e.nUnits));
            at += e.payload.size();
            p.extOrder.push_back(sub);
            p.ext[sub] = e;
        } else {
            EXPECT_EQ(type, kRecTermination);
            at += 4;
            break;
        }
    }
    p.row0 = at;
    return p;
}

// ---------------------------------------------------------------- sources

OBS Num(double d) { OBS c; c.d = d; return c; }

using Names = std::vector<std::pair<std::string, int>>;

// Name and type of each variable record but the continuations.
Names StoredNames(const Parsed& p) {
    Names names;
    for (const VarRec& v : p.vars)
        if (v.r.type >= 0) names.emplace_back(v.r.Name(), v.r.type);
    return names;
}

// The case count of the subtype-16 record.
int64_t Count16(const Parsed& p) {
    int64_t count;
    std::memcpy(&count, p.ext.at(16).payload.data() + 8, 8);
    return count;
}

// The cells of a string of width w holding text, blank-padded.
void PutText(OBS* cells, int w, const std::string& text) {
    char* p = reinterpret_cast<char*>(cells);
    const size_t n = size_t(CellsForType(w)) * 8;
    std::memset(p, ' ', n);
    std::memcpy(p, text.data(), std::min(text.size(), size_t(w)));
}

std::string RandomText(std::mt19937& rng, size_t maxLen) {
    std::uniform_int_distribution<size_t> len(0, maxLen);
    std::uniform_int_distribution<int> ch(33, 126);
    std::string s(len(rng), ' ');
    for (char& c : s) c = char(ch(rng));
    return s;
}

// A random dictionary: numeric, short, long and very long strings, labels,
// value labels (some shared), missing values of every rule, long names that
// agree in their first 8 bytes, documents, a weight and a file label.
void RandomDictionary(VESK_DataSource& ds, std::mt19937& rng) {
    const int kWidths[] = {0, 0, 0, 1, 5, 8, 9, 20, 255, 256, 300, 504, 700, 32767};
    std::uniform_int_distribution<int> pick(0, int(std::size(kWidths)) - 1);
    std::uniform_int_distribution<int> coin(0, 3);
    const int n = 10 + int(rng() % 10);
    VESK_ValueLabelMap shared(0);
    shared.AddPair(1.0, "one");
    shared.AddPair(2.0, std::string(300, 'L'));  // cut to 255 bytes
    shared.AddPair(-3.5, "");
    const int rules[] = {1, 2, 3, -2, -3};
    std::vector<int> widths;
    for (int i = 0; i < n; ++i) {
        const int w = i == 0 ? 32767 : kWidths[pick(rng)];
        VESK_Variable& v = ds.MakeVariable(w);
        const std::string name =
            i == 1 ? "LongVariableName" : (i % 3 == 0 ? "LongVariableName" : "v") + std::to_string(i);
        v.SetName(name.c_str());
        if (coin(rng) != 0) {
            const std::string label = RandomText(rng, 70);
            v.SetLabel(label.c_str(), unsigned(label.size()));
        }
        if (w == 0) {
            v.SetFormat(VESK_Variable::eFmtNumber, 4 + int(rng() % 30), int(rng() % 4));
            v.SetMeasurementLevel(VESK_Variable::MeasurementLevel(1 + rng() % 3));
            const int rule = rules[rng() % 5];
            const double a = double(rng() % 100), b = a + 10, c = -7;
            if (rule > 0) {
                const double* ps[3] = {&a, rule > 1 ? &b : nullptr, rule > 2 ? &c : nullptr};
                v.SetMissingValues(ps[0], ps[1], ps[2]);
            } else {
                v.SetMissingRange(&a, &b, rule == -3 ? &c : nullptr);
            }
            if (coin(rng) == 0) {
                v.SetValueLabels(shared);
            } else if (coin(rng) == 0) {
                VESK_ValueLabelMap own(0);
                for (int k = 0; k < 4; ++k) own.AddPair(double(k * 10 + i), RandomText(rng, 30));
                v.SetValueLabels(own);
            }
        } else {
            v.SetMeasurementLevel(VESK_Variable::eMeasureNominal);
            if (w <= 8) {
                const int count = 1 + int(rng() % 3);
                v.SetMissingValues("ab", count > 1 ? "zz" : nullptr, count > 2 ? "" : nullptr);
                VESK_ValueLabelMap own(w);
                own.AddPair(std::string("a"), "letter a");
                own.AddPair(std::string("b"), "letter b");
                v.SetValueLabels(own);
            }
        }
        v.SetAlignment(VESK_Variable::Alignment(rng() % 3));
        v.SetDisplayWidth(short(1 + rng() % 40));
        widths.push_back(w);
    }
    ds.SetLabel("A random file label that is longer than sixty-four bytes, to be cut at 64");
    const std::string docs = std::string(80, 'd') + std::string(80, 'e');
    ds.SetExtension(kExtDocuments, 1, long(docs.size()), docs.data());
    if (auto numeric = std::find(widths.begin(), widths.end(), 0); numeric != widths.end())
        ds.SetWeightVar(int(numeric - widths.begin()));
}

Rows RandomRows(std::mt19937& rng, const VESK_DataSource& ds, int nRows) {
    Rows rows;
    std::uniform_int_distribution<int> kind(0, 9);
    for (int r = 0; r < nRows; ++r) {
        std::vector<OBS> cells(ds.GetObsAreaSize());
        for (unsigned v = 0; v < ds.ColumnCount(); ++v) {
            const int w = ds.GetVariable(int(v)).GetType();
            OBS* at = cells.data() + ds.ObsIndex(int(v));
            if (w == 0) {
                const int k = kind(rng);
                *at = Num(k < 5 ? double(int(rng() % 200) - 100) : k < 7 ? VESK_SYSMIS
                                                                        : std::ldexp(double(rng()), -20));
            } else {
                PutText(at, w, RandomText(rng, size_t(w)));
            }
        }
        rows.push_back(cells);
    }
    return rows;
}

// A source about to write the dictionary to the path.
std::unique_ptr<SystemFileDataSource> Writer(const VESK_DataSource& dict, const std::string& path,
                                             int compression = kCompressNone) {
    auto w = std::make_unique<SystemFileDataSource>();
    w->CopyDictionary(dict);
    w->SetCompressionLevel(compression);
    w->SetFileSpec(path.c_str());
    return w;
}

void WriteFile(const std::string& path, const VESK_DataSource& dict, const Rows& rows, int compression) {
    auto w = Writer(dict, path, compression);
    for (const auto& r : rows) w->AddRow(r.data());
    if (rows.empty()) w->CommitDictionary();
    w->Close();
}

Rows ReadRows(const VESK_DataSource& src) {
    Rows rows;
    std::unique_ptr<VESK_InputCaseIterator> it(src.MakeIterator(nullptr));
    const unsigned cells = src.GetObsAreaSize();
    while (it->NextCase()) {
        const OBS* c = it->GetCase().Cells();
        rows.emplace_back(c, c + cells);
    }
    return rows;
}

void ExpectSameRows(const Rows& a, const Rows& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t r = 0; r < a.size(); ++r) {
        ASSERT_EQ(a[r].size(), b[r].size());
        for (size_t c = 0; c < a[r].size(); ++c)
            ASSERT_EQ(a[r][c].bits, b[r][c].bits) << "row " << r << " cell " << c;
    }
}

void ExpectSameDictionary(const VESK_DataSource& want, const VESK_DataSource& got) {
    ASSERT_EQ(want.ColumnCount(), got.ColumnCount());
    for (unsigned i = 0; i < want.ColumnCount(); ++i) {
        const VESK_Variable& a = want.GetVariable(int(i));
        const VESK_Variable& b = got.GetVariable(int(i));
        SCOPED_TRACE(a.GetName());
        EXPECT_EQ(a.GetName(), b.GetName());
        EXPECT_EQ(a.GetType(), b.GetType());
        EXPECT_TRUE(a.GetFormat() == b.GetFormat());
        EXPECT_TRUE(a.GetWriteFormat() == b.GetWriteFormat());
        EXPECT_STREQ(a.GetLabel(), b.GetLabel());
        EXPECT_EQ(a.GetMeasurementLevel(), b.GetMeasurementLevel());
        EXPECT_EQ(a.GetAlignment(), b.GetAlignment());
        EXPECT_EQ(a.GetDisplayWidth(), b.GetDisplayWidth());
        const OBS *a1, *a2, *a3, *b1, *b2, *b3;
        const int rule = a.GetMissingValues(a1, a2, a3);
        ASSERT_EQ(rule, b.GetMissingValues(b1, b2, b3));
        const OBS* as[3] = {a1, a2, a3};
        const OBS* bs[3] = {b1, b2, b3};
        for (int k = 0; k < std::abs(rule); ++k) EXPECT_EQ(as[k]->bits, bs[k]->bits);
        if (a.GetValueLabels().IsValid()) {
            // Labels are kept to 255 bytes.
            VESK_ValueLabelMap cut(a.GetType());
            for (const ValueLabel& p : a.GetValueLabels()->Pairs()) cut.AddPair(p.value.data(), p.label.substr(0, 255));
            EXPECT_TRUE(cut == VESK_ValueLabelMap(b.GetValueLabels()));
        } else {
            EXPECT_FALSE(b.GetValueLabels().IsValid());
        }
    }
    EXPECT_EQ(want.GetWeightVarIndex(), got.GetWeightVarIndex());
    // Cut to 64 bytes; the reader drops the trailing blanks of the field.
    std::string label = std::string(want.GetLabel()).substr(0, 64);
    while (!label.empty() && label.back() == ' ') label.pop_back();
    EXPECT_EQ(label, std::string(got.GetLabel()));
    EXPECT_EQ(VESK_DataSource::Extension(want, kExtDocuments).Elements(),
              VESK_DataSource::Extension(got, kExtDocuments).Elements());
}

// A dictionary of one numeric and the given variables (name, width).
std::unique_ptr<MemoryDataStore> Dict(const std::vector<std::pair<std::string, int>>& vars) {
    auto ds = std::make_unique<MemoryDataStore>();
    for (const auto& [name, w] : vars) ds->MakeVariable(w).SetName(name.c_str());
    return ds;
}

}  // namespace

// ---------------------------------------------------------------- tests

TEST(SystemFileWriterTest, RandomDictionariesRoundTripInEveryCompression) {
    TempDir dir;
    for (unsigned seed : {11u, 12u, 13u}) {
        std::mt19937 rng(seed);
        MemoryDataStore dict;
        RandomDictionary(dict, rng);
        const Rows rows = RandomRows(rng, dict, 60);
        for (int c : kCompressions) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " compression " + std::to_string(c));
            const std::string path = dir.File("r" + std::to_string(seed) + "_" + std::to_string(c) + ".sav");
            WriteFile(path, dict, rows, c);
            SystemFileDataSource r(path, "", false);
            EXPECT_EQ(r.GetCompressionLevel(), c);
            EXPECT_EQ(r.RowCount(), int64_t(rows.size()));
            ExpectSameDictionary(dict, r);
            ExpectSameRows(rows, ReadRows(r));
            // The caller's dictionary is untouched by the writer's renaming and splitting.
            EXPECT_EQ(dict.GetVariable(0).GetType(), 32767);
            EXPECT_EQ(dict.GetVariable(1).GetName(), "LongVariableName");
        }
    }
}

TEST(SystemFileWriterTest, FixedRecordsAreByteExact) {
    TempDir dir;
    auto ds = Dict({{"Income", 0}, {"x", 0}, {"Name", 20}});
    ds->GetVariable(0).SetLabel("Yearly");  // 6 bytes: 2 bytes of padding
    const double m = 99;
    ds->GetVariable(0).SetMissingValues(&m, nullptr, nullptr);
    ds->GetVariable(0).SetFormat(VESK_Variable::eFmtNumber, 10, 3);
    VESK_ValueLabelMap labels(0);
    labels.AddPair(1.0, "abc");         // 1 + 3 bytes: 4 bytes of padding
    labels.AddPair(2.0, "seven77");     // 1 + 7 bytes: none
    ds->GetVariable(0).SetValueLabels(labels);
    ds->GetVariable(1).SetValueLabels(labels);
    ds->SetWeightVar(1);
    ds->SetLabel("file label");
    const std::string path = dir.File("f.sav");
    std::vector<OBS> row(5);
    row[0] = Num(5);
    row[1] = Num(1);
    PutText(&row[2], 20, "Ann");
    WriteFile(path, *ds, {row, row, row}, kCompressNone);

    const Bytes b = ReadBytes(path);
    const Parsed p = Parse(b);
    // Header, variable and value-label records byte for byte as the builder
    // assembles them, with the file's own creation time, which must parse.
    // One value-label record serves the shared map, listing both cells.
    EXPECT_NE(ParseCreationDateTime(p.header.date, p.header.time), 0.0);
    SysFileBuilder want;
    want.Header({.nominalCaseSize = 5, .weightIndex = 2, .caseCount = 3, .date = std::string(p.header.date, kDateSize),
                 .time = std::string(p.header.time, kTimeSize), .label = "file label"})
        .Variable({.name = "INCOME", .label = "Yearly", .missing = {m}, .print = EncodeFormatWord(5, 10, 3)})
        .Variable({.name = "X"})
        .Variable({.name = "NAME", .type = 20})
        .ValueLabels({{1, "abc"}, {2, "seven77"}}, {1, 2});
    const Bytes records = want.Bytes();
    ASSERT_GT(b.size(), records.size());
    EXPECT_EQ(Bytes(b.begin(), b.begin() + long(records.size())), records);

    // Extension records in ascending order; long names in dictionary order.
    EXPECT_TRUE(std::is_sorted(p.extOrder.begin(), p.extOrder.end()));
    EXPECT_EQ(p.ext.at(13).payload, "INCOME=Income\tX=x\tNAME=Name");
    EXPECT_EQ(p.ext.count(14), 0u);
    EXPECT_EQ(p.ext.at(11).nUnits, 3 * 3);
    EXPECT_EQ(p.ext.at(16).nUnits, 2);
    EXPECT_EQ(Count16(p), 3);
    // Compression 0: exactly nominal case size x 8 bytes per case.
    EXPECT_EQ(b.size(), p.row0 + 3 * 5 * 8);
    EXPECT_EQ(std::memcmp(b.data() + p.row0 + 80, row.data(), 40), 0);
}

TEST(SystemFileWriterTest, ShortNamesAndVeryLongStringSegments) {
    TempDir dir;
    {
        // Names that agree in their first 8 bytes; a truncation ending in "_".
        auto ds = Dict({{"LongVariable1", 0}, {"LongVariable2", 0}, {"abcdefg_xyz", 0}, {"V4_A", 0},
                        {"LongVariable5", 0}});
        const std::string path = dir.File("n.sav");
        WriteFile(path, *ds, {}, kCompressNone);
        const Parsed p = Parse(ReadBytes(path));
        EXPECT_EQ(StoredNames(p), (Names{{"LONGVARI", 0}, {"V2_A", 0}, {"ABCDEFG", 0}, {"V4_A", 0}, {"V5_A", 0}}));
        EXPECT_EQ(p.ext.at(13).payload,
                  "LONGVARI=LongVariable1\tV2_A=LongVariable2\tABCDEFG=abcdefg_xyz\tV4_A=V4_A\tV5_A=LongVariable5");
        SystemFileDataSource r(path, "", false);
        EXPECT_EQ(r.GetVariable(4).GetName(), "LongVariable5");
        EXPECT_EQ(r.RowCount(), 0);
    }
    {
        // 300 bytes: a full segment and 48 bytes; 504 bytes: two full segments.
        auto ds = Dict({{"Address", 300}, {"n", 0}, {"Wide", 504}, {"ADDRE0", 0}});
        std::vector<OBS> row(ds->GetObsAreaSize());
        std::string text300;
        for (int i = 0; i < 300; ++i) text300 += char('a' + i % 26);
        PutText(&row[0], 300, text300);
        row[38] = Num(7);
        PutText(&row[39], 504, std::string(504, 'w'));
        row[39 + 63] = Num(8);
        const std::string path = dir.File("s.sav");
        WriteFile(path, *ds, {row}, kCompressNone);
        const Bytes b = ReadBytes(path);
        const Parsed p = Parse(b);
        EXPECT_EQ(StoredNames(p),
                  (Names{{"ADDRESS", 255}, {"ADDRE1", 48}, {"N", 0}, {"WIDE", 255}, {"WIDE0", 255}, {"ADDRE0", 0}}));
        EXPECT_EQ(p.ext.at(14).payload, std::string("ADDRESS=300\0\tWIDE=504\0\t", 23));
        // Stored layout: 38 cells, 1, 64 cells, 1.
        EXPECT_EQ(p.header.nominalCaseSize, 38 + 1 + 64 + 1);
        const char* data = reinterpret_cast<const char*>(b.data() + p.row0);
        EXPECT_EQ(std::string(data, 255), text300.substr(0, 255));
        EXPECT_EQ(data[255], ' ');
        EXPECT_EQ(std::string(data + 256, 48), text300.substr(255) + std::string(3, ' '));
        EXPECT_EQ(std::memcmp(data + 38 * 8, &row[38], 8), 0);
        EXPECT_EQ(std::string(data + 39 * 8 + 256, 255), std::string(249, 'w') + std::string(6, ' '));
        EXPECT_EQ(b.size(), p.row0 + 104 * 8);

        SystemFileDataSource r(path, "", false);
        Names read;
        for (unsigned v = 0; v < r.ColumnCount(); ++v)
            read.emplace_back(r.GetVariable(int(v)).GetName(), r.GetVariable(int(v)).GetType());
        EXPECT_EQ(read, (Names{{"Address", 300}, {"n", 0}, {"Wide", 504}, {"ADDRE0", 0}}));
        ExpectSameRows({row}, ReadRows(r));
    }
    {
        // A very long string whose text has a multibyte character across
        // byte 255: the segment ends before it, padded with zero bytes.
        const std::string saved = VESKMBCurrentConverterName_A();
        auto ds = Dict({{"t", 300}});
        std::vector<OBS> row(ds->GetObsAreaSize());
        std::string text = std::string(254, 'x') + "\xC3\xA9" + std::string(44, 'y');
        PutText(&row[0], 300, text);
        const std::string path = dir.File("mb.sav");
        ASSERT_TRUE(VESKMBConverterSet_A("UTF-8"));
        const bool utf8 = qUTF8mode();
        SetUTF8mode(1);
        WriteFile(path, *ds, {row}, kCompressNone);
        SetUTF8mode(utf8);
        VESKMBConverterSet_A(saved.c_str());
        const Bytes b = ReadBytes(path);
        const char* data = reinterpret_cast<const char*>(b.data() + Parse(b).row0);
        EXPECT_EQ(data[253], 'x');
        EXPECT_EQ(data[254], '\0');
        EXPECT_EQ(std::string(data + 256, 2), "\xC3\xA9");
        SystemFileDataSource r(path, "", false);
        ExpectSameRows({row}, ReadRows(r));
    }
    // Variables named 'a' and 'A' collide.
    auto dup = Dict({{"a", 0}, {"A", 0}});
    EXPECT_EQ(ErrorOf([&] { WriteFile(dir.File("dup.sav"), *dup, {}, kCompressNone); }), 1505);
}

TEST(SystemFileWriterTest, AppendingAfterCloseEqualsWritingInOneGo) {
    TempDir dir;
    std::mt19937 rng(5);
    auto ds = Dict({{"id", 0}, {"LongNameOfAString", 12}, {"huge", 600}, {"x", 0}});
    const Rows rows = RandomRows(rng, *ds, 3000);
    auto first = [&](size_t n) { return Rows(rows.begin(), rows.begin() + long(n)); };
    for (int c : kCompressions) {
        SCOPED_TRACE("compression " + std::to_string(c));
        const std::string one = dir.File("one" + std::to_string(c) + ".sav");
        const std::string two = dir.File("two" + std::to_string(c) + ".sav");
        const std::string three = dir.File("three" + std::to_string(c) + ".sav");
        WriteFile(one, *ds, rows, c);
        {
            // Closed and appended twice by the writing source.
            auto w = Writer(*ds, two, c);
            for (size_t r = 0; r < 1001; ++r) w->AddRow(rows[r].data());
            w->Close();
            EXPECT_EQ(w->RowCount(), 1001);
            ExpectSameRows(first(1001), ReadRows(*w));
            for (size_t r = 1001; r < 2000; ++r) w->AddRow(rows[r].data());
            w->Close();
            for (size_t r = 2000; r < rows.size(); ++r) w->AddRow(rows[r].data());
            w->Close();
            ExpectSameRows(rows, ReadRows(*w));
        }
        {
            // Appended by a source that opened the file for reading.
            WriteFile(three, *ds, first(7), c);
            SystemFileDataSource r(three, "", false);
            ExpectSameRows(first(7), ReadRows(r));
            for (size_t k = 7; k < rows.size(); ++k) r.AddRow(rows[k].data());
            r.Close();
        }
        Bytes a = ReadBytes(one), b = ReadBytes(two), d = ReadBytes(three);
        // The creation time may differ by a second.
        for (Bytes* x : {&a, &b, &d}) std::memset(x->data() + kOffDate, 0, kDateSize + kTimeSize);
        EXPECT_TRUE(a == b);
        EXPECT_TRUE(a == d);
        SystemFileDataSource r(three, "", false);
        EXPECT_EQ(r.RowCount(), int64_t(rows.size()));
        ExpectSameRows(rows, ReadRows(r));
    }
}

TEST(SystemFileWriterTest, CaseCountIsPatchedAtClose) {
    TempDir dir;
    auto ds = Dict({{"a", 0}, {"b", 9}});
    std::vector<OBS> row(3);
    row[0] = Num(1);
    PutText(&row[1], 9, "nine");
    for (int c : kCompressions) {
        SCOPED_TRACE("compression " + std::to_string(c));
        // A declared count that turns out right, and one that does not.
        for (int64_t declared : {4, 9}) {
            const std::string path = dir.File("d" + std::to_string(c) + std::to_string(declared) + ".sav");
            auto w = Writer(*ds, path, c);
            w->RowCount(declared);
            w->CommitDictionary();
            for (int k = 0; k < 4; ++k) w->AddRow(row.data());
            w->Close();
            const Parsed p = Parse(ReadBytes(path));
            EXPECT_EQ(p.header.caseCount, 4);
            EXPECT_EQ(Count16(p), 4);
        }
        // A count beyond 32 bits lives only in the subtype-16 record.
        const std::string big = dir.File("big" + std::to_string(c) + ".sav");
        WriteFile(big, *ds, {row}, c);
        {
            SystemFileDataSource r(big, "", false);
            r.RowCount(2999999999LL);
            r.AddRow(row.data());
            r.Close();
        }
        const Parsed p = Parse(ReadBytes(big));
        EXPECT_EQ(p.header.caseCount, -1);
        EXPECT_EQ(Count16(p), 3000000000LL);
        EXPECT_EQ(SystemFileDataSource(big, "", false).RowCount(), 3000000000LL);
    }
}

TEST(SystemFileWriterTest, AppendingCountsRowsOfAFileWithoutACount) {
    TempDir dir;
    for (int c : {kCompressNone, kCompressBytecode}) {
        const std::string path = dir.File("nocount" + std::to_string(c) + ".sav");
        SysFileBuilder b;
        b.Header({.compression = c, .caseCount = -1}).Variable({.name = "A"}).End();
        b.Row(Cells().Num(1)).Row(Cells().Num(2)).WriteTo(path);
        {
            SystemFileDataSource r(path, "", false);
            EXPECT_EQ(r.RowCount(), -1);
            const OBS row[1] = {Num(3)};
            r.AddRow(row);
            r.Close();
            EXPECT_EQ(r.RowCount(), 3);
        }
        EXPECT_EQ(Parse(ReadBytes(path)).header.caseCount, 3);
        const Rows rows = ReadRows(SystemFileDataSource(path, "", false));
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[2][0].d, 3.0);
    }
}

TEST(SystemFileWriterTest, MisuseRaisesErrorsAndNeverCrashes) {
    TempDir dir;
    auto ds = Dict({{"a", 0}});
    const OBS row[1] = {Num(1)};
    const std::string path = dir.File("m.sav");
    {
        auto w = Writer(*ds, path);
        w->Close();  // nothing to close yet
        w->CommitDictionary();
        EXPECT_EQ(w->State(), 1);
        EXPECT_EQ(ErrorOf([&] { w->CommitDictionary(); }), 1209);
        w->AddRow(row);
        // An iterator closes the writing; rows while it is open are refused.
        std::unique_ptr<VESK_InputCaseIterator> it(w->MakeIterator(nullptr));
        EXPECT_EQ(w->State(), 2);
        EXPECT_EQ(ErrorOf([&] { w->AddRow(row); }), 1209);
        EXPECT_EQ(ErrorOf([&] { w->CommitDictionary(); }), 1209);
        ASSERT_EQ(it->NextCase(), 1);
        EXPECT_EQ(it->GetCase().Cells()[0].d, 1.0);
        EXPECT_EQ(it->NextCase(), 0);
        it.reset();
        w->AddRow(row);
        w->Close();
        w->Close();
        EXPECT_EQ(w->RowCount(), 2);
        EXPECT_EQ(ErrorOf([&] { w->AddRow(nullptr); }), -1);
        // A variable added after the file was started cannot be written.
        w->MakeVariable(0).SetName("late");
        const OBS two[2] = {Num(1), Num(2)};
        EXPECT_EQ(ErrorOf([&] { w->AddRow(two); }), -1);
    }
    const Bytes before = ReadBytes(path);
    {
        // Failures before anything is written leave an existing file alone.
        auto w = Writer(*ds, path);
        w->SetPassword(ExtNameStr("secret"));
        EXPECT_EQ(ErrorOf([&] { w->CommitDictionary(); }), SystemFileDataSource::kErrNotAvailable);
        EXPECT_EQ(ErrorOf([&] { w->AddRow(row); }), SystemFileDataSource::kErrNotAvailable);
        EXPECT_EQ(w->State(), 0);
    }
    {
        auto w = Writer(*Dict({{"a", 0}, {"b", 0}, {"B", 0}}), path);
        EXPECT_EQ(ErrorOf([&] { w->CommitDictionary(); }), 1505);
        // Still new: a corrected dictionary can be committed.
        EXPECT_EQ(w->State(), 0);
        EXPECT_EQ(ReadBytes(path), before);
        w->GetVariable(2).SetName("c");
        w->SetFileSpec(dir.File("fixed.sav").c_str());
        w->CommitDictionary();
        w->Close();
        EXPECT_EQ(SystemFileDataSource(dir.File("fixed.sav"), "", false).ColumnCount(), 3u);
    }
    // A file that cannot be created.
    auto w = Writer(*ds, dir.File("no/such/dir.sav"));
    EXPECT_EQ(ErrorOf([&] { w->AddRow(row); }), 1201);
    EXPECT_EQ(w->State(), 0);
}

TEST(SystemFileWriterTest, SaveFileAndSaveSystemFile) {
    TempDir dir;
    std::mt19937 rng(9);
    MemoryDataStore src;
    src.MakeVariable(0).SetName("n");
    src.MakeVariable(30).SetName("s");
    for (const auto& r : RandomRows(rng, src, 25)) src.AddRow(r.data());
    src.Close();
    for (int compress : {0, 1}) {
        const std::string path = dir.File("ss" + std::to_string(compress) + ".sav");
        SaveSystemFile(path.c_str(), src, compress);
        SystemFileDataSource r(path, "", false);
        EXPECT_EQ(r.GetCompressionLevel(), compress);
        EXPECT_EQ(r.RowCount(), 25);
        ExpectSameRows(ReadRows(src), ReadRows(r));
    }
    {
        // No cases: count 0 and an empty data area.
        MemoryDataStore empty;
        empty.MakeVariable(0).SetName("n");
        const std::string path = dir.File("empty.sav");
        SaveSystemFile(path.c_str(), empty, 1);
        const Bytes b = ReadBytes(path);
        EXPECT_EQ(Parse(b).header.caseCount, 0);
        EXPECT_EQ(b.size(), Parse(b).row0);
    }
    {
        const std::string path = dir.File("save.sav");
        SaveFile f(path.c_str(), nullptr, false);
        f.MakeVariable(0).SetName("v");
        const OBS row[1] = {Num(3)};
        f.AddRow(row);
        f.AddRow(row);
        EXPECT_EQ(ErrorOf([&] { f.MakeIterator(nullptr); }), -1);
        f.Close();
        EXPECT_EQ(SystemFileDataSource(path, "", false).RowCount(), 2);
    }
    // Encrypted writing is refused rather than written in the clear.
    const std::string path = dir.File("secret.sav");
    SaveFile f(path.c_str(), "pw", false);
    f.MakeVariable(0).SetName("v");
    EXPECT_TRUE(f.IsEncrypted());
    EXPECT_EQ(ErrorOf([&] { f.CommitDictionary(); }), SystemFileDataSource::kErrNotAvailable);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(SystemFileWriterTest, RawExtensionBlocksSurviveReadWriteRead) {
    TempDir dir;
    const std::string in = dir.File("raw.sav"), out = dir.File("again.sav");
    const int32_t ints[3] = {7, 8, 9};
    const std::string text30 = "subtype thirty";
    SysFileBuilder b;
    b.Header({.compression = 1}).Variable({.name = "A"});
    b.ExtensionText(30, text30).Extension(2, 4, 3, ints).End();
    b.Row(Cells().Num(1.5)).WriteTo(in);
    SaveSystemFile(out.c_str(), SystemFileDataSource(in, "", false), 1);

    // Stored in ascending order, each as it came.
    const Parsed p = Parse(ReadBytes(out));
    EXPECT_TRUE(std::is_sorted(p.extOrder.begin(), p.extOrder.end()));
    ASSERT_EQ(p.ext.count(2), 1u);
    ASSERT_EQ(p.ext.count(30), 1u);
    EXPECT_EQ(p.extOrder.back(), 30);
    EXPECT_EQ(std::make_pair(p.ext.at(2).unitSize, p.ext.at(2).nUnits), std::make_pair(4, 3));
    EXPECT_EQ(p.ext.at(2).payload, std::string(reinterpret_cast<const char*>(ints), 12));
    EXPECT_EQ(p.ext.at(30).unitSize, 1);
    EXPECT_EQ(p.ext.at(30).payload, text30);

    SystemFileDataSource again(out, "", false);
    EXPECT_TRUE(again.bExtensionFound(2));
    EXPECT_EQ(VESK_DataSource::Extension(again, 30).Elements(), text30);
    ASSERT_EQ(ReadRows(again).size(), 1u);
}
