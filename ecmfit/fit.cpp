// Per-pulse fitting: the initial-value search, the first and second pass per
// cycle, the result rows and the progress report.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "ecmfit/core/circuit.hpp"
#include "ecmfit/core/fitting.hpp"
#include "ecmfit/core/stats.hpp"
#include "ecmfit/fit_result.hpp"
#include "ecmfit/pyface.hpp"
#include "ecmfit/steps.hpp"

namespace ecmpy {

namespace {

constexpr double kLowerBound = 1e-4;
constexpr double kUpperBound = 50000.0;

struct Window {
    std::size_t a = 0, b = 0;  // samples a .. b-1
    std::size_t size() const { return b - a; }
};

// Publishes the fitting window: ydata, t_vec, iload_vec and xdata (the same vector).
void select_window(py::module_& m, const Recording& rec, Window w) {
    m.attr("ydata") = to_array(rec.ocv_diff.data() + w.a, w.size());
    m.attr("t_vec") = to_array(rec.t.data() + w.a, w.size());
    m.attr("iload_vec") = to_array(rec.iload.data() + w.a, w.size());
    m.attr("xdata") = m.attr("iload_vec");
}

long long len_fall_of(long long pulse_len) { return static_cast<long long>(static_cast<double>(pulse_len) * 0.7); }

std::vector<double> simulate_window(const Recording& rec, Window w, double r0, const std::vector<double>& r,
                                    const std::vector<double>& c) {
    std::vector<double> y(w.size());
    ecm::simulate_rc(rec.t.data() + w.a, rec.iload.data() + w.a, w.size(), r0, r.data(), c.data(), r.size(),
                     y.data(), nullptr);
    return y;
}

std::vector<double> minus(const Recording& rec, Window w, const std::vector<double>& model) {
    std::vector<double> e(w.size());
    for (std::size_t k = 0; k < e.size(); ++k) e[k] = rec.ocv_diff[w.a + k] - model[k];
    return e;
}

double rms_of(const std::vector<double>& e) { return ecm::rms(e.data(), e.size()); }

std::string mv_text(double rms_v) { return float_text(rms_v * 1000.0); }

// The solution vector of an earlier fit result, if it can be read with the expected length.
bool solution_of(py::module_& m, const char* name, std::size_t len, std::vector<double>& x) {
    try {
        if (!py::hasattr(m, name)) return false;
        auto a = m.attr(name).attr("x").cast<py::array_t<double, py::array::c_style | py::array::forcecast>>();
        if (static_cast<std::size_t>(a.size()) != len) return false;
        x.assign(a.data(), a.data() + a.size());
        for (double v : x)
            if (!std::isfinite(v)) return false;
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    } catch (py::cast_error&) {
        return false;
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
    void add(const ecm::LsqResult& r, const std::vector<std::string>& names) {
        for (std::size_t k = 0; k < names.size() && k < static_cast<std::size_t>(r.active_mask.size()); ++k) {
            int side = r.active_mask[k];
            if (side == 0) continue;
            bool found = false;
            for (auto& h : hits)
                if (h.name == names[k] && h.side == side) ++h.count, found = true;
            if (!found) hits.push_back({names[k], side, 1});
        }
    }
};

[[noreturn]] void data_error(const Recording& rec, const std::string& what) {
    raise(PyExc_ValueError, rec.infile + ": " + what);
}

}  // namespace

void fit_pulses(py::module_& m, const RunConfig& cfg, Recording& rec) {
    const auto& S = rec.ind_slice;
    const auto& L = rec.idx_load;
    const long long n = static_cast<long long>(S.size());
    const long long cycles = n - 2;
    const bool model1 = cfg.model == "model1";
    const bool model2 = cfg.model == "model2";
    py::object clock = py::module_::import("time").attr("time");
    py::object round = py::module_::import("builtins").attr("round");
    auto time_now = [&clock] { return clock().cast<double>(); };
    // The solver's report of one fit is collected and written to sys.stdout in one piece.
    std::string report;
    auto printer = [&report](const std::string& s) { report += s; };
    auto flush_report = [&report] {
        if (!report.empty()) write_stdout(report);
        report.clear();
    };

    // Every window must exist before any fitting starts.
    if (n < 2 || L.empty()) {
        data_error(rec, "no complete load pulse found (" + std::to_string(L.size()) +
                            " pulse end(s) after " + std::to_string(std::max<long long>(n - 1, 0)) +
                            " rest(s)); the first pulse is needed for the start values");
    }
    if (static_cast<long long>(L.size()) < cycles) {
        data_error(rec, "found " + std::to_string(L.size()) + " pulse end(s) for " + std::to_string(cycles) +
                            " pulse(s) to fit; every pulse must end (current back to rest) before the next rest ends");
    }
    for (long long k = 0; k < std::max<long long>(cycles, 1); ++k) {
        long long start = S[k], end = L[k], next = S[k + 1];
        std::string pulse = "load pulse " + std::to_string(k + 1);
        if (end <= start) {
            data_error(rec, pulse + " ends at sample " + std::to_string(end) + ", not after it starts at sample " +
                                std::to_string(start) + "; a recording must begin with a rest");
        }
        if (len_fall_of(end - start) < 2) {
            data_error(rec, pulse + " is only " + std::to_string(end - start) +
                                " sample(s) long; at least 3 samples are needed to fit it");
        }
        if (next < 5 || next - start < 2) {
            data_error(rec, "cycle " + std::to_string(k + 1) + " (samples " + std::to_string(start) + " to " +
                                std::to_string(next) + ") is too short to fit");
        }
    }

    py::list results;
    m.attr("results") = results;
    print_line("Total cycles = " + std::to_string(cycles));

    // Initial-value search on the first pulse.
    {
        Window w{static_cast<std::size_t>(S[0]), static_cast<std::size_t>(S[0] + len_fall_of(L[0] - S[0]))};
        m.attr("len_fall") = len_fall_of(L[0] - S[0]);
        select_window(m, rec, w);
        double rms_min = 10.0;
        bool rms_min_is_int = true;
        m.attr("rms_min") = 10;
        const std::vector<double> Cinit = {1, 10, 50, 100, 500, 1000, 2000, 4000};
        m.attr("Cinit") = py::cast(std::vector<int>{1, 10, 50, 100, 500, 1000, 2000, 4000});
        bool accepted = false;
        for (double Ci : Cinit) {
            log_info("\nInitial value search...");
            m.attr("params_start") = py::make_tuple(0.5, 0.05, static_cast<int>(Ci));
            ecm::LsqResult res;
            try {
                res = ecm::fit_model1(rec.t.data() + w.a, rec.iload.data() + w.a, rec.ocv_diff.data() + w.a,
                                      w.size(), {0.5, 0.05, Ci}, 0.1, 1e-8, 2, printer);
            } catch (const ecm::DataError& e) {
                flush_report();
                data_error(rec, std::string("initial-value search with C1 = ") + float_text(Ci) + " F: " + e.what());
            }
            flush_report();
            py::object res_init = to_optimize_result(res);
            m.attr("res_init") = res_init;
            auto yout = simulate_window(rec, w, res.x[0], {res.x[1]}, {res.x[2]});
            auto err = minus(rec, w, yout);
            double rms_curr = rms_of(err);
            m.attr("lsq_yout") = to_array(yout);
            m.attr("error_cur") = to_array(err);
            m.attr("rms_curr") = rms_curr;
            if (rms_curr < rms_min) {
                rms_min = rms_curr;
                rms_min_is_int = false;
                m.attr("rms_min") = rms_min;
                m.attr("res_opt_init") = res_init;
                accepted = true;
                log_info("Init params = " + vector_text(res.x));
            }
            log_info("Min. rms_err = " + (rms_min_is_int ? std::string("10000") : mv_text(rms_min)) + " mV");
        }
        if (!accepted) {
            if (!py::hasattr(m, "res_opt_init")) {
                data_error(rec, "the initial-value search on the first pulse found no start values: no fit "
                                "reached an RMS error below 10 V (the pulse data may be corrupt)");
            }
            log_warning(rec.infile + ": the initial-value search found no start values; the search result of "
                                     "the previous recording is used");
        }
    }

    std::vector<double> init_x;
    if (!solution_of(m, "res_opt_init", 3, init_x)) {
        data_error(rec, "the start values of the initial-value search cannot be read");
    }

    // Check of the search result over the whole first cycle.
    {
        Window w{static_cast<std::size_t>(S[0]), static_cast<std::size_t>(S[1])};
        select_window(m, rec, w);
        auto yout = simulate_window(rec, w, init_x[0], {init_x[1]}, {init_x[2]});
        auto err = minus(rec, w, yout);
        double r = rms_of(err);
        m.attr("lsq_yout_full") = to_array(yout);
        m.attr("error_lsq_full") = to_array(err);
        m.attr("rms_lsq_full") = r;
        log_info("rms_err_model1 = " + mv_text(r) + " mV\n");
    }

    // One result row: RMS error, R0Tau, run time, fit_params, [t_vec, lsq_yout], batt_val.
    auto append_row = [&](double rms, const py::tuple& R0Tau, const std::string& runtime, const py::list& fit_params,
                          double batt_val, std::vector<double> params) {
        m.attr("runtime") = runtime;
        m.attr("R0Tau") = R0Tau;
        m.attr("batt_val") = batt_val;
        py::list row;
        row.append(rms);
        row.append(R0Tau);
        row.append(runtime);
        row.append(fit_params);
        row.append(py::list(py::make_tuple(m.attr("t_vec"), m.attr("lsq_yout"))));
        row.append(batt_val);
        results.append(row);
        rec.rows.push_back({rms, std::move(params), batt_val});
    };

    BoundTally bounds;
    const std::vector<std::string> names1 = {"R0", "R1", "C1"}, names2 = {"R2", "C2"};
    for (long long i = 1; i <= cycles; ++i) {
        log_info("\nProcessing cycle " + std::to_string(i) + " / " + std::to_string(cycles) + " ...");
        double start_time_i = time_now();
        m.attr("start_time_i") = start_time_i;
        long long len_fall = len_fall_of(L[i - 1] - S[i - 1]);
        m.attr("len_fall") = len_fall;
        Window w1{static_cast<std::size_t>(S[i - 1]), static_cast<std::size_t>(S[i - 1] + len_fall)};
        select_window(m, rec, w1);

        std::vector<double> x0;
        if (!solution_of(m, "res_opt_1", 3, x0)) {
            x0 = init_x;
            log_info("Starting with init values");
        }
        m.attr("params_start") = to_array(x0);
        ecm::LsqResult r1;
        try {
            r1 = ecm::fit_model1(rec.t.data() + w1.a, rec.iload.data() + w1.a, rec.ocv_diff.data() + w1.a, w1.size(),
                                 {x0[0], x0[1], x0[2]}, 0.1, 1e-11, 2, printer);
        } catch (const ecm::DataError& e) {
            flush_report();
            data_error(rec, "cycle " + std::to_string(i) + ", 1st pass: " + e.what());
        }
        flush_report();
        py::object res_opt_1 = to_optimize_result(r1);
        m.attr("res_opt_1") = res_opt_1;
        if (r1.status == 0) {
            log_warning(rec.infile + ": cycle " + std::to_string(i) + ": the 1st pass stopped on its budget of " +
                        std::to_string(r1.nfev) + " evaluations before converging; its result is used");
        }
        bounds.add(r1, names1);
        const double gr0 = r1.x[0], gr1 = r1.x[1], gc1 = r1.x[2];
        m.attr("gr0") = gr0;
        m.attr("gr1") = gr1;
        m.attr("gc1") = gc1;
        auto yout1 = simulate_window(rec, w1, gr0, {gr1}, {gc1});
        py::list fit_params;
        fit_params.append(gr0);
        fit_params.append(gr1);
        fit_params.append(gc1);
        m.attr("fit_params") = fit_params;
        m.attr("lsq_yout") = to_array(yout1);
        auto err1 = minus(rec, w1, yout1);
        double rms_lsq_1 = rms_of(err1);
        m.attr("error_lsq_1") = to_array(err1);
        m.attr("rms_lsq_1") = rms_lsq_1;
        log_info("---- 1st pass ---");
        log_info("params 1st = " + vector_text(r1.x));
        log_info("rms_err = " + mv_text(rms_lsq_1) + " mV\n");

        const long long si = S[i];
        const double batt_val = ecm::mean(rec.v.data() + (si - 5), 4);

        if (model1) {
            double stop_time_i = time_now();
            m.attr("stop_time_i") = stop_time_i;
            std::string runtime = float_text((stop_time_i - start_time_i) / 60.0) + " minutes";
            py::tuple R0Tau = py::make_tuple(float_text(gr0), float_text(gr1 * gc1));
            append_row(rms_lsq_1, R0Tau, runtime, fit_params, batt_val, {gr0, gr1, gc1});
        }
        if (model2) {
            Window w2{static_cast<std::size_t>(S[i - 1]), static_cast<std::size_t>(S[i])};
            select_window(m, rec, w2);
            std::vector<double> x02;
            if (!solution_of(m, "res_opt_2", 2, x02)) x02 = {1.0, 100.0};
            m.attr("params_start") = to_array(x02);
            ecm::LsqResult r2;
            try {
                r2 = ecm::fit_model2_branch(rec.t.data() + w2.a, rec.iload.data() + w2.a,
                                            rec.ocv_diff.data() + w2.a, w2.size(), gr0, gr1, gc1, {x02[0], x02[1]},
                                            1.0, 1e-9, 2, printer);
            } catch (const ecm::DataError& e) {
                flush_report();
                data_error(rec, "cycle " + std::to_string(i) + ", 2nd pass: " + e.what());
            }
            flush_report();
            m.attr("res_opt_2") = to_optimize_result(r2);
            if (r2.status == 0) {
                log_warning(rec.infile + ": cycle " + std::to_string(i) + ": the 2nd pass stopped on its budget of " +
                            std::to_string(r2.nfev) + " evaluations before converging; its result is used");
            }
            bounds.add(r2, names2);
            const double r2v = r2.x[0], c2v = r2.x[1];
            auto yout2 = simulate_window(rec, w2, gr0, {gr1, r2v}, {gc1, c2v});
            m.attr("lsq_yout") = to_array(yout2);
            double stop_time_i = time_now();
            m.attr("stop_time_i") = stop_time_i;
            fit_params.append(r2v);
            fit_params.append(c2v);
            log_info("--- 2nd Pass ----");
            log_info("params = " + vector_text(std::vector<double>{gr0, gr1, gc1, r2v, c2v}));
            auto err2 = minus(rec, w2, yout2);
            double rms_lsq = rms_of(err2);
            m.attr("error_lsq") = to_array(err2);
            m.attr("rms_lsq") = rms_lsq;
            log_info("rms_err = " + mv_text(rms_lsq) + " mV");
            py::object rounded = round((stop_time_i - start_time_i) / 60.0, 1);
            std::string runtime = text(rounded) + " minutes";
            py::tuple R0Tau = py::make_tuple(float_text(gr0), float_text(gr1 * gc1), float_text(r2v * c2v));
            append_row(rms_lsq, R0Tau, runtime, fit_params, batt_val, {gr0, gr1, gc1, r2v, c2v});
        }
    }

    double stop_time = time_now();
    m.attr("stop_time") = stop_time;
    double start_time = m.attr("start_time").cast<double>();
    py::object total = round((stop_time - start_time) / 60.0, 1);
    std::string runtime_total = text(total) + " minutes";
    m.attr("runtime_total") = runtime_total;
    log_info("Total runtime = " + runtime_total);

    for (const auto& h : bounds.hits) {
        const bool upper = h.side > 0;
        const int count = h.count;
        log_warning(rec.infile + ": " + h.name + " ended on its " + (upper ? "upper" : "lower") + " bound " +
                    float_text(upper ? kUpperBound : kLowerBound) + " in " + std::to_string(count) + " of " +
                    std::to_string(cycles) + " cycles; the pulses do not determine it there (the value is used)");
    }
}

}  // namespace ecmpy
