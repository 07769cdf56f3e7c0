// A data source that holds a dictionary and never has cases.
#pragma once

#include "datasrc.h"
#include "vesk_export.h"

class VESK_EXPORT DataFreeDataSource : public VESK_DataSource {
public:
    // An empty dictionary that counts as unchanged (not dirty).
    DataFreeDataSource();
    ~DataFreeDataSource() override;

    // There are no cases: asking for an iterator is a precondition failure.
    VESK_InputCaseIterator* MakeIterator(OBS* buffer) const override;
};
