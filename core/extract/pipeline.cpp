#include "core/extract/pipeline.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "core/base/numtext.hpp"
#include "core/base/stats.hpp"
#include "core/circuit/circuit.hpp"
#include "core/extract/fitting.hpp"
#include "core/extract/joint.hpp"
#include "core/extract/outputs.hpp"
#include "core/extract/recording.hpp"
#include "core/extract/uncertainty.hpp"
#include "core/numeric/charge.hpp"

namespace ecm {

void PipelineObserver::log(LogLevel, const std::string&) {}
void PipelineObserver::print(const std::string&) {}
double PipelineObserver::now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}
void PipelineObserver::cut(std::size_t) {}
void PipelineObserver::charged(const RecordingResult&) {}
void PipelineObserver::detected(PulseAnalysis&, const RecordingResult&) {}
void PipelineObserver::fitting_started(double, long long) {}
void PipelineObserver::search_started(long long) {}
void PipelineObserver::window(SampleRange) {}
void PipelineObserver::fit_starting(FitKind, const std::vector<double>&, double) {}
void PipelineObserver::fitted(FitKind, const LsqResult&, const std::vector<double>&, const std::vector<double>&,
                              double) {}
void PipelineObserver::search_accepted(double) {}
void PipelineObserver::search_checked(const std::vector<double>&, const std::vector<double>&, double) {}
void PipelineObserver::cycle_started(long long, double, long long) {}
void PipelineObserver::row(const CycleRow&) {}
void PipelineObserver::progress(long long, long long) {}
void PipelineObserver::finished(double, const std::string&) {}

CircuitModel circuit_model_from_name(const std::string& name) {
    if (name == "model1") return CircuitModel::OneRC;
    if (name == "model2") return CircuitModel::TwoRC;
    return CircuitModel::Other;
}

double round1(double x) {
    if (!std::isfinite(x)) return x;
    // Python rounds the exact binary value to one decimal and reads the text back.
    return std::strtod(fixed_text(x, 1).c_str(), nullptr);
}

namespace {

constexpr double kSearchTol = 1e-8, kFirstTol = 1e-11, kSecondTol = 1e-9;

std::string line_of(std::size_t k) {
    return std::to_string(k + 2);
}

long long len_fall_of(long long pulse_len) {
    return static_cast<long long>(static_cast<double>(pulse_len) * 0.7);
}

std::string mv_text(double rms_v) {
    return py_repr(rms_v * 1000.0);
}

std::string vector_text(const double* x, std::size_t n) {
    std::string out = "[";
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0) out += ", ";
        out += py_repr(x[k]);
    }
    return out + "]";
}

// The kept samples: finite, time increasing, at least two.
void check_kept_samples(const RecordingColumns& in, std::size_t n) {
    const std::pair<const std::string*, const double*> cols[] = {
        {&in.time_name, in.time}, {&in.current_name, in.current}, {&in.voltage_name, in.voltage}};
    for (const auto& c : cols) {
        for (std::size_t k = 0; k < n; ++k) {
            if (!std::isfinite(c.second[k])) {
                throw DataError("line " + line_of(k) + ": column \"" + *c.first +
                                "\" is empty or not a finite number (" + py_repr(c.second[k]) + ")");
            }
        }
    }
    for (std::size_t k = 1; k < n; ++k) {
        if (!(in.time[k] > in.time[k - 1])) {
            throw DataError("line " + line_of(k) + ": time " + py_repr(in.time[k]) +
                            " s does not increase from the previous sample (" + py_repr(in.time[k - 1]) +
                            " s); the \"" + in.time_name + "\" column must increase");
        }
    }
    if (n < 2) {
        throw DataError("only " + std::to_string(n) +
                        " sample(s) lie above the cut-off voltage before it is crossed; a pulse recording is "
                        "needed");
    }
}

// Counts, per parameter and bound, the cycles whose fit ended on that bound.
struct BoundTally {
    struct Hit {
        std::string name;
        int side;  // -1 lower, +1 upper
        int count;
    };
    std::vector<Hit> hits;  // in the order the parameters are fitted
    void add(const LsqResult& r, const std::vector<std::string>& names, std::vector<std::string>& row_hits) {
        for (std::size_t k = 0; k < names.size() && k < static_cast<std::size_t>(r.active_mask.size()); ++k) {
            int side = r.active_mask[static_cast<Eigen::Index>(k)];
            if (side == 0) continue;
            row_hits.push_back(names[k] + (side > 0 ? " upper" : " lower"));
            bool found = false;
            for (auto& h : hits)
                if (h.name == names[k] && h.side == side) ++h.count, found = true;
            if (!found) hits.push_back({names[k], side, 1});
        }
    }
};

class Run {
public:
    Run(const RecordingColumns& in, const PipelineSettings& s, WarmStart& warm, PipelineObserver& obs)
        : in_(in), s_(s), warm_(warm), obs_(obs) {}

    RecordingResult go() {
        trim_and_charge();
        detect();
        if (s_.method == FitMethod::Joint) {
            fit_joint();
        } else {
            fit();
            summarise();
        }
        return std::move(r_);
    }

private:
    const RecordingColumns& in_;
    const PipelineSettings& s_;
    WarmStart& warm_;
    PipelineObserver& obs_;
    RecordingResult r_;
    EdgeTiming edge_;     // how the joint method times the current's steps
    std::string report_;  // the solver's report of one fit, handed over in one piece

    const double* t() const { return in_.time; }
    const double* i() const { return in_.current; }
    const double* v() const { return in_.voltage; }
    const double* y() const { return r_.ocv_diff->data(); }

    void info(const std::string& m) { obs_.log(LogLevel::Info, m); }
    void warning(const std::string& m) {
        r_.warnings.push_back(m);
        obs_.log(LogLevel::Warning, m);
    }
    void flush_report() {
        if (!report_.empty()) obs_.print(report_);
        report_.clear();
    }
    PrintFn printer() {
        if (s_.solver_verbose <= 0) return {};
        return [this](const std::string& text) { report_ += text; };
    }

    void trim_and_charge() {
        if (in_.rows == 0) throw DataError("the recording has no data rows");
        auto cut = find_cutoff(in_.voltage, in_.rows, s_.vcut);
        if (!cut) {
            double lowest = INFINITY;
            for (std::size_t k = 0; k < in_.rows; ++k)
                if (in_.voltage[k] < lowest) lowest = in_.voltage[k];
            throw CutoffNotCrossed("the voltage never falls below the low cut-off " + py_repr(s_.vcut) +
                                       " V (lowest voltage " + py_repr(lowest) +
                                       " V); expected a recording that ends below the cut-off",
                                   lowest);
        }
        const std::size_t n = *cut;
        obs_.cut(n);
        check_kept_samples(in_, n);
        r_.samples = n;
        r_.cum_mAh = std::make_shared<const std::vector<double>>(cumulative_charge_mAh(t(), i(), n));
        obs_.charged(r_);
    }

    void detect() {
        const std::size_t n = r_.samples;
        PulseAnalysis a = analyse_pulses(t(), i(), v(), r_.cum_mAh->data(), n);
        r_.ocv_diff = std::make_shared<const std::vector<double>>(std::move(a.ocv_diff));
        r_.relaxed_soc = a.soc;
        r_.relaxed_v = a.vsoc;
        r_.relaxed_v_measured = a.vsoc;
        r_.SOC = a.SOC;
        r_.OCV_3rd = a.OCV_3rd;
        r_.ind_slice = a.ind_slice;
        r_.idx_load = a.idx_load;
        obs_.detected(a, r_);
    }

    void check_windows() {
        const auto& S = r_.ind_slice;
        const auto& L = r_.idx_load;
        const long long n = static_cast<long long>(S.size());
        const long long cycles = n - 2;
        if (n < 2 || L.empty()) {
            throw DataError("no complete load pulse found (" + std::to_string(L.size()) + " pulse end(s) after " +
                            std::to_string(std::max<long long>(n - 1, 0)) +
                            " rest(s)); the first pulse is needed for the start values");
        }
        if (static_cast<long long>(L.size()) < cycles) {
            throw DataError("found " + std::to_string(L.size()) + " pulse end(s) for " + std::to_string(cycles) +
                            " pulse(s) to fit; every pulse must end (current back to rest) before the next rest "
                            "ends");
        }
        for (long long k = 0; k < std::max<long long>(cycles, 1); ++k) {
            long long start = S[k], end = L[k], next = S[k + 1];
            std::string pulse = "load pulse " + std::to_string(k + 1);
            if (end <= start) {
                throw DataError(pulse + " ends at sample " + std::to_string(end) + ", not after it starts at sample " +
                                std::to_string(start) + "; a recording must begin with a rest");
            }
            if (len_fall_of(end - start) < 2) {
                throw DataError(pulse + " is only " + std::to_string(end - start) +
                                " sample(s) long; at least 3 samples are needed to fit it");
            }
            if (next < 5 || next - start < 2) {
                throw DataError("cycle " + std::to_string(k + 1) + " (samples " + std::to_string(start) + " to " +
                                std::to_string(next) + ") is too short to fit");
            }
        }
    }

    std::vector<double> simulate(SampleRange w, double r0, std::vector<double> r, std::vector<double> c) const {
        std::vector<double> out(w.size());
        simulate_rc(t() + w.a, i() + w.a, w.size(), r0, r.data(), c.data(), r.size(), out.data(), nullptr);
        return out;
    }

    std::vector<double> minus(SampleRange w, const std::vector<double>& model) const {
        std::vector<double> e(w.size());
        for (std::size_t k = 0; k < e.size(); ++k) e[k] = y()[w.a + k] - model[k];
        return e;
    }

    void select(SampleRange w) { obs_.window(w); }

    void initial_value_search() {
        const auto& S = r_.ind_slice;
        const auto& L = r_.idx_load;
        const long long len_fall = len_fall_of(L[0] - S[0]);
        SampleRange w{static_cast<std::size_t>(S[0]), static_cast<std::size_t>(S[0] + len_fall)};
        obs_.search_started(len_fall);
        select(w);
        double rms_min = 10.0;
        bool rms_min_is_int = true;
        bool accepted = false;
        std::array<double, 3> best{};
        for (double Ci : {1.0, 10.0, 50.0, 100.0, 500.0, 1000.0, 2000.0, 4000.0}) {
            info("\nInitial value search...");
            obs_.fit_starting(FitKind::Search, {0.5, 0.05, Ci}, Ci);
            LsqResult res;
            try {
                res = fit_model1(t() + w.a, i() + w.a, y() + w.a, w.size(), {0.5, 0.05, Ci}, 0.1, kSearchTol,
                                 s_.solver_verbose, printer());
            } catch (const DataError& e) {
                flush_report();
                throw DataError("initial-value search with C1 = " + py_repr(Ci) + " F: " + e.what());
            }
            flush_report();
            auto yout = simulate(w, res.x[0], {res.x[1]}, {res.x[2]});
            auto err = minus(w, yout);
            const double rms_curr = rms(err.data(), err.size());
            obs_.fitted(FitKind::Search, res, yout, err, rms_curr);
            if (rms_curr < rms_min) {
                rms_min = rms_curr;
                rms_min_is_int = false;
                accepted = true;
                best = {res.x[0], res.x[1], res.x[2]};
                obs_.search_accepted(rms_min);
                info("Init params = " + vector_text(res.x.data(), 3));
            }
            info("Min. rms_err = " + (rms_min_is_int ? std::string("10000") : mv_text(rms_min)) + " mV");
        }
        if (accepted) {
            warm_.has_init = true;
            warm_.init = best;
        } else {
            if (!warm_.has_init) {
                throw DataError(
                    "the initial-value search on the first pulse found no start values: no fit reached an RMS "
                    "error below 10 V (the pulse data may be corrupt)");
            }
            warning(s_.label +
                    ": the initial-value search found no start values; the search result of the previous "
                    "recording is used");
        }
        for (double x : warm_.init)
            if (!std::isfinite(x)) throw DataError("the start values of the initial-value search cannot be read");

        // Check of the search result over the whole first cycle.
        SampleRange full{static_cast<std::size_t>(S[0]), static_cast<std::size_t>(S[1])};
        select(full);
        auto yout = simulate(full, warm_.init[0], {warm_.init[1]}, {warm_.init[2]});
        auto err = minus(full, yout);
        const double r = rms(err.data(), err.size());
        obs_.search_checked(yout, err, r);
        info("rms_err_model1 = " + mv_text(r) + " mV\n");
    }

    // The fitting starts: the clock, the cycle count, every window checked.
    long long start_fitting(double& start_time) {
        const long long cycles = static_cast<long long>(r_.ind_slice.size()) - 2;
        r_.cycles = cycles;
        start_time = obs_.now();
        obs_.fitting_started(start_time, cycles);
        check_windows();
        return cycles;
    }

    void fit() {
        const auto& S = r_.ind_slice;
        const auto& L = r_.idx_load;
        double start_time = 0.0;
        const long long cycles = start_fitting(start_time);
        obs_.progress(0, cycles);
        obs_.print("Total cycles = " + std::to_string(cycles) + "\n");

        initial_value_search();

        // SOC at the middle of every pulse, from the signed charge.
        std::vector<std::size_t> mids;
        for (long long c = 1; c <= cycles; ++c) mids.push_back(static_cast<std::size_t>((S[c - 1] + 1 + L[c - 1]) / 2));
        const std::vector<double> q_mAh = signed_charge_all();
        const double total_mAh = r_.cum_mAh->back();

        const bool one = s_.model == CircuitModel::OneRC, two = s_.model == CircuitModel::TwoRC;
        BoundTally bounds;
        const std::vector<std::string> names1 = {"R0", "R1", "C1"}, names2 = {"R2", "C2"};
        for (long long c = 1; c <= cycles; ++c) {
            info("\nProcessing cycle " + std::to_string(c) + " / " + std::to_string(cycles) + " ...");
            const double start_time_i = obs_.now();
            const long long len_fall = len_fall_of(L[c - 1] - S[c - 1]);
            obs_.cycle_started(c, start_time_i, len_fall);
            CycleRow row;
            row.cycle = c;
            row.pulse_first = static_cast<std::size_t>(S[c - 1] + 1);
            row.pulse_last = static_cast<std::size_t>(L[c - 1]);
            row.first_window = {static_cast<std::size_t>(S[c - 1]), static_cast<std::size_t>(S[c - 1] + len_fall)};
            row.full_window = {static_cast<std::size_t>(S[c - 1]), static_cast<std::size_t>(S[c])};
            row.soc_mid = 1.0 + q_mAh[mids[static_cast<std::size_t>(c - 1)]] / total_mAh;
            row.current_mean = mean(i() + row.pulse_first, row.pulse_last + 1 - row.pulse_first);
            const SampleRange w1 = row.first_window;
            select(w1);

            std::array<double, 3> x0;
            if (warm_.has_first) {
                x0 = warm_.first;
            } else {
                x0 = warm_.init;
                info("Starting with init values");
            }
            obs_.fit_starting(FitKind::First, {x0[0], x0[1], x0[2]}, 0.0);
            LsqResult r1;
            try {
                r1 = fit_model1(t() + w1.a, i() + w1.a, y() + w1.a, w1.size(), x0, 0.1, kFirstTol, s_.solver_verbose,
                                printer());
            } catch (const DataError& e) {
                flush_report();
                throw DataError("cycle " + std::to_string(c) + ", 1st pass: " + e.what());
            }
            flush_report();
            const double gr0 = r1.x[0], gr1 = r1.x[1], gc1 = r1.x[2];
            warm_.has_first = std::isfinite(gr0) && std::isfinite(gr1) && std::isfinite(gc1);
            warm_.first = {gr0, gr1, gc1};
            if (r1.status == 0) {
                row.budget_stop = true;
                warning(s_.label + ": cycle " + std::to_string(c) + ": the 1st pass stopped on its budget of " +
                        std::to_string(r1.nfev) + " evaluations before converging; its result is used");
            }
            bounds.add(r1, names1, row.at_bound);
            auto yout1 = simulate(w1, gr0, {gr1}, {gc1});
            auto err1 = minus(w1, yout1);
            const double rms_lsq_1 = rms(err1.data(), err1.size());
            obs_.fitted(FitKind::First, r1, yout1, err1, rms_lsq_1);
            info("---- 1st pass ---");
            info("params 1st = " + vector_text(r1.x.data(), 3));
            info("rms_err = " + mv_text(rms_lsq_1) + " mV\n");

            const long long si = S[c];
            row.batt_val = mean(v() + (si - 5), 4);

            if (one) {
                const double stop_time_i = obs_.now();
                row.stop_time = stop_time_i;
                row.runtime = py_repr((stop_time_i - start_time_i) / 60.0) + " minutes";
                row.r0tau = {py_repr(gr0), py_repr(gr1 * gc1)};
                row.rms = rms_lsq_1;
                row.params = {gr0, gr1, gc1};
                row.tau = {gr1 * gc1};
                row.determined = {true};
                row.lsq_yout = std::move(yout1);
                row.yout_window = w1;
            }
            if (two) {
                const SampleRange w2 = row.full_window;
                select(w2);
                std::array<double, 2> x02 = warm_.has_second ? warm_.second : std::array<double, 2>{1.0, 100.0};
                obs_.fit_starting(FitKind::Second, {x02[0], x02[1]}, 0.0);
                LsqResult r2;
                try {
                    r2 = fit_model2_branch(t() + w2.a, i() + w2.a, y() + w2.a, w2.size(), gr0, gr1, gc1, x02, 1.0,
                                           kSecondTol, s_.solver_verbose, printer());
                } catch (const DataError& e) {
                    flush_report();
                    throw DataError("cycle " + std::to_string(c) + ", 2nd pass: " + e.what());
                }
                flush_report();
                const double r2v = r2.x[0], c2v = r2.x[1];
                warm_.has_second = std::isfinite(r2v) && std::isfinite(c2v);
                warm_.second = {r2v, c2v};
                if (r2.status == 0) {
                    row.budget_stop = true;
                    warning(s_.label + ": cycle " + std::to_string(c) + ": the 2nd pass stopped on its budget of " +
                            std::to_string(r2.nfev) + " evaluations before converging; its result is used");
                }
                bounds.add(r2, names2, row.at_bound);
                auto yout2 = simulate(w2, gr0, {gr1, r2v}, {gc1, c2v});
                const double stop_time_i = obs_.now();
                row.stop_time = stop_time_i;
                row.params = {gr0, gr1, gc1, r2v, c2v};
                info("--- 2nd Pass ----");
                info("params = " + vector_text(row.params.data(), row.params.size()));
                auto err2 = minus(w2, yout2);
                const double rms_lsq = rms(err2.data(), err2.size());
                obs_.fitted(FitKind::Second, r2, yout2, err2, rms_lsq);
                info("rms_err = " + mv_text(rms_lsq) + " mV");
                row.runtime = py_repr(round1((stop_time_i - start_time_i) / 60.0)) + " minutes";
                row.r0tau = {py_repr(gr0), py_repr(gr1 * gc1), py_repr(r2v * c2v)};
                row.rms = rms_lsq;
                row.tau = {gr1 * gc1, r2v * c2v};
                row.determined = {true, true};
                row.lsq_yout = std::move(yout2);
                row.yout_window = w2;
            }
            if (one || two) {
                obs_.row(row);
                r_.rows.push_back(std::move(row));
            }
            obs_.progress(c, cycles);
        }

        const double stop_time = obs_.now();
        const std::string runtime_total = py_repr(round1((stop_time - start_time) / 60.0)) + " minutes";
        info("Total runtime = " + runtime_total);
        obs_.finished(stop_time, runtime_total);

        for (const auto& h : bounds.hits) {
            const bool upper = h.side > 0;
            warning(s_.label + ": " + h.name + " ended on its " + (upper ? "upper" : "lower") + " bound " +
                    py_repr(upper ? kFitUpperBound : kFitLowerBound) + " in " + std::to_string(h.count) + " of " +
                    std::to_string(cycles) + " cycles; the pulses do not determine it there (the value is used)");
        }
    }

    // ---- The joint method -----------------------------------------------------

    // Signed charge in mAh from sample 0 to every sample.
    // The first relaxed point has no pulse fit before it to take its level from: its level is that
    // of a line through its rest's last quarter, so the one reading's noise stays out of the curve.
    // Returns what separates the reading from that level.
    double first_point_noise() const {
        if (r_.ind_slice.empty() || r_.ind_slice[0] < 3) return 0.0;
        const auto e = static_cast<std::size_t>(r_.ind_slice[0] - 2);
        if (e >= r_.samples) return 0.0;
        double imax = 0.0;
        for (std::size_t k = 0; k < r_.samples; ++k) imax = std::max(imax, std::fabs(i()[k]));
        std::size_t a = e;
        while (a > 0 && std::fabs(i()[a - 1]) <= 1e-3 * imax) --a;
        return v()[e] - relaxed_voltage(t() + a, v() + a, e - a + 1);
    }

    std::vector<double> signed_charge_all() const { return signed_charge_mAh(t(), i(), r_.samples); }

    // The joint method's state over its passes: the SOC per sample, the OCV
    // points' overvoltages, the fits and windows per cycle.
    static constexpr int kJointMaxPasses = 4;
    struct JointState {
        int nb = 1;
        long long cycles = 0;
        std::vector<double> soc_t;
        std::vector<double> over, ocv_pts;
        std::vector<JointFit> fits;
        std::vector<std::size_t> window_start;
        std::vector<std::vector<double>> last_shape;
        std::vector<double> ocv_t, shape;
        CubicSpline spline;
    };
    // What one pass hands from a cycle to the next.
    struct JointPass {
        std::vector<double> new_over, u0;
        bool prev_refit = false;
        const JointFit* prev_fit = nullptr;
        std::size_t prev_a = 0;
    };

    void fit_joint() {
        double start_time = 0.0;
        const long long cycles = start_fitting(start_time);
        if (s_.model == CircuitModel::Other) throw DataError("the joint method fits one or two RC branches");
        JointState js;
        js.nb = s_.model == CircuitModel::TwoRC ? 2 : 1;
        js.cycles = cycles;
        const long long total_steps = cycles * kJointMaxPasses;
        obs_.progress(0, total_steps);

        const std::size_t N = r_.samples;
        js.soc_t = signed_charge_all();
        const double Q = r_.cum_mAh->back();
        for (auto& x : js.soc_t) x = 1.0 + x / Q;
        const std::size_t m = r_.relaxed_soc.size();  // rests; point j is at sample S[j] - 2
        js.over.assign(m, 0.0);
        if (m > 0) js.over[0] = first_point_noise();
        js.ocv_pts.resize(m);
        js.fits.resize(static_cast<std::size_t>(cycles));
        js.window_start.resize(static_cast<std::size_t>(cycles));
        js.last_shape.resize(static_cast<std::size_t>(cycles));
        js.ocv_t.resize(N);
        js.shape.resize(N);
        if (s_.edge_timing) edge_ = *s_.edge_timing;
        r_.edge_timing = edge_.text();
        const int pass = joint_passes(js);
        // The final curve: through the relaxed points with the branches' remaining voltage removed.
        joint_curve(js);
        obs_.progress(total_steps, total_steps);
        r_.ocv_passes = pass;
        r_.relaxed_v = js.ocv_pts;
        js.spline.eval(r_.SOC.data(), r_.SOC.size(), r_.OCV_3rd.data());

        std::vector<int> undetermined(static_cast<std::size_t>(js.nb), 0);
        const int budget = joint_rows(js, start_time, undetermined);
        const double stop_time = obs_.now();
        const std::string runtime_total = py_repr(round1((stop_time - start_time) / 60.0)) + " minutes";
        info("Total runtime = " + runtime_total);
        obs_.finished(stop_time, runtime_total);
        joint_warnings(js, pass, undetermined, budget);
        joint_medians(js, undetermined);
    }

    // The OCV curve through the relaxed points less their overvoltages.
    void joint_curve(JointState& js) {
        for (std::size_t j = 0; j < js.ocv_pts.size(); ++j) js.ocv_pts[j] = r_.relaxed_v_measured[j] - js.over[j];
        js.spline = CubicSpline(std::vector<double>(r_.relaxed_soc.rbegin(), r_.relaxed_soc.rend()),
                                std::vector<double>(js.ocv_pts.rbegin(), js.ocv_pts.rend()));
    }

    // Every cycle fitted against the current OCV curve, the curve corrected by
    // what the fits leave at the relaxed points, until the points stop moving.
    // Returns the number of passes made.
    int joint_passes(JointState& js) {
        constexpr double kOcvTolerance = 0.05e-3;  // V
        const std::size_t m = js.over.size();
        int pass = 0;
        for (; pass < kJointMaxPasses; ++pass) {
            joint_curve(js);
            JointPass jp;
            jp.new_over.assign(m, 0.0);
            if (m > 0) jp.new_over[0] = js.over[0];
            jp.u0.assign(static_cast<std::size_t>(js.nb), 0.0);
            for (long long c = 1; c <= js.cycles; ++c) joint_cycle(js, jp, pass, c);
            double moved = 0.0;
            for (std::size_t j = 0; j < m; ++j) moved = std::max(moved, std::fabs(jp.new_over[j] - js.over[j]));
            info("joint pass " + std::to_string(pass + 1) + ": the OCV points moved by up to " +
                 py_repr(moved * 1000.0) + " mV");
            js.over = jp.new_over;
            if (moved < kOcvTolerance) {
                ++pass;
                break;
            }
        }
        return pass;
    }

    // Cycle c of a pass: its window, the voltage the previous cycle hands over,
    // the OCV's shape along the pulse, the fit (where its inputs moved), the
    // overvoltage at its relaxed point.
    void joint_cycle(JointState& js, JointPass& jp, int pass, long long c) {
        const auto& S = r_.ind_slice;
        const auto& L = r_.idx_load;
        const std::size_t N = r_.samples;
        const int nb = js.nb;
        // The window: the second half of the rest before the pulse (its level is
        // the open-circuit voltage before the pulse), the pulse and the rest after it.
        const std::size_t rest_end = static_cast<std::size_t>(S[c - 1]);
        const std::size_t rest_begin = c >= 2 ? static_cast<std::size_t>(L[c - 2]) + 1 : 0;
        const std::size_t a = rest_end - (rest_end - std::min(rest_begin, rest_end)) / 2;
        const std::size_t b = static_cast<std::size_t>(S[c]);
        const std::size_t pulse_end = static_cast<std::size_t>(L[c - 1]) + 1;
        js.window_start[static_cast<std::size_t>(c - 1)] = a;
        if (c >= 2) {
            // What the previous cycle's branches hold at this window's start.
            const TimedSeries hs = timed_series(t() + jp.prev_a, i() + jp.prev_a, v() + jp.prev_a, nullptr,
                                                a - jp.prev_a + 1, cycle_edges(c - 1, jp.prev_a, a + 1), edge_);
            const auto bv = branch_voltages(hs.t.data(), hs.i.data(), hs.points(), jp.prev_fit->r, jp.prev_fit->tau,
                                            jp.prev_fit->u0);
            for (int br = 0; br < nb; ++br)
                jp.u0[static_cast<std::size_t>(br)] = bv[static_cast<std::size_t>(br)].back();
        }
        // How the open-circuit voltage moves along the pulse, from the curve.
        const std::size_t shape_end = std::min(pulse_end, N - 1);
        js.spline.eval(js.soc_t.data() + a, shape_end + 1 - a, js.ocv_t.data() + a);
        const double o0 = js.ocv_t[a], o1 = js.ocv_t[shape_end];
        const bool use_shape = std::fabs(o1 - o0) > 1e-9;
        if (use_shape)
            for (std::size_t k = a; k < b; ++k)
                js.shape[k] = k >= pulse_end ? 1.0 : std::clamp((js.ocv_t[k] - o0) / (o1 - o0), -0.5, 1.5);
        // The window's samples, with the pulse's current steps timed as edge_ says.
        TimedSeries ts = timed_series(t() + a, i() + a, v() + a, use_shape ? js.shape.data() + a : nullptr, b - a,
                                      cycle_edges(c, a, b), edge_);
        if (use_shape && !edge_.linear) timed_shape(js, ts, a, pulse_end);
        JointWindow w;
        w.t = ts.t.data();
        w.i = ts.i.data();
        w.y = ts.y.data();
        w.n = ts.points();
        w.shape = use_shape ? ts.shape.data() : nullptr;
        w.weight = edge_.linear ? nullptr : ts.weight.data();
        w.u0 = jp.u0;
        w.pulse_last = ts.point_of[static_cast<std::size_t>(L[c - 1]) - a];
        JointFit& fit = js.fits[static_cast<std::size_t>(c - 1)];
        // A later pass refits a cycle only where its inputs moved: the curve's shape
        // along the pulse (by more than 1 % of the pulse's OCV change) or the voltage
        // the previous cycle hands over.
        std::vector<double> cur_shape;
        if (use_shape)
            cur_shape.assign(js.shape.begin() + static_cast<std::ptrdiff_t>(a),
                             js.shape.begin() + static_cast<std::ptrdiff_t>(std::min(pulse_end, b)));
        auto& old_shape = js.last_shape[static_cast<std::size_t>(c - 1)];
        bool unchanged = pass > 0 && !jp.prev_refit && cur_shape.size() == old_shape.size();
        for (std::size_t k = 0; unchanged && k < cur_shape.size(); ++k)
            unchanged = std::fabs(cur_shape[k] - old_shape[k]) < 1e-2;
        old_shape = std::move(cur_shape);
        jp.prev_refit = !unchanged;
        if (!unchanged) {
            const std::vector<double> warm = pass > 0 ? fit.tau : std::vector<double>{};
            const ReducedWindow reduced = reduce_window(w, ts.point_of[static_cast<std::size_t>(S[c - 1]) + 1 - a]);
            JointWindow rw = reduced.window();
            rw.u0 = jp.u0;
            try {
                fit = fit_cycle_joint(w, nb, warm, &rw);
            } catch (const DataError& e) {
                throw DataError("cycle " + std::to_string(c) + ", joint fit: " + e.what());
            }
            if (!edge_.linear) {
                // the response and its error at the samples (the inserted points are no measurements)
                fit.model = ts.at_samples(fit.model);
                double ss = 0.0;
                for (std::size_t k = 0; k < fit.model.size(); ++k)
                    ss += (v()[a + k] - fit.model[k]) * (v()[a + k] - fit.model[k]);
                fit.rms = std::sqrt(ss / static_cast<double>(fit.model.size()));
            }
        }
        jp.prev_fit = &fit;
        jp.prev_a = a;
        // The relaxed point's overvoltage: what separates the measured voltage there from
        // the open-circuit level the fit found after the pulse (the branches' remaining
        // voltage and R0 times the rest current, with the sample's noise averaged out).
        const std::size_t relaxed_at = b - 2;
        jp.new_over[static_cast<std::size_t>(c)] = v()[relaxed_at] - fit.ocv_after;
        obs_.progress(pass * js.cycles + c, js.cycles * kJointMaxPasses);
    }

    // The OCV's course along a window whose current steps are timed: the SOC at every point from
    // the charge of the held currents (the samples' trapezoids would count half a sample's charge
    // at each edge sample too early or too late, which the fit would take up in R0).
    void timed_shape(const JointState& js, TimedSeries& ts, std::size_t a, std::size_t pulse_end) const {
        const std::vector<double> q = signed_charge_mAh(ts.t.data(), ts.i.data(), ts.points());
        const double Q = r_.cum_mAh->back();
        std::vector<double> soc(ts.points()), ocv(ts.points());
        for (std::size_t p = 0; p < soc.size(); ++p) soc[p] = js.soc_t[a] + q[p] / Q;
        js.spline.eval(soc.data(), soc.size(), ocv.data());
        if (ts.point_of.empty() || pulse_end <= a) return;
        const std::size_t end_sample = std::min(pulse_end - a, ts.point_of.size() - 1);
        const double o0 = ocv[0], o1 = ocv[ts.point_of[end_sample]];
        if (!(std::fabs(o1 - o0) > 1e-9)) return;
        const std::size_t first_after = pulse_end - a < ts.point_of.size() ? ts.point_of[pulse_end - a] : ts.points();
        for (std::size_t p = 0; p < soc.size(); ++p)
            ts.shape[p] = p >= first_after ? 1.0 : std::clamp((ocv[p] - o0) / (o1 - o0), -0.5, 1.5);
    }

    // The current steps of cycle c's pulse within the samples a .. b-1, as offsets from a: from
    // the last rest sample to the first loaded one, from the last loaded sample to the rest.
    std::vector<std::size_t> cycle_edges(long long c, std::size_t a, std::size_t b) const {
        std::vector<std::size_t> e;
        for (const std::int64_t k : {r_.ind_slice[c - 1], r_.idx_load[c - 1]}) {
            const auto ks = static_cast<std::size_t>(k);
            if (k >= 0 && ks >= a && ks + 1 < b) e.push_back(ks - a);
        }
        return e;
    }

    // One row per cycle from its fit; counts the cycles that leave each branch
    // undetermined and returns how many fits stopped on their budget.
    int joint_rows(const JointState& js, double start_time, std::vector<int>& undetermined) {
        const auto& S = r_.ind_slice;
        const auto& L = r_.idx_load;
        const int nb = js.nb;
        std::vector<std::size_t> mids;
        for (long long c = 1; c <= js.cycles; ++c)
            mids.push_back(static_cast<std::size_t>((S[c - 1] + 1 + L[c - 1]) / 2));
        int budget = 0;
        for (long long c = 1; c <= js.cycles; ++c) {
            const JointFit& fit = js.fits[static_cast<std::size_t>(c - 1)];
            CycleRow row;
            row.cycle = c;
            row.pulse_first = static_cast<std::size_t>(S[c - 1] + 1);
            row.pulse_last = static_cast<std::size_t>(L[c - 1]);
            row.full_window = {js.window_start[static_cast<std::size_t>(c - 1)], static_cast<std::size_t>(S[c])};
            row.first_window = row.full_window;
            row.yout_window = row.full_window;
            row.soc_mid = js.soc_t[mids[static_cast<std::size_t>(c - 1)]];
            row.soc_end = js.soc_t[row.pulse_last];
            row.current_mean = mean(i() + row.pulse_first, row.pulse_last + 1 - row.pulse_first);
            row.rms = fit.rms;
            row.params = {fit.r0};
            for (int br = 0; br < nb; ++br) {
                const double r = fit.r[static_cast<std::size_t>(br)], tau = fit.tau[static_cast<std::size_t>(br)];
                row.params.push_back(r);
                row.params.push_back(r > 0.0 ? tau / r : std::numeric_limits<double>::quiet_NaN());
                if (!fit.determined[static_cast<std::size_t>(br)]) ++undetermined[static_cast<std::size_t>(br)];
            }
            row.tau = fit.tau;
            row.determined = fit.determined;
            row.r0_se = fit.r0_se;
            row.r_se = fit.r_se;
            row.tau_se = fit.tau_se;
            row.unc = fit.unc;
            row.lsq_yout = fit.model;
            row.batt_val = mean(v() + (S[c] - 5), 4);
            row.budget_stop = fit.status == 0;
            row.at_bound = fit.at_bound;
            if (row.budget_stop) ++budget;
            row.stop_time = obs_.now();
            row.runtime = py_repr(round1((row.stop_time - start_time) / 60.0)) + " minutes";
            std::vector<std::string> r0tau = {py_repr(fit.r0)};
            for (double tau : fit.tau) r0tau.push_back(py_repr(tau));
            row.r0tau = r0tau;
            obs_.row(row);
            r_.rows.push_back(std::move(row));
        }
        return budget;
    }

    void joint_warnings(const JointState& js, int pass, const std::vector<int>& undetermined, int budget) {
        const long long cycles = js.cycles;
        if (pass == kJointMaxPasses && cycles > 0)
            warning(s_.label + ": the relaxation-corrected OCV curve still moved after " +
                    std::to_string(kJointMaxPasses) + " passes; the last pass is used");
        for (int br = 0; br < js.nb; ++br) {
            const int u = undetermined[static_cast<std::size_t>(br)];
            if (u == 0) continue;
            const std::string b = std::to_string(br + 1);
            warning(s_.label + ": tau" + b + " is not determined in " + std::to_string(u) + " of " +
                    std::to_string(cycles) +
                    " cycles (shorter than two samples or longer than half the rest after the pulse); "
                    "those cycles' R" +
                    b + ", tau" + b + " and C" + b + " are left out of the medians");
        }
        if (budget > 0)
            warning(s_.label + ": " + std::to_string(budget) + " of " + std::to_string(cycles) +
                    " joint fits stopped on their evaluation budget; their result is used");
    }

    // Medians over the values the cycles determine; a branch that no cycle
    // determines gets the median over all cycles, with a warning.
    void joint_medians(const JointState& js, const std::vector<int>& undetermined) {
        const int nb = js.nb;
        const long long cycles = js.cycles;
        const std::size_t nparams = 1 + 2 * static_cast<std::size_t>(nb);
        std::vector<std::vector<double>> cols(nparams), all(nparams);
        for (const auto& row : r_.rows) {
            for (std::size_t k = 0; k < nparams; ++k) {
                const std::size_t br = k >= 1 ? (k - 1) / 2 : 0;
                const bool ok = k == 0 || row.determined[br];
                cols[k].push_back(ok ? row.params[k] : std::numeric_limits<double>::quiet_NaN());
                all[k].push_back(row.params[k]);
            }
        }
        for (int br = 0; br < nb && cycles > 0; ++br) {
            if (undetermined[static_cast<std::size_t>(br)] < cycles) continue;
            for (std::size_t k : {static_cast<std::size_t>(1 + 2 * br), static_cast<std::size_t>(2 + 2 * br)})
                cols[k] = all[k];
            const std::string b = std::to_string(br + 1);
            warning(s_.label + ": no cycle determines branch " + b +
                    " (the rests are too short for its time "
                    "constant); its medians over all cycles are written, a rough estimate");
        }
        column_mean_median(cols, r_.mean, r_.median);
    }

    void summarise() {
        const std::size_t nparams = s_.model == CircuitModel::TwoRC ? 5 : 3;
        std::vector<std::vector<double>> cols(nparams);
        for (const auto& row : r_.rows)
            for (std::size_t k = 0; k < nparams; ++k) cols[k].push_back(row.params[k]);
        column_mean_median(cols, r_.mean, r_.median);
    }
};

}  // namespace

RecordingResult process_recording(const RecordingColumns& in, const PipelineSettings& settings, WarmStart& warm,
                                  PipelineObserver& observer) {
    return Run(in, settings, warm, observer).go();
}

std::string params_file_text(long long temperature, const RecordingResult& r) {
    // |temperature| <= 9e15 (the reader's limit): exact as a double
    return params_file_text(static_cast<double>(temperature), r.charge_Ah(), r.median, r.SOC, r.OCV_3rd);
}

}  // namespace ecm
