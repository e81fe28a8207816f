#pragma once
// Pulse detection on a trimmed recording: the load-current threshold, the ends
// of rests and of load pulses, the relaxed (OCV, SOC) points with their spline,
// and the OCV-over-time estimate from which the overvoltage is taken.
//
// Index vectors are int64 sample indices into the recording (counting from 0).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/numeric/interp.hpp"  // interp_linear, for the callers that fill tables on the SOC grid
#include "core/numeric/spline.hpp"

namespace ecm {

// Counts and edges of an equal-width histogram over [min(x), max(x)],
// identical to numpy.histogram(x, bins=nbins): edges as numpy.linspace gives
// them (k * step + min, last edge exactly max), a value on an inner edge goes
// to the upper bin, the last bin is closed. A constant input is widened by 0.5
// on each side; an empty input uses [0, 1].
struct Histogram {
    std::vector<std::int64_t> counts;  // nbins
    std::vector<double> edges;         // nbins + 1, strictly increasing
};

// Throws DataError for a non-finite value, for nbins == 0 or above 2^24, and
// when the range is too narrow (or too wide) for nbins bins of positive finite
// width.
Histogram histogram_equal_bins(const double* x, std::size_t n, std::size_t nbins);
inline Histogram histogram21(const double* x, std::size_t n) {
    return histogram_equal_bins(x, n, 21);
}

// The current-step threshold: iload_ix is the largest bin index among all but
// the last bin whose count is greater than 10, iload_th = |(edge[ix] +
// edge[ix+1]) / 2 / 4|. Throws DataError when no such bin exists (no load
// pulses were found).
struct LoadThreshold {
    std::int64_t iload_ix = 0;
    double iload_th = 0.0;
};
LoadThreshold load_threshold(const Histogram& h);

// With d[k] = i[k+1] - i[k]: idx_rest = every k with d[k] < -th (a rest ends at
// k), idx_load = every k with d[k] > th (a load pulse ends at k). Both strict.
struct CurrentSteps {
    std::vector<std::int64_t> idx_rest;
    std::vector<std::int64_t> idx_load;
};
CurrentSteps find_current_steps(const double* i, std::size_t n, double th);

// The relaxed point of each rest end i = idx_rest[j]: vsoc = v[i-2], and
// soc = 1 + mAh / total_mAh with mAh the signed trapezoid charge
// integral(1000 * iload dt) / 3600 over samples 0 .. i-1. The charges come from
// one compensated running sum over the recording.
// The remaining fields are the values of the last rest.
struct RelaxedPoints {
    std::vector<double> soc;      // time order (decreasing for a discharge)
    std::vector<double> vsoc;     // same order
    std::int64_t relaxpoint = 0;  // index of the last rest
    double vsample = 0.0;         // v[i-2] of the last rest
    double mAh = 0.0;             // charge to the last rest
    double socval = 0.0;          // SOC of the last rest
};
// Throws DataError when idx_rest is empty or not strictly increasing, when a
// rest ends within the first three samples (i < 3) or at/after the last
// sample, or when total_mAh is 0 or not finite.
RelaxedPoints relaxed_points(const double* t, const double* iload, const double* v, std::size_t n, double total_mAh,
                             const std::vector<std::int64_t>& idx_rest);

// The SOC grid 0, 0.005, ..., 1.0: 201 values k * 0.005 in double, the same
// numbers numpy.arange(0, 1.005, 0.005) gives.
std::vector<double> soc_grid();

// The piecewise-linear OCV over time and the overvoltage v - OCV(t).
struct OcvOverTime {
    std::vector<std::int64_t> ind_all;  // idx_rest and idx_load merged, increasing
    std::vector<double> vsoc_time;      // 0, t[ind_all]..., t[N-1] (after length equalisation)
    std::vector<double> vsoc_val;       // per rest (v[i-3]+v[i-2])/2 twice, then v[N-2]
    std::vector<double> vsoc_val_itrp;  // N, the estimate at every t
    std::vector<double> ocv_diff;       // N, v - vsoc_val_itrp
};
// Throws DataError when n < 2 or a rest index is below 3 or beyond the data.
OcvOverTime ocv_over_time(const double* t, const double* v, std::size_t n, const std::vector<std::int64_t>& idx_rest,
                          const std::vector<std::int64_t>& idx_load);

// Everything the extraction needs from one trimmed recording, in one call.
struct PulseAnalysis {
    std::vector<std::int64_t> counts;
    std::vector<double> bins;
    std::int64_t iload_ix = 0;
    double iload_th = 0.0;
    std::vector<std::int64_t> idx_rest;  // rest ends, then N appended
    std::vector<std::int64_t> idx_load;
    std::vector<double> soc, vsoc;     // time order (soc decreasing)
    CubicSpline spline;                // OCV(SOC) through the reversed soc/vsoc
    std::vector<double> SOC, OCV_3rd;  // 201-point table
    std::vector<std::int64_t> ind_all;
    std::vector<double> vsoc_time, vsoc_val, vsoc_val_itrp, ocv_diff;
    std::vector<std::int64_t> ind_slice;  // == idx_rest (with N appended)
    // Loop values as they stand at the end of the step: relaxpoint, mAh and
    // socval of the last rest; vsample was last set by the OCV-over-time
    // closing point, i.e. v[N-2].
    std::int64_t relaxpoint = 0;
    double vsample = 0.0;
    double mAh = 0.0;
    double socval = 0.0;
};

// t, iload, v, cum_mAh: the n samples of the trimmed recording. Throws
// DataError (message says what was found) when no current bin holds more than
// ten samples, fewer than four rests are found, a rest ends within the first
// three samples, the total charge cum_mAh[n-1] is 0 or not finite, or the SOC
// of the relaxed points does not strictly decrease from rest to rest.
PulseAnalysis analyse_pulses(const double* t, const double* iload, const double* v, const double* cum_mAh,
                             std::size_t n);

}  // namespace ecm
