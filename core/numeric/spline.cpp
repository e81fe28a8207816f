#include "core/numeric/spline.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <utility>

#include "core/base/errors.hpp"

namespace ecm {
namespace {

// Solves a tridiagonal system by Gaussian elimination with partial pivoting.
// The not-a-knot end rows are not diagonally dominant, so plain forward
// elimination without row interchanges could be unstable on uneven spacing.
// sub[i] is the entry at (i+1, i), diag[i] at (i, i), sup[i] at (i, i+1).
// Returns the solution; throws DataError on a singular matrix.
std::vector<double> solve_tridiagonal_pivoted(std::vector<double> sub, std::vector<double> diag,
                                              std::vector<double> sup, std::vector<double> rhs) {
    const std::size_t n = diag.size();
    std::vector<double> sup2(n, 0.0);  // fill-in on the second superdiagonal from row swaps
    for (std::size_t i = 0; i + 1 < n; ++i) {
        // Row i holds (diag[i], sup[i], sup2[i]) in columns i..i+2 and row i+1
        // holds (sub[i], diag[i+1], sup[i+1]); sup2[i] is still zero here.
        double p0 = diag[i], p1 = sup[i], p2 = 0.0, pb = rhs[i];
        double q0 = sub[i], q1 = diag[i + 1], q2 = (i + 2 < n) ? sup[i + 1] : 0.0, qb = rhs[i + 1];
        if (std::fabs(p0) < std::fabs(q0)) {
            std::swap(p0, q0);
            std::swap(p1, q1);
            std::swap(p2, q2);
            std::swap(pb, qb);
        }
        if (p0 == 0.0) throw DataError("spline: the interpolation system is singular");
        const double f = q0 / p0;
        q1 -= f * p1;
        q2 -= f * p2;
        qb -= f * pb;
        diag[i] = p0;
        sup[i] = p1;
        sup2[i] = p2;
        rhs[i] = pb;
        diag[i + 1] = q1;
        if (i + 2 < n) sup[i + 1] = q2;
        rhs[i + 1] = qb;
    }
    if (diag[n - 1] == 0.0) throw DataError("spline: the interpolation system is singular");
    std::vector<double> s(n);
    s[n - 1] = rhs[n - 1] / diag[n - 1];
    for (std::size_t k = n - 1; k-- > 0;) {
        double acc = rhs[k] - sup[k] * s[k + 1];
        if (k + 2 < n) acc -= sup2[k] * s[k + 2];
        s[k] = acc / diag[k];
    }
    return s;
}

}  // namespace

CubicSpline::CubicSpline(std::vector<double> x, std::vector<double> y) : x_(std::move(x)), y_(std::move(y)) {
    const std::size_t n = x_.size();
    if (n != y_.size()) {
        std::ostringstream m;
        m << "spline: " << n << " x values but " << y_.size() << " y values; expected equal lengths";
        throw DataError(m.str());
    }
    if (n < 4) {
        std::ostringstream m;
        m << "spline: " << n << " points given; a cubic spline needs at least four";
        throw DataError(m.str());
    }
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(x_[k]) || !std::isfinite(y_[k])) {
            std::ostringstream m;
            m.precision(17);
            m << "spline: point " << k << " is (" << x_[k] << ", " << y_[k] << "); expected finite values";
            throw DataError(m.str());
        }
        if (k > 0 && !(x_[k] > x_[k - 1])) {
            std::ostringstream m;
            m.precision(17);
            m << "spline: x does not strictly increase: x[" << k - 1 << "] = " << x_[k - 1] << ", x[" << k
              << "] = " << x_[k];
            throw DataError(m.str());
        }
    }

    const std::size_t np = n - 1;  // number of pieces
    std::vector<double> h(np), m(np);
    for (std::size_t k = 0; k < np; ++k) {
        h[k] = x_[k + 1] - x_[k];
        m[k] = (y_[k + 1] - y_[k]) / h[k];
    }

    // Unknowns: the slopes s[k] of the spline at the data points. Interior rows
    // are C2 continuity; the first and last rows make the third derivative
    // continuous at x[1] and x[n-2].
    std::vector<double> sub(n - 1), diag(n), sup(n - 1), rhs(n);
    {
        const double d = h[0] + h[1];
        diag[0] = h[1];
        sup[0] = d;
        rhs[0] = ((h[0] + 2.0 * d) * h[1] * m[0] + h[0] * h[0] * m[1]) / d;
    }
    for (std::size_t k = 1; k + 1 < n; ++k) {
        sub[k - 1] = h[k];
        diag[k] = 2.0 * (h[k - 1] + h[k]);
        sup[k] = h[k - 1];
        rhs[k] = 3.0 * (h[k] * m[k - 1] + h[k - 1] * m[k]);
    }
    {
        const double d = h[np - 1] + h[np - 2];
        sub[n - 2] = d;
        diag[n - 1] = h[np - 2];
        rhs[n - 1] = (h[np - 1] * h[np - 1] * m[np - 2] + (2.0 * d + h[np - 1]) * h[np - 2] * m[np - 1]) / d;
    }
    const std::vector<double> s =
        solve_tridiagonal_pivoted(std::move(sub), std::move(diag), std::move(sup), std::move(rhs));

    c1_.resize(np);
    c2_.resize(np);
    c3_.resize(np);
    for (std::size_t k = 0; k < np; ++k) {
        const double t = (s[k] + s[k + 1] - 2.0 * m[k]) / h[k];
        c1_[k] = s[k];
        c2_[k] = (m[k] - s[k]) / h[k] - t;
        c3_[k] = t / h[k];
    }
}

std::size_t CubicSpline::piece(double xq) const {
    // The piece k with x[k] <= xq < x[k+1]; below the data the first piece,
    // from the last point on the last piece.
    const std::size_t last = x_.size() - 2;
    const auto it = std::upper_bound(x_.begin() + 1, x_.end() - 1, xq);
    const std::size_t k = static_cast<std::size_t>(it - x_.begin()) - 1;
    return std::min(k, last);
}

double CubicSpline::operator()(double xq, int nu) const {
    if (x_.empty()) throw DataError("spline: evaluated before it was built from data");
    if (nu < 0 || nu > 3) throw DataError("spline: derivative order must be 0, 1, 2 or 3");
    if (std::isnan(xq)) return std::numeric_limits<double>::quiet_NaN();
    const std::size_t k = piece(xq);
    const double d = xq - x_[k];
    switch (nu) {
        case 0:
            return ((c3_[k] * d + c2_[k]) * d + c1_[k]) * d + y_[k];
        case 1:
            return (3.0 * c3_[k] * d + 2.0 * c2_[k]) * d + c1_[k];
        case 2:
            return 6.0 * c3_[k] * d + 2.0 * c2_[k];
        default:
            return 6.0 * c3_[k];
    }
}

void CubicSpline::eval(const double* xq, std::size_t n, double* out, int nu) const {
    if (x_.empty()) throw DataError("spline: evaluated before it was built from data");
    if (nu < 0 || nu > 3) throw DataError("spline: derivative order must be 0, 1, 2 or 3");
    for (std::size_t k = 0; k < n; ++k) out[k] = (*this)(xq[k], nu);
}

}  // namespace ecm
