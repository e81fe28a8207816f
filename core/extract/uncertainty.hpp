#pragma once
// The uncertainty of a fitted circuit: standard errors, 95 % intervals and the
// correlation of each branch's R and tau, from a least-squares fit's Jacobian
// at its solution.
//
// The covariance is that of an M-estimator (the Huber loss): the curvature
// from the samples inside the loss's quadratic zone, the residuals' spread
// from the clipped residuals, and residuals that are correlated from sample
// to sample (a model that misses a slow trend, binned rests) counted by an
// effective number of samples: the variance is multiplied by
// 1 + 2 sum_l (1 - l/(L+1)) rho_l over the residuals' autocorrelations rho_l
// (at least 1). Where a heteroscedasticity- and autocorrelation-consistent
// (Bartlett-kernel sandwich) variance is larger, it is taken instead.
#include <cstddef>
#include <limits>
#include <vector>

#include <Eigen/Dense>

namespace ecm {

// Two-sided 95 % quantile of the normal distribution.
inline constexpr double kZ95 = 1.959963984540054;

// A time constant is determined where its 95 % interval is at most this wide relative to it.
inline constexpr double kMaxRelTauWidth = 1.0;

struct CircuitUncertainty {
    static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    double r0_se = kNaN, r0_lo = kNaN, r0_hi = kNaN;
    // per branch (in the order of the fit's time constants)
    std::vector<double> r_se, r_lo, r_hi, tau_se, tau_lo, tau_hi, c_se, c_lo, c_hi, r_tau_corr;
    // All NaN for `branches` branches.
    static CircuitUncertainty unknown(std::size_t branches);
};

// The covariance of the parameters of a robust (Huber, scale f_scale; infinite: plain least squares)
// fit from the unscaled Jacobian J of the residuals f at the solution, residuals in sample order.
// `free` marks the parameters not on a bound (the others are held). Rows of zero weight are left
// out. Returns an empty matrix where the curvature is singular or there are too few samples.
Eigen::MatrixXd robust_covariance(const Eigen::MatrixXd& J, const Eigen::VectorXd& f, double f_scale,
                                  const std::vector<bool>& free);

// The intervals of R0, each R, tau and C = tau / R from a covariance over (R0, R_1, log tau_1,
// R_2, log tau_2, ...) in the order of `r` and `tau` (NaN rows: unknown). Resistances get
// symmetric intervals (not below 0), time constants and capacitances intervals symmetric in their
// logarithm.
CircuitUncertainty circuit_uncertainty(double r0, const std::vector<double>& r, const std::vector<double>& tau,
                                       const Eigen::MatrixXd& cov);

// Whether a time constant is determined by its interval: relative width at most kMaxRelTauWidth.
bool tau_determined(double tau, double lo, double hi);

// The uncertainty of the relaxed voltage at the end of a rest, the rest's last reading (samples t, v
// of the rest, n >= 1): the noise of one reading and of the level from a line through the rest's
// last quarter (at least 5 samples), and
// what the relaxation still has to go: the slope there times the time constant that the slopes of
// the quarter's two halves give (else the quarter's length). NaN with fewer than 5 samples.
// level: the point is the level of that line at the rest's end (relaxed_voltage) rather than the
// last reading, so one reading's noise is not in it.
double relaxed_voltage_se(const double* t, const double* v, std::size_t n, bool level = false);

// The relaxed voltage at the end of a rest (samples t, v of the rest, n >= 1): the level at the last
// sample of a line through the rest's last quarter (at least 5 samples), which keeps the readings'
// noise out of the OCV point; the last reading itself with fewer than 5 samples.
double relaxed_voltage(const double* t, const double* v, std::size_t n);

}  // namespace ecm
