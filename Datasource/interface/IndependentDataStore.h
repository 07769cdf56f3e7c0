// Base of every data source that owns its cases: adds the writing side.
#pragma once

#include "case.h"
#include "datasrc.h"
#include "vesk_export.h"

class VESK_EXPORT IndependentDataStore : public VESK_DataSource {
public:
    // The parent (may be null) is not owned.
    explicit IndependentDataStore(const VESK_DataSource* parent = nullptr) : VESK_DataSource(parent) {}
    ~IndependentDataStore() override = default;

    // Appends one case given as GetObsAreaSize() cells in this source's layout.
    virtual void AddRow(const OBS* row) = 0;
    // Ends adding; the cases become readable.
    virtual void Close() = 0;
    virtual void SetCompression(bool) {}
    virtual void SetCompressionLevel(int) {}
    // Fixes the dictionary before the first row, where the store needs that.
    virtual void CommitDictionary() {}

    // Appends the case's cells.
    void AddCase(const VESK_Case& c) { AddRow(c.Cells()); }

protected:
    IndependentDataStore(const IndependentDataStore& other) : VESK_DataSource(other) {}
};
