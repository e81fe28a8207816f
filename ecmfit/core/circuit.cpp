#include "ecmfit/core/circuit.hpp"

#include <cmath>
#include <sstream>
#include <string>

#include "common/errors.hpp"

namespace ecm {
namespace {

// Coefficients of one step of length h for a branch with time constant tau,
// as functions of x = h/tau:
//   a   = exp(-x)                 decay of the capacitor voltage
//   e1  = 1 - a                   weight of the current at the step start
//   g   = 1 - (1 - a)/x           weight of the current change over the step
//   ax  = a*x                     -d(e1)/d(ln tau)
//   xdg = x * dg/dx               -dg/d(ln tau)
//   pr  = e1 - ax                 e1 + d(e1)/d(ln tau)
//   qr  = g - xdg                 g + dg/d(ln tau)
// g, xdg, pr and qr suffer cancellation for small x, so there they come from
// their Taylor series; a and e1 come from exp / expm1, accurate for any x.
struct StepCoef {
    double a, e1, g, ax, xdg, pr, qr;
};

constexpr int kSeriesTerms = 20;   // truncation below 1e-25 relative at x = 0.5
constexpr double kSeriesLimit = 0.5;

// Taylor coefficients c[k] of x^k (k = 0 .. kSeriesTerms) of g, x*g', e1 - a*x, g - x*g'.
struct SeriesTables {
    double g[kSeriesTerms + 1], xdg[kSeriesTerms + 1], pr[kSeriesTerms + 1], qr[kSeriesTerms + 1];
    SeriesTables() {
        double fact[kSeriesTerms + 2];
        fact[0] = 1.0;
        for (int k = 1; k <= kSeriesTerms + 1; ++k) fact[k] = fact[k - 1] * k;
        for (int k = 0; k <= kSeriesTerms; ++k) {
            const double sgn = (k % 2 == 0) ? 1.0 : -1.0;  // (-1)^k
            // g = sum_{k>=1} (-1)^(k+1) x^k/(k+1)!, x g' = sum (-1)^(k+1) k x^k/(k+1)!
            g[k] = k >= 1 ? -sgn / fact[k + 1] : 0.0;
            xdg[k] = k >= 1 ? -sgn * k / fact[k + 1] : 0.0;
            // 1 - (1+x) e^-x = sum_{k>=2} (-1)^k (k-1) x^k / k!
            pr[k] = k >= 2 ? sgn * (k - 1) / fact[k] : 0.0;
            // g - x g' = sum_{k>=2} (-1)^k (k-1) x^k / (k+1)!
            qr[k] = k >= 2 ? sgn * (k - 1) / fact[k + 1] : 0.0;
        }
    }
};

double horner(const double* c, double x) {
    double acc = 0.0;
    for (int k = kSeriesTerms; k >= 0; --k) acc = acc * x + c[k];
    return acc;
}

StepCoef step_coef(double x) {
    static const SeriesTables tab;
    StepCoef s;
    s.a = std::exp(-x);
    s.e1 = -std::expm1(-x);
    if (x < kSeriesLimit) {
        s.ax = s.a * x;
        s.g = horner(tab.g, x);
        s.xdg = horner(tab.xdg, x);
        s.pr = horner(tab.pr, x);
        s.qr = horner(tab.qr, x);
    } else {
        s.g = 1.0 - s.e1 / x;
        // For huge x the decay underflows to zero; a*x is then zero as well
        // (this also guards inf*0 when tau underflows).
        s.ax = s.a > 0.0 ? s.a * x : 0.0;
        s.xdg = (s.e1 - s.ax) / x;
        s.pr = s.e1 - s.ax;
        s.qr = s.g - s.xdg;
    }
    return s;
}

[[noreturn]] void bad_sample(const char* what, std::size_t k, double value) {
    std::ostringstream os;
    os.precision(17);
    os << what << " at sample " << k << " is " << value;
    throw DataError(os.str());
}

}  // namespace

void check_rc_input(const double* t, const double* i, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(t[k])) bad_sample("time is not finite: the time", k, t[k]);
        if (!std::isfinite(i[k])) bad_sample("current is not finite: the current", k, i[k]);
        if (k > 0 && t[k] < t[k - 1]) {
            std::ostringstream os;
            os.precision(17);
            os << "time decreases at sample " << k << ": " << t[k - 1] << " s is followed by "
               << t[k] << " s; the sample times must not decrease";
            throw DataError(os.str());
        }
    }
}

void add_rc_branch(const double* t, const double* i, std::size_t n, double r, double c,
                   double* y, double* dv_dr, double* dv_dc) {
    if (!(std::isfinite(r) && r > 0.0) || !(std::isfinite(c) && c > 0.0)) {
        std::ostringstream os;
        os.precision(17);
        os << "RC branch with R = " << r << " ohm and C = " << c
           << " F; both must be finite and positive";
        throw DataError(os.str());
    }
    if (n == 0) return;
    const double tau = r * c;
    const bool jac = dv_dr != nullptr && dv_dc != nullptr;
    const double inv_r = 1.0 / r, inv_c = 1.0 / c;
    double v = 0.0, sr = 0.0, sc = 0.0;
    if (jac) {
        dv_dr[0] = 0.0;
        dv_dc[0] = 0.0;
    }
    double h_prev = -1.0;
    StepCoef s{1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double h = t[k + 1] - t[k];
        if (h > 0.0) {
            // Regular sampling repeats the same step: compute its coefficients once.
            if (h != h_prev) {
                s = step_coef(h / tau);
                h_prev = h;
            }
            const double i0 = i[k];
            const double di = i[k + 1] - i0;
            const double b = s.e1 * i0 + s.g * di;
            if (jac) {
                // With tau = r*c, d/dr acts as (1/r) d/d(ln tau) on the tau
                // dependence plus the explicit factor r, and d/dc as
                // (1/c) d/d(ln tau). d(ln tau) of a is a*x, of b is
                // -(ax*i0 + xdg*di); b + db/d(ln tau) is formed from the
                // cancellation-free pr and qr.
                const double axv = s.ax * v;
                sr = s.a * sr + axv * inv_r + (s.pr * i0 + s.qr * di);
                sc = s.a * sc + (axv - r * (s.ax * i0 + s.xdg * di)) * inv_c;
            }
            v = s.a * v + r * b;
        }
        // h == 0: a repeated time stamp leaves the state as it is.
        y[k + 1] += v;
        if (jac) {
            dv_dr[k + 1] = sr;
            dv_dc[k + 1] = sc;
        }
    }
}

void simulate_rc(const double* t, const double* i, std::size_t n, double r0,
                 const double* r, const double* c, std::size_t nb, double* y, double* jac) {
    if (!std::isfinite(r0)) {
        std::ostringstream os;
        os.precision(17);
        os << "R0 = " << r0 << " ohm; it must be finite";
        throw DataError(os.str());
    }
    check_rc_input(t, i, n);
    for (std::size_t k = 0; k < n; ++k) y[k] = r0 * i[k];
    if (jac != nullptr) {
        for (std::size_t k = 0; k < n; ++k) jac[k] = i[k];
    }
    for (std::size_t b = 0; b < nb; ++b) {
        double* dr = jac != nullptr ? jac + n * (1 + 2 * b) : nullptr;
        double* dc = jac != nullptr ? jac + n * (2 + 2 * b) : nullptr;
        add_rc_branch(t, i, n, r[b], c[b], y, dr, dc);
    }
}

}  // namespace ecm
