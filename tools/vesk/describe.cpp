// `vesk describe`: what the values of each variable look like, from one pass
// over the cases, as text or as one JSON object.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "commands.h"
#include "datasrc.h"
#include "describe.h"
#include "opened.h"
#include "output.h"
#include "summary.h"
#include "textout.h"
#include "valuetext.h"

namespace vesk {

namespace {

// U+2581 to U+2588, one eighth to full height; a blank for an empty bin.
const char* const kBlocks[] = {" ", "\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587", "\u2588"};

std::string Sparkline(const std::vector<int64_t>& counts) {
    int64_t most = 0;
    for (int64_t c : counts) most = std::max(most, c);
    std::string line;
    for (int64_t c : counts) line += kBlocks[c == 0 ? 0 : int(std::ceil(8.0L * c / most))];
    return line;
}

// Text on one line, at most kMaxShown characters: control characters as
// blanks, invalid UTF-8 replaced.
std::string OneLine(std::string_view text) {
    constexpr size_t kMaxShown = 60;
    std::string line = ShortText(ValidUtf8(text), kMaxShown);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return line;
}

std::string ValueText(const FrequentValue& v, int width, NumberStyle style) {
    if (width == 0) return NumberText(v.number, style);
    std::string text = OneLine(v.text);
    text.insert(text.begin(), '"');
    text += '"';
    return text;
}

void AppendFrequent(std::string& out, const VESK_Variable& var, const VariableSummary& s) {
    const NumberStyle style = ShownStyle(var);
    std::vector<std::vector<std::string>> rows;
    for (const FrequentValue& v : MostFrequent(var, s, kFrequentValues))
        rows.push_back({std::to_string(v.count), ValueText(v, s.width, style), v.label ? OneLine(*v.label) : "",
                        v.missing ? "(missing)" : ""});
    if (rows.empty()) return;
    out += "  most frequent:\n";
    AppendColumns(out, rows, 4);
    if (s.tally.Capped())
        out += "    (more distinct values than are tracked: " + std::to_string(s.tally.Untracked()) +
               " cases hold values not counted above)\n";
}

void AppendNumeric(std::string& out, const VESK_Variable& var, const VariableSummary& s) {
    if (s.finite == 0) return;
    const NumberStyle style = ShownStyle(var);
    const std::string low = NumberText(s.histogram.Low(), style), high = NumberText(s.histogram.High(), style);
    out += "  mean " + MeanText(double(s.mean), style) + ", sd " + Approx(s.StandardDeviation()) + ", min " + low +
           ", max " + high + "\n";
    out += "  " + Sparkline(s.histogram.Counts(kHistogramBins)) + "  " + low + " .. " + high + "\n";
}

void AppendVariable(std::string& out, const VESK_Variable& var, const VariableSummary& s) {
    out += OneLine(var.GetName());
    if (const char* label = var.GetLabel()) out += "  " + OneLine(label);
    out += s.width == 0 ? "  (numeric)\n" : "  (string " + std::to_string(s.width) + ")\n";
    out += "  valid " + std::to_string(s.valid) + ", user-missing " + std::to_string(s.userMissing);
    if (s.width == 0) out += ", system-missing " + std::to_string(s.systemMissing);
    out += '\n';
    if (s.width == 0) AppendNumeric(out, var, s);
    if (s.tallied) AppendFrequent(out, var, s);
    out += '\n';
}

void WriteNumeric(JsonWriter& json, const VariableSummary& s) {
    const bool any = s.finite > 0;
    json.Key("system_missing").Int(s.systemMissing);
    json.Key("mean").Number(any ? double(s.mean) : std::nan(""));
    json.Key("sd").Number(s.StandardDeviation());
    json.Key("min").Number(any ? s.histogram.Low() : std::nan(""));
    json.Key("max").Number(any ? s.histogram.High() : std::nan(""));
    json.Key("histogram");
    if (!any) {
        json.Null();
        return;
    }
    json.BeginObject(true).Key("low").Number(s.histogram.Low()).Key("high").Number(s.histogram.High());
    json.Key("counts").BeginArray(true);
    for (int64_t c : s.histogram.Counts(kHistogramBins)) json.Int(c);
    json.EndArray().EndObject();
}

void WriteFrequent(JsonWriter& json, const VESK_Variable& var, const VariableSummary& s) {
    json.Key("most_frequent").BeginArray();
    for (const FrequentValue& v : MostFrequent(var, s, kFrequentValues)) {
        json.BeginObject(true).Key("value");
        if (s.width == 0)
            json.Number(v.number);
        else
            json.String(v.text);
        json.Key("count").Int(v.count).Key("label");
        if (v.label)
            json.String(*v.label);
        else
            json.Null();
        json.Key("missing").Bool(v.missing).EndObject();
    }
    json.EndArray();
    json.Key("untracked").Int(s.tally.Untracked());
}

void WriteVariable(JsonWriter& json, const VESK_Variable& var, const VariableSummary& s) {
    json.BeginObject();
    json.Key("name").String(var.GetName()).Key("type").Int(s.width).Key("label");
    if (const char* label = var.GetLabel())
        json.String(label);
    else
        json.Null();
    json.Key("valid").Int(s.valid).Key("user_missing").Int(s.userMissing);
    if (s.width == 0) WriteNumeric(json, s);
    if (s.tallied) WriteFrequent(json, var, s);
    json.EndObject();
}

}  // namespace

NumberStyle ShownStyle(const VESK_Variable& var) {
    const NumberStyle style = PrintStyle(var);
    const bool calendar = style.kind == NumberStyle::kDate || style.kind == NumberStyle::kDateTime ||
                          style.kind == NumberStyle::kTime;
    return calendar ? style : NumberStyle{};
}

std::string Approx(double value) {
    // Six significant digits, more when the whole part has more.
    const double magnitude = std::fabs(value);
    const int whole = magnitude >= 1 && std::isfinite(magnitude) ? int(std::log10(magnitude)) + 1 : 0;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.*g", std::clamp(whole + 2, 6, 15), value);
    return buf;
}

std::string MeanText(double mean, NumberStyle style) {
    return style.kind == NumberStyle::kShortest ? Approx(mean) : NumberText(mean, style);
}

int RunDescribe(const DescribeOptions& options) {
    OpenedFile file(options);
    const VESK_DataSource& source = file.Source();
    const Description description = Describe(file, file.Columns(options.vars), "describe");
    std::string text;
    if (options.json) {
        JsonWriter json(text);
        json.BeginObject().Key("cases").Int(description.cases).Key("variables").BeginArray();
        for (const VariableSummary& s : description.variables) WriteVariable(json, source.GetVariable(s.column), s);
        json.EndArray().EndObject();
        text += '\n';
    } else {
        text = "cases: " + std::to_string(description.cases) + "\n\n";
        for (const VariableSummary& s : description.variables) AppendVariable(text, source.GetVariable(s.column), s);
    }
    StdoutBuffer out;
    out.Append(text);
    out.Flush();
    return 0;
}

}  // namespace vesk
