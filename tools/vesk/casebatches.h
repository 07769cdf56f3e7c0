// Cases handed to a data store on a thread of their own, in batches, so that
// encoding and writing them overlaps the making of the next ones.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

#include "handoff.h"
#include "obs.h"

class IndependentDataStore;

namespace vesk {

// The store (not owned) is used only by the writing thread from construction
// to Finish or destruction; everything else belongs to the caller's thread.
// Two batches of about 4 MiB (at least one case each) are in flight.
class CaseBatches {
public:
    CaseBatches(IndependentDataStore& out, size_t cellsPerCase);
    // Stops the writing thread; cases not yet written are dropped.
    ~CaseBatches();
    CaseBatches(const CaseBatches&) = delete;
    CaseBatches& operator=(const CaseBatches&) = delete;

    // The cells of the next case; every cell must be set before Add.
    OBS* Next() { return fCurrent.cells.data() + fCurrent.rows * fCellsPerCase; }
    // The case is complete. Raises the store's error when writing failed.
    void Add() {
        if (++fCurrent.rows == fRowsPerBatch) HandOver();
    }
    // Writes what is left and waits for it; raises the store's error.
    void Finish();

private:
    struct Batch {
        std::vector<OBS> cells;
        size_t rows = 0;
    };

    void HandOver();
    void Write();
    void Stop();

    IndependentDataStore& fOut;
    size_t fCellsPerCase;
    size_t fRowsPerBatch;
    Batch fCurrent;
    Handoff<Batch> fFull;
    Handoff<Batch> fEmpty;
    std::atomic<bool> fStop{false};
    std::exception_ptr fError;  // set by the writing thread before it closes fEmpty
    std::thread fWriter;
};

}  // namespace vesk
