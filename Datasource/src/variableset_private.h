// The record text of variable sets as the extension handlers of subtypes 5, 7
// and 19 use it. The same as the public VariableSet(line), ToExtension,
// MakeExtension and ParseExtension (variableset.h), except that a malformed
// line or an unwritable set raises SystemFileException 1204 with the failed
// condition's text, which the reader and the writer report with the file's
// name; the public forms raise VeskError 1204 instead.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "variableset.h"

// Parses one line into set, which must be default-constructed.
void ParseSetLine(const std::string& line, VariableSet& set);
// The set as one line ending in a line feed.
std::string SetLine(const VariableSet& set);
// Appends the lines of the sets that belong in the record of the subtype.
void MakeSetRecord(const std::vector<VariableSet>& sets, std::string& text, int subtype);
// Parses the text of a record of the subtype into sets.
void ParseSetRecord(const char* text, size_t length, int subtype, std::vector<VariableSet>& sets);
