#pragma once
// Small statistics with NumPy's conventions.
#include <cstddef>
#include <vector>

namespace ecm {

// Median as numpy.median computes it: NaN if any element is NaN, the mean of
// the two middle values for an even count. Empty input gives NaN.
double median(std::vector<double> x);

// Arithmetic mean; NaN for an empty range.
double mean(const double* x, std::size_t n);

// Root of the mean of the squares; NaN for an empty range.
double rms(const double* x, std::size_t n);

}  // namespace ecm
