// The work shared by the two re-encoding sources (CodePageDataSource and
// UTF8DataSource): converting a dictionary once and the string cells of each
// case, in either direction between a code page and UTF-8.
#pragma once

#include <string>
#include <vector>

#include "CodePageDataSource.h"
#include "datasrc.h"
#include "textmb.h"

class ErrorMonitor;

enum class ReencodeDirection { kToCodePage, kToUTF8 };

struct ReencodeBody {
    std::vector<CodePageColumn> _plan;  // in column order
    std::string _encoding;              // the code page given to the constructor
    VESKMBConverter* _converter = nullptr;  // held during construction only
    bool _lostText = false;             // some dictionary text did not convert cleanly
    bool _saveUse = false;              // CodePageDataSource made for saving a file
    ReencodeDirection _direction = ReencodeDirection::kToCodePage;

    ReencodeBody() = default;
    ReencodeBody(const ReencodeBody&) = delete;
    ReencodeBody& operator=(const ReencodeBody&) = delete;
    // Deletes a converter that is still held.
    ~ReencodeBody();
};

// The width a parent string of that width has in the converted source.
int ReencodedWidth(ReencodeDirection direction, int width);

// Converts the dictionary of source (a copy of its parent's) in place with
// body._converter: label, attributes, every variable (name, label, string
// missing values, value labels, attributes, width), then repairs the names
// (FixVarNames with fixNamesMonitor) and converts the set texts. Fills the
// column plan and the lost-text flag.
void ReencodeDictionary(VESK_DataSource& source, ReencodeBody& body, ErrorMonitor* fixNamesMonitor);

// Converts one case of the parent (from) into the converted layout (to).
void ReencodeCase(const ReencodeBody& body, const VESKMBConverter* converter, const OBS* from, OBS* to);

// The converter an iterator of the body's source uses; asserts that one can
// be made. The caller deletes it.
VESKMBConverter* NewReencodeConverter(const ReencodeBody& body);

// An iterator over source that reads its parent's cases and converts their
// strings as body says. The caller owns it; body must outlive it.
VESK_InputCaseIterator* MakeReencodeIterator(const VESK_DataSource& source, const ReencodeBody& body, OBS* buffer);
