#include "core/extract/result.hpp"

#include <cmath>
#include <utility>

namespace ecm {

namespace {

// The standard errors of a fit, per branch; C = tau / R takes both errors (independent).
void set_errors(PulseFit& p, double r0_se, const std::vector<double>& r_se, const std::vector<double>& tau_se,
                const CircuitUncertainty& unc) {
    if (unc.r_se.size() == p.r.size()) {
        p.unc = unc;
        p.r0_se = unc.r0_se;
        p.r_se = unc.r_se;
        p.tau_se = unc.tau_se;
        p.c_se = unc.c_se;
        return;
    }
    p.unc = CircuitUncertainty::unknown(p.r.size());
    p.r0_se = r0_se;
    for (std::size_t b = 0; b < p.r.size(); ++b) {
        const double rs = b < r_se.size() ? r_se[b] : PulseFit::kNaN;
        const double ts = b < tau_se.size() ? tau_se[b] : PulseFit::kNaN;
        p.r_se.push_back(rs);
        p.tau_se.push_back(ts);
        const double r = p.r[b], tau = p.tau[b];
        p.c_se.push_back(r > 0.0 && tau > 0.0 ? (tau / r) * std::hypot(rs / r, ts / tau) : PulseFit::kNaN);
    }
}

}  // namespace

std::string row_status(const CycleRow& row) {
    std::vector<std::string> parts;
    for (std::size_t b = 0; b < row.determined.size(); ++b)
        if (!row.determined[b]) parts.push_back("tau" + std::to_string(b + 1) + " undetermined");
    if (row.budget_stop) parts.push_back("not converged (evaluation budget)");
    if (!row.at_bound.empty()) {
        std::string s = "on bound:";
        for (std::size_t k = 0; k < row.at_bound.size(); ++k) s += (k ? ", " : " ") + row.at_bound[k];
        parts.push_back(s);
    }
    if (parts.empty()) return "fitted";
    std::string s = parts[0];
    for (std::size_t k = 1; k < parts.size(); ++k) s += "; " + parts[k];
    return s;
}

Result result_of(const RecordingResult& r, const double* seconds, CircuitModel model, FitMethod method) {
    Result out;
    out.reading = Reading::Classic;
    out.method = method;
    out.branches = model == CircuitModel::OneRC ? 1 : 2;
    out.samples = r.samples;
    out.charge_Ah = r.charge_Ah();
    const auto nb = static_cast<std::size_t>(out.branches);
    out.pulses.reserve(r.rows.size());
    for (const CycleRow& row : r.rows) {
        PulseFit p;
        p.number = row.cycle;
        p.t_start = seconds[row.pulse_first];
        p.t_end = seconds[row.pulse_last];
        p.soc = row.soc_mid;
        p.soc_end = row.soc_end;
        p.current = row.current_mean;
        p.r0 = row.params.empty() ? PulseFit::kNaN : row.params[0];
        for (std::size_t b = 0; b < nb; ++b) {
            const std::size_t k = 1 + 2 * b;
            p.r.push_back(k < row.params.size() ? row.params[k] : PulseFit::kNaN);
            p.c.push_back(k + 1 < row.params.size() ? row.params[k + 1] : PulseFit::kNaN);
            p.tau.push_back(b < row.tau.size() ? row.tau[b] : PulseFit::kNaN);
            p.determined.push_back(b < row.determined.size() && row.determined[b]);
        }
        set_errors(p, row.r0_se, row.r_se, row.tau_se, row.unc);
        p.rms = row.rms;
        p.ocv_level = row.batt_val;
        p.at_bound = row.at_bound;
        p.budget_stop = row.budget_stop;
        p.status = row_status(row);
        p.window_first = row.yout_window.a;
        p.window_last = row.yout_window.b > 0 ? row.yout_window.b - 1 : 0;
        p.response_first = row.yout_window.a;
        p.response = row.lsq_yout;
        // The two-pass fits model the overvoltage; the joint fit the voltage itself.
        p.response_is_voltage = method == FitMethod::Joint;
        out.pulses.push_back(std::move(p));
    }
    out.relaxed_soc = r.relaxed_soc;
    out.relaxed_ocv = r.relaxed_v;
    out.relaxed_measured = r.relaxed_v_measured;
    out.ocv_passes = r.ocv_passes;
    out.soc_grid = r.SOC;
    out.ocv = r.OCV_3rd;
    out.mean = r.mean;
    out.median = r.median;
    out.warnings = r.warnings;
    for (auto k : r.ind_slice)
        if (k >= 0 && static_cast<std::size_t>(k) < r.samples) out.rest_ends.push_back(k);
    out.ocv_diff = r.ocv_diff;
    return out;
}

Result result_of(ProtocolResult&& r, int branches) {
    Result out;
    out.reading = Reading::Steps;
    out.method = FitMethod::Joint;
    out.edge_timing = std::move(r.edge_timing);
    out.branches = branches;
    out.samples = r.samples;
    out.charge_Ah = r.capacity_Ah;
    const auto nb = static_cast<std::size_t>(branches);
    out.pulses.reserve(r.pulses.size());
    for (ProtocolPulse& q : r.pulses) {
        PulseFit p;
        p.number = q.number;
        p.discharge = q.discharge;
        p.t_start = q.t_start;
        p.t_end = q.t_end;
        p.soc = q.soc;
        p.soc_end = q.soc_end;
        p.current = q.current;
        p.r0 = q.r0;
        for (std::size_t b = 0; b < nb; ++b) {
            const double rv = b < q.r.size() ? q.r[b] : PulseFit::kNaN;
            const double tv = b < q.tau.size() ? q.tau[b] : PulseFit::kNaN;
            p.r.push_back(rv);
            p.c.push_back(rv > 0.0 ? tv / rv : PulseFit::kNaN);
            p.tau.push_back(tv);
            p.determined.push_back(b < q.determined.size() && q.determined[b]);
        }
        set_errors(p, q.r0_se, q.r_se, q.tau_se, q.unc);
        p.rms = q.rms;
        p.at_bound = std::move(q.at_bound);
        p.status = std::move(q.status);
        p.window_first = q.window_first;
        p.window_last = q.window_last;
        out.pulses.push_back(std::move(p));
    }
    // Each fitted window's response goes with the pulse whose window it is.
    for (WindowFit& w : r.windows)
        for (PulseFit& p : out.pulses)
            if (p.window_first == w.first && p.window_last == w.last && p.response.empty()) {
                p.response_first = w.first;
                p.response = std::move(w.model);
                break;
            }
    out.relaxed_soc = r.relaxed_soc;
    out.relaxed_ocv = r.relaxed_v;
    out.relaxed_measured = std::move(r.relaxed_v);
    out.soc_grid = std::move(r.SOC);
    out.ocv = std::move(r.OCV);
    out.median = std::move(r.median);
    out.warnings = std::move(r.warnings);
    out.cutoff_crossed = r.cutoff_crossed;
    out.charge_positive = r.charge_positive;
    out.full_charge_found = r.full_charge_found;
    out.rest_threshold = r.rest_threshold;
    out.jump_tolerance = r.jump_tolerance;
    out.export_step_changes = r.export_step_changes;
    out.min_ocv_rest_s = r.min_ocv_rest_s;
    out.gap_times = std::move(r.gap_times);
    out.steps = std::move(r.steps);
    out.current = std::move(r.current);
    out.soc = std::move(r.soc);
    return out;
}

}  // namespace ecm
