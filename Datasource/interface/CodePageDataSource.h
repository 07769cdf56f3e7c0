// A UTF-8 source presented in a legacy code page.
//
// The constructor converts the whole dictionary of the parent once (names,
// labels, attributes, string missing values, value labels, set texts); the
// iterator converts the string cells of each case. String widths stay as they
// are, so text that needs more bytes in the code page is cut on a character
// boundary. Text that cannot be represented is substituted and reported once,
// as a warning to the monitor (1711, or 1712 when made for saving a file);
// conversion never raises an error.
//
// The parent is not owned and must outlive this source and its iterators.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "case.h"
#include "datasrc.h"
#include "vesk_export.h"

class ErrorMonitor;

// One entry of the column plan of a re-encoding source: a run of consecutive
// numeric variables (width 0), copied cell for cell, or one string variable
// (width = its width in the parent), converted.
struct VESK_EXPORT CodePageColumn {
    int32_t start;  // first cell of the entry in the parent's case
    int32_t cells;  // cells the entry fills in this source's case
    int32_t width;  // string width in the parent; 0 for a numeric run
};

// The body shared by a re-encoding source and its iterators (defined in the
// library's sources).
struct ReencodeBody;

class VESK_EXPORT CodePageDataSource : public VESK_DataSource {
public:

    // encoding: the target code page. A code page for which no converter can
    // be made is a precondition failure. saveUse: the source feeds a file
    // being saved (selects warning 1712 over 1711).
    CodePageDataSource(const VESK_DataSource& parent, const std::string& encoding, ErrorMonitor* monitor,
                       bool saveUse);
    ~CodePageDataSource() override;
    CodePageDataSource(const CodePageDataSource&) = delete;
    CodePageDataSource& operator=(const CodePageDataSource&) = delete;

    // The caller owns the iterator and deletes it before this source.
    VESK_InputCaseIterator* MakeIterator(OBS* buffer) const override;
    // The parent's row count.
    int64_t RowCount() const override;

    // The target code page given to the constructor.
    std::string CharacterEncoding() const;
    void SetUseBySaveCodepage(bool saveUse);
    // Whether some dictionary text did not convert cleanly.
    bool LostText() const;
    const std::vector<CodePageColumn>& ColumnPlan() const;

private:
    std::unique_ptr<ReencodeBody> _my;
};
