#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "SystemFileDataSource.h"
#include "SystemFileDechunker.h"
#include "errorof.h"
#include "errortext.h"
#include "sysfilebuilder.h"
#include "sysfilecoding.h"
#include "sysfilelayout.h"
#include "tempdir.h"
#include "vesk_assert.h"
#include "zcmpsfilestr.h"
#include "zcompressedfilestr.h"

using namespace SysFileLayout;
using Bytes = std::vector<uint8_t>;
using Rows = std::vector<std::vector<OBS>>;

namespace {

// Sets the process-wide asynchronous-reading switch.
void SetAsynchReading(bool on) {
    const int64_t mode = on ? 1 : 0;
    SETASYNCHREADING(&mode);
}

const ByteOrder kOrders[] = {ByteOrder::Native(), ByteOrder(true)};

void WriteBytes(const std::string& path, const Bytes& b) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

using Dictionary = std::function<void(SysFileBuilder&)>;

// Writes a file with the dictionary and rows in the given order and
// compression; code 2 gets its data area through the zlib block layer.
std::string MakeFile(const std::string& path, ByteOrder order, int compression, const Dictionary& dict,
                     const Rows& rows, SysFileBuilder::HeaderSpec header = {}) {
    header.compression = compression == kCompressZlib ? kCompressBytecode : compression;
    SysFileBuilder b(order);
    b.Header(header);
    dict(b);
    b.End();
    for (const auto& r : rows) b.Row(r);
    if (compression != kCompressZlib) {
        b.WriteTo(path);
        return path;
    }
    const Bytes all = b.Bytes();
    Bytes head(all.begin(), all.begin() + long(b.DataStart()));
    order.PutI32(head.data() + kOffCompression, kCompressZlib);
    VESK_FileStream fs;
    EXPECT_TRUE(fs.Open(path.c_str(), "wb+"));
    fs.Write(head.data(), head.size());
    zcmpsFilestr z(fs);
    fs.Close();
    z.setRow0Pos(int64_t(head.size()), order.Reversed());
    z.Write(all.data() + head.size(), all.size() - head.size());
    EXPECT_EQ(z.Close(), 1);
    return path;
}

Rows ReadAll(const SystemFileDataSource& src) {
    std::unique_ptr<VESK_InputCaseIterator> it(src.MakeIterator(nullptr));
    Rows rows;
    const unsigned n = src.GetObsAreaSize();
    while (it->NextCase()) rows.emplace_back(it->GetCase().Cells(), it->GetCase().Cells() + n);
    return rows;
}

std::vector<uint64_t> BitsOf(const Rows& rows) {
    std::vector<uint64_t> out;
    for (const auto& r : rows)
        for (const OBS& c : r) out.push_back(c.bits);
    return out;
}

struct Monitor : ErrorMonitor {
    std::vector<std::string> messages;
    void Report(const char* message, int) override { messages.push_back(message); }
};

// Numeric, string of width 20 (three cells), numeric.
void SmallDictionary(SysFileBuilder& b) {
    b.Variable({.name = "AGE"}).Variable({.name = "NAME", .type = 20}).Variable({.name = "INCOME"});
}

Rows SmallRows(int n) {
    Rows rows;
    for (int i = 0; i < n; ++i)
        rows.push_back(Cells().Num(i % 5 == 4 ? VESK_SYSMIS : i % 200 - 50).Str("row" + std::to_string(i), 20)
                           .Num(i * 1.25e7 + 0.333).Get());
    return rows;
}

// One line per variable: name, label, type, print format, missing values.
std::vector<std::string> Variables(const VESK_DataSource& src) {
    std::vector<std::string> out;
    for (unsigned i = 0; i < src.ColumnCount(); ++i) {
        const VESK_Variable& v = src.GetVariable(int(i));
        const VESK_Format f = v.GetFormat();
        const OBS* m[3];
        const int rule = v.GetMissingValues(m[0], m[1], m[2]);
        std::ostringstream s;
        s << v.GetName() << '|' << (v.GetLabel() ? v.GetLabel() : "") << '|' << v.GetType() << '|' << int(f.code)
          << '.' << f.width << '.' << int(f.decimals) << '|' << rule;
        for (int k = 0; k < std::abs(rule); ++k) {
            if (v.GetType()) s << " '" << std::string(m[k]->c, 8) << "'";
            else s << ' ' << m[k]->d;
        }
        out.push_back(s.str());
    }
    return out;
}

}  // namespace

TEST(SystemFileReaderTest, DictionaryRecordsInBothByteOrders) {
    TempDir dir("sysfilereader");
    for (ByteOrder order : kOrders) {
        SysFileBuilder::HeaderSpec h{.weightIndex = 5, .date = "05 mar 24", .time = "13:45:07", .label = "survey  "};
        const std::string path = MakeFile(dir.File("dict.sys"), order, 0, [](SysFileBuilder& b) {
            b.Variable({.name = "AGE", .label = "Age 5", .missing = {-1, 99}})
                .Variable({.name = "CITY", .type = 20, .label = "City of residence", .missingText = {"none"}})
                .Variable({.name = "WT", .missing = {1, 5, 9}, .missingCount = -3,
                           .print = EncodeFormatWord(5, 60, 3)})
                .Variable({.name = "Q1", .missing = {0, 10}, .missingCount = -2});
            b.ValueLabels({{1, "one"}, {2, "seven b"}, {3, "eight by"}}, {b.PositionOf("AGE"), b.PositionOf("Q1")});
            b.StringValueLabels({{"x", "ex"}}, {b.PositionOf("CITY")});
            b.Documents({"first line", "second"});
            b.ExtensionText(30, "raw block");
        }, {}, h);
        SystemFileDataSource src(path, "", false);
        // Weight index 5 is the cell of WT (AGE 1, CITY 2-4).
        EXPECT_EQ(std::make_tuple(src.bReversedByteOrder(), src.GetObsAreaSize(), std::string(src.GetLabel()),
                                  src.EyeCatcher(), src.IsDirty(), src.GetWeightVarIndex(), src.GetTimestamp() > 0),
                  std::make_tuple(order.Reversed(), 6u, "survey", kProductText, false, 2, true));
        // No long-name record: names in lower case. Widths above 40 are cut to 40.
        EXPECT_EQ(Variables(src), (std::vector<std::string>{"age|Age 5|0|5.8.2|2 -1 99",
                                                            "city|City of residence|20|1.20.0|1 'none    '",
                                                            "wt||0|5.40.3|-3 1 5 9", "q1||0|5.8.2|-2 0 10"}));
        // One map shared by two variables, values in machine order.
        VESK_ValueLabelMap ages(src.GetVariable(0).GetValueLabels()), cities(src.GetVariable(1).GetValueLabels());
        EXPECT_TRUE(src.GetVariable(0).GetValueLabels() == src.GetVariable(3).GetValueLabels());
        EXPECT_EQ(std::make_tuple(std::string(ages.GetLabel(2.0)), std::string(ages.GetLabel(3.0)), cities.Type(),
                                  std::string(cities.GetLabel(std::string("x")))),
                  std::make_tuple("seven b", "eight by", 20, "ex"));
        // Documents become extension 0; the unknown subtype is kept raw.
        const VESK_DataSource::Extension docs(src, 0), raw(src, 30);
        EXPECT_EQ(std::make_tuple(docs.Length(), docs.Elements().substr(0, 11), raw.Elements()),
                  std::make_tuple(160L, std::string("first line "), std::string("raw block")));
        int release[3];
        EXPECT_FALSE(src.GetReleaseInfo(release));
        EXPECT_EQ(release[0], 23);
    }
}

TEST(SystemFileReaderTest, CasesSeekAndTellInEveryCompressionAndByteOrder) {
    TempDir dir("sysfilereader");
    const Rows rows = SmallRows(3000);
    for (int v = 0; v < 12; ++v) {
        const bool async = v < 6;
        const ByteOrder order = kOrders[v / 3 % 2];
        const int compression = v % 3;
        SCOPED_TRACE(testing::Message() << "async " << async << " reversed " << order.Reversed() << " code "
                                        << compression);
        SetAsynchReading(async);
        const std::string path = MakeFile(dir.File("s.sys"), order, compression, SmallDictionary, rows);
        SystemFileDataSource src(path, "", false);
        EXPECT_EQ(src.GetCompressionLevel(), compression);
        EXPECT_EQ(src.RowCount(), 3000);
        EXPECT_EQ(BitsOf(ReadAll(src)), BitsOf(rows));
        std::unique_ptr<VESK_InputCaseIterator> it(src.MakeIterator(nullptr)), other(src.MakeIterator(nullptr));
        EXPECT_EQ(it->IsSeekOK(), 1);
        for (int i = 0; i < 10; ++i) ASSERT_EQ(it->NextCase(), 1);
        EXPECT_EQ(it->Tell(), 10);
        // Backwards, forwards far beyond what was read, to the row just read.
        for (int64_t r : {5, 17, 2500, 2500, 0, 1234, 1233, 2999}) {
            EXPECT_EQ(it->Seek(r), 1);
            EXPECT_EQ(it->Tell(), r);
            ASSERT_EQ(it->NextCase(), 1) << r;
            EXPECT_EQ(it->GetCase().Cells()[4].d, rows[size_t(r)][4].d) << r;
        }
        EXPECT_EQ(it->NextCase(), 0);  // 2999 was the last
        // Batches (bytecode decodes them in runs): a thousand rows, one row
        // back, a seek back through the index, the rest, nothing more.
        {
            std::unique_ptr<VESK_InputCaseIterator> batched(src.MakeIterator(nullptr));
            auto* file = dynamic_cast<SystemFileDataSource::Iterator*>(batched.get());
            ASSERT_NE(file, nullptr);
            const size_t stride = src.GetObsAreaSize();
            std::vector<OBS> block(stride * 3000);
            auto agree = [&](int64_t first, int64_t count) {
                for (int64_t r = 0; r < count; ++r)
                    for (size_t c = 0; c < stride; ++c)
                        ASSERT_EQ(block[size_t(r) * stride + c].bits, rows[size_t(first + r)][c].bits) << first + r;
            };
            ASSERT_EQ(file->NextCases(block.data(), stride, 1000), 1000);
            agree(0, 1000);
            ASSERT_EQ(batched->Seek(999), 1);
            ASSERT_EQ(batched->NextCase(), 1);
            EXPECT_EQ(batched->GetCase().Cells()[4].d, rows[999][4].d);
            ASSERT_EQ(batched->Seek(250), 1);
            ASSERT_EQ(file->NextCases(block.data(), stride, 5000), 2750);
            agree(250, 2750);
            EXPECT_EQ(file->NextCases(block.data(), stride, 10), 0);
        }
        // Two iterators read alternately.
        it->Seek(100);
        for (int i = 0; i < 50; ++i) {
            ASSERT_EQ(it->NextCase() + other->NextCase(), 2);
            EXPECT_EQ(it->GetCase().Cells()[4].d, rows[size_t(100 + i)][4].d);
            EXPECT_EQ(other->GetCase().Cells()[4].d, rows[size_t(i)][4].d);
        }
    }
    SetAsynchReading(true);
}

TEST(SystemFileReaderTest, RowCountSettlesAtTheEnd) {
    TempDir dir("sysfilereader");
    const Rows rows = SmallRows(90);
    for (int compression : {0, 1, 2}) {
        // Declared -1, too high, too low: all 90 rows arrive; the count ends as
        // the rows read unless it was too low. A Seek beyond the end settles it.
        for (const auto& [declared, after] : {std::pair{-1, 90}, {100, 90}, {80, 80}}) {
            SCOPED_TRACE(testing::Message() << "code " << compression << " declared " << declared);
            SystemFileDataSource src(MakeFile(dir.File("n.sys"), ByteOrder::Native(), compression, SmallDictionary,
                                              rows, {.caseCount = declared}), "", false);
            EXPECT_EQ(src.RowCount(), declared);
            EXPECT_EQ(ReadAll(src).size(), 90u);
            EXPECT_EQ(src.RowCount(), after);
        }
        SystemFileDataSource sought(MakeFile(dir.File("n.sys"), ByteOrder::Native(), compression, SmallDictionary,
                                             rows, {.caseCount = -1}), "", false);
        std::unique_ptr<VESK_InputCaseIterator> it(sought.MakeIterator(nullptr));
        it->Seek(500);
        EXPECT_EQ(it->NextCase(), 0);
        EXPECT_EQ(sought.RowCount(), 90);
    }
}

TEST(SystemFileReaderTest, VeryLongStringsAreRebuilt) {
    TempDir dir("sysfilereader");
    std::string text300;
    for (int i = 0; i < 300; ++i) text300 += char('a' + i % 26);
    const std::string text600(600, 'Q');
    // ID, ADDRESS (300: one full segment and 48 bytes), N, LONGS (600: two
    // full segments and 96 bytes), Z.
    auto dict = [](SysFileBuilder& b) {
        b.Variable({.name = "ID"}).Variable({.name = "ADDRESS", .type = 255}).Variable({.name = "ADDRE0", .type = 48});
        b.Variable({.name = "N"});
        b.Variable({.name = "LONGS", .type = 255}).Variable({.name = "LONGS1", .type = 255});
        b.Variable({.name = "LONGS2", .type = 96}).Variable({.name = "Z"});
        b.ExtensionText(13, "ID=Id\tADDRESS=Address\tADDRE0=ADDRE0\tN=N\tLONGS=Longs\tLONGS1=LONGS1\tLONGS2=LONGS2\tZ=Z");
        b.ExtensionText(14, std::string("ADDRESS=300\0\tLONGS=600\0\t", 24));
    };
    // The second row's first segment carries 253 bytes, then two unused zero bytes.
    Cells plain, zeros;
    plain.Num(7).Str(text300.substr(0, 255) + " ", 255).Str(text300.substr(255), 48);
    zeros.Num(7).Str(text300.substr(0, 253) + std::string("\0\0 ", 3), 255).Str(text300.substr(253), 48);
    for (Cells* c : {&plain, &zeros})
        c->Num(8).Str(text600.substr(0, 255) + " ", 255).Str(text600.substr(255, 255) + " ", 255)
            .Str(text600.substr(510), 96).Num(9);
    for (ByteOrder order : kOrders) {
        for (int compression : {0, 1, 2}) {
            const std::string path = MakeFile(dir.File("v.sys"), order, compression, dict, {plain.Get(), zeros.Get()});
            SystemFileDataSource src(path, "", false);
            EXPECT_EQ(Variables(src)[1], "Address||300|1.300.0|0");
            EXPECT_EQ(src.GetVariable(3).GetType(), 600);
            EXPECT_EQ(src.Options()._cellsPerCase, 1 + 38 + 1 + 76 + 1);
            EXPECT_EQ(src.GetObsAreaSize(), 1u + 38 + 1 + 75 + 1);
            std::unique_ptr<VESK_InputCaseIterator> it(src.MakeIterator(nullptr));
            for (int r = 0; r < 2; ++r) {
                ASSERT_EQ(it->NextCase(), 1);
                EXPECT_EQ(std::make_tuple(it->GetNumericValue(0), it->GetNumericValue(2), it->GetNumericValue(4)),
                          std::make_tuple(7.0, 8.0, 9.0));
                EXPECT_EQ(std::string(it->GetStringValue(1), 304), text300 + "    ");
                EXPECT_EQ(std::string(it->GetStringValue(3), 600), text600);
            }
            EXPECT_EQ(it->NextCase(), 0);
        }
    }
    // Entries built from the stored dictionary equal those from cells, and the
    // fit check refuses entries that would leave the buffers.
    SysFileBuilder b;
    dict(b);
    b.End();
    WriteBytes(dir.File("plain.sys"), b.Bytes());
    SystemFileDataSource stored(dir.File("plain.sys"), "", false);
    const auto& chunks = stored.Options()._chunks;
    ASSERT_EQ(chunks.size(), 3u);  // leading entry, then one per string
    EXPECT_EQ(std::make_tuple(chunks[0].cellsAfter, chunks[1].cellsAfter, chunks[2].targetCell),
              std::make_tuple(1, 1, 40));
    EXPECT_TRUE(SystemFileDechunker::Fits(chunks, 117, 116));
    EXPECT_FALSE(SystemFileDechunker::Fits(chunks, 116, 116));
    EXPECT_FALSE(SystemFileDechunker::Fits(chunks, 117, 115));
}

TEST(SystemFileReaderTest, FixVarNamesAndLongNames) {
    TempDir dir("sysfilereader");
    // Equal but for case, invalid, already named like the first candidate.
    SysFileBuilder b;
    b.Variable({.name = "Abc"}).Variable({.name = "ABC"}).Variable({.name = "_bad"}).Variable({.name = "V1"});
    b.Variable({.name = "1st"}).Variable({.name = "a.b$"}).Variable({.name = ""}).Variable({.name = "$sys"});
    b.ExtensionText(13, "Abc=Abc\tABC=ABC\tV1=V1\tX=LongNameX");
    b.End();
    WriteBytes(dir.File("names.sys"), b.Bytes());
    SystemFileDataSource src(dir.File("names.sys"), "", false);
    auto names = [&] {
        std::vector<std::string> out;
        for (const std::string& v : Variables(src)) out.push_back(v.substr(0, v.find('|')));
        return out;
    };
    EXPECT_EQ(names(), (std::vector<std::string>{"Abc", "v2", "v3", "V1", "1st", "a.b$", "v4", "v5"}));

    Monitor monitor;
    SystemFileDataSource::FixVarNames(src, &monitor);
    EXPECT_TRUE(monitor.messages.empty());
    src.GetVariable(4).SetName("ABC");
    SystemFileDataSource::FixVarNames(src, &monitor);
    EXPECT_EQ(src.GetVariable(4).GetName(), "v6");  // V1 to V5 are taken
    ASSERT_EQ(monitor.messages.size(), 1u);
    EXPECT_NE(monitor.messages[0].find("no message"), std::string::npos);

    // Long-name table lookups in file order; no match is 1507.
    char out[65];
    src.GetInputFileCompatName("LongNameX", out);
    EXPECT_STREQ(out, "X");
    src.GetCompatName("X", out);
    EXPECT_STREQ(out, "LongNameX");
    EXPECT_EQ(ErrorOf([&] { src.GetCompatName("nope", out); }), 1507);
    EXPECT_EQ(ErrorOf([&] { src.GetInputFileCompatName("nope", out); }), 1507);
}

TEST(SystemFileReaderTest, WeightEncodingAndWritingSide) {
    TempDir dir("sysfilereader");
    // Weight index 2 points into the continuation cells of a string.
    SysFileBuilder b;
    b.Header({.weightIndex = 2});
    b.Variable({.name = "S", .type = 20}).Variable({.name = "W"});
    b.ExtensionInts(3, {21, 1, 2, 720, 1, 1, 2, 1252});
    b.End();
    WriteBytes(dir.File("w.sys"), b.Bytes());
    {
        SystemFileDataSource src(dir.File("w.sys"), "", false);
        EXPECT_EQ(src.GetWeightVarIndex(), -1);
        int release[3];
        EXPECT_TRUE(src.GetReleaseInfo(release));
        EXPECT_EQ(release[0], 21);
        EXPECT_EQ(src.CharacterEncoding(), "windows-1252");
    }
    // A password allows bytecode only; unknown levels are bytecode.
    SystemFileDataSource fresh, secret;
    fresh.SetCompressionLevel(7);
    secret.SetCompressionLevel(2);
    secret.SetPassword(ExtNameStr("secret"));
    const int lowered = secret.GetCompressionLevel();
    secret.SetCompressionLevel(2);
    EXPECT_EQ(std::make_tuple(fresh.GetCompressionLevel(), lowered, secret.GetCompressionLevel()),
              std::make_tuple(1, 1, 1));

    // A file in the process's encoding gets the reader itself, without warnings.
    const int utf8 = qUTF8mode();
    SetUTF8mode(1);
    Monitor monitor;
    SysFileBuilder u;
    u.Variable({.name = "A"}).ExtensionText(20, "UTF-8").End();
    WriteBytes(dir.File("u.sys"), u.Bytes());
    VESK_DataSource* same = SystemFileDataSource::GetSystemFile(dir.File("u.sys"), "", false, &monitor);
    EXPECT_NE(dynamic_cast<SystemFileDataSource*>(same), nullptr);
    EXPECT_TRUE(monitor.messages.empty());
    DeleteLine(same);
    SetUTF8mode(utf8);
}

TEST(SystemFileReaderTest, MalformedFilesRaiseTheirErrors) {
    TempDir dir("sysfilereader");
    const std::string path = dir.File("bad.sys");
    auto errorOf = [&](const Bytes& bytes) {
        WriteBytes(path, bytes);
        return ErrorOf([&] {
            SystemFileDataSource src(path, "", false);
            ReadAll(src);
        });
    };
    auto withRecords = [&](const Dictionary& records, bool end = true) {
        SysFileBuilder b(ByteOrder(true));
        b.Variable({.name = "A"}).Variable({.name = "S", .type = 12});
        records(b);
        if (end) b.End();
        return b.Bytes();
    };
    EXPECT_EQ(ErrorOf([&] { SystemFileDataSource(dir.File("none.sys"), "", false); }), 1201);
    EXPECT_EQ(errorOf(withRecords([](SysFileBuilder&) {})), 0);
    // Magic, encryption, password.
    EXPECT_EQ(errorOf(Bytes{'$', 'F', 'L', '9', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 1204);
    Bytes encrypted(64, 0);
    std::memcpy(encrypted.data() + 8, "ENCRYPTEDSAV", 12);
    EXPECT_EQ(errorOf(encrypted), 1214);
    EXPECT_EQ(errorOf(Bytes{'$', 'F'}), 1205);
    EXPECT_EQ(errorOf(Bytes{'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'E', 'N', 'C'}), 1205);  // cut in the second magic
    // A plain file opened with a password: no password form opens it.
    WriteBytes(path, withRecords([](SysFileBuilder&) {}));
    EXPECT_EQ(ErrorOf([&] { SystemFileDataSource(path, "pw", false); }), 1213);
    EXPECT_EQ(errorOf(SysFileBuilder().Header({.compression = 5}).End().Bytes()), 1204);  // an unknown compression
    // Records out of place or unknown, bad variable records, and hostile counts
    // that must be rejected before anything is allocated for them.
    auto hostileLabel = [](int32_t length) -> Dictionary {
        return [length](SysFileBuilder& b) {
            b.I32(kRecVariable).I32(0).I32(1).I32(0).I32(0).I32(0).Padded("L", 8).I32(length);
        };
    };
    // The records, the error, whether a termination record follows.
    const std::tuple<Dictionary, int, bool> bad[] = {
        {[](SysFileBuilder& b) { b.I32(5); }, 1204, true},
        {[](SysFileBuilder& b) { b.ValueLabelVarRecord({1}); }, 1204, true},
        {[](SysFileBuilder& b) { b.Documents({"x"}).Variable({.name = "LATE"}); }, 1204, true},
        {[](SysFileBuilder& b) { b.ValueLabelRecord({}, true).Documents({"x"}); }, 1204, true},
        {[](SysFileBuilder& b) { b.ValueLabels({{1, "a"}}, {}); }, 1204, true},
        {[](SysFileBuilder& b) { b.ValueLabels({{1, "a"}}, {3}); }, 1204, true},  // a continuation
        {[](SysFileBuilder& b) { b.ValueLabels({{1, "a"}}, {1, 2}); }, 1204, true},
        {[](SysFileBuilder& b) { b.Variable({.name = "M", .missingCount = -1}); }, 1204, true},
        {[](SysFileBuilder& b) { b.Variable({.name = "W", .type = 300}); }, 1204, true},
        {hostileLabel(0x7FFFFFF0), 1205, false},
        {hostileLabel(-8), 1204, false},
        {[](SysFileBuilder& b) { b.I32(kRecValueLabels).I32(0x7FFFFFFF); }, 1205, false},
        {[](SysFileBuilder& b) { b.I32(kRecValueLabels).I32(-3); }, 1204, false},
        {[](SysFileBuilder& b) { b.ValueLabelRecord({}, true).I32(kRecValueLabelVars).I32(1 << 30); }, 1205, false},
        {[](SysFileBuilder& b) { b.I32(kRecDocument).I32(0x7FFFFFFF); }, 1205, false},
        {[](SysFileBuilder& b) { b.I32(kRecDocument).I32(-1); }, 1204, false},
        {[](SysFileBuilder& b) { b.I32(7).I32(30).I32(8).I32(0x7FFFFFFF); }, 1205, false},
        {[](SysFileBuilder& b) { b.I32(7).I32(30).I32(0).I32(4); }, 1204, true},
        {[](SysFileBuilder& b) { b.ExtensionText(13, "A=a\tB=b=c"); }, 1204, true},  // a handler's complaint
    };
    for (size_t i = 0; i < std::size(bad); ++i) {
        const auto& [records, error, end] = bad[i];
        EXPECT_EQ(errorOf(withRecords(records, end)), error) << "entry " << i;
    }
}

TEST(SystemFileReaderTest, TruncatedFilesNeverCrash) {
    TempDir dir("sysfilereader");
    auto dict = [](SysFileBuilder& b) {
        b.Variable({.name = "AGE", .label = "Age", .missing = {99}}).Variable({.name = "NAME", .type = 20});
        b.ValueLabels({{1, "one"}}, {1});
        b.Documents({"doc"});
        b.ExtensionInts(3, {23, 0, 0, 720, 1, 1, 2, 65001});
        b.ExtensionText(13, "AGE=Age\tNAME=Name");
    };
    Rows rows;
    for (int i = 0; i < 12; ++i) rows.push_back(Cells().Num(i == 3 ? 0.5 : i).Str("n" + std::to_string(i), 20).Get());
    for (int compression : {0, 1, 2}) {
        const Bytes whole = ReadBytes(MakeFile(dir.File("whole.sys"), ByteOrder(true), compression, dict, rows));
        const std::string path = dir.File("cut.sys");
        for (size_t cut = 0; cut < whole.size(); ++cut) {
            WriteBytes(path, Bytes(whole.begin(), whole.begin() + long(cut)));
            size_t got = 0;
            const int error = ErrorOf([&] {
                SystemFileDataSource src(path, "", false);
                got = ReadAll(src).size();
            });
            if (error == 0) {
                // Only a cut at a case boundary of a plain or bytecode area reads cleanly.
                EXPECT_NE(compression, 2) << cut;
                EXPECT_LT(got, rows.size()) << cut;
            } else {
                EXPECT_TRUE(error == 1204 || error == 1205) << "code " << compression << " cut " << cut << ": " << error;
            }
        }
    }
}
