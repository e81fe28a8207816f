#include "core/circuit/thermal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/base/numtext.hpp"
#include "core/circuit/circuit.hpp"
#include "core/numeric/interp.hpp"

namespace ecm {
namespace {

// The model's evaluations per rounded temperature.
class ModelCache {
public:
    ModelCache(const ModelEvaluator& ev, bool use_tables, double step, bool slopes)
        : ev_(ev), tables_(use_tables), step_(step), slopes_(slopes) {}

    struct Entry {
        SimModel m;
        std::vector<double> docv_dt;  // on m.ocv_soc
    };

    const Entry& at(double temperature, std::size_t sample) {
        if (!std::isfinite(temperature) || std::fabs(temperature) > 1000.0)
            throw DataError("the temperature at sample " + std::to_string(sample) + " is " +
                            std::to_string(temperature) + " C; expected a finite cell temperature");
        const auto key = static_cast<long long>(std::llround(temperature / step_));
        auto it = cache_.find(key);
        if (it != cache_.end()) return it->second;
        const double rounded = static_cast<double>(key) * step_;
        Entry e{ev_.at(rounded, tables_), {}};
        check_sim_model(e.m);
        if (slopes_) e.docv_dt = ev_.ocv_slope(rounded);
        return cache_.emplace(key, std::move(e)).first->second;
    }
    int size() const { return static_cast<int>(cache_.size()); }

private:
    const ModelEvaluator& ev_;
    bool tables_;
    double step_;
    bool slopes_;
    std::map<long long, Entry> cache_;
};

}  // namespace

std::vector<double> smooth_in_time(const double* t, const double* x, std::size_t n, double window_s,
                                   const double* t_out, std::size_t m) {
    if (!(window_s >= 0.0) || !std::isfinite(window_s)) throw DataError("the smoothing window must be >= 0 s");
    std::vector<double> tf, xf;
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0 && !(t[k] >= t[k - 1])) throw DataError("the time goes backwards at sample " + std::to_string(k));
        if (std::isfinite(x[k]) && std::isfinite(t[k])) {
            tf.push_back(t[k]);
            xf.push_back(x[k]);
        }
    }
    if (tf.empty()) throw DataError("the series holds no finite value");
    for (std::size_t k = 1; k < m; ++k)
        if (!(t_out[k] >= t_out[k - 1])) throw DataError("the output times go backwards at " + std::to_string(k));
    std::vector<double> out(m);
    std::size_t lo = 0, hi = 0, hint = 0;
    double sum = 0.0;  // of xf[lo, hi)
    const double half = 0.5 * window_s;
    for (std::size_t k = 0; k < m; ++k) {
        while (hi < tf.size() && tf[hi] <= t_out[k] + half) sum += xf[hi++];
        while (lo < hi && tf[lo] < t_out[k] - half) sum -= xf[lo++];
        if (hi > lo) {
            // a fresh sum now and then keeps the running one from drifting
            if ((k & 4095) == 0) {
                sum = 0.0;
                for (std::size_t j = lo; j < hi; ++j) sum += xf[j];
            }
            out[k] = sum / static_cast<double>(hi - lo);
        } else {
            out[k] = interp_linear_at(t_out[k], tf.data(), xf.data(), tf.size(), hint);
        }
    }
    return out;
}

ThermalSimResult simulate_model_at_temperatures(const double* t, const double* i, std::size_t n,
                                                const ModelEvaluator& ev, double soc0, bool use_tables,
                                                const TemperatureInput& temp, double step_c) {
    if (!std::isfinite(soc0)) throw DataError("the initial SOC is not finite");
    if (!(step_c > 0.0) || !std::isfinite(step_c)) throw DataError("the temperature step must be positive");
    check_rc_input(t, i, n);
    const bool thermal = temp.measured == nullptr;
    if (thermal == (temp.ambient == nullptr))
        throw DataError("give either the measured temperature or the ambient with a thermal model");
    const double cap = temp.thermal.heat_capacity_j_per_k, g = temp.thermal.conductance_w_per_k;
    if (thermal && !(cap > 0.0 && std::isfinite(cap) && g >= 0.0 && std::isfinite(g)))
        throw DataError("the thermal model needs a positive heat capacity (J/K) and a conductance >= 0 (W/K)");
    const double* src = thermal ? temp.ambient : temp.measured;
    for (std::size_t k = 0; k < n; ++k)
        if (!std::isfinite(src[k]))
            throw DataError(std::string(thermal ? "the ambient" : "the temperature") + " at sample " +
                            std::to_string(k) + " is not a finite number");

    ModelCache cache(ev, use_tables, step_c, true);  // the slopes give the heat, measured temperature or not
    // the slow branch, where the tables hold one, is the last of at()'s branches
    const std::size_t nb = static_cast<std::size_t>(ev.branches()) + (use_tables && ev.has_slow_branch() ? 1 : 0);
    ThermalSimResult out;
    out.v.assign(n, 0.0);
    out.soc.assign(n, soc0);
    out.ocv.assign(n, 0.0);
    out.branch.assign(nb, std::vector<double>(n, 0.0));
    out.temperature.assign(n, 0.0);
    out.heat.assign(n, 0.0);
    if (n == 0) return out;
    out.temperature[0] = thermal ? (std::isfinite(temp.initial) ? temp.initial : temp.ambient[0]) : temp.measured[0];

    std::vector<double> u(nb, 0.0);
    std::vector<std::size_t> hint(nb, 0), hint_t(nb, 0);
    std::size_t h_ocv = 0, h_r0 = 0, h_s = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double tk = out.temperature[k];
        const ModelCache::Entry& e = cache.at(tk, k);
        const SimModel& m = e.m;
        const double s = out.soc[k];
        const double ocv = interp_linear_at(s, m.ocv_soc.data(), m.ocv_v.data(), m.ocv_soc.size(), h_ocv);
        double v =
            ocv +
            (i[k] != 0.0 ? interp_linear_at(s, m.param_soc.data(), m.r0.data(), m.param_soc.size(), h_r0) * i[k] : 0.0);
        for (std::size_t b = 0; b < nb; ++b) {
            out.branch[b][k] = u[b];
            v += u[b];
        }
        out.ocv[k] = ocv;
        out.v[k] = v;
        // the heat the thermal model sees (also along a measured temperature, for fitting one)
        const double slope = e.docv_dt.size() == m.ocv_soc.size()
                                 ? interp_linear_at(s, m.ocv_soc.data(), e.docv_dt.data(), m.ocv_soc.size(), h_s)
                                 : 0.0;
        out.heat[k] = i[k] * (v - ocv) + i[k] * (tk + 273.15) * slope;
        if (k + 1 == n) break;
        const double h = t[k + 1] - t[k];
        out.soc[k + 1] = s + 0.5 * (i[k] + i[k + 1]) * h / (m.capacity_ah * 3600.0);
        if (!std::isfinite(out.soc[k + 1]))
            throw DataError("the charge moved by sample " + std::to_string(k + 1) +
                            " is not a finite number; the times or currents are out of range");
        const double mid = 0.5 * (s + out.soc[k + 1]);
        for (std::size_t b = 0; b < nb; ++b) {
            const double r = interp_linear_at(mid, m.param_soc.data(), m.r[b].data(), m.param_soc.size(), hint[b]);
            const double tau =
                interp_linear_at(mid, m.param_soc.data(), m.tau[b].data(), m.param_soc.size(), hint_t[b]);
            u[b] = h > 0.0 ? rc_branch_step(u[b], r, tau, h, i[k], i[k + 1]) : u[b];
        }
        if (thermal) {
            // exact response of the lumped mass to a constant heat over the interval
            const double ta = temp.ambient[k];
            if (g > 0.0) {
                const double settle = ta + out.heat[k] / g;
                out.temperature[k + 1] = settle + (tk - settle) * std::exp(-g * h / cap);
            } else {
                out.temperature[k + 1] = tk + out.heat[k] * h / cap;
            }
        } else {
            out.temperature[k + 1] = temp.measured[k + 1];
        }
    }
    out.temperatures_evaluated = cache.size();
    return out;
}

namespace {

// For a thermal time constant tau = C / G: the temperature from the first sample's is
// T_k = T0 e_k + T_amb (1 - e_k) + y_k / C, e_k = exp(-(t_k - t_0) / tau), y the heat filtered by
// the mass's exact response to each interval's mean heat. Linear in (T_amb, 1 / C): solved by least
// squares; returns the sum of squares and sets ambient and inv_c.
double thermal_at_tau(const double* t, const double* heat, const double* temp_c, std::size_t n, double tau,
                      double& ambient, double& inv_c) {
    double saa = 0.0, sab = 0.0, sbb = 0.0, sar = 0.0, sbr = 0.0, srr = 0.0, y = 0.0, e = 1.0;
    for (std::size_t k = 1; k < n; ++k) {
        const double h = t[k] - t[k - 1];
        const double d = std::exp(-h / tau);
        y = y * d + 0.5 * (heat[k - 1] + heat[k]) * tau * (1.0 - d);
        e *= d;
        const double ca = 1.0 - e, cb = y, r = temp_c[k] - temp_c[0] * e;
        saa += ca * ca, sab += ca * cb, sbb += cb * cb, sar += ca * r, sbr += cb * r, srr += r * r;
    }
    const double det = saa * sbb - sab * sab;
    if (!(std::fabs(det) > 1e-300)) {
        ambient = inv_c = std::numeric_limits<double>::quiet_NaN();
        return std::numeric_limits<double>::infinity();
    }
    ambient = (sar * sbb - sbr * sab) / det;
    inv_c = (saa * sbr - sab * sar) / det;
    return srr - 2.0 * (ambient * sar + inv_c * sbr) + ambient * ambient * saa + 2.0 * ambient * inv_c * sab +
           inv_c * inv_c * sbb;
}

}  // namespace

ThermalFit fit_lumped_thermal(const double* t, const double* heat_w, const double* temp_c, std::size_t n,
                              double min_tau_s) {
    if (!(min_tau_s > 0.0) || !std::isfinite(min_tau_s)) throw DataError("the shortest time constant must be positive");
    if (n < 3) throw DataError("a thermal fit needs at least 3 samples, found " + std::to_string(n));
    double tmin = temp_c[0], tmax = temp_c[0];
    const std::vector<double> heat(heat_w, heat_w + n);
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(t[k]) || !std::isfinite(heat[k]) || !std::isfinite(temp_c[k]))
            throw DataError("sample " + std::to_string(k) + " holds a value that is not a finite number");
        if (k && !(t[k] >= t[k - 1])) throw DataError("the time goes backwards at sample " + std::to_string(k));
        tmin = std::min(tmin, temp_c[k]);
        tmax = std::max(tmax, temp_c[k]);
    }
    if (tmax - tmin < 0.2)
        throw DataError("the measured temperature moves by " + py_repr(tmax - tmin) +
                        " K over the recording: too little to tell a heat capacity and a conductance");
    const double span = t[n - 1] - t[0];
    const double hi_tau = std::max(span, 2.0 * min_tau_s);
    // the time constant on a log grid, then refined by golden sections around the best point
    constexpr int kGrid = 40;
    double amb = 0.0, inv = 0.0, best_tau = min_tau_s, best = std::numeric_limits<double>::infinity();
    std::vector<double> grid(kGrid);
    for (int g = 0; g < kGrid; ++g) {
        grid[static_cast<std::size_t>(g)] = min_tau_s * std::pow(hi_tau / min_tau_s, g / (kGrid - 1.0));
        const double ss = thermal_at_tau(t, heat.data(), temp_c, n, grid[static_cast<std::size_t>(g)], amb, inv);
        if (ss < best && inv > 0.0) best = ss, best_tau = grid[static_cast<std::size_t>(g)];
    }
    if (!std::isfinite(best))
        throw DataError(
            "the measured temperature does not determine the thermal model (no positive heat "
            "capacity explains it); give it (--thermal C,G)");
    double lo = std::log(std::max(min_tau_s, best_tau / std::pow(hi_tau / min_tau_s, 1.0 / (kGrid - 1.0))));
    double up = std::log(std::min(hi_tau, best_tau * std::pow(hi_tau / min_tau_s, 1.0 / (kGrid - 1.0))));
    const double phi = 0.5 * (std::sqrt(5.0) - 1.0);
    auto cost = [&](double lt) {
        const double ss = thermal_at_tau(t, heat.data(), temp_c, n, std::exp(lt), amb, inv);
        return inv > 0.0 ? ss : std::numeric_limits<double>::infinity();
    };
    double x1 = up - phi * (up - lo), x2 = lo + phi * (up - lo), f1 = cost(x1), f2 = cost(x2);
    for (int it = 0; it < 60 && up - lo > 1e-6; ++it) {
        if (f1 <= f2) {
            up = x2, x2 = x1, f2 = f1, x1 = up - phi * (up - lo), f1 = cost(x1);
        } else {
            lo = x1, x1 = x2, f1 = f2, x2 = lo + phi * (up - lo), f2 = cost(x2);
        }
    }
    const double lt = f1 <= f2 ? x1 : x2;
    double tau = std::exp(lt);
    double ss = thermal_at_tau(t, heat.data(), temp_c, n, tau, amb, inv);
    if (!(ss <= best) || !(inv > 0.0)) ss = thermal_at_tau(t, heat.data(), temp_c, n, tau = best_tau, amb, inv);
    ThermalFit out;
    out.thermal.heat_capacity_j_per_k = 1.0 / inv;
    out.thermal.conductance_w_per_k = 1.0 / (inv * tau);
    out.ambient_c = amb;
    out.rms_k = std::sqrt(std::max(ss, 0.0) / static_cast<double>(n - 1));
    out.tau_s = tau;
    out.on_bound = tau <= min_tau_s * 1.001 || tau >= hi_tau * 0.999;
    return out;
}

}  // namespace ecm
