#pragma once
// The one result of extracting a recording, whichever way it was read (a
// classic pulse-discharge recording or a cycler export through the step
// analysis) and however its pulses were fitted (two-pass or joint): pulse
// rows, OCV points and curve, medians, warnings and, where the step analysis
// ran, its steps and per-sample SOC. Faces convert this one type.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/extract/pipeline.hpp"
#include "core/extract/protocol.hpp"

namespace ecm {

// One fitted (or rejected) pulse.
struct PulseFit {
    static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    long long number = 0;  // 1, 2, ... in time order
    bool discharge = true;
    double t_start = 0.0, t_end = 0.0;  // s, first and last loaded sample
    double soc = 0.0;                   // at the pulse's middle (R0 belongs here)
    double soc_end = kNaN;              // at its last loaded sample (the branches relax from here); NaN: not known
    double current = 0.0;               // A, mean over the pulse
    double r0 = kNaN;
    std::vector<double> r, c, tau;  // per branch: ohm, farad, s
    std::vector<bool> determined;   // per branch: the data determine tau
    // Standard errors of R0 and, per branch, of R, C and tau (joint method, and the two-pass fit
    // of the step analysis; NaN otherwise), with 95 % intervals and each branch's R-tau correlation.
    double r0_se = kNaN;
    std::vector<double> r_se, c_se, tau_se;
    CircuitUncertainty unc;
    double rms = kNaN;        // V, over the fit's window
    double ocv_level = kNaN;  // V, the voltage near the end of the cycle's rest (classic recordings)
    std::vector<std::string> at_bound;
    bool budget_stop = false;
    std::string status;                             // "fitted", or why a value is not trustworthy
    std::size_t window_first = 0, window_last = 0;  // samples of the kept recording, inclusive
    // The fitted response over samples response_first .. response_first + response.size() - 1: the
    // voltage, or the overvoltage (voltage minus OCV) where response_is_voltage is false.
    std::size_t response_first = 0;
    std::vector<double> response;
    bool response_is_voltage = true;
};

enum class Reading { Classic, Steps };

struct Result {
    Reading reading = Reading::Classic;
    FitMethod method = FitMethod::Pulse;
    int branches = 2;
    std::size_t samples = 0;  // kept
    double charge_Ah = 0.0;   // delivered to the cut-off (classic) or the capacity found (steps)
    std::vector<PulseFit> pulses;
    std::vector<double> relaxed_soc, relaxed_ocv, relaxed_measured;  // the OCV points (measured: at the rests' ends)
    std::vector<double> relaxed_se;  // V, the uncertainty of each OCV point (noise and relaxation left); NaN: unknown
    int ocv_passes = 0;
    std::vector<double> soc_grid, ocv;  // the 201-point OCV table
    std::vector<double> mean, median;   // R0, R1, C1[, R2, C2]
    std::vector<std::string> warnings;
    std::string edge_timing;              // how the current's steps were timed (joint method, step analysis)
    std::vector<std::int64_t> rest_ends;  // classic: the samples that end a rest
    std::shared_ptr<const std::vector<double>> ocv_diff;  // classic: voltage minus OCV per kept sample
    // The step analysis (Reading::Steps).
    bool cutoff_crossed = true, charge_positive = true, full_charge_found = false;
    double rest_threshold = PulseFit::kNaN, jump_tolerance = PulseFit::kNaN;
    long long export_step_changes = -1;
    double min_ocv_rest_s = PulseFit::kNaN;  // the shortest rest that gave an OCV point
    std::vector<double> gap_times;           // s: where the recording jumps in time
    std::vector<Step> steps;
    std::vector<double> current, soc;  // per kept sample: A (charge positive), SOC
};

// seconds: the recording's time column (at least r.samples long).
Result result_of(const RecordingResult& r, const double* seconds, CircuitModel model, FitMethod method);
Result result_of(ProtocolResult&& r, int branches);

// The status text of a classic row: "fitted", or what is not trustworthy in it.
std::string row_status(const CycleRow& row);

}  // namespace ecm
