// `vesk codebook`: one self-contained HTML page describing a system file: the
// dataset's facts, then each variable's metadata, its figures from one pass
// over the cases and an inline SVG chart. Nothing is loaded from elsewhere:
// no scripts, fonts or images beyond the page itself.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <vesk/version.h>

#include "DSDocument.h"
#include "commands.h"
#include "datasrc.h"
#include "describe.h"
#include "dictjson.h"
#include "facts.h"
#include "opened.h"
#include "summary.h"
#include "textout.h"
#include "valuelabelmap.h"
#include "writing.h"

namespace vesk {

namespace {

constexpr size_t kMaxValueLabelsShown = 100;
constexpr size_t kMaxChartText = 24;  // characters of a category's name in a bar chart

const char kStyle[] = R"(
:root{--ink:#1d2430;--muted:#5b6575;--line:#d9dee6;--bar:#3d6fb6;--miss:#c4703a;--bg:#f4f6f9}
*{box-sizing:border-box}
body{margin:0;font:15px/1.45 system-ui,sans-serif;color:var(--ink);background:var(--bg)}
main{max-width:1180px;margin:0 auto;padding:24px}
h1{margin:0 0 4px;font-size:26px}
.sub{color:var(--muted);margin:0}
section{background:#fff;border:1px solid var(--line);border-radius:8px;padding:16px 20px;margin:16px 0}
h2{font-size:18px;margin:0 0 12px}
h2 .label{font-weight:normal;color:var(--muted);margin-left:10px}
h3{font-size:14px;color:var(--muted);margin:14px 0 6px}
table{border-collapse:collapse;font-size:14px}
th,td{text-align:left;padding:3px 14px 3px 0;vertical-align:top}
th{color:var(--muted);font-weight:600}
.num{text-align:right;font-variant-numeric:tabular-nums}
.index td,.index th{border-bottom:1px solid var(--line)}
.grid{display:grid;grid-template-columns:minmax(230px,1fr) minmax(200px,1fr) 360px;gap:24px;align-items:start}
.note{color:var(--muted);font-size:13px}
.miss{color:var(--miss)}
pre{white-space:pre-wrap;margin:0}
a{color:var(--bar);text-decoration:none}
svg.chart{display:block}
.chart .bar{fill:var(--bar)}
.chart .missing{fill:var(--miss)}
.chart text{font-size:11px;fill:var(--muted)}
.chart .axis{stroke:#aab3c0}
footer{color:var(--muted);font-size:13px;text-align:center;padding:8px}
@media(max-width:900px){.grid{grid-template-columns:1fr}}
)";

// Text as HTML (also inside SVG): markup characters escaped, invalid UTF-8
// and control characters replaced.
void AppendHtml(std::string& out, std::string_view text) {
    for (char c : ValidUtf8(text)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') ? ' ' : c;
        }
    }
}

std::string Html(std::string_view text) {
    std::string out;
    AppendHtml(out, text);
    return out;
}

// A coordinate of a chart.
std::string Px(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", value);
    return buf;
}

std::string Count(int64_t n) { return std::to_string(n); }

void AppendRow(std::string& out, std::string_view name, std::string_view value, bool numeric = false) {
    out += "<tr><th>";
    AppendHtml(out, name);
    out += numeric ? "</th><td class=\"num\">" : "</th><td>";
    AppendHtml(out, value);
    out += "</td></tr>\n";
}

// ---------------------------------------------------------------- charts

void AppendHistogram(std::string& out, const VariableSummary& s, NumberStyle style) {
    constexpr double kLeft = 44, kRight = 350, kTop = 12, kBottom = 120;
    const std::vector<int64_t> counts = s.histogram.Counts(kHistogramBins);
    int64_t most = 1;
    for (int64_t c : counts) most = std::max(most, c);
    const double step = (kRight - kLeft) / double(counts.size());
    out += "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"360\" height=\"146\" "
           "viewBox=\"0 0 360 146\" role=\"img\"><title>Histogram</title>\n";
    for (size_t i = 0; i < counts.size(); ++i) {
        const double h = (kBottom - kTop) * double(counts[i]) / double(most);
        out += "<rect class=\"bar\" x=\"" + Px(kLeft + double(i) * step + 1) + "\" y=\"" + Px(kBottom - h) +
               "\" width=\"" + Px(std::max(step - 2, 1.0)) + "\" height=\"" + Px(h) + "\"><title>" +
               Count(counts[i]) + " cases</title></rect>\n";
    }
    out += "<line class=\"axis\" x1=\"" + Px(kLeft) + "\" y1=\"" + Px(kBottom) + "\" x2=\"" + Px(kRight) +
           "\" y2=\"" + Px(kBottom) + "\"/>\n";
    out += "<text x=\"" + Px(kLeft - 4) + "\" y=\"" + Px(kTop + 8) + "\" text-anchor=\"end\">" + Count(most) +
           "</text>\n<text x=\"" + Px(kLeft - 4) + "\" y=\"" + Px(kBottom) + "\" text-anchor=\"end\">0</text>\n";
    out += "<text x=\"" + Px(kLeft) + "\" y=\"138\">" + Html(NumberText(s.histogram.Low(), style)) +
           "</text>\n<text x=\"" + Px(kRight) + "\" y=\"138\" text-anchor=\"end\">" +
           Html(NumberText(s.histogram.High(), style)) + "</text>\n</svg>\n";
}

std::string CategoryText(const FrequentValue& v, int width, NumberStyle style) {
    const std::string value = width == 0 ? NumberText(v.number, style) : "\"" + v.text + "\"";
    return v.label ? *v.label + " (" + value + ")" : value;
}

void AppendBarChart(std::string& out, const std::vector<FrequentValue>& values, int width, NumberStyle style) {
    constexpr double kBarLeft = 170, kBarMax = 150, kRow = 22;
    int64_t most = 1;
    for (const FrequentValue& v : values) most = std::max(most, v.count);
    const std::string height = Px(double(values.size()) * kRow + 6);
    out += "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"360\" height=\"" + height +
           "\" viewBox=\"0 0 360 " + height + "\" role=\"img\"><title>Most frequent values</title>\n";
    for (size_t i = 0; i < values.size(); ++i) {
        const FrequentValue& v = values[i];
        const double y = double(i) * kRow + 4, w = std::max(kBarMax * double(v.count) / double(most), 1.0);
        const std::string category = CategoryText(v, width, style);
        out += "<text x=\"" + Px(kBarLeft - 6) + "\" y=\"" + Px(y + 13) + "\" text-anchor=\"end\"><title>" +
               Html(category) + "</title>" + Html(ShortText(category, kMaxChartText)) + "</text>\n";
        out += "<rect class=\"" + std::string(v.missing ? "missing" : "bar") + "\" x=\"" + Px(kBarLeft) + "\" y=\"" +
               Px(y) + "\" width=\"" + Px(w) + "\" height=\"16\"/>\n";
        out += "<text x=\"" + Px(kBarLeft + w + 4) + "\" y=\"" + Px(y + 13) + "\">" + Count(v.count) + "</text>\n";
    }
    out += "</svg>\n";
}

// A histogram for numbers on a scale (or without value labels), else a bar
// chart of the most frequent values.
void AppendChart(std::string& out, const VESK_Variable& var, const VariableSummary& s) {
    const NumberStyle style = ShownStyle(var);
    const bool scale = var.GetMeasurementLevel() == VESK_Variable::eMeasureScale;
    if (s.width == 0 && s.finite > 0 && (scale || !s.tallied)) return AppendHistogram(out, s, style);
    std::vector<FrequentValue> values;
    if (s.tallied) values = MostFrequent(var, s, kFrequentValues);
    if (!values.empty()) return AppendBarChart(out, values, s.width, style);
    out += "<p class=\"note\">No values to chart.</p>\n";
}

// ---------------------------------------------------------------- variables

std::string AlignmentText(int alignment) {
    static const char* const kNames[] = {"left", "right", "centre"};
    return alignment >= 0 && alignment <= 2 ? kNames[alignment] : std::to_string(alignment);
}

void AppendMetadata(std::string& out, const VESK_Variable& var) {
    const int type = var.GetType();
    const std::string missing = MissingText(var);
    out += "<table class=\"meta\">\n";
    AppendRow(out, "Type", type == 0 ? "numeric" : "string, " + std::to_string(type) + " bytes");
    AppendRow(out, "Print format", FormatText(var.GetFormat()));
    AppendRow(out, "Write format", FormatText(var.GetWriteFormat()));
    AppendRow(out, "Measure", MeasureText(var.GetMeasurementLevel()));
    AppendRow(out, "Alignment", AlignmentText(var.GetAlignment()));
    AppendRow(out, "Display width", std::to_string(var.GetDisplayWidth()));
    AppendRow(out, "Role", std::to_string(var.GetRole()));
    AppendRow(out, "Missing values", missing.empty() ? "none" : missing);
    const DatasourceAttributes& attributes = var.GetAttributes();
    for (uint64_t k = 0; k < attributes.Size(); ++k) {
        std::string values;
        for (const std::string& v : attributes.Values(k)) values += (values.empty() ? "" : ", ") + v;
        AppendRow(out, attributes.Name(k), values);
    }
    out += "</table>\n";
}

void AppendFigures(std::string& out, const VESK_Variable& var, const VariableSummary& s) {
    out += "<table class=\"figures\">\n";
    AppendRow(out, "Valid", Count(s.valid), true);
    AppendRow(out, "User-missing", Count(s.userMissing), true);
    if (s.width == 0) AppendRow(out, "System-missing", Count(s.systemMissing), true);
    if (s.finite > 0) {
        const NumberStyle style = ShownStyle(var);
        const double sd = s.StandardDeviation();
        AppendRow(out, "Mean", MeanText(double(s.mean), style), true);
        AppendRow(out, "Std. deviation", std::isnan(sd) ? "" : Approx(sd), true);
        AppendRow(out, "Minimum", NumberText(s.histogram.Low(), style), true);
        AppendRow(out, "Maximum", NumberText(s.histogram.High(), style), true);
    }
    if (s.tallied)
        AppendRow(out, "Distinct values", Count(int64_t(s.tally.Distinct())) + (s.tally.Capped() ? "+" : ""), true);
    out += "</table>\n";
    if (s.tallied && s.tally.Capped())
        out += "<p class=\"note\">More distinct values than are tracked: " + Count(s.tally.Untracked()) +
               " cases hold values left out of the chart.</p>\n";
}

// The value of a value-label pair of a map of that width (0 numeric).
std::string LabelledValueText(const ValueLabel& pair, int width, NumberStyle style) {
    if (pair.value.empty()) return "";
    if (width == 0) return NumberText(pair.value[0].d, style);
    return StringCellText(pair.value[0].c, std::min(width, int(pair.value.size() * sizeof(OBS))));
}

void AppendValueLabels(std::string& out, const VESK_Variable& var) {
    const VESK_VLImplPointer& labels = var.GetValueLabels();
    if (!labels.IsValid() || labels->Size() == 0) return;
    const NumberStyle style = ShownStyle(var);
    const int width = labels->GetType();
    out += "<h3>Value labels</h3>\n<table class=\"labels\">\n";
    size_t shown = 0;
    for (const ValueLabel& pair : labels->Pairs()) {
        if (++shown > kMaxValueLabelsShown) break;
        AppendRow(out, LabelledValueText(pair, width, style), pair.label);
    }
    out += "</table>\n";
    if (size_t(labels->Size()) > kMaxValueLabelsShown)
        out += "<p class=\"note\">and " + Count(labels->Size() - int64_t(kMaxValueLabelsShown)) + " more.</p>\n";
}

void AppendVariable(std::string& out, const VESK_Variable& var, const VariableSummary& s) {
    out += "<section class=\"variable\" id=\"v" + std::to_string(s.column + 1) + "\">\n<h2><span class=\"name\">";
    AppendHtml(out, var.GetName());
    out += "</span>";
    if (const char* label = var.GetLabel()) out += "<span class=\"label\">" + Html(label) + "</span>";
    out += "</h2>\n<div class=\"grid\">\n<div>\n";
    AppendMetadata(out, var);
    out += "</div>\n<div>\n";
    AppendFigures(out, var, s);
    out += "</div>\n<div>\n";
    AppendChart(out, var, s);
    out += "</div>\n</div>\n";
    AppendValueLabels(out, var);
    out += "</section>\n";
}

// ---------------------------------------------------------------- dataset

void AppendDataset(std::string& out, const OpenedFile& file) {
    out += "<section id=\"dataset\">\n<h2>Dataset</h2>\n<table class=\"facts\">\n";
    for (const std::vector<std::string>& row : DatasetFacts(file)) AppendRow(out, row[0], row[1]);
    out += "</table>\n";
    for (const DSDocument& doc : Documents(file.Source())) {
        char date[32];
        std::snprintf(date, sizeof date, "%04d-%02d-%02d", doc.Year(), doc.Month(), doc.Day());
        out += "<h3>Document of " + std::string(date) + "</h3>\n<pre>";
        for (int i = 0; i < doc.Size(); ++i) out += Html(TrimRight(doc[i])) + "\n";
        out += "</pre>\n";
    }
    out += "</section>\n";
}

void AppendIndex(std::string& out, const VESK_DataSource& source, const Description& description) {
    out += "<section id=\"index\">\n<h2>Variables</h2>\n<table class=\"index\">\n<tr><th class=\"num\">#</th>"
           "<th>Name</th><th>Label</th><th>Type</th><th>Measure</th><th class=\"num\">Valid</th></tr>\n";
    for (const VariableSummary& s : description.variables) {
        const VESK_Variable& var = source.GetVariable(s.column);
        const char* label = var.GetLabel();
        const std::string anchor = std::to_string(s.column + 1);
        out += "<tr><td class=\"num\">" + anchor + "</td><td><a href=\"#v" + anchor + "\">" + Html(var.GetName()) +
               "</a></td><td>" + Html(label ? label : "") + "</td><td>" +
               (s.width == 0 ? std::string("numeric") : "string " + std::to_string(s.width)) + "</td><td>" +
               MeasureText(var.GetMeasurementLevel()) + "</td><td class=\"num\">" + Count(s.valid) + "</td></tr>\n";
    }
    out += "</table>\n</section>\n";
}

std::string Page(const OpenedFile& file, const Description& description) {
    const VESK_DataSource& source = file.Source();
    const char* label = source.GetLabel();
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>Codebook: " +
                      Html(file.Path()) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n<main>\n";
    out += "<header>\n<h1>Codebook</h1>\n<p class=\"sub\">" + Html(file.Path());
    if (label) out += " &mdash; " + Html(TrimRight(label));
    out += "</p>\n<p class=\"sub\">" + Count(description.cases) + " cases, " + std::to_string(source.ColumnCount()) +
           " variables</p>\n</header>\n";
    AppendDataset(out, file);
    AppendIndex(out, source, description);
    for (const VariableSummary& s : description.variables) AppendVariable(out, source.GetVariable(s.column), s);
    out += "</main>\n<footer id=\"end\">Written by vesk " VESK_VERSION_STRING "</footer>\n</body>\n</html>\n";
    return out;
}

[[noreturn]] void CannotWrite(const std::string& target, int error) {
    throw std::runtime_error(target + ": cannot write the file: " + std::strerror(error));
}

void WriteWhole(const std::string& path, const std::string& target, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) CannotWrite(target, errno);
    if (std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fflush(f) != 0) {
        const int error = errno;
        std::fclose(f);
        CannotWrite(target, error);
    }
    if (std::fclose(f) != 0) CannotWrite(target, errno);
}

}  // namespace

int RunCodebook(const CodebookOptions& options) {
    OpenedFile file(options);
    const Description description = Describe(file, file.Columns({}), "codebook");
    const std::string page = Page(file, description);
    TempOutput temp(options.out);
    temp.Fill([&] { WriteWhole(temp.Path(), options.out, page); });
    temp.Commit();
    return 0;
}

}  // namespace vesk
