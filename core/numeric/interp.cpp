#include "core/numeric/interp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ecm {

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
