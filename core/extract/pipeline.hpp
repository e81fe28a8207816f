#pragma once
// One recording through the extraction: cut-off, charge, rests and pulses, the
// OCV curve, every pulse fitted, result rows, medians and the output texts.
//
// The pipeline has plain inputs and outputs. A face watches it through a
// PipelineObserver: the import-time module publishes every intermediate value
// and log line, the `ecm` package collects results and drives a progress bar.
// The pipeline keeps no state of its own; what carries from one recording to
// the next of a run (the warm starts) is the caller's WarmStart.
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/extract/edges.hpp"
#include "core/extract/pulses.hpp"
#include "core/extract/uncertainty.hpp"
#include "core/numeric/trf.hpp"

namespace ecm {

enum class CircuitModel { OneRC, TwoRC, Other };
// Pulse: the two-pass fit of the import-time run. Joint: every cycle fitted as a whole
// (joint.hpp) on a relaxation-corrected OCV curve.
enum class FitMethod { Pulse, Joint };
enum class LogLevel { Info, Warning };

// "model1" / "model2"; anything else is Other (every cycle is fitted and
// logged, no row is made).
CircuitModel circuit_model_from_name(const std::string& name);

struct PipelineSettings {
    double vcut = 0.0;
    CircuitModel model = CircuitModel::TwoRC;
    FitMethod method = FitMethod::Pulse;
    int solver_verbose = 0;  // 2: the solver's progress table goes to PipelineObserver::print
    std::string label;       // names the recording in warnings (its path)
    // Joint method: when the pulses' current steps happened within their sample intervals
    // (edges.hpp); none: the current is linear between samples.
    std::optional<EdgeTiming> edge_timing;
};

// The raw columns of one recording, all rows, in time order. The names are
// the column names used in error messages.
struct RecordingColumns {
    const double* time = nullptr;
    const double* current = nullptr;
    const double* voltage = nullptr;
    std::size_t rows = 0;
    std::string time_name = "Seconds", current_name = "Current(A)", voltage_name = "Voltage(V)";
};

// Start values that carry from one recording to the next of one run: the
// initial-value search result and the last first- and second-pass solutions.
struct WarmStart {
    bool has_init = false;
    std::array<double, 3> init{};
    bool has_first = false;
    std::array<double, 3> first{};
    bool has_second = false;
    std::array<double, 2> second{};
};

// The voltage never falls below the cut-off: the recording cannot be used.
struct CutoffNotCrossed : DataError {
    double lowest_voltage;
    CutoffNotCrossed(const std::string& what, double lowest) : DataError(what), lowest_voltage(lowest) {}
};

// Samples a .. b-1 of the recording.
struct SampleRange {
    std::size_t a = 0, b = 0;
    std::size_t size() const { return b - a; }
};

enum class FitKind { Search, First, Second };

// One fitted cycle (pulse and the rest after it).
struct CycleRow {
    long long cycle = 0;          // 1, 2, ...
    std::size_t pulse_first = 0;  // first loaded sample
    std::size_t pulse_last = 0;   // last loaded sample
    SampleRange first_window, full_window;
    double rms = 0.0;                // V: first pass over its window (one branch) or second pass over the cycle
    std::vector<double> params;      // R0, R1, C1[, R2, C2]
    double batt_val = 0.0;           // V, mean of v over samples next-5 .. next-2
    std::string runtime;             // "<minutes> minutes"
    double stop_time = 0.0;          // PipelineObserver::now() when the cycle's fits were done
    std::vector<std::string> r0tau;  // texts of R0, R1*C1[, R2*C2]
    std::vector<double> lsq_yout;    // model response over the row's window
    SampleRange yout_window;         // first_window (one branch) or full_window (two)
    double soc_mid = 0.0;            // SOC at the middle sample of the pulse
    // SOC at the last loaded sample (joint method; NaN otherwise): the branches relax from
    // there, so their fitted R and tau belong to this SOC.
    double soc_end = std::numeric_limits<double>::quiet_NaN();
    double current_mean = 0.0;          // A, mean current over the loaded samples
    std::vector<double> tau;            // s, per branch (R*C)
    std::vector<bool> determined;       // per branch: the cycle determines tau (joint method; always true otherwise)
    std::vector<std::string> at_bound;  // "C2 upper", ... parameters whose fit ended on a bound
    bool budget_stop = false;           // a fit stopped on its evaluation budget
    // Joint method: standard errors of R0 and, per branch, R and tau (NaN otherwise).
    double r0_se = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> r_se, tau_se;
    CircuitUncertainty unc;  // intervals and correlations (joint method; empty otherwise)
};

struct RecordingResult {
    std::size_t samples = 0;                              // kept samples N (index of the first one below the cut-off)
    std::shared_ptr<const std::vector<double>> cum_mAh;   // N, mAh
    std::shared_ptr<const std::vector<double>> ocv_diff;  // N, V
    std::vector<double> relaxed_soc, relaxed_v;           // the (SOC, OCV) points, time order
    std::vector<double> relaxed_v_measured;               // the voltages at the rests' ends (joint: before correction)
    int ocv_passes = 0;                                   // joint: fits made with a corrected OCV curve
    std::vector<double> SOC, OCV_3rd;                     // the 201-point table
    std::vector<std::int64_t> ind_slice, idx_load;
    long long cycles = 0;  // n - 2
    std::vector<CycleRow> rows;
    std::vector<double> mean, median;   // per parameter column
    std::vector<std::string> warnings;  // the WARNING messages, in order
    std::string edge_timing;            // how the current's steps were timed (joint method)
    double charge_Ah() const { return cum_mAh && !cum_mAh->empty() ? cum_mAh->back() / 1000.0 : 0.0; }
};

// What a face sees of the pipeline. Every method has a default that does
// nothing; `now` defaults to the system clock in seconds since the epoch.
// Events come in the order of the steps; a face that throws from an event
// stops the pipeline (the exception propagates to the caller).
class PipelineObserver {
public:
    virtual ~PipelineObserver() = default;
    virtual void log(LogLevel level, const std::string& message);
    virtual void print(const std::string& text);  // standard-output text ("Total cycles", solver report)
    virtual double now();
    // The cut-off is at sample n (before the kept samples are checked).
    virtual void cut(std::size_t n);
    // The kept samples passed their checks and the charge is integrated.
    virtual void charged(const RecordingResult& r);
    // Detection is done; the observer may take (move) vectors of `a` that the
    // result does not hold (bins, counts, vsoc_time, vsoc_val, vsoc_val_itrp, ...).
    virtual void detected(PulseAnalysis& a, const RecordingResult& r);
    virtual void fitting_started(double start_time, long long cycles);
    virtual void search_started(long long len_fall);
    virtual void window(SampleRange w);
    virtual void fit_starting(FitKind kind, const std::vector<double>& start, double c_init);
    virtual void fitted(FitKind kind, const LsqResult& res, const std::vector<double>& yout,
                        const std::vector<double>& err, double rms);
    virtual void search_accepted(double rms_min);
    virtual void search_checked(const std::vector<double>& yout, const std::vector<double>& err, double rms);
    virtual void cycle_started(long long cycle, double start_time, long long len_fall);
    virtual void row(const CycleRow& row);
    // Fitting progress: `done` of `total` steps (pulses, times passes for the joint method).
    virtual void progress(long long done, long long total);
    virtual void finished(double stop_time, const std::string& runtime_total);
};

// Runs the recording through every step. Throws CutoffNotCrossed when no
// sample is below settings.vcut, DataError (without the file name) when the
// recording cannot be used; `warm` is updated as the fits go.
RecordingResult process_recording(const RecordingColumns& in, const PipelineSettings& settings, WarmStart& warm,
                                  PipelineObserver& observer);

// The parameter file's text, exactly what Python's json.dumps writes for
// {"TempC": temperature, "Tparam_1": charge_Ah, "Tparam_2": median,
//  "Tparam_3": [SOC, OCV_3rd]}.
std::string params_file_text(long long temperature, const RecordingResult& r);

// Python's round(x, 1), as a double.
double round1(double x);

}  // namespace ecm
