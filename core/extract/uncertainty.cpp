#include "core/extract/uncertainty.hpp"

#include <algorithm>
#include <cmath>

namespace ecm {

CircuitUncertainty CircuitUncertainty::unknown(std::size_t branches) {
    CircuitUncertainty u;
    for (auto* v :
         {&u.r_se, &u.r_lo, &u.r_hi, &u.tau_se, &u.tau_lo, &u.tau_hi, &u.c_se, &u.c_lo, &u.c_hi, &u.r_tau_corr})
        v->assign(branches, kNaN);
    return u;
}

Eigen::MatrixXd robust_covariance(const Eigen::MatrixXd& J, const Eigen::VectorXd& f, double f_scale,
                                  const std::vector<bool>& free) {
    const Eigen::Index np = J.cols();
    if (J.rows() != f.size() || static_cast<std::size_t>(np) != free.size()) return {};
    std::vector<Eigen::Index> cols;
    for (Eigen::Index k = 0; k < np; ++k)
        if (free[static_cast<std::size_t>(k)]) cols.push_back(k);
    const auto p = static_cast<Eigen::Index>(cols.size());
    std::vector<Eigen::Index> rows;
    for (Eigen::Index k = 0; k < J.rows(); ++k)
        if (f[k] != 0.0 || J.row(k).squaredNorm() > 0.0) rows.push_back(k);
    const auto n = static_cast<Eigen::Index>(rows.size());
    if (p == 0 || n <= p + 1) return {};
    if (!J.allFinite() || !f.allFinite()) return {};
    Eigen::MatrixXd A(n, p);
    Eigen::VectorXd psi(n), w(n);
    const double fs = f_scale > 0.0 ? f_scale : std::numeric_limits<double>::infinity();
    for (Eigen::Index a = 0; a < n; ++a) {
        const Eigen::Index k = rows[static_cast<std::size_t>(a)];
        for (Eigen::Index c = 0; c < p; ++c) A(a, c) = J(k, cols[static_cast<std::size_t>(c)]);
        psi[a] = std::clamp(f[k], -fs, fs);
        w[a] = std::fabs(f[k]) <= fs ? 1.0 : 0.0;
    }
    // The curvature from the samples inside the quadratic zone; its inverse through an SVD.
    const Eigen::MatrixXd B = A.transpose() * w.asDiagonal() * A;
    Eigen::JacobiSVD<Eigen::MatrixXd> svd(B, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const Eigen::VectorXd sv = svd.singularValues();
    if (!(sv[sv.size() - 1] > 1e-12 * sv[0])) return {};
    const Eigen::MatrixXd Binv = svd.solve(Eigen::MatrixXd::Identity(p, p));
    const double dof = static_cast<double>(n - p);
    const double s2 = psi.squaredNorm() / dof;
    const Eigen::MatrixXd JtJ = A.transpose() * A;
    Eigen::MatrixXd cov = s2 * Binv * JtJ * Binv;

    // Residuals correlated from sample to sample: fewer independent samples than rows.
    const auto L = static_cast<Eigen::Index>(std::max(1.0, std::round(std::cbrt(static_cast<double>(n)))));
    const double ss = psi.squaredNorm();
    double factor = 1.0;
    Eigen::MatrixXd G = A.array().colwise() * psi.array();  // per-row score
    Eigen::MatrixXd meat = G.transpose() * G;
    if (ss > 0.0) {
        double sum = 0.0;
        for (Eigen::Index l = 1; l <= L && l < n; ++l) {
            const double kern = 1.0 - static_cast<double>(l) / static_cast<double>(L + 1);
            const double rho = psi.head(n - l).dot(psi.tail(n - l)) / ss;
            sum += kern * rho;
            const Eigen::MatrixXd cross = G.topRows(n - l).transpose() * G.bottomRows(n - l);
            meat += kern * (cross + cross.transpose());
        }
        factor = std::max(1.0, 1.0 + 2.0 * sum);
    }
    cov *= factor;
    const Eigen::MatrixXd hac = (static_cast<double>(n) / dof) * Binv * meat * Binv;
    // Where the sandwich is larger, its variance (the correlations kept).
    Eigen::VectorXd scale = Eigen::VectorXd::Ones(p);
    for (Eigen::Index k = 0; k < p; ++k)
        if (cov(k, k) > 0.0 && hac(k, k) > cov(k, k)) scale[k] = std::sqrt(hac(k, k) / cov(k, k));
    cov = scale.asDiagonal() * cov * scale.asDiagonal();

    Eigen::MatrixXd out = Eigen::MatrixXd::Constant(np, np, std::numeric_limits<double>::quiet_NaN());
    for (Eigen::Index a = 0; a < p; ++a)
        for (Eigen::Index b = 0; b < p; ++b)
            out(cols[static_cast<std::size_t>(a)], cols[static_cast<std::size_t>(b)]) = cov(a, b);
    return out;
}

CircuitUncertainty circuit_uncertainty(double r0, const std::vector<double>& r, const std::vector<double>& tau,
                                       const Eigen::MatrixXd& cov) {
    const std::size_t nb = r.size();
    CircuitUncertainty u = CircuitUncertainty::unknown(nb);
    const auto np = static_cast<Eigen::Index>(1 + 2 * nb);
    if (cov.rows() != np || cov.cols() != np || tau.size() != nb) return u;
    const double nan = CircuitUncertainty::kNaN;
    auto sd = [&](Eigen::Index k) { return cov(k, k) >= 0.0 ? std::sqrt(cov(k, k)) : nan; };
    u.r0_se = sd(0);
    if (std::isfinite(u.r0_se)) {
        u.r0_lo = std::max(0.0, r0 - kZ95 * u.r0_se);
        u.r0_hi = r0 + kZ95 * u.r0_se;
    }
    for (std::size_t b = 0; b < nb; ++b) {
        const auto iR = static_cast<Eigen::Index>(1 + 2 * b), iL = iR + 1;
        const double sR = sd(iR), sL = sd(iL), R = r[b], T = tau[b];
        u.r_se[b] = sR;
        if (std::isfinite(sR)) {
            u.r_lo[b] = std::max(0.0, R - kZ95 * sR);
            u.r_hi[b] = R + kZ95 * sR;
        }
        if (std::isfinite(sL) && T > 0.0) {
            u.tau_se[b] = T * sL;
            u.tau_lo[b] = T * std::exp(-kZ95 * sL);
            u.tau_hi[b] = T * std::exp(kZ95 * sL);
        }
        if (std::isfinite(sR) && std::isfinite(sL) && sR > 0.0 && sL > 0.0)
            u.r_tau_corr[b] = std::clamp(cov(iR, iL) / (sR * sL), -1.0, 1.0);
        if (R > 0.0 && T > 0.0 && std::isfinite(sR) && std::isfinite(sL)) {
            // log C = log tau - log R
            const double v = sL * sL + sR * sR / (R * R) - 2.0 * cov(iR, iL) / R;
            if (v >= 0.0) {
                const double c = T / R, s = std::sqrt(v);
                u.c_se[b] = c * s;
                u.c_lo[b] = c * std::exp(-kZ95 * s);
                u.c_hi[b] = c * std::exp(kZ95 * s);
            }
        }
    }
    return u;
}

bool tau_determined(double tau, double lo, double hi) {
    return tau > 0.0 && std::isfinite(lo) && std::isfinite(hi) && (hi - lo) / tau <= kMaxRelTauWidth;
}

namespace {

// Least-squares line through (t, v): level at t_at, its standard error, the slope, the residuals' RMS.
struct Line {
    double level = 0.0, level_se = 0.0, slope = 0.0;
};

Line fit_line(const double* t, const double* v, std::size_t n, double t_at) {
    double mt = 0.0, mv = 0.0;
    for (std::size_t k = 0; k < n; ++k) mt += t[k], mv += v[k];
    mt /= static_cast<double>(n);
    mv /= static_cast<double>(n);
    double stt = 0.0, stv = 0.0;
    for (std::size_t k = 0; k < n; ++k) stt += (t[k] - mt) * (t[k] - mt), stv += (t[k] - mt) * (v[k] - mv);
    Line l;
    l.slope = stt > 0.0 ? stv / stt : 0.0;
    l.level = mv + l.slope * (t_at - mt);
    double ss = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double e = v[k] - (mv + l.slope * (t[k] - mt));
        ss += e * e;
    }
    const double s2 = n > 2 ? ss / static_cast<double>(n - 2) : 0.0;
    const double lever = stt > 0.0 ? (t_at - mt) * (t_at - mt) / stt : 0.0;
    l.level_se = std::sqrt(s2 * (1.0 / static_cast<double>(n) + lever));
    return l;
}

}  // namespace

double relaxed_voltage(const double* t, const double* v, std::size_t n) {
    if (n == 0) return CircuitUncertainty::kNaN;
    if (n < 5) return v[n - 1];
    for (std::size_t k = 0; k < n; ++k)
        if (!std::isfinite(t[k]) || !std::isfinite(v[k])) return v[n - 1];
    const std::size_t a = n - std::max<std::size_t>(5, n / 4);
    if (!(t[n - 1] > t[a])) return v[n - 1];
    return fit_line(t + a, v + a, n - a, t[n - 1]).level;
}

double relaxed_voltage_se(const double* t, const double* v, std::size_t n, bool level) {
    if (n < 5) return CircuitUncertainty::kNaN;
    for (std::size_t k = 0; k < n; ++k)
        if (!std::isfinite(t[k]) || !std::isfinite(v[k])) return CircuitUncertainty::kNaN;
    std::size_t a = n - std::max<std::size_t>(5, n / 4);
    const double t_end = t[n - 1];
    const Line whole = fit_line(t + a, v + a, n - a, t_end);
    // The noise of one reading and of the level at the rest's end from the scatter about a line
    // through the quarter; the relaxation left: the slope times the time constant of its decay.
    const double len = t_end - t[a];
    double tail = len;
    const std::size_t half = (n - a) / 2;
    if (half >= 3) {
        const Line early = fit_line(t + a, v + a, half, t_end);
        const Line late = fit_line(t + a + half, v + a + half, n - a - half, t_end);
        const double dt = 0.5 * (t[n - 1] + t[a + half]) - 0.5 * (t[a + half - 1] + t[a]);
        if (early.slope * late.slope > 0.0 && std::fabs(late.slope) < std::fabs(early.slope) && dt > 0.0)
            tail = std::min(dt / std::log(early.slope / late.slope), 10.0 * len);
    }
    // The slope's own noise: a slope within it says nothing of a relaxation left.
    double mt = 0.0, stt = 0.0, ss = 0.0;
    for (std::size_t k = a; k < n; ++k) mt += t[k];
    mt /= static_cast<double>(n - a);
    for (std::size_t k = a; k < n; ++k) stt += (t[k] - mt) * (t[k] - mt);
    for (std::size_t k = a; k < n; ++k) {
        const double e = v[k] - (whole.level + whole.slope * (t[k] - t_end));
        ss += e * e;
    }
    const double reading = std::sqrt(ss / static_cast<double>(n - a - 2));  // one reading's noise
    const double slope_se = stt > 0.0 ? reading / std::sqrt(stt) : 0.0;
    const double drift = std::max(0.0, std::fabs(whole.slope) - 2.0 * slope_se) * tail;
    // the point is the rest's last reading (its own noise, beside the level's and the relaxation left)
    // or the line's level at the end
    const double own = level ? 0.0 : reading;
    return std::sqrt(own * own + whole.level_se * whole.level_se + drift * drift);
}

}  // namespace ecm
