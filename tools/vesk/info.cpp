// `vesk info`: the dictionary and the file's properties, as JSON or as a table.
#include <algorithm>
#include <cstdio>

#include "DSDocument.h"
#include "SystemFileDataSource.h"
#include "commands.h"
#include "datasrc.h"
#include "dates.h"
#include "dictjson.h"
#include "opened.h"
#include "output.h"
#include "textout.h"

namespace vesk {

namespace {

void WriteJson(const OpenedFile& file, std::string& out) {
    const VESK_DataSource& source = file.Source();
    const SystemFileDataSource& reader = file.Reader();
    JsonWriter json(out);
    json.BeginObject();
    json.Key("compression").Int(reader.GetCompressionLevel());
    json.Key("encrypted").Bool(reader.IsEncrypted());
    json.Key("reversed").Bool(reader.bReversedByteOrder());
    json.Key("case_count").Int(source.RowCount());
    json.Key("cells_per_case").Int(source.GetObsAreaSize());
    json.Key("encoding").String(reader.CharacterEncoding());
    json.Key("product").String(TrimRight(reader.EyeCatcher()));
    WriteDictionaryMembers(json, source);
    json.EndObject();
    out += '\n';
}

// ---------------------------------------------------------------- table

std::string FormatText(const VESK_Format& f) {
    std::string s = std::to_string(f.code) + ":" + std::to_string(f.width);
    if (f.code != 1 && f.code != 2) s += "." + std::to_string(f.decimals);
    return s;
}

std::string MeasureText(int level) {
    switch (level) {
        case 0: return "unknown";
        case 1: return "nominal";
        case 2: return "ordinal";
        case 3: return "scale";
        default: return std::to_string(level);
    }
}

std::string ValueText(const OBS* cell, int type) {
    return type == 0 ? FormatNumber(cell->d) : "'" + StringCellText(cell->c, std::min(type, 8)) + "'";
}

std::string MissingText(const VESK_Variable& var) {
    const OBS* v[3];
    const int rule = var.GetMissingValues(v[0], v[1], v[2]);
    const int type = var.GetType();
    std::string s;
    if (rule < 0) {
        s = ValueText(v[0], type) + ".." + ValueText(v[1], type);
        if (rule == -3) s += ", " + ValueText(v[2], type);
    } else {
        for (int i = 0; i < rule && i < 3; ++i) s += (i ? ", " : "") + ValueText(v[i], type);
    }
    return s;
}

std::string TimestampText(double stamp) {
    long d, mo, y, h, mi;
    double sec;
    if (stamp <= 0 || !iVesk2DMY(stamp, &d, &mo, &y, &h, &mi, &sec)) return "unknown";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04ld-%02ld-%02ld %02ld:%02ld:%02d", y, mo, d, h, mi, int(sec));
    return buf;
}

// Rows of cells printed in columns padded to the widest cell; the last column
// is not padded.
void AppendColumns(std::string& out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line.append(widths[i] - row[i].size() + 2, ' ');
        }
        out += TrimRight(line);
        out += '\n';
    }
}

void WriteTable(const OpenedFile& file, std::string& out) {
    const VESK_DataSource& source = file.Source();
    const SystemFileDataSource& reader = file.Reader();

    std::vector<std::vector<std::string>> vars;
    vars.push_back({"#", "Name", "Type", "Format", "Measure", "Missing", "Labels", "Label"});
    for (unsigned i = 0; i < source.ColumnCount(); ++i) {
        const VESK_Variable& v = source.GetVariable(int(i));
        const int type = v.GetType();
        const VESK_VLImplPointer& labels = v.GetValueLabels();
        const char* label = v.GetLabel();
        vars.push_back({std::to_string(i + 1), v.GetName(), type == 0 ? "num" : "str" + std::to_string(type),
                        FormatText(v.GetFormat()), MeasureText(v.GetMeasurementLevel()), MissingText(v),
                        labels.IsValid() && labels->Size() ? std::to_string(labels->Size()) : "",
                        label ? label : ""});
    }
    AppendColumns(out, vars);
    out += '\n';

    static const char* const kCompression[] = {"none", "bytecode", "zlib"};
    const int level = reader.GetCompressionLevel();
    const int64_t rows = source.RowCount();
    const int weight = source.GetWeightVarIndex();
    const char* label = source.GetLabel();
    const std::vector<DSDocument> docs = Documents(source);
    int docLines = 0;
    for (const DSDocument& d : docs) docLines += d.Size();
    std::string raw;
    for (int t : RawExtensionSubtypes(source)) raw += (raw.empty() ? "" : ", ") + std::to_string(t);

    std::vector<std::vector<std::string>> facts = {
        {"File", file.Path()},
        {"Product", std::string(TrimRight(reader.EyeCatcher()))},
        {"Label", label ? std::string(TrimRight(label)) : "none"},
        {"Created", TimestampText(source.GetTimestamp())},
        {"Encoding", reader.CharacterEncoding()},
        {"Compression", std::to_string(level) + (level >= 0 && level <= 2 ? std::string(" (") + kCompression[level] + ")" : "")},
        {"Encrypted", reader.IsEncrypted() ? "yes" : "no"},
        {"Byte order", reader.bReversedByteOrder() ? "reversed" : "native"},
        {"Cases", rows >= 0 ? std::to_string(rows) : "unknown"},
        {"Variables", std::to_string(source.ColumnCount())},
        {"Cells per case", std::to_string(source.GetObsAreaSize())},
        {"Weight", weight >= 0 ? source.GetVariable(weight).GetName() : "none"},
        {"Documents", std::to_string(docs.size()) + " (" + std::to_string(docLines) + " lines)"},
        {"Variable sets", std::to_string(source.GetVariableSets().size())},
        {"MR sets", std::to_string(source.GetMRSets().size())},
        {"Raw extensions", raw.empty() ? "none" : raw},
    };
    const DatasourceAttributes& attributes = source.GetAttributes();
    for (uint64_t k = 0; k < attributes.Size(); ++k) {
        std::string values;
        for (const std::string& v : attributes.Values(k)) values += (values.empty() ? "" : ", ") + v;
        facts.push_back({k == 0 ? "Attributes" : "", attributes.Name(k) + ": " + values});
    }
    AppendColumns(out, facts);
}

}  // namespace

int RunInfo(const InfoOptions& options) {
    OpenedFile file(options.file, options.password);
    // Complete before anything is shown: a damaged file gives no half table.
    std::string text;
    if (options.json)
        WriteJson(file, text);
    else
        WriteTable(file, text);
    StdoutBuffer out;
    out.Text() = std::move(text);
    return 0;
}

}  // namespace vesk
