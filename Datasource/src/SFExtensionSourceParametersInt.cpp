// Subtype 3: the release numbers and machine codes of the writing system,
// eight 32-bit units.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionSourceParametersInt"

#include "SFExtensionHandlers.h"

namespace {
constexpr int32_t kUnits = 8;
constexpr int32_t kByteOrderCode = 2;  // unit 6 as this system writes it
}  // namespace

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionSourceParametersInt)

void SFExtensionSourceParametersInt::BuildRecord(const VESK_DataSource&, SystemFileWriterContext* writer,
                                                 SystemFileExtensionRecord& rec) {
    const SystemFileOptions defaults;
    const SystemFileOptions& o = writer ? writer->WriterOptions() : defaults;
    const int32_t units[kUnits] = {o._releaseMajor, o._releaseMinor,    o._releaseRevision, o._machineCode,
                                   o._floatingPointRep, o._compressionCode, kByteOrderCode,  o._characterCode};
    rec.SetInt32s(units, kUnits);
}

void SFExtensionSourceParametersInt::ApplyRecord(VESK_DataSource&, SystemFileOptions& options,
                                                 const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == 4, "rec.UnitSize() == 4");
    SF_EXT_CHECK(rec.NUnits() == kUnits, "rec.NUnits() == 8");
    const ByteOrder order(options._reversed);
    options._releaseMajor = rec.Int32At(0, order);
    options._releaseMinor = rec.Int32At(1, order);
    options._releaseRevision = rec.Int32At(2, order);
    options._machineCode = rec.Int32At(3, order);
    options._floatingPointRep = rec.Int32At(4, order);
    options._compressionCode = rec.Int32At(5, order);
    // Unit 6, the writer's byte-order code, is not kept.
    options._characterCode = rec.Int32At(7, order);
}
