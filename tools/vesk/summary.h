// The figures of `vesk describe` and the codebook, gathered in one pass over
// the cases with memory bounded whatever the data hold.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class VESK_Variable;

namespace vesk {

class OpenedFile;

// A histogram of finite values whose range is not known in advance. It keeps
// a fixed number of fine bins (allocated at the second distinct value) over a
// grid that widens when a value falls outside it: adjacent bins merge, so
// every count stays exact on the coarser grid, and the values seen always
// cover more than half of it.
class Histogram {
public:
    void Add(double value);
    int64_t Total() const { return fTotal; }
    double Low() const { return fMin; }    // the least value added
    double High() const { return fMax; }   // the greatest
    // The counts in `bins` equal parts from Low to High (one part when every
    // value was the same). A fine bin that straddles parts is shared between
    // them in proportion, its values taken as spread evenly across it; the
    // counts are rounded so that they add up to Total().
    std::vector<int64_t> Counts(int bins) const;

private:
    static constexpr int kFineBins = 256;
    void Start();
    void Widen();
    int BinOf(double value) const;

    int64_t fTotal = 0;
    double fMin = 0, fMax = 0;
    long double fOrigin = 0, fWidth = 0;  // the grid: bin i starts at fOrigin + i * fWidth
    std::vector<int64_t> fFine;           // empty while every value was the same
};

// Counts of distinct values (byte strings), up to a limit of distinct values
// and of key bytes; a value first seen beyond the limit is counted only as
// untracked, so the counts of the values tracked stay exact.
class ValueTally {
public:
    ValueTally(size_t maxDistinct, size_t maxBytes) : fMaxDistinct(maxDistinct), fMaxBytes(maxBytes) {}
    void Add(std::string_view value);
    // The n most frequent values with their counts; equal counts in value
    // order: that of the doubles the keys hold when numeric, else bytewise.
    std::vector<std::pair<std::string, int64_t>> Top(size_t n, bool numeric) const;
    size_t Distinct() const { return fCounts.size(); }
    bool Capped() const { return fUntracked > 0; }
    int64_t Untracked() const { return fUntracked; }

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
    };
    std::unordered_map<std::string, int64_t, Hash, std::equal_to<>> fCounts;
    size_t fMaxDistinct, fMaxBytes, fBytes = 0;
    int64_t fUntracked = 0;
};

// One variable's figures. Numeric moments, extremes and the histogram cover
// the finite valid values; the tally (labelled and string variables only)
// covers every value but the system-missing one, the user-missing included.
struct VariableSummary {
    int column = 0;
    int width = 0;  // 0 numeric, else string bytes
    int64_t valid = 0, userMissing = 0, systemMissing = 0;
    int64_t finite = 0;
    long double mean = 0, sumSquares = 0;  // running mean and sum of squared deviations
    Histogram histogram;
    bool tallied = false;
    ValueTally tally{0, 0};

    // Sample standard deviation; NaN below two finite values.
    double StandardDeviation() const;
};

// A tallied value: the number (numeric variables) or the text, its count,
// its value label (null when it has none; valid while the variable's labels
// are unchanged) and whether it is user-missing.
struct FrequentValue {
    double number = 0;
    std::string text;
    int64_t count = 0;
    const std::string* label = nullptr;
    bool missing = false;
};
// The n most frequent values of a tallied variable.
std::vector<FrequentValue> MostFrequent(const VESK_Variable& var, const VariableSummary& s, size_t n);

struct Description {
    int64_t cases = 0;  // cases read
    std::vector<VariableSummary> variables;
};

// Reads every case of the file once (with a progress bar on a terminal) and
// summarises the given columns.
Description Describe(const OpenedFile& file, const std::vector<int>& columns, const char* progressLabel);

}  // namespace vesk
