#include "core/circuit/simulate.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/base/errors.hpp"
#include "core/circuit/circuit.hpp"
#include "core/numeric/charge.hpp"
#include "core/numeric/interp.hpp"

namespace ecm {
namespace {

// Linear interpolation on an ascending grid, flat beyond the ends. `hint`
// remembers the last interval: SOC moves little from one sample to the next.
double table_at(const std::vector<double>& x, const std::vector<double>& y, double q, std::size_t& hint) {
    return interp_linear_at(q, x.data(), y.data(), x.size(), hint);
}

void check_table(const std::vector<double>& x, const std::vector<double>& y, const char* what, bool positive,
                 bool allow_zero) {
    if (x.size() != y.size())
        throw DataError(std::string(what) + " table has " + std::to_string(y.size()) + " values for " +
                        std::to_string(x.size()) + " SOC points");
    for (double v : y) {
        if (!std::isfinite(v)) throw DataError(std::string(what) + " table holds a value that is not finite");
        if (positive && (v < 0.0 || (!allow_zero && v == 0.0)))
            throw DataError(std::string(what) + " table holds " + std::to_string(v) + "; expected a positive value");
    }
}

void check_grid(const std::vector<double>& x, const char* what, std::size_t min_size) {
    if (x.size() < min_size)
        throw DataError(std::string(what) + " has " + std::to_string(x.size()) + " points; at least " +
                        std::to_string(min_size) + " are needed");
    for (std::size_t k = 0; k < x.size(); ++k) {
        if (!std::isfinite(x[k])) throw DataError(std::string(what) + " holds a value that is not finite");
        if (k > 0 && !(x[k] > x[k - 1])) throw DataError(std::string(what) + " is not strictly ascending");
    }
}

bool constant(const std::vector<double>& y) {
    return std::all_of(y.begin(), y.end(), [&](double v) { return v == y.front(); });
}

}  // namespace

void check_sim_model(const SimModel& m) {
    check_grid(m.ocv_soc, "the OCV table's SOC axis", 2);
    check_table(m.ocv_soc, m.ocv_v, "the OCV", false, true);
    check_grid(m.param_soc, "the parameter tables' SOC axis", 1);
    check_table(m.param_soc, m.r0, "the R0", true, true);
    if (m.r.size() != m.tau.size()) throw DataError("every RC branch needs both an R and a tau table");
    for (std::size_t b = 0; b < m.r.size(); ++b) {
        const std::string n = std::to_string(b + 1);
        check_table(m.param_soc, m.r[b], ("the R" + n).c_str(), true, true);
        check_table(m.param_soc, m.tau[b], ("the tau" + n).c_str(), true, false);
    }
    if (!(std::isfinite(m.capacity_ah) && m.capacity_ah > 0.0))
        throw DataError("the capacity is " + std::to_string(m.capacity_ah) + " Ah; expected a positive number");
}

// u' = a u + r [ e1 i0 + (i1 - i0) g ] over a step of h seconds with x = h / tau:
// a = exp(-x), e1 = 1 - a, g = 1 - e1 / x (a series where it cancels).
double rc_branch_step(double u, double r, double tau, double h, double i0, double i1) {
    const double x = h / tau;
    const double a = std::exp(-x);
    const double e1 = -std::expm1(-x);
    double g;
    if (x < 0.05) {
        // x/2! - x^2/3! + x^3/4! - ... ; the first omitted term is below 1e-16 relative
        double term = x / 2.0, sum = 0.0;
        for (int k = 2; k <= 10; ++k) {
            sum += term;
            term *= -x / (k + 1);
        }
        g = sum;
    } else {
        g = 1.0 - e1 / x;
    }
    // no current over the step: the branch only relaxes, whatever R its table gives there
    const double drive = e1 * i0 + (i1 - i0) * g;
    return a * u + (drive != 0.0 ? r * drive : 0.0);
}

double soc_from_ocv(const SimModel& m, double v) {
    check_sim_model(m);
    if (!std::isfinite(v)) throw DataError("the rest voltage is not finite");
    const auto& x = m.ocv_soc;
    const auto& y = m.ocv_v;
    double top = y[0];
    if (v <= top) return x[0];
    for (std::size_t k = 1; k < x.size(); ++k) {
        if (y[k] > top) {
            if (v <= y[k]) return x[k - 1] + (v - top) / (y[k] - top) * (x[k] - x[k - 1]);
            top = y[k];
        }
    }
    return x.back();
}

SimResult simulate_model(const double* t, const double* i, std::size_t n, const SimModel& m, double soc0) {
    check_sim_model(m);
    if (!std::isfinite(soc0)) throw DataError("the initial SOC is not finite");
    check_rc_input(t, i, n);
    const std::size_t nb = m.r.size();
    SimResult out;
    out.v.assign(n, 0.0);
    out.soc.assign(n, soc0);
    out.ocv.assign(n, 0.0);
    out.branch.assign(nb, std::vector<double>(n, 0.0));
    if (n == 0) return out;

    const double q_as = m.capacity_ah * 3600.0;
    const std::vector<double> q = cumulative_charge_As(t, i, n);
    for (std::size_t k = 1; k < n; ++k) {
        out.soc[k] = soc0 + q[k] / q_as;
        if (!std::isfinite(q[k]) || !std::isfinite(out.soc[k]))
            throw DataError("the charge moved by sample " + std::to_string(k) +
                            " is not a finite number; the times or currents are out of range");
    }

    bool fixed = true;
    for (std::size_t b = 0; b < nb; ++b) fixed = fixed && constant(m.r[b]) && constant(m.tau[b]);
    if (fixed) {
        // Constant branches: the response the fits use.
        std::vector<double> r(nb), tau(nb);
        for (std::size_t b = 0; b < nb; ++b) {
            r[b] = m.r[b].front();
            tau[b] = m.tau[b].front();
        }
        out.branch = branch_voltages(t, i, n, r, tau, {});
    } else {
        std::vector<std::size_t> hint(nb, 0);
        std::vector<double> u(nb, 0.0);
        for (std::size_t k = 0; k + 1 < n; ++k) {
            const double mid = 0.5 * (out.soc[k] + out.soc[k + 1]);
            const double h = t[k + 1] - t[k];
            for (std::size_t b = 0; b < nb; ++b) {
                std::size_t hr = hint[b];
                const double r = table_at(m.param_soc, m.r[b], mid, hr);
                const double tau = table_at(m.param_soc, m.tau[b], mid, hint[b]);
                u[b] = h > 0.0 ? rc_branch_step(u[b], r, tau, h, i[k], i[k + 1]) : u[b];
                out.branch[b][k + 1] = u[b];
            }
        }
    }
    std::size_t h_ocv = 0, h_r0 = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double s = out.soc[k];
        out.ocv[k] = table_at(m.ocv_soc, m.ocv_v, s, h_ocv);
        // no current, no drop over R0, whatever its table gives there (an extreme table can
        // interpolate to an infinite value)
        double v = out.ocv[k] + (i[k] != 0.0 ? table_at(m.param_soc, m.r0, s, h_r0) * i[k] : 0.0);
        for (std::size_t b = 0; b < nb; ++b) v += out.branch[b][k];
        out.v[k] = v;
    }
    return out;
}

}  // namespace ecm
