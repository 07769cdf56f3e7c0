#include "dictedit.h"

#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "Attributes.h"
#include "DSDocument.h"
#include "datasrc.h"
#include "valuelabelmap.h"
#include "variable.h"

namespace vesk {

namespace {

using nlohmann::json;

constexpr size_t kLabelBytes = 64;           // a file label
constexpr size_t kDocumentLineBytes = 80;
constexpr char kDateLinePrefix[] = "   (Entered ";  // a document's last line
constexpr size_t kValueLabelBytes = 255;
constexpr size_t kMissingTextBytes = 8;      // a string missing value is one cell
constexpr int kMaxMeasure = 5;
constexpr int kMaxAlignment = 2;
constexpr int kMaxRole = 7;

// Members of `info --json` that describe the file, not the dictionary.
const std::set<std::string> kFileMembers = {"compression", "encrypted",     "reversed", "case_count",
                                            "cells_per_case", "encoding",   "product",  "variable_sets",
                                            "mr_sets",        "raw_extensions"};

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// Where in the file an error is: "DICT.json: variables[2] 'age': missing".
class Where {
public:
    Where(const std::string& file, std::string entry) : fFile(file), fEntry(std::move(entry)) {}
    Where Member(const std::string& name) const { return Where(fFile, fEntry.empty() ? name : fEntry + ": " + name); }
    // An element of a list: "[2]", or "[2] 'age'" for a named one.
    Where Element(size_t index, const std::string& name = "") const {
        return Where(fFile, fEntry + "[" + std::to_string(index) + "]" + (name.empty() ? "" : " " + Quoted(name)));
    }
    [[noreturn]] void Fail(const std::string& what) const {
        throw DictError(fFile + ": " + (fEntry.empty() ? "" : fEntry + ": ") + what);
    }

private:
    const std::string& fFile;
    std::string fEntry;
};

const std::string& Text(const json& value, const Where& where) {
    if (!value.is_string()) where.Fail("expected a string");
    return value.get_ref<const std::string&>();
}

int64_t Integer(const json& value, const Where& where) {
    if (!value.is_number_integer()) where.Fail("expected a whole number");
    return value.get<int64_t>();
}

// A whole number from low to high, or the current value.
int Level(const json& value, const Where& where, int current, int low, int high) {
    const int64_t n = Integer(value, where);
    if (n != current && (n < low || n > high))
        where.Fail(std::to_string(n) + " is not from " + std::to_string(low) + " to " + std::to_string(high));
    return int(n);
}

const json& Array(const json& value, const Where& where, const char* shape) {
    if (!value.is_array()) where.Fail(std::string("expected ") + shape);
    return value;
}

// ---------------------------------------------------------------- values

// One cell of a numeric variable, or of a string (at most 8 bytes, blank-padded).
OBS MissingCell(const json& value, int type, const Where& where) {
    OBS cell;
    if (type == 0) {
        if (!value.is_number()) where.Fail("expected a number for a numeric variable");
        cell.d = value.get<double>();
        return cell;
    }
    const std::string& text = Text(value, where);
    if (text.size() > kMissingTextBytes || text.size() > size_t(type))
        where.Fail(Quoted(text) + " is longer than " + std::to_string(std::min<size_t>(kMissingTextBytes, size_t(type))) +
                   " bytes, the most a missing value of this variable holds");
    std::memset(cell.c, ' ', sizeof cell.c);
    std::memcpy(cell.c, text.data(), text.size());
    return cell;
}

void EditMissing(VESK_Variable& var, const json& value, const Where& where) {
    if (!value.is_object() || !value.contains("rule") || !value.contains("values"))
        where.Fail(R"(expected {"rule": R, "values": [...]})");
    const int rule = int(Integer(value["rule"], where.Member("rule")));
    const int type = var.GetType();
    if (rule < -3 || rule > 3 || rule == -1 || (type > 0 && rule < 0))
        where.Member("rule").Fail(std::to_string(rule) + " is not a rule of a " + (type ? "string" : "numeric") +
                                  " variable");
    const json& values = Array(value["values"], where.Member("values"), "a list of values");
    const size_t count = size_t(rule < 0 ? -rule : rule);
    if (values.size() != count)
        where.Member("values").Fail("rule " + std::to_string(rule) + " takes " + std::to_string(count) + " values");
    OBS cells[3] = {};
    for (size_t k = 0; k < count; ++k) cells[k] = MissingCell(values[k], type, where.Member("values"));
    var.SetMissingValues(rule, &cells[0], &cells[1], &cells[2]);
}

void AddValueLabel(VESK_ValueLabelMap& map, int type, const json& pair, const Where& where) {
    if (!pair.is_array() || pair.size() != 2) where.Fail("expected [value, \"label\"]");
    const std::string& label = Text(pair[1], where);
    if (label.size() > kValueLabelBytes) where.Fail("a label is longer than 255 bytes");
    if (type == 0) {
        if (!pair[0].is_number()) where.Fail("expected a number for a numeric variable");
        map.AddPair(pair[0].get<double>(), label);
        return;
    }
    const std::string& value = Text(pair[0], where);
    if (value.size() > size_t(type)) where.Fail(Quoted(value) + " is longer than the variable's " + std::to_string(type) + " bytes");
    std::vector<OBS> cells(size_t(CellsForType(type)));
    std::memset(cells.data(), ' ', cells.size() * sizeof(OBS));
    std::memcpy(cells[0].c, value.data(), value.size());
    map.AddPair(cells.data(), label);
}

void EditValueLabels(VESK_Variable& var, const json& value, const Where& where) {
    const json& pairs = Array(value, where, "a list of [value, \"label\"] pairs");
    if (pairs.empty()) {
        var.SetValueLabels(VESK_VLImplPointer());
        return;
    }
    VESK_ValueLabelMap map(var.GetType());
    for (size_t i = 0; i < pairs.size(); ++i)
        AddValueLabel(map, var.GetType(), pairs[i], where.Element(i));
    var.SetValueLabels(map);
}

// ---------------------------------------------------------------- properties

VESK_Format FormatOf(const VESK_Variable& var, const json& value, const Where& where, VESK_Format current) {
    if (!value.is_array() || value.size() != 3) where.Fail("expected [code, width, decimals]");
    const int code = Level(value[0], where, -1, 0, 255);
    const int width = Level(value[1], where, -1, 0, 65535);
    const int decimals = Level(value[2], where, -1, 0, 255);
    const VESK_Format format(code, width, decimals);
    if (format == current) return format;
    VESK_Variable::FormatType c = VESK_Variable::FormatType(code);
    int w = width, d = decimals;
    if (VESK_Variable::ValidateFormat(var.GetType(), c, w, d, false) != 0)
        where.Fail(value.dump() + " is not a valid format for " +
                   (var.GetType() ? "a string of " + std::to_string(var.GetType()) + " bytes" : std::string("a number")));
    return format;
}

DatasourceAttributes AttributesOf(const json& value, const Where& where, const DatasourceAttributes& current,
                                  bool ofVariable) {
    if (!value.is_object()) where.Fail(R"(expected {"name": ["value", ...], ...})");
    DatasourceAttributes attributes;
    for (const auto& [name, values] : value.items()) {
        const Where at = where.Member(Quoted(name));
        const DatasourceAttributes::NameType verdict = ofVariable ? DatasourceAttributes::ValidateVarAttrName(name)
                                                                  : DatasourceAttributes::ValidateFileAttrName(name);
        if (verdict == DatasourceAttributes::InvalidName && current.Index(name) < 0) at.Fail("not a valid attribute name");
        std::vector<std::string> texts;
        for (const json& v : Array(values, at, "a list of strings")) texts.push_back(Text(v, at));
        attributes.Define(name, texts);
    }
    return attributes;
}

using Editor = std::function<void(VESK_Variable&, const json&, const Where&)>;

const std::map<std::string, Editor>& VariableEditors() {
    static const std::map<std::string, Editor> editors = {
        {"name", [](VESK_Variable&, const json&, const Where&) {}},
        {"type", [](VESK_Variable& v, const json& j, const Where& w) {
             if (Integer(j, w) != v.GetType())
                 w.Fail("the type is " + std::to_string(v.GetType()) + " and cannot be changed");
         }},
        {"label", [](VESK_Variable& v, const json& j, const Where& w) { v.SetLabel(j.is_null() ? nullptr : Text(j, w).c_str()); }},
        {"print", [](VESK_Variable& v, const json& j, const Where& w) { v.SetFormat(FormatOf(v, j, w, v.GetFormat())); }},
        {"write", [](VESK_Variable& v, const json& j, const Where& w) { v.SetWriteFormat(FormatOf(v, j, w, v.GetWriteFormat())); }},
        {"missing", EditMissing},
        {"value_labels", EditValueLabels},
        {"measure", [](VESK_Variable& v, const json& j, const Where& w) {
             v.SetMeasurementLevel(VESK_Variable::MeasurementLevel(Level(j, w, v.GetMeasurementLevel(), 0, kMaxMeasure)));
         }},
        {"alignment", [](VESK_Variable& v, const json& j, const Where& w) {
             v.SetAlignment(VESK_Variable::Alignment(Level(j, w, v.GetAlignment(), 0, kMaxAlignment)));
         }},
        {"display_width", [](VESK_Variable& v, const json& j, const Where& w) {
             v.SetDisplayWidth(short(Level(j, w, v.GetDisplayWidth(), 0, 32767)));
         }},
        {"role", [](VESK_Variable& v, const json& j, const Where& w) {
             v.SetRole(VESK_Variable::Role(Level(j, w, v.GetRole(), 0, kMaxRole)));
         }},
        {"attributes", [](VESK_Variable& v, const json& j, const Where& w) {
             v.SetAttributes(AttributesOf(j, w, v.GetAttributes(), true));
         }},
    };
    return editors;
}

// ---------------------------------------------------------------- the whole edit

// The checked changes, applied only once all of them are known to be valid.
struct Plan {
    std::map<int, VESK_Variable> variables;  // column -> edited copy
    std::optional<std::optional<std::string>> label;
    std::optional<std::vector<DSDocument>> documents;
    std::optional<DatasourceAttributes> attributes;
    std::optional<int> weight;  // column, -1 for none
};

void EditVariable(Plan& plan, const VESK_DataSource& source, const json& entry, const Where& where) {
    if (!entry.is_object() || !entry.contains("name")) where.Fail(R"(expected {"name": "...", ...})");
    const std::string& name = Text(entry["name"], where.Member("name"));
    const int column = source.FindVarIndex(name.c_str());
    if (column < 0) where.Fail("no variable is named " + Quoted(name));
    auto it = plan.variables.try_emplace(column, source.GetVariable(column)).first;
    for (const auto& [key, value] : entry.items()) {
        const auto editor = VariableEditors().find(key);
        if (editor == VariableEditors().end()) where.Member(key).Fail("not a member of a variable");
        editor->second(it->second, value, where.Member(key));
    }
}

void EditVariables(Plan& plan, const VESK_DataSource& source, const json& value, const Where& where) {
    if (value.is_array()) {
        for (size_t i = 0; i < value.size(); ++i) {
            const json& entry = value[i];
            const std::string name = entry.is_object() && entry.contains("name") && entry["name"].is_string()
                                         ? entry["name"].get<std::string>()
                                         : std::string();
            EditVariable(plan, source, entry, where.Element(i, name));
        }
        return;
    }
    if (!value.is_object()) where.Fail("expected a list of variables or an object keyed by name");
    for (const auto& [name, entry] : value.items()) {
        json named = entry;
        if (named.is_object() && !named.contains("name")) named["name"] = name;
        EditVariable(plan, source, named, where.Member(Quoted(name)));
    }
}

// Today's date into the document.
void DateToday(DSDocument& doc) {
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    doc.Year(local.tm_year + 1900);
    doc.Month(local.tm_mon + 1);
    doc.Day(local.tm_mday);
}

DSDocument DocumentOf(const json& entry, const Where& at) {
    if (!entry.is_object() || !entry.contains("lines")) at.Fail(R"(expected {"lines": [...], ...})");
    DSDocument doc;
    const bool dated = entry.contains("year") || entry.contains("month") || entry.contains("day");
    if (!dated) DateToday(doc);
    if (entry.contains("year")) doc.Year(Level(entry["year"], at.Member("year"), -1, 1000, 9999));
    if (entry.contains("month")) doc.Month(Level(entry["month"], at.Member("month"), -1, 1, 12));
    if (entry.contains("day")) doc.Day(Level(entry["day"], at.Member("day"), -1, 1, 31));
    for (const json& line : Array(entry["lines"], at.Member("lines"), "a list of strings")) {
        const std::string& text = Text(line, at.Member("lines"));
        if (text.size() > kDocumentLineBytes) at.Member("lines").Fail("a line is longer than 80 bytes");
        doc.AddLine(text);
    }
    // The date is kept as the document's last line, as info --json shows it.
    if (doc.Size() > 0 && doc[doc.Size() - 1].rfind(kDateLinePrefix, 0) != 0) AddDateLine(doc);
    return doc;
}

std::vector<DSDocument> DocumentsOf(const json& value, const Where& where) {
    std::vector<DSDocument> documents;
    const json& list = Array(value, where, "a list of documents");
    for (size_t i = 0; i < list.size(); ++i) documents.push_back(DocumentOf(list[i], where.Element(i)));
    return documents;
}

std::optional<std::string> LabelOf(const json& value, const Where& where, const char* current) {
    if (value.is_null()) return std::nullopt;
    const std::string& label = Text(value, where);
    if (label.size() > kLabelBytes && !(current && label == current))
        where.Fail("longer than the 64 bytes a file label holds");
    return label;
}

int WeightOf(const json& value, const Where& where, const VESK_DataSource& source) {
    if (value.is_null()) return -1;
    const std::string& name = Text(value, where);
    const int column = source.FindVarIndex(name.c_str());
    if (column < 0) where.Fail("no variable is named " + Quoted(name));
    if (source.GetVariable(column).GetType() != 0) where.Fail(Quoted(name) + " is a string; a weight must be numeric");
    return column;
}

Plan MakePlan(const json& edit, const std::string& path, const VESK_DataSource& source) {
    Plan plan;
    const Where top(path, "");
    for (const auto& [key, value] : edit.items()) {
        const Where at = top.Member(key);
        if (key == "variables")
            EditVariables(plan, source, value, at);
        else if (key == "label")
            plan.label = LabelOf(value, at, source.GetLabel());
        else if (key == "documents")
            plan.documents = DocumentsOf(value, at);
        else if (key == "attributes")
            plan.attributes = AttributesOf(value, at, source.GetAttributes(), false);
        else if (key == "weight")
            plan.weight = WeightOf(value, at, source);
        else if (kFileMembers.count(key) == 0)
            at.Fail("not a member of a dictionary");
    }
    return plan;
}

}  // namespace

DictEdit::DictEdit(nlohmann::json json, std::string path) : fJson(std::move(json)), fPath(std::move(path)) {}

void DictEdit::Apply(VESK_DataSource& source) const {
    const Plan plan = MakePlan(fJson, fPath, source);
    for (const auto& [column, var] : plan.variables) source.SetVariable(column, var);
    if (plan.label) source.SetLabel(*plan.label ? (*plan.label)->c_str() : nullptr);
    if (plan.documents) SaveDocuments(*plan.documents, source);
    if (plan.attributes) source.SetAttributes(*plan.attributes);
    if (plan.weight) source.SetWeightVar(*plan.weight);
}

DictEdit LoadDictEdit(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DictError(path + ": cannot open the file: " + std::strerror(errno));
    std::stringstream text;
    text << in.rdbuf();
    json parsed;
    try {
        parsed = json::parse(text.str());
    } catch (const json::parse_error& e) {
        throw DictError(path + ": not JSON: " + e.what());
    }
    if (!parsed.is_object()) throw DictError(path + ": expected a JSON object, as vesk info --json writes");
    return DictEdit(std::move(parsed), path);
}

}  // namespace vesk
