// Subtype 5: the plain variable sets, one line each. Built after subtype 13
// renamed the writer's copy, so the lines name the short names, lower-cased;
// read before subtype 13, so they meet the short names of the variable records.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionVariableSets"

#include "SFExtensionHandlers.h"
#include "textmb.h"
#include "variableset_private.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionVariableSets)

void SFExtensionVariableSets::BuildRecord(const VESK_DataSource& source, SystemFileWriterContext*,
                                          SystemFileExtensionRecord& rec) {
    std::vector<VariableSet> sets = VariableSets(source, eVarSets);
    if (sets.empty()) return;
    for (VariableSet& set : sets) set.SetVariableNames(set.GetVariableNames(VariableSet::eLowerCase));
    std::string text;
    MakeSetRecord(sets, text, SysFileLayout::kExtVariableSets);
    rec.SetText(text);
}

void SFExtensionVariableSets::ApplyRecord(VESK_DataSource& target, SystemFileOptions&,
                                          const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(char), "rec.UnitSize() == sizeof(char)");
    SF_EXT_CHECK(rec.NUnits() >= 0, "rec.NUnits() >= 0");
    const std::string text = rec.Text();
    std::vector<VariableSet> sets;
    ParseSetRecord(text.data(), text.size(), SysFileLayout::kExtVariableSets, sets);
    SaveVariableSets(sets, target, eVarSets);
}
