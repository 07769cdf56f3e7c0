// The vesk tool end to end: output, error lines, exit statuses and files left behind.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

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
    // Names in the work directory other than the captured output.
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        DIR* d = opendir(fDir.c_str());
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != ".." && n != "stdout" && n != "stderr") names.push_back(n);
        }
        closedir(d);
        std::sort(names.begin(), names.end());
        return names;
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
        // Encrypted writing is refused by the library.
        {{"import", Put("c6.csv", "a\n1\n"), out, "--password", "pw"}, "[1290]"},
        // Cut inside the cases: the dictionary reads, a case does not.
        {{"convert", Put("cut.sys", good.substr(0, good.size() - 5)), out, "--compression", "zlib"}, "[12"},
        {{"convert", Path("junk.sys"), out}, "[1204]"},
        {{"convert", Put("in.sys", good), out, "--out-password", "secret"}, "[1290]"},
    };
    for (const auto& [args, number] : failures) {
        const VeskResult r = Run(args);
        EXPECT_EQ(r.status, 1) << args[1];
        EXPECT_TRUE(r.err.rfind("vesk: ", 0) == 0 && std::count(r.err.begin(), r.err.end(), '\n') == 1 &&
                    r.err.find(number) != std::string::npos && r.err.find(".tmp-") == std::string::npos) << r.err;
        // Library errors name the output, not the temporary file being written.
        EXPECT_TRUE(number != "[1290]" || r.err.find(out + ":") != std::string::npos) << r.err;
        EXPECT_EQ(SlurpFile(out), "old contents");
    }
    // No temporary file is left behind.
    EXPECT_EQ(Files(), (std::vector<std::string>{"c1.csv", "c2.csv", "c3.csv", "c4.csv", "c5.csv", "c6.csv",
                                                 "cut.sys", "in.sys", "junk.sys", "out.sys"}));
}

}  // namespace
