// The vesk tool's writing commands end to end: import of CSV files and
// convert between compressions, run as the built binary.
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

class VeskWrite : public VeskTest {
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
        return r.status == 0 ? json::parse(r.out) : json();
    }

    std::string Cat(const std::string& file) const {
        const VeskResult r = Run({"cat", file});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
};

int CompressionCode(const std::string& name) { return name == "none" ? 0 : name == "bytecode" ? 1 : 2; }

// A file with labels, value labels, missing values, documents, attributes,
// a variable set and raw extension blocks.
SysFileBuilder Rich(int compression) {
    SysFileBuilder b;
    b.Header({.compression = compression, .weightIndex = 3, .label = "Rich file"});
    b.Variable({.name = "AGE", .label = "Age, in years", .missing = {0.1, 99}})
        .Variable({.name = "CITY", .type = 12, .missingText = {"none"}})
        .Variable({.name = "W"})
        .Variable({.name = "INCOME", .missing = {-5, -1, 1e300}, .missingCount = kMissingRangeAndValue,
                   .print = EncodeFormatWord(5, 10, 2), .write = EncodeFormatWord(5, 12, 3)});
    b.ValueLabels({{1, "one"}, {1e300, "huge"}}, {b.PositionOf("AGE")});
    b.StringValueLabels({{"none", "No city"}}, {b.PositionOf("CITY")});
    b.Documents({"A note on the data.  ", "   (Entered 05-Mar-2014)"});
    b.ExtensionText(2, "raw block");
    b.ExtensionInts(30, {1, 2});
    b.ExtensionText(5, "People= AGE W\n");
    b.ExtensionText(17, "Origin('field'\n'desk'\n)");
    b.ExtensionText(20, "UTF-8");
    b.End();
    b.Row(Cells().Num(31).Str("Oslo", 12).Num(1).Num(2500.5));
    b.Row(Cells().Sysmis().Str("none", 12).Num(2).Num(-0.0));
    b.Row(Cells().Num(1e300).Str("a, \"b\"", 12).Num(0.5).Num(-1.25e-7));
    return b;
}

TEST_F(VeskWrite, ImportThenCatReproducesTheCsv) {
    const std::string csv =
        "n,s,t,empty\r\n"
        "1,plain,a,\r\n"
        "2.5,\"comma, here\",,\r\n"
        "-0,\"say \"\"hi\"\"\",\"\"\"\",\r\n"
        "1e+300,\"two\nlines\",\"\r\",\r\n"
        ",  lead,\",\",\r\n";
    const std::string out = Path("o.sys");
    for (const char* compression : {"none", "bytecode", "zlib"}) {
        const VeskResult r = Run({"import", Put("in.csv", csv), out, "--compression", compression});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(Cat(out), csv) << compression;
        EXPECT_EQ(InfoJson(out)["compression"], CompressionCode(compression));
    }
    const json j = InfoJson(out);
    EXPECT_EQ(j["case_count"], 5);
    // "comma, here" is the longest text; the last column holds only empty fields.
    std::vector<int> types;
    for (const json& v : j["variables"]) types.push_back(v["type"]);
    EXPECT_EQ(types, (std::vector<int>{0, 11, 1, 0}));
}

TEST_F(VeskWrite, ImportTypesNamesAndLineEnds) {
    // LF and lone CR line ends, no final line end, short records, trailing blanks.
    const std::string csv = "x,x,1st,a b,ALL\n3,4,5,text  ,\r7,x8\n,,1e5 ,\"q\"";
    const std::string out = Path("o.sys");
    ASSERT_EQ(Run({"import", Put("in.csv", csv), out, "--label", "From CSV"}).status, 0);
    const json j = InfoJson(out);
    EXPECT_EQ(j["compression"], 1);  // bytecode by default
    EXPECT_EQ(j["label"], "From CSV");
    std::vector<std::string> names;
    std::vector<int> types;
    for (const json& v : j["variables"]) {
        names.push_back(v["name"]);
        types.push_back(v["type"]);
    }
    ASSERT_EQ(names.size(), 5u);
    EXPECT_EQ(names[0], "x");
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 5u);
    EXPECT_NE(names[2], "1st");
    EXPECT_NE(names[4], "ALL");  // a reserved word
    // "x8"; "1e5 " is not a number; "text  " keeps its blanks; only empty fields.
    EXPECT_EQ(types, (std::vector<int>{0, 2, 4, 6, 0}));
    const std::string header = names[0] + "," + names[1] + "," + names[2] + "," + names[3] + "," + names[4];
    EXPECT_EQ(Cat(out), header + "\r\n3,4,5,text,\r\n7,x8,,,\r\n,,1e5,q,\r\n");
}

TEST_F(VeskWrite, ImportRejectsMalformedCsvAndKeepsOldOutput) {
    const std::string out = Put("o.sys", "precious");
    for (const char* csv : {"a,b\n1,2,3\n", "a\n\"open\n", "a\n\"x\"y\n", "a\nx\"y\n", ""}) {
        const VeskResult r = Run({"import", Put("in.csv", csv), out});
        EXPECT_EQ(r.status, 1) << csv;
        EXPECT_NE(r.err.find("vesk: "), std::string::npos);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // Encrypted writing is refused by the library: its message number shows.
    const VeskResult r = Run({"import", Put("in.csv", "a\n1\n"), out, "--password", "pw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[1290]"), std::string::npos) << r.err;
    // The message names the output, not the temporary file being written.
    EXPECT_NE(r.err.find(out + ":"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(".tmp-"), std::string::npos) << r.err;
    EXPECT_EQ(SlurpFile(out), "precious");
    EXPECT_EQ(Run({"import", Path("missing.csv"), Path("n.sys")}).status, 1);
    EXPECT_EQ(Files(), (std::vector<std::string>{"in.csv", "o.sys"}));  // no temporary file left
}

TEST_F(VeskWrite, ConvertKeepsDictionaryAndCasesInEveryCompression) {
    for (int from : {kCompressNone, kCompressBytecode}) {
        const std::string in = Put("in.sys", Rich(from).Str());
        json expected = InfoJson(in);
        ASSERT_FALSE(expected.is_null());
        // The fixture exercises what must survive.
        ASSERT_EQ(expected["documents"].size(), 1u);
        ASSERT_EQ(expected["raw_extensions"], json::array({2, 30}));
        ASSERT_EQ(expected["variable_sets"].size(), 1u);
        ASSERT_FALSE(expected["attributes"].empty());
        const std::string cases = Cat(in);
        expected.erase("compression");

        std::string previous = in;
        for (const char* to : {"none", "zlib", "bytecode", "none"}) {
            const std::string out = Path(std::string("to_") + to + ".sys");
            const VeskResult r = Run({"convert", previous, out, "--compression", to});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            json got = InfoJson(out);
            EXPECT_EQ(got["compression"], CompressionCode(to));
            got.erase("compression");
            EXPECT_EQ(got, expected) << "from " << from << " to " << to;
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

TEST_F(VeskWrite, ConvertOfAnImportedFile) {
    const std::string csv = "id,name\r\n1,\"x, y\"\r\n,\"multi\nline\"\r\n";
    ASSERT_EQ(Run({"import", Put("in.csv", csv), Path("a.sys"), "--compression", "none"}).status, 0);
    ASSERT_EQ(Run({"convert", Path("a.sys"), Path("b.sys"), "--compression", "zlib"}).status, 0);
    EXPECT_EQ(Cat(Path("b.sys")), csv);
    // The file is replaced only once the copy is complete.
    ASSERT_EQ(Run({"convert", Path("b.sys"), Path("b.sys"), "--compression", "bytecode"}).status, 0);
    EXPECT_EQ(Cat(Path("b.sys")), csv);
    EXPECT_EQ(InfoJson(Path("b.sys"))["compression"], 1);
}

TEST_F(VeskWrite, FailedConvertLeavesExistingOutputAlone) {
    const std::string good = Rich(kCompressBytecode).Str();
    const std::string out = Put("out.sys", "old contents");
    Put("junk.sys", "this is not a system file at all");
    // Cut inside the cases: the dictionary reads, a case does not.
    const std::vector<std::pair<std::vector<std::string>, std::string>> failures = {
        {{"convert", Put("cut.sys", good.substr(0, good.size() - 5)), out, "--compression", "zlib"}, "[12"},
        {{"convert", Path("junk.sys"), out}, "[1204]"},
        {{"convert", Put("in.sys", good), out, "--out-password", "secret"}, "[1290]"},
    };
    for (const auto& [args, number] : failures) {
        const VeskResult r = Run(args);
        EXPECT_EQ(r.status, 1) << args[1];
        EXPECT_NE(r.err.find(number), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(".tmp-"), std::string::npos) << r.err;
        EXPECT_EQ(SlurpFile(out), "old contents");
    }
    EXPECT_EQ(Files(), (std::vector<std::string>{"cut.sys", "in.sys", "junk.sys", "out.sys"}));
}

TEST_F(VeskWrite, BadUsageExitsTwo) {
    const std::string in = Put("in.sys", Rich(kCompressNone).Str());
    const std::string csv = Put("in.csv", "a\n1\n");
    const std::vector<std::vector<std::string>> bad = {
        {"convert", in},
        {"convert", in, Path("o.sys"), "--compression", "fast"},
        {"convert", in, Path("o.sys"), "--frobnicate"},
        {"import", csv},
        {"import", csv, Path("o.sys"), "--compression", "gzip"},
        {"import", csv, Path("o.sys"), "extra"},
    };
    for (const auto& args : bad) {
        const VeskResult r = Run(args);
        EXPECT_EQ(r.status, 2) << args.back() << ": " << r.err;
    }
    EXPECT_EQ(Files(), (std::vector<std::string>{"in.csv", "in.sys"}));
    const VeskResult help = Run({"import", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--label"), std::string::npos);
}

}  // namespace
