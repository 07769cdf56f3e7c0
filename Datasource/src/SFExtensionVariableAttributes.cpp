// Subtype 18: the custom attributes of the variables, as entries NAME:ATTRIBUTES
// joined by "/". Three reserved attributes carry what the older records cannot
// hold: "$@Role" (roles 6 and 7 written as 3), "$@ExtendRole" (the true role 6
// or 7) and "$@MeasurementLevel" (levels 4 and 5; the display record then
// says 1).
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionVariableAttributes"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "SFExtensionDictionary.h"
#include "SFExtensionHandlers.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionVariableAttributes)

namespace {

const char kRole[] = "$@Role";
const char kExtendRole[] = "$@ExtendRole";
const char kMeasurementLevel[] = "$@MeasurementLevel";
constexpr int kSharedRole = 3;  // what roles 6 and 7 are written as

// The first value of the attribute read as a decimal number (0 when it is not one).
int32_t FirstValueAsNumber(const DatasourceAttributes& attributes, const char* name) {
    const std::vector<std::string> values = attributes.Values(name);
    if (values.empty()) return 0;
    return int32_t(std::strtol(values.front().c_str(), nullptr, 10));
}

// Bytes of failed parses an entry text may cost before the rest of the record
// is given up: each failure re-reads the text after its ":".
uint64_t FailedParseAllowance(uint64_t length) { return 64 * length + (uint64_t(1) << 20); }

// The entry a writer gives nearly every variable: the role alone, one digit,
// "$@Role('d'\n)", ending the text or followed by "/".
constexpr std::string_view kPlainRoleHead = "$@Role('";
constexpr std::string_view kPlainRoleTail = "'\n)";
constexpr size_t kPlainRoleEntrySize = kPlainRoleHead.size() + 1 + kPlainRoleTail.size();

// The role of such an entry at start, or -1 when the entry is another; what
// the general parse would make of it.
int PlainRoleEntry(std::string_view text, size_t start) {
    if (text.size() - start < kPlainRoleEntrySize || text.compare(start, kPlainRoleHead.size(), kPlainRoleHead) != 0)
        return -1;
    const size_t at = start + kPlainRoleHead.size();
    if (text[at] < '0' || text[at] > '9' || text.compare(at + 1, kPlainRoleTail.size(), kPlainRoleTail) != 0) return -1;
    if (text.size() - start > kPlainRoleEntrySize && text[start + kPlainRoleEntrySize] != '/') return -1;
    return text[at] - '0';
}

}  // namespace

void SFExtensionVariableAttributes::BuildRecord(const VESK_DataSource& source, SystemFileWriterContext* writer,
                                                SystemFileExtensionRecord& rec) {
    VESK_DataSource* copy = writer ? &writer->WriterDictionary() : nullptr;
    std::string text;
    const int nVars = int(source.ColumnCount());
    for (int v = 0; v < nVars; ++v) {
        const VESK_Variable& var = source.GetVariable(v);
        DatasourceAttributes attributes = var.GetAttributes();
        const int level = var.GetMeasurementLevel();
        if (level == 4 || level == 5) {
            attributes.Define(kMeasurementLevel, {std::to_string(level)});
            if (copy) copy->GetVariable(v).SetMeasurementLevel(VESK_Variable::eMeasureNominal);
        }
        const int role = var.GetRole();
        std::string roleText = std::to_string(role);
        if (role == 6 || role == 7) {
            attributes.Define(kExtendRole, {roleText});
            roleText = std::to_string(kSharedRole);
        }
        attributes.Define(kRole, {roleText});

        const size_t before = text.size();
        if (!text.empty()) text += '/';
        text += var.GetName();
        text += ':';
        text += attributes.MakeString();
        if (text.back() == ':') text.resize(before);
    }
    if (!text.empty()) rec.SetText(text);
}

void SFExtensionVariableAttributes::ApplyRecord(VESK_DataSource& target, SystemFileOptions&,
                                                const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(char), "rec.UnitSize() == sizeof(char)");
    SF_EXT_CHECK(rec.NUnits() >= 0, "rec.NUnits() >= 0");
    // Read in place: the record may hold megabytes.
    const std::string_view text(reinterpret_cast<const char*>(rec.Contents()), rec.Contents() ? rec.ByteSize() : 0);
    const size_t length = text.size();
    const ExtensionNameLookup names(target);
    const uint64_t allowance = FailedParseAllowance(length);
    uint64_t failedWork = 0;
    int previous = 0;

    size_t p = 0;
    while (p < length) {
        const size_t colon = text.find(':', p);
        if (colon == std::string_view::npos || colon == p) break;
        const int column = names.Find(text.substr(p, colon - p), previous);
        if (column >= 0) previous = column;

        const size_t start = colon + 1;
        const int plainRole = PlainRoleEntry(text, start);
        if (plainRole >= 0) {
            p = std::min(length, start + kPlainRoleEntrySize + 1);
            if (column < 0) continue;
            VESK_Variable& var = target.GetVariable(column);
            var.SetRole(VESK_Variable::Role(plainRole));
            var.SetAttributes(DatasourceAttributes());
            continue;
        }
        DatasourceAttributes attributes;
        uint64_t used = 0;
        if (!DatasourceAttributes::Parse(text.data() + start, length - start, attributes, &used)) {
            failedWork += length - start;
            if (failedWork > allowance) break;
            p = start;
            continue;
        }
        p = start + size_t(used);
        if (p < length && text[p] == '/') ++p;
        if (column < 0) continue;

        VESK_Variable& var = target.GetVariable(column);
        const int level = var.GetMeasurementLevel();
        if (attributes.Index(kMeasurementLevel) >= 0 && (level == 2 || level == 3))
            attributes.Delete(kMeasurementLevel);
        if (attributes.Index(kRole) >= 0) {
            var.SetRole(VESK_Variable::Role(FirstValueAsNumber(attributes, kRole)));
            attributes.Delete(kRole);
        }
        const int role = var.GetRole();
        if (attributes.Index(kExtendRole) >= 0 && FirstValueAsNumber(attributes, kExtendRole) != role &&
            role != kSharedRole)
            attributes.Delete(kExtendRole);
        var.SetAttributes(attributes);
    }
}
