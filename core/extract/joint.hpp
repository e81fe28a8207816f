#pragma once
// The joint fit of one pulse cycle: R0 and every branch's R and tau fitted
// together over the whole cycle (the pulse and the rest after it) on the
// circuit's exact response.
//
// The resistances enter linearly once the time constants are fixed, so the
// time constants are searched first on a log-spaced grid with the resistances
// solved by non-negative least squares for each grid point (variable
// projection); the best grid points are then refined by the bounded
// trust-region solver over (R0, R_b, log tau_b) with the Huber loss. Time
// constants are bounded in seconds (from a fraction of the sampling step to
// the longest rest), resistances from 0; a capacitance is never bounded.
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "core/extract/uncertainty.hpp"

namespace ecm {

struct JointWindow {
    const double* t = nullptr;  // s
    const double* i = nullptr;  // A
    // V: the terminal voltage. Its open-circuit part is fitted along: a level
    // before the pulse, the change over the pulse along `shape`, and a bump
    // 4 s (1 - s) under load for what the shape misses.
    const double* y = nullptr;
    std::size_t n = 0;
    // How the open-circuit voltage moves from its level before the pulse (0) to
    // its level after it (1), per sample; nullptr: in proportion to the charge.
    const double* shape = nullptr;
    // Voltage of each branch at the first sample, left over from earlier
    // pulses; it decays with the branch's own time constant. Empty: none.
    std::vector<double> u0;
    std::size_t pulse_last = 0;  // index (within the window) of the last loaded sample
    // Per-sample weights (a sample standing for that many measured samples);
    // nullptr: all 1.
    const double* weight = nullptr;
    // Longest time constant the window determines, s; negative: half the rest
    // after pulse_last.
    double tau_ok_hi = -1.0;
    // Upper bound of the time constants, s; negative: the window's length.
    double tau_hi = -1.0;
    // The third open-circuit term: the bump under load (false: a drift linear
    // in time over the window, for windows that hold more than one pulse).
    bool bump = true;
};

struct JointFit {
    double r0 = 0.0;
    std::vector<double> r, tau;  // per branch, tau ascending
    double ocv_before = 0.0;     // V, open-circuit voltage before the pulse
    double ocv_after = 0.0;      // V, after it
    double bump = 0.0;           // V, the open-circuit voltage's deviation under load at mid-pulse
    // per branch: the data pin tau (at least two samples, standard error at most a quarter of it;
    // without an error: at most tau_ok_hi)
    std::vector<bool> determined;
    double rms = 0.0;  // V, over the whole window
    double cost = 0.0;
    int status = 0;                     // solver status of the refinement (0: budget)
    std::vector<std::string> at_bound;  // "tau2 upper", "R1 lower", ... parameters that ended on a bound
    std::vector<double> model;          // the fitted response over the window
    std::vector<double> u0;             // the initial branch voltages, in the order of `tau`
    // Standard errors and 95 % intervals from the Jacobian at the solution, the loss's weights and
    // the residuals' correlation (robust_covariance), in the order of `tau`: NaN where the fit
    // ended on a bound or the curvature is singular.
    double r0_se = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> r_se, tau_se;
    CircuitUncertainty unc;
};

// Fits `branches` (1 or 2) RC branches to the window `w`. When `reduced` is
// given the fit runs on it (the same cycle with the smooth stretches of its
// rests averaged into weighted samples), and `w` is used for the sampling
// facts, the reported response and its RMS. `start_tau`, when not empty,
// skips the grid and refines from those time constants (a warm start).
// Throws DataError for a window it cannot fit.
JointFit fit_cycle_joint(const JointWindow& w, int branches, const std::vector<double>& start_tau = {},
                         const JointWindow* reduced = nullptr);

// The window with its smooth stretches averaged: all samples near the
// current steps, then bins that grow with the time since the last step
// (about a twentieth of it); the rest before the pulse in about 16 bins. The
// vectors hold the binned t, i, y, shape (when w.shape is set) and weights.
struct ReducedWindow {
    std::vector<double> t, i, y, shape, weight;
    JointWindow window() const;
    std::size_t pulse_last = 0;
};
ReducedWindow reduce_window(const JointWindow& w, std::size_t pulse_first);

}  // namespace ecm
