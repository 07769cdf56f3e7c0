// `--dict DICT.json` of import and convert: changes to a dictionary given as
// a JSON object in the schema of `vesk info --json`.
//
// Any subset of that object may be given. What it names replaces what the
// dictionary had; what it leaves out is kept. Editable are the dataset's
// "label", "documents", "attributes" and "weight", and in "variables" (a list
// of objects with a "name", or an object keyed by name) each variable's
// "label", "value_labels", "missing", "measure", "print", "write",
// "display_width", "alignment", "role" and "attributes". The members that
// describe the file rather than the dictionary ("compression", "case_count",
// "product", "variable_sets", "mr_sets", ...) and a variable's "type" are
// accepted as `info --json` writes them but change nothing; a "type" other
// than the variable's is an error. A document keeps its date as its last
// line, "   (Entered dd-Mon-yyyy)", as `info --json` shows it; lines that do
// not end in one get one made from the document's year, month and day
// (today when none is given).
//
// A value the variable already has is always accepted, so the unedited output
// of `info --json` applies cleanly. Errors: DictError, whose text names the
// file and the entry ("d.json: variables[2] 'age': missing: ..."); Apply
// changes nothing unless the whole edit is valid.
#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

class VESK_DataSource;

namespace vesk {

class DictError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class DictEdit {
public:
    DictEdit(nlohmann::json json, std::string path);

    // Checks the whole edit against the source, then applies it.
    void Apply(VESK_DataSource& source) const;

private:
    nlohmann::json fJson;
    std::string fPath;
};

// Reads and parses the file; DictError when it cannot be read, is not JSON,
// or is not an object.
DictEdit LoadDictEdit(const std::string& path);

}  // namespace vesk
