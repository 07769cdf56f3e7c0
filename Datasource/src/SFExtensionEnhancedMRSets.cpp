// Subtype 19: the enhanced dichotomy sets, one line each. Built before
// subtype 13 renames the writer's copy and read after it, so the lines carry
// the long names as they are. Reading adds to the sets subtype 7 stored.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionEnhancedMRSets"

#include "SFExtensionHandlers.h"
#include "variableset_private.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionEnhancedMRSets)

void SFExtensionEnhancedMRSets::BuildRecord(const VESK_DataSource& source, SystemFileWriterContext*,
                                            SystemFileExtensionRecord& rec) {
    const std::vector<VariableSet> sets = VariableSets(source, eMRSets);
    std::string text;
    MakeSetRecord(sets, text, SysFileLayout::kExtEnhancedMRSets);
    if (!text.empty()) rec.SetText(text);
}

void SFExtensionEnhancedMRSets::ApplyRecord(VESK_DataSource& target, SystemFileOptions&,
                                            const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(char), "rec.UnitSize() == sizeof(char)");
    SF_EXT_CHECK(rec.NUnits() >= 0, "rec.NUnits() >= 0");
    const std::string text = rec.Text();
    std::vector<VariableSet> sets = VariableSets(target, eMRSets);
    ParseSetRecord(text.data(), text.size(), SysFileLayout::kExtEnhancedMRSets, sets);
    SaveVariableSets(sets, target, eMRSets);
}
