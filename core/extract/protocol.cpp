#include "core/extract/protocol.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <utility>

#include "core/base/errors.hpp"
#include "core/base/stats.hpp"
#include "core/circuit/circuit.hpp"
#include "core/extract/fitting.hpp"
#include "core/extract/joint.hpp"
#include "core/extract/outputs.hpp"
#include "core/extract/pulses.hpp"
#include "core/extract/uncertainty.hpp"
#include "core/numeric/charge.hpp"
#include "core/numeric/interp.hpp"

namespace ecm {

const char* step_kind_name(StepKind k) {
    switch (k) {
        case StepKind::Rest:
            return "rest";
        case StepKind::Discharge:
            return "discharge";
        case StepKind::Charge:
            return "charge";
    }
    return "?";
}

const char* step_role_name(StepRole r) {
    switch (r) {
        case StepRole::FullChargeRest:
            return "full-charge rest";
        case StepRole::OcvRest:
            return "OCV rest";
        case StepRole::ShortRest:
            return "short rest";
        case StepRole::Pulse:
            return "pulse";
        case StepRole::SocStep:
            return "SOC step";
    }
    return "?";
}

namespace {

std::string fmt(const char* f, double a) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, a);
    return buf;
}

double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0.0;
    const auto k = static_cast<std::ptrdiff_t>(
        std::min<double>(q * static_cast<double>(v.size() - 1), static_cast<double>(v.size() - 1)));
    std::nth_element(v.begin(), v.begin() + k, v.end());
    return v[static_cast<std::size_t>(k)];
}

// The sampled series the fits see: with step hold, every step boundary gets
// an extra point at the last sample's time carrying the new step's current
// (weight 0), so that "linear between samples" is the step the cycler made.
struct Series {
    std::vector<double> t, i, v, w, q;   // q: charge, A s
    std::vector<std::size_t> of_sample;  // kept sample -> series index
    std::vector<int> step_of;            // series index -> step
};

Series make_series(const double* t, const double* cur, const double* v, std::size_t n, const std::vector<Step>& steps,
                   const EdgeTiming& timing) {
    Series s;
    s.of_sample.resize(n);
    for (std::size_t si = 0; si < steps.size(); ++si) {
        const Step& st = steps[si];
        if (!timing.linear && si > 0) {
            // The step at its time within the interval after the old step's last sample p: the
            // old current up to it (a point of its own unless the step follows p at once), then
            // the new one.
            const std::size_t p = st.first - 1;
            const double when = t[p] + timing.phase * (t[st.first] - t[p]);
            if (timing.phase > 0.0) {
                s.t.push_back(when);
                s.i.push_back(cur[p]);
                s.v.push_back(v[p]);
                s.w.push_back(0.0);
                s.step_of.push_back(static_cast<int>(si - 1));
            }
            s.t.push_back(when);
            s.i.push_back(cur[st.first]);
            s.v.push_back(v[p]);
            s.w.push_back(0.0);
            s.step_of.push_back(static_cast<int>(si));
        }
        for (std::size_t k = st.first; k <= st.last; ++k) {
            s.of_sample[k] = s.t.size();
            s.t.push_back(t[k]);
            s.i.push_back(cur[k]);
            s.v.push_back(v[k]);
            s.w.push_back(1.0);
            s.step_of.push_back(static_cast<int>(si));
        }
    }
    s.q = cumulative_charge_As(s.t.data(), s.i.data(), s.t.size());
    return s;
}

struct ChannelFit {
    bool have = false;
    double r0 = 0.0;
    double r0_se = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> r_se, tau_se;
    CircuitUncertainty unc;
    std::vector<double> r, tau;
    std::vector<bool> determined;
    std::vector<std::string> at_bound;
};

// R0 * i + the branch voltages, for the current i over t (zero state at the first sample).
std::vector<double> channel_response(const ChannelFit& c, const std::vector<double>& t, const std::vector<double>& i) {
    std::vector<double> out(t.size(), 0.0);
    if (!c.have || t.empty()) return out;
    auto bv = branch_voltages(t.data(), i.data(), t.size(), c.r, c.tau, {});
    for (std::size_t k = 0; k < t.size(); ++k) {
        out[k] = c.r0 * i[k];
        for (const auto& b : bv) out[k] += b[k];
    }
    return out;
}

}  // namespace

HeldSeries held_series(const double* t, const double* cur, const double* v, std::size_t n) {
    // Every change of the current, not only the steps the analysis finds: a drive cycle's current
    // changes at every sample, and each change taken as a ramp would lose or invent half of it
    // (on a US06 run to empty, 1.3 % of the charge, all on one side).
    HeldSeries out;
    out.t.reserve(2 * n);
    out.i.reserve(2 * n);
    out.v.reserve(2 * n);
    out.weight.reserve(2 * n);
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0 && cur[k] != cur[k - 1]) {
            out.t.push_back(t[k - 1]);
            out.i.push_back(cur[k]);
            out.v.push_back(v[k - 1]);
            out.weight.push_back(0.0);
        }
        out.t.push_back(t[k]);
        out.i.push_back(cur[k]);
        out.v.push_back(v[k]);
        out.weight.push_back(1.0);
    }
    return out;
}

Segmentation segment_steps(const double* t, double* cur, const double* v, std::size_t n, const double* step_id) {
    Segmentation out;
    (void)t;
    // Tolerances from the current itself: its resolution, its noise within steps, its range.
    std::vector<double> absi(n), diffs;
    for (std::size_t k = 0; k < n; ++k) absi[k] = std::fabs(cur[k]);
    const double imax = quantile(absi, 0.99);
    if (!(imax > 0.0)) throw DataError("the current is zero throughout: no steps to find");
    double resolution = std::numeric_limits<double>::infinity();
    for (std::size_t k = 1; k < n; ++k) {
        const double d = std::fabs(cur[k] - cur[k - 1]);
        if (d > 1e-9 * imax && d < 0.05 * imax) {  // steps of the current are no resolution
            resolution = std::min(resolution, d);
            diffs.push_back(d);
        }
    }
    if (!std::isfinite(resolution)) resolution = 0.0;
    const double noise = diffs.empty() ? 0.0 : median(diffs);
    // An offset of the rest current (a few counts of the cycler) must stay a rest.
    std::vector<double> small;
    for (double a : absi)
        if (a < 0.1 * imax) small.push_back(a);
    const double offset = small.empty() ? 0.0 : median(small);
    out.rest_threshold = std::max({10.0 * resolution, 5.0 * noise, 3.0 * offset, 0.002 * imax});
    out.jump_tolerance = std::max({10.0 * resolution, 5.0 * noise, 0.02 * imax});

    // The voltage's resolution: steps of the voltage smaller than a few of it are no response.
    double v_res = std::numeric_limits<double>::infinity();
    for (std::size_t k = 1; k < n; ++k) {
        const double d = std::fabs(v[k] - v[k - 1]);
        if (d > 1e-7) v_res = std::min(v_res, d);
    }
    const double v_hold = std::max(std::isfinite(v_res) ? 3.0 * v_res : 0.0, 5e-4);
    // Steps: a new one where the kind changes or the current jumps.
    auto kind_of = [&](double i) {
        if (std::fabs(i) <= out.rest_threshold) return StepKind::Rest;
        return i > 0.0 ? StepKind::Charge : StepKind::Discharge;
    };
    std::vector<Step> steps;
    {
        Step cur_step;
        cur_step.first = 0;
        cur_step.kind = kind_of(cur[0]);
        for (std::size_t k = 1; k < n; ++k) {
            const StepKind kk = kind_of(cur[k]);
            // A jump of the current that leaves the voltage where it was is the
            // cycler holding a voltage limit, not a new step.
            const bool jump = kk != StepKind::Rest && std::fabs(cur[k] - cur[k - 1]) > out.jump_tolerance &&
                              std::fabs(v[k] - v[k - 1]) > v_hold;
            if (kk != cur_step.kind || jump) {
                cur_step.last = k - 1;
                steps.push_back(cur_step);
                cur_step = Step();
                cur_step.first = k;
                cur_step.kind = kk;
            }
        }
        cur_step.last = n - 1;
        steps.push_back(cur_step);
    }
    // Loaded steps of one or two samples next to a loaded step of the same kind
    // are not steps of their own: a sample logged during a transition, or a
    // current the cycler changes all the time (a constant-voltage phase).
    for (std::size_t s = 0; s + 1 < steps.size();) {
        Step& a = steps[s];
        Step& b = steps[s + 1];
        if (a.kind != StepKind::Rest && a.kind == b.kind && (a.last - a.first < 2 || b.last - b.first < 2)) {
            a.last = b.last;
            steps.erase(steps.begin() + static_cast<std::ptrdiff_t>(s) + 1);
        } else {
            ++s;
        }
    }
    // Where the export numbers its steps, adjacent loaded steps of one kind within
    // one of its steps are one step (a current the cycler adjusts, e.g. at a voltage limit).
    if (step_id != nullptr) {
        for (std::size_t s = 0; s + 1 < steps.size();) {
            Step& a = steps[s];
            const Step& b = steps[s + 1];
            if (a.kind != StepKind::Rest && a.kind == b.kind && step_id[b.first] == step_id[a.last]) {
                a.last = b.last;
                steps.erase(steps.begin() + static_cast<std::ptrdiff_t>(s) + 1);
            } else {
                ++s;
            }
        }
        for (std::size_t k = 1; k < n; ++k) out.export_step_changes += step_id[k] != step_id[k - 1];
    }
    // The sign convention: the voltage jumps with the current at the step edges
    // (R0 > 0) when charge is positive.
    {
        double corr = 0.0;
        for (std::size_t s = 1; s < steps.size(); ++s) {
            const std::size_t a = steps[s].first - 1, b = steps[s].first;
            corr += (cur[b] - cur[a]) * (v[b] - v[a]);
        }
        out.charge_positive = !(corr < 0.0);
        if (!out.charge_positive) {
            for (std::size_t k = 0; k < n; ++k) cur[k] = -cur[k];
            for (auto& st : steps)
                if (st.kind != StepKind::Rest)
                    st.kind = st.kind == StepKind::Charge ? StepKind::Discharge : StepKind::Charge;
        }
    }
    // A loaded step whose current falls while the voltage goes on moving with
    // the current (up on charge, down on discharge) is the cycler holding a
    // voltage limit: the same step. A new step of smaller current moves the
    // voltage back towards the OCV.
    for (std::size_t s = 0; s + 1 < steps.size();) {
        Step& a = steps[s];
        const Step& b = steps[s + 1];
        const std::size_t p = b.first - 1, q = b.first;
        const bool limited = a.kind != StepKind::Rest && a.kind == b.kind && std::fabs(cur[q]) < std::fabs(cur[p]) &&
                             (cur[q] - cur[p]) * (v[q] - v[p]) <= 0.0;
        if (limited) {
            a.last = b.last;
            steps.erase(steps.begin() + static_cast<std::ptrdiff_t>(s) + 1);
        } else {
            ++s;
        }
    }
    out.steps = std::move(steps);
    return out;
}

double ocv_rest_of(const std::vector<Step>& steps, double max_pulse_s) {
    std::vector<double> after_soc_step, rests;
    for (std::size_t s = 1; s + 1 < steps.size(); ++s) {
        if (steps[s].kind != StepKind::Rest) continue;
        const double dur = steps[s].t_end - steps[s].t_begin;
        rests.push_back(dur);
        if (steps[s - 1].kind != StepKind::Rest && steps[s - 1].t_end - steps[s - 1].t_begin > max_pulse_s)
            after_soc_step.push_back(dur);
    }
    if (rests.empty()) return 600.0;
    std::vector<double> pick = after_soc_step;
    if (pick.empty()) {
        const double longest = *std::max_element(rests.begin(), rests.end());
        for (double d : rests)
            if (d >= 0.5 * longest) pick.push_back(d);
    }
    // Most of the typical length: a rest cut a little short still counts.
    const double typical = std::max(0.8 * median(pick), 1.0);
    // A length that leaves no OCV curve (the full-charge rest and at least two more) is no
    // protocol's rest length: then 600 s, or less.
    const auto long_ones = std::count_if(rests.begin(), rests.end(), [&](double d) { return d >= typical; });
    return long_ones >= 3 ? typical : std::min(typical, 600.0);
}

DataCutoffs data_cutoffs(const double* cur, const double* v, std::size_t n) {
    if (n == 0) throw DataError("no samples to take cut-off voltages from");
    double imax = 0.0;
    for (std::size_t k = 0; k < n; ++k)
        if (std::isfinite(cur[k])) imax = std::max(imax, std::fabs(cur[k]));
    const double at_rest = 0.01 * imax;
    std::ptrdiff_t lo_all = -1, hi_all = -1, lo_load = -1, hi_load = -1;
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(v[k])) continue;
        const auto K = static_cast<std::ptrdiff_t>(k);
        if (lo_all < 0 || v[k] < v[lo_all]) lo_all = K;
        if (hi_all < 0 || v[k] > v[hi_all]) hi_all = K;
        if (!(std::fabs(cur[k]) > at_rest)) continue;
        if (lo_load < 0 || v[k] < v[lo_load]) lo_load = K;
        if (hi_load < 0 || v[k] > v[hi_load]) hi_load = K;
    }
    if (lo_all < 0) throw DataError("no finite voltage to take cut-off voltages from");
    DataCutoffs out;
    auto row = [](std::ptrdiff_t k) { return " (row " + std::to_string(k + 1) + ")"; };
    // Under load where the load took the voltage to the recording's extreme (a rest may lie beyond a
    // load that never reached its limit: then the recording's own extreme).
    if (lo_load >= 0 && v[lo_load] <= v[lo_all] + 1e-9) {
        out.low = std::floor(v[lo_load] * 1000.0 + 1e-6) / 1000.0;
        out.low_source = "the lowest voltage under load" + row(lo_load);
    } else {
        out.low = std::floor(v[lo_all] * 1000.0 + 1e-6) / 1000.0;
        out.low_source = "the lowest voltage of the recording" + row(lo_all);
    }
    if (hi_load >= 0 && v[hi_load] >= v[hi_all] - 1e-9) {
        out.high = std::ceil(v[hi_load] * 1000.0 - 1e-6) / 1000.0;
        out.high_source = "the highest voltage under load" + row(hi_load);
    } else {
        out.high = std::ceil(v[hi_all] * 1000.0 - 1e-6) / 1000.0;
        out.high_source = "the highest voltage of the recording" + row(hi_all);
    }
    if (!(out.high > out.low))
        throw DataError("the voltage stays at " + fmt("%g", v[lo_all]) + " V: no cut-off voltages to take from it");
    return out;
}

std::vector<std::size_t> time_gaps(const double* t, std::size_t n) {
    std::vector<std::size_t> gaps;
    if (n < 3) return gaps;
    const std::size_t half = 10;
    std::vector<double> before, after;
    for (std::size_t k = 1; k < n; ++k) {
        const double dt = t[k] - t[k - 1];
        if (!(dt > 0.0)) continue;
        // The typical step on either side (the larger: the sampling may change at a step edge).
        before.clear();
        after.clear();
        for (std::size_t j = k > half ? k - half : 1; j < k; ++j)
            if (t[j] > t[j - 1]) before.push_back(t[j] - t[j - 1]);
        for (std::size_t j = k + 1; j < n && j <= k + half; ++j)
            if (t[j] > t[j - 1]) after.push_back(t[j] - t[j - 1]);
        if (before.empty() && after.empty()) continue;
        const double typical = std::max(before.empty() ? 0.0 : median(before), after.empty() ? 0.0 : median(after));
        if (dt > 5.0 * typical) gaps.push_back(k);
    }
    return gaps;
}

namespace {

// Checks the rows (finite, time never going back) and finds the kept samples:
// up to the first one below the cut-off, or all.
std::size_t kept_samples(const RecordingColumns& in, const ProtocolSettings& cfg, ProtocolResult& res) {
    const std::size_t rows = in.rows;
    if (rows < 10)
        throw DataError("the recording has " + std::to_string(rows) + " rows; a step protocol needs many more");
    for (std::size_t k = 0; k < rows; ++k) {
        if (!std::isfinite(in.time[k]) || !std::isfinite(in.current[k]) || !std::isfinite(in.voltage[k]))
            throw DataError("row " + std::to_string(k + 1) + " holds a value that is not a finite number");
        if (k > 0 && in.time[k] < in.time[k - 1])
            throw DataError("time goes back at row " + std::to_string(k + 1) + " (" + fmt("%g", in.time[k - 1]) +
                            " s, then " + fmt("%g", in.time[k]) + " s)");
    }
    // A pulse that the cycler ends at its voltage limit dips below a cut-off at that limit: where the
    // load around the sample below it lasts no longer than a pulse and a rest follows, the recording
    // goes on.
    double imax = 0.0;
    for (std::size_t k = 0; k < rows; ++k) imax = std::max(imax, std::fabs(in.current[k]));
    const double at_rest = 0.01 * imax;
    std::size_t n = rows;
    for (std::size_t k = 0; k < rows; ++k) {
        if (!(in.voltage[k] < cfg.vcut)) continue;
        std::size_t a = k, b = k;
        while (a > 0 && std::fabs(in.current[a - 1]) > at_rest) --a;
        while (b + 1 < rows && std::fabs(in.current[b]) > at_rest) ++b;
        const bool pulse = std::fabs(in.current[b]) <= at_rest && b + 1 < rows && a > 0 &&
                           in.time[b] - in.time[a > 0 ? a - 1 : 0] <= cfg.max_pulse_s;
        if (pulse) {
            k = b;
            continue;
        }
        n = k;
        res.cutoff_crossed = true;
        break;
    }
    if (n < 10)
        throw DataError("the voltage is below the cut-off of " + fmt("%g", cfg.vcut) + " V from row " +
                        std::to_string(n + 1));
    return n;
}

// Times and mean currents of the steps.
void step_times(std::vector<Step>& steps, const std::vector<double>& t, const std::vector<double>& cur) {
    for (std::size_t s = 0; s < steps.size(); ++s) {
        Step& st = steps[s];
        st.t_begin = s == 0 ? t[0] : t[st.first - 1];
        st.t_end = t[st.last];
        double sum = 0.0;
        for (std::size_t k = st.first; k <= st.last; ++k) sum += cur[k];
        st.current = sum / static_cast<double>(st.last - st.first + 1);
    }
}

// The charge across the recording's gaps in time: with the cycler's counter,
// what it counted over each gap beyond what the current logged on either side
// carries (its sign from its agreement with the current elsewhere; a counter
// reset away from a gap is ignored). Returns the gaps the counter could not
// carry (none given).
std::vector<std::size_t> carry_gaps(Series& ser, const std::vector<double>& t, std::size_t n,
                                    const ProtocolSettings& cfg, ProtocolResult& res) {
    const std::vector<std::size_t> gaps = time_gaps(t.data(), n);
    for (std::size_t k : gaps) res.gap_times.push_back(t[k - 1]);
    if (gaps.empty() || cfg.charge_counter == nullptr) return gaps;
    const double* c = cfg.charge_counter;
    double agree = 0.0, cmax = 0.0;
    std::size_t g = 0;
    for (std::size_t k = 1; k < n; ++k) {
        if (!std::isfinite(c[k]) || !std::isfinite(c[k - 1])) continue;
        cmax = std::max(cmax, std::fabs(c[k]));
        if (g < gaps.size() && gaps[g] == k) {
            ++g;
            continue;
        }
        agree += (c[k] - c[k - 1]) * (ser.q[ser.of_sample[k]] - ser.q[ser.of_sample[k - 1]]);
    }
    const double sign = agree < 0.0 ? -1.0 : 1.0;
    std::vector<std::size_t> left;
    for (std::size_t k : gaps) {
        const std::size_t a = ser.of_sample[k - 1], b = ser.of_sample[k];
        if (!std::isfinite(c[k]) || !std::isfinite(c[k - 1])) {
            left.push_back(k);
            continue;
        }
        const double jump = sign * (c[k] - c[k - 1]) * 3600.0 - (ser.q[b] - ser.q[a]);
        if (std::fabs(jump) <= 1e-4 * cmax * 3600.0) continue;
        for (std::size_t j = a + 1; j < ser.q.size(); ++j) ser.q[j] += jump;
        res.warnings.push_back(cfg.label + ": a gap in time at row " + std::to_string(k + 1) + " (" +
                               fmt("%g", t[k - 1]) + " s to " + fmt("%g", t[k]) + " s): the cycler's counter carries " +
                               fmt("%.4f", jump / 3600.0) + " Ah across it");
    }
    return left;
}

// Gaps with no counter to carry them: the charge after each is re-anchored on
// the OCV of the rests before it (charge against relaxed voltage, extended
// along its last slope), from the voltage at the end of the rest after it.
void reanchor_gaps(Series& ser, const std::vector<Step>& steps, const std::vector<std::size_t>& gaps, const double* v,
                   const std::vector<double>& t, const ProtocolSettings& cfg, ProtocolResult& res) {
    for (std::size_t k : gaps) {
        const std::string name = cfg.label + ": a gap in time at row " + std::to_string(k + 1) + " (" +
                                 fmt("%g", t[k - 1]) + " s to " + fmt("%g", t[k]) + " s)";
        std::vector<std::pair<double, double>> pts;  // (voltage, charge)
        std::ptrdiff_t after = -1;
        for (std::size_t s = 0; s < steps.size(); ++s) {
            const Step& st = steps[s];
            if (st.kind != StepKind::Rest) continue;
            if (st.last < k && (st.role == StepRole::OcvRest || st.role == StepRole::FullChargeRest))
                pts.emplace_back(v[st.last], ser.q[ser.of_sample[st.last]]);
            if (st.last >= k && after < 0 && st.last > st.first) after = static_cast<std::ptrdiff_t>(s);
        }
        if (pts.size() < 2 || after < 0) {
            res.warnings.push_back(name +
                                   " and no cycler counter: the charge across it is unknown and the SOC after "
                                   "it is not re-anchored (too few OCV rests before it)");
            continue;
        }
        std::sort(pts.begin(), pts.end());
        const Step& ra = steps[static_cast<std::size_t>(after)];
        const double va = v[ra.last];
        std::size_t j = 1;
        while (j + 1 < pts.size() && pts[j].first < va) ++j;
        const auto& p0 = pts[j - 1];
        const auto& p1 = pts[j];
        const double slope = (p1.second - p0.second) / std::max(p1.first - p0.first, 1e-9);
        const double q_target = p0.second + slope * (va - p0.first);
        const double jump = q_target - ser.q[ser.of_sample[ra.last]];
        for (std::size_t i = ser.of_sample[k - 1] + 1; i < ser.q.size(); ++i) ser.q[i] += jump;
        res.warnings.push_back(name +
                               " and no cycler counter: the charge after it is re-anchored on the OCV of the "
                               "rests before it (" +
                               fmt("%.4f", va) + " V at " + fmt("%g", t[ra.last]) + " s; " +
                               fmt("%.4f", jump / 3600.0) + " Ah across the gap)");
    }
}

// Roles by kind and duration; returns the full-charge rest (-1: none).
std::ptrdiff_t assign_roles(std::vector<Step>& steps, const ProtocolSettings& cfg) {
    for (Step& st : steps) {
        const double dur = st.t_end - st.t_begin;
        if (st.kind == StepKind::Rest)
            st.role = dur >= cfg.min_ocv_rest_s ? StepRole::OcvRest : StepRole::ShortRest;
        else
            st.role = dur <= cfg.max_pulse_s ? StepRole::Pulse : StepRole::SocStep;
    }
    // A loaded step far longer than the typical pulse and followed by an OCV rest moves the cell to
    // its next SOC point (a short SOC step of the protocol), however short the limit on pulses.
    {
        std::vector<double> durs;
        for (const Step& st : steps)
            if (st.role == StepRole::Pulse) durs.push_back(st.t_end - st.t_begin);
        const double typical = durs.empty() ? 0.0 : median(durs);
        for (std::size_t s = 0; s + 1 < steps.size(); ++s) {
            Step& st = steps[s];
            if (st.role != StepRole::Pulse || !(st.t_end - st.t_begin > 5.0 * typical)) continue;
            // ... or by nothing but rests to the end (a recording that stops after its last SOC step).
            bool load_after = false;
            for (std::size_t a = s + 1; a < steps.size() && !load_after; ++a)
                load_after = steps[a].kind != StepKind::Rest;
            if (steps[s + 1].role == StepRole::OcvRest || !load_after) st.role = StepRole::SocStep;
        }
    }
    // A loaded step that the end of the recording cuts (the cut-off or the cycler's limit) is no pulse.
    if (steps.back().kind != StepKind::Rest && steps.size() > 1) steps.back().role = StepRole::SocStep;
    // The full-charge rest: an OCV rest after a long charge (short steps between
    // them, such as the end of a constant-voltage phase, aside), before the discharge begins.
    std::ptrdiff_t full = -1;
    for (std::size_t s = 1; s < steps.size(); ++s) {
        const Step& st = steps[s];
        if (st.role == StepRole::OcvRest) {
            std::size_t b = s;
            while (b > 0 && steps[b - 1].role != StepRole::SocStep && steps[b - 1].role != StepRole::OcvRest &&
                   steps[b - 1].kind != StepKind::Discharge)
                --b;
            // ... and before a discharge (a rest after a closing recharge is no start).
            bool discharge_after = false;
            for (std::size_t a = s + 1; a < steps.size() && !discharge_after; ++a)
                discharge_after = steps[a].kind == StepKind::Discharge;
            if (b > 0 && steps[b - 1].role == StepRole::SocStep && steps[b - 1].kind == StepKind::Charge &&
                discharge_after)
                full = static_cast<std::ptrdiff_t>(s);
        }
        if (full >= 0 && st.kind == StepKind::Discharge) break;
    }
    if (full >= 0) steps[static_cast<std::size_t>(full)].role = StepRole::FullChargeRest;
    return full;
}

// A recording that begins with a rest as long as an OCV rest but not taken for one (nothing before
// it says where the SOC is) and at a steady voltage (a line through its samples moves by no more
// than kSteadyStartV over it) begins relaxed: that rest gives the OCV where the recording begins
// (at full charge, the top of the curve, which the spline would otherwise extrapolate from the
// first OCV rest below it). A shorter opening rest, such as the few seconds a pulse test logs
// after its charge, cannot show whether the cell had rested before the logging began: a slow
// relaxation of tens of millivolts over an hour looks flat over seconds. Not before a full-charge
// rest: there the SOC is unknown.
void steady_start_rest(std::vector<Step>& steps, std::ptrdiff_t full, const double* t, const double* v,
                       double min_rest_s) {
    constexpr double kSteadyStartV = 1e-3;
    if (full >= 0 || steps.size() < 2) return;
    Step& st = steps[0];
    if (st.kind != StepKind::Rest || st.role != StepRole::ShortRest || st.last < st.first + 2) return;
    const std::size_t m = st.last - st.first + 1;
    double tm = 0.0, vm = 0.0;
    for (std::size_t k = st.first; k <= st.last; ++k) tm += t[k], vm += v[k];
    tm /= static_cast<double>(m);
    vm /= static_cast<double>(m);
    double stt = 0.0, stv = 0.0;
    for (std::size_t k = st.first; k <= st.last; ++k)
        stt += (t[k] - tm) * (t[k] - tm), stv += (t[k] - tm) * (v[k] - vm);
    const double span = t[st.last] - t[st.first];
    if (!(span > 0.0) || !(stt > 0.0) || span < min_rest_s) return;
    if (std::fabs(stv / stt) * span <= kSteadyStartV) st.role = StepRole::OcvRest;
}

// SOC by coulomb counting: 1 at the end of the full-charge rest (or at the
// most charge before the deepest discharge), 0 at the lowest point of charge
// after it (the end of the discharge: a recording may go on, e.g. with a
// recharge). Sets the capacity and the SOC per kept sample; returns the SOC
// along the series.
std::vector<double> count_soc(const Series& ser, const std::vector<Step>& steps, std::ptrdiff_t full, const double* v,
                              std::size_t n, const ProtocolSettings& cfg, ProtocolResult& res) {
    auto q_at = [&](std::size_t k) { return ser.q[ser.of_sample[k]]; };
    std::size_t top = 0, bottom = 0;
    if (full >= 0) {
        top = steps[static_cast<std::size_t>(full)].last;
        bottom = top;
        for (std::size_t k = top; k < n; ++k)
            if (q_at(k) < q_at(bottom)) bottom = k;
    } else {
        // The deepest discharge: the largest fall of the charge from a point to a later one.
        std::size_t hi = 0;
        double best = -1.0;
        for (std::size_t k = 0; k < n; ++k) {
            if (q_at(k) > q_at(hi)) hi = k;
            if (q_at(hi) - q_at(k) > best) best = q_at(hi) - q_at(k), top = hi, bottom = k;
        }
        res.warnings.push_back(cfg.label + ": no full-charge rest (a rest of at least " +
                               fmt("%g", res.min_ocv_rest_s) + " s after a charge) found; the SOC is counted from " +
                               "the most charge before the deepest discharge (at " +
                               fmt("%g", ser.t[ser.of_sample[top]]) + " s) to its end");
    }
    const double q_top = q_at(top), q_end = q_at(bottom);
    const bool reached_end = (res.cutoff_crossed && bottom + 1 >= n) || v[bottom] <= cfg.vcut + 0.01;
    const std::string where = bottom + 1 >= n ? std::string("the recording ends")
                                              : "the discharge ends (at " + fmt("%g", ser.t[ser.of_sample[bottom]]) +
                                                    " s, row " + std::to_string(bottom + 1) + ")";
    double cap = (q_top - q_end) / 3600.0;
    if (!reached_end) {
        if (std::isfinite(cfg.nominal_capacity_Ah) && cfg.nominal_capacity_Ah > 0.0) {
            cap = cfg.nominal_capacity_Ah;
            res.warnings.push_back(cfg.label + ": " + where + " at " + fmt("%.3f", v[bottom]) +
                                   " V, above the cut-off; the SOC uses the nominal capacity");
        } else {
            res.warnings.push_back(cfg.label + ": " + where + " at " + fmt("%.3f", v[bottom]) +
                                   " V, above the cut-off; the SOC takes it as empty there (give the capacity to "
                                   "avoid this)");
        }
    }
    if (!(cap > 0.0)) throw DataError("no charge flows out of the cell after its full charge");
    res.capacity_Ah = cap;
    res.bottom_sample = bottom;
    const double q_zero = full >= 0 ? q_top - cap * 3600.0 : (reached_end ? q_end : q_top - cap * 3600.0);
    std::vector<double> soc_ser(ser.t.size());
    for (std::size_t k = 0; k < ser.t.size(); ++k) soc_ser[k] = (ser.q[k] - q_zero) / (cap * 3600.0);
    res.soc.resize(n);
    for (std::size_t k = 0; k < n; ++k) res.soc[k] = soc_ser[ser.of_sample[k]];
    return soc_ser;
}

// The OCV points at the ends of the long rests after the full charge and the
// curve through them; throws when there is no curve or no pulse to fit.
void ocv_points(const std::vector<Step>& steps, std::ptrdiff_t full, const double* t, const double* v,
                const ProtocolSettings& cfg, ProtocolResult& res) {
    std::vector<std::pair<double, double>> pts;
    std::vector<std::size_t> ocv_rests;
    // The rests up to the charge that follows the end of the discharge (a recharge is another curve).
    std::size_t last_step = steps.size();
    for (std::size_t s = 0; s < steps.size(); ++s)
        if (steps[s].first > res.bottom_sample && steps[s].kind == StepKind::Charge &&
            steps[s].role == StepRole::SocStep) {
            last_step = s;
            break;
        }
    for (std::size_t s = 0; s < steps.size(); ++s)
        if (steps[s].role == StepRole::OcvRest || steps[s].role == StepRole::FullChargeRest) {
            ocv_rests.push_back(s);
            if (full >= 0 && s < static_cast<std::size_t>(full)) continue;  // before the full charge: SOC unknown
            if (s > last_step) continue;
            // the level at the rest's end of a line through its last quarter: no one reading's noise
            const std::size_t a = steps[s].first;
            pts.emplace_back(res.soc[steps[s].last], relaxed_voltage(t + a, v + a, steps[s].last - a + 1));
        }
    std::sort(pts.begin(), pts.end());
    for (const auto& p : pts) {
        if (!res.relaxed_soc.empty() && p.first - res.relaxed_soc.back() < 1e-6) continue;
        res.relaxed_soc.push_back(p.first);
        res.relaxed_v.push_back(p.second);
    }
    std::size_t n_pulses = 0;
    for (const Step& st : steps) n_pulses += st.role == StepRole::Pulse;
    if (res.relaxed_soc.size() == 1 && n_pulses > 0) {
        // One OCV rest: the pulses still fit (their windows see the OCV's level, not its slope), the
        // OCV taken as flat through it, said so.
        res.warnings.push_back(cfg.label + ": one OCV rest (" + fmt("%.4f", res.relaxed_v[0]) + " V at SOC " +
                               fmt("%.3f", res.relaxed_soc[0]) +
                               "): the OCV is taken as flat there; the pulses' fits hold, the OCV table does not");
        res.SOC = soc_grid();
        res.OCV.assign(res.SOC.size(), res.relaxed_v[0]);
        return;
    }
    if (res.relaxed_soc.size() < 2 || n_pulses == 0) {
        std::size_t rests = 0, loads = 0, long_loads = 0;
        for (const Step& st : steps) {
            rests += st.kind == StepKind::Rest;
            loads += st.kind != StepKind::Rest;
            long_loads += st.role == StepRole::SocStep;
        }
        std::string msg = std::to_string(steps.size()) + " steps: " + std::to_string(rests) + " rests (" +
                          std::to_string(ocv_rests.size()) + " of at least " + fmt("%g", cfg.min_ocv_rest_s) + " s), " +
                          std::to_string(n_pulses) + " pulses";
        if (n_pulses == 0 && loads > 0)
            msg += ": all " + std::to_string(long_loads) + " loaded steps are longer than " +
                   fmt("%g", cfg.max_pulse_s) + " s";
        if (res.relaxed_soc.size() < 2)
            msg += "; an OCV curve needs at least two rests of at least " + fmt("%g", cfg.min_ocv_rest_s) +
                   " s after the full charge";
        throw DataError(msg);
    }
    for (std::size_t k = 1; k < res.relaxed_v.size(); ++k)
        if (res.relaxed_v[k] <= res.relaxed_v[k - 1]) {
            res.warnings.push_back(cfg.label + ": the OCV does not rise with SOC between " +
                                   fmt("%.3f", res.relaxed_soc[k - 1]) + " and " + fmt("%.3f", res.relaxed_soc[k]) +
                                   " (" + fmt("%.4f", res.relaxed_v[k - 1]) + " V, " + fmt("%.4f", res.relaxed_v[k]) +
                                   " V)");
            break;
        }
    res.SOC = soc_grid();
    res.OCV = pchip(res.relaxed_soc, res.relaxed_v, res.SOC);
}

// A pulse per pulse step, numbered in time order; pulse_of_step maps step -> pulse.
std::vector<ProtocolPulse> find_pulses(const std::vector<Step>& steps, const std::vector<double>& soc,
                                       std::map<std::size_t, std::size_t>& pulse_of_step) {
    std::vector<ProtocolPulse> pulses;
    for (std::size_t s = 0; s < steps.size(); ++s) {
        if (steps[s].role != StepRole::Pulse) continue;
        ProtocolPulse p;
        p.step = s;
        p.number = static_cast<long long>(pulses.size()) + 1;
        p.discharge = steps[s].kind == StepKind::Discharge;
        p.t_start = steps[s].t_begin;
        p.t_end = steps[s].t_end;
        p.current = steps[s].current;
        p.soc = soc[(steps[s].first + steps[s].last) / 2];
        p.soc_end = soc[steps[s].last];
        pulse_of_step[s] = pulses.size();
        pulses.push_back(p);
    }
    return pulses;
}

// The pulses between two long rests, fitted over one window.
struct Block {
    std::ptrdiff_t rest_before = -1;
    std::vector<std::size_t> pulses;  // indices into the pulses
    std::size_t ws = 0, we = 0;       // series indices
};

// The rests that end one window and begin the next: the OCV rests, and rests
// far longer than the loaded steps on either side (the pulses at one SOC point
// that the protocol lets relax in turn, each its own window).
std::vector<bool> window_rests(const std::vector<Step>& steps) {
    std::vector<bool> sep(steps.size(), false);
    for (std::size_t s = 0; s < steps.size(); ++s) {
        const Step& st = steps[s];
        if (st.role == StepRole::OcvRest || st.role == StepRole::FullChargeRest) {
            sep[s] = true;
            continue;
        }
        if (st.kind != StepKind::Rest) continue;
        const double dur = st.t_end - st.t_begin;
        double load = 0.0;
        if (s > 0) load = std::max(load, steps[s - 1].t_end - steps[s - 1].t_begin);
        if (s + 1 < steps.size()) load = std::max(load, steps[s + 1].t_end - steps[s + 1].t_begin);
        sep[s] = dur >= 60.0 && dur >= 10.0 * load;
    }
    return sep;
}

std::vector<Block> find_blocks(const std::vector<Step>& steps, const std::vector<bool>& sep,
                               std::map<std::size_t, std::size_t>& pulse_of_step) {
    std::vector<Block> blocks;
    Block b;
    for (std::size_t s = 0; s < steps.size(); ++s) {
        const StepRole role = steps[s].role;
        if (sep[s]) {
            if (!b.pulses.empty()) blocks.push_back(b);
            b = Block();
            b.rest_before = static_cast<std::ptrdiff_t>(s);
        } else if (role == StepRole::Pulse) {
            // The first pulses of a recording that starts with a short rest have that rest before them
            // (a single sample will do: the top of the OCV of a test that starts full, then its pulses).
            if (b.rest_before < 0 && b.pulses.empty() && s == 1 && steps[0].kind == StepKind::Rest) b.rest_before = 0;
            b.pulses.push_back(pulse_of_step[s]);
        }
    }
    if (!b.pulses.empty()) blocks.push_back(b);
    return blocks;
}

// A time constant on its upper bound, or a branch's R or C on either bound in
// the two-pass fit: a branch the window cannot tell (not determined), not a fault.
bool undetermined_bound(const std::string& name, FitMethod method) {
    if (name.rfind("tau", 0) == 0) return name.find("upper") != std::string::npos;
    return method == FitMethod::Pulse && (name[0] == 'R' || name[0] == 'C') && name.size() > 1 && name[1] != '0';
}

// The longest stretch after a load of the channel (current ich over times wt)
// that the channel leaves alone.
double observed_after_load(const std::vector<double>& ich, const std::vector<double>& wt) {
    double best = 0.0, since = -1.0;
    for (std::size_t k = 0; k < ich.size(); ++k) {
        if (ich[k] != 0.0)
            since = -1.0;
        else if (k > 0 && ich[k - 1] != 0.0)
            since = wt[k];
        if (since >= 0.0) best = std::max(best, wt[k] - since);
    }
    return best;
}

// The two-pass fit's uncertainty: each pass's covariance over (R0, R1, C1) and (R2, C2) from its
// Jacobian (the second pass holds the first's values, so the passes are taken as independent),
// turned into one over (R0, R_b, log tau_b) with log tau = log R + log C.
CircuitUncertainty two_pass_uncertainty(const LsqResult& r1, const LsqResult* r2, double scale1, double scale2,
                                        const ChannelFit& c) {
    const std::size_t nb = c.r.size();
    const auto np = static_cast<Eigen::Index>(1 + 2 * nb);
    Eigen::MatrixXd cov = Eigen::MatrixXd::Constant(np, np, std::numeric_limits<double>::quiet_NaN());
    auto pass = [&](const LsqResult& r, double scale, Eigen::Index at, bool with_r0) {
        const Eigen::Index k = r.x.size();
        std::vector<bool> free(static_cast<std::size_t>(k));
        for (Eigen::Index j = 0; j < k; ++j)
            free[static_cast<std::size_t>(j)] = j >= r.active_mask.size() || r.active_mask[j] == 0;
        const Eigen::MatrixXd cv = robust_covariance(r.jac, r.fun, scale, free);
        if (cv.rows() != k) return false;
        // (R0,) R, C -> (R0,) R, log tau
        Eigen::MatrixXd T = Eigen::MatrixXd::Zero(k, k);
        const Eigen::Index o = with_r0 ? 1 : 0;
        if (with_r0) T(0, 0) = 1.0;
        T(o, o) = 1.0;
        T(o + 1, o) = 1.0 / r.x[o];
        T(o + 1, o + 1) = 1.0 / r.x[o + 1];
        const Eigen::MatrixXd ct = T * cv * T.transpose();
        const Eigen::Index from = with_r0 ? 0 : at;
        cov.block(from, from, k, k) = ct;
        return true;
    };
    const bool first = pass(r1, scale1, 0, true);
    if (r2 != nullptr && nb == 2 && pass(*r2, scale2, 3, false) && first) {
        cov.block(0, 3, 3, 2).setZero();
        cov.block(3, 0, 2, 3).setZero();
    }
    return circuit_uncertainty(c.r0, c.r, c.tau, cov);
}

// One block's window on the series: times, voltages, weights, the OCV's shape,
// the current split by channel, and what earlier blocks leave in it.
struct BlockWindow {
    std::size_t ws_sample = 0, we_sample = 0;  // samples of the kept recording
    bool ends_in_soc_step = false;
    std::size_t m = 0;
    std::vector<double> wt, wv, ww, shape, id, ic, known;
};

// The RMS a window's fit may leave: the given limit, or a share of the voltage's swing over the
// window where that is larger (a cold cell's pulses move the voltage by half a volt, and the
// circuit's error grows with the overvoltage it follows).
double rms_limit_of(const BlockWindow& w, const ProtocolSettings& cfg) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::size_t k = 0; k < w.m; ++k) {
        if (!(w.ww[k] > 0.0)) continue;
        const double x = w.wv[k] - w.shape[k];
        lo = std::min(lo, x);
        hi = std::max(hi, x);
    }
    const double swing = hi > lo ? hi - lo : 0.0;
    return std::max(cfg.rms_limit_V, cfg.rms_limit_share * swing);
}

struct ChannelResult {
    ChannelFit fit;
    double rms = 0.0;
    std::vector<double> model;
};

// Fits the blocks in time order; each block's fits tell the next one what
// the branches still hold.
class BlockFitter {
public:
    BlockFitter(const ProtocolSettings& cfg, const Series& ser, const std::vector<Step>& steps,
                const std::vector<double>& t, std::size_t n, std::ptrdiff_t full, const std::vector<double>& ocv_ser,
                std::vector<ProtocolPulse>& pulses, ProtocolResult& res, const std::vector<bool>& sep)
        : cfg_(cfg),
          ser_(ser),
          steps_(steps),
          sep_(sep),
          t_(t),
          n_(n),
          full_(full),
          ocv_ser_(ocv_ser),
          pulses_(pulses),
          res_(res) {}

    void fit(Block& b) {
        auto reject_all = [&](const std::string& why) {
            for (std::size_t pi : b.pulses)
                if (!pulses_[pi].fitted) pulses_[pi].status = "rejected: " + why;  // R0 from a step stays
        };
        if (b.rest_before < 0 || (full_ >= 0 && b.rest_before < full_)) {
            reject_all(b.rest_before < 0 ? "no rest before it" : "before the full charge");
            return;
        }
        BlockWindow w = window_of(b);
        bool has_d = false, has_c = false;
        for (std::size_t pi : b.pulses) {
            if (pulses_[pi].status.empty()) (pulses_[pi].discharge ? has_d : has_c) = true;
        }
        if (!has_d && !has_c) return;
        // A direction without a usable pulse shares the other's parameters.
        if (!has_c)
            for (std::size_t k = 0; k < w.m; ++k) w.id[k] += w.ic[k], w.ic[k] = 0.0;
        if (!has_d)
            for (std::size_t k = 0; k < w.m; ++k) w.ic[k] += w.id[k], w.id[k] = 0.0;
        w.known = known_response(b, w);
        ChannelFit fd, fc;
        double rms = 0.0;
        std::vector<double> model_other(w.m, 0.0), fit_model;
        try {
            fit_channels(b, w, has_d, has_c, fd, fc, rms, model_other, fit_model);
        } catch (const DataError& e) {
            reject_all(std::string("the fit failed: ") + e.what());
            return;
        }
        WindowFit wf;
        wf.first = w.ws_sample;
        wf.last = w.we_sample;
        for (std::size_t k = 0; k < w.m; ++k)
            if (w.ww[k] > 0.0) wf.model.push_back(fit_model[k] + w.known[k] + model_other[k]);
        res_.windows.push_back(std::move(wf));
        grade(b, w, has_d, has_c, fd, fc, rms);
        prev_d_ = fd;
        prev_c_ = fc;
        prev_ws_ = b.ws;
        have_prev_ = true;
    }

private:
    // The window: from the middle of the rest before the block to the SOC
    // step after its last pulse (a stretch of it) or the long rest after it.
    // Marks the pulses too short for the sampling.
    BlockWindow window_of(Block& b) {
        BlockWindow w;
        const Step& rb = steps_[static_cast<std::size_t>(b.rest_before)];
        const double t_mid = 0.5 * (rb.t_begin + rb.t_end);
        std::size_t ws_sample = rb.first;
        while (ws_sample + 2 < rb.last && t_[ws_sample] < t_mid) ++ws_sample;
        const std::size_t last_pulse_step = pulses_[b.pulses.back()].step;
        // The window ends in the SOC step after the last pulse, or with the long rest after it.
        std::size_t we_sample = n_ - 1;
        bool ends_in_soc_step = false;
        for (std::size_t s = last_pulse_step + 1; s < steps_.size(); ++s) {
            const Step& st = steps_[s];
            if (st.role == StepRole::SocStep) {
                ends_in_soc_step = true;
                we_sample = st.first;
                while (we_sample < st.last && t_[we_sample] < st.t_begin + cfg_.soc_step_window_s) ++we_sample;
                break;
            }
            if (sep_[s]) {
                we_sample = st.last;
                break;
            }
        }
        // Too short for the sampling (fewer than three loaded samples: a pulse the cycler cut at its
        // voltage limit): R0 alone, from the step of the voltage at its first sample; its branches
        // are left to the window's other pulses.
        for (std::size_t pi : b.pulses) {
            const Step& st = steps_[pulses_[pi].step];
            if (st.last - st.first + 1 >= 3) continue;
            r0_from_step(pulses_[pi], st);
        }
        b.ws = ser_.of_sample[ws_sample];
        b.we = ser_.of_sample[we_sample];
        const std::size_t m = b.we - b.ws + 1;
        w.ws_sample = ws_sample;
        w.we_sample = we_sample;
        w.ends_in_soc_step = ends_in_soc_step;
        w.m = m;
        w.wt.assign(ser_.t.begin() + static_cast<std::ptrdiff_t>(b.ws),
                    ser_.t.begin() + static_cast<std::ptrdiff_t>(b.we) + 1);
        w.wv.resize(m);
        w.ww.resize(m);
        w.shape.resize(m);
        w.id.assign(m, 0.0);
        w.ic.assign(m, 0.0);
        for (std::size_t k = 0; k < m; ++k) {
            const std::size_t g = b.ws + k;
            w.wv[k] = ser_.v[g];
            w.ww[k] = ser_.w[g];
            w.shape[k] = ocv_ser_[g] - ocv_ser_[b.ws];
            const Step& st = steps_[static_cast<std::size_t>(ser_.step_of[g])];
            if (st.kind == StepKind::Discharge)
                w.id[k] = ser_.i[g];
            else if (st.kind == StepKind::Charge)
                w.ic[k] = ser_.i[g];
        }
        return w;
    }

    // A pulse of one or two samples: R0 from the voltage's step over the current's step at its first
    // sample (the branches take no visible part in so short a load), its branches not determined.
    void r0_from_step(ProtocolPulse& p, const Step& st) {
        const std::string why =
            std::to_string(st.last - st.first + 1) + " samples over " + fmt("%g", st.t_end - st.t_begin) + " s";
        if (st.first == 0) {
            p.status = "rejected: too short for the sampling (" + why + ")";
            return;
        }
        const std::size_t a = ser_.of_sample[st.first - 1], g = ser_.of_sample[st.first];
        const double di = ser_.i[g] - ser_.i[a], dv = ser_.v[g] - ser_.v[a];
        const double r0 = di != 0.0 ? dv / di : std::numeric_limits<double>::quiet_NaN();
        if (!(r0 > 0.0) || !std::isfinite(r0)) {
            p.status = "rejected: too short for the sampling (" + why + ") and no voltage step to give R0";
            return;
        }
        p.r0 = r0;
        p.r.assign(static_cast<std::size_t>(cfg_.branches), std::numeric_limits<double>::quiet_NaN());
        p.tau = p.r;
        p.r_se = p.r;
        p.tau_se = p.r;
        p.determined.assign(static_cast<std::size_t>(cfg_.branches), false);
        p.window_first = st.first - 1;
        p.window_last = st.last;
        p.status = "fitted";
        p.fitted = true;
        ++r0_only_;
    }

    // What the previous block's pulses and steps leave in this window (every
    // branch: the time constants are bounded by what their own window saw).
    std::vector<double> known_response(const Block& b, const BlockWindow& w) const {
        std::vector<double> known(w.m, 0.0);
        if (!have_prev_) return known;
        const std::size_t a = prev_ws_, len = b.we - a + 1;
        std::vector<double> ht(ser_.t.begin() + static_cast<std::ptrdiff_t>(a),
                               ser_.t.begin() + static_cast<std::ptrdiff_t>(b.we) + 1);
        std::vector<double> hd(len, 0.0), hc(len, 0.0);
        for (std::size_t k = 0; k < len && a + k < b.ws; ++k) {
            const Step& st = steps_[static_cast<std::size_t>(ser_.step_of[a + k])];
            if (st.kind == StepKind::Discharge)
                hd[k] = ser_.i[a + k];
            else if (st.kind == StepKind::Charge)
                hc[k] = ser_.i[a + k];
        }
        if (!prev_c_.have)
            for (std::size_t k = 0; k < len; ++k) hd[k] += hc[k], hc[k] = 0.0;
        if (!prev_d_.have)
            for (std::size_t k = 0; k < len; ++k) hc[k] += hd[k], hd[k] = 0.0;
        const auto rd = channel_response(prev_d_, ht, hd), rc = channel_response(prev_c_, ht, hc);
        for (std::size_t k = 0; k < w.m; ++k) known[k] = rd[b.ws - a + k] + rc[b.ws - a + k];
        return known;
    }

    // One channel fitted over the first `upto` samples of the window with the
    // other channel's response `other` held.
    ChannelResult fit_channel(const BlockWindow& bw, const std::vector<double>& ich, const std::vector<double>& other,
                              std::size_t upto, const ChannelFit* start) const {
        if (cfg_.method == FitMethod::Pulse) return fit_channel_two_pass(bw, ich, other, upto, start);
        std::vector<double> y(upto);
        for (std::size_t k = 0; k < upto; ++k) y[k] = bw.wv[k] - bw.known[k] - other[k];
        JointWindow w;
        w.t = bw.wt.data();
        w.i = ich.data();
        w.y = y.data();
        w.n = upto;
        w.shape = bw.shape.data();
        w.weight = bw.ww.data();
        // A window that ends in a SOC step carries the slow relaxation of what came
        // before it as a drift; one that ends with a long rest is a whole cycle.
        w.bump = !bw.ends_in_soc_step;
        std::size_t last_load = 0;
        for (std::size_t k = 0; k < upto; ++k)
            if (ich[k] != 0.0) last_load = k;
        w.pulse_last = last_load;
        std::vector<double> ich_cut(ich.begin(), ich.begin() + static_cast<std::ptrdiff_t>(upto));
        const double seen = observed_after_load(ich_cut, bw.wt);
        w.tau_ok_hi = seen / 2.0;
        // Responses much slower than what the window sees are the drift and OCV terms' business.
        w.tau_hi = std::max(5.0 * seen, 1.0);
        JointFit jf = fit_cycle_joint(w, cfg_.branches, start && start->have ? start->tau : std::vector<double>{});
        ChannelResult out;
        ChannelFit& c = out.fit;
        c.have = true;
        c.r0 = jf.r0;
        c.r = jf.r;
        c.tau = jf.tau;
        c.determined = jf.determined;
        c.r0_se = jf.r0_se;
        c.r_se = jf.r_se;
        c.tau_se = jf.tau_se;
        c.unc = jf.unc;
        c.at_bound = jf.at_bound;
        double ss = 0.0, ws_sum = 0.0;
        for (std::size_t k = 0; k < upto; ++k) {
            const double e = y[k] - jf.model[k];
            ss += bw.ww[k] * e * e;
            ws_sum += bw.ww[k];
        }
        out.rms = std::sqrt(ss / std::max(ws_sum, 1.0));
        out.model = std::move(jf.model);
        return out;
    }

    // The two-pass fit of one channel over the first `upto` samples of the
    // window: the overvoltage over the level of the rest before the first load
    // (and the OCV's shape), R0, R1, C1 over the rest and the first 70 % of the
    // first load, then R2, C2 over the whole stretch with those held.
    ChannelResult fit_channel_two_pass(const BlockWindow& bw, const std::vector<double>& ich,
                                       const std::vector<double>& other, std::size_t upto,
                                       const ChannelFit* start) const {
        std::size_t load_first = 0;
        while (load_first < upto && ich[load_first] == 0.0) ++load_first;
        if (load_first == upto) throw DataError("no load in the window");
        std::size_t load_last = load_first;
        while (load_last + 1 < upto && ich[load_last + 1] != 0.0) ++load_last;
        std::vector<double> y(upto), before;
        for (std::size_t k = 0; k < upto; ++k) {
            y[k] = bw.wv[k] - bw.known[k] - other[k] - bw.shape[k];
            if (k < load_first && bw.ww[k] > 0.0) before.push_back(y[k]);
        }
        if (before.empty()) throw DataError("no rest sample before the first load of the window");
        const double level = median(before);
        for (double& x : y) x -= level;
        const double* t = bw.wt.data();
        const double* w = bw.ww.data();
        const std::size_t len_fall = static_cast<std::size_t>(0.7 * static_cast<double>(load_last - load_first + 1));
        const std::size_t n1 = std::min(upto, load_first + std::max<std::size_t>(len_fall, 2));
        // First pass: the start values of the previous window, or the best of a grid in C1.
        std::vector<std::array<double, 3>> starts;
        if (start != nullptr && start->have && !start->r.empty() && start->r[0] > 0.0)
            starts.push_back({start->r0, start->r[0], start->tau[0] / start->r[0]});
        for (double ci : {1.0, 10.0, 100.0, 1000.0, 4000.0}) starts.push_back({0.5, 0.05, ci});
        auto inside = [](double x) { return std::min(std::max(x, kFitLowerBound), kFitUpperBound); };
        for (auto& x0 : starts)
            for (double& x : x0) x = inside(x);
        LsqResult r1;
        bool have1 = false;
        for (const auto& x0 : starts) {
            LsqResult r = fit_model1(t, ich.data(), y.data(), n1, x0, 0.1, 1e-8, 0, {}, w);
            if (!have1 || r.cost < r1.cost) r1 = std::move(r), have1 = true;
        }
        ChannelResult out;
        ChannelFit& c = out.fit;
        c.have = true;
        c.r0 = r1.x[0];
        c.r = {r1.x[1]};
        std::vector<double> cap = {r1.x[2]};
        const std::vector<std::string> names1 = {"R0", "R1", "C1"}, names2 = {"R2", "C2"};
        auto note_bounds = [&](const LsqResult& r, const std::vector<std::string>& names) {
            for (std::size_t k = 0; k < names.size() && k < static_cast<std::size_t>(r.active_mask.size()); ++k) {
                const int side = r.active_mask[static_cast<Eigen::Index>(k)];
                if (side != 0) c.at_bound.push_back(names[k] + (side > 0 ? " upper" : " lower"));
            }
        };
        note_bounds(r1, names1);
        std::size_t nfit = n1;
        LsqResult r2;
        if (cfg_.branches == 2) {
            std::vector<std::array<double, 2>> starts2 = {{1.0, 100.0}, {r1.x[1], 10.0 * r1.x[2]}};
            if (start != nullptr && start->have && start->r.size() == 2 && start->r[1] > 0.0)
                starts2.push_back({start->r[1], start->tau[1] / start->r[1]});
            for (auto& x0 : starts2)
                for (double& x : x0) x = inside(x);
            bool have2 = false;
            for (const auto& x0 : starts2) {
                LsqResult r = fit_model2_branch(t, ich.data(), y.data(), upto, r1.x[0], r1.x[1], r1.x[2], x0, 1.0,
                                                1e-10, 0, {}, w);
                if (!have2 || r.cost < r2.cost) r2 = std::move(r), have2 = true;
            }
            c.r.push_back(r2.x[0]);
            cap.push_back(r2.x[1]);
            note_bounds(r2, names2);
            nfit = upto;
        }
        std::vector<double> ich_cut(ich.begin(), ich.begin() + static_cast<std::ptrdiff_t>(upto));
        const double seen = observed_after_load(ich_cut, bw.wt);
        for (std::size_t b = 0; b < c.r.size(); ++b) c.tau.push_back(c.r[b] * cap[b]);
        c.unc = two_pass_uncertainty(r1, cfg_.branches == 2 ? &r2 : nullptr, 0.1, 1.0, c);
        c.r0_se = c.unc.r0_se;
        c.r_se = c.unc.r_se;
        c.tau_se = c.unc.tau_se;
        for (std::size_t b = 0; b < c.r.size(); ++b) {
            const std::string k = std::to_string(b + 1);
            bool on_bound = false;
            for (const auto& ab : c.at_bound)
                on_bound = on_bound || ab.rfind("R" + k + " ", 0) == 0 || ab.rfind("C" + k + " ", 0) == 0;
            c.determined.push_back(!on_bound && c.tau[b] <= seen / 2.0);
        }
        // The response over the whole stretch, on the level and the OCV's shape.
        const std::vector<double> resp = channel_response(c, bw.wt, ich_cut);
        out.model.resize(upto);
        double ss = 0.0, ws_sum = 0.0;
        for (std::size_t k = 0; k < upto; ++k) {
            out.model[k] = resp[k] + level + bw.shape[k];
            if (k < nfit) {
                const double e = y[k] - resp[k];
                ss += w[k] * e * e;
                ws_sum += w[k];
            }
        }
        out.rms = std::sqrt(ss / std::max(ws_sum, 1.0));
        return out;
    }

    // The window's channels: one alone, or both in turn (first the channel of
    // the first pulse, up to the other channel's first load; then each with
    // the other's response held).
    void fit_channels(const Block& b, const BlockWindow& w, bool has_d, bool has_c, ChannelFit& fd, ChannelFit& fc,
                      double& rms, std::vector<double>& model_other, std::vector<double>& fit_model) const {
        const std::size_t m = w.m;
        if (has_d && has_c) {
            const bool d_first = pulses_[b.pulses.front()].discharge;
            const std::vector<double>& i1 = d_first ? w.id : w.ic;
            const std::vector<double>& i2 = d_first ? w.ic : w.id;
            std::size_t upto = 0;
            while (upto < m && i2[upto] == 0.0) ++upto;
            ChannelFit f1, f2;
            std::vector<double> zero(m, 0.0);
            if (upto >= 12) f1 = fit_channel(w, i1, zero, upto, nullptr).fit;
            for (int round = 0; round < 3; ++round) {
                const auto r1 = channel_response(f1, w.wt, i1);
                ChannelResult got2 = fit_channel(w, i2, r1, m, round ? &f2 : nullptr);
                f2 = got2.fit;
                const auto r2 = channel_response(f2, w.wt, i2);
                ChannelResult got1 = fit_channel(w, i1, r2, m, f1.have ? &f1 : nullptr);
                f1 = got1.fit;
                rms = got1.rms;
                fit_model = got1.model;
                model_other = r2;
            }
            fd = d_first ? f1 : f2;
            fc = d_first ? f2 : f1;
        } else {
            ChannelResult got = fit_channel(w, has_d ? w.id : w.ic, model_other, m, nullptr);
            (has_d ? fd : fc) = got.fit;
            rms = got.rms;
            fit_model = got.model;
        }
    }

    // Each pulse of the block takes its channel's fit, rejected above the RMS
    // limit or with a parameter on a bound.
    void grade(const Block& b, const BlockWindow& w, bool has_d, bool has_c, const ChannelFit& fd, const ChannelFit& fc,
               double rms) {
        const double limit = rms_limit_of(w, cfg_);
        for (std::size_t pi : b.pulses) {
            ProtocolPulse& p = pulses_[pi];
            if (!p.status.empty()) continue;
            const ChannelFit& c = p.discharge ? (has_d ? fd : fc) : (has_c ? fc : fd);
            p.r0 = c.r0;
            p.r = c.r;
            p.tau = c.tau;
            p.determined = c.determined;
            p.r0_se = c.r0_se;
            p.r_se = c.r_se;
            p.tau_se = c.tau_se;
            p.unc = c.unc;
            p.rms = rms;
            p.window_first = w.ws_sample;
            p.window_last = w.we_sample;
            // A time constant on its upper bound is one the window cannot tell (not determined), not a fault.
            p.at_bound = c.at_bound;
            std::vector<std::string> faults;
            for (const auto& ab : c.at_bound)
                if (!undetermined_bound(ab, cfg_.method)) faults.push_back(ab);
            if (!faults.empty()) {
                std::string names;
                for (const auto& ab : faults) names += (names.empty() ? "" : ", ") + ab;
                p.status = "rejected: fit on a bound (" + names + ")";
            } else if (!(rms <= limit)) {
                // Kept: the circuit fits it poorly (a cold cell, say), and the medians fall back to it
                // when no pulse is within the limit.
                p.status = "fitted, RMS " + fmt("%.2f", rms * 1e3) + " mV above " + fmt("%.3g", limit * 1e3) + " mV";
                p.flagged = std::isfinite(rms);
                if (!p.flagged) p.status = "rejected: the fit left no finite RMS";
            } else {
                p.status = "fitted";
                p.fitted = true;
            }
        }
    }

    const ProtocolSettings& cfg_;
    const Series& ser_;
    const std::vector<Step>& steps_;
    const std::vector<bool>& sep_;
    const std::vector<double>& t_;
    const std::size_t n_;
    const std::ptrdiff_t full_;
    const std::vector<double>& ocv_ser_;
    std::vector<ProtocolPulse>& pulses_;
    ProtocolResult& res_;
    ChannelFit prev_d_, prev_c_;  // the previous block's fits, for what they leave in this window

public:
    std::size_t r0_only_ = 0;  // pulses too short for a fit: R0 from the voltage step alone

private:
    std::size_t prev_ws_ = 0;
    bool have_prev_ = false;
};

// Medians over the fitted discharge pulses (charge pulses when there are none);
// throws when no pulse was fitted.
void pulse_medians(const ProtocolSettings& cfg, ProtocolResult& res) {
    const int nb = cfg.branches;
    std::size_t fitted_d = 0, fitted_c = 0;
    for (const auto& p : res.pulses) (p.discharge ? fitted_d : fitted_c) += p.fitted;
    // No pulse within the RMS limit: the flagged ones, said so.
    bool use_flagged = false;
    if (fitted_d + fitted_c == 0) {
        for (const auto& p : res.pulses) (p.discharge ? fitted_d : fitted_c) += p.flagged;
        use_flagged = fitted_d + fitted_c > 0;
        if (use_flagged)
            res.warnings.push_back(cfg.label + ": no pulse is fitted within the RMS limit of " +
                                   fmt("%g", cfg.rms_limit_V * 1e3) + " mV; the medians take the " +
                                   std::to_string(fitted_d + fitted_c) + " pulses fitted above it");
    }
    auto usable = [&](const ProtocolPulse& p) { return use_flagged ? p.flagged : p.fitted; };
    if (fitted_d + fitted_c == 0) {
        std::map<std::string, int> why;
        for (const auto& p : res.pulses) why[p.status.substr(0, p.status.find(" ("))]++;
        std::string msg = std::to_string(res.pulses.size()) + " pulses found, none fitted:";
        for (const auto& kv : why) msg += " " + std::to_string(kv.second) + " " + kv.first + ";";
        msg.pop_back();
        throw DataError(msg);
    }
    const bool use_d = fitted_d > 0;
    std::vector<std::vector<double>> cols(static_cast<std::size_t>(1 + 2 * nb));
    bool fallback = false;
    for (int pass = 0; pass < 2; ++pass) {
        for (auto& c : cols) c.clear();
        for (const auto& p : res.pulses) {
            if (!usable(p) || p.discharge != use_d) continue;
            cols[0].push_back(p.r0);
            for (int bi = 0; bi < nb; ++bi) {
                const auto B = static_cast<std::size_t>(bi);
                if ((pass == 0 && !p.determined[B]) || !std::isfinite(p.r[B])) continue;
                cols[1 + 2 * B].push_back(p.r[B]);
                cols[2 + 2 * B].push_back(p.r[B] > 0.0 ? p.tau[B] / p.r[B] : std::numeric_limits<double>::quiet_NaN());
            }
        }
        bool empty = false;
        for (const auto& c : cols) empty = empty || c.empty();
        if (!empty) break;
        fallback = true;
    }
    if (fallback)
        res.warnings.push_back(cfg.label +
                               ": no pulse determines every time constant; the medians take every fitted pulse");
    if (!use_d)
        res.warnings.push_back(cfg.label + ": no discharge pulse was fitted; the medians come from the charge pulses");
    std::vector<double> mean;
    column_mean_median(cols, mean, res.median);
}

}  // namespace

ProtocolResult process_protocol(const RecordingColumns& in, const ProtocolSettings& cfg_in, PipelineObserver& obs) {
    ProtocolResult res;
    const std::size_t n = kept_samples(in, cfg_in, res);
    res.samples = n;
    obs.cut(n);
    const double* v = in.voltage;
    std::vector<double> t(in.time, in.time + n), cur(in.current, in.current + n);

    // Segmentation and roles.
    Segmentation sg = segment_steps(t.data(), cur.data(), v, n, cfg_in.step_id);
    res.rest_threshold = sg.rest_threshold;
    res.jump_tolerance = sg.jump_tolerance;
    res.charge_positive = sg.charge_positive;
    res.export_step_changes = sg.export_step_changes;
    std::vector<Step>& steps = sg.steps;
    step_times(steps, t, cur);
    const EdgeTiming timing = cfg_in.edge_timing ? *cfg_in.edge_timing
                              : cfg_in.step_hold ? EdgeTiming{false, 0.0}
                                                 : EdgeTiming{};
    Series ser = make_series(t.data(), cur.data(), v, n, steps, timing);
    const std::vector<std::size_t> open_gaps = carry_gaps(ser, t, n, cfg_in, res);
    res.min_ocv_rest_s =
        std::isfinite(cfg_in.min_ocv_rest_s) ? cfg_in.min_ocv_rest_s : ocv_rest_of(steps, cfg_in.max_pulse_s);
    ProtocolSettings cfg = cfg_in;
    cfg.min_ocv_rest_s = res.min_ocv_rest_s;
    const std::ptrdiff_t full = assign_roles(steps, cfg);
    steady_start_rest(steps, full, t.data(), v, cfg.min_ocv_rest_s);
    res.full_charge_found = full >= 0;
    reanchor_gaps(ser, steps, open_gaps, v, t, cfg, res);
    for (std::size_t s = 0; s < steps.size(); ++s) {
        const std::size_t a = s == 0 ? 0 : ser.of_sample[steps[s].first - 1];
        steps[s].charge_Ah = (ser.q[ser.of_sample[steps[s].last]] - ser.q[a]) / 3600.0;
    }

    // Capacity and SOC, the OCV points and curve.
    const std::vector<double> soc_ser = count_soc(ser, steps, full, v, n, cfg, res);
    ocv_points(steps, full, t.data(), v, cfg, res);
    const std::vector<double> ocv_ser = res.relaxed_soc.size() == 1
                                            ? std::vector<double>(soc_ser.size(), res.relaxed_v[0])
                                            : pchip(res.relaxed_soc, res.relaxed_v, soc_ser);

    // Pulses and their windows: a block is what lies between two long rests.
    std::map<std::size_t, std::size_t> pulse_of_step;
    std::vector<ProtocolPulse> pulses = find_pulses(steps, res.soc, pulse_of_step);
    const std::vector<bool> sep = window_rests(steps);
    std::vector<Block> blocks = find_blocks(steps, sep, pulse_of_step);
    const long long total = static_cast<long long>(blocks.size());
    long long done = 0;
    obs.progress(0, total);
    res.edge_timing = timing.text();
    BlockFitter fitter(cfg, ser, steps, t, n, full, ocv_ser, pulses, res, sep);
    for (Block& b : blocks) {
        fitter.fit(b);
        obs.progress(++done, total);
    }
    if (fitter.r0_only_ > 0)
        res.warnings.push_back(cfg.label + ": " + std::to_string(fitter.r0_only_) +
                               " pulse(s) of one or two samples (cut short at a voltage limit): R0 from the voltage's "
                               "step alone, their branches not determined");
    for (ProtocolPulse& p : pulses) {
        const Step& st = steps[p.step];
        if (p.status.empty()) p.status = "rejected: in no window (no long rest before it)";
        if (p.window_last == 0) {
            p.window_first = st.first;
            p.window_last = st.last;
        }
    }
    res.pulses = std::move(pulses);
    res.steps = std::move(steps);
    res.current = std::move(cur);

    pulse_medians(cfg, res);
    return res;
}

}  // namespace ecm
