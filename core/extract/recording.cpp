#include "core/extract/recording.hpp"

#include <cmath>

namespace ecm {

std::optional<std::size_t> find_cutoff(const double* v, std::size_t n, double vcut) {
    for (std::size_t k = 0; k < n; ++k) {
        if (v[k] < vcut) return k;
    }
    return std::nullopt;
}

std::vector<double> cumulative_charge_mAh(const double* t, const double* i, std::size_t n) {
    std::vector<double> out(n);
    if (n == 0) return out;
    // Running sum of the trapezoids in mA*s, added in sample order: the same
    // sequence of roundings as a cumulative sum of the per-step areas.
    double acc = 0.0;
    double y_prev = 1000.0 * i[0];
    out[0] = 0.0;
    for (std::size_t k = 1; k < n; ++k) {
        const double y = 1000.0 * i[k];
        const double area = (t[k] - t[k - 1]) * (y + y_prev) / 2.0;
        acc += area;
        out[k] = std::fabs(acc / 3600.0);
        y_prev = y;
    }
    return out;
}

}  // namespace ecm
