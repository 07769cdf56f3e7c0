// Data editor formatting: a text owned by the data editor and opaque to this
// library. A data source holds it as is and the file keeps it in one record.
#pragma once

#include <string>

#include "vesk_export.h"

class VESK_EXPORT DataEditorFormattingInfo {
public:
    DataEditorFormattingInfo() = default;
    explicit DataEditorFormattingInfo(std::string info) : fInfo(std::move(info)) {}

    const std::string& GetInfo() const { return fInfo; }
    void SetInfo(const std::string& info) { fInfo = info; }

    bool operator==(const DataEditorFormattingInfo& o) const { return fInfo == o.fInfo; }
    bool operator!=(const DataEditorFormattingInfo& o) const { return !(*this == o); }

private:
    std::string fInfo;
};
