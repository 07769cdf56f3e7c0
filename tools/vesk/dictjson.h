// The dictionary of a data source as members of a JSON object: everything
// `vesk info --json` says about the dataset that does not depend on the file
// it came from.
#pragma once

#include <string>
#include <vector>

#include "textout.h"

class DSDocument;
class SystemFileDataSource;
class VESK_DataSource;
class VESK_Variable;

namespace vesk {

// Writes the members "label", "weight", "documents", "attributes",
// "variables", "variable_sets", "mr_sets" and "raw_extensions" into the
// object the writer stands in.
void WriteDictionaryMembers(JsonWriter& json, const VESK_DataSource& source);

// The whole object `vesk info --json` prints for a file (and the Python
// module hands out): the file's properties from `file`, the reader at the
// bottom of the source chain, then the dictionary members of `source`, the
// top of it. Appended to out, with a final newline.
void WriteInfoJson(std::string& out, const VESK_DataSource& source, const SystemFileDataSource& file);

// The subtypes (1 and above) of the raw extension blocks the source holds, in
// ascending order. Subtype 0, the document block, is not one of them.
std::vector<int> RawExtensionSubtypes(const VESK_DataSource& source);

// The documents of the source. A document block that is not made of whole
// 80-byte lines (which only a damaged file can give) is reported as the
// library reports a damaged file: VeskError 1204 naming the file.
std::vector<DSDocument> Documents(const VESK_DataSource& source);

// The text of a string cell run: the first width bytes, trailing blanks removed.
std::string StringCellText(const char* cells, int width);

}  // namespace vesk
