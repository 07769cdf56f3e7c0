// The vesk tool end to end: runs the built binary on files made with the byte
// builder and checks its output, error lines and exit statuses.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sysfilebuilder.h"
#include "veskrun.h"

using namespace SysFileLayout;
using nlohmann::json;

namespace {

class VeskCli : public VeskTest {
protected:
    std::string Write(const std::string& name, const SysFileBuilder& b) const {
        b.WriteTo(Path(name));
        return Path(name);
    }
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

void ExpectMembers(const json& got, const char* want) {
    const json members = json::parse(want);
    for (const auto& [key, value] : members.items()) EXPECT_EQ(got[key], value) << key;
}

TEST_F(VeskCli, InfoJsonDescribesFileAndDictionary) {
    const VeskResult r = Run({"info", "--json", Write("s.sys", Survey())});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const json j = json::parse(r.out);
    ExpectMembers(j, R"({"compression": 1, "encrypted": false, "reversed": true, "case_count": 2,
                         "cells_per_case": 5, "label": "Town survey", "weight": "w", "raw_extensions": [2, 30],
                         "variable_sets": [], "mr_sets": [], "attributes": {}})");
    EXPECT_EQ(j["product"], std::string(kProductText));
    EXPECT_TRUE(j["encoding"].is_string());
    ASSERT_EQ(j["documents"].size(), 1u);
    ExpectMembers(j["documents"][0], R"j({"year": 2014, "month": 3, "day": 5,
                                         "lines": ["A note on the survey.", "   (Entered 05-Mar-2014)"]})j");

    const json& vars = j["variables"];
    ASSERT_EQ(vars.size(), 4u);
    ExpectMembers(vars[0], R"({"name": "age", "type": 0, "label": "Age, in years",
                              "missing": {"rule": 2, "values": [0.1, 99]},
                              "value_labels": [[1, "one"], [1e300, "huge"]]})");
    ExpectMembers(vars[1], R"({"type": 10, "label": null, "print": [1, 10, 0],
                              "missing": {"rule": 1, "values": ["none"]}, "value_labels": [["none", "No city"]]})");
    ExpectMembers(vars[3], R"({"print": [5, 10, 2], "write": [5, 12, 3],
                              "missing": {"rule": -3, "values": [-5, -1, 1e300]}})");
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
    b.ExtensionText(20, "UTF-8").End().Row(Cells().Num(1));
    const VeskResult r = Run({"info", "--json", Write("t.sys", b)});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);  // throws on invalid UTF-8 or bad escapes
    EXPECT_EQ(j["label"], "bad \xEF\xBF\xBD byte, tab\t, bell\x07, quote \" and \\");
    EXPECT_EQ(j["variables"][0]["label"], "cut \xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(j["variables"][0]["value_labels"][0][1], "\xF0\x9F\x98\x80 ok");
}

TEST_F(VeskCli, InfoTableListsVariablesAndFacts) {
    const VeskResult r = Run({"info", Write("s.sys", Survey())});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* text : {"age", "Age, in years", "reversed", "Town survey"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
}

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
        const VeskResult r = Run({"cat", Write("a.sys", Awkward(compression))});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, expected) << "compression " << compression;
        EXPECT_EQ(r.err, "");  // no progress bar when stderr is not a terminal
    }
}

TEST_F(VeskCli, CatRowsAndVarsSelect) {
    const std::string file = Write("a.sys", Awkward(kCompressBytecode));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--rows", "1:2", "--vars", "t,N"}, "t,n\r\n,2.5\r\n\"\"\"\",-0\r\n"},
        {{"--rows", "4:4"}, "n,s,t\r\n,  lead,\",\"\r\n"},
        {{"--rows", "3:100", "--vars", "n"}, "n\r\n1e+300\r\n\r\n"},
        {{"--rows", "7:9"}, "n,s,t\r\n"},
    };
    for (const auto& [options, want] : cases) {
        std::vector<std::string> args = {"cat", file};
        args.insert(args.end(), options.begin(), options.end());
        const VeskResult r = Run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, want) << options[1];
    }
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
    const VeskResult r = Run({"cat", Write("l.sys", b)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Long\r\n" + text + "\r\n");
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

TEST_F(VeskCli, VerifyCountsCasesWithAProgressBarOnlyOnATerminal) {
    SysFileBuilder b;
    b.Header({.compression = kCompressBytecode});
    b.Variable({.name = "X"}).ExtensionText(20, "UTF-8").End();
    for (int i = 0; i < 3000; ++i) b.Row(Cells().Num(i));
    const std::string file = Write("many.sys", b);

    const std::string terminal = RunOnTerminal({"verify", file}, Path("verify.out"));
    EXPECT_NE(terminal.find("verify ["), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("\033[K"), std::string::npos) << "the bar is erased at the end";
    EXPECT_EQ(SlurpFile(Path("verify.out")), "cases: 3000\n");

    const VeskResult piped = Run({"verify", file});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.out, "cases: 3000\n");
}

TEST_F(VeskCli, LibraryErrorsExitOneWithMessageNumber) {
    std::ofstream(Path("junk.sys")) << "this is not a system file, just text";
    for (const char* command : {"info", "cat", "verify"}) {
        const VeskResult r = Run({command, Path("junk.sys")});
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "vesk: " + Path("junk.sys") + ": the file is damaged or not a system file [1204]\n");
    }

    // Cut in the middle of a case: the dictionary reads, the data does not.
    const std::string whole = Awkward(kCompressNone).Str();
    std::ofstream(Path("cut.sys"), std::ios::binary) << whole.substr(0, whole.size() - 5);
    const VeskResult r = Run({"verify", Path("cut.sys")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[1205]"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

    const VeskResult missing = Run({"info", Path("absent.sys")});
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
        const VeskResult r = Run(args);
        std::string shown;
        for (const std::string& a : args) shown += " " + a;
        EXPECT_EQ(r.status, 2) << shown << "\n" << r.err;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err.rfind("vesk: ", 0), 0u) << shown << "\n" << r.err;
    }
}

TEST_F(VeskCli, HelpExplainsCommandsAndOptions) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<const char*>>> helps = {
        {{"--help"}, {"info", "cat", "verify"}},
        {{"cat", "--help"}, {"--rows", "--vars", "--password", "FILE"}},
        {{"info", "--help"}, {"--json"}},
    };
    for (const auto& [args, words] : helps) {
        const VeskResult r = Run(args);
        EXPECT_EQ(r.status, 0) << args[0];
        for (const char* word : words) EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
}

}  // namespace
