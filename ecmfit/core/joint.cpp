#include "ecmfit/core/joint.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <Eigen/Dense>

#include "common/errors.hpp"
#include "ecmfit/core/circuit.hpp"
#include "ecmfit/core/stats.hpp"
#include "ecmfit/core/trf.hpp"

namespace ecm {
namespace {

constexpr int kGridPoints = 14;
constexpr int kRefineStarts = 3;

struct WindowFacts {
    double dt = 1.0;         // median sampling step, s
    double duration = 0.0;   // s
    double rest = 0.0;       // s, after the last loaded sample
    double tau_lo = 0.0, tau_hi = 0.0;        // bounds of the fit
    double tau_ok_lo = 0.0, tau_ok_hi = 0.0;  // where the cycle determines a time constant
};

WindowFacts facts_of(const JointWindow& w) {
    WindowFacts f;
    std::vector<double> steps;
    steps.reserve(w.n);
    for (std::size_t k = 1; k < w.n; ++k)
        if (w.t[k] > w.t[k - 1]) steps.push_back(w.t[k] - w.t[k - 1]);
    f.dt = steps.empty() ? 1.0 : median(steps);
    f.duration = w.t[w.n - 1] - w.t[0];
    f.rest = w.t[w.n - 1] - w.t[std::min(w.pulse_last, w.n - 1)];
    f.tau_lo = 0.05 * f.dt;
    f.tau_hi = std::max(f.duration, 2.0 * f.dt);
    f.tau_ok_lo = 2.0 * f.dt;
    f.tau_ok_hi = f.rest / 3.0;
    return f;
}

// Non-negative least squares for k <= 3 unknowns from the normal equations:
// every subset of free unknowns is solved and the best feasible one kept
// (the solution satisfies the optimality conditions on one of them).
struct Nnls {
    Eigen::Vector4d x = Eigen::Vector4d::Zero();
    double cost = std::numeric_limits<double>::infinity();
};

// k unknowns; the first k-1 are non-negative, the last (the bump) is free.
Nnls nnls_bump(const Eigen::Matrix4d& G, const Eigen::Vector4d& b, double zz, int k) {
    Nnls best;
    const int kpos = k - 1;
    for (int mask = 0; mask < (1 << kpos); ++mask) {
        int idx[4], m = 0;
        for (int j = 0; j < kpos; ++j)
            if (mask & (1 << j)) idx[m++] = j;
        idx[m++] = k - 1;
        Eigen::Vector4d x = Eigen::Vector4d::Zero();
        if (m > 0) {
            Eigen::MatrixXd Gs(m, m);
            Eigen::VectorXd bs(m);
            for (int a = 0; a < m; ++a) {
                bs[a] = b[idx[a]];
                for (int c = 0; c < m; ++c) Gs(a, c) = G(idx[a], idx[c]);
            }
            Eigen::VectorXd xs = Gs.ldlt().solve(bs);
            bool ok = xs.allFinite();
            for (int a = 0; a + 1 < m && ok; ++a) ok = xs[a] >= 0.0;
            if (!ok) continue;
            for (int a = 0; a < m; ++a) x[idx[a]] = xs[a];
        }
        const double cost = zz - 2.0 * x.dot(b) + x.dot(G * x);
        if (cost < best.cost) best = {x, cost};
    }
    return best;
}

class Model {
public:
    Model(const JointWindow& w, int branches) : w_(w), nb_(branches), bw_(w.t, w.i, w.n), m_(static_cast<Eigen::Index>(w.n)) {
        age_.resize(m_);
        for (Eigen::Index k = 0; k < m_; ++k) age_[k] = w.t[k] - w.t[0];
        u0_.assign(static_cast<std::size_t>(nb_), 0.0);
        for (std::size_t b = 0; b < w.u0.size() && b < u0_.size(); ++b) u0_[b] = w.u0[b];
        // The open-circuit voltage is known at the relaxed points on both sides of the
        // pulse, not along the way: its deviation from the curve under load is allowed
        // as a bump 4 s (1 - s) in the fraction s of the pulse's charge, zero at rest.
        bump_.setZero(m_);
        std::vector<double> q(w.n, 0.0);
        for (std::size_t k = 1; k < w.n; ++k) q[k] = q[k - 1] + 0.5 * (w.i[k] + w.i[k - 1]) * (w.t[k] - w.t[k - 1]);
        const std::size_t end = std::min(w.pulse_last + 1, w.n - 1);
        const double total = q[end];
        if (total != 0.0 && std::isfinite(total))
            for (std::size_t k = 0; k < w.n; ++k) {
                const double f = std::clamp(q[k] / total, 0.0, 1.0);
                bump_[static_cast<Eigen::Index>(k)] = 4.0 * f * (1.0 - f);
            }
    }

    Eigen::Index size() const { return m_; }
    int nb() const { return nb_; }
    int np() const { return 2 + 2 * nb_; }
    const Eigen::VectorXd& bump() const { return bump_; }
    Eigen::Map<const Eigen::VectorXd> current() const { return {w_.i, m_}; }
    Eigen::Map<const Eigen::VectorXd> data() const { return {w_.y, m_}; }

    // Unit-resistance branch response g(tau) (zero state at the first sample).
    void unit(double tau, Eigen::VectorXd& g) const {
        g.resize(m_);
        bw_.voltage(1.0, tau, g.data());
    }
    // The decay of an initial branch voltage of 1 V.
    void decay(double tau, Eigen::VectorXd& e) const { e = (-age_ / tau).array().exp(); }

    // x = (R0, R_1, log tau_1[, R_2, log tau_2], bump).
    void response(const Eigen::VectorXd& x, Eigen::VectorXd& out) {
        out = x[0] * current() + x[np() - 1] * bump_;
        for (int b = 0; b < nb_; ++b) {
            const double r = x[1 + 2 * b], tau = std::exp(x[2 + 2 * b]);
            unit(tau, g_);
            out += r * g_;
            if (u0_[static_cast<std::size_t>(b)] != 0.0) {
                decay(tau, e_);
                out += u0_[static_cast<std::size_t>(b)] * e_;
            }
        }
    }

    // Jacobian of (data - response).
    void jacobian(const Eigen::VectorXd& x, Eigen::MatrixXd& J) {
        J.resize(m_, np());
        J.col(0) = -current();
        J.col(np() - 1) = -bump_;
        Eigen::VectorXd dr(m_), dtau(m_);
        for (int b = 0; b < nb_; ++b) {
            const double r = x[1 + 2 * b], tau = std::exp(x[2 + 2 * b]);
            unit(tau, g_);
            bw_.derivatives(1.0, tau, g_.data(), 1.0, dr.data(), dtau.data());
            J.col(1 + 2 * b) = -g_;
            Eigen::VectorXd d = r * dtau;
            const double u = u0_[static_cast<std::size_t>(b)];
            if (u != 0.0) {
                decay(tau, e_);
                d.array() += u * e_.array() * age_.array() / (tau * tau);
            }
            J.col(2 + 2 * b) = -tau * d;
        }
    }

    const std::vector<double>& u0() const { return u0_; }

private:
    const JointWindow& w_;
    int nb_;
    BranchWindow bw_;
    Eigen::Index m_;
    Eigen::VectorXd age_, g_, e_, bump_;
    std::vector<double> u0_;
};

struct Start {
    std::vector<double> tau;
    Eigen::Vector4d r;  // R0, R_1[, R_2], bump (the last used entry)
    double cost;
};

// The grid of time constants with the resistances solved for each point.
std::vector<Start> grid_starts(Model& model, int nb, const WindowFacts& f) {
    const double lo = std::max(f.dt, f.tau_lo * 2.0), hi = std::max(f.duration / 2.0, 2.0 * lo);
    std::vector<double> grid(kGridPoints);
    for (int k = 0; k < kGridPoints; ++k)
        grid[static_cast<std::size_t>(k)] = lo * std::pow(hi / lo, static_cast<double>(k) / (kGridPoints - 1));

    const Eigen::Index m = model.size();
    const auto I = model.current();
    std::vector<Eigen::VectorXd> g(grid.size()), e(grid.size());
    for (std::size_t k = 0; k < grid.size(); ++k) {
        model.unit(grid[k], g[k]);
        model.decay(grid[k], e[k]);
    }
    std::vector<Start> starts;
    const auto& u0 = model.u0();
    auto consider = [&](std::size_t a, std::size_t b) {
        // target with the decaying initial voltages removed
        Eigen::VectorXd z = model.data();
        if (u0[0] != 0.0) z -= u0[0] * e[a];
        if (nb > 1 && u0[1] != 0.0) z -= u0[1] * e[b];
        Eigen::Matrix4d G = Eigen::Matrix4d::Identity();
        Eigen::Vector4d rhs = Eigen::Vector4d::Zero();
        Eigen::VectorXd Ivec = I;
        const Eigen::VectorXd* cols[4] = {&Ivec, &g[a], nb > 1 ? &g[b] : &model.bump(), &model.bump()};
        const int k = 2 + nb;
        for (int p = 0; p < k; ++p) {
            rhs[p] = cols[p]->dot(z);
            for (int q = p; q < k; ++q) G(p, q) = G(q, p) = cols[p]->dot(*cols[q]);
        }
        Nnls s = nnls_bump(G, rhs, z.squaredNorm(), k);
        std::vector<double> tau = {grid[a]};
        if (nb > 1) tau.push_back(grid[b]);
        starts.push_back({tau, s.x, s.cost});
    };
    (void)m;
    for (std::size_t a = 0; a < grid.size(); ++a) {
        if (nb == 1) consider(a, a);
        else
            for (std::size_t b = a + 1; b < grid.size(); ++b) consider(a, b);
    }
    std::sort(starts.begin(), starts.end(), [](const Start& x, const Start& y) { return x.cost < y.cost; });
    return starts;
}

}  // namespace

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

JointFit fit_cycle_joint(const JointWindow& w, int branches, const std::vector<double>& start_tau) {
    if (branches < 1 || branches > 2) throw DataError("a joint fit has one or two RC branches");
    if (w.n < 4) throw DataError("fitting window has " + std::to_string(w.n) + " samples; at least 4 are needed");
    check_rc_input(w.t, w.i, w.n);
    for (std::size_t k = 0; k < w.n; ++k)
        if (!std::isfinite(w.y[k])) throw DataError("voltage deviation is not finite at sample " + std::to_string(k));
    const WindowFacts f = facts_of(w);
    if (!(f.duration > 0.0)) throw DataError("fitting window has no duration");
    Model model(w, branches);
    const int np = model.np();

    std::vector<Start> starts;
    if (!start_tau.empty()) {
        Start s;
        s.tau = start_tau;
        s.r = Eigen::Vector4d::Constant(1e-3);
        s.cost = 0.0;
        starts.push_back(s);
    } else {
        starts = grid_starts(model, branches, f);
    }

    // Huber scale from the residual of the best grid point (robust spread).
    double f_scale = 1e-3;
    {
        Eigen::VectorXd x0(np);
        x0[0] = starts[0].r[0];
        for (int b = 0; b < branches; ++b) {
            x0[1 + 2 * b] = starts[0].r[1 + b];
            x0[2 + 2 * b] = std::log(starts[0].tau[static_cast<std::size_t>(b)]);
        }
        x0[np - 1] = starts[0].r[1 + branches];
        Eigen::VectorXd resp;
        model.response(x0, resp);
        std::vector<double> res(static_cast<std::size_t>(model.size()));
        for (Eigen::Index k = 0; k < model.size(); ++k) res[static_cast<std::size_t>(k)] = model.data()[k] - resp[k];
        const double med = median(res);
        for (auto& v : res) v = std::fabs(v - med);
        const double sigma = 1.4826 * median(res);
        // Not below 0.1 mV: residuals of a few tenths of a millivolt are model detail, not outliers.
        if (std::isfinite(sigma) && sigma > 0.0) f_scale = std::max(3.0 * sigma, 1e-4);
    }

    LsqProblem prob;
    prob.fun = [&](const Eigen::VectorXd& x, Eigen::VectorXd& fv) {
        Eigen::VectorXd resp;
        model.response(x, resp);
        fv = model.data() - resp;
    };
    prob.jac = [&](const Eigen::VectorXd& x, const Eigen::VectorXd&, Eigen::MatrixXd& J) { model.jacobian(x, J); };
    Eigen::VectorXd lb(np), ub(np);
    lb[0] = 0.0;
    ub[0] = std::numeric_limits<double>::infinity();
    for (int b = 0; b < branches; ++b) {
        lb[1 + 2 * b] = 0.0;
        ub[1 + 2 * b] = std::numeric_limits<double>::infinity();
        lb[2 + 2 * b] = std::log(f.tau_lo);
        ub[2 + 2 * b] = std::log(f.tau_hi);
    }
    lb[np - 1] = -std::numeric_limits<double>::infinity();
    ub[np - 1] = std::numeric_limits<double>::infinity();
    LsqOptions opt;
    opt.loss = Loss::Huber;
    opt.f_scale = f_scale;
    opt.ftol = opt.xtol = opt.gtol = 1e-10;

    LsqResult best;
    bool have = false;
    const int tries = std::min<int>(kRefineStarts, static_cast<int>(starts.size()));
    for (int s = 0; s < tries; ++s) {
        Eigen::VectorXd x0(np);
        x0[0] = std::max(starts[static_cast<std::size_t>(s)].r[0], 1e-9);
        for (int b = 0; b < branches; ++b) {
            x0[1 + 2 * b] = std::max(starts[static_cast<std::size_t>(s)].r[1 + b], 1e-9);
            const double tau = std::clamp(starts[static_cast<std::size_t>(s)].tau[static_cast<std::size_t>(b)],
                                          f.tau_lo * 1.01, f.tau_hi * 0.99);
            x0[2 + 2 * b] = std::log(tau);
        }
        x0[np - 1] = starts[static_cast<std::size_t>(s)].r[1 + branches];
        if (!start_tau.empty()) {
            // a warm start: resistances from the linear solve at the given time constants
            Eigen::MatrixXd A(model.size(), 2 + branches);
            A.col(0) = model.current();
            A.col(1 + branches) = model.bump();
            Eigen::VectorXd z = model.data(), g, e;
            for (int b = 0; b < branches; ++b) {
                const double tau = std::exp(x0[2 + 2 * b]);
                model.unit(tau, g);
                A.col(1 + b) = g;
                if (model.u0()[static_cast<std::size_t>(b)] != 0.0) {
                    model.decay(tau, e);
                    z -= model.u0()[static_cast<std::size_t>(b)] * e;
                }
            }
            Eigen::VectorXd r = A.colPivHouseholderQr().solve(z);
            x0[0] = std::max(r[0], 1e-9);
            for (int b = 0; b < branches; ++b) x0[1 + 2 * b] = std::max(r[1 + b], 1e-9);
            x0[np - 1] = r[1 + branches];
        }
        LsqResult res = least_squares_trf(prob, x0, lb, ub, opt);
        if (!have || res.cost < best.cost) {
            best = std::move(res);
            have = true;
        }
    }

    JointFit out;
    out.r0 = best.x[0];
    out.bump = best.x[np - 1];
    std::vector<std::pair<double, double>> br;  // (tau, r)
    for (int b = 0; b < branches; ++b) br.emplace_back(std::exp(best.x[2 + 2 * b]), best.x[1 + 2 * b]);
    // Keep the branches ordered by time constant (the initial voltages follow their branch).
    std::vector<double> u0 = model.u0();
    if (branches == 2 && br[0].first > br[1].first) {
        std::swap(br[0], br[1]);
        std::swap(u0[0], u0[1]);
    }
    for (const auto& p : br) {
        out.tau.push_back(p.first);
        out.r.push_back(p.second);
        out.determined.push_back(p.first >= f.tau_ok_lo && p.first <= f.tau_ok_hi && p.second > 0.0);
    }
    out.cost = best.cost;
    out.status = best.status;
    out.u0 = u0;
    Eigen::VectorXd resp;
    Eigen::VectorXd xs(np);
    xs[0] = out.r0;
    xs[np - 1] = out.bump;
    for (int b = 0; b < branches; ++b) {
        xs[1 + 2 * b] = out.r[static_cast<std::size_t>(b)];
        xs[2 + 2 * b] = std::log(out.tau[static_cast<std::size_t>(b)]);
    }
    JointWindow ordered = w;
    ordered.u0 = u0;
    Model final_model(ordered, branches);
    final_model.response(xs, resp);
    out.model.assign(resp.data(), resp.data() + resp.size());
    double ss = 0.0;
    for (std::size_t k = 0; k < w.n; ++k) ss += (w.y[k] - out.model[k]) * (w.y[k] - out.model[k]);
    out.rms = std::sqrt(ss / static_cast<double>(w.n));
    return out;
}

}  // namespace ecm
