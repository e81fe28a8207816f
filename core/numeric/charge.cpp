#include "core/numeric/charge.hpp"

#include <cmath>

namespace ecm {

std::vector<double> cumulative_charge_As(const double* t, const double* i, std::size_t n) {
    std::vector<double> q(n, 0.0);
    for (std::size_t k = 1; k < n; ++k) q[k] = q[k - 1] + 0.5 * (i[k] + i[k - 1]) * (t[k] - t[k - 1]);
    return q;
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

std::vector<double> signed_charge_mAh(const double* t, const double* i, std::size_t n) {
    std::vector<double> q(n, 0.0);
    double sum = 0.0, comp = 0.0;
    for (std::size_t k = 1; k < n; ++k) {
        const double term = (t[k] - t[k - 1]) * (i[k] + i[k - 1]) * 0.5 * 1000.0 / 3600.0;
        const double yk = term - comp, tt = sum + yk;
        comp = (tt - sum) - yk;
        sum = tt;
        q[k] = sum;
    }
    return q;
}

std::vector<double> compensated_charge_mAh(const double* t, const double* i, const std::vector<std::size_t>& last) {
    std::vector<double> out;
    out.reserve(last.size());
    double sum = 0.0, comp = 0.0;
    std::size_t done = 1;  // samples 0 .. done-1 are integrated
    for (std::size_t e : last) {
        for (; done <= e; ++done) {
            const double y0 = 1000.0 * i[done - 1];
            const double y1 = 1000.0 * i[done];
            const double area = (t[done] - t[done - 1]) * (y1 + y0) / 2.0;
            const double s = sum + area;
            if (std::fabs(sum) >= std::fabs(area)) {
                comp += (sum - s) + area;
            } else {
                comp += (area - s) + sum;
            }
            sum = s;
        }
        out.push_back((sum + comp) / 3600.0);
    }
    return out;
}

}  // namespace ecm
