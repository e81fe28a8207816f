#pragma once
// The slow polarisation of a cell, fitted on everything a pulse test holds.
//
// The pulse fits see seconds; under sustained load a cell also polarises over
// tens of minutes to hours, and the long rests of a pulse test relax from it.
// This adds one slow RC branch to a finished (fast) model: its resistance per
// point of a coarse SOC grid (linear between them, smooth over SOC), one time
// constant, and the slow state each recording starts with (a test that begins
// after a short rest is still relaxing). With the time constant fixed the
// voltage is linear in all of these, so each trial time constant is a small
// bounded linear least-squares problem; the time constant is then chosen by a
// scan in log time and a golden-section refinement. The fast model stays as
// the pulses fitted it. A recording may be scored on its settled rests alone
// (SlowSegment::load_weight), as the package scores a pulse test. Optionally an
// OCV offset per grid point is fitted too (calibration on dynamic data, where
// the drive cycle tells the OCV's level).
#include <cstddef>
#include <limits>
#include <vector>

#include "core/circuit/simulate.hpp"

namespace ecm {

// One recording (or a stretch of it) the slow branch is fitted on. Samples
// before `from` or after `to` (s) drive the model but are not scored.
struct SlowSegment {
    const double* t = nullptr;  // s, ascending
    const double* i = nullptr;  // A, charge positive
    const double* v = nullptr;  // V
    std::size_t n = 0;
    double soc0 = 1.0;  // SOC at the first sample; NaN: from the anchors
    // Known SOC at known times (e.g. the pulses' SOC as the extraction counted it): with soc0 NaN the
    // start SOC is the median that the charge counted from the first sample gives through them.
    std::vector<double> anchor_t, anchor_soc;
    double from = -std::numeric_limits<double>::infinity();
    double to = std::numeric_limits<double>::infinity();
    double weight =
        1.0;  // relative weight of this segment (each segment's scored samples weigh the same in total, times this)
    // How much a sample under load counts against one at rest (1: alike; 0: the rests alone are scored).
    // Under load the residual of the fast model also holds the OCV between the relaxed points (a chord
    // of the curve) and the fast branches at a current unlike the pulses'; once the fast branches have
    // settled in a rest (three of their longest time constants after the current stopped) it is the
    // slow branch relaxing at a known SOC. Below 1, a rest's samples count only from then on.
    double load_weight = 1.0;
};

struct SlowSettings {
    double tau_min = 300.0;                                 // s, the range the time constant is sought in
    double tau_max = 20000.0;                               // s
    double tau = std::numeric_limits<double>::quiet_NaN();  // s, given: no search
    double grid_step = 0.1;                                 // SOC spacing of the resistance (and offset) grid
    double smooth = 1.0;                                    // weight of the second-difference penalty over SOC
    double soc_min = 0.0;      // samples below this SOC are not scored (the OCV is not known there)
    double max_dt = 10.0;      // s: a sample weighs its interval, up to this (so the long stretches count)
    bool ocv_offsets = false;  // also fit an OCV offset per grid point
};

struct SlowFit {
    std::vector<double> grid;                         // SOC grid of r and ocv_offset
    std::vector<double> r;                            // ohm, slow resistance per grid point
    std::vector<double> ocv_offset;                   // V per grid point (zeros unless fitted)
    double tau = 0.0;                                 // s
    std::vector<double> x0;                           // V, slow state at each segment's first sample
    std::vector<double> soc0;                         // each segment's start SOC as used
    std::vector<double> rms_before_mV, rms_after_mV;  // per segment, over its scored samples
    std::vector<double> scan_tau, scan_rms_mV;        // the time constants tried and the weighted RMS
};

// Throws DataError for bad input (sizes, non-finite values, nothing scored).
SlowFit fit_slow_branch(const std::vector<SlowSegment>& segments, const SimModel& fast, const SlowSettings& s);

// A slow fit's resistance (or offset) on other SOC points: linear between the
// grid points, flat beyond.
std::vector<double> slow_on(const SlowFit& fit, const std::vector<double>& values, const std::vector<double>& soc);

}  // namespace ecm
