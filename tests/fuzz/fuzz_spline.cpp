// Fuzz target: the not-a-knot cubic spline.
//
// For any input the constructor either throws DataError or builds a spline
// that evaluates without touching memory outside its tables. For data with
// moderate spacing (neighbouring steps within a factor 100 of each other) it
// also checks what makes the curve a not-a-knot interpolating spline: it
// passes through every point, and its first and second derivatives are
// continuous at every inner knot, its third derivative at the second and the
// last-but-one knot.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/numeric/spline.hpp"
#include "fuzz_common.hpp"

namespace {

bool close(double a, double b, double scale) {
    return std::fabs(a - b) <= 1e-6 * scale;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider p(data, size);
    const int mode = p.ConsumeIntegralInRange<int>(0, 3);
    const auto n = p.ConsumeIntegralInRange<std::size_t>(0, 64);
    std::vector<double> x(n), y(n);
    bool moderate = mode != 0;
    if (mode == 0) {
        // Anything at all, lengths may even differ.
        for (auto& v : x) v = fuzz::any_double(p);
        y.resize(p.ConsumeIntegralInRange<std::size_t>(0, 64));
        for (auto& v : y) v = fuzz::any_double(p);
    } else {
        // Strictly increasing x with a fuzzed origin and scale.
        const double scale = std::pow(10.0, p.ConsumeFloatingPointInRange<double>(-6, 6));
        double xk = p.ConsumeFloatingPointInRange<double>(-1e3, 1e3) * scale;
        double h_prev = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            double h = scale * p.ConsumeFloatingPointInRange<double>(0.01, 1.0);
            if (mode == 3 && p.ConsumeIntegralInRange<int>(0, 7) == 0) {
                h = p.ConsumeBool() ? 0.0 : scale * std::pow(10.0, p.ConsumeFloatingPointInRange<double>(-15, 6));
            }
            if (k > 0 && h_prev > 0.0 && (h / h_prev > 100.0 || h_prev / h > 100.0)) moderate = false;
            if (k > 0) {
                xk += h;
                h_prev = h;
            }
            x[k] = xk;
            y[k] = mode == 2 ? fuzz::any_double(p) : p.ConsumeFloatingPointInRange<double>(-1e3, 1e3);
            if (mode == 2) moderate = false;
        }
    }

    ecm::CubicSpline s;
    {
        const bool empty_throws = !fuzz::expect_ok_or_documented([&] { (void)s(0.0); });
        FUZZ_CHECK(empty_throws);
    }
    if (!fuzz::expect_ok_or_documented([&] { s = ecm::CubicSpline(x, y); })) return 0;
    FUZZ_CHECK(s.size() == n && n >= 4);
    FUZZ_CHECK(s.c1().size() == n - 1 && s.c2().size() == n - 1 && s.c3().size() == n - 1);

    // Evaluation anywhere, including outside the data and at special points.
    std::vector<double> q;
    for (int k = 0; k < 16; ++k) q.push_back(fuzz::any_double(p));
    for (double v : x) q.push_back(v);
    std::vector<double> out(q.size());
    for (int nu = -1; nu <= 4; ++nu) {
        const bool ok = fuzz::expect_ok_or_documented([&] { s.eval(q.data(), q.size(), out.data(), nu); });
        FUZZ_CHECK(ok == (nu >= 0 && nu <= 3));
    }

    // Which x are ill-spaced also shows up as moderate == false (a zero step
    // makes the constructor throw, so it never gets here).
    if (!moderate) return 0;
    bool finite = true;
    for (std::size_t k = 0; k + 1 < n; ++k)
        finite = finite && std::isfinite(s.c1()[k]) && std::isfinite(s.c2()[k]) && std::isfinite(s.c3()[k]);
    FUZZ_CHECK(finite);

    double yscale = 0.0;
    for (double v : y) yscale = std::max(yscale, std::fabs(v));
    yscale = std::max(yscale, 1e-300);
    const double span = x[n - 1] - x[0];
    double hmin = span;
    for (std::size_t k = 0; k + 1 < n; ++k) hmin = std::min(hmin, x[k + 1] - x[k]);
    // Derivatives scale as y / h^nu; the tolerance follows the worst spacing.
    for (std::size_t k = 0; k < n; ++k) FUZZ_CHECK(close(s(x[k]), y[k], yscale));
    for (std::size_t k = 1; k + 1 < n; ++k) {
        // From the left piece at its right end vs the right piece at its start.
        const double h = x[k] - x[k - 1];
        const double c1 = s.c1()[k - 1], c2 = s.c2()[k - 1], c3 = s.c3()[k - 1];
        const double d1_left = (3.0 * c3 * h + 2.0 * c2) * h + c1;
        const double d2_left = 6.0 * c3 * h + 2.0 * c2;
        FUZZ_CHECK(close(d1_left, s(x[k], 1), yscale / hmin));
        FUZZ_CHECK(close(d2_left, s(x[k], 2), yscale / (hmin * hmin)));
    }
    const double s3 = yscale / (hmin * hmin * hmin);
    FUZZ_CHECK(close(s.c3()[0], s.c3()[1], s3 / 6.0));
    FUZZ_CHECK(close(s.c3()[n - 3], s.c3()[n - 2], s3 / 6.0));
    return 0;
}
