// Subtype 13: the long name of every variable, as the text
// SHORT=LONG<tab>SHORT=LONG... The short names are those of the variable
// records; reading renames each variable to its long name.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionExtNames"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "SFExtensionHandlers.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionExtNames)

// Renames every variable of the writer's copy that carries a long name of the
// table to its short name, and writes the table in dictionary order. Runs
// after subtype 14, which filled the table; segment variables keep their
// generated names.
void SFExtensionExtNames::BuildRecord(const VESK_DataSource&, SystemFileWriterContext* writer,
                                      SystemFileExtensionRecord& rec) {
    if (!writer) return;
    SystemFileOptions& options = writer->WriterOptions();
    options._longNamesPresent = true;
    const std::vector<std::pair<std::string, std::string>>& table = options._longNames;
    if (table.empty()) return;

    std::vector<std::pair<std::string, std::string>> byLong = table;
    std::sort(byLong.begin(), byLong.end());
    VESK_DataSource& copy = writer->WriterDictionary();
    const int nVars = int(copy.ColumnCount());
    for (int v = 0; v < nVars; ++v) {
        VESK_Variable& var = copy.GetVariable(v);
        const std::string& name = var.GetName();
        auto it = std::lower_bound(byLong.begin(), byLong.end(), name,
                                   [](const std::pair<std::string, std::string>& p, const std::string& n) {
                                       return p.first < n;
                                   });
        if (it != byLong.end() && it->first == name && it->second != name)
            var.SetName(it->second.c_str(), unsigned(it->second.size()));
    }

    std::string text;
    for (const auto& [longName, shortName] : table) {
        if (!text.empty()) text += '\t';
        text += shortName;
        text += '=';
        text += longName;
    }
    rec.SetText(text);
}

void SFExtensionExtNames::ApplyRecord(VESK_DataSource& target, SystemFileOptions& options,
                                      const SystemFileExtensionRecord& rec) {
    options._longNamesPresent = true;
    SF_EXT_CHECK(rec.UnitSize() == 1, "rec.UnitSize()==1");

    const std::string extString = rec.Text();
    const size_t len = extString.size();
    constexpr size_t notFound = std::string::npos;
    size_t i = 0;
    while (i < len) {
        const size_t equal = extString.find_first_of("=\t", i);
        SF_EXT_CHECK(equal != notFound && extString[equal] == '=', "i != notFound && extString[i] == '='");
        size_t j = extString.find_first_of("=\t", equal + 1);
        if (j == notFound) j = len;
        SF_EXT_CHECK(j == len || extString[j] == '\t', "j == len || extString[j] == '\\t'");
        options._longNames.emplace_back(extString.substr(i, equal - i), extString.substr(equal + 1, j - equal - 1));
        i = j + 1;
    }

    if (options._longNames.empty()) return;
    std::vector<std::pair<std::string, std::string>> byShort = options._longNames;
    std::sort(byShort.begin(), byShort.end());
    const int nVars = int(target.ColumnCount());
    for (int v = 0; v < nVars; ++v) {
        VESK_Variable& var = target.GetVariable(v);
        const std::string& name = var.GetName();
        auto it = std::lower_bound(byShort.begin(), byShort.end(), name,
                                   [](const std::pair<std::string, std::string>& p, const std::string& n) {
                                       return p.first < n;
                                   });
        if (it != byShort.end() && it->first == name) var.SetName(it->second.c_str(), unsigned(it->second.size()));
    }
}
