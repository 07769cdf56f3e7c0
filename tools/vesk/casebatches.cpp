#include "casebatches.h"

#include <algorithm>

#include "IndependentDataStore.h"

namespace vesk {

namespace {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr size_t kBatchCells = 64;  // fuzzing builds: small inputs, frequent hand-overs
#else
constexpr size_t kBatchCells = (4 << 20) / sizeof(OBS);
#endif
}  // namespace

CaseBatches::CaseBatches(IndependentDataStore& out, size_t cellsPerCase)
    : fOut(out), fCellsPerCase(cellsPerCase), fRowsPerBatch(std::max<size_t>(1, kBatchCells / std::max<size_t>(1, cellsPerCase))) {
    fCurrent.cells.resize(fRowsPerBatch * fCellsPerCase);
    fEmpty.Put(Batch{std::vector<OBS>(fCurrent.cells.size()), 0});
    fWriter = std::thread(&CaseBatches::Write, this);
}

CaseBatches::~CaseBatches() { Stop(); }

void CaseBatches::HandOver() {
    fFull.Put(std::move(fCurrent));
    fCurrent = Batch();
    if (!fEmpty.Take(fCurrent)) Finish();  // the writing thread failed: Finish raises its error
    fCurrent.rows = 0;
}

void CaseBatches::Finish() {
    if (fCurrent.rows > 0) fFull.Put(std::move(fCurrent));
    fCurrent = Batch();
    fFull.Close();
    if (fWriter.joinable()) fWriter.join();
    if (fError) std::rethrow_exception(fError);
}

void CaseBatches::Stop() {
    fStop = true;
    fFull.Close();
    if (fWriter.joinable()) fWriter.join();
}

// The writing thread: writes each batch, then gives it back empty.
void CaseBatches::Write() {
    Batch batch;
    while (fFull.Take(batch)) {
        try {
            for (size_t r = 0; r < batch.rows && !fStop; ++r) fOut.AddRow(batch.cells.data() + r * fCellsPerCase);
        } catch (...) {
            fError = std::current_exception();
            fEmpty.Close();
            return;
        }
        fEmpty.Put(std::move(batch));
    }
}

}  // namespace vesk
