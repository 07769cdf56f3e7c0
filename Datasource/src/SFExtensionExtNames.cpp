// Subtype 13: the long name of every variable, as the text
// SHORT=LONG<tab>SHORT=LONG... The short names are those of the variable
// records; reading renames each variable to its long name.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionExtNames"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "SFExtensionHandlers.h"
#include "sortednameindex.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionExtNames)

namespace {

// The first "=" or tab at or after from, npos when there is none (one pass,
// where find_first_of searches the set for every byte).
size_t FindSeparator(std::string_view text, size_t from) {
    for (size_t k = from; k < text.size(); ++k)
        if (text[k] == '=' || text[k] == '\t') return k;
    return std::string_view::npos;
}

// Entries the text can hold: each has one "=", and a tab between two.
size_t MostEntries(std::string_view text) {
    size_t equals = 0, tabs = 0;
    for (char c : text) {
        equals += c == '=';
        tabs += c == '\t';
    }
    return std::min(equals, tabs + 1);
}

}  // namespace

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

    // Read in place: the record may hold megabytes.
    const std::string_view extString(reinterpret_cast<const char*>(rec.Contents()), rec.Contents() ? rec.ByteSize() : 0);
    const size_t len = extString.size();
    constexpr size_t notFound = std::string_view::npos;
    options._longNames.reserve(options._longNames.size() + MostEntries(extString));
    size_t i = 0;
    while (i < len) {
        const size_t equal = FindSeparator(extString, i);
        SF_EXT_CHECK(equal != notFound && extString[equal] == '=', "i != notFound && extString[i] == '='");
        size_t j = FindSeparator(extString, equal + 1);
        if (j == notFound) j = len;
        SF_EXT_CHECK(j == len || extString[j] == '\t', "j == len || extString[j] == '\\t'");
        options._longNames.emplace_back(extString.substr(i, equal - i), extString.substr(equal + 1, j - equal - 1));
        i = j + 1;
    }

    const auto& table = options._longNames;
    if (table.empty()) return;
    std::vector<std::string_view> shortNames;
    shortNames.reserve(table.size());
    for (const auto& entry : table) shortNames.emplace_back(entry.first);
    // Of entries with the same short name, the least long name is taken.
    const SortedNameIndex byShort(std::move(shortNames), [&](uint32_t a, uint32_t b) {
        return table[a].second != table[b].second ? table[a].second < table[b].second : a < b;
    });
    const std::vector<uint8_t> flags = byShort.Classify();
    const int nVars = int(target.ColumnCount());
    for (int v = 0; v < nVars; ++v) {
        VESK_Variable& var = target.GetVariable(v);
        const std::string& name = var.GetName();
        // The table usually lists the variables in order: entry v, when its
        // short name is the only one of its kind, needs no search.
        size_t at = size_t(v);
        if (at >= table.size() || (flags[at] & SortedNameIndex::kShared) || table[at].first != name) {
            const auto range = byShort.Find(name);
            if (range.first == range.second) continue;
            at = range.first->position;
        }
        const std::string& longName = table[at].second;
        var.SetName(longName.c_str(), unsigned(longName.size()));
    }
}
