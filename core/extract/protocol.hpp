#pragma once
// Recordings of any step protocol (cycler exports of HPPC and pulse tests):
// the current split into constant-current steps, the steps classified, the
// SOC from coulomb counting, the OCV curve through the long rests, and every
// pulse fitted over a window that starts in the rest before it and runs
// through whatever follows (a short rest, the next pulse, the SOC step).
//
// Discharge and charge currents drive separate parameter sets: the response
// of a window is the sum of the two channels' responses (each R0 plus one or
// two RC branches), fitted in turn with the other channel's response held.
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/extract/edges.hpp"
#include "core/extract/pipeline.hpp"

namespace ecm {

enum class StepKind { Rest, Discharge, Charge };
enum class StepRole { FullChargeRest, OcvRest, ShortRest, Pulse, SocStep };
const char* step_kind_name(StepKind k);
const char* step_role_name(StepRole r);

struct ProtocolSettings {
    double vcut = 0.0;
    int branches = 2;
    // Joint: each window's channels fitted as a whole with the OCV's level and shape. Pulse: the
    // two-pass fit of a classic cycle on each window (R0, R1, C1 over the first pulse, then R2, C2
    // over the window) against the OCV level of the rest before it.
    FitMethod method = FitMethod::Joint;
    double max_pulse_s = 600.0;  // longer loaded steps change the SOC
    // Shorter rests give no OCV point. Not a number: from the protocol's own long rests (those
    // after the SOC steps), see ocv_rest_of.
    double min_ocv_rest_s = std::numeric_limits<double>::quiet_NaN();
    double soc_step_window_s = 60.0;  // how far a window runs into a SOC step after the last pulse
    double rms_limit_V = 0.005;       // a fit above it is flagged (kept, not used while others are within it)
    // ... unless it is within this share of the voltage's swing over its window (0: the limit alone).
    double rms_limit_share = 0.02;
    // true: a sample's current holds over the interval before it (cycler
    // logs: the step in progress); false: linear between samples.
    bool step_hold = true;
    // When the current's steps happened within their sample intervals (edges.hpp); given, it
    // takes the place of step_hold.
    std::optional<EdgeTiming> edge_timing;
    double nominal_capacity_Ah = std::numeric_limits<double>::quiet_NaN();
    std::string label;
    // The export's own step numbers (rows long), or nullptr.
    const double* step_id = nullptr;
    // The cycler's own charge counter (Ah, rows long, any sign and offset), or nullptr. It carries
    // the charge across gaps in time (the charge moved while nothing was recorded).
    const double* charge_counter = nullptr;
};

struct Step {
    std::size_t first = 0, last = 0;  // samples of the kept recording
    StepKind kind = StepKind::Rest;
    StepRole role = StepRole::ShortRest;
    double t_begin = 0.0, t_end = 0.0;  // s, the current holds over (t_begin, t_end]
    double current = 0.0;               // A, mean (charge positive)
    double charge_Ah = 0.0;             // signed
};

struct ProtocolPulse {
    std::size_t step = 0;
    long long number = 0;  // 1, 2, ... in time order
    bool discharge = true;
    double t_start = 0.0, t_end = 0.0, soc = 0.0, current = 0.0;
    double soc_end = 0.0;  // at the last loaded sample: where the branches relax from
    bool fitted = false;
    bool flagged = false;  // fitted, but its RMS is above the limit
    std::string status;    // "fitted", "fitted, RMS <x> mV above <limit> mV" or "rejected: <reason>"
    double r0 = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> r, tau;
    std::vector<bool> determined;
    double rms = std::numeric_limits<double>::quiet_NaN();  // V, over its window
    std::size_t window_first = 0, window_last = 0;          // samples of the kept recording
    std::vector<std::string> at_bound;  // every parameter that ended on a bound (a time constant on its
                                        // upper bound is one the window cannot tell, not a fault)
    double r0_se = std::numeric_limits<double>::quiet_NaN();  // standard errors
    std::vector<double> r_se, tau_se;
    CircuitUncertainty unc;  // intervals and correlations
};

// The fitted response over one window (samples first..last of the kept recording).
struct WindowFit {
    std::size_t first = 0, last = 0;
    std::vector<double> model;
};

struct ProtocolResult {
    std::size_t samples = 0;                            // kept
    bool cutoff_crossed = false;                        // false: used to its end
    bool charge_positive = true;                        // the sign convention found in the data
    double rest_threshold = 0.0, jump_tolerance = 0.0;  // A
    long long export_step_changes = -1;                 // changes of the export's step number (-1: none given)
    std::vector<Step> steps;
    std::vector<ProtocolPulse> pulses;
    std::vector<WindowFit> windows;
    std::vector<double> current;  // A, kept samples, charge positive
    std::vector<double> soc;      // per kept sample
    double capacity_Ah = 0.0;     // the charge from full to the lowest point (or the nominal capacity)
    bool full_charge_found = false;
    double min_ocv_rest_s = 0.0;    // the shortest rest that gave an OCV point (given or from the protocol)
    std::size_t bottom_sample = 0;  // the lowest point of charge after the full charge
    std::vector<double> gap_times;  // s: where the recording jumps in time (the charge carried across)
    std::vector<double> relaxed_soc, relaxed_v;  // OCV points, SOC ascending
    std::vector<double> SOC, OCV;                // 201-point table
    std::vector<double> median;                  // R0, R1, C1[, R2, C2] over the fitted discharge pulses
    std::vector<std::string> warnings;
    std::string edge_timing;  // how the current's steps were timed
};

// The steps of a current: tolerances from its resolution, noise and range,
// a new step where the kind (rest, discharge, charge) changes or the current
// jumps (not where it follows a voltage limit), short transition steps joined,
// steps within one of the export's step numbers joined (step_id: rows long, or
// nullptr). Finds the sign convention from the voltage's response at the steps
// and flips `cur` in place to charge positive when the export is discharge
// positive. Roles, times and charges are left to the caller. Throws DataError
// when the current is zero throughout.
struct Segmentation {
    std::vector<Step> steps;
    double rest_threshold = 0.0, jump_tolerance = 0.0;
    bool charge_positive = true;
    long long export_step_changes = -1;
};
Segmentation segment_steps(const double* t, double* cur, const double* v, std::size_t n,
                           const double* step_id = nullptr);

// The samples as a cycler logs them (each sample's current held over the
// interval before it) in the form "linear between samples": an extra point
// of weight 0 wherever the current changes, at the last sample's time with
// the new current.
struct HeldSeries {
    std::vector<double> t, i, v, weight;
};
HeldSeries held_series(const double* t, const double* cur, const double* v, std::size_t n);

// The shortest rest that gives an OCV point, from the protocol's own rests:
// most of the typical length of the rests after the SOC steps (loaded steps
// longer than max_pulse_s), else of the longest rests found; 600 s when the
// recording has no rest between its ends.
double ocv_rest_of(const std::vector<Step>& steps, double max_pulse_s);

// Gaps in time: intervals much longer than the recording's steps around them
// (indices k: the gap lies between samples k-1 and k).
std::vector<std::size_t> time_gaps(const double* t, std::size_t n);

// Cut-off voltages from the data, for a recording given none: the lowest
// voltage reached under load (the cycler's lower limit cuts its pulses and
// discharges there), else the recording's lowest; the highest under load
// (a charge held at the upper limit), else the recording's highest. Rounded
// outwards to the millivolt; each with where it came from.
struct DataCutoffs {
    double low = 0.0, high = 0.0;
    std::string low_source, high_source;
};
DataCutoffs data_cutoffs(const double* cur, const double* v, std::size_t n);

// Throws DataError (without the file name) when the recording cannot be
// used, e.g. when no pulse can be fitted (the message says what was found).
ProtocolResult process_protocol(const RecordingColumns& in, const ProtocolSettings& settings,
                                PipelineObserver& observer);

}  // namespace ecm
