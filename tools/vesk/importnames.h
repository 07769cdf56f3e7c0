// Variable names for the columns of an imported CSV file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vesk {

// A column whose name is not the text of its header field.
struct Renaming {
    size_t column;  // 0-based
    std::string from;
    std::string to;
};

// One legal variable name per header field, all distinct ignoring case (the
// process must be in UTF-8 mode). Each name is made as the library's
// VESK_DataSource::GoodVarName makes one: characters a name may not hold are
// dropped, a bad start gets "@", an empty result becomes "V" and the column
// number (1-based), and a name already taken gets the first free suffix _A,
// _B, ..., _Z, _AA, .... The suffix search remembers where it stopped for each
// base, so n duplicates of one name take linear time. Every name that differs
// from its field is listed in *renamed, in column order.
std::vector<std::string> ColumnNames(const std::vector<std::string>& header, std::vector<Renaming>* renamed);

// v1, v2, ..., vN.
std::vector<std::string> NumberedNames(size_t count);

}  // namespace vesk
