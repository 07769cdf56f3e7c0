// A source in a legacy code page presented in UTF-8.
//
// The constructor converts the whole dictionary of the parent once (names,
// labels, attributes, string missing values, value labels, set texts) and
// widens every string to min(3 x width, 32767) bytes so that its UTF-8 form
// fits; the iterator converts the string cells of each case. Text that does
// not convert cleanly is substituted and reported once, as warning 1701 to the
// monitor; conversion never raises an error.
//
// The parent is not owned and must outlive this source and its iterators.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CodePageDataSource.h"
#include "case.h"
#include "datasrc.h"
#include "vesk_export.h"

class ErrorMonitor;

class VESK_EXPORT UTF8DataSource : public VESK_DataSource {
public:

    // encoding: the parent's code page. A code page for which no converter
    // can be made is a precondition failure.
    UTF8DataSource(const VESK_DataSource& parent, const std::string& encoding, ErrorMonitor* monitor);
    ~UTF8DataSource() override;
    UTF8DataSource(const UTF8DataSource&) = delete;
    UTF8DataSource& operator=(const UTF8DataSource&) = delete;

    // The caller owns the iterator and deletes it before this source.
    VESK_InputCaseIterator* MakeIterator(OBS* buffer) const override;
    // The parent's row count.
    int64_t RowCount() const override;

    // The parent's code page given to the constructor.
    std::string CharacterEncoding() const;
    // Whether some dictionary text did not convert cleanly.
    bool LostText() const;
    const std::vector<CodePageColumn>& ColumnPlan() const;

    // The width a string of the parent gets here.
    static int WidenedType(int width);

private:
    std::unique_ptr<ReencodeBody> _my;
};
