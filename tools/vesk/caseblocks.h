// Cases read in order a block at a time, for the commands that pass over
// every case (verify, convert). The file's own iterator decodes a batch of
// cases into one block without a call and a copy per case; any other source,
// and cases so wide that a block would hold a single one, go case by case.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "SystemFileDataSource.h"
#include "case.h"
#include "datasrc.h"
#include "progress.h"

namespace vesk {

inline constexpr size_t kCaseBlockBytes = 64 * 1024;

// Calls visit(cells, stride, count) for each run of `count` cases laid out
// `stride` cells apart, reports the cases read so far to `progress`, and
// returns the number of cases read.
template <class Visit>
int64_t ReadInBlocks(VESK_InputCaseIterator& it, Progress& progress, Visit&& visit) {
    int64_t cases = 0;
    auto* file = dynamic_cast<SystemFileDataSource::Iterator*>(&it);
    const size_t stride = std::max<size_t>(size_t(it.GetDataSource().GetObsAreaSize()), 1);
    const int64_t batch = int64_t(kCaseBlockBytes / (stride * sizeof(OBS)));
    if (!file || batch < 2) {
        const OBS* cells = it.GetCase().Cells();
        while (it.NextCase()) {
            visit(cells, stride, int64_t(1));
            progress.Update(++cases);
        }
        return cases;
    }
    std::vector<OBS> block(stride * size_t(batch));
    for (int64_t got = batch; got == batch;) {
        got = file->NextCases(block.data(), stride, batch);
        if (got > 0) visit(static_cast<const OBS*>(block.data()), stride, got);
        cases += got;
        progress.UpdateMany(cases);
    }
    return cases;
}

}  // namespace vesk
