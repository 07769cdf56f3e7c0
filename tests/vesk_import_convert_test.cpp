// The vesk tool's writing commands end to end: import of CSV files and
// convert between compressions, run as the built binary.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sysfilebuilder.h"
#include "veskrun.h"

using namespace SysFileLayout;
using nlohmann::json;

namespace {

using Result = VeskResult;

class VeskWrite : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/veskwriteXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        fDir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + fDir + "'").c_str()); }

    std::string Path(const std::string& name) const { return fDir + "/" + name; }

    std::string Put(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
        return Path(name);
    }

    static std::string Slurp(const std::string& path) { return SlurpFile(path); }

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

    Result Run(const std::vector<std::string>& args) const {
        return RunVesk(VESK_TOOL, args, Path("stdout"), Path("stderr"));
    }

    json InfoJson(const std::string& file) const {
        const Result r = Run({"info", "--json", file});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.status == 0 ? json::parse(r.out) : json();
    }

    std::string Cat(const std::string& file) const {
        const Result r = Run({"cat", file});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }

    std::string fDir;
};

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

// ---------------------------------------------------------------- import

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
        const Result r = Run({"import", Put("in.csv", csv), out, "--compression", compression});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(Cat(out), csv) << compression;
        EXPECT_EQ(InfoJson(out)["compression"], std::string(compression) == "none" ? 0 : compression[0] == 'b' ? 1 : 2);
    }
    const json j = InfoJson(out);
    ASSERT_EQ(j["variables"].size(), 4u);
    EXPECT_EQ(j["variables"][0]["type"], 0);
    EXPECT_EQ(j["variables"][1]["type"], 11);  // "comma, here"
    EXPECT_EQ(j["variables"][2]["type"], 1);
    EXPECT_EQ(j["variables"][3]["type"], 0);   // nothing but empty fields
    EXPECT_EQ(j["case_count"], 5);
}

TEST_F(VeskWrite, ImportTypesNamesAndLineEnds) {
    // LF and lone CR line ends, no final line end, short records, trailing blanks.
    const std::string csv = "x,x,1st,a b,ALL\n3,4,5,text  ,\r7,x8\n,,1e5 ,\"q\"";
    const std::string out = Path("o.sys");
    Result r = Run({"import", Put("in.csv", csv), out, "--label", "From CSV"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = InfoJson(out);
    EXPECT_EQ(j["compression"], 1);  // bytecode by default
    EXPECT_EQ(j["label"], "From CSV");
    std::vector<std::string> names;
    for (const json& v : j["variables"]) names.push_back(v["name"]);
    ASSERT_EQ(names.size(), 5u);
    EXPECT_EQ(names[0], "x");
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t k = i + 1; k < names.size(); ++k) EXPECT_NE(names[i], names[k]);
    EXPECT_NE(names[2], "1st");
    EXPECT_NE(names[4], "ALL");  // a reserved word
    EXPECT_EQ(j["variables"][0]["type"], 0);
    EXPECT_EQ(j["variables"][1]["type"], 2);  // "x8"
    EXPECT_EQ(j["variables"][2]["type"], 4);  // "1e5 " is not a number
    EXPECT_EQ(j["variables"][3]["type"], 6);  // "text  "
    EXPECT_EQ(j["variables"][4]["type"], 0);  // only empty fields
    const std::string header = names[0] + "," + names[1] + "," + names[2] + "," + names[3] + "," + names[4];
    EXPECT_EQ(Cat(out), header + "\r\n3,4,5,text,\r\n7,x8,,,\r\n,,1e5,q,\r\n");
}

TEST_F(VeskWrite, ImportRejectsMalformedCsvAndKeepsOldOutput) {
    const std::string out = Put("o.sys", "precious");
    for (const char* csv : {"a,b\n1,2,3\n", "a\n\"open\n", "a\n\"x\"y\n", "a\nx\"y\n", ""}) {
        const Result r = Run({"import", Put("in.csv", csv), out});
        EXPECT_EQ(r.status, 1) << csv;
        EXPECT_NE(r.err.find("vesk: "), std::string::npos);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // Encrypted writing is refused by the library: its message number shows.
    const Result r = Run({"import", Put("in.csv", "a\n1\n"), out, "--password", "pw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[1290]"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(out), "precious");
    EXPECT_EQ(Files(), (std::vector<std::string>{"in.csv", "o.sys"}));  // no temporary file left

    EXPECT_EQ(Run({"import", Path("missing.csv"), Path("n.sys")}).status, 1);
    EXPECT_EQ(Files(), (std::vector<std::string>{"in.csv", "o.sys"}));
}

// ---------------------------------------------------------------- convert

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
            const Result r = Run({"convert", previous, out, "--compression", to});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            json got = InfoJson(out);
            EXPECT_EQ(got["compression"], to[0] == 'n' ? 0 : to[0] == 'b' ? 1 : 2);
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
    // Converting a file onto itself replaces it once the copy is complete.
    ASSERT_EQ(Run({"convert", Path("b.sys"), Path("b.sys"), "--compression", "bytecode"}).status, 0);
    EXPECT_EQ(Cat(Path("b.sys")), csv);
    EXPECT_EQ(InfoJson(Path("b.sys"))["compression"], 1);
}

TEST_F(VeskWrite, FailedConvertLeavesExistingOutputAlone) {
    const std::string good = Rich(kCompressBytecode).Str();
    const std::string out = Put("out.sys", "old contents");
    // Cut inside the cases: the dictionary reads, a case does not.
    const std::string damaged = Put("cut.sys", good.substr(0, good.size() - 5));
    Result r = Run({"convert", damaged, out, "--compression", "zlib"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[12"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(out), "old contents");

    Put("junk.sys", "this is not a system file at all");
    r = Run({"convert", Path("junk.sys"), out});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[1204]"), std::string::npos) << r.err;

    r = Run({"convert", Put("in.sys", good), out, "--out-password", "secret"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[1290]"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(out), "old contents");
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
        const Result r = Run(args);
        EXPECT_EQ(r.status, 2) << args.back() << ": " << r.err;
    }
    EXPECT_EQ(Files(), (std::vector<std::string>{"in.csv", "in.sys"}));
    const Result help = Run({"import", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--label"), std::string::npos);
}

}  // namespace
