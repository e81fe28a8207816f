#include "core/base/stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ecm {

double median(std::vector<double> x) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (x.empty()) return nan;
    for (double v : x)
        if (std::isnan(v)) return nan;
    const std::size_t n = x.size();
    const std::size_t mid = n / 2;
    std::nth_element(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(mid), x.end());
    double hi = x[mid];
    if (n % 2 == 1) return hi;
    double lo = *std::max_element(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(mid));
    return (lo + hi) / 2.0;
}

double mean(const double* x, std::size_t n) {
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    // Pairwise summation keeps the rounding error at the level NumPy has.
    struct Pairwise {
        static double sum(const double* p, std::size_t k) {
            if (k <= 8) {
                double s = 0;
                for (std::size_t j = 0; j < k; ++j) s += p[j];
                return s;
            }
            std::size_t h = k / 2;
            return sum(p, h) + sum(p + h, k - h);
        }
    };
    return Pairwise::sum(x, n) / static_cast<double>(n);
}

double rms(const double* x, std::size_t n) {
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    std::vector<double> sq(x, x + n);
    for (double& v : sq) v *= v;
    return std::sqrt(mean(sq.data(), n));
}

}  // namespace ecm
