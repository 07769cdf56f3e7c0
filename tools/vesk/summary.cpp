#include "summary.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "case.h"
#include "datasrc.h"
#include "opened.h"
#include "progress.h"
#include "textout.h"
#include "valuelabelmap.h"
#include "valuetext.h"

namespace vesk {

namespace {

// Tally limits: distinct values per variable, and key bytes for all
// variables together, shared out evenly within the per-variable bounds.
constexpr size_t kMaxDistinct = 1000;
constexpr size_t kTallyBudget = size_t(256) << 20;
constexpr size_t kMinTallyBytes = 256;
constexpr size_t kMaxTallyBytes = size_t(1) << 20;
constexpr size_t kEntryOverhead = 64;  // what a hash entry costs beside its key

void AddFinite(VariableSummary& s, double x) {
    ++s.finite;
    const long double delta = x - s.mean;
    s.mean += delta / static_cast<long double>(s.finite);
    s.sumSquares += delta * (x - s.mean);
    s.histogram.Add(x);
}

void Accumulate(const VESK_Variable& var, const OBS* cell, VariableSummary& s) {
    if (s.width == 0 && cell->bits == VESK_SYSMIS_BITS) {
        ++s.systemMissing;
        return;
    }
    if (s.tallied)
        s.tally.Add(s.width == 0 ? std::string_view(cell->c, sizeof(OBS))
                                 : TrimRight(std::string_view(cell->c, size_t(s.width))));
    if (var.IsMissing(cell)) {
        ++s.userMissing;
        return;
    }
    ++s.valid;
    if (s.width == 0 && std::isfinite(cell->d)) AddFinite(s, cell->d);
}

// Whole numbers that add up to total, each its share rounded down or up:
// the largest remainders get the units left over.
std::vector<int64_t> RoundedShares(const std::vector<long double>& shares, int64_t total) {
    std::vector<int64_t> counts(shares.size());
    std::vector<size_t> order(shares.size());
    int64_t left = total;
    for (size_t k = 0; k < shares.size(); ++k) {
        counts[k] = int64_t(std::floor(shares[k]));
        left -= counts[k];
        order[k] = k;
    }
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return shares[a] - std::floor(shares[a]) > shares[b] - std::floor(shares[b]);
    });
    for (size_t k = 0; left > 0 && k < order.size(); ++k, --left) ++counts[order[k]];
    return counts;
}

bool HasValueLabels(const VESK_Variable& var) {
    const VESK_VLImplPointer& labels = var.GetValueLabels();
    return labels.IsValid() && labels->Size() > 0;
}

}  // namespace

// ---------------------------------------------------------------- Histogram

int Histogram::BinOf(double value) const {
    const long double at = (value - fOrigin) / fWidth;
    if (!(at >= 0)) return 0;
    return at >= kFineBins - 1 ? kFineBins - 1 : int(at);
}

// The second distinct value: a grid whose first bin starts at the least
// value and whose last holds the greatest.
void Histogram::Start() {
    fOrigin = fMin;
    fWidth = (static_cast<long double>(fMax) - fMin) / (kFineBins - 1);
    fFine.assign(kFineBins, 0);
}

// The least and greatest values no longer fit: a grid of bins that are each
// a whole number of the old ones, starting at the old bin of the least value.
void Histogram::Widen() {
    const long double first = std::floor((fMin - fOrigin) / fWidth);
    const long double last = std::floor((fMax - fOrigin) / fWidth);
    const long double factor = std::ceil((last - first + 1) / kFineBins);
    std::vector<int64_t> fine(kFineBins, 0);
    for (int i = 0; i < kFineBins; ++i) {
        if (fFine[size_t(i)] == 0) continue;
        const long double j = std::floor((i - first) / factor);
        fine[size_t(std::clamp<long double>(j, 0, kFineBins - 1))] += fFine[size_t(i)];
    }
    fFine.swap(fine);
    fOrigin += first * fWidth;
    fWidth *= factor;
}

void Histogram::Add(double value) {
    if (fTotal++ == 0) {
        fMin = fMax = value;
        return;
    }
    const double oldMin = fMin;
    fMin = std::min(fMin, value);
    fMax = std::max(fMax, value);
    if (fFine.empty()) {
        if (fMin == fMax) return;
        Start();
        fFine[size_t(BinOf(oldMin))] = fTotal - 1;  // the values before were all oldMin
    } else if (value < fOrigin || value >= fOrigin + kFineBins * fWidth) {
        Widen();
    }
    ++fFine[size_t(BinOf(value))];
}

std::vector<int64_t> Histogram::Counts(int bins) const {
    if (fTotal == 0 || bins < 1) return {};
    if (fFine.empty()) return {fTotal};
    const long double span = static_cast<long double>(fMax) - fMin;
    std::vector<long double> shares(size_t(bins), 0);
    for (int i = 0; i < kFineBins; ++i) {
        if (fFine[size_t(i)] == 0) continue;
        // The fine bin's extent within [fMin, fMax], measured in parts.
        const long double from = std::clamp((fOrigin + i * fWidth - fMin) / span * bins, 0.0L, (long double)bins);
        const long double to = std::clamp((fOrigin + (i + 1) * fWidth - fMin) / span * bins, 0.0L, (long double)bins);
        const int first = std::min(int(from), bins - 1);
        if (!(to > from)) {
            shares[size_t(first)] += fFine[size_t(i)];
            continue;
        }
        for (int k = first; k < bins && k < to; ++k) {
            const long double overlap = std::min(to, (long double)(k + 1)) - std::max(from, (long double)k);
            shares[size_t(k)] += fFine[size_t(i)] * overlap / (to - from);
        }
    }
    return RoundedShares(shares, fTotal);
}

// ---------------------------------------------------------------- ValueTally

void ValueTally::Add(std::string_view value) {
    const auto found = fCounts.find(value);
    if (found != fCounts.end()) {
        ++found->second;
        return;
    }
    const size_t cost = value.size() + kEntryOverhead;
    if (fCounts.size() >= fMaxDistinct || fBytes + cost > fMaxBytes) {
        ++fUntracked;
        return;
    }
    fBytes += cost;
    fCounts.emplace(std::string(value), 1);
}

std::vector<std::pair<std::string, int64_t>> ValueTally::Top(size_t n, bool numeric) const {
    std::vector<std::pair<std::string, int64_t>> all(fCounts.begin(), fCounts.end());
    n = std::min(n, all.size());
    const auto keyLess = [numeric](const std::string& a, const std::string& b) {
        if (!numeric || a.size() != sizeof(OBS) || b.size() != sizeof(OBS)) return a < b;
        OBS x, y;
        std::memcpy(&x, a.data(), sizeof x);
        std::memcpy(&y, b.data(), sizeof y);
        return VESK_VLMapImpl::CellKey(x) < VESK_VLMapImpl::CellKey(y);
    };
    std::partial_sort(all.begin(), all.begin() + long(n), all.end(), [&](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : keyLess(a.first, b.first);
    });
    all.resize(n);
    return all;
}

// ---------------------------------------------------------------- summaries

double VariableSummary::StandardDeviation() const {
    if (finite < 2) return std::nan("");
    return double(std::sqrt(sumSquares / static_cast<long double>(finite - 1)));
}

std::vector<FrequentValue> MostFrequent(const VESK_Variable& var, const VariableSummary& s, size_t n) {
    std::vector<FrequentValue> values;
    const VESK_VLImplPointer& labels = var.GetValueLabels();
    for (const auto& [key, count] : s.tally.Top(n, s.width == 0)) {
        // The key as cells, blank-padded: what the case held.
        std::vector<OBS> cells(size_t(CellsForType(s.width)));
        std::memset(cells.data(), ' ', cells.size() * sizeof(OBS));
        std::memcpy(cells.data(), key.data(), std::min(key.size(), cells.size() * sizeof(OBS)));
        FrequentValue v;
        v.count = count;
        v.missing = var.IsMissing(cells.data()) != 0;
        if (labels.IsValid()) v.label = FindLabel(*labels, cells.data(), s.width);
        if (s.width == 0)
            v.number = cells[0].d;
        else
            v.text = key;
        values.push_back(std::move(v));
    }
    return values;
}

Description Describe(const OpenedFile& file, const std::vector<int>& columns, const char* progressLabel) {
    const VESK_DataSource& source = file.Source();
    Description description;
    std::vector<VariableSummary>& summaries = description.variables;
    summaries.resize(columns.size());
    std::vector<const VESK_Variable*> vars;
    std::vector<int> cellIndex;
    size_t tallied = 0;
    for (size_t i = 0; i < columns.size(); ++i) {
        VariableSummary& s = summaries[i];
        vars.push_back(&source.GetVariable(columns[i]));
        cellIndex.push_back(source.ObsIndex(columns[i]));
        s.column = columns[i];
        s.width = vars.back()->GetType();
        s.tallied = s.width != 0 || HasValueLabels(*vars.back());
        if (s.tallied) ++tallied;
    }
    const size_t keyBytes = std::clamp(kTallyBudget / std::max<size_t>(tallied, 1), kMinTallyBytes, kMaxTallyBytes);
    for (VariableSummary& s : summaries)
        if (s.tallied) s.tally = ValueTally(kMaxDistinct, keyBytes);

    std::unique_ptr<VESK_InputCaseIterator> it(source.MakeIterator(nullptr));
    Progress progress(progressLabel, source.RowCount(), Progress::StderrIsTerminal());
    const OBS* cells = it->GetCase().Cells();
    while (it->NextCase()) {
        for (size_t i = 0; i < summaries.size(); ++i) Accumulate(*vars[i], cells + cellIndex[i], summaries[i]);
        progress.Update(++description.cases);
    }
    progress.Finish();
    return description;
}

}  // namespace vesk
