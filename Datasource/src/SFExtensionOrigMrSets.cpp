// Subtype 7: the category sets and the dichotomy sets that are not enhanced,
// one line each. Like subtype 5 it names the lower-cased short names; a line
// read without the leading "$" of a multiple-response set name gets one.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionOrigMrSets"

#include "SFExtensionHandlers.h"
#include "textmb.h"
#include "variableset_private.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionOrigMrSets)

void SFExtensionOrigMrSets::BuildRecord(const VESK_DataSource& source, SystemFileWriterContext*,
                                        SystemFileExtensionRecord& rec) {
    std::vector<VariableSet> sets = VariableSets(source, eMRSets);
    if (sets.empty()) return;
    for (VariableSet& set : sets) set.SetVariableNames(set.GetVariableNames(VariableSet::eLowerCase));
    std::string text;
    MakeSetRecord(sets, text, SysFileLayout::kExtMultipleResponseSets);
    if (!text.empty()) rec.SetText(text);
}

void SFExtensionOrigMrSets::ApplyRecord(VESK_DataSource& target, SystemFileOptions&,
                                        const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(char), "rec.UnitSize() == sizeof(char)");
    SF_EXT_CHECK(rec.NUnits() >= 0, "rec.NUnits() >= 0");
    const std::string text = rec.Text();
    std::vector<VariableSet> sets;
    ParseSetRecord(text.data(), text.size(), SysFileLayout::kExtMultipleResponseSets, sets);
    SaveVariableSets(sets, target, eMRSets);
}
