#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/base/errors.hpp"
#include "core/numeric/spline.hpp"

namespace {

struct Cubic {
    double a0, a1, a2, a3;
    double operator()(double x) const { return a0 + x * (a1 + x * (a2 + x * a3)); }
    double d1(double x) const { return a1 + x * (2 * a2 + 3 * a3 * x); }
    double d2(double x) const { return 2 * a2 + 6 * a3 * x; }
    double d3() const { return 6 * a3; }
};

std::vector<double> uneven_points(std::size_t n, std::mt19937_64& rng, double lo, double hi) {
    // Strictly increasing, spacing varying by a factor of up to 50.
    std::uniform_real_distribution<double> w(0.02, 1.0);
    std::vector<double> gaps(n - 1);
    double total = 0;
    for (auto& g : gaps) total += (g = w(rng));
    std::vector<double> x(n);
    x[0] = lo;
    for (std::size_t k = 1; k < n; ++k) x[k] = x[k - 1] + gaps[k - 1] / total * (hi - lo);
    x[n - 1] = hi;
    return x;
}

// Lagrange form of the cubic through four points, written independently of
// any spline machinery.
double lagrange4(const std::vector<double>& x, const std::vector<double>& y, double xq) {
    double r = 0;
    for (int i = 0; i < 4; ++i) {
        double l = 1;
        for (int j = 0; j < 4; ++j)
            if (j != i) l *= (xq - x[j]) / (x[i] - x[j]);
        r += y[i] * l;
    }
    return r;
}

}  // namespace

// A not-a-knot spline reproduces every cubic polynomial exactly, inside the
// data and, since it extrapolates with its end pieces, outside too.
TEST(CubicSpline, ReproducesCubicsInsideAndOutsideTheData) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> nd;
    for (std::size_t n : {4u, 5u, 6u, 11u, 60u}) {
        for (int rep = 0; rep < 5; ++rep) {
            const Cubic p{3.2 + 0.1 * nd(rng), nd(rng), nd(rng), nd(rng)};
            const auto x = uneven_points(n, rng, 0.05, 0.95);
            std::vector<double> y(n);
            for (std::size_t k = 0; k < n; ++k) y[k] = p(x[k]);
            const ecm::CubicSpline s(x, y);
            for (double xq = -0.5; xq <= 1.5; xq += 0.0123) {
                // Far outside a short end piece, rounding in its cubic
                // coefficient grows with (distance / piece length)^3.
                const double dist = xq < x[0] ? x[0] - xq : (xq > x[n - 1] ? xq - x[n - 1] : 0.0);
                const double hend = xq < x[0] ? x[1] - x[0] : x[n - 1] - x[n - 2];
                const double amp = std::max(1.0, std::pow(dist / hend, 3));
                EXPECT_NEAR(s(xq), p(xq), 1e-12 * amp) << "n=" << n << " x=" << xq;
                EXPECT_NEAR(s(xq, 1), p.d1(xq), 1e-10 * amp) << "n=" << n << " x=" << xq;
                EXPECT_NEAR(s(xq, 2), p.d2(xq), 1e-8 * amp) << "n=" << n << " x=" << xq;
                EXPECT_NEAR(s(xq, 3), p.d3(), 1e-6 * amp) << "n=" << n << " x=" << xq;
            }
        }
    }
}

TEST(CubicSpline, FourPointsGiveTheSingleCubicThroughThem) {
    const std::vector<double> x{0.1, 0.15, 0.6, 1.0};
    const std::vector<double> y{3.4, 3.55, 3.7, 4.15};
    const ecm::CubicSpline s(x, y);
    for (double xq = -1.0; xq <= 2.0; xq += 0.01) EXPECT_NEAR(s(xq), lagrange4(x, y, xq), 1e-12) << xq;
}

// On arbitrary data: interpolation, C2 continuity everywhere, and C3 at the
// second and last-but-one point (the not-a-knot condition).
TEST(CubicSpline, InterpolatesWithNotAKnotContinuity) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> nd;
    for (std::size_t n : {4u, 5u, 9u, 40u}) {
        const auto x = uneven_points(n, rng, -2.0, 3.0);
        std::vector<double> y(n);
        for (auto& v : y) v = nd(rng);
        const ecm::CubicSpline s(x, y);
        for (std::size_t k = 0; k < n; ++k) EXPECT_NEAR(s(x[k]), y[k], 1e-12);
        for (std::size_t k = 1; k + 1 < n; ++k) {
            const double lo = std::nextafter(x[k], -1e300);
            EXPECT_NEAR(s(lo), s(x[k]), 1e-9);
            EXPECT_NEAR(s(lo, 1), s(x[k], 1), 1e-7);
            EXPECT_NEAR(s(lo, 2), s(x[k], 2), 1e-5 * (1 + std::fabs(s(x[k], 2))));
        }
        const double scale3 = 1 + std::fabs(s(x[1], 3));
        EXPECT_NEAR(s(x[0], 3), s(x[1], 3), 1e-7 * scale3);
        EXPECT_NEAR(s(x[n - 3], 3), s(x[n - 2], 3), 1e-7 * (1 + std::fabs(s(x[n - 2], 3))));
    }
}

TEST(CubicSpline, EvalMatchesPointwiseAndNanGivesNan) {
    const ecm::CubicSpline s({0, 1, 2, 3, 4}, {1, 0, 2, 1, 3});
    const std::vector<double> q{-1, 0.5, 2, 3.999, 4, 7};
    std::vector<double> out(q.size());
    s.eval(q.data(), q.size(), out.data());
    for (std::size_t k = 0; k < q.size(); ++k) EXPECT_EQ(out[k], s(q[k]));
    EXPECT_TRUE(std::isnan(s(std::numeric_limits<double>::quiet_NaN())));
}

TEST(CubicSpline, RejectsBadPoints) {
    EXPECT_THROW(ecm::CubicSpline({0, 1, 2}, {1, 2, 3}), ecm::DataError);
    EXPECT_THROW(ecm::CubicSpline({0, 1, 1, 2}, {1, 2, 3, 4}), ecm::DataError);
    EXPECT_THROW(ecm::CubicSpline({0, 2, 1, 3}, {1, 2, 3, 4}), ecm::DataError);
    EXPECT_THROW(ecm::CubicSpline({0, 1, 2, 3}, {1, 2, 3}), ecm::DataError);
    EXPECT_THROW(ecm::CubicSpline({0, 1, 2, NAN}, {1, 2, 3, 4}), ecm::DataError);
    EXPECT_THROW(ecm::CubicSpline({0, 1, 2, 3}, {1, INFINITY, 3, 4}), ecm::DataError);
    try {
        ecm::CubicSpline({0, 1, 2}, {1, 2, 3});
    } catch (const ecm::DataError& e) {
        EXPECT_NE(std::string(e.what()).find("at least four"), std::string::npos) << e.what();
    }
    const ecm::CubicSpline empty;
    EXPECT_THROW(empty(0.5), ecm::DataError);
    const ecm::CubicSpline s({0, 1, 2, 3}, {1, 2, 3, 4});
    EXPECT_THROW(s(0.5, 4), ecm::DataError);
}
