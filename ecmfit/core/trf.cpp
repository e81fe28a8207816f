#include "ecmfit/core/trf.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <utility>

#include "common/errors.hpp"

namespace ecm {
namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using Eigen::VectorXi;

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kNoStatus = -1;

// ---------------------------------------------------------------- bounds

// Which bounds x sits on, within the relative tolerance rtol (0: exactly on
// or beyond). When both are within reach the nearer one wins.
VectorXi active_bounds(const VectorXd& x, const VectorXd& lb, const VectorXd& ub, double rtol) {
    const Eigen::Index n = x.size();
    VectorXi active = VectorXi::Zero(n);
    for (Eigen::Index j = 0; j < n; ++j) {
        if (rtol == 0.0) {
            if (x[j] <= lb[j]) active[j] = -1;
            if (x[j] >= ub[j]) active[j] = 1;
            continue;
        }
        const double dl = x[j] - lb[j];
        const double du = ub[j] - x[j];
        const double tl = rtol * std::max(1.0, std::abs(lb[j]));
        const double tu = rtol * std::max(1.0, std::abs(ub[j]));
        if (std::isfinite(lb[j]) && dl <= std::min(tl, du)) active[j] = -1;
        if (std::isfinite(ub[j]) && du <= std::min(tu, dl)) active[j] = 1;
    }
    return active;
}

// Moves components on (or within rstep of) a bound strictly inside. With
// rstep == 0 the move is to the next representable number.
VectorXd strictly_feasible(const VectorXd& x, const VectorXd& lb, const VectorXd& ub, double rstep) {
    VectorXd out = x;
    const VectorXi active = active_bounds(x, lb, ub, rstep);
    for (Eigen::Index j = 0; j < x.size(); ++j) {
        if (active[j] == -1) {
            out[j] = rstep == 0.0 ? std::nextafter(lb[j], ub[j])
                                  : lb[j] + rstep * std::max(1.0, std::abs(lb[j]));
        } else if (active[j] == 1) {
            out[j] = rstep == 0.0 ? std::nextafter(ub[j], lb[j])
                                  : ub[j] - rstep * std::max(1.0, std::abs(ub[j]));
        }
        if (out[j] < lb[j] || out[j] > ub[j]) out[j] = 0.5 * (lb[j] + ub[j]);
    }
    return out;
}

bool inside(const VectorXd& x, const VectorXd& lb, const VectorXd& ub) {
    for (Eigen::Index j = 0; j < x.size(); ++j)
        if (!(x[j] >= lb[j] && x[j] <= ub[j])) return false;
    return true;
}

// Coleman-Li scaling: the distance to the bound the negative gradient points
// at (1 where that bound is infinite), and the sign of its derivative.
void coleman_li(const VectorXd& x, const VectorXd& g, const VectorXd& lb, const VectorXd& ub,
                VectorXd& v, VectorXd& dv) {
    const Eigen::Index n = x.size();
    v.setOnes(n);
    dv.setZero(n);
    for (Eigen::Index j = 0; j < n; ++j) {
        if (g[j] < 0.0 && std::isfinite(ub[j])) {
            v[j] = ub[j] - x[j];
            dv[j] = -1.0;
        }
        if (g[j] > 0.0 && std::isfinite(lb[j])) {
            v[j] = x[j] - lb[j];
            dv[j] = 1.0;
        }
    }
}

// Largest t >= 0 with x + t*s within the bounds, and which components stop
// there (+-1 by the sign of s, 0 elsewhere).
double step_to_bound(const VectorXd& x, const VectorXd& s, const VectorXd& lb, const VectorXd& ub,
                     VectorXi* hits) {
    const Eigen::Index n = x.size();
    VectorXd steps = VectorXd::Constant(n, kInf);
    for (Eigen::Index j = 0; j < n; ++j) {
        if (s[j] != 0.0) steps[j] = std::max((lb[j] - x[j]) / s[j], (ub[j] - x[j]) / s[j]);
    }
    const double smin = n > 0 ? steps.minCoeff() : kInf;
    if (hits != nullptr) {
        hits->setZero(n);
        for (Eigen::Index j = 0; j < n; ++j)
            if (steps[j] == smin) (*hits)[j] = (s[j] > 0.0) - (s[j] < 0.0);
    }
    return smin;
}

// Parameters t1 <= t2 at which x + t*s crosses the sphere of radius delta
// (x inside the sphere).
std::pair<double, double> cross_sphere(const VectorXd& x, const VectorXd& s, double delta) {
    const double a = s.squaredNorm();
    if (a == 0.0) return {-kInf, kInf};
    const double b = x.dot(s);
    const double c = std::min(0.0, x.squaredNorm() - delta * delta);
    const double d = std::sqrt(std::max(0.0, b * b - a * c));
    const double q = -(b + std::copysign(d, b));
    if (q == 0.0) return {0.0, 0.0};
    const double t1 = q / a, t2 = c / q;
    return t1 < t2 ? std::make_pair(t1, t2) : std::make_pair(t2, t1);
}

// ------------------------------------------------------ quadratic model
// The model of the cost change along a step s (in the scaled variables) is
// 0.5 * (|J_h s|^2 + s' diag(dh) s) + gh's. |J_h s|^2 is evaluated through the
// small Gram matrix G = J_h' J_h, formed once per iteration, so that trying
// steps costs O(n^2) and not O(m n).

double model_value(const MatrixXd& G, const VectorXd& gh, const VectorXd& dh, const VectorXd& s) {
    const double q = s.dot(G * s) + (s.array() * dh.array() * s.array()).sum();
    return 0.5 * q + s.dot(gh);
}

// Coefficients of the model along s0 + t*s: a t^2 + b t + c.
void model_along(const MatrixXd& G, const VectorXd& gh, const VectorXd& dh, const VectorXd& s,
                 const VectorXd* s0, double& a, double& b, double& c) {
    const VectorXd gs = G * s;
    a = 0.5 * (s.dot(gs) + (s.array() * dh.array() * s.array()).sum());
    b = gh.dot(s);
    c = 0.0;
    if (s0 != nullptr) {
        b += s0->dot(gs) + (s0->array() * dh.array() * s.array()).sum();
        c = 0.5 * s0->dot(G * (*s0)) + gh.dot(*s0) + 0.5 * (s0->array() * dh.array() * s0->array()).sum();
    }
}

// Minimum of a t^2 + b t + c over [lo, hi]: returns (t, value).
std::pair<double, double> min_quadratic(double a, double b, double c, double lo, double hi) {
    double ts[3] = {lo, hi, 0.0};
    int nt = 2;
    if (a != 0.0) {
        const double ext = -0.5 * b / a;
        if (lo < ext && ext < hi) ts[nt++] = ext;
    }
    double best_t = ts[0], best_y = ts[0] * (a * ts[0] + b) + c;
    for (int k = 1; k < nt; ++k) {
        const double y = ts[k] * (a * ts[k] + b) + c;
        if (y < best_y || std::isnan(best_y)) {
            best_t = ts[k];
            best_y = y;
        }
    }
    return {best_t, best_y};
}

// ----------------------------------------------- trust-region subproblem
// min |J p + f| subject to |p| <= delta, with J = U diag(s) V' given by its
// SVD and uf = U' f. Levenberg-Marquardt parameter found by More's
// safeguarded Newton iteration on |p(alpha)| - delta (relative tolerance 1%,
// at most 10 iterations), starting from the previous alpha.
VectorXd solve_subproblem(Eigen::Index n, Eigen::Index m, const VectorXd& uf, const VectorXd& s,
                          const MatrixXd& V, double delta, double& alpha) {
    const VectorXd suf = s.cwiseProduct(uf);
    const Eigen::Index k = s.size();
    bool full_rank = false;
    if (m >= n && k == n && k > 0) full_rank = s[k - 1] > kEps * static_cast<double>(m) * s[0];

    if (full_rank) {
        VectorXd p = -V * uf.cwiseQuotient(s);
        if (p.norm() <= delta) {
            alpha = 0.0;
            return p;
        }
    }

    auto phi = [&](double al, double& dphi) {
        const Eigen::ArrayXd denom = s.array().square() + al;
        const double pn = (suf.array() / denom).matrix().norm();
        dphi = -(suf.array().square() / denom.cube()).sum() / pn;
        return pn - delta;
    };

    double upper = suf.norm() / delta;
    double lower = 0.0;
    if (full_rank) {
        double d0 = 0.0;
        const double f0 = phi(0.0, d0);
        lower = -f0 / d0;
    }
    double al = alpha;
    if (!full_rank && al == 0.0) al = std::max(0.001 * upper, std::sqrt(lower * upper));
    for (int it = 0; it < 10; ++it) {
        if (al < lower || al > upper) al = std::max(0.001 * upper, std::sqrt(lower * upper));
        double dphi = 0.0;
        const double f = phi(al, dphi);
        if (f < 0.0) upper = al;
        const double ratio = f / dphi;
        lower = std::max(lower, al - ratio);
        al -= (f + delta) * ratio / delta;
        if (std::abs(f) < 0.01 * delta) break;
    }
    alpha = al;
    VectorXd p = -V * suf.cwiseQuotient((s.array().square() + al).matrix());
    const double pn = p.norm();
    if (pn > 0.0 && std::isfinite(pn)) p *= delta / pn;
    if (!p.allFinite()) p.setZero();
    return p;
}

// ------------------------------------------------------- step selection
// Chooses among the trust-region step truncated to stay strictly inside, its
// reflection at the first bound it meets, and the scaled steepest-descent
// step, the one with the lowest model value. Returns the predicted cost
// reduction; step / step_h are in original / scaled variables.
struct Step {
    VectorXd step, step_h;
    double predicted = 0.0;
};

Step choose_step(const VectorXd& x, const MatrixXd& G, const VectorXd& dh, const VectorXd& gh,
                 VectorXd p, VectorXd p_h, const VectorXd& d, double delta, const VectorXd& lb,
                 const VectorXd& ub, double theta) {
    if (inside(x + p, lb, ub)) {
        const double pv = model_value(G, gh, dh, p_h);
        return {p, p_h, -pv};
    }
    VectorXi hits;
    const double p_stride = step_to_bound(x, p, lb, ub, &hits);

    VectorXd r_h = p_h;
    for (Eigen::Index j = 0; j < r_h.size(); ++j)
        if (hits[j] != 0) r_h[j] = -r_h[j];
    VectorXd r = d.cwiseProduct(r_h);

    p *= p_stride;
    p_h *= p_stride;
    const VectorXd x_on_bound = x + p;

    const double to_tr = cross_sphere(p_h, r_h, delta).second;
    const double to_bound = step_to_bound(x_on_bound, r, lb, ub, nullptr);

    // Bracket for the step along the reflected direction that keeps the new
    // point strictly feasible.
    double r_lo = 0.0, r_hi = -1.0;
    const double r_stride = std::min(to_bound, to_tr);
    if (r_stride > 0.0) {
        r_lo = (1.0 - theta) * p_stride / r_stride;
        r_hi = r_stride == to_bound ? theta * to_bound : to_tr;
    }
    double r_value = kInf;
    if (r_lo <= r_hi) {
        double a, b, c;
        model_along(G, gh, dh, r_h, &p_h, a, b, c);
        const auto [t, val] = min_quadratic(a, b, c, r_lo, r_hi);
        r_h = p_h + t * r_h;
        r = d.cwiseProduct(r_h);
        r_value = val;
    }

    p *= theta;
    p_h *= theta;
    const double p_value = model_value(G, gh, dh, p_h);

    VectorXd ag_h = -gh;
    VectorXd ag = d.cwiseProduct(ag_h);
    const double ag_to_tr = delta / ag_h.norm();
    const double ag_to_bound = step_to_bound(x, ag, lb, ub, nullptr);
    const double ag_max = ag_to_bound < ag_to_tr ? theta * ag_to_bound : ag_to_tr;
    double a, b, c;
    model_along(G, gh, dh, ag_h, nullptr, a, b, c);
    const auto [ag_t, ag_value] = min_quadratic(a, b, 0.0, 0.0, ag_max);
    ag_h *= ag_t;
    ag *= ag_t;

    if (p_value < r_value && p_value < ag_value) return {p, p_h, -p_value};
    if (r_value < p_value && r_value < ag_value) return {r, r_h, -r_value};
    return {ag, ag_h, -ag_value};
}

// ------------------------------------------------------------------ loss

struct LossEval {
    Loss loss;
    double fs;
    // Cost of residuals f.
    double cost(const VectorXd& f) const {
        if (loss == Loss::Linear) return 0.5 * f.squaredNorm();
        double sum = 0.0;
        for (Eigen::Index k = 0; k < f.size(); ++k) {
            const double z = (f[k] / fs) * (f[k] / fs);
            sum += z <= 1.0 ? z : 2.0 * std::sqrt(z) - 1.0;
        }
        return 0.5 * fs * fs * sum;
    }
    // Rescales residuals and Jacobian rows so that the Gauss-Newton model of
    // the rescaled problem matches the robust cost to second order.
    void rescale(VectorXd& f, MatrixXd& J) const {
        if (loss == Loss::Linear) return;
        const double fs2 = fs * fs;
        for (Eigen::Index k = 0; k < f.size(); ++k) {
            const double z = (f[k] / fs) * (f[k] / fs);
            if (z <= 1.0) continue;  // quadratic part: weights are 1
            const double rho1 = 1.0 / std::sqrt(z);
            const double rho2 = -0.5 * std::pow(z, -1.5) / fs2;
            double w = rho1 + 2.0 * rho2 * f[k] * f[k];
            if (w < kEps) w = kEps;
            w = std::sqrt(w);
            f[k] *= rho1 / w;
            J.row(k) *= w;
        }
    }
};

// --------------------------------------------------------------- report

std::string centre(const std::string& s, std::size_t width = 15) {
    if (s.size() >= width) return s;
    const std::size_t left = (width - s.size()) / 2;
    return std::string(left, ' ') + s + std::string(width - s.size() - left, ' ');
}

std::string fmt_e(double v, int prec) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", prec, v);
    return buf;
}

void emit(const LsqOptions& o, const std::string& line) {
    if (o.print) o.print(line);
}

void check_shapes(const VectorXd& f, const MatrixXd* J, Eigen::Index m, Eigen::Index n) {
    if (f.size() != m)
        throw std::invalid_argument("residual function returned " + std::to_string(f.size()) +
                                    " values where " + std::to_string(m) + " were expected");
    if (J != nullptr && (J->rows() != m || J->cols() != n))
        throw std::invalid_argument("Jacobian has shape (" + std::to_string(J->rows()) + ", " +
                                    std::to_string(J->cols()) + ") where (" + std::to_string(m) +
                                    ", " + std::to_string(n) + ") was expected");
}

// A Jacobian with NaN or inf would poison the SVD; no step can be computed
// from it. With finite residuals, any such entry shows in g = J' f (0 * inf
// is NaN), so the n-vector g is checked instead of the m x n matrix.
void check_gradient_finite(const VectorXd& g, const VectorXd& x) {
    if (!g.allFinite()) throw DataError("Jacobian is not finite at " + format_vector(x));
}

int termination(double dF, double F, double dx_norm, double x_norm, double ratio, double ftol,
                double xtol) {
    const bool ftol_ok = dF < ftol * F && ratio > 0.25;
    const bool xtol_ok = dx_norm < xtol * (xtol + x_norm);
    if (ftol_ok && xtol_ok) return 4;
    if (ftol_ok) return 2;
    if (xtol_ok) return 3;
    return kNoStatus;
}

}  // namespace

Loss parse_loss(const std::string& name) {
    if (name == "linear") return Loss::Linear;
    if (name == "huber") return Loss::Huber;
    throw std::invalid_argument("loss \"" + name + "\" is not supported; expected \"linear\" or \"huber\"");
}

const char* lsq_status_message(int status) {
    switch (status) {
        case 0: return "The maximum number of function evaluations is exceeded.";
        case 1: return "`gtol` termination condition is satisfied.";
        case 2: return "`ftol` termination condition is satisfied.";
        case 3: return "`xtol` termination condition is satisfied.";
        case 4: return "Both `ftol` and `xtol` termination conditions are satisfied.";
        default: return "Improper input parameters.";
    }
}

std::string format_vector(const Eigen::VectorXd& x) {
    std::string out = "[";
    for (Eigen::Index j = 0; j < x.size(); ++j) {
        if (j > 0) out += ", ";
        char buf[64];
        const auto res = std::to_chars(buf, buf + sizeof buf, x[j]);
        std::string s(buf, res.ptr);
        if (s.find_first_of(".eEn") == std::string::npos) s += ".0";  // integral values read as floats
        out += s;
    }
    return out + "]";
}

LsqResult least_squares_trf(const LsqProblem& problem, const Eigen::VectorXd& x0_in,
                            const Eigen::VectorXd& lb, const Eigen::VectorXd& ub,
                            const LsqOptions& opt) {
    const Eigen::Index n = x0_in.size();
    if (n == 0) throw std::invalid_argument("the start vector is empty");
    if (lb.size() != n || ub.size() != n)
        throw std::invalid_argument("bounds have " + std::to_string(lb.size()) + " and " +
                                    std::to_string(ub.size()) + " entries for " +
                                    std::to_string(n) + " parameters");
    if (!x0_in.allFinite())
        throw std::invalid_argument("the start vector " + format_vector(x0_in) + " is not finite");
    for (Eigen::Index j = 0; j < n; ++j) {
        if (std::isnan(lb[j]) || std::isnan(ub[j]) || !(lb[j] < ub[j]))
            throw std::invalid_argument("each lower bound must be strictly less than each upper bound");
    }
    if (!inside(x0_in, lb, ub))
        throw std::invalid_argument("the start vector " + format_vector(x0_in) + " lies outside the bounds");
    if (!(opt.f_scale > 0.0) || !std::isfinite(opt.f_scale))
        throw std::invalid_argument("f_scale must be positive and finite");
    if (opt.max_nfev < 0) throw std::invalid_argument("max_nfev must be positive");
    if (!problem.fun || !problem.jac) throw std::invalid_argument("residual or Jacobian function missing");
    for (double tol : {opt.ftol, opt.xtol, opt.gtol})
        if (!(tol >= 0.0)) throw std::invalid_argument("tolerances must not be negative");

    const bool bounded = !(lb.array().isInf().all() && ub.array().isInf().all());
    const int max_nfev = opt.max_nfev > 0 ? opt.max_nfev : static_cast<int>(100 * n);
    const LossEval loss{opt.loss, opt.f_scale};

    VectorXd x = strictly_feasible(x0_in, lb, ub, 1e-10);
    VectorXd f;
    problem.fun(x, f);
    const Eigen::Index m = f.size();
    if (m == 0) throw std::invalid_argument("the residual function returned no values");
    if (!f.allFinite())
        throw DataError("residuals are not finite at the start vector " + format_vector(x));
    MatrixXd J;
    problem.jac(x, f, J);
    check_shapes(f, &J, m, n);
    int nfev = 1, njev = 1;

    VectorXd f_true = f;
    double cost = loss.cost(f);
    const double initial_cost = cost;
    loss.rescale(f, J);
    VectorXd g = J.transpose() * f;
    check_gradient_finite(g, x);

    VectorXd v, dv;
    double delta;
    if (bounded) {
        coleman_li(x, g, lb, ub, v, dv);
        delta = x.cwiseQuotient(v.cwiseSqrt()).norm();
    } else {
        v.setOnes(n);
        dv.setZero(n);
        delta = x.norm();
    }
    if (delta == 0.0 || !std::isfinite(delta)) delta = 1.0;

    if (opt.verbose >= 2) {
        emit(opt, centre("Iteration") + centre("Total nfev") + centre("Cost") +
                      centre("Cost reduction") + centre("Step norm") + centre("Optimality") + "\n");
    }

    // work space reused by every iteration
    MatrixXd aug(m, n + 1), G(n, n), small;
    VectorXd small_f;
    Eigen::HouseholderQR<MatrixXd> qr(m, n + 1);
    Eigen::JacobiSVD<MatrixXd> svd;
    VectorXd f_new, x_new, d, dh, gh;
    double alpha = 0.0, g_norm = 0.0, step_norm = 0.0, actual = 0.0;
    bool have_step = false;
    int status = kNoStatus;
    int iteration = 0;

    for (;;) {
        if (bounded) coleman_li(x, g, lb, ub, v, dv);
        g_norm = g.cwiseProduct(v).lpNorm<Eigen::Infinity>();
        if (g_norm < opt.gtol) status = 1;

        if (opt.verbose >= 2) {
            std::string line = centre(std::to_string(iteration)) + centre(std::to_string(nfev)) +
                               centre(fmt_e(cost, 4));
            if (have_step)
                line += centre(fmt_e(actual, 2)) + centre(fmt_e(step_norm, 2));
            else
                line += std::string(30, ' ');
            line += centre(fmt_e(g_norm, 2)) + "\n";
            emit(opt, line);
        }
        if (status != kNoStatus || nfev >= max_nfev) break;

        // Scaled variables: x = x_cur + d .* x_h, with d the square root of
        // the Coleman-Li distances; the bound terms enter the model as the
        // diagonal dh.
        d = v.cwiseSqrt();
        dh = g.cwiseProduct(dv);
        gh = d.cwiseProduct(g);
        // Columns of J_h = J diag(d), followed by f, in one work matrix.
        for (Eigen::Index j = 0; j < n; ++j) aug.col(j) = J.col(j) * d[j];
        aug.col(n) = f;
        for (Eigen::Index a = 0; a < n; ++a)
            for (Eigen::Index b = a; b < n; ++b) G(a, b) = G(b, a) = aug.col(a).dot(aug.col(b));
        // SVD of the augmented matrix [J_h; diag(sqrt(dh))] and U' [f; 0]:
        // a QR factorisation J_h = Q R reduces it to the same problem for the
        // small matrix [R; diag(sqrt(dh))] and the vector [Q' f; 0], which has
        // the same singular values, right vectors and projected residuals.
        // Factorising [J_h f] gives Q' f as the top of the last column of R.
        qr.compute(aug);
        const Eigen::Index kr = std::min(m, n);
        small.setZero(bounded ? kr + n : kr, n);
        small.topRows(kr) = qr.matrixQR().topLeftCorner(kr, n).template triangularView<Eigen::Upper>();
        small_f.setZero(small.rows());
        small_f.head(kr) = qr.matrixQR().col(n).head(kr);
        if (bounded) {
            for (Eigen::Index j = 0; j < n; ++j) small(kr + j, j) = std::sqrt(dh[j]);
        }
        svd.compute(small, Eigen::ComputeThinU | Eigen::ComputeThinV);
        const VectorXd& s = svd.singularValues();
        const MatrixXd& V = svd.matrixV();
        const VectorXd uf = svd.matrixU().transpose() * small_f;

        const double theta = std::max(0.995, 1.0 - g_norm);
        actual = -1.0;
        while (actual <= 0.0 && nfev < max_nfev) {
            const VectorXd p_h = solve_subproblem(n, m, uf, s, V, delta, alpha);
            Step st;
            if (bounded) {
                st = choose_step(x, G, dh, gh, d.cwiseProduct(p_h), p_h, d, delta, lb, ub, theta);
                x_new = strictly_feasible(x + st.step, lb, ub, 0.0);
            } else {
                st.step_h = p_h;
                st.step = p_h;
                st.predicted = -model_value(G, gh, dh, p_h);
                x_new = x + st.step;
            }
            problem.fun(x_new, f_new);
            ++nfev;
            check_shapes(f_new, nullptr, m, n);
            const double step_h_norm = st.step_h.norm();
            if (!f_new.allFinite()) {
                delta = 0.25 * step_h_norm;
                continue;
            }
            const double cost_new = loss.cost(f_new);
            actual = cost - cost_new;

            double ratio;
            if (st.predicted > 0.0)
                ratio = actual / st.predicted;
            else if (st.predicted == 0.0 && actual == 0.0)
                ratio = 1.0;
            else
                ratio = 0.0;
            double delta_new = delta;
            if (ratio < 0.25)
                delta_new = 0.25 * step_h_norm;
            else if (ratio > 0.75 && step_h_norm > 0.95 * delta)
                delta_new = 2.0 * delta;

            step_norm = st.step.norm();
            status = termination(actual, cost, step_norm, x.norm(), ratio, opt.ftol, opt.xtol);
            if (status != kNoStatus) break;
            alpha *= delta / delta_new;
            delta = delta_new;
        }

        if (actual > 0.0) {
            x = x_new;
            f = f_new;
            f_true = f;
            cost = loss.cost(f);
            problem.jac(x, f, J);
            ++njev;
            check_shapes(f, &J, m, n);
            loss.rescale(f, J);
            g.noalias() = J.transpose() * f;
            check_gradient_finite(g, x);
        } else {
            step_norm = 0.0;
            actual = 0.0;
        }
        have_step = true;
        ++iteration;
    }
    if (status == kNoStatus) status = 0;

    LsqResult res;
    res.x = x;
    res.cost = cost;
    res.initial_cost = initial_cost;
    res.fun = f_true;
    res.jac = J;
    res.grad = g;
    res.optimality = g_norm;
    res.active_mask = bounded ? active_bounds(x, lb, ub, opt.xtol) : VectorXi::Zero(n);
    res.nfev = nfev;
    res.njev = njev;
    res.status = status;
    res.message = lsq_status_message(status);
    res.success = status > 0;

    if (opt.verbose >= 1) {
        emit(opt, res.message + "\n");
        emit(opt, "Function evaluations " + std::to_string(nfev) + ", initial cost " +
                      fmt_e(initial_cost, 4) + ", final cost " + fmt_e(cost, 4) +
                      ", first-order optimality " + fmt_e(g_norm, 2) + ".\n");
    }
    return res;
}

}  // namespace ecm
