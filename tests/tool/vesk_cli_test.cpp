// The vesk tool end to end: output, error lines, exit statuses and files left behind.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "dates.h"
#include "sysfilebuilder.h"
#include "veskrun.h"

using namespace SysFileLayout;
using nlohmann::json;

namespace {

class VeskCli : public VeskTest {
protected:
    std::string Put(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
        return Path(name);
    }
    json InfoJson(const std::string& file) const {
        const VeskResult r = Run({"info", "--json", file});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r.status == 0 ? json::parse(r.out) : json();
    }
    std::string Cat(const std::string& file) const {
        const VeskResult r = Run({"cat", file});
        EXPECT_EQ(std::to_string(r.status) + r.err, "0") << r.err;  // no progress bar off a terminal
        return r.out;
    }
};

// Labels, value labels, missing values, documents, attributes, a variable set and raw extension blocks.
SysFileBuilder Rich(int compression, ByteOrder order = ByteOrder::Native()) {
    SysFileBuilder b(order);
    b.Header({.compression = compression, .weightIndex = 4, .label = "Rich file   "});
    b.Variable({.name = "AGE", .label = "Age, in years", .missing = {0.1, 99}})
        .Variable({.name = "CITY", .type = 12, .missingText = {"none"}}).Variable({.name = "W"})
        .Variable({.name = "INCOME", .missing = {-5, -1, 1e300}, .missingCount = kMissingRangeAndValue,
                   .print = EncodeFormatWord(5, 10, 2), .write = EncodeFormatWord(5, 12, 3)});
    b.ValueLabels({{1, "one"}, {1e300, "huge"}}, {b.PositionOf("AGE")});
    b.StringValueLabels({{"none", "No city"}}, {b.PositionOf("CITY")});
    b.Documents({"A note on the data.  ", "   (Entered 05-Mar-2014)"});
    b.ExtensionText(2, "raw block").ExtensionInts(30, {1, 2}).ExtensionText(5, "People= AGE W\n");
    b.ExtensionText(17, "Origin('field'\n'desk'\n)").ExtensionText(20, "UTF-8").End();
    b.Row(Cells().Num(31).Str("Oslo", 12).Num(1).Num(2500.5)).Row(Cells().Sysmis().Str("none", 12).Num(2).Num(-0.0));
    b.Row(Cells().Num(1e300).Str("a, \"b\"", 12).Num(0.5).Num(-1.25e-7));
    return b;
}

// Text that needs every kind of CSV quoting, and what cat makes of it.
SysFileBuilder Awkward(int compression) {
    SysFileBuilder b;
    b.Header({.compression = compression});
    b.Variable({.name = "N"}).Variable({.name = "S", .type = 24}).Variable({.name = "T", .type = 2});
    b.ExtensionText(20, "UTF-8").End();
    b.Row(Cells().Num(1).Str("plain   ", 24).Str("a", 2)).Row(Cells().Num(2.5).Str("comma, here", 24).Str("", 2));
    b.Row(Cells().Num(-0.0).Str("say \"hi\"", 24).Str("\"", 2)).Row(Cells().Num(1e300).Str("two\nlines", 24).Str("\r", 2));
    b.Row(Cells().Sysmis().Str("  lead", 24).Str(",", 2));
    return b;
}
const char kAwkwardCsv[] =
    "n,s,t\r\n1,plain,a\r\n2.5,\"comma, here\",\r\n-0,\"say \"\"hi\"\"\",\"\"\"\"\r\n"
    "1e+300,\"two\nlines\",\"\r\"\r\n,  lead,\",\"\r\n";

int CompressionCode(const std::string& name) { return name == "none" ? 0 : name == "bytecode" ? 1 : 2; }

template <typename T>
std::vector<T> Column(const json& info, const char* member) {
    std::vector<T> out;
    for (const json& v : info["variables"]) out.push_back(v[member]);
    return out;
}

void ExpectMembers(const json& got, const char* want) {
    const json members = json::parse(want);
    for (const auto& [key, value] : members.items()) EXPECT_EQ(got[key], value) << key;
}

TEST_F(VeskCli, InfoJsonDescribesFileAndDictionary) {
    const VeskResult r = Run({"info", "--json", Put("s.sys", Rich(kCompressBytecode, ByteOrder::Big()).Str())});
    ASSERT_EQ(std::to_string(r.status) + r.err, "0") << r.err;
    const json j = json::parse(r.out);
    ExpectMembers(j, R"({"compression": 1, "encrypted": false, "reversed": true, "case_count": 3,
                         "cells_per_case": 5, "label": "Rich file", "weight": "w", "raw_extensions": [2, 30],
                         "mr_sets": []})");
    EXPECT_EQ(j["product"], std::string(kProductText));
    EXPECT_TRUE(j["encoding"].is_string() && j["variable_sets"].size() == 1 && !j["attributes"].empty());
    ASSERT_EQ(j["documents"].size(), 1u);
    ExpectMembers(j["documents"][0], R"j({"year": 2014, "month": 3, "day": 5,
                                         "lines": ["A note on the data.", "   (Entered 05-Mar-2014)"]})j");

    const json& vars = j["variables"];
    ASSERT_EQ(vars.size(), 4u);
    ExpectMembers(vars[0], R"({"name": "age", "type": 0, "label": "Age, in years",
                              "missing": {"rule": 2, "values": [0.1, 99]},
                              "value_labels": [[1, "one"], [1e300, "huge"]]})");
    ExpectMembers(vars[1], R"({"type": 12, "label": null, "print": [1, 12, 0],
                              "missing": {"rule": 1, "values": ["none"]}, "value_labels": [["none", "No city"]]})");
    ExpectMembers(vars[3], R"({"print": [5, 10, 2], "write": [5, 12, 3],
                              "missing": {"rule": -3, "values": [-5, -1, 1e300]}})");
    for (const char* member : {"measure", "alignment", "display_width", "role", "attributes"})
        EXPECT_TRUE(vars[3].contains(member)) << member;
    // Numbers in their shortest round-trip spelling.
    EXPECT_NE(r.out.find("[-5, -1, 1e+300]"), std::string::npos);
}

TEST_F(VeskCli, InfoJsonIsValidWhateverTheTextsHold) {
    SysFileBuilder b;
    b.Header({.label = "bad \xE9 byte, tab\t, bell\x07, quote \" and \\"});
    b.Variable({.name = "X", .label = std::string("cut \xE2\x82", 6)});
    b.ValueLabels({{1, "\xF0\x9F\x98\x80 ok"}}, {1});
    b.ExtensionText(20, "UTF-8").End().Row(Cells().Num(1));
    const json j = InfoJson(Put("t.sys", b.Str()));  // parsing throws on invalid UTF-8 or bad escapes
    EXPECT_EQ(j["label"], "bad \xEF\xBF\xBD byte, tab\t, bell\x07, quote \" and \\");
    EXPECT_EQ(j["variables"][0]["label"], "cut \xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(j["variables"][0]["value_labels"][0][1], "\xF0\x9F\x98\x80 ok");
}

TEST_F(VeskCli, CatWritesRfc4180CsvAndSelectsRowsAndVars) {
    for (int compression : {kCompressNone, kCompressBytecode})
        EXPECT_EQ(Cat(Put("a.sys", Awkward(compression).Str())), kAwkwardCsv) << "compression " << compression;
    const std::string a = Path("a.sys");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"cat", a, "--rows", "1:2", "--vars", "t,N"}, "t,n\r\n,2.5\r\n\"\"\"\",-0\r\n"},
        {{"cat", a, "--rows", "4:4"}, "n,s,t\r\n,  lead,\",\"\r\n"},
        {{"cat", a, "--rows", "3:100", "--vars", "n"}, "n\r\n1e+300\r\n\r\n"}, {{"cat", a, "--rows", "7:9"}, "n,s,t\r\n"}};
    for (const auto& [args, want] : cases) {
        const VeskResult r = Run(args);
        EXPECT_EQ(std::to_string(r.status) + r.out, "0" + want) << args[3] << r.err;
    }
}

TEST_F(VeskCli, VerifyCountsCasesWithAProgressBarOnlyOnATerminal) {
    SysFileBuilder b;
    b.Header({.compression = kCompressBytecode});
    b.Variable({.name = "X"}).ExtensionText(20, "UTF-8").End();
    for (int i = 0; i < 3000; ++i) b.Row(Cells().Num(i));
    const std::string file = Put("many.sys", b.Str());
    const VeskResult piped = Run({"verify", file});
    EXPECT_EQ(std::to_string(piped.status) + piped.out + piped.err, "0cases: 3000\n");

    // stderr on a pseudo-terminal made by script(1), stdout into a file.
    if (std::system("command -v script >/dev/null") != 0) GTEST_SKIP() << "no script(1) for a terminal";
    const std::string inner = "'" VESK_TOOL "' verify '" + file + "' >'" + Path("verify.out") + "'";
    ASSERT_EQ(std::system(("script -qec \"" + inner + "\" /dev/null >'" + Path("tty") + "' </dev/null").c_str()), 0);
    const std::string terminal = SlurpFile(Path("tty"));
    // The bar is drawn, then erased at the end.
    EXPECT_TRUE(terminal.find("verify [") != std::string::npos && terminal.find("\033[K") != std::string::npos) << terminal;
    EXPECT_EQ(SlurpFile(Path("verify.out")), "cases: 3000\n");
}

TEST_F(VeskCli, LibraryErrorsExitOneWithMessageNumber) {
    Put("junk.sys", "this is not a system file, just text");
    for (const char* command : {"info", "cat", "verify"}) {
        const VeskResult r = Run({command, Path("junk.sys")});
        EXPECT_EQ(std::to_string(r.status) + r.out + r.err,
                  "1vesk: " + Path("junk.sys") + ": the file is damaged or not a system file [1204]\n") << command;
    }
    // Cut in the middle of a case: the dictionary reads, the data does not.
    const std::string whole = Awkward(kCompressNone).Str();
    const VeskResult r = Run({"verify", Put("cut.sys", whole.substr(0, whole.size() - 5))});
    EXPECT_TRUE(r.status == 1 && r.err.find("[1205]") != std::string::npos && std::count(r.err.begin(), r.err.end(), '\n') == 1) << r.err;

    const VeskResult missing = Run({"info", Path("absent.sys")});
    EXPECT_TRUE(missing.status == 1 && missing.err.rfind("vesk: ", 0) == 0 && missing.err.find("[1201]") != std::string::npos) << missing.err;
}

TEST_F(VeskCli, BadUsageExitsTwoAndWritesNothing) {
    const std::string file = Put("a.sys", Awkward(kCompressNone).Str()), csv = Put("in.csv", "a\n1\n");
    const std::string out = Path("o.sys");
    const std::vector<std::vector<std::string>> bad = {
        {}, {"frobnicate", file}, {"info"}, {"info", file, "--bogus"}, {"verify", file, "extra"},
        {"cat", file, "--rows", "3:1"}, {"cat", file, "--rows", "1-3"}, {"cat", file, "--rows", "-1:3"},
        {"cat", file, "--vars", "N,nosuch"},
        {"convert", file}, {"convert", file, out, "--compression", "fast"}, {"convert", file, out, "--frobnicate"},
        {"import", csv}, {"import", csv, out, "--compression", "gzip"}, {"import", csv, out, "extra"}};
    for (const auto& args : bad) {
        const VeskResult r = Run(args);
        EXPECT_EQ(std::to_string(r.status) + r.out + r.err.substr(0, 6), "2vesk: ") << r.err;
    }
    EXPECT_EQ(Files(), (std::vector<std::string>{"a.sys", "in.csv"}));

    for (const auto& [args, word] : {std::pair<std::vector<std::string>, const char*>{{"--help"}, "convert"},
                                     {{"cat", "--help"}, "--rows"}}) {
        const VeskResult r = Run(args);
        EXPECT_TRUE(r.status == 0 && r.out.find(word) != std::string::npos) << word;
    }
}

TEST_F(VeskCli, ImportThenCatReproducesTheCsv) {
    const std::string csv = "n,s,t,empty\r\n1,plain,a,\r\n2.5,\"comma, here\",,\r\n-0,\"say \"\"hi\"\"\",\"\"\"\",\r\n"
                            "1e+300,\"two\nlines\",\"\r\",\r\n,  lead,\",\",\r\n";
    const std::string out = Path("o.sys");
    for (const char* compression : {"none", "bytecode", "zlib"}) {
        const VeskResult r = Run({"import", Put("in.csv", csv), out, "--compression", compression});
        ASSERT_EQ(std::to_string(r.status) + r.err, "0") << r.err;
        EXPECT_EQ(Cat(out), csv) << compression;
        EXPECT_EQ(InfoJson(out)["compression"], CompressionCode(compression));
    }
    // "comma, here" is the longest text; the last column holds only empty fields.
    const json j = InfoJson(out);
    EXPECT_EQ(std::make_pair(j["case_count"].get<int>(), Column<int>(j, "type")), std::make_pair(5, std::vector<int>{0, 11, 1, 0}));
    // Converting a file onto itself replaces it only once the copy is complete.
    ASSERT_EQ(Run({"convert", out, out, "--compression", "bytecode"}).status, 0);
    EXPECT_EQ(Cat(out) + InfoJson(out)["compression"].dump(), csv + "1");
}

TEST_F(VeskCli, ImportTypesNamesAndLineEnds) {
    // LF and lone CR line ends, no final line end, short records, trailing blanks.
    const std::string csv = "x,x,1st,a b,ALL\n3,4,5,text  ,\r7,x8\n,,1e5 ,\"q\"", out = Path("o.sys");
    ASSERT_EQ(Run({"import", Put("in.csv", csv), out, "--label", "From CSV"}).status, 0);
    const json j = InfoJson(out);
    ExpectMembers(j, R"({"compression": 1, "label": "From CSV"})");  // bytecode by default
    const std::vector<std::string> names = Column<std::string>(j, "name");
    ASSERT_EQ(names.size(), 5u);
    // Duplicate, bad-start and reserved names are replaced by distinct valid ones.
    EXPECT_TRUE(names[0] == "x" && names[2] != "1st" && names[4] != "ALL") << names[2] << " " << names[4];
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 5u);
    // "x8"; "1e5 " is not a number; "text  " keeps its blanks; only empty fields.
    EXPECT_EQ(Column<int>(j, "type"), (std::vector<int>{0, 2, 4, 6, 0}));
    const std::string header = names[0] + "," + names[1] + "," + names[2] + "," + names[3] + "," + names[4];
    EXPECT_EQ(Cat(out), header + "\r\n3,4,5,text,\r\n7,x8,,,\r\n,,1e5,q,\r\n");
}

TEST_F(VeskCli, ConvertKeepsDictionaryAndCasesInEveryCompression) {
    for (int from : {kCompressNone, kCompressBytecode}) {
        const std::string in = Put("in.sys", Rich(from).Str());
        json expected = InfoJson(in);
        const std::string cases = Cat(in);
        std::string previous = in;
        for (const char* to : {"none", "zlib", "bytecode", "none"}) {
            const std::string out = Path(std::string("to_") + to + ".sys");
            const VeskResult r = Run({"convert", previous, out, "--compression", to});
            ASSERT_EQ(std::to_string(r.status) + r.err, "0") << r.err;
            expected["compression"] = CompressionCode(to);
            EXPECT_EQ(InfoJson(out), expected) << "from " << from << " to " << to;
            EXPECT_EQ(Cat(out), cases) << to;
            previous = out;
        }
        // Without --compression the input's is kept.
        ASSERT_EQ(Run({"convert", Path("to_zlib.sys"), Path("same.sys")}).status, 0);
        EXPECT_EQ(InfoJson(Path("same.sys"))["compression"], 2);
        ASSERT_EQ(Run({"convert", in, Path("same.sys")}).status, 0);
        EXPECT_EQ(InfoJson(Path("same.sys"))["compression"], from);
    }
}

TEST_F(VeskCli, FailedImportOrConvertLeavesExistingOutputAlone) {
    const std::string good = Rich(kCompressBytecode).Str();
    const std::string out = Put("out.sys", "old contents");
    Put("junk.sys", "this is not a system file at all");
    // Number expected in the one error line ("" for the tool's own CSV errors).
    const std::vector<std::pair<std::vector<std::string>, std::string>> failures = {
        {{"import", Put("c1.csv", "a,b\n1,2,3\n"), out}, ""},
        {{"import", Put("c2.csv", "a\n\"open\n"), out}, ""},
        {{"import", Put("c3.csv", "a\n\"x\"y\n"), out}, ""},
        {{"import", Put("c4.csv", "a\nx\"y\n"), out}, ""},
        {{"import", Put("c5.csv", ""), out}, ""},
        {{"import", Path("missing.csv"), out}, ""},
        // Cut inside the cases: the dictionary reads, a case does not.
        {{"convert", Put("cut.sys", good.substr(0, good.size() - 5)), out, "--compression", "zlib"}, "[12"},
        {{"convert", Path("junk.sys"), out}, "[1204]"},
        {{"convert", Put("in.sys", good), out, "--password", "pw"}, "[1213]"},
    };
    for (const auto& [args, number] : failures) {
        const VeskResult r = Run(args);
        EXPECT_EQ(r.status, 1) << args[1];
        EXPECT_TRUE(r.err.rfind("vesk: ", 0) == 0 && std::count(r.err.begin(), r.err.end(), '\n') == 1 &&
                    r.err.find(number) != std::string::npos && r.err.find(".tmp-") == std::string::npos) << r.err;
        EXPECT_EQ(SlurpFile(out), "old contents");
    }
    // No temporary file is left behind.
    EXPECT_EQ(Files(), (std::vector<std::string>{"c1.csv", "c2.csv", "c3.csv", "c4.csv", "c5.csv", "cut.sys",
                                                 "in.sys", "junk.sys", "out.sys"}));
}

TEST_F(VeskCli, EncryptedFilesRoundTripThroughEveryCommand) {
    const std::string csv = "n,s\r\n1,one\r\n2.5,\"two, three\"\r\n,\r\n", in = Put("in.csv", csv);
    const std::string enc = Path("enc.sys");
    auto ok = [&](const std::vector<std::string>& args) {
        const VeskResult r = Run(args);
        EXPECT_EQ(std::to_string(r.status) + r.err, "0") << args[0] << " " << args[1];
        return r.out;
    };
    for (const char* compression : {"none", "bytecode", "zlib"}) {
        ok({"import", in, enc, "--compression", compression, "--password", "pw"});
        EXPECT_EQ(SlurpFile(enc).substr(8, 12), "ENCRYPTEDSAV");
        EXPECT_EQ(ok({"cat", enc, "--password", "pw"}), csv) << compression;
    }
    const json info = json::parse(ok({"info", "--json", enc, "--password", "pw"}));
    ExpectMembers(info, R"({"encrypted": true, "compression": 1, "case_count": 3})");  // zlib becomes bytecode
    // Decrypting is converting without --out-password; encrypting, with it.
    ok({"convert", enc, Path("clear.sys"), "--password", "pw", "--compression", "none"});
    ExpectMembers(InfoJson(Path("clear.sys")), R"({"encrypted": false, "compression": 0})");
    EXPECT_EQ(Cat(Path("clear.sys")), csv);
    ok({"convert", Path("clear.sys"), Path("again.sys"), "--out-password", "other"});
    EXPECT_EQ(ok({"verify", Path("again.sys"), "--password", "other"}), "cases: 3\n");

    // The environment stands in for the option, which wins over it.
    setenv("VESK_PASSWORD", "pw", 1);
    EXPECT_EQ(ok({"cat", enc}), csv);
    const VeskResult wrongOption = Run({"verify", enc, "--password", "nope"});
    setenv("VESK_PASSWORD", "nope", 1);
    EXPECT_EQ(ok({"verify", enc, "--password", "pw"}), "cases: 3\n");
    // A password kept in the environment does not stop plain files opening.
    EXPECT_EQ(ok({"verify", Path("clear.sys")}), "cases: 3\n");
    unsetenv("VESK_PASSWORD");
    const VeskResult missing = Run({"info", enc});
    EXPECT_EQ(std::to_string(wrongOption.status) + wrongOption.err,
              "1vesk: " + enc + ": the password does not open this encrypted file, or the file is damaged [1213]\n");
    EXPECT_EQ(std::to_string(missing.status) + missing.err,
              "1vesk: " + enc + ": the file is encrypted and needs a password [1214]\n");
}

}  // namespace

// ---------------------------------------------------------------- import: types, fidelity, options

namespace {

std::string Shortest(double value) {
    char text[64];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

double Seconds(long year, long month, long day, long hour = 0, long minute = 0, double second = 0) {
    double value = -1;
    EXPECT_TRUE(iDMY2Vesk(day, month, year, hour, minute, second, &value));
    return value;
}

// The lines of stderr after "vesk: warning: FILE: ".
std::vector<std::string> Warnings(const std::string& err, const std::string& file) {
    std::vector<std::string> lines;
    const std::string prefix = "vesk: warning: " + file + ": ";
    for (size_t at = 0, end; at < err.size(); at = end + 1) {
        end = err.find('\n', at);
        const std::string line = err.substr(at, end - at);
        lines.push_back(line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : "unexpected: " + line);
    }
    return lines;
}

}  // namespace

TEST_F(VeskCli, ImportInfersFormatsAndDatesAndKeepsCodesAsText) {
    const std::string csv = Put("in.csv",
        "n,d,e,day,stamp,zip,id,flag,name\n"
        "1,2.5,1e3,2020-02-29,2020-02-29 13:45:30.5,007,9007199254740993,nan,Ann\n"
        "-22,0.125,,1582-10-15,1582-10-15,01234,1,1,\"B, b\"\n");
    const VeskResult r = Run({"import", csv, Path("o.sys")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Warnings(r.err, csv), (std::vector<std::string>{
        "column 'zip' is kept as text: its numbers have leading zeros (first: line 2)",
        "column 'id' is kept as text: it holds a whole number that no double holds exactly (first: line 2)",
        "column 'flag' is kept as text: it holds inf or nan, which are not numbers (first: line 2)"}));
    const json j = InfoJson(Path("o.sys"));
    EXPECT_EQ(Column<int>(j, "type"), (std::vector<int>{0, 0, 0, 0, 0, 5, 16, 3, 4}));
    EXPECT_EQ(Column<int>(j, "measure"), (std::vector<int>{3, 3, 3, 3, 3, 1, 1, 1, 1}));
    EXPECT_EQ(Column<json>(j, "print"), json::parse("[[5,3,0],[5,5,3],[5,4,0],[38,10,0],[22,22,1],[1,5,0],[1,16,0],"
                                                    "[1,3,0],[1,4,0]]"));
    EXPECT_EQ(Column<json>(j, "write"), Column<json>(j, "print"));
    EXPECT_EQ(Cat(Path("o.sys")),
              "n,d,e,day,stamp,zip,id,flag,name\r\n1,2.5,1000," + Shortest(Seconds(2020, 2, 29)) + "," +
                  Shortest(Seconds(2020, 2, 29, 13, 45, 30.5)) + ",007,9007199254740993,nan,Ann\r\n-22,0.125,," +
                  Shortest(Seconds(1582, 10, 15)) + "," + Shortest(Seconds(1582, 10, 15)) +
                  ",01234,1,1,\"B, b\"\r\n");
}

TEST_F(VeskCli, ImportWarnsOfEveryChangeWithCountAndFirstLine) {
    std::string csv = "\xEF\xBB\xBFid,id,ID,with,a b,";
    csv += std::string(70, 'x') + "\n1,-1.7976931348623157e308,1e-400,,,\n\n4,5\n\r\n-0,-1e-999,7,,,\n";
    const std::string in = Put("in.csv", csv);
    const VeskResult r = Run({"import", in, Path("o.sys"), "--label", std::string(70, 'L')});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Warnings(r.err, in), (std::vector<std::string>{
        "--label is cut to 64 bytes, all a file label holds",
        "column 2 'id' is named 'id_A'", "column 3 'ID' is named 'ID_B'", "column 4 'with' is named '@with'",
        "column 5 'a b' is named 'ab'", "column 6 '" + std::string(70, 'x') + "' is named '" + std::string(64, 'x') + "'",
        "blank lines skipped: 2 (first: line 3)",
        "records with fewer fields than the first line, filled with missing values: 1 (first: line 4)",
        "numbers too small for a double, stored as 0: 2 (first: line 2)",
        "numbers equal to the system-missing value, stored as system-missing: 1 (first: line 2)"}));
    const json j = InfoJson(Path("o.sys"));
    EXPECT_EQ(j["label"], std::string(64, 'L'));
    EXPECT_EQ(Column<std::string>(j, "name")[0], "id");  // no byte-order mark in the name
    EXPECT_EQ(Cat(Path("o.sys")).substr(Cat(Path("o.sys")).find("\r\n") + 2), "1,,0,,,\r\n4,5,,,,\r\n-0,-0,7,,,\r\n");

    // Ten thousand copies of one name are renamed quickly, twenty of them listed.
    std::string header = "a";
    for (int i = 1; i < 10000; ++i) header += ",a";
    const VeskResult many = Run({"import", Put("dup.csv", header + "\n"), Path("d.sys")});
    ASSERT_EQ(many.status, 0) << many.err;
    EXPECT_EQ(std::count(many.err.begin(), many.err.end(), '\n'), 21);
    EXPECT_NE(many.err.find("9979 more columns renamed"), std::string::npos);
    const std::vector<std::string> names = Column<std::string>(InfoJson(Path("d.sys")), "name");
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 10000u);
}

TEST_F(VeskCli, ImportRejectsHostileInputNamingTheLine) {
    const std::string out = Put("out.sys", "old contents");
    const std::pair<std::string, std::string> cases[] = {
        {"a,b\n1,2\n3,4,5\n", "line 3: more fields than the 2 of the first line"},
        {"a\n1\n\"open\n2\n", "line 3: a quoted field is not closed"},
        {"a\nx\"y\n", "line 2: a quote inside a field that does not start with one"},
        {"a\nok\nbad \xE9\n", "line 3: the text is not valid UTF-8 (byte 0xE9; see --encoding)"},
        {std::string("a\n1\0\n", 5), "line 2: a NUL character, which text never holds"},
        {"", "no header line: the input is empty"},
    };
    for (const auto& [csv, want] : cases) {
        const std::string in = Put("bad.csv", csv);
        const VeskResult r = Run({"import", in, out});
        EXPECT_EQ(r.status, 1) << want;
        EXPECT_EQ(r.err.rfind("vesk: " + in + ": " + want, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(SlurpFile(out), "old contents");
    }
    EXPECT_EQ(Files(), (std::vector<std::string>{"bad.csv", "out.sys"}));

    // A 100 MB field is cut to the widest string, not held whole.
    {
        std::ofstream big(Path("big.csv"), std::ios::binary);
        big << "n,s\n1e400,";
        const std::string block(1 << 20, 'y');
        for (int i = 0; i < 100; ++i) big << block;
        big << "\n-0,short\n";
    }
    const VeskResult r = Run({"import", Path("big.csv"), Path("big.sys")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Warnings(r.err, Path("big.csv")), (std::vector<std::string>{
        "column 'n' is kept as text: it holds a number too large for a double (first: line 2)",
        "fields longer than 32767 bytes, cut to 32767: 1 (first: line 2)"}));
    EXPECT_EQ(Column<int>(InfoJson(Path("big.sys")), "type"), (std::vector<int>{5, 32767}));
    EXPECT_EQ(Run({"cat", Path("big.sys"), "--rows", "1:1"}).out, "n,s\r\n-0,short\r\n");
}

TEST_F(VeskCli, ImportDelimitersEncodingsHeaderlessAndStandardInput) {
    const std::string want = "a,b\r\n1,caf\xC3\xA9\r\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
        {{"import", Put("t.tsv", "a\tb\n1\tcaf\xC3\xA9\n")}, ""},
        {{"import", Put("s.csv", "a;b\n1;caf\xC3\xA9\n"), "--delimiter", ";"}, ""},
        {{"import", Put("p.csv", "a|b\n1|caf\xC3\xA9\n"), "--delimiter", "|"}, ""},
        {{"import", Put("x.csv", "a\tb\n1\tcaf\xC3\xA9\n"), "--delimiter", "tab"}, ""},
        {{"import", Put("c.csv", "a:b\n1:caf\xC3\xA9\n"), "--delimiter", ":"}, ""},
        {{"import", Put("l.csv", "a,b\r\n1,caf\xE9\r\n"), "--encoding", "latin1"}, ""},
        {{"import", Put("w.csv", std::string("\xFF\xFE" "a\0,\0b\0\n\0" "1\0,\0c\0a\0f\0\xE9\0\n\0", 24)), "--encoding",
          "UTF-16"}, ""},
        {{"import", "-"}, Put("stdin.csv", "a,b\n1,caf\xC3\xA9\n")},
    };
    for (const auto& [args, input] : runs) {
        std::vector<std::string> full = args;
        full.insert(full.begin() + 2, Path("o.sys"));
        const VeskResult r = Run(full, input.empty() ? "/dev/null" : input);
        ASSERT_EQ(std::to_string(r.status) + r.err, "0") << args[1];
        EXPECT_EQ(Cat(Path("o.sys")), want) << args[1];
    }
    ASSERT_EQ(Run({"import", Put("n.csv", "1,x\n2,y\n"), Path("o.sys"), "--no-header"}).status, 0);
    EXPECT_EQ(Cat(Path("o.sys")), "v1,v2\r\n1,x\r\n2,y\r\n");

    for (const auto& args : std::vector<std::vector<std::string>>{{"--delimiter", "ab"}, {"--delimiter", "\""},
                                                                  {"--encoding", "no-such-encoding"}}) {
        const VeskResult r = Run({"import", Path("n.csv"), Path("bad.sys"), args[0], args[1]});
        EXPECT_EQ(r.status, 2) << args[1] << r.err;
    }
}

// ---------------------------------------------------------------- --dict

TEST_F(VeskCli, DictionaryLoopThroughInfoJsonAndConvert) {
    ASSERT_EQ(Run({"import", Put("in.csv", "age,city,w\n31,Oslo,1\n99,none,2\n"), Path("a.sys")}).status, 0);
    // The unedited description changes nothing.
    const json before = InfoJson(Path("a.sys"));
    std::ofstream(Path("same.json")) << Run({"info", "--json", Path("a.sys")}).out;
    ASSERT_EQ(Run({"convert", Path("a.sys"), Path("b.sys"), "--dict", Path("same.json")}).status, 0);
    EXPECT_EQ(InfoJson(Path("b.sys")), before);

    json edit = before;
    edit["label"] = "Edited";
    edit["weight"] = "w";
    edit["attributes"] = json::parse(R"({"Source": ["survey", "2024"]})");
    edit["documents"] = json::parse(R"([{"year": 2024, "month": 5, "day": 6, "lines": ["First note."]}])");
    json& age = edit["variables"][0];
    age["label"] = "Age in years";
    age["value_labels"] = json::parse(R"([[99, "refused"], [1.5, "one and a half"]])");
    age["missing"] = json::parse(R"({"rule": -3, "values": [90, 98, 99]})");
    age["print"] = json::parse("[5, 6, 1]");
    age["measure"] = 2;
    edit["variables"][1] = json::parse(R"({"name": "CITY", "missing": {"rule": 1, "values": ["none"]},
        "value_labels": [["none", "no city"]], "alignment": 2, "display_width": 20, "role": 1,
        "attributes": {"Note": ["free text"]}})");
    std::ofstream(Path("edit.json")) << edit.dump();
    ASSERT_EQ(Run({"convert", Path("a.sys"), Path("c.sys"), "--dict", Path("edit.json")}).status, 0);

    json got = InfoJson(Path("c.sys"));
    ExpectMembers(got, R"({"label": "Edited", "weight": "w", "attributes": {"Source": ["survey", "2024"]}})");
    ExpectMembers(got["documents"][0], R"j({"year": 2024, "month": 5, "day": 6,
                                            "lines": ["First note.", "   (Entered 06-May-2024)"]})j");
    ExpectMembers(got["variables"][0], R"({"label": "Age in years", "print": [5, 6, 1], "write": [5, 2, 0],
        "measure": 2, "missing": {"rule": -3, "values": [90, 98, 99]},
        "value_labels": [[1.5, "one and a half"], [99, "refused"]]})");
    ExpectMembers(got["variables"][1], R"({"missing": {"rule": 1, "values": ["none"]}, "value_labels": [["none", "no city"]],
        "alignment": 2, "display_width": 20, "role": 1, "attributes": {"Note": ["free text"]}})");
    EXPECT_EQ(got["variables"][2], before["variables"][2]);  // not named: kept
    EXPECT_EQ(Cat(Path("c.sys")), Cat(Path("a.sys")));

    // The same on import, with variables keyed by name.
    std::ofstream(Path("keyed.json")) << R"({"variables": {"city": {"label": "Town"}}})";
    ASSERT_EQ(Run({"import", Path("in.csv"), Path("d.sys"), "--dict", Path("keyed.json")}).status, 0);
    EXPECT_EQ(InfoJson(Path("d.sys"))["variables"][1]["label"], "Town");
}

TEST_F(VeskCli, DictionaryErrorsNameTheEntryAndWriteNothing) {
    ASSERT_EQ(Run({"import", Put("in.csv", "age,city\n31,Oslo\n"), Path("a.sys")}).status, 0);
    const std::string out = Put("out.sys", "old contents");
    const std::pair<std::string, std::string> cases[] = {
        {R"({"variables": [{"name": "nosuch"}]})", "variables[0] 'nosuch': no variable is named 'nosuch'"},
        {R"({"variables": [{"name": "age", "value_labels": [["x", "text"]]}]})",
         "variables[0] 'age': value_labels[0]: expected a number for a numeric variable"},
        {R"({"variables": [{"name": "city", "missing": {"rule": 1, "values": [1]}}]})",
         "variables[0] 'city': missing: values: expected a string"},
        {R"({"variables": [{"name": "age", "print": [5, 50, 2]}]})",
         "variables[0] 'age': print: [5,50,2] is not a valid format for a number"},
        {R"({"variables": [{"name": "age", "missing": {"rule": 3, "values": [1, 2]}}]})",
         "variables[0] 'age': missing: values: rule 3 takes 3 values"},
        {R"({"variables": [{"name": "age", "type": 8}]})", "variables[0] 'age': type: the type is 0 and cannot be changed"},
        {R"({"variables": [{"name": "age", "colour": "red"}]})", "variables[0] 'age': colour: not a member of a variable"},
        {R"({"weight": "city"})", "weight: 'city' is a string; a weight must be numeric"},
        {R"({"lable": "typo"})", "lable: not a member of a dictionary"},
        {R"({"label": "ok", "variables": [{"name": "age", "label": "fine"}, {"name": "city", "measure": 9}]})",
         "variables[1] 'city': measure: 9 is not from 0 to 5"},
        {"[1, 2]", "expected a JSON object, as vesk info --json writes"},
        {"{\"label\": ", "not JSON: "},
    };
    for (const auto& [text, want] : cases) {
        const std::string dict = Put("d.json", text);
        for (const std::vector<std::string>& args : {std::vector<std::string>{"convert", Path("a.sys"), out},
                                                     std::vector<std::string>{"import", Path("in.csv"), out}}) {
            std::vector<std::string> full = args;
            full.insert(full.end(), {"--dict", dict});
            const VeskResult r = Run(full);
            EXPECT_EQ(r.status, 1) << text;
            EXPECT_EQ(r.err.rfind("vesk: " + dict + ": " + want, 0), 0u) << r.err;
            EXPECT_EQ(SlurpFile(out), "old contents");
        }
    }
}

// A write that fails on the thread that writes the cases (the file size limit
// stands in for a full disk) ends the import with the library's error, and
// the file that was there stays.
TEST_F(VeskCli, ImportStopsCleanlyWhenWritingFails) {
    std::string csv = "a,b,c\n";
    for (int i = 0; i < 100000; ++i) csv += std::to_string(i) + "," + std::to_string(i * 0.5) + ",text " + std::to_string(i) + "\n";
    const std::string in = Put("in.csv", csv), out = Put("out.sys", "old contents");
    const std::string command = "trap '' XFSZ; ulimit -f 200; '" VESK_TOOL "' import '" + in + "' '" + out +
                                "' --compression none 2>'" + Path("err") + "'";
    const int raw = std::system(("sh -c \"" + command + "\"").c_str());
    const std::string err = SlurpFile(Path("err"));
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 1) << err;
    EXPECT_TRUE(err.find(out + ":") != std::string::npos && err.find("[1202]") != std::string::npos &&
                std::count(err.begin(), err.end(), '\n') == 1) << err;
    EXPECT_EQ(SlurpFile(out), "old contents");
    EXPECT_EQ(Files(), (std::vector<std::string>{"err", "in.csv", "out.sys"}));
}
