// Small data sources for tests: variables added by name, and a stand-in for
// the system-file writer as the extension handlers see it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "SystemFileExtensionRecord.h"
#include "datafreedatasource.h"
#include "datasrc.h"

// Appends a variable of the type (0 numeric, else the string width) named name.
inline VESK_Variable& AddVar(VESK_DataSource& ds, const char* name, int type = 0) {
    VESK_Variable& v = ds.MakeVariable(type);
    v.SetName(name);
    return v;
}

// Stands for the writer's private copy of a dictionary. The short names are
// those the test puts in the options' long-name table; the strings the writer
// is asked to split are noted.
class WriterSource : public DataFreeDataSource, public SystemFileWriterContext {
public:
    VESK_DataSource& WriterDictionary() override { return *this; }
    SystemFileOptions& WriterOptions() override { return fOptions; }
    std::vector<std::pair<std::string, std::string>>& AssignShortNames() override { return fOptions._longNames; }
    void SplitVeryLongStrings(const std::vector<std::pair<int, int>>& strings) override { fSplit = strings; }

    SystemFileOptions fOptions;
    std::vector<std::pair<int, int>> fSplit;
};
