// The vesk tool end to end: runs the built binary on files made with the byte
// builder and checks its output, error lines and exit statuses.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
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

class VeskCli : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/veskcliXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        fDir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + fDir + "'").c_str()); }

    std::string Path(const std::string& name) const { return fDir + "/" + name; }

    std::string Write(const std::string& name, const SysFileBuilder& b) const {
        b.WriteTo(Path(name));
        return Path(name);
    }

    static std::string Slurp(const std::string& path) { return SlurpFile(path); }

    Result Run(const std::vector<std::string>& args) const {
        return RunVesk(VESK_TOOL, args, Path("out"), Path("err"));
    }

    std::string fDir;
};

// A big-endian bytecode file with a bit of everything the JSON shows.
SysFileBuilder Survey() {
    SysFileBuilder b(ByteOrder::Big());
    b.Header({.compression = kCompressBytecode, .weightIndex = 4, .label = "Town survey   "});
    b.Variable({.name = "AGE", .label = "Age, in years", .missing = {0.1, 99}})
        .Variable({.name = "CITY", .type = 10, .missingText = {"none"}})
        .Variable({.name = "W"})
        .Variable({.name = "INCOME", .missing = {-5, -1, 1e300}, .missingCount = kMissingRangeAndValue,
                   .print = EncodeFormatWord(5, 10, 2), .write = EncodeFormatWord(5, 12, 3)});
    b.ValueLabels({{1, "one"}, {1e300, "huge"}}, {b.PositionOf("AGE")});
    b.StringValueLabels({{"none", "No city"}}, {b.PositionOf("CITY")});
    b.Documents({"A note on the survey.  ", "   (Entered 05-Mar-2014)"});
    b.ExtensionText(2, "raw block");
    b.ExtensionInts(30, {1, 2});
    b.ExtensionText(20, "UTF-8");
    b.End();
    b.Row(Cells().Num(31).Str("Oslo", 10).Num(1).Num(2500.5));
    b.Row(Cells().Sysmis().Str("none", 10).Num(2).Num(-0.0));
    return b;
}

// ---------------------------------------------------------------- info

TEST_F(VeskCli, InfoJsonDescribesFileAndDictionary) {
    const Result r = Run({"info", "--json", Write("s.sys", Survey())});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const json j = json::parse(r.out);
    EXPECT_EQ(j["compression"], 1);
    EXPECT_EQ(j["encrypted"], false);
    EXPECT_EQ(j["reversed"], true);
    EXPECT_EQ(j["case_count"], 2);
    EXPECT_EQ(j["cells_per_case"], 5);
    EXPECT_EQ(j["label"], "Town survey");
    EXPECT_EQ(j["product"], std::string(kProductText));
    EXPECT_TRUE(j["encoding"].is_string());
    EXPECT_EQ(j["weight"], "w");
    EXPECT_EQ(j["raw_extensions"], json::array({2, 30}));
    EXPECT_EQ(j["variable_sets"], json::array());
    EXPECT_EQ(j["mr_sets"], json::array());
    EXPECT_EQ(j["attributes"], json::object());

    ASSERT_EQ(j["documents"].size(), 1u);
    const json& doc = j["documents"][0];
    EXPECT_EQ(doc["year"], 2014);
    EXPECT_EQ(doc["month"], 3);
    EXPECT_EQ(doc["day"], 5);
    EXPECT_EQ(doc["lines"], json::array({"A note on the survey.", "   (Entered 05-Mar-2014)"}));

    const json& vars = j["variables"];
    ASSERT_EQ(vars.size(), 4u);
    EXPECT_EQ(vars[0]["name"], "age");
    EXPECT_EQ(vars[0]["type"], 0);
    EXPECT_EQ(vars[0]["label"], "Age, in years");
    EXPECT_EQ(vars[0]["missing"], json::parse(R"({"rule": 2, "values": [0.1, 99]})"));
    EXPECT_EQ(vars[0]["value_labels"], json::parse(R"([[1, "one"], [1e300, "huge"]])"));
    EXPECT_EQ(vars[1]["type"], 10);
    EXPECT_TRUE(vars[1]["label"].is_null());
    EXPECT_EQ(vars[1]["print"], json::array({1, 10, 0}));
    EXPECT_EQ(vars[1]["missing"], json::parse(R"({"rule": 1, "values": ["none"]})"));
    EXPECT_EQ(vars[1]["value_labels"], json::parse(R"([["none", "No city"]])"));
    EXPECT_EQ(vars[3]["print"], json::array({5, 10, 2}));
    EXPECT_EQ(vars[3]["write"], json::array({5, 12, 3}));
    EXPECT_EQ(vars[3]["missing"], json::parse(R"({"rule": -3, "values": [-5, -1, 1e300]})"));
    for (const char* member : {"measure", "alignment", "display_width", "role", "attributes"})
        EXPECT_TRUE(vars[3].contains(member)) << member;

    // Numbers in their shortest round-trip spelling.
    EXPECT_NE(r.out.find("[0.1, 99]"), std::string::npos);
    EXPECT_NE(r.out.find("[-5, -1, 1e+300]"), std::string::npos);
}

TEST_F(VeskCli, InfoJsonIsValidWhateverTheTextsHold) {
    SysFileBuilder b;
    b.Header({.label = "bad \xE9 byte, tab\t, bell\x07, quote \" and \\"});
    b.Variable({.name = "X", .label = std::string("cut \xE2\x82", 6)});
    b.ValueLabels({{1, "\xF0\x9F\x98\x80 ok"}}, {1});
    b.ExtensionText(20, "UTF-8");
    b.End();
    b.Row(Cells().Num(1));
    const Result r = Run({"info", "--json", Write("t.sys", b)});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);  // throws on invalid UTF-8 or bad escapes
    EXPECT_EQ(j["label"], "bad \xEF\xBF\xBD byte, tab\t, bell\x07, quote \" and \\");
    EXPECT_EQ(j["variables"][0]["label"], "cut \xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(j["variables"][0]["value_labels"][0][1], "\xF0\x9F\x98\x80 ok");
}

TEST_F(VeskCli, InfoTableListsVariablesAndFacts) {
    const Result r = Run({"info", Write("s.sys", Survey())});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("age"), std::string::npos);
    EXPECT_NE(r.out.find("Age, in years"), std::string::npos);
    EXPECT_NE(r.out.find("reversed"), std::string::npos);
    EXPECT_NE(r.out.find("Town survey"), std::string::npos);
}

// ---------------------------------------------------------------- cat

SysFileBuilder Awkward(int compression) {
    SysFileBuilder b;
    b.Header({.compression = compression});
    b.Variable({.name = "N"}).Variable({.name = "S", .type = 24}).Variable({.name = "T", .type = 2});
    b.ExtensionText(20, "UTF-8");
    b.End();
    b.Row(Cells().Num(1).Str("plain   ", 24).Str("a", 2));
    b.Row(Cells().Num(2.5).Str("comma, here", 24).Str("", 2));
    b.Row(Cells().Num(-0.0).Str("say \"hi\"", 24).Str("\"", 2));
    b.Row(Cells().Num(1e300).Str("two\nlines", 24).Str("\r", 2));
    b.Row(Cells().Sysmis().Str("  lead", 24).Str(",", 2));
    return b;
}

TEST_F(VeskCli, CatWritesRfc4180Csv) {
    const std::string expected =
        "n,s,t\r\n"
        "1,plain,a\r\n"
        "2.5,\"comma, here\",\r\n"
        "-0,\"say \"\"hi\"\"\",\"\"\"\"\r\n"
        "1e+300,\"two\nlines\",\"\r\"\r\n"
        ",  lead,\",\"\r\n";
    for (int compression : {kCompressNone, kCompressBytecode}) {
        const Result r = Run({"cat", Write("a.sys", Awkward(compression))});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, expected) << "compression " << compression;
        EXPECT_EQ(r.err, "");  // no progress bar when stderr is not a terminal
    }
}

TEST_F(VeskCli, CatRowsAndVarsSelect) {
    const std::string file = Write("a.sys", Awkward(kCompressBytecode));
    Result r = Run({"cat", file, "--rows", "1:2", "--vars", "t,N"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "t,n\r\n,2.5\r\n\"\"\"\",-0\r\n");

    r = Run({"cat", file, "--rows", "4:4"});
    EXPECT_EQ(r.out, "n,s,t\r\n,  lead,\",\"\r\n");

    r = Run({"cat", file, "--rows", "3:100", "--vars", "n"});
    EXPECT_EQ(r.out, "n\r\n1e+300\r\n\r\n");

    r = Run({"cat", file, "--rows", "7:9"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "n,s,t\r\n");
}

TEST_F(VeskCli, CatDeliversVeryLongStrings) {
    SysFileBuilder b;
    b.Variable({.name = "LONG", .type = kMaxRecordStringWidth}).Variable({.name = "LONG0", .type = 48});
    b.ExtensionText(kExtLongNames, "LONG=Long");
    b.ExtensionText(kExtVeryLongStrings, std::string("LONG=300") + '\0' + '\t');
    b.ExtensionText(20, "UTF-8");
    b.End();
    std::string text(290, 'x');
    text[0] = 'a';
    text[289] = 'z';
    b.Row(Cells().Str(text.substr(0, 255), 256).Str(text.substr(255), 48));
    const Result r = Run({"cat", Write("l.sys", b)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Long\r\n" + text + "\r\n");
}

// ---------------------------------------------------------------- verify

TEST_F(VeskCli, VerifyCountsCases) {
    const Result r = Run({"verify", Write("a.sys", Awkward(kCompressBytecode))});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "cases: 5\n");
}

// Runs vesk with stderr on a pseudo-terminal and stdout into a file; returns
// what the terminal received.
std::string RunOnTerminal(const std::vector<std::string>& args, const std::string& outFile) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return "<no pty>";
    const std::string slaveName = ptsname(master);
    const pid_t pid = fork();
    if (pid == 0) {
        const int slave = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(slave, STDERR_FILENO);
        dup2(out, STDOUT_FILENO);
        std::vector<char*> argv{const_cast<char*>(VESK_TOOL)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VESK_TOOL, argv.data());
        _exit(127);
    }
    std::string seen;
    char buf[4096];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) break;
            continue;
        }
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) {
            waitpid(pid, nullptr, 0);
            break;
        }
        seen.append(buf, size_t(n));
    }
    close(master);
    return seen;
}

TEST_F(VeskCli, ProgressBarOnlyOnTerminal) {
    SysFileBuilder b;
    b.Header({.compression = kCompressBytecode});
    b.Variable({.name = "X"});
    b.ExtensionText(20, "UTF-8");
    b.End();
    for (int i = 0; i < 3000; ++i) b.Row(Cells().Num(i));
    const std::string file = Write("many.sys", b);

    const std::string terminal = RunOnTerminal({"verify", file}, Path("verify.out"));
    EXPECT_NE(terminal.find("verify ["), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("\033[K"), std::string::npos) << "the bar is erased at the end";
    EXPECT_EQ(Slurp(Path("verify.out")), "cases: 3000\n");

    const Result piped = Run({"verify", file});
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.out, "cases: 3000\n");
}

// ---------------------------------------------------------------- errors

TEST_F(VeskCli, LibraryErrorsExitOneWithMessageNumber) {
    // Not a system file at all.
    std::ofstream(Path("junk.sys")) << "this is not a system file, just text";
    for (const char* command : {"info", "cat", "verify"}) {
        const Result r = Run({command, Path("junk.sys")});
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "vesk: " + Path("junk.sys") + ": the file is damaged or not a system file [1204]\n");
    }

    // Cut in the middle of a case: the dictionary reads, the data does not.
    std::vector<uint8_t> bytes = Awkward(kCompressNone).Bytes();
    bytes.resize(bytes.size() - 5);
    std::ofstream(Path("cut.sys"), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                           std::streamsize(bytes.size()));
    const Result r = Run({"verify", Path("cut.sys")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[1205]"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

    const Result missing = Run({"info", Path("absent.sys")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err.rfind("vesk: ", 0), 0u);
    EXPECT_NE(missing.err.find("[1201]"), std::string::npos) << missing.err;
}

TEST_F(VeskCli, BadUsageExitsTwo) {
    const std::string file = Write("a.sys", Awkward(kCompressNone));
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate", file},
        {"info"},
        {"info", file, "--bogus"},
        {"cat", file, "--rows", "3:1"},
        {"cat", file, "--rows", "1-3"},
        {"cat", file, "--rows", "-1:3"},
        {"cat", file, "--rows", ""},
        {"cat", file, "--vars", "N,nosuch"},
        {"verify", file, "extra"},
    };
    for (const auto& args : bad) {
        const Result r = Run(args);
        std::string shown;
        for (const std::string& a : args) shown += " " + a;
        EXPECT_EQ(r.status, 2) << shown << "\n" << r.err;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err.rfind("vesk: ", 0), 0u) << shown << "\n" << r.err;
    }
}

TEST_F(VeskCli, HelpExplainsCommandsAndOptions) {
    Result r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"info", "cat", "verify"}) EXPECT_NE(r.out.find(word), std::string::npos) << word;
    r = Run({"cat", "--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"--rows", "--vars", "--password", "FILE"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    r = Run({"info", "--help"});
    EXPECT_NE(r.out.find("--json"), std::string::npos);
}

}  // namespace
