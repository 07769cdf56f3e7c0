// Subtype 13: the long name of every variable, as the text
// SHORT=LONG<tab>SHORT=LONG... The short names are those of the variable
// records; reading renames each variable to its long name.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionExtNames"

#include <algorithm>
#include <cstring>
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

// Calls f(short, long) for every entry of the text SHORT=LONG<tab>SHORT=LONG...,
// checking the shape of each: one "=", no empty entry (one tab may end the text).
template <class F>
void ForEachEntry(std::string_view text, F&& f) {
    const size_t len = text.size();
    constexpr size_t notFound = std::string_view::npos;
    size_t i = 0;
    while (i < len) {
        const size_t equal = FindSeparator(text, i);
        SF_EXT_CHECK(equal != notFound && text[equal] == '=', "i != notFound && extString[i] == '='");
        size_t j = FindSeparator(text, equal + 1);
        if (j == notFound) j = len;
        SF_EXT_CHECK(j == len || text[j] == '\t', "j == len || extString[j] == '\\t'");
        f(text.substr(i, equal - i), text.substr(equal + 1, j - equal - 1));
        i = j + 1;
    }
}

// Renames every variable to the long name of the table's entry with its short
// name; of entries with the same short name, the least long name is taken.
void RenameByTable(VESK_DataSource& target, const std::vector<std::pair<std::string, std::string>>& table) {
    std::vector<std::string_view> shortNames;
    shortNames.reserve(table.size());
    for (const auto& entry : table) shortNames.emplace_back(entry.first);
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

// A short name of at most 8 bytes as a number; names that differ only in
// trailing NULs share one.
uint64_t ShortNameKey(std::string_view name) {
    uint64_t key = 0;
    std::memcpy(&key, name.data(), name.size());
    return key;
}

// The common record of a writer: entry v holds the short name of column v,
// for every column and no more, and no short name comes twice. Then entry v
// is column v's, and the columns are renamed so; false when the record is
// another (nothing is renamed then). Checks the record's shape.
bool RenameInColumnOrder(VESK_DataSource& target, std::string_view text) {
    const size_t nVars = target.ColumnCount();
    std::vector<uint64_t> keys;
    keys.reserve(nVars);
    bool inOrder = true;
    ForEachEntry(text, [&](std::string_view shortName, std::string_view) {
        inOrder = inOrder && keys.size() < nVars && shortName.size() <= sizeof(uint64_t) &&
                  shortName == target.GetVariable(int(keys.size())).GetName();
        if (inOrder) keys.push_back(ShortNameKey(shortName));
    });
    if (!inOrder || keys.size() != nVars) return false;
    std::sort(keys.begin(), keys.end());
    if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) return false;
    int v = 0;
    ForEachEntry(text, [&](std::string_view, std::string_view longName) {
        target.GetVariable(v++).SetName(longName.data(), unsigned(longName.size()));
    });
    return true;
}

// Keeps a record's checked text with those read before, joined by a tab.
void KeepText(SystemFileOptions& options, std::string_view text) {
    if (!text.empty() && text.back() == '\t') text.remove_suffix(1);
    if (text.empty()) return;
    if (!options._longNamesText.empty()) options._longNamesText += '\t';
    options._longNamesText.append(text);
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
    const std::string_view text(reinterpret_cast<const char*>(rec.Contents()), rec.Contents() ? rec.ByteSize() : 0);
    const bool first = options._longNames.empty() && options._longNamesText.empty();
    if (first && RenameInColumnOrder(target, text)) {
        KeepText(options, text);
        return;
    }
    if (!first) ForEachEntry(text, [](std::string_view, std::string_view) {});
    KeepText(options, text);
    // Any other record, or a second one: the whole table decides.
    const auto& table = options.LongNames();
    if (!table.empty()) RenameByTable(target, table);
}
