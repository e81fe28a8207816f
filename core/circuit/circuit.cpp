#include "core/circuit/circuit.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/base/errors.hpp"

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

constexpr int kSeriesTerms = 20;  // truncation below 1e-25 relative at x = 0.5
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

// Whether t[1..len] - t[0..len-1] all equal h (the caller checks h > 0).
bool steps_equal(const double* t, std::size_t len, double h) {
    std::size_t j = 0;
#if defined(__GNUC__) || defined(__clang__)
    // two steps at a time, with the mismatches collected without branches
    using D2 = double __attribute__((vector_size(16)));
    using M2 = long long __attribute__((vector_size(16)));
    const D2 hv = {h, h};
    M2 bad = {0, 0};
    for (; j + 2 <= len; j += 2) {
        D2 a, b;
        std::memcpy(&a, t + j, sizeof a);
        std::memcpy(&b, t + j + 1, sizeof b);
        bad |= (b - a) != hv;
    }
    if (bad[0] | bad[1]) return false;
#endif
    for (; j < len; ++j)
        if (t[j + 1] - t[j] != h) return false;
    return true;
}

[[noreturn]] void bad_sample(const char* what, std::size_t k, double value) {
    std::ostringstream os;
    os.precision(17);
    os << what << " at sample " << k << " is " << value;
    throw DataError(os.str());
}

void check_branch(double r, double c) {
    if (!(std::isfinite(r) && r > 0.0) || !(std::isfinite(c) && c > 0.0)) {
        std::ostringstream os;
        os.precision(17);
        os << "RC branch with R = " << r << " ohm and C = " << c << " F; both must be finite and positive";
        throw DataError(os.str());
    }
}

// ------------------------------------------------ the linear recurrence
// Every quantity of a branch (its voltage and both derivatives) obeys
//   s[k+1] = a * s[k] + u[k]
// with the decay a of the step and an input term u[k] that does not depend
// on s. On a run of equal steps a is constant, and the recurrence is cut into
// kLanes consecutive pieces that run side by side from a zero state (so the
// processor overlaps their latencies); each piece then receives the response
// a^(j+1) * s0 to the true state s0 before it. Runs are processed in blocks
// of kBlock steps so that the work buffers stay on the stack.
constexpr std::size_t kLanes = 8;
constexpr std::size_t kChunk = 32;
constexpr std::size_t kBlock = kLanes * kChunk;

// P[j] = a^(j+1) for j < kChunk. Powers below the smallest normal number
// are set to zero: their contribution is far below the rounding of any
// state, and subnormal arithmetic is slow.
void decay_powers(double a, double* P) {
    double p = a;
    for (std::size_t j = 0; j < kChunk; ++j) {
        if (p < std::numeric_limits<double>::min()) p = 0.0;
        P[j] = p;
        p *= a;
    }
}

// buf[0..len): on entry the inputs u of len consecutive steps, on exit the
// states after each of them; s0 is the state before the first step. Returns
// the state after the last step. len <= kBlock.
double recur_block(double a, const double* P, double s0, double* buf, std::size_t len) {
    const std::size_t C = len / kLanes;
    std::size_t done = 0;
    if (C >= 2) {
        // The first piece starts from the true state, the others from zero.
        double z[kLanes] = {};
        z[0] = s0;
        for (std::size_t j = 0; j < C; ++j) {
            for (std::size_t l = 0; l < kLanes; ++l) {
                z[l] = a * z[l] + buf[l * C + j];
                buf[l * C + j] = z[l];
            }
        }
        double carry = buf[C - 1];
        for (std::size_t l = 1; l < kLanes; ++l) {
            double* b = buf + l * C;
            for (std::size_t j = 0; j < C; ++j) b[j] = b[j] + P[j] * carry;
            carry = b[C - 1];
        }
        s0 = carry;
        done = kLanes * C;
    }
    for (std::size_t k = done; k < len; ++k) {
        s0 = a * s0 + buf[k];
        buf[k] = s0;
    }
    return s0;
}

// The same for two sequences with the same decay (the two derivatives),
// side by side; the results are those of two recur_block calls.
void recur_block2(double a, const double* P, double& s0, double* buf0, double& s1, double* buf1, std::size_t len) {
    const std::size_t C = len / kLanes;
    std::size_t done = 0;
    if (C >= 2) {
        double z[kLanes] = {}, w[kLanes] = {};
        z[0] = s0;
        w[0] = s1;
        for (std::size_t j = 0; j < C; ++j) {
            for (std::size_t l = 0; l < kLanes; ++l) {
                z[l] = a * z[l] + buf0[l * C + j];
                buf0[l * C + j] = z[l];
                w[l] = a * w[l] + buf1[l * C + j];
                buf1[l * C + j] = w[l];
            }
        }
        double c0 = buf0[C - 1], c1 = buf1[C - 1];
        for (std::size_t l = 1; l < kLanes; ++l) {
            double* b0 = buf0 + l * C;
            double* b1 = buf1 + l * C;
            for (std::size_t j = 0; j < C; ++j) {
                b0[j] = b0[j] + P[j] * c0;
                b1[j] = b1[j] + P[j] * c1;
            }
            c0 = b0[C - 1];
            c1 = b1[C - 1];
        }
        s0 = c0;
        s1 = c1;
        done = kLanes * C;
    }
    for (std::size_t k = done; k < len; ++k) {
        s0 = a * s0 + buf0[k];
        buf0[k] = s0;
        s1 = a * s1 + buf1[k];
        buf1[k] = s1;
    }
}

// One branch over the samples t, i:
//   Value: the branch voltage v is computed; Add: y[k] += v[k] (k >= 1),
//          otherwise y[0..n) = v.
//   !Value: v is given (v_given, the voltage at every sample).
//   Deriv: dr / dc receive sign * dv/dr and sign * dv/dc (sign is +1 or -1).
// Optional extras: block_h, the step of every block of kBlock steps when all
// its steps equal it and are positive, else -1 (as block_steps finds them;
// nullptr: examined here); with Value && !Add, target and f (both or
// neither) ask for f[k] = target[k] - y[k] as well.
struct RunExtras {
    const double* block_h = nullptr;
    const double* target = nullptr;
    double* f = nullptr;
};

template <bool Value, bool Add, bool Deriv>
void branch_run(const double* t, const double* i, std::size_t n, double r, double c, double* y, const double* v_given,
                double* dr, double* dc, double sign, const RunExtras& ex = RunExtras()) {
    if (n == 0) return;
    const double tau = r * c;
    const double inv_r = 1.0 / r, inv_c = 1.0 / c;
    if (Value && !Add) y[0] = 0.0;
    const bool with_f = Value && !Add && ex.f != nullptr;
    if (with_f) ex.f[0] = ex.target[0] - y[0];
    if (Deriv) {
        dr[0] = 0.0;
        dc[0] = 0.0;
    }
    // The states v, sr = dv/dr, sc = dv/dc (the latter two times sign).
    double v = 0.0, sr = 0.0, sc = 0.0;
    double h_prev = -1.0, h_pow = -1.0;
    StepCoef s{1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    double P[kChunk];
    double vbuf[Value && Add ? kBlock : 1];

    for (std::size_t q0 = 0; q0 + 1 < n; q0 += kBlock) {
        const std::size_t len = std::min(kBlock, n - 1 - q0);
        const double* tq = t + q0;
        const double* iq = i + q0;
        double h0;
        bool uniform;
        if (ex.block_h != nullptr) {
            h0 = ex.block_h[q0 / kBlock];
            uniform = h0 > 0.0;
        } else {
            h0 = tq[1] - tq[0];
            uniform = h0 > 0.0 && steps_equal(tq, len, h0);
        }

        if (uniform) {
            // Regular sampling repeats the same step: its coefficients are
            // computed once.
            if (h0 != h_prev) {
                s = step_coef(h0 / tau);
                h_prev = h0;
            }
            if (h0 != h_pow) {
                decay_powers(s.a, P);
                h_pow = h0;
            }
            double* vb = nullptr;
            const double v_start = v;
            if (Value) {
                vb = Add ? vbuf : y + q0 + 1;
                for (std::size_t j = 0; j < len; ++j) vb[j] = r * (s.e1 * iq[j] + s.g * (iq[j + 1] - iq[j]));
                v = recur_block(s.a, P, v, vb, len);
                if (with_f) {
                    const double* tg = ex.target + q0 + 1;
                    double* fq = ex.f + q0 + 1;
                    for (std::size_t j = 0; j < len; ++j) fq[j] = tg[j] - vb[j];
                }
            }
            if (Deriv) {
                // With tau = r*c, d/dr acts as (1/r) d/d(ln tau) on the tau
                // dependence plus the explicit factor r, and d/dc as
                // (1/c) d/d(ln tau). d(ln tau) of a is a*x, of b is
                // -(ax*i0 + xdg*di); b + db/d(ln tau) is formed from the
                // cancellation-free pr and qr.
                // (sign is +1 or -1: folding it into the constants gives
                // the same numbers as applying it to the results.)
                const double s_inv_r = sign * inv_r, s_inv_c = sign * inv_c;
                const double s_pr = sign * s.pr, s_qr = sign * s.qr;
                double* ur = dr + q0 + 1;
                double* uc = dc + q0 + 1;
                for (std::size_t j = 0; j < len; ++j) {
                    const double vk = Value ? (j == 0 ? v_start : vb[j - 1]) : v_given[q0 + j];
                    const double i0 = iq[j];
                    const double di = iq[j + 1] - i0;
                    const double axv = s.ax * vk;
                    ur[j] = axv * s_inv_r + (s_pr * i0 + s_qr * di);
                    uc[j] = (axv - r * (s.ax * i0 + s.xdg * di)) * s_inv_c;
                }
                recur_block2(s.a, P, sr, ur, sc, uc, len);
            }
            if (Value && Add) {
                for (std::size_t j = 0; j < len; ++j) y[q0 + 1 + j] += vbuf[j];
            }
            continue;
        }

        // Irregular steps, one at a time.
        for (std::size_t k = q0; k < q0 + len; ++k) {
            const double h = t[k + 1] - t[k];
            if (!Value) v = v_given[k];
            if (h > 0.0) {
                if (h != h_prev) {
                    s = step_coef(h / tau);
                    h_prev = h;
                }
                const double i0 = i[k];
                const double di = i[k + 1] - i0;
                if (Deriv) {
                    const double axv = s.ax * v;
                    sr = s.a * sr + sign * (axv * inv_r) + sign * (s.pr * i0 + s.qr * di);
                    sc = s.a * sc + sign * ((axv - r * (s.ax * i0 + s.xdg * di)) * inv_c);
                }
                if (Value) v = s.a * v + r * (s.e1 * i0 + s.g * di);
            }
            // h == 0: a repeated time stamp leaves the state as it is.
            if (Value) {
                if (Add)
                    y[k + 1] += v;
                else
                    y[k + 1] = v;
                if (with_f) ex.f[k + 1] = ex.target[k + 1] - v;
            }
            if (Deriv) {
                dr[k + 1] = sr;
                dc[k + 1] = sc;
            }
        }
    }
}

// The steps of the blocks of kBlock steps that branch_run walks through:
// the common step where all steps of a block are equal and positive, else -1.
std::vector<double> block_steps(const double* t, std::size_t n) {
    std::vector<double> out;
    for (std::size_t q0 = 0; q0 + 1 < n; q0 += kBlock) {
        const std::size_t len = std::min(kBlock, n - 1 - q0);
        const double h0 = t[q0 + 1] - t[q0];
        out.push_back(h0 > 0.0 && steps_equal(t + q0, len, h0) ? h0 : -1.0);
    }
    return out;
}

}  // namespace

BranchWindow::BranchWindow(const double* t, const double* i, std::size_t n)
    : t_(t), i_(i), n_(n), block_h_(block_steps(t, n)) {}

void BranchWindow::voltage(double r, double c, double* v, const double* target, double* f) const {
    check_branch(r, c);
    RunExtras ex;
    ex.block_h = block_h_.data();
    if (target != nullptr && f != nullptr) {
        ex.target = target;
        ex.f = f;
    }
    branch_run<true, false, false>(t_, i_, n_, r, c, v, nullptr, nullptr, nullptr, 1.0, ex);
}

void BranchWindow::derivatives(double r, double c, const double* v, double sign, double* dv_dr, double* dv_dc) const {
    check_branch(r, c);
    if (sign != 1.0 && sign != -1.0) throw std::invalid_argument("sign must be +1 or -1");
    RunExtras ex;
    ex.block_h = block_h_.data();
    branch_run<false, false, true>(t_, i_, n_, r, c, nullptr, v, dv_dr, dv_dc, sign, ex);
}

void check_rc_input(const double* t, const double* i, std::size_t n) {
#if defined(__GNUC__) || defined(__clang__)
    // Quick scan without branches; the loop below finds and reports the
    // first fault. x - x is zero exactly for finite x, and NaN otherwise, so
    // the sum of these stays zero while all values are finite; for finite
    // times, t[k] - t[k-1] is negative exactly when the time decreases.
    if (n >= 2) {
        using D2 = double __attribute__((vector_size(16)));
        D2 nonfinite = {0.0, 0.0};
        D2 least_step = {0.0, 0.0};
        std::size_t k = 1;
        for (; k + 2 <= n; k += 2) {
            D2 a, b, c;
            std::memcpy(&a, t + k - 1, sizeof a);
            std::memcpy(&b, t + k, sizeof b);
            std::memcpy(&c, i + k, sizeof c);
            nonfinite += (b - b) + (c - c);
            const D2 step = b - a;
            least_step = step < least_step ? step : least_step;
        }
        bool ok = nonfinite[0] == 0.0 && nonfinite[1] == 0.0 && least_step[0] >= 0.0 && least_step[1] >= 0.0 &&
                  std::isfinite(t[0]) && std::isfinite(i[0]);
        for (; ok && k < n; ++k) ok = std::isfinite(t[k]) && std::isfinite(i[k]) && !(t[k] < t[k - 1]);
        if (ok) return;
    }
#endif
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(t[k])) bad_sample("time is not finite: the time", k, t[k]);
        if (!std::isfinite(i[k])) bad_sample("current is not finite: the current", k, i[k]);
        if (k > 0 && t[k] < t[k - 1]) {
            std::ostringstream os;
            os.precision(17);
            os << "time decreases at sample " << k << ": " << t[k - 1] << " s is followed by " << t[k]
               << " s; the sample times must not decrease";
            throw DataError(os.str());
        }
    }
}

void add_rc_branch(const double* t, const double* i, std::size_t n, double r, double c, double* y, double* dv_dr,
                   double* dv_dc) {
    check_branch(r, c);
    if (dv_dr != nullptr && dv_dc != nullptr)
        branch_run<true, true, true>(t, i, n, r, c, y, nullptr, dv_dr, dv_dc, 1.0);
    else
        branch_run<true, true, false>(t, i, n, r, c, y, nullptr, nullptr, nullptr, 1.0);
}

void rc_branch_voltage(const double* t, const double* i, std::size_t n, double r, double c, double* v) {
    check_branch(r, c);
    branch_run<true, false, false>(t, i, n, r, c, v, nullptr, nullptr, nullptr, 1.0);
}

void rc_branch_derivatives(const double* t, const double* i, std::size_t n, double r, double c, const double* v,
                           double sign, double* dv_dr, double* dv_dc) {
    check_branch(r, c);
    if (sign != 1.0 && sign != -1.0) throw std::invalid_argument("sign must be +1 or -1");
    branch_run<false, false, true>(t, i, n, r, c, nullptr, v, dv_dr, dv_dc, sign);
}

void simulate_rc(const double* t, const double* i, std::size_t n, double r0, const double* r, const double* c,
                 std::size_t nb, double* y, double* jac) {
    if (!std::isfinite(r0)) {
        std::ostringstream os;
        os.precision(17);
        os << "R0 = " << r0 << " ohm; it must be finite";
        throw DataError(os.str());
    }
    check_rc_input(t, i, n);
    for (std::size_t b = 0; b < nb; ++b) check_branch(r[b], c[b]);
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

std::vector<std::vector<double>> branch_voltages(const double* t, const double* i, std::size_t n,
                                                 const std::vector<double>& r, const std::vector<double>& tau,
                                                 const std::vector<double>& u0) {
    std::vector<std::vector<double>> out(r.size(), std::vector<double>(n, 0.0));
    if (n == 0) return out;
    BranchWindow bw(t, i, n);
    for (std::size_t b = 0; b < r.size(); ++b) {
        if (r[b] > 0.0 && tau[b] > 0.0 && std::isfinite(tau[b])) bw.voltage(r[b], tau[b] / r[b], out[b].data());
        const double u = b < u0.size() ? u0[b] : 0.0;
        if (u != 0.0 && tau[b] > 0.0)
            for (std::size_t k = 0; k < n; ++k) out[b][k] += u * std::exp(-(t[k] - t[0]) / tau[b]);
    }
    return out;
}

}  // namespace ecm
