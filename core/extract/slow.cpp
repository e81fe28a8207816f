#include "core/extract/slow.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include <Eigen/Dense>

#include "core/base/errors.hpp"
#include "core/numeric/interp.hpp"
#include "core/numeric/trf.hpp"

namespace ecm {
namespace {

struct Prepared {
    const SlowSegment* seg = nullptr;
    std::vector<double> y;       // V, measured minus the fast model
    std::vector<double> w2;      // squared weight per sample (0: not scored)
    std::vector<std::size_t> j;  // grid cell of each sample's SOC
    std::vector<double> f;       // position within the cell (0..1)
};

// The hat functions of the grid at one SOC: cell j, fraction f (weights 1-f at j, f at j+1).
void hat(const std::vector<double>& g, double soc, std::size_t& j, double& f) {
    const double s = std::min(std::max(soc, g.front()), g.back());
    auto it = std::upper_bound(g.begin(), g.end(), s);
    std::size_t hi = static_cast<std::size_t>(it - g.begin());
    hi = std::min(std::max<std::size_t>(hi, 1), g.size() - 1);
    j = hi - 1;
    f = (s - g[j]) / (g[hi] - g[j]);
}

// Walks a segment with the slow branch's unit responses: x[q] is the voltage of
// a branch of unit resistance driven by the current weighted by grid point q's
// hat, linear between samples, from rest. visit(k, x, init) at every sample.
template <class Visit>
void walk(const Prepared& p, const std::vector<double>& g, double tau, Visit&& visit) {
    const SlowSegment& s = *p.seg;
    const std::size_t ng = g.size();
    std::vector<double> x(ng, 0.0), u_prev(ng, 0.0), u(ng, 0.0);
    u_prev[p.j[0]] += (1.0 - p.f[0]) * s.i[0];
    u_prev[p.j[0] + 1] += p.f[0] * s.i[0];
    visit(std::size_t{0}, x, 1.0);
    for (std::size_t k = 1; k < s.n; ++k) {
        std::fill(u.begin(), u.end(), 0.0);
        u[p.j[k]] += (1.0 - p.f[k]) * s.i[k];
        u[p.j[k] + 1] += p.f[k] * s.i[k];
        const double h = s.t[k] - s.t[k - 1];
        if (h > 0.0) {
            const double r = h / tau;
            const double a = std::exp(-r);
            // share of the interval's end value: 1 - (1 - a) / r, by its series where r is small
            const double c = r < 1e-4 ? r / 2.0 - r * r / 6.0 : 1.0 - (1.0 - a) / r;
            const double b0 = (1.0 - a) - c;
            for (std::size_t q = 0; q < ng; ++q) x[q] = a * x[q] + b0 * u_prev[q] + c * u[q];
        }
        std::swap(u, u_prev);
        visit(k, x, std::exp(-(s.t[k] - s.t[0]) / tau));
    }
}

double start_soc_from_anchors(const SlowSegment& seg, double capacity_ah) {
    if (seg.anchor_t.empty() || seg.anchor_t.size() != seg.anchor_soc.size())
        throw DataError("a recording for the slow branch needs a start SOC or SOC anchors");
    std::vector<double> q(seg.n, 0.0);  // A h from the first sample, trapezoidal
    for (std::size_t k = 1; k < seg.n; ++k)
        q[k] = q[k - 1] + 0.5 * (seg.i[k] + seg.i[k - 1]) * (seg.t[k] - seg.t[k - 1]) / 3600.0;
    std::vector<double> tt(seg.t, seg.t + seg.n), est;
    const std::vector<double> qa = interp_linear(seg.anchor_t, tt, q);
    for (std::size_t a = 0; a < qa.size(); ++a)
        if (std::isfinite(seg.anchor_soc[a]) && std::isfinite(qa[a]))
            est.push_back(seg.anchor_soc[a] - qa[a] / capacity_ah);
    if (est.empty()) throw DataError("a recording for the slow branch has no usable SOC anchor");
    std::nth_element(est.begin(), est.begin() + static_cast<std::ptrdiff_t>(est.size() / 2), est.end());
    return est[est.size() / 2];
}

// The longest time constant of the fast model's branches (s; 0 without branches).
double longest_tau(const SimModel& m) {
    double out = 0.0;
    for (const auto& branch : m.tau)
        for (double tau : branch) out = std::max(out, tau);
    return out;
}

struct Normal {
    Eigen::MatrixXd G;
    Eigen::VectorXd b;
    double yy = 0.0, ww = 0.0;
};

}  // namespace

SlowFit fit_slow_branch(const std::vector<SlowSegment>& segments, const SimModel& fast, const SlowSettings& s) {
    if (segments.empty()) throw DataError("the slow branch needs at least one recording");
    if (!(s.grid_step > 0.0 && s.grid_step <= 0.5))
        throw DataError("the slow branch's SOC grid step must lie in (0, 0.5]");
    if (!(s.tau_min > 0.0 && s.tau_max >= s.tau_min && std::isfinite(s.tau_max)))
        throw DataError("the slow time constant's range must be positive and ordered");
    check_sim_model(fast);
    SlowFit out;
    const int cells = std::max(1, static_cast<int>(std::lround(1.0 / s.grid_step)));
    for (int q = 0; q <= cells; ++q) out.grid.push_back(static_cast<double>(q) / cells);
    const std::size_t ng = out.grid.size(), ns = segments.size();
    const std::size_t no = s.ocv_offsets ? ng : 0, np = ng + no + ns;

    std::vector<Prepared> prep(ns);
    double ww_total = 0.0;
    for (std::size_t q = 0; q < ns; ++q) {
        const SlowSegment& seg = segments[q];
        if (seg.n < 2 || !seg.t || !seg.i || !seg.v)
            throw DataError("a recording for the slow branch has fewer than two samples");
        for (std::size_t k = 0; k < seg.n; ++k) {
            if (!std::isfinite(seg.t[k]) || !std::isfinite(seg.i[k]) || !std::isfinite(seg.v[k]))
                throw DataError("a recording for the slow branch holds values that are not finite (sample " +
                                std::to_string(k) + ")");
            if (k && seg.t[k] < seg.t[k - 1])
                throw DataError("a recording for the slow branch goes back in time (sample " + std::to_string(k) + ")");
        }
        double soc0 = seg.soc0;
        if (!std::isfinite(soc0)) soc0 = start_soc_from_anchors(seg, fast.capacity_ah);
        const SimResult sim = simulate_model(seg.t, seg.i, seg.n, fast, soc0);
        Prepared& p = prep[q];
        p.seg = &seg;
        out.soc0.push_back(soc0);
        p.y.resize(seg.n);
        p.w2.resize(seg.n);
        p.j.resize(seg.n);
        p.f.resize(seg.n);
        if (!(seg.load_weight >= 0.0 && seg.load_weight <= 1.0))
            throw DataError("the weight of the samples under load must lie in [0, 1]");
        // at rest: a current within 2 % of the capacity (A per A h); settled: the fast branches have relaxed
        const double rest_i = 0.02 * fast.capacity_ah;
        const double settle = 3.0 * longest_tau(fast);
        std::vector<double> share(seg.n, 1.0);
        if (seg.load_weight < 1.0) {
            double rest_from = seg.t[0];
            bool any_rest = false;
            for (std::size_t k = 0; k < seg.n; ++k) {
                const bool at_rest = std::abs(seg.i[k]) <= rest_i;
                if (!at_rest || (k && std::abs(seg.i[k - 1]) > rest_i)) rest_from = seg.t[k];
                share[k] = at_rest ? (seg.t[k] - rest_from >= settle ? 1.0 : 0.0) : seg.load_weight;
                any_rest = any_rest || (at_rest && share[k] > 0.0);
            }
            // a recording without a settled rest is scored whole, as it is all there is
            if (!any_rest) std::fill(share.begin(), share.end(), 1.0);
        }
        for (std::size_t k = 0; k < seg.n; ++k) {
            p.y[k] = seg.v[k] - sim.v[k];
            hat(out.grid, sim.soc[k], p.j[k], p.f[k]);
            const double before = k ? seg.t[k] - seg.t[k - 1] : 0.0;
            const double after = k + 1 < seg.n ? seg.t[k + 1] - seg.t[k] : 0.0;
            const double dt = std::min(0.5 * (before + after), s.max_dt);
            const bool scored = seg.t[k] >= seg.from && seg.t[k] <= seg.to && sim.soc[k] >= s.soc_min && dt > 0.0;
            p.w2[k] = scored ? dt * seg.weight * share[k] : 0.0;
            ww_total += p.w2[k];
        }
    }
    if (!(ww_total > 0.0)) throw DataError("no sample is left to fit the slow branch on");
    // Every recording weighs the same in total (times its own weight): a stretch of drive cycle counts
    // as much as a day of pulse test.
    {
        std::vector<double> sums(ns, 0.0);
        std::size_t used = 0;
        for (std::size_t q = 0; q < ns; ++q) {
            for (double w : prep[q].w2) sums[q] += w;
            used += sums[q] > 0.0;
        }
        const double each = ww_total / static_cast<double>(std::max<std::size_t>(used, 1));
        ww_total = 0.0;
        for (std::size_t q = 0; q < ns; ++q) {
            if (!(sums[q] > 0.0)) continue;
            for (double& w : prep[q].w2) w *= each / sums[q];
            for (double w : prep[q].w2) ww_total += w;
        }
    }

    auto normal = [&](double tau) {
        Normal nm;
        nm.G = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(np), static_cast<Eigen::Index>(np));
        nm.b = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(np));
        Eigen::VectorXd row(static_cast<Eigen::Index>(np));
        for (std::size_t q = 0; q < ns; ++q) {
            const Prepared& p = prep[q];
            walk(p, out.grid, tau, [&](std::size_t k, const std::vector<double>& x, double init) {
                const double w2 = p.w2[k];
                if (w2 <= 0.0) return;
                row.setZero();
                for (std::size_t g = 0; g < ng; ++g) row[static_cast<Eigen::Index>(g)] = x[g];
                if (no) {
                    row[static_cast<Eigen::Index>(ng + p.j[k])] = 1.0 - p.f[k];
                    row[static_cast<Eigen::Index>(ng + p.j[k] + 1)] = p.f[k];
                }
                row[static_cast<Eigen::Index>(ng + no + q)] = init;
                nm.G.selfadjointView<Eigen::Lower>().rankUpdate(row, w2);
                nm.b += w2 * p.y[k] * row;
                nm.yy += w2 * p.y[k] * p.y[k];
                nm.ww += w2;
            });
        }
        nm.G = nm.G.selfadjointView<Eigen::Lower>();
        return nm;
    };

    // Penalties: the resistance (and offset) smooth over SOC, the offsets small.
    const double scale = s.smooth * std::sqrt(ww_total);
    Eigen::MatrixXd P = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(np), static_cast<Eigen::Index>(np));
    auto second_difference = [&](std::size_t first) {
        for (std::size_t g = 0; g + 2 < ng; ++g) {
            Eigen::VectorXd d = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(np));
            d[static_cast<Eigen::Index>(first + g)] = 1.0;
            d[static_cast<Eigen::Index>(first + g + 1)] = -2.0;
            d[static_cast<Eigen::Index>(first + g + 2)] = 1.0;
            P += scale * scale * d * d.transpose();
        }
    };
    second_difference(0);
    if (no) {
        second_difference(ng);
        for (std::size_t g = 0; g < ng; ++g)
            P(static_cast<Eigen::Index>(ng + g), static_cast<Eigen::Index>(ng + g)) += 0.01 * scale * scale;
    }

    Eigen::VectorXd lb = Eigen::VectorXd::Constant(static_cast<Eigen::Index>(np), -HUGE_VAL);
    Eigen::VectorXd ub = Eigen::VectorXd::Constant(static_cast<Eigen::Index>(np), HUGE_VAL);
    lb.head(static_cast<Eigen::Index>(ng)).setZero();

    // The bounded linear problem min x'Ax - 2x'b (A = G + P) as least squares through A's Cholesky factor.
    auto solve = [&](const Normal& nm, Eigen::VectorXd& x) {
        Eigen::MatrixXd A = nm.G + P;
        const double jitter = 1e-12 * std::max(A.diagonal().cwiseAbs().maxCoeff(), 1e-300);
        A.diagonal().array() += jitter;
        Eigen::LLT<Eigen::MatrixXd> llt(A);
        if (llt.info() != Eigen::Success) throw DataError("the slow branch's least-squares problem is singular");
        const Eigen::MatrixXd Lt = llt.matrixU();
        const Eigen::VectorXd c = llt.matrixL().solve(nm.b);
        Eigen::VectorXd start = llt.solve(nm.b);
        for (std::size_t g = 0; g < ng; ++g) {
            double& r = start[static_cast<Eigen::Index>(g)];
            if (!(r > 1e-9)) r = 1e-9;
        }
        LsqProblem prob;
        prob.fun = [&](const Eigen::VectorXd& z, Eigen::VectorXd& f) { f = Lt * z - c; };
        prob.jac = [&](const Eigen::VectorXd&, const Eigen::VectorXd&, Eigen::MatrixXd& J) { J = Lt; };
        LsqOptions opt;
        opt.max_nfev = 200;
        const LsqResult res = least_squares_trf(prob, start, lb, ub, opt);
        x = res.x;
        const double sse = nm.yy - 2.0 * x.dot(nm.b) + x.dot(nm.G * x);
        return std::sqrt(std::max(sse, 0.0) / nm.ww);
    };

    Eigen::VectorXd best_x;
    auto trial = [&](double tau) {
        Eigen::VectorXd x;
        const double rms = solve(normal(tau), x);
        out.scan_tau.push_back(tau);
        out.scan_rms_mV.push_back(rms * 1000.0);
        return std::make_pair(rms, x);
    };
    double tau_best;
    if (std::isfinite(s.tau) && s.tau > 0.0) {
        tau_best = s.tau;
        best_x = trial(tau_best).second;
    } else {
        const int scan = 9;
        const double l0 = std::log(s.tau_min), l1 = std::log(s.tau_max);
        std::vector<double> rms(scan);
        int k_best = 0;
        for (int k = 0; k < scan; ++k) {
            rms[static_cast<std::size_t>(k)] = trial(std::exp(l0 + (l1 - l0) * k / (scan - 1))).first;
            if (rms[static_cast<std::size_t>(k)] < rms[static_cast<std::size_t>(k_best)]) k_best = k;
        }
        // golden section in log tau between the best point's neighbours
        double a = l0 + (l1 - l0) * std::max(k_best - 1, 0) / (scan - 1);
        double b = l0 + (l1 - l0) * std::min(k_best + 1, scan - 1) / (scan - 1);
        const double gr = 0.5 * (std::sqrt(5.0) - 1.0);
        double c = b - gr * (b - a), d = a + gr * (b - a);
        double fc = trial(std::exp(c)).first, fd = trial(std::exp(d)).first;
        for (int it = 0; it < 8; ++it) {
            if (fc < fd) {
                b = d, d = c, fd = fc;
                c = b - gr * (b - a);
                fc = trial(std::exp(c)).first;
            } else {
                a = c, c = d, fc = fd;
                d = a + gr * (b - a);
                fd = trial(std::exp(d)).first;
            }
        }
        std::size_t pick = 0;
        for (std::size_t k = 1; k < out.scan_tau.size(); ++k)
            if (out.scan_rms_mV[k] < out.scan_rms_mV[pick]) pick = k;
        tau_best = out.scan_tau[pick];
        best_x = trial(tau_best).second;
        out.scan_tau.pop_back();
        out.scan_rms_mV.pop_back();
    }
    out.tau = tau_best;
    out.r.assign(best_x.data(), best_x.data() + ng);
    for (double& r : out.r) r = std::max(r, 0.0);
    out.ocv_offset.assign(ng, 0.0);
    if (no) out.ocv_offset.assign(best_x.data() + ng, best_x.data() + ng + no);
    for (std::size_t q = 0; q < ns; ++q) {
        const Prepared& p = prep[q];
        const double x0 = best_x[static_cast<Eigen::Index>(ng + no + q)];
        out.x0.push_back(x0);
        double before = 0.0, after = 0.0;
        std::size_t count = 0;
        walk(p, out.grid, tau_best, [&](std::size_t k, const std::vector<double>& x, double init) {
            if (p.w2[k] <= 0.0) return;
            double model = x0 * init + (1.0 - p.f[k]) * out.ocv_offset[p.j[k]] + p.f[k] * out.ocv_offset[p.j[k] + 1];
            for (std::size_t g = 0; g < ng; ++g) model += out.r[g] * x[g];
            before += p.y[k] * p.y[k];
            after += (p.y[k] - model) * (p.y[k] - model);
            ++count;
        });
        const double n = static_cast<double>(std::max<std::size_t>(count, 1));
        out.rms_before_mV.push_back(1000.0 * std::sqrt(before / n));
        out.rms_after_mV.push_back(1000.0 * std::sqrt(after / n));
    }
    return out;
}

std::vector<double> slow_on(const SlowFit& fit, const std::vector<double>& values, const std::vector<double>& soc) {
    return interp_linear(soc, fit.grid, values);
}

}  // namespace ecm
