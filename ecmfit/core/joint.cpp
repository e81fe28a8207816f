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
    f.tau_ok_hi = f.rest / 2.0;
    return f;
}

class Model {
public:
    // Nuisance columns (free sign): the OCV level before the pulse, its change
    // over the pulse, the bump under load.
    static constexpr int kNuisance = 3;

    Model(const JointWindow& w, int branches)
        : w_(w), nb_(branches), bw_(w.t, w.i, w.n), m_(static_cast<Eigen::Index>(w.n)) {
        age_.resize(m_);
        for (Eigen::Index k = 0; k < m_; ++k) age_[k] = w.t[k] - w.t[0];
        u0_.assign(static_cast<std::size_t>(nb_), 0.0);
        for (std::size_t b = 0; b < w.u0.size() && b < u0_.size(); ++b) u0_[b] = w.u0[b];
        std::vector<double> q(w.n, 0.0);
        for (std::size_t k = 1; k < w.n; ++k) q[k] = q[k - 1] + 0.5 * (w.i[k] + w.i[k - 1]) * (w.t[k] - w.t[k - 1]);
        const std::size_t end = std::min(w.pulse_last + 1, w.n - 1);
        const double total = q[end];
        nuis_.setZero(m_, kNuisance);
        nuis_.col(0).setOnes();
        for (std::size_t k = 0; k < w.n; ++k) {
            const auto K = static_cast<Eigen::Index>(k);
            const double f = total != 0.0 && std::isfinite(total) ? std::clamp(q[k] / total, 0.0, 1.0) : 0.0;
            nuis_(K, 1) = w.shape ? w.shape[k] : f;
            nuis_(K, 2) = 4.0 * f * (1.0 - f);
        }
    }

    Eigen::Index size() const { return m_; }
    int nb() const { return nb_; }
    int np() const { return 1 + 2 * nb_ + kNuisance; }
    int first_nuisance() const { return 1 + 2 * nb_; }
    const Eigen::MatrixXd& nuisance() const { return nuis_; }
    Eigen::Map<const Eigen::VectorXd> current() const { return {w_.i, m_}; }
    Eigen::Map<const Eigen::VectorXd> data() const { return {w_.y, m_}; }

    // Unit-resistance branch response g(tau) (zero state at the first sample).
    void unit(double tau, Eigen::VectorXd& g) const {
        g.resize(m_);
        bw_.voltage(1.0, tau, g.data());
    }
    // The decay of an initial branch voltage of 1 V.
    void decay(double tau, Eigen::VectorXd& e) const { e = (-age_ / tau).array().exp(); }

    // x = (R0, R_1, log tau_1[, R_2, log tau_2], nuisance...).
    void response(const Eigen::VectorXd& x, Eigen::VectorXd& out) {
        out = x[0] * current() + nuis_ * x.segment(first_nuisance(), kNuisance);
        for (int b = 0; b < nb_; ++b) {
            const double r = x[1 + 2 * b], tau = std::exp(x[2 + 2 * b]);
            unit(tau, g_);
            out += r * g_;
            const double u = u0_[static_cast<std::size_t>(b)];
            if (u != 0.0) {
                decay(tau, e_);
                out += u * e_;
            }
        }
    }

    // Jacobian of (data - response).
    void jacobian(const Eigen::VectorXd& x, Eigen::MatrixXd& J) {
        J.resize(m_, np());
        J.col(0) = -current();
        J.middleCols(first_nuisance(), kNuisance) = -nuis_;
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

    // The linear least-squares problem at fixed time constants: columns R0,
    // R_b (non-negative), then the nuisance columns (free), and the target
    // with the decaying initial voltages removed.
    // Columns: R0, R_b..., nuisance...
    void linear_problem(const std::vector<double>& tau, Eigen::MatrixXd& A, Eigen::VectorXd& z) {
        const int k = 1 + nb_ + kNuisance;
        A.resize(m_, k);
        A.col(0) = current();
        z = data();
        for (int b = 0; b < nb_; ++b) {
            unit(tau[static_cast<std::size_t>(b)], g_);
            A.col(1 + b) = g_;
            if (u0_[static_cast<std::size_t>(b)] != 0.0) {
                decay(tau[static_cast<std::size_t>(b)], e_);
                z -= u0_[static_cast<std::size_t>(b)] * e_;
            }
        }
        A.middleCols(1 + nb_, kNuisance) = nuis_;
    }

    const std::vector<double>& u0() const { return u0_; }

private:
    const JointWindow& w_;
    int nb_;
    BranchWindow bw_;
    Eigen::Index m_;
    Eigen::VectorXd age_, g_, e_;
    Eigen::MatrixXd nuis_;
    std::vector<double> u0_;
};

// Least squares with the first `npos` unknowns non-negative and the rest free,
// from the normal equations: every subset of the non-negative ones is tried
// with the free ones always in, and the best feasible solution kept (the
// solution satisfies the optimality conditions on one of the subsets).
struct Nnls {
    Eigen::VectorXd x;
    double cost = std::numeric_limits<double>::infinity();
};

Nnls nnls_free(const Eigen::MatrixXd& G, const Eigen::VectorXd& b, double zz, int npos) {
    const int k = static_cast<int>(b.size());
    Nnls best;
    best.x = Eigen::VectorXd::Zero(k);
    for (int mask = 0; mask < (1 << npos); ++mask) {
        std::vector<int> idx;
        for (int j = 0; j < npos; ++j)
            if (mask & (1 << j)) idx.push_back(j);
        for (int j = npos; j < k; ++j) idx.push_back(j);
        const int m = static_cast<int>(idx.size());
        Eigen::VectorXd x = Eigen::VectorXd::Zero(k);
        if (m > 0) {
            Eigen::MatrixXd Gs(m, m);
            Eigen::VectorXd bs(m);
            for (int a = 0; a < m; ++a) {
                bs[a] = b[idx[static_cast<std::size_t>(a)]];
                for (int c = 0; c < m; ++c) Gs(a, c) = G(idx[static_cast<std::size_t>(a)], idx[static_cast<std::size_t>(c)]);
            }
            Eigen::VectorXd xs = Gs.ldlt().solve(bs);
            bool ok = xs.allFinite();
            for (int a = 0; a < m && ok; ++a)
                if (idx[static_cast<std::size_t>(a)] < npos) ok = xs[a] >= 0.0;
            if (!ok) continue;
            for (int a = 0; a < m; ++a) x[idx[static_cast<std::size_t>(a)]] = xs[a];
        }
        const double cost = zz - 2.0 * x.dot(b) + x.dot(G * x);
        if (cost < best.cost) {
            best.x = x;
            best.cost = cost;
        }
    }
    return best;
}

struct Start {
    std::vector<double> tau;
    Eigen::VectorXd lin;  // R0, R_b..., nuisance...
    double cost;
};

Start solve_linear(Model& model, const std::vector<double>& tau) {
    Eigen::MatrixXd A;
    Eigen::VectorXd z;
    model.linear_problem(tau, A, z);
    // Columns scaled to unit norm for a well-conditioned normal matrix.
    Eigen::VectorXd scale = A.colwise().norm().transpose();
    for (Eigen::Index c = 0; c < scale.size(); ++c)
        if (!(scale[c] > 0.0)) scale[c] = 1.0;
    Eigen::MatrixXd As = A * scale.cwiseInverse().asDiagonal();
    Eigen::MatrixXd G = As.transpose() * As;
    Eigen::VectorXd rhs = As.transpose() * z;
    Nnls s = nnls_free(G, rhs, z.squaredNorm(), 1 + model.nb());
    return {tau, s.x.cwiseQuotient(scale), s.cost};
}

// The grid of time constants with the linear parameters solved for each point.
std::vector<Start> grid_starts(Model& model, int nb, const WindowFacts& f) {
    const double lo = std::max(f.dt, f.tau_lo * 2.0), hi = std::max(f.duration / 2.0, 2.0 * lo);
    std::vector<double> grid(kGridPoints);
    for (int k = 0; k < kGridPoints; ++k)
        grid[static_cast<std::size_t>(k)] = lo * std::pow(hi / lo, static_cast<double>(k) / (kGridPoints - 1));
    std::vector<Start> starts;
    for (std::size_t a = 0; a < grid.size(); ++a) {
        if (nb == 1) starts.push_back(solve_linear(model, {grid[a]}));
        else
            for (std::size_t b = a + 1; b < grid.size(); ++b) starts.push_back(solve_linear(model, {grid[a], grid[b]}));
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
    if (w.n < 8) throw DataError("fitting window has " + std::to_string(w.n) + " samples; at least 8 are needed");
    check_rc_input(w.t, w.i, w.n);
    for (std::size_t k = 0; k < w.n; ++k)
        if (!std::isfinite(w.y[k])) throw DataError("voltage is not finite at sample " + std::to_string(k));
    const WindowFacts f = facts_of(w);
    if (!(f.duration > 0.0)) throw DataError("fitting window has no duration");
    Model model(w, branches);
    const int np = model.np(), nf = model.first_nuisance();

    std::vector<Start> starts;
    if (!start_tau.empty()) {
        std::vector<double> tau = start_tau;
        for (auto& x : tau) x = std::clamp(x, f.tau_lo * 1.01, f.tau_hi * 0.99);
        starts.push_back(solve_linear(model, tau));
    } else {
        starts = grid_starts(model, branches, f);
    }

    auto to_x = [&](const Start& st) {
        Eigen::VectorXd x0(np);
        x0[0] = std::max(st.lin[0], 1e-9);
        for (int b = 0; b < branches; ++b) {
            x0[1 + 2 * b] = std::max(st.lin[1 + b], 1e-9);
            x0[2 + 2 * b] = std::log(std::clamp(st.tau[static_cast<std::size_t>(b)], f.tau_lo * 1.01, f.tau_hi * 0.99));
        }
        for (int j = 0; j < Model::kNuisance; ++j) x0[nf + j] = st.lin[1 + branches + j];
        return x0;
    };

    // Huber scale from the residual of the best start (robust spread), not
    // below 0.1 mV: residuals of a few tenths of a millivolt are model detail.
    double f_scale = 1e-4;
    {
        Eigen::VectorXd resp;
        model.response(to_x(starts[0]), resp);
        std::vector<double> res(static_cast<std::size_t>(model.size()));
        for (Eigen::Index k = 0; k < model.size(); ++k) res[static_cast<std::size_t>(k)] = model.data()[k] - resp[k];
        const double med = median(res);
        for (auto& v : res) v = std::fabs(v - med);
        const double sigma = 1.4826 * median(res);
        if (std::isfinite(sigma) && sigma > 0.0) f_scale = std::max(3.0 * sigma, 1e-4);
    }

    LsqProblem prob;
    prob.fun = [&](const Eigen::VectorXd& x, Eigen::VectorXd& fv) {
        Eigen::VectorXd resp;
        model.response(x, resp);
        fv = model.data() - resp;
    };
    prob.jac = [&](const Eigen::VectorXd& x, const Eigen::VectorXd&, Eigen::MatrixXd& J) { model.jacobian(x, J); };
    const double inf = std::numeric_limits<double>::infinity();
    Eigen::VectorXd lb = Eigen::VectorXd::Constant(np, -inf), ub = Eigen::VectorXd::Constant(np, inf);
    lb[0] = 0.0;
    for (int b = 0; b < branches; ++b) {
        lb[1 + 2 * b] = 0.0;
        lb[2 + 2 * b] = std::log(f.tau_lo);
        ub[2 + 2 * b] = std::log(f.tau_hi);
    }
    LsqOptions opt;
    opt.loss = Loss::Huber;
    opt.f_scale = f_scale;
    opt.ftol = opt.xtol = opt.gtol = 1e-10;

    LsqResult best;
    bool have = false;
    const int tries = std::min<int>(kRefineStarts, static_cast<int>(starts.size()));
    for (int s = 0; s < tries; ++s) {
        LsqResult res = least_squares_trf(prob, to_x(starts[static_cast<std::size_t>(s)]), lb, ub, opt);
        if (!have || res.cost < best.cost) {
            best = std::move(res);
            have = true;
        }
    }

    JointFit out;
    out.r0 = best.x[0];
    out.ocv_before = best.x[nf];
    out.ocv_after = best.x[nf] + best.x[nf + 1];
    out.bump = best.x[nf + 2];
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
    Eigen::VectorXd xs = best.x;
    for (int b = 0; b < branches; ++b) {
        xs[1 + 2 * b] = out.r[static_cast<std::size_t>(b)];
        xs[2 + 2 * b] = std::log(out.tau[static_cast<std::size_t>(b)]);
    }
    JointWindow ordered = w;
    ordered.u0 = u0;
    Model final_model(ordered, branches);
    Eigen::VectorXd resp;
    final_model.response(xs, resp);
    out.model.assign(resp.data(), resp.data() + resp.size());
    double ss = 0.0;
    for (std::size_t k = 0; k < w.n; ++k) ss += (w.y[k] - out.model[k]) * (w.y[k] - out.model[k]);
    out.rms = std::sqrt(ss / static_cast<double>(w.n));
    return out;
}

}  // namespace ecm
