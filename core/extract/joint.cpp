#include "core/extract/joint.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include <Eigen/Dense>

#include "core/base/errors.hpp"
#include "core/base/stats.hpp"
#include "core/circuit/circuit.hpp"
#include "core/extract/uncertainty.hpp"
#include "core/numeric/charge.hpp"
#include "core/numeric/trf.hpp"

namespace ecm {
namespace {

constexpr int kGridPoints = 10;
constexpr int kRefineStarts = 2;

struct WindowFacts {
    double dt = 1.0;                          // median sampling step, s
    double duration = 0.0;                    // s
    double rest = 0.0;                        // s, after the last loaded sample
    double tau_lo = 0.0, tau_hi = 0.0;        // bounds of the fit
    double tau_ok_lo = 0.0, tau_ok_hi = 0.0;  // where the cycle determines a time constant
};

WindowFacts facts_of(const JointWindow& w) {
    WindowFacts f;
    std::vector<double> steps;
    steps.reserve(w.n);
    for (std::size_t k = 1; k < w.n; ++k)
        if (w.t[k] > w.t[k - 1]) steps.push_back(w.t[k] - w.t[k - 1]);
    if (steps.empty()) {
        f.dt = 1.0;
    } else {  // the median step (upper middle for an even count is close enough here)
        auto mid = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
        std::nth_element(steps.begin(), mid, steps.end());
        f.dt = *mid;
    }
    f.duration = w.t[w.n - 1] - w.t[0];
    f.rest = w.t[w.n - 1] - w.t[std::min(w.pulse_last, w.n - 1)];
    f.tau_lo = 0.05 * f.dt;
    f.tau_hi = w.tau_hi > 0.0 ? std::max(w.tau_hi, 2.0 * f.dt) : std::max(f.duration, 2.0 * f.dt);
    f.tau_ok_lo = 2.0 * f.dt;
    f.tau_ok_hi = w.tau_ok_hi >= 0.0 ? w.tau_ok_hi : f.rest / 2.0;
    return f;
}

// Whether a pulse is long enough for R0's change over it to be told from the branches' rise: at
// least kRampSamples loaded samples over at least kRampSeconds. A long pulse moves the SOC by
// several per cent, and R0 with it; taken as constant, that ramp under load lengthens the time
// constants. On a short pulse the change is negligible and the extra freedom would only blur R0.
constexpr std::size_t kRampSamples = 30;
constexpr double kRampSeconds = 60.0;

bool ramp_identifiable(const JointWindow& w) {
    if (!w.bump || w.n == 0) return false;
    const std::size_t last = std::min(w.pulse_last, w.n - 1);
    double imax = 0.0;
    for (std::size_t k = 0; k <= last; ++k) imax = std::max(imax, std::fabs(w.i[k]));
    if (!(imax > 0.0)) return false;
    std::size_t loaded = 0, first = last;
    for (std::size_t k = 0; k <= last; ++k)
        if (std::fabs(w.i[k]) > 0.1 * imax) {
            if (loaded++ == 0) first = k;
        }
    return loaded >= kRampSamples && w.t[last] - w.t[first] >= kRampSeconds;
}

class Model {
public:
    // Nuisance columns (free sign): the OCV level before the pulse, its change
    // over the pulse, the bump under load and, on long pulses, R0's change
    // with the charge passed.

    Model(const JointWindow& w, int branches)
        : w_(w), nb_(branches), bw_(w.t, w.i, w.n), m_(static_cast<Eigen::Index>(w.n)) {
        age_.resize(m_);
        sw_.resize(m_);
        for (Eigen::Index k = 0; k < m_; ++k) {
            age_[k] = w.t[k] - w.t[0];
            sw_[k] = w.weight ? std::sqrt(w.weight[k]) : 1.0;
        }
        u0_.assign(static_cast<std::size_t>(nb_), 0.0);
        for (std::size_t b = 0; b < w.u0.size() && b < u0_.size(); ++b) u0_[b] = w.u0[b];
        const std::vector<double> q = cumulative_charge_As(w.t, w.i, w.n);
        const std::size_t end = std::min(w.pulse_last + 1, w.n - 1);
        const double total = q[end];
        nn_ = ramp_identifiable(w) ? 4 : 3;
        nuis_.setZero(m_, nn_);
        nuis_.col(0).setOnes();
        for (std::size_t k = 0; k < w.n; ++k) {
            const auto K = static_cast<Eigen::Index>(k);
            const double f = total != 0.0 && std::isfinite(total) ? std::clamp(q[k] / total, 0.0, 1.0) : 0.0;
            nuis_(K, 1) = w.shape ? w.shape[k] : f;
            nuis_(K, 2) = w.bump ? 4.0 * f * (1.0 - f) : (w.t[k] - w.t[0]) / std::max(w.t[w.n - 1] - w.t[0], 1e-300);
            // R0 changing with the charge passed (linear over the pulse, R0 itself at its middle)
            if (nn_ > 3) nuis_(K, 3) = w.i[k] * (f - 0.5);
        }
    }

    Eigen::Index size() const { return m_; }
    int nb() const { return nb_; }
    int np() const { return 1 + 2 * nb_ + nn_; }
    int nn() const { return nn_; }
    int first_nuisance() const { return 1 + 2 * nb_; }
    const Eigen::MatrixXd& nuisance() const { return nuis_; }
    Eigen::Map<const Eigen::VectorXd> current() const { return {w_.i, m_}; }
    Eigen::Map<const Eigen::VectorXd> data() const { return {w_.y, m_}; }
    const Eigen::VectorXd& sqrt_weight() const { return sw_; }

    // Unit-resistance branch response g(tau) (zero state at the first sample).
    void unit(double tau, Eigen::VectorXd& g) const {
        g.resize(m_);
        bw_.voltage(1.0, tau, g.data());
    }
    // The decay of an initial branch voltage of 1 V.
    void decay(double tau, Eigen::VectorXd& e) const { e = (-age_ / tau).array().exp(); }

    // x = (R0, R_1, log tau_1[, R_2, log tau_2], nuisance...).
    void response(const Eigen::VectorXd& x, Eigen::VectorXd& out) {
        out = x[0] * current() + nuis_ * x.segment(first_nuisance(), nn_);
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
        J.middleCols(first_nuisance(), nn_) = -nuis_;
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
        J = sw_.asDiagonal() * J;
    }

    // The linear least-squares problem at fixed time constants: columns R0,
    // R_b (non-negative), then the nuisance columns (free), and the target
    // with the decaying initial voltages removed.
    // Columns: R0, R_b..., nuisance...
    void linear_problem(const std::vector<double>& tau, Eigen::MatrixXd& A, Eigen::VectorXd& z) {
        const int k = 1 + nb_ + nn_;
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
        A.middleCols(1 + nb_, nn_) = nuis_;
        A = sw_.asDiagonal() * A;
        z = z.cwiseProduct(sw_);
    }

    const std::vector<double>& u0() const { return u0_; }

private:
    const JointWindow& w_;
    int nb_;
    int nn_ = 3;
    BranchWindow bw_;
    Eigen::Index m_;
    Eigen::VectorXd age_, sw_, g_, e_;
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
    const int k = static_cast<int>(b.size());  // at most 8 (R0, two branches, the nuisance columns)
    Nnls best;
    best.x = Eigen::VectorXd::Zero(k);
    // small problems: fixed-capacity storage, no allocation per subset
    using SmallMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, 8, 8>;
    using SmallVector = Eigen::Matrix<double, Eigen::Dynamic, 1, 0, 8, 1>;
    for (int mask = 0; mask < (1 << npos); ++mask) {
        std::array<int, 8> idx{};
        int m = 0;
        for (int j = 0; j < npos; ++j)
            if (mask & (1 << j)) idx[static_cast<std::size_t>(m++)] = j;
        for (int j = npos; j < k; ++j) idx[static_cast<std::size_t>(m++)] = j;
        Eigen::VectorXd x = Eigen::VectorXd::Zero(k);
        if (m > 0) {
            SmallMatrix Gs(m, m);
            SmallVector bs(m);
            for (int a = 0; a < m; ++a) {
                bs[a] = b[idx[static_cast<std::size_t>(a)]];
                for (int c = 0; c < m; ++c)
                    Gs(a, c) = G(idx[static_cast<std::size_t>(a)], idx[static_cast<std::size_t>(c)]);
            }
            SmallVector xs = Gs.ldlt().solve(bs);
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

// The grid of time constants with the linear parameters solved for each
// point. Every column the grid needs (current, nuisance, and per grid time
// constant the unit branch response and the decay) is formed once; each grid
// point then solves a small problem taken from their Gram matrix.
std::vector<Start> grid_starts(Model& model, int nb, const WindowFacts& f) {
    const double lo = std::max(f.dt, f.tau_lo * 2.0), hi = std::max(std::min(f.duration / 2.0, f.tau_hi), 2.0 * lo);
    const int K = kGridPoints;
    std::vector<double> grid(static_cast<std::size_t>(K));
    for (int k = 0; k < K; ++k)
        grid[static_cast<std::size_t>(k)] = lo * std::pow(hi / lo, static_cast<double>(k) / (K - 1));

    const Eigen::Index m = model.size();
    const int nn = model.nn(), cI = 0, cN = 1, cG = 1 + nn, cE = 1 + nn + K;
    Eigen::MatrixXd B(m, 1 + nn + 2 * K);
    B.col(cI) = model.current();
    B.middleCols(cN, nn) = model.nuisance();
    Eigen::VectorXd g, e;
    for (int k = 0; k < K; ++k) {
        model.unit(grid[static_cast<std::size_t>(k)], g);
        model.decay(grid[static_cast<std::size_t>(k)], e);
        B.col(cG + k) = g;
        B.col(cE + k) = e;
    }
    B = model.sqrt_weight().asDiagonal() * B;
    const Eigen::VectorXd z0 = model.data().cwiseProduct(model.sqrt_weight());
    const Eigen::MatrixXd M = B.transpose() * B;
    const Eigen::VectorXd v = B.transpose() * z0;
    const double z0z0 = z0.squaredNorm();
    const std::vector<double>& u0 = model.u0();

    std::vector<Start> starts;
    auto consider = [&](int a, int b) {
        std::vector<int> idx = {cI, cG + a};
        if (nb > 1) idx.push_back(cG + b);
        for (int j = 0; j < nn; ++j) idx.push_back(cN + j);
        const int k = static_cast<int>(idx.size());
        // the target with the decaying initial voltages removed: z = z0 - u_1 e_a - u_2 e_b
        const int ea = cE + a, eb = cE + b;
        const double u1 = u0[0], u2 = nb > 1 ? u0[1] : 0.0;
        double zz = z0z0 - 2.0 * u1 * v[ea] + u1 * u1 * M(ea, ea);
        if (nb > 1) zz += -2.0 * u2 * v[eb] + 2.0 * u1 * u2 * M(ea, eb) + u2 * u2 * M(eb, eb);
        Eigen::MatrixXd G(k, k);
        Eigen::VectorXd rhs(k), scale(k);
        for (int p = 0; p < k; ++p) {
            const double d = M(idx[static_cast<std::size_t>(p)], idx[static_cast<std::size_t>(p)]);
            scale[p] = d > 0.0 ? std::sqrt(d) : 1.0;
        }
        for (int p = 0; p < k; ++p) {
            const int ip = idx[static_cast<std::size_t>(p)];
            double r = v[ip] - u1 * M(ea, ip);
            if (nb > 1) r -= u2 * M(eb, ip);
            rhs[p] = r / scale[p];
            for (int q = 0; q < k; ++q) G(p, q) = M(ip, idx[static_cast<std::size_t>(q)]) / (scale[p] * scale[q]);
        }
        Nnls sol = nnls_free(G, rhs, zz, 1 + nb);
        std::vector<double> tau = {grid[static_cast<std::size_t>(a)]};
        if (nb > 1) tau.push_back(grid[static_cast<std::size_t>(b)]);
        starts.push_back({tau, sol.x.cwiseQuotient(scale), sol.cost});
    };
    for (int a = 0; a < K; ++a) {
        if (nb == 1)
            consider(a, a);
        else
            for (int b = a + 1; b < K; ++b) consider(a, b);
    }
    std::sort(starts.begin(), starts.end(), [](const Start& x, const Start& y) { return x.cost < y.cost; });
    return starts;
}

// The uncertainty of R0, each R and tau from the Jacobian at the solution (the parameters: R0, R_b,
// log tau_b and the open-circuit terms) with the Huber loss's weights and the residuals' correlation
// (robust_covariance); a bin of n samples, weighted by n, carries the noise of one sample.
void fit_uncertainty(const LsqResult& best, Model& model, double f_scale, int branches, JointFit& out) {
    const int np = model.np();
    out.unc = CircuitUncertainty::unknown(static_cast<std::size_t>(branches));
    if (best.x.size() != np || best.fun.size() != model.size()) return;
    Eigen::MatrixXd J;
    model.jacobian(best.x, J);
    std::vector<bool> free(static_cast<std::size_t>(np), true);
    for (int k = 0; k < np && k < best.active_mask.size(); ++k)
        free[static_cast<std::size_t>(k)] = best.active_mask[k] == 0;
    const Eigen::MatrixXd cov = robust_covariance(J, best.fun, f_scale, free);
    if (cov.rows() != np) return;
    // The circuit's parameters in the order of the fitted time constants.
    const bool swapped = branches == 2 && best.x[2] > best.x[4];
    std::vector<Eigen::Index> idx = {0};
    for (int b = 0; b < branches; ++b) {
        const int s = swapped ? 1 - b : b;
        idx.push_back(1 + 2 * s);
        idx.push_back(2 + 2 * s);
    }
    const auto k = static_cast<Eigen::Index>(idx.size());
    Eigen::MatrixXd sub(k, k);
    for (Eigen::Index a = 0; a < k; ++a)
        for (Eigen::Index c = 0; c < k; ++c)
            sub(a, c) = cov(idx[static_cast<std::size_t>(a)], idx[static_cast<std::size_t>(c)]);
    out.unc = circuit_uncertainty(out.r0, out.r, out.tau, sub);
}

}  // namespace

JointFit fit_cycle_joint(const JointWindow& w, int branches, const std::vector<double>& start_tau,
                         const JointWindow* reduced) {
    if (branches < 1 || branches > 2) throw DataError("a joint fit has one or two RC branches");
    if (w.n < 8) throw DataError("fitting window has " + std::to_string(w.n) + " samples; at least 8 are needed");
    check_rc_input(w.t, w.i, w.n);
    for (std::size_t k = 0; k < w.n; ++k)
        if (!std::isfinite(w.y[k])) throw DataError("voltage is not finite at sample " + std::to_string(k));
    const WindowFacts f = facts_of(w);
    if (!(f.duration > 0.0)) throw DataError("fitting window has no duration");
    const JointWindow& fw = reduced ? *reduced : w;
    if (reduced) check_rc_input(fw.t, fw.i, fw.n);
    Model model(fw, branches);
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
        for (int j = 0; j < model.nn(); ++j) x0[nf + j] = st.lin[1 + branches + j];
        return x0;
    };

    // Huber scale from the residual of the best start (robust spread), not
    // below 0.1 mV: residuals of a few tenths of a millivolt are model detail.
    double f_scale = 1e-4;
    {
        Eigen::VectorXd resp;
        model.response(to_x(starts[0]), resp);
        std::vector<double> res(static_cast<std::size_t>(model.size()));
        for (Eigen::Index k = 0; k < model.size(); ++k)
            res[static_cast<std::size_t>(k)] = model.sqrt_weight()[k] * (model.data()[k] - resp[k]);
        const double med = median(res);
        for (auto& v : res) v = std::fabs(v - med);
        const double sigma = 1.4826 * median(res);
        if (std::isfinite(sigma) && sigma > 0.0) f_scale = std::max(3.0 * sigma, 1e-4);
    }

    LsqProblem prob;
    prob.fun = [&](const Eigen::VectorXd& x, Eigen::VectorXd& fv) {
        Eigen::VectorXd resp;
        model.response(x, resp);
        fv = (model.data() - resp).cwiseProduct(model.sqrt_weight());
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
    opt.ftol = opt.xtol = opt.gtol = 1e-6;

    // The best grid point is refined, and the best one of another basin (time
    // constants apart by more than a factor 2.5) when its cost comes close.
    std::vector<std::size_t> tries = {0};
    for (std::size_t s = 1; s < starts.size() && static_cast<int>(tries.size()) < kRefineStarts; ++s) {
        if (!(starts[s].cost <= 2.0 * starts[0].cost + 1e-30)) break;
        bool apart = false;
        for (std::size_t b = 0; b < starts[s].tau.size(); ++b) {
            const double ratio = starts[s].tau[b] / starts[0].tau[b];
            apart = apart || ratio > 2.5 || ratio < 1.0 / 2.5;
        }
        if (apart) tries.push_back(s);
    }
    LsqResult best;
    bool have = false;
    for (std::size_t s : tries) {
        LsqResult res = least_squares_trf(prob, to_x(starts[s]), lb, ub, opt);
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
    {
        // names in the solver's parameter order, before the branches are sorted
        const bool swapped = branches == 2 && std::exp(best.x[2]) > std::exp(best.x[4]);
        for (int k = 0; k < 1 + 2 * branches && k < best.active_mask.size(); ++k) {
            const int side = best.active_mask[k];
            if (side == 0) continue;
            int b = (k - 1) / 2;
            if (swapped && k > 0) b = 1 - b;
            const std::string name = k == 0 ? "R0" : ((k - 1) % 2 == 0 ? "R" : "tau") + std::to_string(b + 1);
            out.at_bound.push_back(name + (side > 0 ? " upper" : " lower"));
        }
    }
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
    fit_uncertainty(best, model, f_scale, branches, out);
    out.r0_se = out.unc.r0_se;
    out.r_se = out.unc.r_se;
    out.tau_se = out.unc.tau_se;
    // A branch is determined where the data pin its time constant: at least two samples long and a
    // 95 % interval no wider than kMaxRelTauWidth of it; where the curvature gives no interval (a
    // bound, a singular fit), where the window sees it relax (at most tau_ok_hi).
    for (std::size_t b = 0; b < out.tau.size(); ++b) {
        const double tau = out.tau[b], lo = out.unc.tau_lo[b], hi = out.unc.tau_hi[b];
        const bool seen = tau >= f.tau_ok_lo && out.r[b] > 0.0;
        const bool known = std::isfinite(lo) && std::isfinite(hi);
        out.determined[b] = seen && (known ? tau_determined(tau, lo, hi) : tau <= f.tau_ok_hi);
    }
    return out;
}

JointWindow ReducedWindow::window() const {
    JointWindow w;
    w.t = t.data();
    w.i = i.data();
    w.y = y.data();
    w.n = t.size();
    w.shape = shape.empty() ? nullptr : shape.data();
    w.weight = weight.data();
    w.pulse_last = pulse_last;
    return w;
}

ReducedWindow reduce_window(const JointWindow& w, std::size_t pulse_first) {
    ReducedWindow r;
    auto add = [&](std::size_t a, std::size_t b) {  // samples a .. b-1 as one
        double st = 0, si = 0, sy = 0, ss = 0, sw = 0;
        for (std::size_t k = a; k < b; ++k) {
            st += w.t[k];
            si += w.i[k];
            sy += w.y[k];
            if (w.shape) ss += w.shape[k];
            sw += w.weight ? w.weight[k] : 1.0;
        }
        const double n = static_cast<double>(b - a);
        r.t.push_back(st / n);
        r.i.push_back(si / n);
        r.y.push_back(sy / n);
        if (w.shape) r.shape.push_back(ss / n);
        r.weight.push_back(sw);
    };
    // The rest before the pulse: about 16 bins, its last three samples kept.
    const std::size_t keep = 3;
    const std::size_t pre_end = std::min(pulse_first, w.n);
    const std::size_t pre_binned = pre_end > keep ? pre_end - keep : 0;
    const std::size_t width = std::max<std::size_t>(1, pre_binned / 16);
    // The first sample stays single: the branches' initial voltages hold at its time.
    std::size_t k = 0;
    if (pre_end > 0) {
        add(0, 1);
        k = 1;
    }
    for (; k + width <= pre_binned; k += width) add(k, k + width);
    for (; k < pre_end; ++k) add(k, k + 1);
    // The pulse and the rest after it: bins of about a twentieth of the time since the step.
    // The last samples before a step stay single: the current is taken as linear
    // between samples, so a bin's mean must not stand near a step.
    auto geometric = [&](std::size_t a, std::size_t b, std::size_t single_at_end) {
        const std::size_t binned_end = b > a + single_at_end ? b - single_at_end : a;
        std::size_t j = a;
        while (j < binned_end) {
            const std::size_t width = std::max<std::size_t>(1, (j - a) / 20);
            const std::size_t e = std::min(binned_end, j + width);
            add(j, e);
            j = e;
        }
        for (; j < b; ++j) add(j, j + 1);
    };
    const std::size_t pulse_end = std::min(w.pulse_last + 1, w.n);
    geometric(pre_end, pulse_end, keep);
    r.pulse_last = r.t.size() - 1;
    geometric(pulse_end, w.n, 0);
    return r;
}

}  // namespace ecm
