// Name lookup shared by the handlers of the attribute and long-string
// records: a sorted table for records that name many variables.
#pragma once

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "datasrc.h"
#include "sortednameindex.h"
#include "textmb.h"

// Finds variables by name with the result of FindVarIndex (case ignored,
// trailing blanks ignored, the text up to a NUL), in logarithmic time: a record
// may name as many variables as it has bytes. Names in column order are found
// without any table; the first name out of order builds one, a copy of the
// names. Changing the variables' other properties meanwhile is fine; renaming
// or adding variables is not.
class ExtensionNameLookup {
public:
    explicit ExtensionNameLookup(const VESK_DataSource& source) : fSource(source) {}
    ExtensionNameLookup(const ExtensionNameLookup&) = delete;  // the index views fText
    ExtensionNameLookup& operator=(const ExtensionNameLookup&) = delete;

    // The column of the variable called name, -1 when there is none. When
    // several variables share the name (before the reader repairs names), the
    // first at or after start wins, else the first of all, as FindVarIndex does.
    int Find(std::string_view name, int start = 0) const {
        const char* text = name.data();
        size_t length = std::min(name.size(), name.find('\0'));
        while (length > 0 && text[length - 1] == ' ') --length;
        char upper[kUpperNameBuffer];
        const int upperLength = VESKMBMvUpper_A(upper, sizeof upper, text, length);
        const std::string_view key(upper, size_t(upperLength > 0 ? upperLength : 0));
        // Records name the variables mostly in column order. The column at
        // start, when it has the name, is the first at or after start; failing
        // that, so is the next one.
        for (int hint : {start, start + 1})
            if (hint >= 0 && unsigned(hint) < fSource.ColumnCount() &&
                fSource.GetVariable(hint).GetUpperCaseName() == key)
                return hint;
        // Equal names sit in ascending column order.
        const SortedNameIndex& index = Index();
        const auto range = index.Find(key);
        if (range.first == range.second) return -1;
        auto at = std::lower_bound(range.first, range.second, start, [](const SortedNameIndex::Entry& e, int column) {
            return int(e.position) < column;
        });
        return int(at != range.second ? at->position : range.first->position);
    }

private:
    static constexpr size_t kUpperNameBuffer = 128;  // as FindVarIndex compares

    const SortedNameIndex& Index() const {
        if (!fIndex) fIndex.emplace(CopyNames());
        return *fIndex;
    }

    // The upper-case names, one after the other in fText (sized once, so the
    // views stay put); views of them.
    std::vector<std::string_view> CopyNames() const {
        const int n = int(fSource.ColumnCount());
        size_t bytes = 0;
        for (int column = 0; column < n; ++column) bytes += fSource.GetVariable(column).GetUpperCaseName().size();
        fText.reserve(bytes);
        std::vector<std::string_view> names;
        names.reserve(size_t(n));
        for (int column = 0; column < n; ++column) {
            const std::string& name = fSource.GetVariable(column).GetUpperCaseName();
            names.emplace_back(fText.data() + fText.size(), name.size());
            fText += name;
        }
        return names;
    }

    const VESK_DataSource& fSource;
    mutable std::string fText;
    mutable std::optional<SortedNameIndex> fIndex;
};
