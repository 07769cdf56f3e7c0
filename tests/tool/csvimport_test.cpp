// The pieces of `vesk import`: text decoding, CSV records cut anywhere by
// buffer ends, number and date recognition, column names, and the two
// passes into a system file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SystemFileDataSource.h"
#include "case.h"
#include "csvcolumns.h"
#include "csvinput.h"
#include "csvreader.h"
#include "datasrc.h"
#include "importnames.h"
#include "importpasses.h"
#include "tempstorage.h"
#include "textmb.h"

using namespace vesk;
using namespace std::string_literals;

namespace {

// Bytes from memory, at most `step` per read, like a slow pipe.
class MemoryInput : public ByteInput {
public:
    MemoryInput(std::string bytes, size_t step, bool sized) : fBytes(std::move(bytes)), fStep(step), fSized(sized) {}
    size_t Read(char* buffer, size_t n) override {
        const size_t k = std::min({n, fStep, fBytes.size() - fPos});
        std::memcpy(buffer, fBytes.data() + fPos, k);
        fPos += k;
        Count(k);
        return k;
    }
    void Rewind() override { fPos = 0; }
    int64_t KnownSize() const override { return fSized ? int64_t(fBytes.size()) : -1; }

private:
    std::string fBytes;
    size_t fStep;
    bool fSized;
    size_t fPos = 0;
};

std::string ReadAll(TextSource& text) {
    std::string all;
    char buffer[7];
    for (size_t n; (n = text.Read(buffer, sizeof buffer)) > 0;) all.append(buffer, n);
    return all;
}

// Every record as "line:field|field|...".
struct Collect {
    const CsvReader* reader;
    std::vector<std::string> records;
    std::string current;
    void Field(size_t i, const CsvField& f) {
        current += (i ? "|" : std::to_string(reader->RecordLine()) + ":") + std::string(f.text);
        if (f.length > f.text.size()) current += "+" + std::to_string(f.length - f.text.size());
    }
    void End(size_t) { records.push_back(std::move(current)), current.clear(); }
};

std::vector<std::string> Records(const std::string& csv, size_t step, size_t buffer, bool sized, char delimiter = ',') {
    MemoryInput input(csv, step, sized);
    TextSource text(input, "");
    CsvReader reader(text, delimiter, "t.csv", buffer);
    Collect sink{&reader, {}, {}};
    while (reader.Next(sink)) {
    }
    return sink.records;
}

// sized: the input's size is known, so the text is decoded ahead on a thread.
std::string CsvErrorOf(const std::string& csv, const std::string& encoding = "", bool sized = false) {
    MemoryInput input(csv, 3, sized);
    TextSource text(input, encoding);
    CsvReader reader(text, ',', "t.csv", 5);
    Collect sink{&reader, {}, {}};
    try {
        while (reader.Next(sink)) {
        }
    } catch (const CsvError& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(CsvReader, RecordsAreTheSameWhereverBuffersEnd) {
    const std::string csv =
        "\xEF\xBB\xBFid,\"say \"\"hi\"\"\",x\r\n1,\"a,b\",\r\n\r\n\"two\r\nlines\",\"\",\"q\"\r"
        "\n\n3,plain text,\"\"\"\"\r4,\"lone\rcr\",z";
    const std::vector<std::string> want = {"1:id|say \"hi\"|x",       "2:1|a,b|",     "4:two\r\nlines||q",
                                           "7:3|plain text|\"", "8:4|lone\rcr|z"};
    for (size_t buffer : {4, 5, 6, 7, 9, 13, 64, 1 << 20})
        for (size_t step : {1, 2, 3, 1000})
            for (bool sized : {false, true})
                ASSERT_EQ(Records(csv, step, buffer, sized), want) << buffer << " " << step << " " << sized;
    // A final line end starts no record; ";" delimits, "," does not.
    EXPECT_EQ(Records("a;b,c\n\n", 1, 4, false, ';'), std::vector<std::string>{"1:a|b,c"});
}

TEST(CsvReader, LongFieldsKeepTheirStartAndLength) {
    const std::string big(CsvField::kFieldKeep + 10, 'x');
    const std::vector<std::string> got = Records("a," + big + ",\"" + big + "\"\n", 1000, 4096, true);
    const std::string kept(CsvField::kFieldKeep, 'x');
    EXPECT_EQ(got, std::vector<std::string>{"1:a|" + kept + "+10|" + kept + "+10"});
}

TEST(CsvReader, SyntaxAndTextErrorsNameTheLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\n\"open\nstill open", "line 2: a quoted field is not closed"},
        {"a\nb\"c\n", "line 2: a quote inside a field that does not start with one"},
        {"a\n\"x\"y\n", "line 2: text after the closing quote of a field"},
        {"a\n\"multi\nline\" junk", "line 3: text after the closing quote"},
        {"ok\nok\n\xC3\xA9 fine\nbad \xE9t\xE9\n", "line 4: the text is not valid UTF-8 (byte 0xE9"},
        {"ok\n\xED\xA0\x80 surrogate\n", "line 2: the text is not valid UTF-8 (byte 0xED"},
        {"ok\nends in \xE2\x82", "line 2: the text ends inside a UTF-8 character"},
        {"a,b\n1,\0002\n"s, "line 2: a NUL character"},
    };
    for (bool sized : {false, true}) {
        for (const auto& [csv, want] : cases) {
            const std::string got = CsvErrorOf(std::string(csv.data(), csv.size()), "", sized);
            EXPECT_EQ(got.rfind("t.csv: ", 0), 0u) << got;
            EXPECT_NE(got.find(want), std::string::npos) << got;
        }
        EXPECT_NE(CsvErrorOf("a\n\x81\n", "Shift_JIS", sized).find("line 2: the text is not valid Shift_JIS"),
                  std::string::npos);
    }
}

TEST(TextSource, DecodesOtherEncodingsAndChecksUtf8AcrossReads) {
    const std::string utf8 = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 end";
    for (size_t step : {1, 2, 5}) {
        MemoryInput raw(utf8, step, step == 2);
        TextSource text(raw, "utf8");
        EXPECT_EQ(ReadAll(text), utf8) << step;
    }
    MemoryInput latin1("caf\xE9\r\n", 1, false);
    TextSource fromLatin1(latin1, "ISO-8859-1");
    EXPECT_EQ(ReadAll(fromLatin1), "caf\xC3\xA9\r\n");
    // UTF-16 with its byte-order mark, which is dropped, and a character beyond the BMP.
    const std::string utf16("\xFF\xFE" "a\0\xE9\0=\xD8\x00\xDE", 10);
    MemoryInput wide(utf16, 3, true);
    TextSource fromUtf16(wide, "UTF-16");
    EXPECT_EQ(ReadAll(fromUtf16), "a\xC3\xA9\xF0\x9F\x98\x80");
    fromUtf16.Rewind(false);
    EXPECT_EQ(ReadAll(fromUtf16), "a\xC3\xA9\xF0\x9F\x98\x80");
    MemoryInput none("x", 1, false);
    EXPECT_THROW(TextSource(none, "no-such-encoding"), std::invalid_argument);
}

// A pipe cannot be read twice: its bytes are staged in temporary storage,
// plain and compressed, and come back whole however the reads cut them.
TEST(ByteInput, PipeIsStagedAndReadBackTwice) {
    std::string bytes;
    for (int i = 0; bytes.size() < 100000; ++i) bytes += std::to_string(i * 7919 % 100003) + (i % 9 ? "," : "\n");
    for (bool compressed : {false, true}) {
        StorageDir dir("staged");
        UseTempDirs dirs({dir.path});
        UseCompression compression(compressed);
        const std::string fifo = dir.File("in.fifo");
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        std::thread writer([&] {
            const int fd = ::open(fifo.c_str(), O_WRONLY);
            for (size_t at = 0; at < bytes.size(); at += 4093)
                ASSERT_GT(::write(fd, bytes.data() + at, std::min<size_t>(4093, bytes.size() - at)), 0);
            ::close(fd);
        });
        std::unique_ptr<ByteInput> input = OpenByteInput(fifo);
        EXPECT_EQ(input->KnownSize(), -1);
        std::string first(bytes.size() + 10, '\0');
        size_t got = 0;
        while (size_t n = input->Read(first.data() + got, std::min<size_t>(1000, first.size() - got))) got += n;
        writer.join();
        EXPECT_EQ(first.substr(0, got), bytes);
        EXPECT_THROW(OpenByteInput(fifo + ".missing"), std::runtime_error);
        for (size_t step : {size_t(1) << 20, size_t(7)}) {
            input->Rewind();
            EXPECT_EQ(input->KnownSize(), int64_t(bytes.size()));
            std::string again(bytes.size() + 1, '\0');
            size_t at = 0;
            while (size_t n = input->Read(again.data() + at, std::min(step, again.size() - at))) at += n;
            EXPECT_EQ(again.substr(0, at), bytes) << step << " " << compressed;
            EXPECT_EQ(input->Consumed(), bytes.size());
        }
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"in.fifo"});  // the staging files have no names
    }
}

TEST(ImportColumns, KindsAndFormatsFollowTheData) {
    struct Case {
        std::vector<std::string> fields;
        ColumnKind kind;
        VESK_Format format;
        TextReason reason;
    };
    const Case cases[] = {
        {{"1", "-22", ""}, ColumnKind::kNumber, {5, 3, 0}, TextReason::kNone},
        {{"1.5", "-0.25", "+3"}, ColumnKind::kNumber, {5, 5, 2}, TextReason::kNone},
        {{"1.5e3", "2E-3"}, ColumnKind::kNumber, {5, 8, 3}, TextReason::kNone},
        {{"1e300"}, ColumnKind::kNumber, {5, 40, 0}, TextReason::kNone},
        {{"0.12345678901234567890"}, ColumnKind::kNumber, {5, 18, 16}, TextReason::kNone},
        {{}, ColumnKind::kNumber, {5, 8, 2}, TextReason::kNone},
        {{"2020-02-29", "1582-10-14"}, ColumnKind::kDate, {38, 10, 0}, TextReason::kNone},
        {{"2020-02-29", "1999-12-31 23:59:59.125"}, ColumnKind::kDateTime, {22, 24, 3}, TextReason::kNone},
        {{"2021-02-29"}, ColumnKind::kText, {}, TextReason::kNone},
        {{"1582-10-13"}, ColumnKind::kText, {}, TextReason::kNone},
        {{"2020-01-01T10:00:00"}, ColumnKind::kText, {}, TextReason::kNone},
        {{"1", "007"}, ColumnKind::kText, {}, TextReason::kLeadingZeros},
        {{"9007199254740992", "9007199254740993"}, ColumnKind::kText, {}, TextReason::kInexactInteger},
        {{"18446744073709551616"}, ColumnKind::kNumber, {5, 20, 0}, TextReason::kNone},
        {{"1e400"}, ColumnKind::kText, {}, TextReason::kTooLarge},
        {{"1e-400", "NaN"}, ColumnKind::kText, {}, TextReason::kNotFinite},
        {{"007", "abc"}, ColumnKind::kText, {}, TextReason::kNone},
        {{"1 ", "1,5", "0x10", "1e", ".", "-", "+-1", "1.2.3"}, ColumnKind::kText, {}, TextReason::kNone},
    };
    for (const Case& c : cases) {
        ColumnGuess guess;
        for (size_t i = 0; i < c.fields.size(); ++i) guess.See(c.fields[i], c.fields[i].size(), i + 2);
        const std::string label = c.fields.empty() ? "(none)" : c.fields.back();
        EXPECT_EQ(int(guess.Kind()), int(c.kind)) << label;
        if (c.kind != ColumnKind::kText) {
            EXPECT_TRUE(guess.Format() == c.format) << label;
        }
        EXPECT_EQ(int(guess.Reason()), int(c.reason)) << label;
    }
    ColumnGuess text;
    text.See("\xC3\xA9t\xC3\xA9", 5, 2);
    text.See("x", 40000, 3);  // longer than kept: text, as wide as a string can be
    EXPECT_EQ(std::make_pair(int(text.Kind()), text.Width()), std::make_pair(int(ColumnKind::kText), kMaxStringWidth));
}

TEST(ImportColumns, NumbersReadToTheNearestDouble) {
    std::mt19937_64 random(7);
    std::vector<std::string> texts = {"0.1", "-0", "2.2250738585072011e-308", "4.9e-324", "9007199254740993.5",
                                      "123456789012345678", "0.3000000000000000444", "1.7976931348623157e308", "-1.7976931348623155e308",
                                      "+1.5", "5.", ".5", "1234567890123456789", "0.0000000000000000000001"};
    for (int i = 0; i < 20000; ++i) {
        const uint64_t digits = random() % 10000000000000000000ull;
        std::string text = std::to_string(digits);
        text.insert(text.size() - std::min<size_t>(text.size(), random() % 24), ".");
        texts.push_back((random() & 1 ? "-" : "") + text);
    }
    for (const std::string& text : texts) {
        double got = 0;
        NumberChange change;
        ASSERT_TRUE(NumberValue(text, &got, &change)) << text;
        const double want = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << text << ": " << got << " != " << want;
        EXPECT_EQ(int(change), int(NumberChange::kNone)) << text;
    }
    double value = 1;
    NumberChange change;
    EXPECT_TRUE(NumberValue("-1e-400", &value, &change) && change == NumberChange::kTiny && value == 0 &&
                std::signbit(value));
    EXPECT_TRUE(NumberValue("-17976931348623157e292", &value, &change) && change == NumberChange::kSystemMissing);
    EXPECT_FALSE(NumberValue("1x", &value, &change));
    EXPECT_TRUE(DateValue("1582-10-15 00:00:01.5", &value));
    EXPECT_EQ(value, 86401.5);
    EXPECT_TRUE(DateValue("1583-01-01", &value));
    EXPECT_EQ(value, 6825600);
}

TEST(ImportNames, LegalDistinctAndLinearInDuplicates) {
    SetUTF8mode(1);
    std::vector<std::string> header = {"Age", "age", "AGE", "age_A", "", "1st", "with", "my var!",
                                       std::string(70, 'n'), "\xC3\xA9t\xC3\xA9"};
    std::vector<Renaming> renamed;
    const std::vector<std::string> names = ColumnNames(header, &renamed);
    const std::vector<std::string> want = {"Age", "age_A", "AGE_B", "age_A_A", "V5", "@1st", "@with", "myvar",
                                           std::string(64, 'n'), "\xC3\xA9t\xC3\xA9"};
    EXPECT_EQ(names, want);
    ASSERT_EQ(renamed.size(), 8u);
    EXPECT_EQ(renamed[0].column * 1000 + renamed[7].column, 1008u);
    EXPECT_EQ(renamed[0].from + ">" + renamed[0].to, "age>age_A");

    // Twenty thousand copies of one name: every one gets the next free suffix.
    header.assign(20000, "x");
    header[3] = "x_B";  // taken before its turn comes
    renamed.clear();
    const std::vector<std::string> many = ColumnNames(header, &renamed);
    EXPECT_EQ(many[0] + many[1] + many[2] + many[3] + many[4], "xx_Ax_Bx_B_Ax_C");
    EXPECT_EQ(many.back(), "x_ACOD");  // suffix 19997 in letters
    EXPECT_EQ(NumberedNames(3), (std::vector<std::string>{"v1", "v2", "v3"}));
}

namespace {

// A scratch directory under $TMPDIR, removed with everything in it.
struct ScratchDir {
    ScratchDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vesk-import-XXXXXX";
        path = mkdtemp(pattern.data());
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
    std::string path;
};

struct SourceDeleter {
    void operator()(VESK_DataSource* s) const { DeleteLine(s); }
};
using Source = std::unique_ptr<VESK_DataSource, SourceDeleter>;

// The CSV text (with a header line) through both passes into the file, as
// `vesk import` writes it, read back.
Source ImportThroughPasses(const std::string& csv, const std::string& path) {
    SetUTF8mode(1);
    MemoryInput input(csv, 5, true);
    TextSource text(input, "");
    CsvReader reader(text, ',', "t.csv", 7);
    const ImportColumns columns = FirstPass(reader, input, true);
    std::vector<Renaming> renamed;
    SystemFileDataSource out;
    DefineVariables(out, ColumnNames(columns.header, &renamed), columns);
    out.SetFileSpec(path.c_str());
    out.CommitDictionary();
    ValueChanges changes;
    SecondPass(reader, out, columns, true, changes);
    out.Close();
    return Source(SystemFileDataSource::GetSystemFile(path, "", false, nullptr));
}

// The cells of the column, as a string padded to whole cells.
std::string CellText(const VESK_DataSource& source, const OBS* cells, int column) {
    const int width = source.GetVariable(column).GetType();
    return std::string(reinterpret_cast<const char*>(cells + source.ObsIndex(column)),
                       size_t(CellsForType(width)) * sizeof(OBS));
}

std::string Padded(std::string text, int width) {
    text.resize(size_t(CellsForType(width)) * sizeof(OBS), ' ');
    return text;
}

}  // namespace

TEST(ImportPasses, TextFillsEveryCellOfItsColumn) {
    ScratchDir dir;
    const std::string essay(300, 'e');
    const Source back = ImportThroughPasses(
        "id,name,essay\n1,Alexandra Bergstr\xC3\xB6m," + essay + "\n2,Bo,\n3\n", dir.path + "/t.sys");
    ASSERT_EQ(back->GetVariable(1).GetType(), 20);
    ASSERT_EQ(back->GetVariable(2).GetType(), 300);
    std::unique_ptr<VESK_InputCaseIterator> it(back->MakeIterator(nullptr));
    const OBS* cells = it->GetCase().Cells();
    const std::string rows[][2] = {{"Alexandra Bergstr\xC3\xB6m", essay}, {"Bo", ""}, {"", ""}};
    for (const auto& row : rows) {
        ASSERT_TRUE(it->NextCase());
        EXPECT_EQ(CellText(*back, cells, 1), Padded(row[0], 20));
        EXPECT_EQ(CellText(*back, cells, 2), Padded(row[1], 300));
    }
    EXPECT_FALSE(it->NextCase());
}
