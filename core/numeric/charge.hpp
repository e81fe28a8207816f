#pragma once
// The charge a sampled current moves, by the trapezoid rule (the current
// linear between samples, t in s, i in A). The variants differ in units, in
// how the sum is taken and in sign handling; each is the exact sequence of
// roundings some output depends on, so they are not interchangeable bit for bit.
#include <cstddef>
#include <vector>

namespace ecm {

// A s from sample 0 to every sample: q[0] = 0, q[k] = q[k-1] + 0.5 (i[k] + i[k-1]) (t[k] - t[k-1]),
// a plain running sum. Empty input gives an empty vector.
std::vector<double> cumulative_charge_As(const double* t, const double* i, std::size_t n);

// Cumulative charge in mAh since sample 0 by the trapezoid rule:
// element k = |(integral of 1000 * i over t from sample 0 to sample k) / 3600|,
// element 0 = 0. The current is scaled to mA before each trapezoid, the areas
// (mA s) are added in sample order and the absolute value is taken of the
// running integral, not of each step. Empty input gives an empty vector.
std::vector<double> cumulative_charge_mAh(const double* t, const double* i, std::size_t n);

// Signed charge in mAh from sample 0 to every sample: the terms
// (t[k] - t[k-1]) (i[k] + i[k-1]) 0.5 1000 / 3600 added with Kahan
// compensation; element 0 = 0.
std::vector<double> signed_charge_mAh(const double* t, const double* i, std::size_t n);

// Signed charge in mAh from sample 0 to each sample of `last` (ascending):
// the trapezoids of 1000 * i (mA s) in one pass with Neumaier compensation,
// divided by 3600 at each end point; as accurate as a fresh sum to every end.
// Every entry of `last` must be a sample of t and i.
std::vector<double> compensated_charge_mAh(const double* t, const double* i, const std::vector<std::size_t>& last);

}  // namespace ecm
