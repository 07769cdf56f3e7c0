#include "facts.h"

#include <algorithm>
#include <cstdio>

#include "DSDocument.h"
#include "SystemFileDataSource.h"
#include "datasrc.h"
#include "dates.h"
#include "dictjson.h"
#include "opened.h"
#include "textout.h"

namespace vesk {

namespace {

std::string ValueText(const OBS* cell, int type) {
    return type == 0 ? FormatNumber(cell->d) : "'" + StringCellText(cell->c, std::min(type, 8)) + "'";
}

}  // namespace

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

std::vector<std::vector<std::string>> DatasetFacts(const OpenedFile& file) {
    const VESK_DataSource& source = file.Source();
    const SystemFileDataSource& reader = file.Reader();

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
    return facts;
}

}  // namespace vesk
