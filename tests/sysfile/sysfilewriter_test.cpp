#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "SaveFile.h"
#include "SystemFileDataSource.h"
#include "errortext.h"
#include "memorydatastore.h"
#include "sysfilebuilder.h"
#include "sysfilecoding.h"
#include "sysfilelayout.h"
#include "tempdir.h"
#include "vesk_assert.h"

using namespace SysFileLayout;
using Bytes = std::vector<uint8_t>;
using Rows = std::vector<std::vector<OBS>>;

namespace {

constexpr int kCompressions[] = {kCompressNone, kCompressBytecode, kCompressZlib};
constexpr int kNew = SystemFileDataSource::eStateNew, kWriting = SystemFileDataSource::eStateWriting,
              kReading = SystemFileDataSource::eStateReading;

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

using Names = std::vector<std::pair<std::string, int>>;
struct ExtRec {
    int32_t unitSize = 0, nUnits = 0;
    std::string payload;
};
struct Parsed {
    SystemFileHeader header;
    Names names;  // name and type of each variable record but the continuations
    std::vector<int32_t> extOrder;
    std::map<int32_t, ExtRec> ext;
    size_t row0 = 0;
};

// Walks the dictionary records of a file written by this machine.
Parsed Parse(const Bytes& b) {
    Parsed p;
    const ByteOrder o = ByteOrder::Native();
    p.header.Decode(b.data());
    size_t at = kHeaderSize;
    auto i32 = [&] {
        at += 4;
        return o.GetI32(b.data() + at - 4);
    };
    for (int32_t type; (type = i32()) != kRecTermination;) {
        if (type == kRecVariable) {
            SystemFileVariableRecord r;
            r.Decode(b.data() + at, o);
            at += kVarFixedSize;
            if (r.type >= 0) p.names.emplace_back(r.Name(), r.type);
            if (r.hasLabel) at += VarLabelStoredSize(size_t(i32()));
            at += 8 * size_t(std::abs(r.missingCount));
        } else if (type == kRecValueLabels) {
            for (int32_t k = 0, n = i32(); k < n; ++k) at += 8 + ValueLabelStoredSize(b[at + 8]);
            EXPECT_EQ(i32(), kRecValueLabelVars);
            at += 4 * size_t(i32());
        } else if (type == kRecDocument) {
            at += size_t(i32()) * kDocumentLineSize;
        } else {
            EXPECT_EQ(type, kRecExtension);
            const int32_t sub = i32();
            ExtRec& e = p.ext[sub];
            e.unitSize = i32();
            e.nUnits = i32();
            e.payload.assign(reinterpret_cast<const char*>(b.data() + at), size_t(e.unitSize) * size_t(e.nUnits));
            at += e.payload.size();
            p.extOrder.push_back(sub);
        }
    }
    p.row0 = at + 4;
    return p;
}

OBS Num(double d) { OBS c; c.d = d; return c; }

int64_t Count16(const Parsed& p) {
    int64_t count;
    std::memcpy(&count, p.ext.at(16).payload.data() + 8, 8);
    return count;
}

// The cells of a string of width w holding text, blank-padded.
void PutText(OBS* cells, int w, const std::string& text) {
    char* p = reinterpret_cast<char*>(cells);
    std::memset(p, ' ', size_t(CellsForType(w)) * 8);
    std::memcpy(p, text.data(), std::min(text.size(), size_t(w)));
}

std::string RandomText(std::mt19937& rng, size_t maxLen) {
    std::string s(std::uniform_int_distribution<size_t>(0, maxLen)(rng), ' ');
    for (char& c : s) c = char(33 + rng() % 94);
    return s;
}

// A random dictionary: numeric, short, long and very long strings, labels,
// value labels (some shared), missing values of every rule, long names that
// agree in their first 8 bytes, documents, a weight and a file label.
void RandomDictionary(VESK_DataSource& ds, std::mt19937& rng) {
    const int kWidths[] = {0, 0, 0, 1, 5, 8, 9, 20, 255, 256, 300, 504, 700, 32767};
    const int n = 10 + int(rng() % 10);
    VESK_ValueLabelMap shared(0);
    shared.AddPair(1.0, "one");
    shared.AddPair(2.0, std::string(300, 'L'));  // cut to 255 bytes
    shared.AddPair(-3.5, "");
    const int rules[] = {1, 2, 3, -2, -3};
    int weight = -1;
    for (int i = 0; i < n; ++i) {
        const int w = i == 0 ? 32767 : kWidths[rng() % std::size(kWidths)];
        VESK_Variable& v = ds.MakeVariable(w);
        v.SetName((i == 1 ? "LongVariableName" : (i % 3 == 0 ? "LongVariableName" : "v") + std::to_string(i)).c_str());
        if (rng() % 4 != 0) {
            const std::string label = RandomText(rng, 70);
            v.SetLabel(label.c_str(), unsigned(label.size()));
        }
        if (w == 0) {
            if (weight < 0) weight = i;
            v.SetFormat(VESK_Variable::eFmtNumber, 4 + int(rng() % 30), int(rng() % 4));
            v.SetMeasurementLevel(VESK_Variable::MeasurementLevel(1 + rng() % 3));
            const int rule = rules[rng() % 5];
            const double a = double(rng() % 100), b = a + 10, c = -7;
            if (rule > 0)
                v.SetMissingValues(&a, rule > 1 ? &b : nullptr, rule > 2 ? &c : nullptr);
            else
                v.SetMissingRange(&a, &b, rule == -3 ? &c : nullptr);
            if (rng() % 4 == 0) {
                v.SetValueLabels(shared);
            } else if (rng() % 4 == 0) {
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
    }
    ds.SetLabel("A random file label that is longer than sixty-four bytes, to be cut at 64");
    const std::string docs = std::string(80, 'd') + std::string(80, 'e');
    ds.SetExtension(kExtDocuments, 1, long(docs.size()), docs.data());
    if (weight >= 0) ds.SetWeightVar(weight);
}

Rows RandomRows(std::mt19937& rng, const VESK_DataSource& ds, int nRows) {
    Rows rows(size_t(nRows), std::vector<OBS>(ds.GetObsAreaSize()));
    for (auto& cells : rows) {
        for (unsigned v = 0; v < ds.ColumnCount(); ++v) {
            const int w = ds.GetVariable(int(v)).GetType();
            OBS* at = cells.data() + ds.ObsIndex(int(v));
            const int k = int(rng() % 10);
            if (w != 0)
                PutText(at, w, RandomText(rng, size_t(w)));
            else
                *at = Num(k < 5 ? double(int(rng() % 200) - 100)
                                : k < 7 ? VESK_SYSMIS : std::ldexp(double(rng()), -20));
        }
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

std::vector<uint64_t> Bits(const Rows& rows) {
    std::vector<uint64_t> out;
    for (const auto& r : rows)
        for (const OBS& c : r) out.push_back(c.bits);
    return out;
}

std::vector<uint64_t> ReadBits(const VESK_DataSource& src) {
    Rows rows;
    std::unique_ptr<VESK_InputCaseIterator> it(src.MakeIterator(nullptr));
    while (it->NextCase()) rows.emplace_back(it->GetCase().Cells(), it->GetCase().Cells() + src.GetObsAreaSize());
    return Bits(rows);
}

// The dictionary as one text, for whole comparison: value labels cut to 255
// bytes and the file label to 64, without its trailing blanks, as stored.
std::string Describe(const VESK_DataSource& ds) {
    std::ostringstream s;
    for (unsigned i = 0; i < ds.ColumnCount(); ++i) {
        const VESK_Variable& v = ds.GetVariable(int(i));
        for (const VESK_Format f : {v.GetFormat(), v.GetWriteFormat()})
            s << int(f.code) << '.' << f.width << '.' << int(f.decimals) << ' ';
        s << v.GetName() << ' ' << v.GetType() << " [" << (v.GetLabel() ? v.GetLabel() : "") << "] "
          << v.GetMeasurementLevel() << ' ' << v.GetAlignment() << ' ' << v.GetDisplayWidth();
        const OBS* m[3];
        const int rule = v.GetMissingValues(m[0], m[1], m[2]);
        s << " missing " << rule;
        for (int k = 0; k < std::abs(rule); ++k) s << ' ' << m[k]->bits;
        if (v.GetValueLabels().IsValid()) {
            s << " labels " << VESK_ValueLabelMap(v.GetValueLabels()).Type();
            for (const ValueLabel& p : v.GetValueLabels()->Pairs()) {
                for (const OBS& c : p.value) s << ' ' << c.bits;
                s << '=' << p.label.substr(0, 255);
            }
        }
        s << '\n';
    }
    std::string label = std::string(ds.GetLabel()).substr(0, 64);
    label.erase(label.find_last_not_of(' ') + 1);
    s << "weight " << ds.GetWeightVarIndex() << " label [" << label << "] docs "
      << VESK_DataSource::Extension(ds, kExtDocuments).Elements();
    return s.str();
}

// A dictionary of the given variables (name, width).
std::unique_ptr<MemoryDataStore> Dict(const Names& vars) {
    auto ds = std::make_unique<MemoryDataStore>();
    for (const auto& [name, w] : vars) ds->MakeVariable(w).SetName(name.c_str());
    return ds;
}

}  // namespace

TEST(SystemFileWriterTest, RandomDictionariesRoundTripInEveryCompression) {
    TempDir dir("sysfilewriter");
    for (unsigned seed : {11u, 12u, 13u}) {
        std::mt19937 rng(seed);
        MemoryDataStore dict;
        RandomDictionary(dict, rng);
        const Rows rows = RandomRows(rng, dict, 60);
        const std::string described = Describe(dict);
        for (int c : kCompressions) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " compression " + std::to_string(c));
            const std::string path = dir.File("r" + std::to_string(seed) + "_" + std::to_string(c) + ".sys");
            WriteFile(path, dict, rows, c);
            SystemFileDataSource r(path, "", false);
            EXPECT_EQ(r.GetCompressionLevel(), c);
            EXPECT_EQ(r.RowCount(), int64_t(rows.size()));
            EXPECT_EQ(Describe(r), described);
            EXPECT_EQ(ReadBits(r), Bits(rows));
            EXPECT_EQ(Describe(dict), described);  // untouched by the writer's renaming and splitting
        }
    }
}

TEST(SystemFileWriterTest, FixedRecordsAreByteExact) {
    TempDir dir("sysfilewriter");
    auto ds = Dict({{"Income", 0}, {"x", 0}, {"Name", 20}});
    VESK_Variable& income = ds->GetVariable(0);
    income.SetLabel("Yearly");  // 6 bytes: 2 bytes of padding
    const double m = 99;
    income.SetMissingValues(&m, nullptr, nullptr);
    income.SetFormat(VESK_Variable::eFmtNumber, 10, 3);
    VESK_ValueLabelMap labels(0);
    labels.AddPair(1.0, "abc");      // 1 + 3 bytes: 4 bytes of padding
    labels.AddPair(2.0, "seven77");  // 1 + 7 bytes: none
    income.SetValueLabels(labels);
    ds->GetVariable(1).SetValueLabels(labels);
    ds->SetWeightVar(1);
    ds->SetLabel("file label");
    const std::string path = dir.File("f.sys");
    std::vector<OBS> row{Num(5), Num(1), {}, {}, {}};
    PutText(&row[2], 20, "Ann");
    WriteFile(path, *ds, {row, row, row}, kCompressNone);

    const Bytes b = ReadBytes(path);
    const Parsed p = Parse(b);
    // Header, variable and value-label records byte for byte as the builder assembles
    // them, with the file's own creation time; one record serves the shared map.
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
    EXPECT_EQ(std::make_tuple(p.ext.at(13).payload, p.ext.count(14), p.ext.at(11).nUnits, p.ext.at(16).nUnits,
                              Count16(p)),
              std::make_tuple(std::string("INCOME=Income\tX=x\tNAME=Name"), size_t(0), 3 * 3, 2, int64_t(3)));
    // Compression 0: exactly nominal case size x 8 bytes per case.
    EXPECT_EQ(b.size(), p.row0 + 3 * 5 * 8);
    EXPECT_EQ(std::memcmp(b.data() + p.row0 + 80, row.data(), 40), 0);
}

TEST(SystemFileWriterTest, ShortNamesAndVeryLongStringSegments) {
    TempDir dir("sysfilewriter");
    {
        // Names that agree in their first 8 bytes; a truncation ending in "_".
        auto ds = Dict({{"LongVariable1", 0}, {"LongVariable2", 0}, {"abcdefg_xyz", 0}, {"V4_A", 0},
                        {"LongVariable5", 0}});
        const std::string path = dir.File("n.sys");
        WriteFile(path, *ds, {}, kCompressNone);
        const Parsed p = Parse(ReadBytes(path));
        EXPECT_EQ(p.names, (Names{{"LONGVARI", 0}, {"V2_A", 0}, {"ABCDEFG", 0}, {"V4_A", 0}, {"V5_A", 0}}));
        EXPECT_EQ(std::make_pair(p.header.caseCount, Count16(p)), std::make_pair(0, int64_t(0)));
        EXPECT_EQ(p.ext.at(13).payload,
                  "LONGVARI=LongVariable1\tV2_A=LongVariable2\tABCDEFG=abcdefg_xyz\tV4_A=V4_A\tV5_A=LongVariable5");
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
        const std::string path = dir.File("s.sys");
        WriteFile(path, *ds, {row}, kCompressNone);
        const Bytes b = ReadBytes(path);
        const Parsed p = Parse(b);
        EXPECT_EQ(p.names,
                  (Names{{"ADDRESS", 255}, {"ADDRE1", 48}, {"N", 0}, {"WIDE", 255}, {"WIDE0", 255}, {"ADDRE0", 0}}));
        EXPECT_EQ(p.ext.at(14).payload, std::string("ADDRESS=300\0\tWIDE=504\0\t", 23));
        EXPECT_EQ(p.header.nominalCaseSize, 38 + 1 + 64 + 1);  // the stored cells
        const std::string data(reinterpret_cast<const char*>(b.data() + p.row0), b.size() - p.row0);
        ASSERT_EQ(data.size(), 104u * 8);
        EXPECT_EQ(data.substr(0, 304), text300.substr(0, 255) + " " + text300.substr(255) + "   ");
        EXPECT_EQ(std::memcmp(data.data() + 38 * 8, &row[38], 8), 0);
        EXPECT_EQ(data.substr(39 * 8 + 256, 255), std::string(249, 'w') + std::string(6, ' '));
    }
    {
        // A very long string whose text has a multibyte character across
        // byte 255: the segment ends before it, padded with zero bytes.
        const std::string saved = VESKMBCurrentConverterName_A();
        auto ds = Dict({{"t", 300}});
        std::vector<OBS> row(ds->GetObsAreaSize());
        PutText(&row[0], 300, std::string(254, 'x') + "\xC3\xA9" + std::string(44, 'y'));
        const std::string path = dir.File("mb.sys");
        ASSERT_TRUE(VESKMBConverterSet_A("UTF-8"));
        const bool utf8 = qUTF8mode();
        SetUTF8mode(1);
        WriteFile(path, *ds, {row}, kCompressNone);
        SetUTF8mode(utf8);
        VESKMBConverterSet_A(saved.c_str());
        const Bytes b = ReadBytes(path);
        const std::string data(reinterpret_cast<const char*>(b.data() + Parse(b).row0), 258);
        EXPECT_EQ(data.substr(253, 2), std::string("x\0", 2));
        EXPECT_EQ(data.substr(256, 2), "\xC3\xA9");
    }
}

TEST(SystemFileWriterTest, AppendingAfterCloseEqualsWritingInOneGo) {
    TempDir dir("sysfilewriter");
    std::mt19937 rng(5);
    auto ds = Dict({{"id", 0}, {"LongNameOfAString", 12}, {"huge", 600}, {"x", 0}});
    const Rows rows = RandomRows(rng, *ds, 3000);
    auto first = [&](size_t n) { return Rows(rows.begin(), rows.begin() + long(n)); };
    for (int c : kCompressions) {
        SCOPED_TRACE("compression " + std::to_string(c));
        auto file = [&](const std::string& name) { return dir.File(name + std::to_string(c) + ".sys"); };
        const std::string one = file("one"), two = file("two"), three = file("three");
        WriteFile(one, *ds, rows, c);
        {
            // Closed and appended twice by the writing source.
            auto w = Writer(*ds, two, c);
            for (size_t r = 0; r < rows.size(); ++r) {
                w->AddRow(rows[r].data());
                if (r + 1 == 1001 || r + 1 == 2000) w->Close();
            }
            w->Close();
        }
        {
            // Appended by a source that opened the file for reading.
            WriteFile(three, *ds, first(7), c);
            SystemFileDataSource r(three, "", false);
            EXPECT_EQ(ReadBits(r), Bits(first(7)));
            for (size_t k = 7; k < rows.size(); ++k) r.AddRow(rows[k].data());
            r.Close();
        }
        Bytes a = ReadBytes(one), b = ReadBytes(two), d = ReadBytes(three);
        for (Bytes* x : {&a, &b, &d}) std::memset(x->data() + kOffDate, 0, kDateSize + kTimeSize);  // may differ
        EXPECT_EQ(std::make_pair(a == b, a == d), std::make_pair(true, true));
    }
}

TEST(SystemFileWriterTest, CaseCountIsPatchedAtClose) {
    TempDir dir("sysfilewriter");
    auto ds = Dict({{"a", 0}, {"b", 9}});
    std::vector<OBS> row(3);
    row[0] = Num(1);
    PutText(&row[1], 9, "nine");
    for (int c : kCompressions) {
        SCOPED_TRACE("compression " + std::to_string(c));
        // A declared count that turns out right, and one that does not.
        for (int64_t declared : {4, 9}) {
            const std::string path = dir.File("d" + std::to_string(c) + std::to_string(declared) + ".sys");
            auto w = Writer(*ds, path, c);
            w->RowCount(declared);
            w->CommitDictionary();
            for (int k = 0; k < 4; ++k) w->AddRow(row.data());
            w->Close();
            const Parsed p = Parse(ReadBytes(path));
            EXPECT_EQ(std::make_pair(int64_t(p.header.caseCount), Count16(p)), std::make_pair(int64_t(4), int64_t(4)));
        }
        // A count beyond 32 bits lives only in the subtype-16 record.
        const std::string big = dir.File("big" + std::to_string(c) + ".sys");
        WriteFile(big, *ds, {row}, c);
        {
            SystemFileDataSource r(big, "", false);
            r.RowCount(2999999999LL);
            r.AddRow(row.data());
            r.Close();
        }
        const Parsed p = Parse(ReadBytes(big));
        EXPECT_EQ(std::make_pair(p.header.caseCount, Count16(p)), std::make_pair(-1, int64_t(3000000000LL)));
        EXPECT_EQ(SystemFileDataSource(big, "", false).RowCount(), 3000000000LL);
    }
    // Appending to a file without a count counts its rows.
    for (int c : {kCompressNone, kCompressBytecode}) {
        const std::string path = dir.File("nocount" + std::to_string(c) + ".sys");
        SysFileBuilder b;
        b.Header({.compression = c, .caseCount = -1}).Variable({.name = "A"}).End();
        b.Row(Cells().Num(1)).Row(Cells().Num(2)).WriteTo(path);
        {
            SystemFileDataSource r(path, "", false);
            EXPECT_EQ(r.RowCount(), -1);
            const OBS three[1] = {Num(3)};
            r.AddRow(three);
            r.Close();
            EXPECT_EQ(r.RowCount(), 3);
        }
        EXPECT_EQ(Parse(ReadBytes(path)).header.caseCount, 3);
        EXPECT_EQ(ReadBits(SystemFileDataSource(path, "", false)), Bits({{Num(1)}, {Num(2)}, {Num(3)}}));
    }
}

TEST(SystemFileWriterTest, MisuseRaisesErrorsAndNeverCrashes) {
    TempDir dir("sysfilewriter");
    auto ds = Dict({{"a", 0}});
    const OBS row[1] = {Num(1)}, two[2] = {Num(1), Num(2)};
    const std::string path = dir.File("m.sys");
    {
        auto w = Writer(*ds, path);
        w->Close();  // nothing to close yet
        w->CommitDictionary();
        EXPECT_EQ(std::make_pair(w->State(), ErrorOf([&] { w->CommitDictionary(); })), std::make_pair(kWriting, 1209));
        w->AddRow(row);
        // An iterator closes the writing; rows while it is open are refused.
        std::unique_ptr<VESK_InputCaseIterator> it(w->MakeIterator(nullptr));
        EXPECT_EQ(w->State(), kReading);
        EXPECT_EQ(std::make_pair(ErrorOf([&] { w->AddRow(row); }), ErrorOf([&] { w->CommitDictionary(); })),
                  std::make_pair(1209, 1209));
        it.reset();
        w->AddRow(row);
        w->Close();
        EXPECT_EQ(w->RowCount(), 2);
        EXPECT_EQ(ErrorOf([&] { w->AddRow(nullptr); }), -1);
        // A variable added after the file was started cannot be written.
        w->MakeVariable(0).SetName("late");
        EXPECT_EQ(ErrorOf([&] { w->AddRow(two); }), -1);
    }
    // Failures before anything is written leave an existing file alone.
    const Bytes before = ReadBytes(path);
    auto dup = Writer(*Dict({{"a", 0}, {"b", 0}, {"B", 0}}), path);
    EXPECT_EQ(ErrorOf([&] { dup->CommitDictionary(); }), 1505);
    EXPECT_EQ(std::make_pair(ReadBytes(path) == before, dup->State()), std::make_pair(true, kNew));
    // A file that cannot be created.
    auto w = Writer(*ds, dir.File("no/such/dir.sys"));
    EXPECT_EQ(ErrorOf([&] { w->AddRow(row); }), 1201);
    EXPECT_EQ(w->State(), kNew);
}

TEST(SystemFileWriterTest, SaveFileAndSaveSystemFile) {
    TempDir dir("sysfilewriter");
    std::mt19937 rng(9);
    MemoryDataStore src;
    src.MakeVariable(0).SetName("n");
    src.MakeVariable(30).SetName("s");
    for (const auto& r : RandomRows(rng, src, 25)) src.AddRow(r.data());
    src.Close();
    for (int compress : {0, 1}) {
        const std::string path = dir.File("ss" + std::to_string(compress) + ".sys");
        SaveSystemFile(path.c_str(), src, compress);
        SystemFileDataSource r(path, "", false);
        EXPECT_EQ(std::make_pair(r.GetCompressionLevel(), ReadBits(r)), std::make_pair(compress, ReadBits(src)));
    }
    const std::string path = dir.File("save.sys");
    SaveFile f(path.c_str(), nullptr, false);
    f.MakeVariable(0).SetName("v");
    const OBS row[1] = {Num(3)};
    for (int k = 0; k < 2; ++k) f.AddRow(row);
    EXPECT_EQ(ErrorOf([&] { f.MakeIterator(nullptr); }), -1);
    f.Close();
    EXPECT_EQ(SystemFileDataSource(path, "", false).RowCount(), 2);
}
