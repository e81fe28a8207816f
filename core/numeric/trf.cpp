#include "core/numeric/trf.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "core/base/errors.hpp"

namespace ecm {
namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using Eigen::VectorXi;

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kNoStatus = -1;

// Two doubles processed together (one SSE2 / NEON register with GCC and
// Clang): the passes over the m residuals keep two partial sums per
// quantity, one for even and one for odd rows.
#if defined(__GNUC__) || defined(__clang__)
using D2 = double __attribute__((vector_size(16)));
inline D2 d2_make(double a, double b) {
    return D2{a, b};
}
#else
struct D2 {
    double v[2];
    double operator[](int k) const { return v[k]; }
};
inline D2 operator+(D2 a, D2 b) {
    return {{a.v[0] + b.v[0], a.v[1] + b.v[1]}};
}
inline D2 operator-(D2 a, D2 b) {
    return {{a.v[0] - b.v[0], a.v[1] - b.v[1]}};
}
inline D2 operator*(D2 a, D2 b) {
    return {{a.v[0] * b.v[0], a.v[1] * b.v[1]}};
}
inline D2 operator/(D2 a, D2 b) {
    return {{a.v[0] / b.v[0], a.v[1] / b.v[1]}};
}
inline D2& operator+=(D2& a, D2 b) {
    return a = a + b;
}
inline D2 d2_make(double a, double b) {
    return {{a, b}};
}
#endif
inline D2 d2_set(double a) {
    return d2_make(a, a);
}
inline D2 d2_load(const double* p) {
    D2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void d2_store(double* p, D2 v) {
    std::memcpy(p, &v, sizeof v);
}
// Lane-wise maximum of a running maximum a and new values b; a NaN in b
// leaves a as it is (a NaN is not above one for any_above_one either).
inline D2 d2_max(D2 a, D2 b) {
#if defined(__GNUC__) || defined(__clang__)
    return b > a ? b : a;
#else
    return d2_make(b[0] > a[0] ? b[0] : a[0], b[1] > a[1] ? b[1] : a[1]);
#endif
}
inline bool any_above_one(D2 a, D2 b) {
#if defined(__GNUC__) || defined(__clang__)
    const auto m = (a > d2_set(1.0)) | (b > d2_set(1.0));
    return (m[0] | m[1]) != 0;
#else
    return a[0] > 1.0 || a[1] > 1.0 || b[0] > 1.0 || b[1] > 1.0;
#endif
}

// The solver runs on vectors of n parameters. For the window fits (n = 2
// and n = 3) these are fixed-size Eigen types, so that the small linear
// algebra of an iteration neither allocates nor loops over run-time sizes;
// any other n runs on dynamic sizes.
template <int N>
struct Dims {
    using Vec = Eigen::Matrix<double, N, 1>;
    using IVec = Eigen::Matrix<int, N, 1>;
    using Mat = Eigen::Matrix<double, N, N>;
    static constexpr int N2 = N == Eigen::Dynamic ? Eigen::Dynamic : 2 * N;
    // [R; diag(sqrt(dh))] and its right-hand side [Q'f; 0]
    using Small = Eigen::Matrix<double, N2, N>;
    using SmallVec = Eigen::Matrix<double, N2, 1>;
};

template <class Vec>
using IVecOf = Eigen::Matrix<int, Vec::RowsAtCompileTime, 1>;

// ---------------------------------------------------------------- bounds

// Which bounds x sits on, within the relative tolerance rtol (0: exactly on
// or beyond). When both are within reach the nearer one wins.
template <class Vec>
IVecOf<Vec> active_bounds(const Vec& x, const Vec& lb, const Vec& ub, double rtol) {
    const Eigen::Index n = x.size();
    IVecOf<Vec> active = IVecOf<Vec>::Zero(n);
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
template <class Vec>
Vec strictly_feasible(const Vec& x, const Vec& lb, const Vec& ub, double rstep) {
    Vec out = x;
    const IVecOf<Vec> active = active_bounds(x, lb, ub, rstep);
    for (Eigen::Index j = 0; j < x.size(); ++j) {
        if (active[j] == -1) {
            out[j] = rstep == 0.0 ? std::nextafter(lb[j], ub[j]) : lb[j] + rstep * std::max(1.0, std::abs(lb[j]));
        } else if (active[j] == 1) {
            out[j] = rstep == 0.0 ? std::nextafter(ub[j], lb[j]) : ub[j] - rstep * std::max(1.0, std::abs(ub[j]));
        }
        if (out[j] < lb[j] || out[j] > ub[j]) out[j] = 0.5 * (lb[j] + ub[j]);
    }
    return out;
}

template <class Vec>
bool inside(const Vec& x, const Vec& lb, const Vec& ub) {
    for (Eigen::Index j = 0; j < x.size(); ++j)
        if (!(x[j] >= lb[j] && x[j] <= ub[j])) return false;
    return true;
}

// Coleman-Li scaling: the distance to the bound the negative gradient points
// at (1 where that bound is infinite), and the sign of its derivative.
template <class Vec>
void coleman_li(const Vec& x, const Vec& g, const Vec& lb, const Vec& ub, Vec& v, Vec& dv) {
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
template <class Vec>
double step_to_bound(const Vec& x, const Vec& s, const Vec& lb, const Vec& ub, IVecOf<Vec>* hits) {
    const Eigen::Index n = x.size();
    Vec steps = Vec::Constant(n, kInf);
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
template <class Vec>
std::pair<double, double> cross_sphere(const Vec& x, const Vec& s, double delta) {
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

template <class Mat, class Vec>
double model_value(const Mat& G, const Vec& gh, const Vec& dh, const Vec& s) {
    const double q = s.dot(G * s) + (s.array() * dh.array() * s.array()).sum();
    return 0.5 * q + s.dot(gh);
}

// Coefficients of the model along s0 + t*s: a t^2 + b t + c.
template <class Mat, class Vec>
void model_along(const Mat& G, const Vec& gh, const Vec& dh, const Vec& s, const Vec* s0, double& a, double& b,
                 double& c) {
    const Vec gs = G * s;
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
template <class Vec, class Mat>
Vec solve_subproblem(Eigen::Index n, Eigen::Index m, const Vec& uf, const Vec& s, const Mat& V, double delta,
                     double& alpha) {
    const Vec suf = s.cwiseProduct(uf);
    const Eigen::Index k = s.size();
    bool full_rank = false;
    if (m >= n && k == n && k > 0) full_rank = s[k - 1] > kEps * static_cast<double>(m) * s[0];

    if (full_rank) {
        Vec p = -V * uf.cwiseQuotient(s);
        if (p.norm() <= delta) {
            alpha = 0.0;
            return p;
        }
    }

    using Arr = Eigen::Array<double, Vec::RowsAtCompileTime, 1>;
    auto phi = [&](double al, double& dphi) {
        const Arr denom = s.array().square() + al;
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
    Vec p = -V * suf.cwiseQuotient((s.array().square() + al).matrix());
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
template <class Vec>
struct Step {
    Vec step, step_h;
    double predicted = 0.0;
};

template <class Vec, class Mat>
Step<Vec> choose_step(const Vec& x, const Mat& G, const Vec& dh, const Vec& gh, Vec p, Vec p_h, const Vec& d,
                      double delta, const Vec& lb, const Vec& ub, double theta) {
    if (inside(Vec(x + p), lb, ub)) {
        const double pv = model_value(G, gh, dh, p_h);
        return {p, p_h, -pv};
    }
    IVecOf<Vec> hits;
    const double p_stride = step_to_bound(x, p, lb, ub, &hits);

    Vec r_h = p_h;
    for (Eigen::Index j = 0; j < r_h.size(); ++j)
        if (hits[j] != 0) r_h[j] = -r_h[j];
    Vec r = d.cwiseProduct(r_h);

    p *= p_stride;
    p_h *= p_stride;
    const Vec x_on_bound = x + p;

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

    Vec ag_h = -gh;
    Vec ag = d.cwiseProduct(ag_h);
    const double ag_to_tr = delta / ag_h.norm();
    const double ag_to_bound = step_to_bound(x, ag, lb, ub, nullptr);
    const double ag_max = ag_to_bound < ag_to_tr ? theta * ag_to_bound : ag_to_tr;
    double a, b, c;
    model_along(G, gh, dh, ag_h, static_cast<const Vec*>(nullptr), a, b, c);
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
    // 1/fs when multiplying by it is exact (fs a power of two), else 0.
    double exact_inv;

    LossEval(Loss l, double f_scale) : loss(l), fs(f_scale), exact_inv(0.0) {
        int e = 0;
        if (std::frexp(fs, &e) == 0.5) {
            const double inv = 1.0 / fs;
            if (std::isnormal(inv) && inv * fs == 1.0) exact_inv = inv;
        }
    }

    // Cost of residuals f (non-finite when some residual is not finite).
    // *outliers tells whether some residual lies beyond f_scale (only those
    // are rescaled).
    double cost(const VectorXd& f, bool* outliers) const {
        *outliers = loss != Loss::Linear;
        if (loss == Loss::Linear) return 0.5 * f.squaredNorm();
        bool beyond = false;
        const Eigen::Index m = f.size();
        const double* p = f.data();
        // rho(z) = z for z <= 1, 2 sqrt(z) - 1 beyond, z = (f/fs)^2.
        auto rho = [](double z) { return z <= 1.0 ? z : 2.0 * std::sqrt(z) - 1.0; };
        const bool mul = exact_inv != 0.0;
        const D2 scale = d2_set(mul ? exact_inv : fs);
        D2 s0 = d2_set(0.0), s1 = d2_set(0.0);
        Eigen::Index k = 0;
        // Four residuals at a time. Blocks of kCostBlock of them are first
        // summed as if all were within f_scale, with the test collected over
        // the block; a block that holds a residual beyond f_scale is summed
        // again from its start, one group of four at a time with the loss
        // applied (the same sums in the same order).
        auto group = [&](Eigen::Index j, D2& z0, D2& z1) {
            const D2 a0 = mul ? d2_load(p + j) * scale : d2_load(p + j) / scale;
            const D2 a1 = mul ? d2_load(p + j + 2) * scale : d2_load(p + j + 2) / scale;
            z0 = a0 * a0;
            z1 = a1 * a1;
        };
        // One group of four with the loss applied, added to the sums.
        auto add_group = [&](Eigen::Index j) {
            D2 z0, z1;
            group(j, z0, z1);
            if (any_above_one(z0, z1)) {
                beyond = true;
                z0 = d2_make(rho(z0[0]), rho(z0[1]));
                z1 = d2_make(rho(z1[0]), rho(z1[1]));
            }
            s0 += z0;
            s1 += z1;
        };
        constexpr Eigen::Index kCostBlock = 32;
        for (; k + kCostBlock <= m; k += kCostBlock) {
            D2 t0 = s0, t1 = s1;
            D2 hi = d2_set(0.0);
            for (Eigen::Index j = k; j < k + kCostBlock; j += 4) {
                D2 z0, z1;
                group(j, z0, z1);
                hi = d2_max(d2_max(hi, z0), z1);
                t0 += z0;
                t1 += z1;
            }
            if (!any_above_one(hi, hi)) {
                s0 = t0;
                s1 = t1;
                continue;
            }
            for (Eigen::Index j = k; j < k + kCostBlock; j += 4) add_group(j);
        }
        for (; k + 4 <= m; k += 4) add_group(k);
        double rest = 0.0;
        for (; k < m; ++k) {
            const double a = mul ? p[k] * exact_inv : p[k] / fs;
            if (a * a > 1.0) beyond = true;
            rest += rho(a * a);
        }
        // A residual that is not finite counts as beyond.
        *outliers = beyond || !std::isfinite(s0[0] + s0[1] + s1[0] + s1[1]);
        return 0.5 * fs * fs * (((s0[0] + s0[1]) + (s1[0] + s1[1])) + rest);
    }

    // The residuals f_true rescaled, and the rows of J with them, so that the
    // Gauss-Newton model of the rescaled problem matches the robust cost to
    // second order. Residuals within f_scale keep the weight 1; when there
    // are no others (outliers as cost() found it) f_true itself is returned,
    // else f holds the rescaled residuals.
    const VectorXd& rescale(const VectorXd& f_true, bool outliers, VectorXd& f, MatrixXd& J) const {
        if (loss == Loss::Linear || !outliers) return f_true;
        f = f_true;
        const double fs2 = fs * fs;
        const Eigen::Index m = f.size();
        double* p = f.data();
        for (Eigen::Index k = 0; k < m; ++k) {
            if (std::abs(p[k]) <= fs) continue;  // then (f/fs)^2 <= 1 as well
            const double z = (p[k] / fs) * (p[k] / fs);
            if (z <= 1.0) continue;  // quadratic part: weights are 1
            const double rho1 = 1.0 / std::sqrt(z);
            const double rho2 = -0.5 * std::pow(z, -1.5) / fs2;
            double w = rho1 + 2.0 * rho2 * p[k] * p[k];
            if (w < kEps) w = kEps;
            w = std::sqrt(w);
            p[k] *= rho1 / w;
            J.row(k) *= w;
        }
        return f;
    }
};

// ------------------------------------------ Jacobian products and its QR
// Per accepted point the iteration needs J'J and g = J'f of the rescaled
// Jacobian and residuals, and for the trust-region subproblem the triangular
// factor R of J = QR with the first n entries of Q'f. Scaling the columns of
// J (the variables of the iteration) scales the columns of R and leaves Q
// alone, so J is factorised as it is and R is scaled afterwards.
//
// For n = 2 and 3 this is done in n passes over the m rows: one forms all
// products of the columns of [J f] (the first Householder reflection needs
// only those), each further one applies a reflection and forms the products
// the next one needs. Elsewhere Eigen's Householder QR of [J f] is used.

template <int N>
struct Products {
    using Vec = typename Dims<N>::Vec;
    using Mat = typename Dims<N>::Mat;
    Mat JJ;  // J'J
    Vec g;   // J'f
};

template <int N>
struct Triangle {
    using Vec = typename Dims<N>::Vec;
    using Mat = typename Dims<N>::Mat;
    Mat R;   // upper triangular (rows beyond min(m, n) are zero)
    Vec qf;  // first n entries of Q'f (zero beyond min(m, n))
};

// The fused passes, for a fixed number N of columns of J.
template <int N>
class FusedQR {
public:
    static constexpr int NC = N + 1;  // columns of [J f]
    using Vec = typename Dims<N>::Vec;
    using Mat = typename Dims<N>::Mat;

    // Products of the columns of [J f]; keeps what the factorisation needs.
    void products(const MatrixXd& J, const VectorXd& f, Products<N>& out) {
        m_ = J.rows();
        for (int c = 0; c < N; ++c) col_[c] = J.col(c).data();
        col_[N] = f.data();
        // Sums over rows 1 .. m-1, two rows at a time with separate sums.
        D2 acc[NC][NC];
        for (int a = 0; a < NC; ++a)
            for (int b = 0; b < NC; ++b) acc[a][b] = d2_set(0.0);
        Eigen::Index k = 1;
        for (; k + 2 <= m_; k += 2) {
            D2 x[NC];
            for (int c = 0; c < NC; ++c) x[c] = d2_load(col_[c] + k);
            for (int a = 0; a < NC; ++a)
                for (int b = a; b < NC; ++b) acc[a][b] += x[a] * x[b];
        }
        double rest[NC][NC] = {};
        for (; k < m_; ++k) {
            for (int a = 0; a < NC; ++a)
                for (int b = a; b < NC; ++b) rest[a][b] += col_[a][k] * col_[b][k];
        }
        for (int a = 0; a < NC; ++a) {
            for (int b = a; b < NC; ++b) {
                tail_[a][b] = (acc[a][b][0] + acc[a][b][1]) + rest[a][b];
                full_[a][b] = col_[a][0] * col_[b][0] + tail_[a][b];
            }
        }
        for (int a = 0; a < N; ++a) {
            for (int b = a; b < N; ++b) out.JJ(a, b) = out.JJ(b, a) = full_[a][b];
            out.g[a] = full_[a][N];
        }
    }

    // R and Q'f of [J f] given to products(), which must still be unchanged.
    void factor(Triangle<N>& out) {
        if (work_.rows() != m_) work_.resize(m_, N);
        out.R.setZero();
        // Current columns (transformed by the reflections so far), the values
        // in the pivot row and the sums over the rows below it of the pivot
        // column times each column.
        const double* cur[NC];
        double prow[NC], tails[NC];
        for (int c = 0; c < NC; ++c) {
            cur[c] = col_[c];
            prow[c] = col_[c][0];
            tails[c] = tail_[0][c];
        }
        for (int j = 0; j < N; ++j) {
            // Householder reflection of the pivot column x = cur[j] (rows >= j):
            // H x = beta e_j with v = x - beta e_j.
            const double xj = prow[j], tail2 = tails[j];
            double beta = xj, vj = 0.0, coef[NC] = {};
            if (tail2 > std::numeric_limits<double>::min()) {
                const double nrm = std::sqrt(xj * xj + tail2);
                beta = xj >= 0.0 ? -nrm : nrm;
                vj = xj - beta;
                const double vtv = tail2 + vj * vj;
                for (int c = j + 1; c < NC; ++c) coef[c] = 2.0 * (tails[c] + vj * prow[c]) / vtv;
            }
            out.R(j, j) = beta;
            for (int c = j + 1; c < NC; ++c) {
                const double rjc = prow[c] - coef[c] * vj;
                if (c < N)
                    out.R(j, c) = rjc;
                else
                    out.qf[j] = rjc;
            }
            if (j + 1 == N) break;
            const bool write = j + 2 < N;  // a further pass reads the columns
            double* dst[NC] = {};
            if (write)
                for (int c = j + 1; c < N + 1; ++c) dst[c] = c < N ? work_.col(c).data() : nullptr;
            apply(j, cur, coef, write, dst, prow, tails);
        }
    }

private:
    // Columns c > j minus coef[c] times the pivot column on rows > j; the
    // values of row j+1 go to prow, the sums over rows > j+1 of the new
    // pivot column (j+1) times each new column to tails; the new columns are
    // written to dst when asked (the residual column to fres_).
    void apply(int j, const double** cur, const double* coef, bool write, double** dst, double* prow, double* tails) {
        const double* x = cur[j];
        const int c0 = j + 1;
        if (write && fres_.size() != m_) fres_.resize(m_);
        if (write) dst[N] = fres_.data();
        Eigen::Index k = c0;
        for (int c = c0; c < NC; ++c) {
            const double nv = cur[c][k] - coef[c] * x[k];
            prow[c] = nv;
            if (write) dst[c][k] = nv;
        }
        D2 acc[NC];
        for (int c = 0; c < NC; ++c) acc[c] = d2_set(0.0);
        D2 cf[NC];
        for (int c = 0; c < NC; ++c) cf[c] = d2_set(coef[c]);
        for (k = c0 + 1; k + 2 <= m_; k += 2) {
            const D2 xk = d2_load(x + k);
            D2 a[NC];
            for (int c = c0; c < NC; ++c) a[c] = d2_load(cur[c] + k) - cf[c] * xk;
            if (write)
                for (int c = c0; c < NC; ++c) d2_store(dst[c] + k, a[c]);
            for (int c = c0; c < NC; ++c) acc[c] += a[c0] * a[c];
        }
        double rest[NC] = {};
        for (; k < m_; ++k) {
            double a0[NC];
            for (int c = c0; c < NC; ++c) a0[c] = cur[c][k] - coef[c] * x[k];
            if (write)
                for (int c = c0; c < NC; ++c) dst[c][k] = a0[c];
            for (int c = c0; c < NC; ++c) rest[c] += a0[c0] * a0[c];
        }
        for (int c = c0; c < NC; ++c) {
            tails[c] = (acc[c][0] + acc[c][1]) + rest[c];
            if (write) cur[c] = dst[c];
        }
    }

    Eigen::Index m_ = 0;
    const double* col_[NC] = {};
    double full_[NC][NC] = {}, tail_[NC][NC] = {};
    MatrixXd work_;
    VectorXd fres_;
};

// Eigen's dense routines, for any n and for m <= n.
template <int N>
class DenseQR {
public:
    using Vec = typename Dims<N>::Vec;
    using Mat = typename Dims<N>::Mat;

    void products(const MatrixXd& J, const VectorXd& f, Products<N>& out) {
        J_ = &J;
        f_ = &f;
        out.JJ = J.transpose() * J;
        out.g = J.transpose() * f;
    }

    void factor(Triangle<N>& out) {
        const MatrixXd& J = *J_;
        const Eigen::Index m = J.rows(), n = J.cols();
        aug_.resize(m, n + 1);
        aug_.leftCols(n) = J;
        aug_.col(n) = *f_;
        qr_.compute(aug_);
        const Eigen::Index kr = std::min(m, n);
        out.R.setZero(n, n);
        out.R.topRows(kr) = qr_.matrixQR().topLeftCorner(kr, n).template triangularView<Eigen::Upper>();
        out.qf.setZero(n);
        out.qf.head(kr) = qr_.matrixQR().col(n).head(kr);
    }

private:
    const MatrixXd* J_ = nullptr;
    const VectorXd* f_ = nullptr;
    MatrixXd aug_;
    Eigen::HouseholderQR<MatrixXd> qr_;
};

template <int N>
struct Fused {
    using type = FusedQR<N>;
};
template <>
struct Fused<Eigen::Dynamic> {
    using type = DenseQR<Eigen::Dynamic>;
};

// Singular values s, right vectors V and U' small_f of the small matrix.
template <int N>
void small_svd(const typename Dims<N>::Small& small, const typename Dims<N>::SmallVec& small_f,
               typename Dims<N>::Vec& s, typename Dims<N>::Mat& V, typename Dims<N>::Vec& uf) {
    if constexpr (N == Eigen::Dynamic) {
        Eigen::JacobiSVD<MatrixXd> svd(small, Eigen::ComputeThinU | Eigen::ComputeThinV);
        s = svd.singularValues();
        V = svd.matrixV();
        uf = svd.matrixU().transpose() * small_f;
    } else {
        // Thin factors need dynamic sizes; with fixed sizes U is full and
        // only its first N columns are used.
        Eigen::JacobiSVD<typename Dims<N>::Small> svd(small, Eigen::ComputeFullU | Eigen::ComputeFullV);
        s = svd.singularValues();
        V = svd.matrixV();
        uf = svd.matrixU().template leftCols<N>().transpose() * small_f;
    }
}

// --------------------------------------------------------------- report

std::string centre(const std::string& s, std::size_t width = 15) {
    if (s.size() >= width) return s;
    const std::size_t left = (width - s.size()) / 2;
    return std::string(left, ' ') + s + std::string(width - s.size() - left, ' ');
}

// printf's "%.*e" of v into buf (at least 64 characters); returns the length.
std::size_t format_e(char* buf, double v, int prec) {
    if (std::isnan(v)) {
        std::memcpy(buf, "nan", 3);
        return 3;
    }
    if (std::isinf(v)) {
        std::memcpy(buf, v > 0 ? "inf" : "-inf", v > 0 ? 3 : 4);
        return v > 0 ? 3 : 4;
    }
    const auto res = std::to_chars(buf, buf + 64, v, std::chars_format::scientific, prec);
    return static_cast<std::size_t>(res.ptr - buf);
}

std::string fmt_e(double v, int prec) {
    char buf[64];
    return std::string(buf, format_e(buf, v, prec));
}

// Appends text centred in a field of 15 characters, as centre() does.
void put_centre(std::string& out, const char* text, std::size_t len, std::size_t width = 15) {
    if (len >= width) {
        out.append(text, len);
        return;
    }
    const std::size_t left = (width - len) / 2;
    out.append(left, ' ');
    out.append(text, len);
    out.append(width - len - left, ' ');
}

void put_e(std::string& out, double v, int prec) {
    char buf[64];
    put_centre(out, buf, format_e(buf, v, prec));
}

void put_int(std::string& out, long long v) {
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    put_centre(out, buf, static_cast<std::size_t>(res.ptr - buf));
}

void emit(const LsqOptions& o, const std::string& line) {
    if (o.print) o.print(line);
}

void check_shapes(const VectorXd& f, const MatrixXd* J, Eigen::Index m, Eigen::Index n) {
    if (f.size() != m)
        throw std::invalid_argument("residual function returned " + std::to_string(f.size()) + " values where " +
                                    std::to_string(m) + " were expected");
    if (J != nullptr && (J->rows() != m || J->cols() != n))
        throw std::invalid_argument("Jacobian has shape (" + std::to_string(J->rows()) + ", " +
                                    std::to_string(J->cols()) + ") where (" + std::to_string(m) + ", " +
                                    std::to_string(n) + ") was expected");
}

// A Jacobian with NaN or inf would poison the SVD; no step can be computed
// from it. With finite residuals, any such entry shows in g = J' f (0 * inf
// is NaN), so the n-vector g is checked instead of the m x n matrix.
template <class Vec>
void check_gradient_finite(const Vec& g, const Vec& x) {
    if (!g.allFinite()) throw DataError("Jacobian is not finite at " + format_vector(VectorXd(x)));
}

int termination(double dF, double F, double dx_norm, double x_norm, double ratio, double ftol, double xtol) {
    const bool ftol_ok = dF < ftol * F && ratio > 0.25;
    const bool xtol_ok = dx_norm < xtol * (xtol + x_norm);
    if (ftol_ok && xtol_ok) return 4;
    if (ftol_ok) return 2;
    if (xtol_ok) return 3;
    return kNoStatus;
}

// One run of the trust-region reflective method: the start, then iterations
// of (report, scaled subproblem, trial steps, accept) until a test stops it.
template <int N>
class TrfRun {
public:
    using Vec = typename Dims<N>::Vec;
    using Mat = typename Dims<N>::Mat;
    using Small = typename Dims<N>::Small;
    using SmallVec = typename Dims<N>::SmallVec;

    TrfRun(const LsqProblem& problem, const VectorXd& x0_in, const VectorXd& lb_in, const VectorXd& ub_in,
           const LsqOptions& opt)
        : problem_(problem),
          opt_(opt),
          n_(x0_in.size()),
          lb_(lb_in),
          ub_(ub_in),
          bounded_(!(lb_.array().isInf().all() && ub_.array().isInf().all())),
          max_nfev_(opt.max_nfev > 0 ? opt.max_nfev : static_cast<int>(100 * n_)),
          loss_(opt.loss, opt.f_scale),
          x_(strictly_feasible(Vec(x0_in), lb_, ub_, 1e-10)) {}

    LsqResult run() {
        start();
        for (;;) {
            if (bounded_) coleman_li(x_, g_, lb_, ub_, v_, dv_);
            g_norm_ = g_.cwiseProduct(v_).template lpNorm<Eigen::Infinity>();
            if (g_norm_ < opt_.gtol) status_ = 1;
            if (opt_.verbose >= 2) report_line();
            if (status_ != kNoStatus || nfev_ >= max_nfev_) break;
            form_subproblem();
            try_steps();
            accept_or_keep();
            have_step_ = true;
            ++iteration_;
        }
        if (status_ == kNoStatus) status_ = 0;
        return result();
    }

private:
    // The residuals, Jacobian and gradient at the start, the first trust radius.
    void start() {
        x_arg_ = x_;
        problem_.fun(x_arg_, f_true_);
        m_ = f_true_.size();
        if (m_ == 0) throw std::invalid_argument("the residual function returned no values");
        if (!f_true_.allFinite())
            throw DataError("residuals are not finite at the start vector " + format_vector(x_arg_));
        problem_.jac(x_arg_, f_true_, J_);
        check_shapes(f_true_, &J_, m_, n_);
        nfev_ = 1;
        njev_ = 1;
        // The fused passes need a row below every pivot.
        fused_ = N != Eigen::Dynamic && m_ > n_;

        cost_ = loss_.cost(f_true_, &outliers_);
        initial_cost_ = cost_;
        prepare();
        g_ = prod_.g;
        check_gradient_finite(g_, x_);

        if (bounded_) {
            coleman_li(x_, g_, lb_, ub_, v_, dv_);
            delta_ = x_.cwiseQuotient(v_.cwiseSqrt()).norm();
        } else {
            v_.setOnes(n_);
            dv_.setZero(n_);
            delta_ = x_.norm();
        }
        if (delta_ == 0.0 || !std::isfinite(delta_)) delta_ = 1.0;

        if (opt_.verbose >= 2) {
            emit(opt_, centre("Iteration") + centre("Total nfev") + centre("Cost") + centre("Cost reduction") +
                           centre("Step norm") + centre("Optimality") + "\n");
        }
    }

    void prepare() {
        const VectorXd& f = loss_.rescale(f_true_, outliers_, f_work_, J_);
        if (fused_)
            fused_qr_.products(J_, f, prod_);
        else
            dense_qr_.products(J_, f, prod_);
    }

    void factor() {
        if (fused_)
            fused_qr_.factor(tri_);
        else
            dense_qr_.factor(tri_);
    }

    // One line of the progress table (the buffer keeps its capacity).
    void report_line() {
        line_.clear();
        put_int(line_, iteration_);
        put_int(line_, nfev_);
        put_e(line_, cost_, 4);
        if (have_step_) {
            put_e(line_, actual_, 2);
            put_e(line_, step_norm_, 2);
        } else {
            line_.append(30, ' ');
        }
        put_e(line_, g_norm_, 2);
        line_ += '\n';
        emit(opt_, line_);
    }

    // Scaled variables: x = x_cur + d .* x_h, with d the square root of the
    // Coleman-Li distances; the bound terms enter the model as the diagonal dh.
    void form_subproblem() {
        d_ = v_.cwiseSqrt();
        dh_ = g_.cwiseProduct(dv_);
        gh_ = d_.cwiseProduct(g_);
        // Gram matrix of J_h = J diag(d).
        G_ = d_.asDiagonal() * prod_.JJ * d_.asDiagonal();
        // SVD of the augmented matrix [J_h; diag(sqrt(dh))] and U' [f; 0]:
        // the QR factorisation J_h = Q (R diag(d)) reduces it to the same
        // problem for the small matrix [R diag(d); diag(sqrt(dh))] and the
        // vector [Q' f; 0], which has the same singular values, right vectors
        // and projected residuals.
        factor();
        small_.setZero(2 * n_, n_);
        small_.topRows(n_) = tri_.R * d_.asDiagonal();
        small_f_.setZero(2 * n_);
        small_f_.head(n_) = tri_.qf;
        if (bounded_) {
            for (Eigen::Index j = 0; j < n_; ++j) small_(n_ + j, j) = std::sqrt(dh_[j]);
        }
        small_svd<N>(small_, small_f_, s_, V_, uf_);
    }

    // Trial steps, the trust radius shrinking, until one lowers the cost, a
    // termination test passes or the evaluations run out.
    void try_steps() {
        const double theta = std::max(0.995, 1.0 - g_norm_);
        actual_ = -1.0;
        cost_new_ = cost_;
        outliers_new_ = outliers_;
        while (actual_ <= 0.0 && nfev_ < max_nfev_) {
            const Vec p_h = solve_subproblem(n_, m_, uf_, s_, V_, delta_, alpha_);
            Step<Vec> st;
            if (bounded_) {
                st = choose_step(x_, G_, dh_, gh_, Vec(d_.cwiseProduct(p_h)), p_h, d_, delta_, lb_, ub_, theta);
                x_new_ = strictly_feasible(Vec(x_ + st.step), lb_, ub_, 0.0);
            } else {
                st.step_h = p_h;
                st.step = p_h;
                st.predicted = -model_value(G_, gh_, dh_, p_h);
                x_new_ = x_ + st.step;
            }
            x_arg_ = x_new_;
            problem_.fun(x_arg_, f_new_);
            ++nfev_;
            check_shapes(f_new_, nullptr, m_, n_);
            const double step_h_norm = st.step_h.norm();
            cost_new_ = loss_.cost(f_new_, &outliers_new_);
            // A residual that is not finite makes the cost so as well.
            if (!std::isfinite(cost_new_) && !f_new_.allFinite()) {
                delta_ = 0.25 * step_h_norm;
                continue;
            }
            actual_ = cost_ - cost_new_;

            double ratio;
            if (st.predicted > 0.0)
                ratio = actual_ / st.predicted;
            else if (st.predicted == 0.0 && actual_ == 0.0)
                ratio = 1.0;
            else
                ratio = 0.0;
            double delta_new = delta_;
            if (ratio < 0.25)
                delta_new = 0.25 * step_h_norm;
            else if (ratio > 0.75 && step_h_norm > 0.95 * delta_)
                delta_new = 2.0 * delta_;

            step_norm_ = st.step.norm();
            status_ = termination(actual_, cost_, step_norm_, x_.norm(), ratio, opt_.ftol, opt_.xtol);
            if (status_ != kNoStatus) break;
            alpha_ *= delta_ / delta_new;
            delta_ = delta_new;
        }
    }

    // Moves to the trial point when it lowered the cost, with a new Jacobian there.
    void accept_or_keep() {
        if (actual_ > 0.0) {
            // x_arg still holds x_new, where f_new was computed.
            x_ = x_new_;
            f_true_.swap(f_new_);
            cost_ = cost_new_;
            outliers_ = outliers_new_;
            problem_.jac(x_arg_, f_true_, J_);
            ++njev_;
            check_shapes(f_true_, &J_, m_, n_);
            prepare();
            g_ = prod_.g;
            check_gradient_finite(g_, x_);
        } else {
            step_norm_ = 0.0;
            actual_ = 0.0;
        }
    }

    LsqResult result() {
        LsqResult res;
        res.x = x_;
        res.cost = cost_;
        res.initial_cost = initial_cost_;
        res.fun = std::move(f_true_);
        res.jac = std::move(J_);
        res.grad = g_;
        res.optimality = g_norm_;
        res.active_mask = bounded_ ? VectorXi(active_bounds(x_, lb_, ub_, opt_.xtol)) : VectorXi::Zero(n_);
        res.nfev = nfev_;
        res.njev = njev_;
        res.status = status_;
        res.message = lsq_status_message(status_);
        res.success = status_ > 0;

        if (opt_.verbose >= 1) {
            emit(opt_, res.message + "\n");
            emit(opt_, "Function evaluations " + std::to_string(nfev_) + ", initial cost " + fmt_e(initial_cost_, 4) +
                           ", final cost " + fmt_e(cost_, 4) + ", first-order optimality " + fmt_e(g_norm_, 2) + ".\n");
        }
        return res;
    }

    const LsqProblem& problem_;
    const LsqOptions& opt_;
    const Eigen::Index n_;
    const Vec lb_, ub_;
    const bool bounded_;
    const int max_nfev_;
    const LossEval loss_;

    Vec x_;
    VectorXd x_arg_;   // the point handed to fun / jac
    VectorXd f_true_;  // residuals at x
    MatrixXd J_;
    Eigen::Index m_ = 0;
    int nfev_ = 0, njev_ = 0;
    bool fused_ = false;
    typename Fused<N>::type fused_qr_;
    DenseQR<N> dense_qr_;
    Products<N> prod_;
    Triangle<N> tri_;
    VectorXd f_work_;  // rescaled residuals, where some need it
    bool outliers_ = true;
    double cost_ = 0.0, initial_cost_ = 0.0;
    Vec g_, v_, dv_;
    double delta_ = 0.0;

    // work space reused by every iteration
    Small small_;
    SmallVec small_f_;
    Mat G_, V_;
    Vec s_, uf_;
    VectorXd f_new_;
    Vec x_new_, d_, dh_, gh_;
    double alpha_ = 0.0, g_norm_ = 0.0, step_norm_ = 0.0, actual_ = 0.0;
    double cost_new_ = 0.0;
    bool outliers_new_ = true;
    bool have_step_ = false;
    std::string line_;
    int status_ = kNoStatus;
    int iteration_ = 0;
};

template <int N>
LsqResult solve(const LsqProblem& problem, const VectorXd& x0_in, const VectorXd& lb_in, const VectorXd& ub_in,
                const LsqOptions& opt) {
    return TrfRun<N>(problem, x0_in, lb_in, ub_in, opt).run();
}

}  // namespace

Loss parse_loss(const std::string& name) {
    if (name == "linear") return Loss::Linear;
    if (name == "huber") return Loss::Huber;
    throw std::invalid_argument("loss \"" + name + "\" is not supported; expected \"linear\" or \"huber\"");
}

const char* lsq_status_message(int status) {
    switch (status) {
        case 0:
            return "The maximum number of function evaluations is exceeded.";
        case 1:
            return "`gtol` termination condition is satisfied.";
        case 2:
            return "`ftol` termination condition is satisfied.";
        case 3:
            return "`xtol` termination condition is satisfied.";
        case 4:
            return "Both `ftol` and `xtol` termination conditions are satisfied.";
        default:
            return "Improper input parameters.";
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

LsqResult least_squares_trf(const LsqProblem& problem, const Eigen::VectorXd& x0_in, const Eigen::VectorXd& lb,
                            const Eigen::VectorXd& ub, const LsqOptions& opt) {
    const Eigen::Index n = x0_in.size();
    if (n == 0) throw std::invalid_argument("the start vector is empty");
    if (lb.size() != n || ub.size() != n)
        throw std::invalid_argument("bounds have " + std::to_string(lb.size()) + " and " + std::to_string(ub.size()) +
                                    " entries for " + std::to_string(n) + " parameters");
    if (!x0_in.allFinite()) throw std::invalid_argument("the start vector " + format_vector(x0_in) + " is not finite");
    for (Eigen::Index j = 0; j < n; ++j) {
        if (std::isnan(lb[j]) || std::isnan(ub[j]) || !(lb[j] < ub[j]))
            throw std::invalid_argument("each lower bound must be strictly less than each upper bound");
    }
    if (!inside(x0_in, lb, ub))
        throw std::invalid_argument("the start vector " + format_vector(x0_in) + " lies outside the bounds");
    // The Huber cost squares residual / f_scale: outside this range it
    // overflows or underflows for ordinary residuals.
    if (!(opt.f_scale >= 1e-150 && opt.f_scale <= 1e150))
        throw std::invalid_argument("f_scale must lie between 1e-150 and 1e150");
    if (opt.max_nfev < 0) throw std::invalid_argument("max_nfev must be positive");
    if (!problem.fun || !problem.jac) throw std::invalid_argument("residual or Jacobian function missing");
    for (double tol : {opt.ftol, opt.xtol, opt.gtol})
        if (!(tol >= 0.0)) throw std::invalid_argument("tolerances must not be negative");

    switch (n) {
        case 2:
            return solve<2>(problem, x0_in, lb, ub, opt);
        case 3:
            return solve<3>(problem, x0_in, lb, ub, opt);
        default:
            return solve<Eigen::Dynamic>(problem, x0_in, lb, ub, opt);
    }
}

}  // namespace ecm
