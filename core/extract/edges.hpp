#pragma once
// When a logged current step happened. A cycler logs samples; where the
// current steps, the sample interval (t[a], t[a+1]) around the step holds the
// moment it changed, and which side an edge sample reports differs between
// cyclers. The extraction either takes the current as linear between samples
// (the classic recordings' convention) or inserts the step at a phase of the
// interval: t[a] + phase * (t[a+1] - t[a]), from just after the last sample of
// the old current (0) to the instant of the first sample of the new one (1).
//
// The data of constant-current pulses cannot tell the phase: a step δ later
// leaves every branch's response e^(-δ/τ) times smaller at every later sample,
// which the fit takes up as a smaller R_b and a larger R0 (by R_b (1 - e^(-δ/τ))),
// at the same error. The timing is therefore the cycler's convention, given.
#include <cstddef>
#include <string>
#include <vector>

namespace ecm {

struct EdgeTiming {
    bool linear = true;  // the current linear between samples; no step inserted
    double phase = 0.0;  // the step's place within the sample interval, 0..1
    // "linear between samples", "steps right after the last sample of the old current", ...
    std::string text() const;
};

// A stretch of samples with a step inserted at each edge as two points of
// weight 0 at the step's time (old current, then new), so that "linear between
// points" is the step.
struct TimedSeries {
    std::vector<double> t, i, y, shape, weight;
    std::vector<std::size_t> point_of;  // sample (offset within the stretch) -> point
    std::size_t points() const { return t.size(); }
    // Per-sample values of a per-point series (inserted points dropped).
    std::vector<double> at_samples(const std::vector<double>& per_point) const;
};

// samples 0..n-1; edges: offsets a (ascending) with a step between samples a
// and a + 1; shape may be nullptr.
TimedSeries timed_series(const double* t, const double* i, const double* y, const double* shape, std::size_t n,
                         const std::vector<std::size_t>& edges, const EdgeTiming& timing);

}  // namespace ecm
