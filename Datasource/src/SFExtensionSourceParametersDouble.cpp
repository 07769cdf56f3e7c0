// Subtype 4: the system-missing, highest and lowest values of the writing
// system, three doubles.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionSourceParametersDouble"

#include "SFExtensionHandlers.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionSourceParametersDouble)

void SFExtensionSourceParametersDouble::BuildRecord(const VESK_DataSource&, SystemFileWriterContext*,
                                                    SystemFileExtensionRecord& rec) {
    const double units[3] = {VESK_DataSource::SystemMissing(), VESK_DataSource::HighNumber(),
                             VESK_DataSource::LowNumber()};
    rec.SetDoubles(units, 3);
}

void SFExtensionSourceParametersDouble::ApplyRecord(VESK_DataSource&, SystemFileOptions& options,
                                                    const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(double), "rec.UnitSize() == sizeof(double)");
    SF_EXT_CHECK(rec.NUnits() == 3, "rec.NUnits() == 3");
    const ByteOrder order(options._reversed);
    options._sysmis = rec.DoubleAt(0, order);
    options._highest = rec.DoubleAt(1, order);
    options._lowest = rec.DoubleAt(2, order);
}
