// Subtype 21: the value labels of string variables wider than 8 bytes, which
// the value-label records (8-byte values) cannot carry. One block per
// variable: name, width, label count, then per label its value and its text.
// Building gives those variables an empty map in the writer's copy so that
// the value-label records skip them.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionVLExtStrings"

#include <algorithm>
#include <string>
#include <vector>

#include "SFExtensionDictionary.h"
#include "SFExtensionHandlers.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionVLExtStrings)

namespace {

bool CellsBefore(const std::vector<OBS>& a, const std::vector<OBS>& b) {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const uint64_t ka = VESK_VLMapImpl::CellKey(a[i]);
        const uint64_t kb = VESK_VLMapImpl::CellKey(b[i]);
        if (ka != kb) return ka < kb;
    }
    return a.size() < b.size();
}

struct PendingLabel {
    std::vector<OBS> value;  // blank-padded to the map's cells
    std::string label;
};

// Padded values may outgrow the record (a short value of a wide string takes
// the whole width in the map); beyond this much the record cannot be genuine.
int64_t PaddedAllowance(int64_t recordBytes) { return 64 * recordBytes + (int64_t(16) << 20); }

}  // namespace

void SFExtensionVLExtStrings::BuildRecord(const VESK_DataSource& source, SystemFileWriterContext* writer,
                                          SystemFileExtensionRecord& rec) {
    VESK_DataSource* copy = writer ? &writer->WriterDictionary() : nullptr;
    std::string out;
    const int nVars = int(source.ColumnCount());
    for (int v = 0; v < nVars; ++v) {
        const VESK_Variable& var = source.GetVariable(v);
        const VESK_ValueLabelMap map(var.GetValueLabels());
        if (map.Size() == 0 || map.Type() <= 8) continue;
        const std::string& name = var.GetName();
        AppendI32(out, int32_t(name.size()));
        out += name;
        AppendI32(out, map.Type());
        AppendI32(out, int32_t(map.Size()));
        map.Reset();
        std::string value;
        const char* label = nullptr;
        while (map.GetNextPair(value, label)) {
            AppendI32(out, int32_t(value.size()));
            out += value;
            const size_t labelLength = std::strlen(label);
            AppendI32(out, int32_t(labelLength));
            out.append(label, labelLength);
        }
        if (copy) copy->GetVariable(v).SetValueLabels(VESK_VLImplPointer());
    }
    if (!out.empty()) rec.SetText(out);
}

void SFExtensionVLExtStrings::ApplyRecord(VESK_DataSource& target, SystemFileOptions& options,
                                          const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(char), "rec.UnitSize() == sizeof(char)");
    SF_EXT_CHECK(rec.NUnits() >= 0, "rec.NUnits() >= 0");
    const ByteOrder order(options._reversed);
    const char* const base = reinterpret_cast<const char*>(rec.Contents());
    const int64_t endr = int64_t(rec.ByteSize());
    const ExtensionNameLookup names(target);
    int64_t paddedBytes = 0;

    int64_t r = 0;
    while (r < endr) {
        SF_EXT_CHECK(r + 13 < endr, "r+13 < endr");
        const int64_t nameLength = order.GetI32(base + r);
        r += 4;
        SF_EXT_CHECK(nameLength >= 0, "nameLength >= 0");
        SF_EXT_CHECK(r + nameLength + 8 < endr, "r+nameLength+8 < endr");
        const std::string name(base + r, size_t(nameLength));
        r += nameLength;
        const int32_t varType = order.GetI32(base + r);
        const int32_t nLabels = order.GetI32(base + r + 4);
        r += 8;

        const int column = names.Find(name);
        const bool apply = column >= 0 && varType > 0 && target.GetVariable(column).GetType() == varType;
        const size_t cells = apply ? size_t(CellsForType(varType)) : 0;
        std::vector<PendingLabel> pending;
        for (int32_t k = 0; k < nLabels; ++k) {
            SF_EXT_CHECK(r + 4 <= endr, "r + 4 <= endr");
            const int64_t valLen = order.GetI32(base + r);
            r += 4;
            SF_EXT_CHECK(valLen >= 0, "valLen >= 0");
            SF_EXT_CHECK(valLen <= varType, "valLen <= varType");
            SF_EXT_CHECK(r + valLen <= endr, "r + valLen <= endr");
            const char* value = base + r;
            r += valLen;
            SF_EXT_CHECK(r + 4 <= endr, "r + 4 <= endr");
            const int64_t labelLen = order.GetI32(base + r);
            r += 4;
            SF_EXT_CHECK(labelLen >= 0, "labelLen >= 0");
            SF_EXT_CHECK(r + labelLen <= endr, "r + labelLen <= endr");
            if (apply) {
                paddedBytes += int64_t(cells * sizeof(OBS));
                SF_EXT_CHECK(paddedBytes <= PaddedAllowance(endr), "paddedBytes <= PaddedAllowance(endr)");
                PendingLabel& pair = pending.emplace_back();
                pair.value.resize(cells);
                VESKMBCopyToFixed_A(reinterpret_cast<char*>(pair.value.data()), cells * sizeof(OBS), value,
                                    size_t(valLen));
                pair.label.assign(base + r, size_t(labelLen));
            }
            r += labelLen;
        }
        if (!apply) continue;

        // Added in value order, each pair goes to the end of the map's sorted
        // pairs; stable, so of two equal values the later label wins as in
        // file order.
        std::stable_sort(pending.begin(), pending.end(),
                         [](const PendingLabel& a, const PendingLabel& b) { return CellsBefore(a.value, b.value); });
        VESK_ValueLabelMap map(varType);
        for (PendingLabel& pair : pending) map.AddPair(pair.value.data(), std::move(pair.label));
        target.GetVariable(column).SetValueLabels(map);
    }
}
