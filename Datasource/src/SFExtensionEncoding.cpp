// Subtype 20: the name of the file's character encoding, as text without a
// terminator.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionEncoding"

#include "SFExtensionHandlers.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionEncoding)

void SFExtensionEncoding::BuildRecord(const VESK_DataSource&, SystemFileWriterContext* writer,
                                      SystemFileExtensionRecord& rec) {
    if (writer && !writer->WriterOptions()._encoding.empty()) rec.SetText(writer->WriterOptions()._encoding);
}

void SFExtensionEncoding::ApplyRecord(VESK_DataSource&, SystemFileOptions& options,
                                      const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(char), "rec.UnitSize() == sizeof(char)");
    SF_EXT_CHECK(rec.NUnits() > 0, "rec.NUnits() > 0");
    options._encoding = rec.Text();
}
