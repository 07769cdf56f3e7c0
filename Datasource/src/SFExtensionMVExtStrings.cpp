// Subtype 22: the missing values of string variables wider than 8 bytes, which
// the variable record cannot carry. One block per variable: name length, name,
// a count byte, the value length (8) and the values. Building strips them from
// the writer's copy so that the variable records carry none.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionMVExtStrings"

#include <cstring>
#include <string>

#include "SFExtensionDictionary.h"
#include "SFExtensionHandlers.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionMVExtStrings)

namespace {

constexpr int32_t kValueLength = 8;
constexpr int kMaxValues = 3;

}  // namespace

void SFExtensionMVExtStrings::BuildRecord(const VESK_DataSource& source, SystemFileWriterContext* writer,
                                          SystemFileExtensionRecord& rec) {
    VESK_DataSource* copy = writer ? &writer->WriterDictionary() : nullptr;
    std::string out;
    const int nVars = int(source.ColumnCount());
    for (int v = 0; v < nVars; ++v) {
        const VESK_Variable& var = source.GetVariable(v);
        const OBS* values[kMaxValues];
        const int rule = var.GetMissingValues(values[0], values[1], values[2]);
        if (rule == 0 || var.GetType() <= 8) continue;
        const int count = rule < 0 ? -rule : rule;
        const std::string& name = var.GetName();
        AppendI32(out, int32_t(name.size()));
        out += name;
        out.push_back(char(uint8_t(count)));
        AppendI32(out, kValueLength);
        for (int k = 0; k < count && k < kMaxValues; ++k)
            out.append(reinterpret_cast<const char*>(values[k]), kValueLength);
        if (copy) copy->GetVariable(v).SetMissingValues(0, nullptr, nullptr, nullptr);
    }
    if (!out.empty()) rec.SetText(out);
}

void SFExtensionMVExtStrings::ApplyRecord(VESK_DataSource& target, SystemFileOptions& options,
                                          const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(char), "rec.UnitSize() == sizeof(char)");
    SF_EXT_CHECK(rec.NUnits() >= 0, "rec.NUnits() >= 0");
    const ByteOrder order(options._reversed);
    const char* const base = reinterpret_cast<const char*>(rec.Contents());
    const int64_t endr = int64_t(rec.ByteSize());
    const ExtensionNameLookup names(target);

    int64_t r = 0;
    while (r < endr) {
        SF_EXT_CHECK(r + 13 < endr, "r+13 < endr");
        const int64_t nameLength = order.GetI32(base + r);
        r += 4;
        SF_EXT_CHECK(nameLength >= 0, "nameLength >= 0");
        SF_EXT_CHECK(r + nameLength + 5 < endr, "r+nameLength+5 < endr");
        const std::string name(base + r, size_t(nameLength));
        r += nameLength;
        const int rule = uint8_t(base[r]);
        r += 1;
        const int64_t mvlen = order.GetI32(base + r);
        r += 4;
        SF_EXT_CHECK(mvlen >= 0, "mvlen >= 0");
        // A string holds at most three discrete missing values.
        SF_EXT_CHECK(rule <= kMaxValues, "rule <= 3");
        SF_EXT_CHECK(r + rule * mvlen <= endr, "r+rule*mvlen <= endr");

        const int column = names.Find(name);
        if (column >= 0 && target.GetVariable(column).GetType() != 0 && mvlen <= kValueLength) {
            OBS cells[kMaxValues];
            const OBS* given[kMaxValues] = {nullptr, nullptr, nullptr};
            for (int k = 0; k < rule; ++k) {
                std::memset(cells[k].c, ' ', sizeof(OBS));
                std::memcpy(cells[k].c, base + r + k * mvlen, size_t(mvlen));
                given[k] = &cells[k];
            }
            target.GetVariable(column).SetMissingValues(given[0], given[1], given[2]);
        }
        r += rule * mvlen;
    }
}
