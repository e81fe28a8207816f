#include "core/numeric/interp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/base/errors.hpp"

namespace ecm {

namespace {

// The value between xp[j] and xp[j+1] (xp[j] <= x < xp[j+1] in an ordered table).
double between(double x, const double* xp, const double* fp, std::size_t j) {
    if (xp[j] == x) return fp[j];
    const double slope = (fp[j + 1] - fp[j]) / (xp[j + 1] - xp[j]);
    double r = slope * (x - xp[j]) + fp[j];
    if (std::isnan(r)) {
        // An infinite slope times zero distance: approach from the right end.
        r = slope * (x - xp[j + 1]) + fp[j + 1];
        if (std::isnan(r) && fp[j] == fp[j + 1]) r = fp[j];
    }
    return r;
}

void require_points(std::size_t np) {
    if (np == 0) throw DataError("interpolation: no points to interpolate between");
}

}  // namespace

double interp_linear_at(double x, const double* xp, const double* fp, std::size_t np, std::size_t& hint) {
    require_points(np);
    // A single point (even a NaN one, which no comparison below catches) is
    // its value everywhere, for a NaN x too.
    if (np == 1) return fp[0];
    if (std::isnan(x)) return x;
    if (x < xp[0]) return fp[0];
    if (x >= xp[np - 1]) return fp[np - 1];
    // The largest j with xp[j] <= x; here xp[0] <= x < xp[np-1].
    std::size_t j = std::min(hint, np - 2);
    if (!(xp[j] <= x && x < xp[j + 1])) {
        if (j + 2 < np && xp[j + 1] <= x && x < xp[j + 2]) {
            ++j;
        } else {
            // Clamped to a valid interval: with xp out of order or holding NaN
            // the search result means nothing, but it must never lead to a
            // read past the table.
            const auto above = static_cast<std::size_t>(std::upper_bound(xp, xp + np, x) - xp);
            j = std::min(above == 0 ? 0 : above - 1, np - 2);
        }
    }
    hint = j;
    return between(x, xp, fp, j);
}

void interp_linear(const double* x, std::size_t n, const double* xp, const double* fp, std::size_t np, double* out) {
    require_points(np);
    std::size_t hint = 0;
    for (std::size_t k = 0; k < n; ++k) out[k] = interp_linear_at(x[k], xp, fp, np, hint);
}

std::vector<double> interp_linear(const std::vector<double>& x, const std::vector<double>& xp,
                                  const std::vector<double>& fp) {
    if (xp.size() != fp.size())
        throw DataError("interp: " + std::to_string(xp.size()) + " x points and " + std::to_string(fp.size()) +
                        " values, expected equal lengths");
    if (xp.empty()) throw DataError("interp: no points to interpolate between, expected at least one");
    const std::size_t n = xp.size();
    std::vector<double> out(x.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
        const double xv = x[k];
        if (n == 1) {
            out[k] = fp[0];
        } else if (std::isnan(xv)) {
            out[k] = xv;
        } else if (xv > xp[n - 1]) {
            out[k] = fp[n - 1];
        } else if (xv < xp[0]) {
            out[k] = fp[0];
        } else {
            // A fresh binary search for every x: the last j with xp[j] <= xv.
            std::size_t j = static_cast<std::size_t>(std::upper_bound(xp.begin(), xp.end(), xv) - xp.begin());
            j = j == 0 ? 0 : j - 1;
            out[k] = j >= n - 1 ? fp[j] : between(xv, xp.data(), fp.data(), j);
        }
    }
    return out;
}

std::vector<double> pchip(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& at) {
    const std::size_t n = x.size();
    std::vector<double> out(at.size(), std::numeric_limits<double>::quiet_NaN());
    if (n == 0) return out;
    if (n == 1) {
        std::fill(out.begin(), out.end(), y[0]);
        return out;
    }
    std::vector<double> h(n - 1), d(n - 1), m(n, 0.0);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        h[k] = x[k + 1] - x[k];
        d[k] = (y[k + 1] - y[k]) / h[k];
    }
    if (n == 2) {
        m[0] = m[1] = d[0];
    } else {
        for (std::size_t k = 1; k + 1 < n; ++k) {
            if (d[k - 1] * d[k] <= 0.0) continue;
            const double w1 = 2.0 * h[k] + h[k - 1], w2 = h[k] + 2.0 * h[k - 1];
            m[k] = (w1 + w2) / (w1 / d[k - 1] + w2 / d[k]);
        }
        auto end_slope = [](double h0, double h1, double d0, double d1) {
            double s = ((2.0 * h0 + h1) * d0 - h0 * d1) / (h0 + h1);
            if (s * d0 <= 0.0)
                s = 0.0;
            else if (d0 * d1 <= 0.0 && std::fabs(s) > 3.0 * std::fabs(d0))
                s = 3.0 * d0;
            return s;
        };
        m[0] = end_slope(h[0], h[1], d[0], d[1]);
        m[n - 1] = end_slope(h[n - 2], h[n - 3], d[n - 2], d[n - 3]);
    }
    for (std::size_t j = 0; j < at.size(); ++j) {
        const double v = at[j];
        if (!std::isfinite(v)) continue;
        if (v <= x[0]) {
            out[j] = y[0] + m[0] * (v - x[0]);
            continue;
        }
        if (v >= x[n - 1]) {
            out[j] = y[n - 1] + m[n - 1] * (v - x[n - 1]);
            continue;
        }
        const std::size_t k = static_cast<std::size_t>(std::upper_bound(x.begin(), x.end(), v) - x.begin()) - 1;
        const double s = (v - x[k]) / h[k], s2 = s * s, s3 = s2 * s;
        out[j] = (2 * s3 - 3 * s2 + 1) * y[k] + (s3 - 2 * s2 + s) * h[k] * m[k] + (-2 * s3 + 3 * s2) * y[k + 1] +
                 (s3 - s2) * h[k] * m[k + 1];
    }
    return out;
}

}  // namespace ecm
