// The dictionary of a data source as members of a JSON object: everything
// `vesk info --json` says about the dataset that does not depend on the file
// it came from.
#pragma once

#include <string>
#include <vector>

#include "textout.h"

class VESK_DataSource;
class VESK_Variable;

namespace vesk {

// Writes the members "label", "weight", "documents", "attributes",
// "variables", "variable_sets", "mr_sets" and "raw_extensions" into the
// object the writer stands in.
void WriteDictionaryMembers(JsonWriter& json, const VESK_DataSource& source);

// The subtypes (1 and above) of the raw extension blocks the source holds, in
// ascending order. Subtype 0, the document block, is not one of them.
std::vector<int> RawExtensionSubtypes(const VESK_DataSource& source);

// The text of a string cell run: the first width bytes, trailing blanks removed.
std::string StringCellText(const char* cells, int width);

}  // namespace vesk
