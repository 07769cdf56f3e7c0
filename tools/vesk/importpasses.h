// The two passes of `vesk import` over a CSV text: the first learns the
// columns (types, widths, formats), the second writes the cases into a
// system file. The command (import.cpp) adds the options, the names, the
// temporary output and the warnings around them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "csvcolumns.h"

class SystemFileDataSource;
class VESK_DataSource;

namespace vesk {

class ByteInput;
class CsvReader;

// Occurrences of one kind of change and the line of the first.
struct Tally {
    uint64_t count = 0;
    uint64_t first = 0;
    void Add(uint64_t line) {
        if (count++ == 0) first = line;
    }
};

// What the first pass learned.
struct ImportColumns {
    std::vector<std::string> header;  // the first record's fields, unless there is no header
    std::vector<ColumnGuess> guesses;
    uint64_t records = 0;             // after the header
    Tally shortRecords;
};

// Values the second pass could not store as written.
struct ValueChanges {
    Tally tiny;           // numbers too small for a double, stored as 0
    Tally systemMissing;  // the system-missing value itself
    Tally cut;            // fields longer than a string holds
};

// Reads every record (from the start of the text) and learns the columns.
// With header, the first record names them (each field kept up to 256
// bytes); without, the first record sets their count. input is asked only
// for the progress bar. Errors: CsvError, for an empty input too.
ImportColumns FirstPass(CsvReader& reader, const ByteInput& input, bool header);

// One variable per column, named names[i], typed and formatted as the first
// pass found.
void DefineVariables(VESK_DataSource& out, const std::vector<std::string>& names, const ImportColumns& columns);

// Reads the text again from the start and writes every record as a case of
// out, whose dictionary is committed and was made by DefineVariables. A
// record that no longer fits what the first pass learned raises CsvError
// ("the input changed ..."); write errors are the library's.
void SecondPass(CsvReader& reader, SystemFileDataSource& out, const ImportColumns& columns, bool header,
                ValueChanges& changes);

// At most max bytes of text, not splitting a UTF-8 character.
size_t CutLength(std::string_view text, size_t max);

}  // namespace vesk
