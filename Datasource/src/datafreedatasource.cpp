// The dictionary-only data source.
#define VESK_SOURCE_NAME "Datasource/src/datafreedatasource"

#include "datafreedatasource.h"

#include "vesk_assert.h"

DataFreeDataSource::DataFreeDataSource() : VESK_DataSource(nullptr) { SetDirty(0); }

DataFreeDataSource::~DataFreeDataSource() = default;

VESK_InputCaseIterator* DataFreeDataSource::MakeIterator(OBS*) const {
    VESK_ASSERT(0);
    return nullptr;
}
