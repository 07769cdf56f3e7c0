// The vesk commands that show a file, end to end through the binary: cat's
// formatting options, describe, codebook (rendered in a real browser when one
// is installed), verify's case-count check, version and usage.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <vesk/version.h>

#include "dates.h"
#include "sysfilebuilder.h"
#include "veskrun.h"

using namespace SysFileLayout;
using nlohmann::json;

namespace {

double Moment(long y, long mo, long d, long h, long mi, double s) {
    double v = 0;
    EXPECT_TRUE(iDMY2Vesk(d, mo, y, h, mi, s, &v));
    return v;
}

std::string Shortest(double v) {
    if (std::isnan(v)) return "nan";
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

size_t Occurrences(const std::string& text, const std::string& word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

class VeskView : public VeskTest {
protected:
    std::string Put(const std::string& name, const SysFileBuilder& b) const {
        b.WriteTo(Path(name));
        return Path(name);
    }
    // stdout of a successful run with nothing on stderr.
    std::string Out(const std::vector<std::string>& args) const {
        const VeskResult r = Run(args);
        EXPECT_EQ(std::to_string(r.status) + r.err, "0") << args[0];
        return r.out;
    }
    json DescribeJson(const std::string& file, const std::string& vars = "") const {
        std::vector<std::string> args = {"describe", file, "--json"};
        if (!vars.empty()) args.insert(args.end(), {"--vars", vars});
        const std::string out = Out(args);
        return out.empty() ? json() : json::parse(out);
    }
};

// One variable per display style, and a string that needs quoting for some delimiters.
SysFileBuilder Styles() {
    SysFileBuilder b;
    b.Header({.compression = kCompressBytecode});
    b.Variable({.name = "F", .print = EncodeFormatWord(5, 8, 2)});
    b.Variable({.name = "E", .print = EncodeFormatWord(17, 10, 3)});
    b.Variable({.name = "D", .print = EncodeFormatWord(20, 11, 0)});
    b.Variable({.name = "DT", .print = EncodeFormatWord(22, 23, 3)});
    b.Variable({.name = "T", .print = EncodeFormatWord(21, 8, 0)}).Variable({.name = "S", .type = 8});
    b.ExtensionText(20, "UTF-8").End();
    b.Row(Cells().Num(3.14159).Num(1234.56).Num(Moment(2024, 2, 29, 13, 0, 0)).Num(Moment(2024, 3, 15, 13, 45, 7.25))
              .Num(3723).Str("a,b;c", 8));
    b.Row(Cells().Num(-0.001).Num(-0.0).Num(-1).Num(Moment(2024, 12, 31, 23, 59, 59.9996)).Num(-90).Str("x|y\tz", 8));
    b.Row(Cells().Sysmis().Sysmis().Num(0).Num(1e300).Num(100000).Str("", 8));
    return b;
}

TEST_F(VeskView, CatFormattedShowsPrintFormatsDatesAndTimes) {
    const std::string file = Put("s.sys", Styles());
    EXPECT_EQ(Out({"cat", file, "--formatted"}),
              "f,e,d,dt,t,s\r\n"
              "3.14,1.235e+03,2024-02-29,2024-03-15 13:45:07.250,01:02:03,\"a,b;c\"\r\n"
              "0.00,0.000e+00,-1,2025-01-01 00:00:00.000,-00:01:30,x|y\tz\r\n"
              ",,1582-10-14,1e+300,27:46:40,\r\n");
    // Without --formatted every number is its shortest round-trip text.
    const std::string plain = Out({"cat", file});
    EXPECT_EQ(plain.substr(0, plain.find("\r\n", 15)), "f,e,d,dt,t,s\r\n3.14159,1234.56," +
                                                           Shortest(Moment(2024, 2, 29, 13, 0, 0)) + "," +
                                                           Shortest(Moment(2024, 3, 15, 13, 45, 7.25)) + ",3723,\"a,b;c\"");
    // Fields are quoted for the delimiter in use only.
    const std::vector<std::pair<std::string, std::string>> delimiters = {
        {"tab", "3723\ta,b;c\r\n"}, {";", "3723;\"a,b;c\"\r\n"}, {"|", "-90|\"x|y\tz\"\r\n"}, {"z", "-90z\"x|y\tz\"\r\n"}};
    for (const auto& [d, want] : delimiters) {
        const std::string out = Out({"cat", file, "--delimiter", d});
        EXPECT_NE(out.find(want), std::string::npos) << d << "\n" << out;
        EXPECT_EQ(Occurrences(out, "\r\n"), 4u) << d;
    }
}

TEST_F(VeskView, CatLabelsReplaceLabelledValuesOnly) {
    SysFileBuilder b;
    b.Variable({.name = "Q"}).Variable({.name = "C", .type = 4}).Variable({.name = "N"});
    b.ValueLabels({{1, "Yes"}, {2, "No, never"}}, {b.PositionOf("Q")});
    b.StringValueLabels({{"a", "Alpha|A"}}, {b.PositionOf("C")});
    b.ExtensionText(20, "UTF-8").End();
    b.Row(Cells().Num(1).Str("a", 4).Num(1)).Row(Cells().Num(2).Str("b", 4).Num(2));
    b.Row(Cells().Num(3).Str("", 4).Sysmis());
    b.Row(Cells().Sysmis().Str("a", 4).Num(0.5));
    const std::string file = Put("l.sys", b);
    EXPECT_EQ(Out({"cat", file, "--labels"}), "q,c,n\r\nYes,Alpha|A,1\r\n\"No, never\",b,2\r\n3,,\r\n,Alpha|A,0.5\r\n");
    EXPECT_EQ(Out({"cat", file, "--labels", "--formatted", "--delimiter", "|", "--vars", "c,q"}),
              "c|q\r\n\"Alpha|A\"|Yes\r\nb|No, never\r\n|3.00\r\n\"Alpha|A\"|\r\n");
}

// The plain output must stay exactly the shortest round-trip text, whatever
// shortcut produces it.
TEST_F(VeskView, CatPlainNumbersAreShortestRoundTrip) {
    const double max = std::numeric_limits<double>::max();
    const std::vector<double> values = {0, -0.0, 1, -1, 99999, 100000, -100000, 120000, 123456789012345, 1e14, 1e15,
                                        999999999999999, 9007199254740993.0, 1e22, 0.1, 2.5, -1.25e-7, 5e-324, max,
                                        std::nan(""), INFINITY, -INFINITY, 4503599627370497.5, 1e5 + 0.5, 1234567};
    SysFileBuilder b;
    b.Header({.compression = kCompressBytecode});
    b.Variable({.name = "X"}).ExtensionText(20, "UTF-8").End();
    std::string want = "x\r\n";
    for (double v : values) {
        b.Row(Cells().Num(v));
        want += Shortest(v) + "\r\n";
    }
    EXPECT_EQ(Out({"cat", Put("n.sys", b)}), want);
}

// Lines come out whole and in case order however the formatting is split up:
// across batches, with a line too long to reserve at once, and when the data
// break off.
TEST_F(VeskView, CatKeepsCaseOrderAcrossBatchesLongLinesAndDamage) {
    constexpr int kRows = 40000;
    SysFileBuilder many;
    many.Variable({.name = "X"}).ExtensionText(20, "UTF-8").End();
    std::string want = "x\r\n";
    for (int i = 0; i < kRows; ++i) {
        many.Row(Cells().Num(i));
        want += std::to_string(i) + "\r\n";
    }
    // (Compared whole, without a diff of 40,000 lines on failure.)
    const std::string all = Out({"cat", Put("many.sys", many)});
    EXPECT_TRUE(all == want) << all.substr(0, 100);
    EXPECT_EQ(Out({"cat", Path("many.sys"), "--rows", "16383:16385"}), "x\r\n16383\r\n16384\r\n16385\r\n");

    // Cut inside case 10000 of the uncompressed data: the cases before it are all printed.
    const std::string bytes = many.Str();
    std::ofstream(Path("cut.sys"), std::ios::binary) << bytes.substr(0, many.DataStart() + 10000 * 8 + 3);
    const VeskResult cut = Run({"cat", Path("cut.sys")});
    EXPECT_TRUE(cut.status == 1 && cut.err.find("[1205]") != std::string::npos) << cut.err;
    EXPECT_TRUE(cut.out == want.substr(0, want.find("\r\n10000\r\n") + 2)) << cut.out.size();

    // --formatted leaves room for 336-byte numbers: 2000 columns exceed what a line reserves at once.
    SysFileBuilder wide;
    for (int j = 0; j < 2000; ++j) wide.Variable({.name = "V" + std::to_string(j), .print = EncodeFormatWord(5, 8, 1)});
    wide.ExtensionText(20, "UTF-8").End();
    std::string line;
    Cells cells;
    for (int j = 0; j < 2000; ++j) {
        cells.Num(j + 0.3);
        line += (j ? "," : "") + std::to_string(j) + ".3";
    }
    wide.Row(cells).Row(cells);
    const std::string out = Out({"cat", Put("wide.sys", wide), "--formatted"});
    EXPECT_TRUE(out.substr(out.find("\r\n") + 2) == line + "\r\n" + line + "\r\n") << out.substr(0, 200);
}

SysFileBuilder Survey() {
    SysFileBuilder b;
    b.Variable({.name = "X", .label = "Score", .missing = {99}});
    b.Variable({.name = "L"}).Variable({.name = "S", .type = 3});
    b.ValueLabels({{1, "low"}, {2, "high"}}, {b.PositionOf("L")});
    b.ExtensionText(20, "UTF-8").End();
    const double l[] = {1, 1, 1, 1, 1, 1, 2, 2, 2, 3, 3, VESK_SYSMIS};
    const char* s[] = {"b", "a", "b", "a", "b", "a", "b", "a", "b", "a", "", ""};
    for (int i = 0; i < 12; ++i) b.Row(Cells().Num(i < 10 ? i + 1 : i == 10 ? 99 : VESK_SYSMIS).Num(l[i]).Str(s[i], 3));
    return b;
}

TEST_F(VeskView, DescribeCountsMomentsAndMostFrequentValues) {
    const std::string file = Put("d.sys", Survey());
    const json j = DescribeJson(file);
    EXPECT_EQ(j["cases"], 12);
    ASSERT_EQ(j["variables"].size(), 3u);
    const json& x = j["variables"][0];
    EXPECT_EQ(json({x["name"], x["label"], x["valid"], x["user_missing"], x["system_missing"], x["mean"], x["min"],
                    x["max"]}),
              json::parse(R"(["x", "Score", 10, 1, 1, 5.5, 1, 10])"));
    EXPECT_NEAR(x["sd"].get<double>(), 3.0276503540974917, 1e-12);
    const std::vector<int64_t> bins = x["histogram"]["counts"];
    EXPECT_EQ(std::make_pair(bins.size(), std::accumulate(bins.begin(), bins.end(), int64_t(0))),
              std::make_pair(size_t(16), int64_t(10)));
    EXPECT_FALSE(x.contains("most_frequent"));        // neither labelled nor a string
    EXPECT_EQ(j["variables"][1]["most_frequent"],
              json::parse(R"([{"value": 1, "count": 6, "label": "low", "missing": false},
                              {"value": 2, "count": 3, "label": "high", "missing": false},
                              {"value": 3, "count": 2, "label": null, "missing": false}])"));
    const json& s = j["variables"][2];
    EXPECT_EQ(json({s["valid"], s["user_missing"], s.contains("mean"), s["untracked"]}), json::parse("[12, 0, false, 0]"));
    EXPECT_EQ(s["most_frequent"][0]["value"], "a");  // a tie goes to the lower value
    EXPECT_EQ(s["most_frequent"][2], json::parse(R"({"value": "", "count": 2, "label": null, "missing": false})"));

    // --vars chooses and orders; the text form carries the same figures.
    const json some = DescribeJson(file, "s,X");
    EXPECT_EQ(json({some["variables"][0]["name"], some["variables"][1]["name"]}), json::parse(R"(["s", "x"])"));
    const std::string text = Out({"describe", file, "--vars", "x,l"});
    for (const char* part : {"cases: 12\n", "x  Score  (numeric)\n", "valid 10, user-missing 1, system-missing 1\n",
                             "mean 5.5, sd 3.02765, min 1, max 10\n", "  1 .. 10\n", "6  1  low\n", "2  3\n"})
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    EXPECT_NE(text.find("\u2588"), std::string::npos);  // the histogram's full block
}

TEST_F(VeskView, DescribeKeepsExactCountsWithinBoundedMemory) {
    SysFileBuilder b;
    b.Variable({.name = "U"}).Variable({.name = "W"}).Variable({.name = "E"}).Variable({.name = "T", .type = 8});
    b.ExtensionText(20, "UTF-8").End();
    const double extremes[] = {-1e300, 1e300, 1e-300};
    for (int i = 0; i < 1200; ++i)
        b.Row(Cells().Num(i).Num(i <= 60 ? std::ldexp(1.0, i) : VESK_SYSMIS).Num(i < 3 ? extremes[i] : VESK_SYSMIS)
                  .Str("t" + std::to_string(i % 1100), 8));
    const json j = DescribeJson(Put("h.sys", b));
    const auto counts = [&](int v) { return j["variables"][v]["histogram"]["counts"].get<std::vector<int64_t>>(); };
    // Evenly spread values fill evenly sized bins; widening the grid loses no count.
    const std::vector<int64_t> u = counts(0), w = counts(1), e = counts(2);
    ASSERT_EQ(u.size(), 16u);
    for (int64_t c : u) EXPECT_TRUE(c >= 72 && c <= 78) << c;
    EXPECT_EQ(std::accumulate(u.begin(), u.end(), int64_t(0)), 1200);
    EXPECT_EQ(std::accumulate(w.begin(), w.end(), int64_t(0)), 61);
    EXPECT_GE(w.front(), 50);  // 2^0 .. 2^55 all lie in the first sixteenth
    EXPECT_EQ(std::accumulate(e.begin(), e.end(), int64_t(0)), 3);
    EXPECT_EQ(json({j["variables"][2]["min"], j["variables"][2]["max"]}), json::parse("[-1e300, 1e300]"));
    // 1100 distinct texts: the first 1000 are counted exactly, the rest only as untracked.
    const json& t = j["variables"][3];
    EXPECT_EQ(json({t["untracked"], t["most_frequent"][0]["count"], t["most_frequent"].size()}),
              json::parse("[100, 2, 10]"));
    EXPECT_NE(Out({"describe", Path("h.sys"), "--vars", "T"}).find("more distinct values than are tracked: 100 cases"),
              std::string::npos);
}

TEST_F(VeskView, DescribeShowsDatesAsDatesAndCopesWithNoCases) {
    SysFileBuilder b;
    b.Variable({.name = "WHEN", .print = EncodeFormatWord(20, 11, 0)}).Variable({.name = "S", .type = 4});
    b.ExtensionText(20, "UTF-8").End();
    b.Row(Cells().Num(Moment(2024, 1, 1, 0, 0, 0)).Str("a", 4)).Row(Cells().Num(Moment(2024, 1, 3, 0, 0, 0)).Str("a", 4));
    EXPECT_NE(Out({"describe", Put("dates.sys", b)}).find("mean 2024-01-02, sd 122188.05, min 2024-01-01, max 2024-01-03\n"),
              std::string::npos);

    SysFileBuilder none;
    none.Variable({.name = "X"}).Variable({.name = "S", .type = 4}).ExtensionText(20, "UTF-8").End();
    const json j = DescribeJson(Put("none.sys", none));
    EXPECT_EQ(j, json::parse(R"({"cases": 0, "variables": [
        {"name": "x", "type": 0, "label": null, "valid": 0, "user_missing": 0, "system_missing": 0,
         "mean": null, "sd": null, "min": null, "max": null, "histogram": null},
        {"name": "s", "type": 4, "label": null, "valid": 0, "user_missing": 0, "most_frequent": [], "untracked": 0}]})"));
}

// A file whose texts would break a page that did not escape them.
SysFileBuilder Hostile() {
    SysFileBuilder b;
    b.Header({.label = "Wave <1> & \"2\""});
    b.Variable({.name = "AGE", .label = "<script>alert(1)</script> \xff"}).Variable({.name = "S", .type = 8})
        .Variable({.name = "EMPTY"});
    b.ValueLabels({{1, "a<b"}}, {b.PositionOf("AGE")});
    b.Documents({"line with </pre> inside"}).ExtensionText(20, "UTF-8").End();
    for (int i = 0; i < 40; ++i) b.Row(Cells().Num(i % 7).Str(i % 3 ? "</svg>" : "ok", 8).Sysmis());
    return b;
}

TEST_F(VeskView, CodebookIsOneSelfContainedPageThatRenders) {
    const std::string in = Put("in.sys", Hostile()), out = Path("book.html");
    ASSERT_EQ(Out({"codebook", in, out}), "");
    const std::string html = SlurpFile(out);
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    for (const char* absent : {"<script", "</svg>\"", "src=", "href=\"http", "url(", "@import", "\xff", "<b>"})
        EXPECT_EQ(html.find(absent), std::string::npos) << absent;
    for (const char* present : {"&lt;script&gt;alert(1)&lt;/script&gt; \xEF\xBF\xBD", "Wave &lt;1&gt; &amp; &quot;2&quot;",
                                "a&lt;b", "&lt;/svg&gt;", "line with &lt;/pre&gt; inside", "No values to chart."})
        EXPECT_NE(html.find(present), std::string::npos) << present;
    EXPECT_EQ(Occurrences(html, "<section class=\"variable\""), 3u);
    EXPECT_EQ(Occurrences(html, "<svg"), 2u);  // EMPTY has only system-missing values

    // A damaged input leaves an existing page alone, and no temporary file.
    std::ofstream(Path("bad.sys")) << "this is not a system file, just some text";
    const VeskResult bad = Run({"codebook", Path("bad.sys"), out});
    EXPECT_TRUE(bad.status == 1 && bad.err.find("[1204]") != std::string::npos) << bad.err;
    EXPECT_EQ(SlurpFile(out), html);
    EXPECT_EQ(std::system(("test $(ls -A '" + fDir + "' | grep -c tmp) = 0").c_str()), 0);

    if (std::system("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "no chromium to render the page";
    const std::string browser = "timeout 180 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                                "--disable-background-networking --disable-component-update --disable-sync "
                                "--user-data-dir='" + Path("profile") + "' ";
    ASSERT_EQ(std::system((browser + "--dump-dom 'file://" + out + "' >'" + Path("dom") + "' 2>/dev/null").c_str()), 0);
    const std::string dom = SlurpFile(Path("dom"));
    // The parser saw every section and chart, and reached the footer inside the body.
    EXPECT_EQ(Occurrences(dom, "<section class=\"variable\""), 3u);
    EXPECT_EQ(Occurrences(dom, "<svg"), 2u);
    EXPECT_NE(dom.find("<footer id=\"end\">Written by vesk " VESK_VERSION_STRING "</footer>"), std::string::npos);
    ASSERT_EQ(std::system((browser + "--window-size=1200,900 --screenshot='" + Path("page.png") + "' 'file://" + out +
                           "' >/dev/null 2>&1").c_str()), 0);
    EXPECT_EQ(SlurpFile(Path("page.png")).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

// Numbers on a scale get a histogram even when some values are labelled;
// other labelled variables a bar chart; long label lists are cut short.
TEST_F(VeskView, CodebookChartsEachVariableAsItsMeasureSuggests) {
    SysFileBuilder b;
    b.Variable({.name = "AGE"}).Variable({.name = "CODE"});
    std::vector<std::pair<double, std::string>> many;
    for (int i = 0; i < 120; ++i) many.push_back({i, "code " + std::to_string(i)});
    b.ValueLabels({{99, "refused"}}, {b.PositionOf("AGE")}).ValueLabels(many, {b.PositionOf("CODE")});
    b.ExtensionInts(11, {3, 8, 1, 1, 8, 1}).ExtensionText(20, "UTF-8").End();  // measure: scale, nominal
    for (int i = 0; i < 30; ++i) b.Row(Cells().Num(20 + i).Num(i % 4));
    const std::string out = Path("c.html");
    ASSERT_EQ(Out({"codebook", Put("c.sys", b), out}), "");
    const std::string html = SlurpFile(out);
    const size_t code = html.find("id=\"v2\"");
    ASSERT_NE(code, std::string::npos);
    EXPECT_NE(html.substr(0, code).find("<title>Histogram</title>"), std::string::npos);
    EXPECT_NE(html.substr(code).find("<title>Most frequent values</title>"), std::string::npos);
    EXPECT_NE(html.find("code 99</td>"), std::string::npos);
    EXPECT_EQ(html.find("code 100</td>"), std::string::npos);
    EXPECT_NE(html.find("and 20 more."), std::string::npos);

    // An output that cannot be written is an error naming it, and leaves nothing behind.
    const VeskResult r = Run({"codebook", Path("c.sys"), Path("no/such/dir/c.html")});
    EXPECT_TRUE(r.status == 1 && r.err.find(Path("no/such/dir/c.html")) != std::string::npos) << r.err;
}

TEST_F(VeskView, VerifyComparesCasesReadWithTheHeaderCount) {
    const auto file = [&](const std::string& name, std::optional<int32_t> count, int rows) {
        SysFileBuilder b;
        b.Header({.compression = kCompressBytecode, .caseCount = count});
        b.Variable({.name = "X"}).ExtensionText(20, "UTF-8").End();
        for (int i = 0; i < rows; ++i) b.Row(Cells().Num(i));
        return Put(name, b);
    };
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {file("short.sys", 5, 3), 1, "the header gives 5 cases, 3 were read"},
        {file("long.sys", 2, 3), 1, "the header gives 2 cases, 3 were read"},
        {file("unknown.sys", -1, 3), 0, ""},
        {file("exact.sys", std::nullopt, 3), 0, ""}};
    for (const auto& [path, status, message] : cases) {
        const VeskResult r = Run({"verify", path});
        EXPECT_EQ(std::to_string(r.status) + r.out, std::to_string(status) + "cases: 3\n") << path;
        EXPECT_EQ(r.err, message.empty() ? "" : "vesk: " + path + ": " + message + "\n");
    }
    // A directory is named as one, by every command that reads a file.
    for (const char* command : {"verify", "info", "cat", "describe"}) {
        const VeskResult r = Run({command, fDir});
        EXPECT_EQ(std::to_string(r.status) + r.err, "1vesk: cannot open " + fDir + ": Is a directory [1201]\n");
    }
}

TEST_F(VeskView, VersionHelpAndUsageErrors) {
    EXPECT_EQ(Out({"--version"}), "vesk " VESK_VERSION_STRING "\n");
    const std::string file = Put("s.sys", Styles());
    for (const auto& [command, words] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"cat", {"--formatted", "--labels", "--delimiter", "tab"}},
             {"describe", {"--vars", "--json", "--password"}},
             {"codebook", {"OUT.html", "--password"}}}) {
        const std::string help = Out({command, "--help"});
        for (const std::string& w : words) EXPECT_NE(help.find(w), std::string::npos) << command << " " << w;
    }
    const std::vector<std::vector<std::string>> bad = {
        {"cat", file, "--delimiter", "ab"}, {"cat", file, "--delimiter", "\""}, {"cat", file, "--delimiter", ""},
        {"cat", file, "--labels", "extra"}, {"describe", file, "--bogus"}, {"describe", file, "--vars", "nosuch"},
        {"describe"}, {"codebook", file}, {"codebook", file, Path("a.html"), "extra"}};
    for (const auto& args : bad) {
        const VeskResult r = Run(args);
        EXPECT_EQ(std::to_string(r.status) + r.out + r.err.substr(0, 6), "2vesk: ") << args[0] << " " << r.err;
    }
}

// stdout stays the same on a terminal; the bar goes to stderr and is erased.
TEST_F(VeskView, ProgressBarsOnlyOnATerminal) {
    if (std::system("command -v script >/dev/null") != 0) GTEST_SKIP() << "no script(1) for a terminal";
    SysFileBuilder b;
    b.Header({.compression = kCompressBytecode});
    b.Variable({.name = "X"}).ExtensionText(20, "UTF-8").End();
    for (int i = 0; i < 5000; ++i) b.Row(Cells().Num(i));
    const std::string file = Put("many.sys", b);
    for (const char* command : {"cat", "describe"}) {
        const VeskResult piped = Run({command, file});
        ASSERT_EQ(std::to_string(piped.status) + piped.err, "0");
        const std::string inner = "'" VESK_TOOL "' " + std::string(command) + " '" + file + "' >'" + Path("out") + "'";
        ASSERT_EQ(std::system(("script -qec \"" + inner + "\" /dev/null >'" + Path("tty") + "' </dev/null").c_str()), 0);
        const std::string terminal = SlurpFile(Path("tty"));
        EXPECT_TRUE(terminal.find(std::string(command) + " [") != std::string::npos &&
                    terminal.find("\033[K") != std::string::npos) << command << ": " << terminal;
        EXPECT_EQ(SlurpFile(Path("out")), piped.out) << command;
    }
}

}  // namespace
