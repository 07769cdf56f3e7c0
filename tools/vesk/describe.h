// What `vesk describe` and the codebook share in showing the figures.
#pragma once

#include <cstddef>
#include <string>

#include "valuetext.h"

namespace vesk {

// Bins of the histograms shown, and values in the lists of the most frequent.
constexpr int kHistogramBins = 16;
constexpr size_t kFrequentValues = 10;

// How values of a numeric variable are shown among the figures: dates and
// times as their print format has them, any other number in its shortest
// round-trip form.
NumberStyle ShownStyle(const VESK_Variable& var);

// A figure computed from the values (a mean, a standard deviation): six
// significant digits, or two decimals when the whole part needs more.
std::string Approx(double value);

// A mean in the style of the values when they are dates or times, else as
// Approx.
std::string MeanText(double mean, NumberStyle style);

}  // namespace vesk
