// Subtype 11: measurement level, display width and alignment of every
// variable of the stored dictionary (segments of very long strings counted
// one by one), three 32-bit units per variable in dictionary order.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionLWA"

#include <climits>
#include <vector>

#include "SFExtensionHandlers.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionLWA)

void SFExtensionLWA::BuildRecord(const VESK_DataSource& source, SystemFileWriterContext*,
                                 SystemFileExtensionRecord& rec) {
    const int nVars = int(source.ColumnCount());
    if (nVars == 0) return;
    std::vector<int32_t> units;
    units.reserve(size_t(nVars) * 3);
    for (int i = 0; i < nVars; ++i) {
        const VESK_Variable& var = source.GetVariable(i);
        units.push_back(var.GetMeasurementLevel());
        units.push_back(var.GetDisplayWidth());
        units.push_back(var.GetAlignment());
    }
    rec.SetInt32s(units.data(), int32_t(units.size()));
}

void SFExtensionLWA::ApplyRecord(VESK_DataSource& target, SystemFileOptions& options,
                                 const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(int32_t), "rec.UnitSize() == sizeof(int32)");
    const int nVars = int(target.ColumnCount());
    SF_EXT_CHECK(int64_t(rec.NUnits()) == int64_t(nVars) * 3, "rec.NUnits()== src.ColumnCount()*3");
    const ByteOrder order(options._reversed);
    for (int i = 0; i < nVars; ++i) {
        VESK_Variable& var = target.GetVariable(i);
        var.SetMeasurementLevel(VESK_Variable::MeasurementLevel(rec.Int32At(3 * i, order)));
        const int32_t width = rec.Int32At(3 * i + 1, order);
        // A width of 0 or less keeps the variable's own; one beyond the field is cut.
        if (width > 0) var.SetDisplayWidth(short(width > SHRT_MAX ? SHRT_MAX : width));
        var.SetAlignment(VESK_Variable::Alignment(rec.Int32At(3 * i + 2, order)));
    }
}
