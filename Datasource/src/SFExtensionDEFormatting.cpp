// Subtype 24: the data editor's formatting text, kept as it is.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionDEFormatting"

#include "SFExtensionHandlers.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionDEFormatting)

void SFExtensionDEFormatting::BuildRecord(const VESK_DataSource& source, SystemFileWriterContext*,
                                          SystemFileExtensionRecord& rec) {
    const std::string& info = source.GetDEFormattingInfo().GetInfo();
    if (!info.empty()) rec.SetText(info);
}

void SFExtensionDEFormatting::ApplyRecord(VESK_DataSource& target, SystemFileOptions&,
                                          const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(char), "rec.UnitSize() == sizeof(char)");
    SF_EXT_CHECK(rec.NUnits() >= 0, "rec.NUnits() >= 0");
    // A single byte carries no formatting.
    if (rec.ByteSize() > 1) target.SetDEFormattingInfo(DataEditorFormattingInfo(rec.Text()));
}
