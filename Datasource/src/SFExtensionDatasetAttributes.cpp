// Subtype 17: the file's custom attributes in their text form.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionDatasetAttributes"

#include <string>
#include <vector>

#include "SFExtensionHandlers.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionDatasetAttributes)

void SFExtensionDatasetAttributes::BuildRecord(const VESK_DataSource& source, SystemFileWriterContext*,
                                               SystemFileExtensionRecord& rec) {
    const DatasourceAttributes& attributes = source.GetAttributes();
    if (attributes.Size() == 0) return;
    const std::string text = attributes.MakeString();
    if (!text.empty()) rec.SetText(text);
}

void SFExtensionDatasetAttributes::ApplyRecord(VESK_DataSource& target, SystemFileOptions&,
                                               const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(char), "rec.UnitSize() == sizeof(char)");
    SF_EXT_CHECK(rec.NUnits() >= 0, "rec.NUnits() >= 0");
    DatasourceAttributes attributes;
    const char* text = reinterpret_cast<const char*>(rec.Contents());
    // A text that does not parse is ignored.
    if (!DatasourceAttributes::Parse(text ? text : "", rec.ByteSize(), attributes)) return;
    // The older name of the variable-view attribute is stored under the newer.
    if (attributes.Index("$VariableView") >= 0) {
        attributes.Delete("$VariableView2");
        const std::vector<std::string> values = attributes.Values("$VariableView");
        attributes.Delete("$VariableView");
        attributes.Define("$VariableView2", values);
    }
    target.SetAttributes(attributes);
}
