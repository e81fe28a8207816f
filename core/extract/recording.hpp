#pragma once
// A recording after loading: where it is cut off and how much charge it moved.
#include <cstddef>
#include <optional>
#include <vector>

namespace ecm {

// The first index k with v[k] < vcut (strictly below), or nullopt when no
// sample is below the cut-off. A voltage equal to vcut does not cut; a NaN
// voltage is never below it.
std::optional<std::size_t> find_cutoff(const double* v, std::size_t n, double vcut);

// Cumulative charge in mAh since sample 0 by the trapezoid rule:
// element k = |(integral of 1000 * i over t from sample 0 to sample k) / 3600|,
// element 0 = 0. The absolute value is taken of the running integral, not of
// each step. Empty input gives an empty vector.
std::vector<double> cumulative_charge_mAh(const double* t, const double* i, std::size_t n);

}  // namespace ecm
