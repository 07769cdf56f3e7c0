// Name lookup shared by the handlers of the attribute and long-string
// records: a sorted table for records that name many variables.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "datasrc.h"
#include "textmb.h"

// Finds variables by name with the result of FindVarIndex (case ignored,
// trailing blanks ignored, the text up to a NUL), in logarithmic time: a record
// may name as many variables as it has bytes. The table copies the names, so
// changing the variables' other properties meanwhile is fine; renaming or
// adding variables is not.
class ExtensionNameLookup {
public:
    explicit ExtensionNameLookup(const VESK_DataSource& source) {
        const int n = int(source.ColumnCount());
        fNames.reserve(size_t(n));
        for (int column = 0; column < n; ++column)
            fNames.emplace_back(source.GetVariable(column).GetUpperCaseName(), column);
        std::stable_sort(fNames.begin(), fNames.end(),
                         [](const Entry& a, const Entry& b) { return a.first < b.first; });
    }

    // The column of the variable called name, -1 when there is none. When
    // several variables share the name (before the reader repairs names), the
    // first at or after start wins, else the first of all, as FindVarIndex does.
    int Find(const std::string& name, int start = 0) const {
        const char* text = name.c_str();
        size_t length = std::strlen(text);
        while (length > 0 && text[length - 1] == ' ') --length;
        char upper[kUpperNameBuffer];
        const int upperLength = VESKMBMvUpper_A(upper, sizeof upper, text, length);
        const std::string key(upper, size_t(upperLength > 0 ? upperLength : 0));
        // Equal names sit in ascending column order (stable sort).
        auto range = std::equal_range(fNames.begin(), fNames.end(), Entry(key, 0),
                                      [](const Entry& a, const Entry& b) { return a.first < b.first; });
        if (range.first == range.second) return -1;
        auto at = std::lower_bound(range.first, range.second, start,
                                   [](const Entry& e, int column) { return e.second < column; });
        return at != range.second ? at->second : range.first->second;
    }

private:
    using Entry = std::pair<std::string, int>;
    static constexpr size_t kUpperNameBuffer = 128;  // as FindVarIndex compares

    std::vector<Entry> fNames;
};
