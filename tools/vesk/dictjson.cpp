#include "dictjson.h"

#include <algorithm>

#include "DSDocument.h"
#include "SystemFileDataSource.h"
#include "datasrc.h"
#include "errortext.h"
#include "valuelabelmap.h"
#include "variable.h"
#include "variableset.h"

namespace vesk {

namespace {

// Subtypes are 32-bit in the file, but a source's block table only grows as
// far as the highest subtype stored; MaxExtensionType tells its size exactly
// up to 24, and beyond that the table is searched up to this bound.
constexpr int kRawSubtypeSearchLimit = 1 << 16;

constexpr int kDocumentBlock = 0;        // extension type of the document lines
constexpr long kDocumentLineBytes = 80;

void WriteAttributes(JsonWriter& json, const DatasourceAttributes& attributes) {
    json.BeginObject();
    for (uint64_t k = 0; k < attributes.Size(); ++k) {
        json.Key(attributes.Name(k)).BeginArray(true);
        for (const std::string& value : attributes.Values(k)) json.String(value);
        json.EndArray();
    }
    json.EndObject();
}

void WriteFormat(JsonWriter& json, const VESK_Format& format) {
    json.BeginArray(true).Int(format.code).Int(format.width).Int(format.decimals).EndArray();
}

// One missing value or value-label value: a number for numeric variables, the
// trimmed text of `width` bytes for strings.
void WriteValue(JsonWriter& json, const OBS* cells, int width) {
    if (width == 0)
        json.Number(cells->d);
    else
        json.String(StringCellText(cells->c, width));
}

void WriteMissing(JsonWriter& json, const VESK_Variable& var) {
    const OBS* v[3];
    const int rule = var.GetMissingValues(v[0], v[1], v[2]);
    // Stored operands are single cells, so string missing values have at most 8 bytes.
    const int width = std::min(var.GetType(), 8);
    json.BeginObject(true).Key("rule").Int(rule).Key("values").BeginArray(true);
    const int count = rule < 0 ? -rule : rule;
    for (int i = 0; i < count && i < 3; ++i) WriteValue(json, v[i], width);
    json.EndArray().EndObject();
}

void WriteValueLabels(JsonWriter& json, const VESK_Variable& var) {
    json.BeginArray();
    const VESK_VLImplPointer& labels = var.GetValueLabels();
    if (labels.IsValid()) {
        const int mapType = labels->GetType();
        for (const ValueLabel& pair : labels->Pairs()) {
            json.BeginArray(true);
            if (mapType == 0 || pair.value.empty()) {
                if (pair.value.empty())
                    json.Null();
                else
                    json.Number(pair.value[0].d);
            } else {
                const int width = std::min<int>(mapType, int(pair.value.size() * sizeof(OBS)));
                json.String(StringCellText(pair.value[0].c, width));
            }
            json.String(pair.label).EndArray();
        }
    }
    json.EndArray();
}

void WriteVariable(JsonWriter& json, const VESK_Variable& var) {
    json.BeginObject();
    json.Key("name").String(var.GetName());
    json.Key("type").Int(var.GetType());
    json.Key("label");
    if (const char* label = var.GetLabel())
        json.String(label);
    else
        json.Null();
    json.Key("print");
    WriteFormat(json, var.GetFormat());
    json.Key("write");
    WriteFormat(json, var.GetWriteFormat());
    json.Key("missing");
    WriteMissing(json, var);
    json.Key("value_labels");
    WriteValueLabels(json, var);
    json.Key("measure").Int(var.GetMeasurementLevel());
    json.Key("alignment").Int(var.GetAlignment());
    json.Key("display_width").Int(var.GetDisplayWidth());
    json.Key("role").Int(var.GetRole());
    json.Key("attributes");
    WriteAttributes(json, var.GetAttributes());
    json.EndObject();
}

// Names of the set's variables that are still in the dictionary, in set order.
void WriteSetVariables(JsonWriter& json, const VESK_DataSource& source, const VariableSetImpl& set) {
    json.BeginArray(true);
    for (const LocallyUniqueID& id : set.Variables()) {
        const int column = source.FindVarIndex(id);
        if (column >= 0) json.String(source.GetVariable(column).GetName());
    }
    json.EndArray();
}

void WriteDocuments(JsonWriter& json, const VESK_DataSource& source) {
    json.BeginArray();
    for (const DSDocument& doc : Documents(source)) {
        json.BeginObject();
        json.Key("year").Int(doc.Year()).Key("month").Int(doc.Month()).Key("day").Int(doc.Day());
        json.Key("lines").BeginArray();
        for (int i = 0; i < doc.Size(); ++i) json.String(TrimRight(doc[i]));
        json.EndArray().EndObject();
    }
    json.EndArray();
}

}  // namespace

std::vector<DSDocument> Documents(const VESK_DataSource& source) {
    if (source.HasExtension(kDocumentBlock)) {
        const VESK_DataSource::Extension block(source, kDocumentBlock);
        if (long(block.ElementSize()) * block.Length() % kDocumentLineBytes != 0)
            ThrowError::String1(DATASRC_ERR, DatasrcMsg::Malformed, source.GetFileSpec());
    }
    return GetDocuments(source);
}

std::string StringCellText(const char* cells, int width) {
    return std::string(TrimRight(std::string_view(cells, size_t(std::max(width, 0)))));
}

std::vector<int> RawExtensionSubtypes(const VESK_DataSource& source) {
    const int max = source.MaxExtensionType();
    const int last = max < 24 ? max : kRawSubtypeSearchLimit;
    std::vector<int> subtypes;
    for (int t = 1; t <= last; ++t)
        if (source.HasExtension(t)) subtypes.push_back(t);
    return subtypes;
}

void WriteDictionaryMembers(JsonWriter& json, const VESK_DataSource& source) {
    json.Key("label");
    if (const char* label = source.GetLabel())
        json.String(TrimRight(label));
    else
        json.Null();

    json.Key("weight");
    const int weight = source.GetWeightVarIndex();
    if (weight >= 0)
        json.String(source.GetVariable(weight).GetName());
    else
        json.Null();

    json.Key("documents");
    WriteDocuments(json, source);
    json.Key("attributes");
    WriteAttributes(json, source.GetAttributes());

    json.Key("variables").BeginArray();
    for (unsigned i = 0; i < source.ColumnCount(); ++i) WriteVariable(json, source.GetVariable(int(i)));
    json.EndArray();

    json.Key("variable_sets").BeginArray();
    for (const VariableSetImpl& set : source.GetVariableSets()) {
        json.BeginObject(true).Key("name").String(set.Name()).Key("variables");
        WriteSetVariables(json, source, set);
        json.EndObject();
    }
    json.EndArray();

    json.Key("mr_sets").BeginArray();
    for (const VariableSetImpl& set : source.GetMRSets()) {
        json.BeginObject(true);
        json.Key("name").String(set.Name()).Key("type").Int(set.Type());
        json.Key("label").String(set.Label()).Key("value").String(set.Value());
        json.Key("variables");
        WriteSetVariables(json, source, set);
        json.EndObject();
    }
    json.EndArray();

    json.Key("raw_extensions").BeginArray(true);
    for (int subtype : RawExtensionSubtypes(source)) json.Int(subtype);
    json.EndArray();
}

void WriteInfoJson(std::string& out, const VESK_DataSource& source, const SystemFileDataSource& file) {
    JsonWriter json(out);
    json.BeginObject();
    json.Key("compression").Int(file.GetCompressionLevel());
    json.Key("encrypted").Bool(file.IsEncrypted());
    json.Key("reversed").Bool(file.bReversedByteOrder());
    json.Key("case_count").Int(source.RowCount());
    json.Key("cells_per_case").Int(source.GetObsAreaSize());
    json.Key("encoding").String(file.CharacterEncoding());
    json.Key("product").String(TrimRight(file.EyeCatcher()));
    WriteDictionaryMembers(json, source);
    json.EndObject();
    out += '\n';
}

}  // namespace vesk
