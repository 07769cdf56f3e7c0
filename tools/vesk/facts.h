// Dictionary facts as short texts, shared by `info`'s table and the codebook.
#pragma once

#include <string>
#include <vector>

class VESK_Variable;
struct VESK_Format;

namespace vesk {

class OpenedFile;

// "code:width.decimals" ("1:12" for string formats, which have no decimals).
std::string FormatText(const VESK_Format& f);
// "unknown", "nominal", "ordinal", "scale", or the number of another level.
std::string MeasureText(int level);
// The missing values: "1, 2", "-5..-1, 99", "'none'"; empty when none.
std::string MissingText(const VESK_Variable& var);
// "YYYY-MM-DD HH:MM:SS", or "unknown".
std::string TimestampText(double stamp);

// The file's and the dataset's facts as (name, value) rows: file, product,
// label, creation, encoding, compression, ..., then one row per dataset
// attribute (the name cell empty after the first). Raises VeskError 1204 for
// a damaged document block.
std::vector<std::vector<std::string>> DatasetFacts(const OpenedFile& file);

}  // namespace vesk
