// vesk:: dictionary types: formats, values, variables, and their conversion
// to and from the engine's VESK_Variable, with the checks a Writer makes.
#include <cmath>
#include <set>

#include "api_internal.h"
#include "datasrc.h"
#include "names.h"
#include "textmb.h"

namespace vesk {

namespace {

// The dictionary model files codes into date and time groups for its icons;
// the icon number says which group a code is in.
int ImageIndex(int code) {
    if (code < 0 || code > VESK_Variable::eMaxFormatType) return 0;
    return VESK_Variable::GetImageIndex(VESK_Variable::FormatType(code), VESK_Variable::eMeasureUnknown);
}

constexpr int kDateIcon = 5;
constexpr int kTimeIcon = 8;
// Filed with the times for its icon, but a date with its time of day.
constexpr int kDateTimeCode = 22;
constexpr size_t kMaxStringMissing = 8;
constexpr size_t kMaxValueLabel = 255;

std::string Text(const Format& f) {
    return "format (" + std::to_string(f.code) + ", " + std::to_string(f.width) + ", " + std::to_string(f.decimals) +
           ")";
}

}  // namespace

bool Format::is_date() const { return ImageIndex(code) == kDateIcon || code == kDateTimeCode; }
bool Format::is_time() const { return ImageIndex(code) == kTimeIcon && code != kDateTimeCode; }

std::strong_ordering operator<=>(const Value& a, const Value& b) {
    if (a.fIsText != b.fIsText) return a.fIsText ? std::strong_ordering::greater : std::strong_ordering::less;
    if (a.fIsText) return a.fText <=> b.fText;
    return std::strong_order(a.fNumber, b.fNumber);
}

Variable Variable::numeric(std::string name, Format format) {
    Variable v;
    v.name = std::move(name);
    v.print = v.write = format;
    return v;
}

Variable Variable::string(std::string name, int width) {
    Variable v;
    v.name = std::move(name);
    v.width = width;
    v.print = v.write = Format::text(width);
    return v;
}

const std::string* Variable::label_of(const Value& value) const {
    const auto it = value_labels.find(value);
    return it == value_labels.end() ? nullptr : &it->second;
}

bool is_valid_name(std::string_view name) {
    if (name.empty() || name.back() == ' ' || name.find('\0') != std::string_view::npos) return false;
    const auto lock = detail::LockEngine();
    const detail::EncodingScope utf8("UTF-8");
    return ValidateVESKName(std::string(name).c_str()) == VESKNameLegal;
}

namespace detail {

// ---------------------------------------------------------------- from the engine

namespace {

Format FormatOf(int32_t packed) {
    const VESK_Format f = VESK_VariableImpl::UnpackFormat(packed);
    return {f.code, f.width, f.decimals};
}

Value CellValue(const OBS* cells, int width, size_t cellCount) {
    if (width == 0) return Value(cells[0].d);
    const size_t n = std::min(size_t(width), cellCount * sizeof(OBS));
    return Value(TrimBlanks(cells[0].c, n));
}

MissingValues MissingOf(const VESK_Variable& var) {
    const OBS* v[3];
    const int rule = var.GetMissingValues(v[0], v[1], v[2]);
    MissingValues m;
    if (rule == VESK_Variable::eMissRange || rule == VESK_Variable::eMissRangeAndDiscrete)
        m.range = MissingValues::Range{v[0]->d, v[1]->d};
    if (rule == VESK_Variable::eMissRangeAndDiscrete) m.values.push_back(Value(v[2]->d));
    for (int k = 0; k < rule; ++k) m.values.push_back(CellValue(v[k], std::min(var.GetType(), 8), 1));
    return m;
}

std::map<Value, std::string> LabelsOf(const VESK_Variable& var) {
    std::map<Value, std::string> labels;
    const VESK_VLMapImpl* body = var.GetValueLabels().get();
    if (!body) return labels;
    for (const ValueLabel& pair : body->Pairs())
        labels.emplace(CellValue(pair.value.data(), var.GetType(), pair.value.size()), pair.label);
    return labels;
}

}  // namespace

Attributes Describe(const DatasourceAttributes& attributes) {
    Attributes out;
    for (uint64_t k = 0; k < attributes.Size(); ++k) out.emplace_back(attributes.Name(k), attributes.Values(k));
    return out;
}

Variable Describe(const VESK_Variable& var) {
    Variable v;
    v.name = var.GetName();
    v.width = var.GetType();
    if (const char* label = var.GetLabel()) v.label = label;
    v.print = FormatOf(var.Impl()->GetFormat());
    v.write = FormatOf(var.Impl()->GetWriteFormat());
    v.measure = Measure(var.GetMeasurementLevel());
    v.alignment = Alignment(var.GetAlignment());
    v.display_width = var.GetDisplayWidth();
    v.role = var.GetRole();
    v.value_labels = LabelsOf(var);
    v.missing = MissingOf(var);
    v.attributes = Describe(var.GetAttributes());
    return v;
}

// ---------------------------------------------------------------- checks

namespace {

void CheckFormat(const Variable& v, const std::optional<Format>& format) {
    if (!format) return;
    auto code = VESK_Variable::FormatType(format->code);
    int width = format->width, decimals = format->decimals;
    if (format->code < 0 || format->code > VESK_Variable::eMaxFormatType || format->width < 0 ||
        VESK_Variable::ValidateFormat(v.width, code, width, decimals, false) != 0)
        Fail(DatasrcMsg::BadDefinition, {v.name, Text(*format) + " does not suit the variable"});
}

void CheckMissing(const Variable& v) {
    const MissingValues& m = v.missing;
    const size_t room = m.range ? 1 : 3;
    if (m.values.size() > room) Fail(DatasrcMsg::BadDefinition, {v.name, "too many missing values"});
    if (m.range && (v.is_string() || !(m.range->low <= m.range->high)))
        Fail(DatasrcMsg::BadDefinition, {v.name, "the missing-value range is not valid"});
    for (const Value& value : m.values) {
        if (value.is_text() != v.is_string())
            Fail(DatasrcMsg::BadDefinition, {v.name, "a missing value of the wrong type"});
        if (value.text().size() > std::min(size_t(v.width), kMaxStringMissing))
            Fail(DatasrcMsg::BadDefinition, {v.name, "a missing value longer than 8 bytes or the width"});
    }
}

void CheckValueLabels(const Variable& v) {
    for (const auto& [value, label] : v.value_labels) {
        if (value.is_text() != v.is_string())
            Fail(DatasrcMsg::ValueLabelType, {v.name, v.is_string() ? "a number among the values of a string variable"
                                                                : "a text among the values of a numeric variable"});
        if (value.text().size() > size_t(v.width))
            Fail(DatasrcMsg::ValueLabelType, {v.name, "the value '" + value.text() + "' is wider than the variable"});
        if (label.size() > kMaxValueLabel)
            Fail(DatasrcMsg::ValueLabelType, {v.name, "a label longer than 255 bytes"});
    }
}

void CheckAttributes(const Variable& v) {
    for (const auto& [name, values] : v.attributes)
        if (DatasourceAttributes::ValidateVarAttrName(name) == DatasourceAttributes::InvalidName)
            Fail(DatasrcMsg::BadDefinition, {v.name, "'" + name + "' is not a valid attribute name"});
}

void CheckProperties(const Variable& v) {
    if (v.width < 0 || v.width > MAX_STRING_TYPE)
        Fail(DatasrcMsg::BadDefinition, {v.name, "the width is outside 0..32767"});
    if (v.measure && (int(*v.measure) < 0 || int(*v.measure) > 3))
        Fail(DatasrcMsg::BadDefinition, {v.name, "unknown measurement level"});
    if (v.alignment && (int(*v.alignment) < 0 || int(*v.alignment) > 2))
        Fail(DatasrcMsg::BadDefinition, {v.name, "unknown alignment"});
    if (v.display_width && (*v.display_width < 0 || *v.display_width > 32767))
        Fail(DatasrcMsg::BadDefinition, {v.name, "the display width is outside 0..32767"});
}

}  // namespace

void CheckVariables(const std::vector<Variable>& variables) {
    std::set<std::string> names;
    for (const Variable& v : variables) {
        if (!is_valid_name(v.name)) Fail(DatasrcMsg::InvalidName, {v.name});
        if (!names.insert(VESKMBUpper(v.name)).second) Fail(DatasrcMsg::DuplicateName, {v.name});
        CheckProperties(v);
        CheckFormat(v, v.print);
        CheckFormat(v, v.write);
        CheckMissing(v);
        CheckValueLabels(v);
        CheckAttributes(v);
    }
}

// ---------------------------------------------------------------- to the engine

DatasourceAttributes ToLibrary(const Attributes& attributes) {
    DatasourceAttributes out;
    for (const auto& [name, values] : attributes) out.Define(name, values);
    return out;
}

namespace {

void SetMissing(VESK_Variable& var, const MissingValues& m) {
    if (m.empty()) return;
    if (var.GetType() > 0) {
        std::string t[3];
        for (size_t k = 0; k < m.values.size(); ++k) t[k] = m.values[k].text();
        const auto at = [&](size_t k) { return k < m.values.size() ? t[k].c_str() : nullptr; };
        var.SetMissingValues(at(0), at(1), at(2));
        return;
    }
    double d[3];
    for (size_t k = 0; k < m.values.size(); ++k) d[k] = m.values[k].number();
    const auto at = [&](size_t k) { return k < m.values.size() ? &d[k] : nullptr; };
    if (m.range)
        var.SetMissingRange(&m.range->low, &m.range->high, at(0));
    else
        var.SetMissingValues(at(0), at(1), at(2));
}

void SetValueLabels(VESK_Variable& var, const std::map<Value, std::string>& labels) {
    if (labels.empty()) return;
    VESK_ValueLabelMap map(var.GetType());
    for (const auto& [value, label] : labels) {
        if (value.is_text())
            map.AddPair(value.text(), label);
        else
            map.AddPair(value.number(), label);
    }
    var.SetValueLabels(map);
}

}  // namespace

void AddToDictionary(VESK_DataSource& source, const Variable& v) {
    VESK_Variable& var = source.MakeVariable(v.width);
    var.SetName(v.name.c_str(), unsigned(v.name.size()));
    if (v.label) var.SetLabel(v.label->c_str(), unsigned(v.label->size()));
    if (v.print) var.SetFormat(VESK_Variable::FormatType(v.print->code), v.print->width, v.print->decimals);
    if (v.write) var.SetWriteFormat(VESK_Variable::FormatType(v.write->code), v.write->width, v.write->decimals);
    if (v.measure) var.SetMeasurementLevel(VESK_Variable::MeasurementLevel(*v.measure));
    if (v.alignment) var.SetAlignment(VESK_Variable::Alignment(*v.alignment));
    if (v.display_width) var.SetDisplayWidth(short(*v.display_width));
    var.SetRole(VESK_Variable::Role(v.role));
    SetMissing(var, v.missing);
    SetValueLabels(var, v.value_labels);
    if (!v.attributes.empty()) var.SetAttributes(ToLibrary(v.attributes));
}

std::vector<CellSpan> Layout(const VESK_DataSource& source) {
    std::vector<CellSpan> spans(source.ColumnCount());
    for (size_t i = 0; i < spans.size(); ++i)
        spans[i] = {source.ObsIndex(int(i)), source.GetVariable(int(i)).GetType()};
    return spans;
}

}  // namespace detail
}  // namespace vesk
