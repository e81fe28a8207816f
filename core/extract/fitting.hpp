#pragma once
// The two window fits of the per-pulse extraction: residual = data - model,
// every parameter bounded to [1e-4, 5e4], Huber loss, xtol = ftol = gtol = tol,
// evaluation budget 100 per parameter, exact Jacobian.
#include <array>
#include <cstddef>
#include <functional>
#include <string>

#include "core/numeric/trf.hpp"

namespace ecm {

inline constexpr double kFitLowerBound = 1e-4;
inline constexpr double kFitUpperBound = 50000.0;

// First pass: parameters (R0, R1, C1) of the one-branch circuit fitted to the
// window (t, i, y) of n >= 2 samples. `weight` (n values, or nullptr for all
// ones) scales each sample's residual: a point of weight 0 shapes the current
// but is not a measurement.
LsqResult fit_model1(const double* t, const double* i, const double* y, std::size_t n, const std::array<double, 3>& x0,
                     double f_scale, double tol, int verbose, const std::function<void(const std::string&)>& print,
                     const double* weight = nullptr);

// Second pass: parameters (R2, C2) of the second branch, with R0, R1, C1 held
// fixed, fitted to the window (t, i, y) of n >= 2 samples.
LsqResult fit_model2_branch(const double* t, const double* i, const double* y, std::size_t n, double r0, double r1,
                            double c1, const std::array<double, 2>& x0, double f_scale, double tol, int verbose,
                            const std::function<void(const std::string&)>& print, const double* weight = nullptr);

}  // namespace ecm
