#pragma once
// Interpolation through sampled points.
#include <vector>

namespace ecm {

// Monotone cubic (Fritsch-Carlson) interpolation through (x, y), x strictly
// increasing; linear with the end slopes beyond the ends.
std::vector<double> pchip(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& at);

}  // namespace ecm
