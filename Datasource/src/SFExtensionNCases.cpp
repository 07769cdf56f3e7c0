// Subtype 16: the 64-bit case count, after a unit of 1 that marks the byte
// order. The writer patches the count in place when the file is closed.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionNCases"

#include <algorithm>

#include "SFExtensionHandlers.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionNCases)

void SFExtensionNCases::BuildRecord(const VESK_DataSource&, SystemFileWriterContext* writer,
                                    SystemFileExtensionRecord& rec) {
    const int64_t units[2] = {1, writer ? writer->WriterOptions()._nCases : -1};
    rec.SetInt64s(units, 2);
}

void SFExtensionNCases::ApplyRecord(VESK_DataSource&, SystemFileOptions& options,
                                    const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(int64_t), "rec.UnitSize() == sizeof(int64)");
    SF_EXT_CHECK(rec.NUnits() == 1 || rec.NUnits() == 2, "rec.NUnits() == 1 || rec.NUnits() == 2");
    int64_t count;
    if (rec.NUnits() == 2) {
        // The marker unit tells the order of the count, whatever the header said.
        const bool reversed = rec.Int64At(0, ByteOrder::Native()) != 1;
        count = rec.Int64At(1, ByteOrder(reversed));
    } else {
        count = rec.Int64At(0, ByteOrder(options._reversed));
    }
    options._nCases = std::max(options._nCases, count);
}
