#pragma once
// A recording after loading: where it is cut off and how much charge it moved.
#include <cstddef>
#include <optional>
#include <vector>

#include "core/numeric/charge.hpp"  // cumulative_charge_mAh: how much charge it moved

namespace ecm {

// The first index k with v[k] < vcut (strictly below), or nullopt when no
// sample is below the cut-off. A voltage equal to vcut does not cut; a NaN
// voltage is never below it.
std::optional<std::size_t> find_cutoff(const double* v, std::size_t n, double vcut);

}  // namespace ecm
