// Cases as CSV lines (RFC 4180, CRLF line ends) for `vesk cat`.
#pragma once

#include <string>
#include <vector>

class VESK_DataSource;
union OBS;

namespace vesk {

// The header line: the names of the columns, in the order given.
void AppendCsvHeader(std::string& out, const VESK_DataSource& source, const std::vector<int>& columns);

// One case (the cells of the source's layout) as a line. Numeric cells are
// empty for the system-missing value, else their shortest round-trip text;
// string cells are their text without trailing blanks.
void AppendCsvCase(std::string& out, const VESK_DataSource& source, const std::vector<int>& columns,
                   const OBS* cells);

}  // namespace vesk
