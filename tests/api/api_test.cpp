#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "SystemFileDataSource.h"
#include "case.h"
#include "dates.h"
#include "textmb.h"
#include "tempdir.h"
#include "vesk/vesk.hpp"
#include "vesk_assert.h"

using namespace std::chrono;
using vesk::Cell;
using vesk::Format;
using vesk::Value;
using vesk::Variable;

namespace {

class ApiTest : public ::testing::Test {
protected:
    TempDir fTemp{"api_test"};
    std::string Path(const std::string& name) const { return fTemp.File(name); }
    size_t FileCount() const { return fTemp.Names().size(); }
};

// The message number of the vesk::Error f raises; 0 when it raises none.
int CodeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const vesk::Error& e) {
        return e.code();
    }
    return 0;
}

// A dictionary with one variable of each kind the writer handles.
std::vector<Variable> Survey() {
    Variable id = Variable::numeric("id", Format::number(6, 0));
    id.measure = vesk::Measure::scale;
    id.attributes = {{"Origin", {"register", "door-to-door"}}};
    Variable sex = Variable::numeric("Sex");
    sex.label = "Sex of the respondent";
    sex.value_labels = {{1, "male"}, {2, "female"}, {9, "no answer"}};
    sex.missing.values = {Value(9)};
    Variable income = Variable::numeric("income", Format::number(10, 2));
    income.missing.range = vesk::MissingValues::Range{-99, -1};
    income.missing.values = {Value(999999)};
    Variable town = Variable::string("town", 12);
    town.value_labels = {{"Ørsted", "a town with a long name"}};
    town.missing.values = {Value("none"), Value("?")};
    Variable note = Variable::string("Remark_of_the_interviewer", 300);
    note.label = "";
    Variable born = Variable::numeric("born", Format::date());
    Variable seen = Variable::numeric("seen", Format::datetime(3));
    Variable took = Variable::numeric("took", Format::time());
    return {id, sex, income, town, note, born, seen, took};
}

std::vector<std::vector<Cell>> SurveyRows() {
    static const std::string kLong(300, 'x');
    const double born = vesk::from_date(year{1961} / August / 4);
    return {
        {1, 1, 1234.5, "Lüneburg", kLong, born, born + 3600.25, 125.0},
        {2, 2, std::nullopt, "Ørsted", "", std::nullopt, 0.0, 86400 * 2 + 1.0},
        {3, 9, -50, "none", "short", born - 86400 * 365, std::nullopt, std::nullopt},
    };
}

void WriteSurvey(const std::string& path, vesk::Compression compression) {
    vesk::WriterOptions options;
    options.compression = compression;
    options.label = "Survey of the demo town";
    options.attributes = {{"Wave", {"3"}}};
    vesk::Writer w(path, Survey(), options);
    for (const std::vector<Cell>& row : SurveyRows()) w.write_row(row);
    w.close();
}

// What a Reader reports is what the writer was given, field by field.
void ExpectSameDictionary(const std::vector<Variable>& got, const std::vector<Variable>& given) {
    ASSERT_EQ(got.size(), given.size());
    for (size_t i = 0; i < given.size(); ++i) {
        const Variable &g = got[i], &v = given[i];
        EXPECT_EQ(std::tie(g.name, g.width, g.label, g.print, g.write, g.value_labels, g.missing, g.attributes),
                  std::tie(v.name, v.width, v.label, v.print, v.write, v.value_labels, v.missing, v.attributes))
            << v.name;
        EXPECT_TRUE(!v.measure || g.measure == v.measure) << v.name;
    }
}

}  // namespace

// ---------------------------------------------------------------- round trips

TEST_F(ApiTest, WrittenFileReadsBackInEveryCompression) {
    for (vesk::Compression c : {vesk::Compression::none, vesk::Compression::bytecode, vesk::Compression::zlib}) {
        const std::string path = Path("survey" + std::to_string(int(c)) + ".sys");
        WriteSurvey(path, c);
        vesk::Reader r(path);
        EXPECT_EQ(r.compression(), c);
        EXPECT_EQ(r.label(), "Survey of the demo town");
        EXPECT_EQ(r.attributes(), (vesk::Attributes{{"Wave", {"3"}}}));
        ExpectSameDictionary(r.variables(), Survey());
        EXPECT_TRUE(r.variables()[5].is_date() && r.variables()[6].is_date() && r.variables()[7].is_time());
        ASSERT_EQ(r.row_count(), 3);

        const std::vector<std::vector<Cell>> rows = SurveyRows();
        int64_t n = 0;
        for (const vesk::Row& row : r.rows()) {
            const std::vector<Cell>& want = rows[size_t(row.index())];
            for (size_t k = 0; k < want.size(); ++k) {
                const Cell got = row[k];
                EXPECT_EQ(got.kind(), want[k].kind()) << row.index() << " " << k;
                EXPECT_EQ(got.number(), want[k].number()) << row.index() << " " << k;
                EXPECT_EQ(got.text(), want[k].text()) << row.index() << " " << k;
            }
            ++n;
        }
        EXPECT_EQ(n, 3);
    }
}

// The engine's own reader sees in the file what the Writer was given.
TEST_F(ApiTest, SpecifiedReaderSeesWhatTheWriterWrote) {
    const std::string path = Path("survey.sys");
    WriteSurvey(path, vesk::Compression::bytecode);
    SystemFileDataSource file(path, "", false);
    ASSERT_EQ(file.ColumnCount(), 8u);
    EXPECT_EQ(file.CharacterEncoding(), "UTF-8");
    EXPECT_EQ(file.GetVariable(4).GetName(), "Remark_of_the_interviewer");
    EXPECT_EQ(file.GetVariable(4).GetType(), 300);
    EXPECT_TRUE(file.GetVariable(1).IsMissing(9.0) && !file.GetVariable(1).IsMissing(2.0));
    EXPECT_TRUE(file.GetVariable(2).IsMissing(-50.0) && file.GetVariable(2).IsMissing(999999.0));
    EXPECT_TRUE(file.GetVariable(3).IsMissing("none") && file.GetVariable(3).IsMissing("?"));
    EXPECT_STREQ(VESK_ValueLabelMap(file.GetVariable(1).GetValueLabels()).GetLabel(2.0), "female");

    std::unique_ptr<VESK_InputCaseIterator> it(file.MakeIterator(nullptr));
    ASSERT_TRUE(it->NextCase());
    EXPECT_EQ(it->GetNumericValue(2), 1234.5);
    EXPECT_EQ(std::string(it->GetStringValue(3), 12), "Lüneburg   ");
    EXPECT_EQ(std::string(it->GetStringValue(4), 300), std::string(300, 'x'));
    ASSERT_TRUE(it->NextCase());
    EXPECT_EQ(it->GetNumericValue(2), VESK_DataSource::SystemMissing());
    EXPECT_EQ(std::string(it->GetStringValue(4), 8), std::string(8, ' '));
}

// A file written by the engine in a code page comes out of a Reader in
// UTF-8, whatever the process's encoding, which the Reader leaves as it was.
TEST_F(ApiTest, CodePageFileReadsAsUtf8) {
    const std::string path = Path("latin.sys");
    {
        SystemFileDataSource out;
        out.CharacterEncoding("windows-1252");
        out.MakeVariable(0).SetName("gr\xF6\xDF" "e");
        out.MakeVariable(5).SetName("stadt");
        out.GetVariable(1).SetLabel("M\xFCnster oder K\xF6ln");
        out.SetFileSpec(path.c_str());
        VESK_Case row(out, nullptr);
        row.SetColumnValue(0, 1.5);
        row.SetColumnValue(1, "K\xF6ln");
        out.AddRow(row.Cells());
        out.Close();
    }
    const std::string codePage = VESKMBCurrentConverterName_A();
    const int mode = qUTF8mode();
    vesk::Reader r(path);
    EXPECT_EQ(std::make_pair(std::string(VESKMBCurrentConverterName_A()), qUTF8mode()), std::make_pair(codePage, mode));
    EXPECT_EQ(r.file_encoding(), "windows-1252");
    EXPECT_EQ(r.variables()[0].name, "größe");
    EXPECT_EQ(r.variables()[1].label, "Münster oder Köln");
    EXPECT_EQ(r.column("GRÖSSE"), 0u) << "case-insensitive lookup of a converted name";
    const vesk::Batch b = r.read();
    EXPECT_EQ(b.columns[1].strings[0], "Köln");
    EXPECT_EQ(b.columns[0].numbers, std::vector<double>{1.5});
}

// A code-page file of numbers only is read through the file's own iterator
// (the converting view changes nothing in its cases): the same values by
// rows, by a whole read and by a slice, and the names still converted.
TEST_F(ApiTest, CodePageFileOfNumbersReadsAsStored) {
    const std::string path = Path("latin-numbers.sys");
    const int kRows = 5000;
    {
        SystemFileDataSource out;
        out.CharacterEncoding("windows-1252");
        out.SetCompressionLevel(1);
        out.MakeVariable(0).SetName("gr\xF6\xDF" "e");
        out.MakeVariable(0).SetName("x");
        out.SetFileSpec(path.c_str());
        VESK_Case row(out, nullptr);
        for (int k = 0; k < kRows; ++k) {
            row.SetColumnValue(0, k % 7 == 0 ? VESK_DataSource::SystemMissing() : k * 0.25);
            row.SetColumnValue(1, double(k % 100));
            out.AddRow(row.Cells());
        }
        out.Close();
    }
    vesk::Reader r(path);
    EXPECT_EQ(r.variables()[0].name, "größe");
    const vesk::Batch all = r.read();
    ASSERT_EQ(all.columns[0].numbers.size(), size_t(kRows));
    int k = 0;
    for (const vesk::Row& row : r.rows()) {
        const std::optional<double> v = row.number(0);
        EXPECT_EQ(v.has_value(), k % 7 != 0);
        EXPECT_EQ(std::isnan(all.columns[0].numbers[k]), k % 7 == 0);
        if (v) EXPECT_EQ(*v, all.columns[0].numbers[k]);
        EXPECT_EQ(row.number(1), all.columns[1].numbers[k]);
        ++k;
    }
    EXPECT_EQ(k, kRows);
    const std::vector<size_t> second{1};
    const vesk::Batch slice = r.read(second, 4321, 100);
    ASSERT_EQ(slice.columns[0].numbers.size(), 100u);
    EXPECT_EQ(slice.columns[0].numbers[0], 4321 % 100);
    EXPECT_EQ(slice.columns[0].numbers[99], (4321 + 99) % 100);
}

// ---------------------------------------------------------------- columnar reads

// Each compression: cases come straight from the file's iterator, whole
// uncompressed cases in one read.
TEST_F(ApiTest, ColumnarReadsAgreeWithRows) {
    for (vesk::Compression compression :
         {vesk::Compression::none, vesk::Compression::bytecode, vesk::Compression::zlib}) {
        SCOPED_TRACE(int(compression));
        const std::string path = Path("many" + std::to_string(int(compression)) + ".sys");
        constexpr int64_t kRows = 20000;  // enough for decoding ahead on a second thread
        {
            vesk::WriterOptions options;
            options.compression = compression;
            Variable score = Variable::numeric("score");
            score.missing.values = {Value(-1)};
            vesk::Writer w(path, {Variable::numeric("n"), score, Variable::string("word", 10)}, options);
            vesk::StringColumn words;
            std::vector<double> n, s;
            for (int64_t i = 0; i < kRows; ++i) {
                n.push_back(i % 7 == 0 ? NAN : double(i % 100));  // codes: bytecode is decoded ahead
                s.push_back(i % 5 == 0 ? -1 : i * 0.5);
                words.push_back(i % 3 == 0 ? "" : "w" + std::to_string(i));
            }
            w.write_columns({n, s, words});
            w.close();
        }
        vesk::Reader r(path);
        for (bool ahead : {false, true}) {
            vesk::BatchOptions o;
            o.decode_ahead = ahead;
            o.mask = true;
            const vesk::Batch b = r.read({}, 0, -1, o);
            ASSERT_EQ(b.rows, kRows);
            int64_t i = 0;
            for (const vesk::Row& row : r.rows()) {
                const double n = b.columns[0].numbers[size_t(i)], s = b.columns[1].numbers[size_t(i)];
                EXPECT_EQ(std::isnan(n), !row.number(0)) << i;
                EXPECT_EQ(std::isnan(s), row.is_missing(1)) << i;
                EXPECT_EQ(b.columns[1].missing[size_t(i)], row.is_missing(1)) << i;
                EXPECT_TRUE(std::isnan(s) || s == row.number(1)) << i;
                EXPECT_EQ(b.columns[2].strings[size_t(i)], row.text(2)) << i;
                ++i;
            }
        }
        // User-missing values kept; the system-missing value left in place.
        vesk::BatchOptions keep;
        keep.user_missing = true;
        keep.nan_for_missing = false;
        const size_t columns[] = {1, 0};
        const vesk::Batch b = r.read(columns, 0, 10, keep);
        EXPECT_EQ(b.columns[0].numbers[0], -1);
        EXPECT_EQ(b.columns[1].numbers[0], VESK_DataSource::SystemMissing());
    }
}

// A read larger than the cache stores its numbers past it: all of them
// arrive, system-missing as NaN, also into an array that starts between two
// 16-byte boundaries and for an odd number of rows. Small integers are
// compressed codes (decoded ahead on a second thread), fractions raw cells
// (read on the calling thread).
TEST_F(ApiTest, LargeColumnarReadsDeliverEveryValue) {
    constexpr int64_t kRows = (64 << 20) / 8 + 1000;
    for (bool codes : {true, false}) {
        SCOPED_TRACE(codes);
        auto value = [&](int64_t i) { return i % 11 == 0 ? NAN : codes ? double(i % 100) : i + 0.25; };
        const std::string path = Path(codes ? "large-codes.sys" : "large-raw.sys");
        {
            vesk::WriterOptions options;
            options.compression = vesk::Compression::bytecode;
            vesk::Writer w(path, {Variable::numeric("x")}, options);
            std::vector<double> x(static_cast<size_t>(kRows));
            for (size_t i = 0; i < x.size(); ++i) x[i] = value(int64_t(i));
            w.write_columns({x});
            w.close();
        }
        vesk::Reader r(path);
        std::vector<double> x(size_t(kRows) + 1, -7);
        const vesk::ColumnTarget targets[] = {{.column = 0, .numbers = x.data() + 1}};
        ASSERT_EQ(r.read_into(targets, 1, kRows - 1), kRows - 1);
        int64_t wrong = 0;
        for (int64_t i = 1; i < kRows; ++i) {
            const double v = value(i), got = x[size_t(i)];
            wrong += std::isnan(v) ? !std::isnan(got) : got != v;
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(x[0], -7);
    }
}

TEST_F(ApiTest, ReadIntoSlicesContinuesAndStopsAtTheEnd) {
    const std::string path = Path("slices.sys");
    {
        vesk::Writer w(path, {Variable::numeric("x"), Variable::string("s", 3)});
        for (int i = 0; i < 100; ++i) w.write_row({i, std::to_string(i)});
        w.close();
    }
    vesk::Reader r(path);
    double x[40];
    vesk::StringColumn s;
    const vesk::ColumnTarget targets[] = {{.column = 0, .numbers = x}, {.column = 1, .strings = &s}};
    EXPECT_EQ(r.read_into(targets, 90, 40), 10);
    EXPECT_EQ(x[0], 90);
    EXPECT_EQ(s[9], "99");
    EXPECT_EQ(r.read_into(targets, 10, 20), 20);
    EXPECT_EQ(r.read_into(targets, 30, 20), 20);  // on from where the last read stopped
    EXPECT_EQ(x[19], 49);
    EXPECT_EQ(s.size(), 50u) << "texts are appended";
    EXPECT_EQ(r.read_into(targets, 500, 5), 0);
    EXPECT_EQ(r.read().rows, 100);

    const vesk::ColumnTarget wrong[] = {{.column = 1, .numbers = x}};
    EXPECT_THROW(r.read_into(wrong, 0, 1), std::invalid_argument);
    const vesk::ColumnTarget beyond[] = {{.column = 2, .numbers = x}};
    EXPECT_THROW(r.read_into(beyond, 0, 1), std::out_of_range);
}

// A file cut inside its data raises 1205 through every reading path, the
// decoding thread's included, and the reader can still be closed.
TEST_F(ApiTest, DamagedDataRaisesThroughEveryPath) {
    for (vesk::Compression compression : {vesk::Compression::none, vesk::Compression::bytecode}) {
        SCOPED_TRACE(int(compression));
        const std::string path = Path("cut" + std::to_string(int(compression)) + ".sys");
        {
            vesk::WriterOptions options;
            options.compression = compression;
            vesk::Writer w(path, {Variable::numeric("x"), Variable::numeric("y"), Variable::numeric("z")},
                           options);
            // Two codes to a raw cell: bytecode small enough to be decoded ahead.
            std::vector<double> x(30000), y(30000), z(30000);
            for (size_t i = 0; i < x.size(); ++i) {
                x[i] = double(i) + 0.5;
                y[i] = z[i] = double(i % 100);
            }
            w.write_columns({x, y, z});
            w.close();
        }
        std::filesystem::resize_file(path, std::filesystem::file_size(path) - 1001);  // inside a case
        for (bool ahead : {false, true}) {
            vesk::Reader r(path);
            std::vector<double> x(30000);
            vesk::BatchOptions o;
            o.decode_ahead = ahead;
            const vesk::ColumnTarget targets[] = {{.column = 0, .numbers = x.data()}};
            EXPECT_EQ(CodeOf([&] { r.read_into(targets, 0, 30000, o); }), 1205) << ahead;
            EXPECT_EQ(r.read_into(targets, 0, 100, o), 100) << "a read after the error starts afresh";
            EXPECT_EQ(x[99], 99.5);
            EXPECT_EQ(CodeOf([&] {
                          for (const vesk::Row& row : r.rows()) row.number(0);
                      }),
                      1205);
        }
    }
}

// Texts handed out in a code page: a UTF-8 file converted, what the code
// page cannot hold replaced and reported.
TEST_F(ApiTest, ReaderInACodePage) {
    const std::string path = Path("utf8.sys");
    {
        Variable city = Variable::string("stadt", 12);
        city.label = "Köln oder Αθήνα";
        vesk::Writer w(path, {city});
        w.write_row({"Köln"});
        w.close();
    }
    vesk::ReaderOptions latin;
    latin.encoding = "windows-1252";
    vesk::Reader r(path, latin);
    EXPECT_EQ(r.file_encoding(), "UTF-8");
    EXPECT_EQ(r.variables()[0].label->substr(0, 9), "K\xF6ln oder");
    EXPECT_EQ(r.rows().begin()->text(0), "K\xF6ln");
    EXPECT_EQ(r.warnings().size(), 1u);
}

// ---------------------------------------------------------------- misuse

TEST_F(ApiTest, WriterRefusesBadDictionariesBeforeWritingAnything) {
    const std::string target = Path("out.sys");
    const auto tryWrite = [&](std::vector<Variable> vars) {
        return CodeOf([&] { vesk::Writer(target, std::move(vars)).close(); });
    };
    Variable numericLabels = Variable::string("s", 4);
    numericLabels.value_labels = {{1, "one"}};
    Variable wideKey = Variable::string("s", 2);
    wideKey.value_labels = {{"abc", "too wide"}};
    Variable textMissing = Variable::numeric("x");
    textMissing.missing.values = {Value("a")};
    Variable fourMissing = Variable::numeric("x");
    fourMissing.missing.values = {1, 2, 3, 4};
    Variable longMissing = Variable::string("s", 20);
    longMissing.missing.values = {Value("ninechars")};
    Variable badFormat = Variable::numeric("x", Format::text(8));

    EXPECT_EQ(tryWrite({Variable::numeric("1st")}), vesk::errc::kInvalidName);
    EXPECT_EQ(tryWrite({Variable::numeric("with")}), vesk::errc::kInvalidName);
    EXPECT_EQ(tryWrite({Variable::numeric("age"), Variable::string("AGE", 3)}), vesk::errc::kDuplicateName);
    EXPECT_EQ(tryWrite({numericLabels}), vesk::errc::kValueLabelType);
    EXPECT_EQ(tryWrite({wideKey}), vesk::errc::kValueLabelType);
    EXPECT_EQ(tryWrite({textMissing}), vesk::errc::kBadDefinition);
    EXPECT_EQ(tryWrite({fourMissing}), vesk::errc::kBadDefinition);
    EXPECT_EQ(tryWrite({longMissing}), vesk::errc::kBadDefinition);
    EXPECT_EQ(tryWrite({badFormat}), vesk::errc::kBadDefinition);
    EXPECT_EQ(tryWrite({Variable::string("s", 40000)}), vesk::errc::kBadDefinition);
    EXPECT_EQ(FileCount(), 0u);
}

TEST_F(ApiTest, WriterRefusesCellsThatDoNotSuitAndKeepsTheTarget) {
    const std::string target = Path("out.sys");
    std::ofstream(target) << "the old file";
    {
        vesk::Writer w(target, {Variable::numeric("x"), Variable::string("s", 3)});
        w.write_row({1, "abc"});
        EXPECT_EQ(CodeOf([&] { w.write_row({"1", "abc"}); }), vesk::errc::kValueType);
        EXPECT_EQ(CodeOf([&] { w.write_row({1, 2}); }), vesk::errc::kValueType);
        EXPECT_EQ(CodeOf([&] { w.write_row({1, "abcd"}); }), vesk::errc::kValueType);
        EXPECT_THROW(w.write_row({1}), std::invalid_argument);
        vesk::StringColumn s;
        s.push_back("ok");
        s.push_back("toolong");
        const std::vector<double> x{1, 2};
        EXPECT_EQ(CodeOf([&] { w.write_columns({x, s}); }), vesk::errc::kValueType);
        EXPECT_EQ(CodeOf([&] { w.write_columns({s, x}); }), vesk::errc::kValueType);
        EXPECT_THROW(w.write_columns({std::vector<double>{1}, s}), std::invalid_argument);
        EXPECT_EQ(w.rows_written(), 1);
        // Destroyed without close(): the half-written file goes, the old one stays.
    }
    EXPECT_EQ(FileCount(), 1u);
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "the old file");

    vesk::Writer w(target, {Variable::numeric("x")});
    w.write_row({1});
    w.close();
    EXPECT_EQ(CodeOf([&] { w.write_row({2}); }), vesk::errc::kWrongOrder);
    EXPECT_EQ(CodeOf([&] { w.close(); }), vesk::errc::kWrongOrder);
    EXPECT_EQ(vesk::Reader(target).row_count(), 1);
    EXPECT_EQ(FileCount(), 1u);
}

TEST_F(ApiTest, ReaderErrorsCarryTheirNumbers) {
    std::ofstream(Path("junk.sys")) << "not a system file at all, not even close to one";
    EXPECT_EQ(CodeOf([&] { vesk::Reader r(Path("missing.sys")); }), 1201);
    EXPECT_EQ(CodeOf([&] { vesk::Reader r(Path("junk.sys")); }), 1204);
    vesk::ReaderOptions klingon;
    klingon.encoding = "no-such-encoding";
    EXPECT_EQ(CodeOf([&] { vesk::Reader r(Path("junk.sys"), klingon); }), vesk::errc::kUnknownEncoding);

    WriteSurvey(Path("s.sys"), vesk::Compression::none);
    vesk::Reader r(Path("s.sys"));
    EXPECT_EQ(CodeOf([&] { r.column("nobody"); }), vesk::errc::kNoSuchVariable);
    vesk::Rows rows = r.rows();
    const vesk::Row& row = *rows.begin();
    EXPECT_EQ(CodeOf([&] { row.number("town"); }), vesk::errc::kValueType);
    EXPECT_EQ(CodeOf([&] { row.text(0); }), vesk::errc::kValueType);
    EXPECT_THROW(row.number(99), std::out_of_range);
    try {
        vesk::Reader missing(Path("missing.sys"));
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("[1201]"), std::string::npos) << e.what();
    }
}

TEST(ApiErrors, FailedAssertionIsALogicError) {
    try {
        VESK_Variable().GetType();
        FAIL();
    } catch (const std::logic_error& e) {
        const auto* a = dynamic_cast<const VESK_AssertFailed*>(&e);
        ASSERT_NE(a, nullptr);
        EXPECT_STREQ(a->Condition(), "fpImpl.IsValid()");
        EXPECT_NE(std::string(e.what()).find("fpImpl.IsValid()"), std::string::npos);
    }
}

// A password goes through to the engine: the file is encrypted, opens only
// with the password, and reads back.
TEST_F(ApiTest, PasswordEncryptsTheFile) {
    vesk::WriterOptions options;
    options.password = "sesame";
    {
        vesk::Writer w(Path("secret.sys"), {Variable::numeric("x")}, options);
        w.write_row({42});
        w.close();
    }
    EXPECT_EQ(CodeOf([&] { vesk::Reader r(Path("secret.sys")); }), 1214);
    vesk::ReaderOptions wrong;
    wrong.password = "open sesame";
    EXPECT_EQ(CodeOf([&] { vesk::Reader r(Path("secret.sys"), wrong); }), 1213);
    vesk::ReaderOptions with;
    with.password = "sesame";
    vesk::Reader r(Path("secret.sys"), with);
    EXPECT_EQ(r.rows().begin()->number(0), 42);
}

// Readers opened and read on several threads at once.
TEST_F(ApiTest, ReadersOnSeveralThreads) {
    WriteSurvey(Path("s.sys"), vesk::Compression::zlib);
    std::vector<std::thread> threads;
    std::vector<int64_t> rows(4, -1);
    for (size_t t = 0; t < rows.size(); ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < 20; ++k) {
                vesk::Reader r(Path("s.sys"));
                rows[t] = r.read().rows + (r.variables()[0].name == "id" ? 0 : 100);
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(rows, std::vector<int64_t>(4, 3));
}

// ---------------------------------------------------------------- dates and formats

TEST(ApiDates, AgreeWithTheLibraryConversions) {
    const int dates[][3] = {{1582, 10, 14}, {1583, 1, 1}, {1900, 2, 28}, {2000, 2, 29}, {2024, 12, 31}, {9999, 12, 31}};
    for (const auto& d : dates) {
        double want = 0;
        ASSERT_TRUE(iDMY2Vesk(d[2], d[1], d[0], 13, 45, 30.25, &want));
        const year_month_day ymd{year{d[0]}, month{unsigned(d[1])}, day{unsigned(d[2])}};
        const double got = vesk::from_local_time(local_days(ymd) + hours(13) + minutes(45) + milliseconds(30250));
        EXPECT_EQ(got, want) << d[0];
        EXPECT_EQ(vesk::from_date(ymd) + 13 * 3600 + 45 * 60 + 30.25, want);
        EXPECT_EQ(vesk::to_date(want), ymd);
        EXPECT_EQ(vesk::to_local_time(want), vesk::LocalTime(local_days(ymd)) + hours(13) + minutes(45) + milliseconds(30250));
    }
    double feb31 = 0;
    iDMY2Vesk(31, 2, 2023, 0, 0, 0, &feb31);
    EXPECT_EQ(vesk::from_date(year{2023} / February / day{31}), feb31);
    EXPECT_EQ(vesk::to_duration(90.5), microseconds(90500000));
    EXPECT_EQ(vesk::from_duration(minutes(2)), 120.0);
    EXPECT_FALSE(vesk::to_date(VESK_DataSource::SystemMissing()) || vesk::to_local_time(NAN) || vesk::to_duration(INFINITY));
    EXPECT_THROW(vesk::from_date(year{2023} / month{13} / 1), std::invalid_argument);
}

TEST(ApiFormat, ValuesRenderByTheirPrintFormat) {
    const double t = vesk::from_date(year{2024} / February / 29) + 13 * 3600 + 45 * 60 + 30.25;
    Variable hex = Variable::string("h", 2);
    hex.print = Format{2, 4, 0};
    const struct {
        Variable var;
        Cell cell;
        const char* text;
    } cases[] = {
        {Variable::numeric("x", Format::number(8, 2)), 1234.5, "1234.50"},
        {Variable::numeric("x", Format::number(8, 1)), -2.76, "-2.8"},
        {Variable::numeric("x", Format::number(8, 2)), -0.001, "0.00"},
        {Variable::numeric("x"), 1e20, "100000000000000000000.00"},
        {Variable::numeric("x", Format{17, 10, 2}), 1500.0, "1.50e+03"},
        {Variable::numeric("x"), std::nullopt, ""},
        {Variable::numeric("x"), VESK_DataSource::SystemMissing(), ""},
        {Variable::numeric("x", Format::date()), t, "2024-02-29"},
        {Variable::numeric("x", Format{39, 19, 0}), t, "2024-02-29"},
        {Variable::numeric("x", Format::datetime()), t, "2024-02-29 13:45:30"},
        {Variable::numeric("x", Format::datetime(3)), t, "2024-02-29 13:45:30.250"},
        {Variable::numeric("x", Format::datetime(1)), t + 29.96, "2024-02-29 13:46:00.2"},
        {Variable::numeric("x", Format::date()), -86400.0, "-86400"},  // before the calendar
        {Variable::numeric("x", Format::time(1)), 25 * 3600 + 61.5, "25:01:01.5"},
        {Variable::numeric("x", Format::time()), -90.0, "-00:01:30"},
        {Variable::numeric("x", Format::time()), 59.6, "00:01:00"},
        {Variable::numeric("x", Format::time()), -0.4, "00:00:00"},
        {Variable::string("s", 8), "ab   ", "ab"},
        {hex, "A", "4120"},
    };
    for (const auto& c : cases) EXPECT_EQ(vesk::format_value(c.var, c.cell), c.text) << c.text;
    EXPECT_EQ(CodeOf([] { vesk::format_value(Variable::string("s", 8), 1); }), vesk::errc::kValueType);
    EXPECT_EQ(CodeOf([] { vesk::format_value(Variable::numeric("x"), "1"); }), vesk::errc::kValueType);
}

// Row marks let a second reader (another process, in practice) start at a
// row without decoding the rows before it: with the data before the mark
// overwritten by end-of-data codes (which a reader passes over, so the rows
// after them move up), reads from the mark on still deliver the right rows,
// while a reader without the mark finds too few rows.
TEST_F(ApiTest, RowMarksResumeWithoutTheRowsBefore) {
    for (const auto compression : {vesk::Compression::none, vesk::Compression::bytecode, vesk::Compression::zlib}) {
        const std::string path = Path("marks.sys");
        std::vector<double> x(20000);
        for (size_t i = 0; i < x.size(); ++i) x[i] = double(i) + 0.25;  // raw cells: rows of varying length
        vesk::WriterOptions options;
        options.compression = compression;
        {
            vesk::Writer w(path, {Variable::numeric("x"), Variable::numeric("y")}, options);
            w.write_columns({x, x});
            w.close();
        }
        const int64_t rows[] = {0, 5000, 12345, 12345, 19999, 50000};
        const std::vector<vesk::RowMark> marks = vesk::Reader(path).row_marks(rows);
        ASSERT_EQ(marks.size(), 6u);
        for (size_t k = 0; k < marks.size(); ++k) {
            EXPECT_LE(marks[k].row, rows[k]);
            if (k > 0) {
                EXPECT_LE(marks[k - 1].position, marks[k].position);
            }
            if (compression == vesk::Compression::none) {
                EXPECT_EQ(marks[k], vesk::RowMark{});
            }
        }
        if (compression != vesk::Compression::none) {
            EXPECT_GT(marks[2].row, 10000) << "a mark near its row";
        }

        if (compression == vesk::Compression::bytecode) {
            const int64_t row0 = SystemFileDataSource(path, "", false).Row0Pos();
            std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(row0);
            const std::string ends(size_t(marks[2].position & ~int64_t(7)), char(252));
            f.write(ends.data(), std::streamsize(ends.size()));
        }
        vesk::Reader r(path);
        r.resume_at(marks[2]);
        double got[5];
        const vesk::ColumnTarget targets[] = {{.column = 1, .numbers = got}};
        EXPECT_EQ(r.read_into(targets, 12345, 5), 5);
        EXPECT_EQ(got[4], 12349.25);
        if (compression == vesk::Compression::bytecode) {
            EXPECT_EQ(vesk::Reader(path).read_into(targets, 12345, 5), 0) << "the rows before the mark are gone";
        }
    }
    vesk::Reader r(Path("marks.sys"));
    const int64_t descending[] = {5, 3};
    EXPECT_THROW(r.row_marks(descending), std::invalid_argument);
    EXPECT_THROW(r.resume_at({-1, 0}), std::invalid_argument);
}
