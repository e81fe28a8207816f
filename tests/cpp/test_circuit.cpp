// The circuit simulation against closed-form responses and its Jacobian
// against central differences of the simulation itself.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/base/errors.hpp"
#include "core/circuit/circuit.hpp"

namespace {

// Irregular, non-decreasing sample times with a few repeated stamps.
std::vector<double> irregular_times(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> step(0.01, 5.0);
    std::vector<double> t(n);
    t[0] = 12.5;
    for (std::size_t k = 1; k < n; ++k) t[k] = t[k - 1] + (k % 97 == 0 ? 0.0 : step(gen));
    return t;
}

double rel_err(double got, double want) {
    return std::abs(got - want) / std::max(std::abs(want), 1e-300);
}

// One branch alone (R0 = 0) so the branch voltage is compared element by
// element, without a large R0 term hiding its errors.
std::vector<double> branch_only(const std::vector<double>& t, const std::vector<double>& i, double r, double c) {
    std::vector<double> y(t.size());
    ecm::simulate_rc(t.data(), i.data(), t.size(), 0.0, &r, &c, 1, y.data(), nullptr);
    return y;
}

struct Branch {
    double r, c;
};

}  // namespace

TEST(CircuitClosedForm, StepResponseMatchesExponentialOverWholeTauRange) {
    const auto t = irregular_times(3000, 1);
    const double I = -2.0;
    const std::vector<double> i(t.size(), I);
    // tau from 1e-8 s (both at the lower bound) to 2.5e9 s (both at the upper bound)
    for (const Branch b :
         {Branch{1e-4, 1e-4}, Branch{0.01, 3.0}, Branch{0.05, 1000.0}, Branch{2.0, 3000.0}, Branch{5e4, 5e4}}) {
        const double tau = b.r * b.c;
        const auto y = branch_only(t, i, b.r, b.c);
        EXPECT_EQ(y[0], 0.0);
        double worst = 0.0;
        for (std::size_t k = 1; k < t.size(); ++k) {
            const double dt = t[k] - t[0];
            const double want = -I * b.r * std::expm1(-dt / tau);  // I R (1 - e^{-dt/tau})
            ASSERT_TRUE(std::isfinite(y[k]));
            worst = std::max(worst, rel_err(y[k], want));
        }
        EXPECT_LT(worst, 1e-12) << "tau = " << tau;
    }
}

TEST(CircuitClosedForm, RampResponseMatchesClosedForm) {
    const auto t = irregular_times(2000, 2);
    const double slope = -0.003;  // A/s, from 0 A at the first sample
    std::vector<double> i(t.size());
    for (std::size_t k = 0; k < t.size(); ++k) i[k] = slope * (t[k] - t[0]);
    for (const Branch b :
         {Branch{1e-4, 1e-4}, Branch{0.02, 0.5}, Branch{0.03, 2000.0}, Branch{1.0, 1e4}, Branch{5e4, 5e4}}) {
        const double tau = b.r * b.c;
        const auto y = branch_only(t, i, b.r, b.c);
        double worst = 0.0;
        for (std::size_t k = 1; k < t.size(); ++k) {
            const double dt = t[k] - t[0];
            const double x = dt / tau;
            // v = R s (dt - tau (1 - e^{-x})); for small x use the series of
            // dt - tau(1-e^{-x}) = tau (x^2/2 - x^3/6 + ...), which is exact there.
            double inner;
            if (x < 1e-3) {
                inner = tau * x * x * (0.5 - x / 6.0 + x * x / 24.0 - x * x * x / 120.0);
            } else {
                inner = dt + tau * std::expm1(-x);
            }
            const double want = b.r * slope * inner;
            worst = std::max(worst, rel_err(y[k], want));
        }
        EXPECT_LT(worst, 1e-12) << "tau = " << tau;
    }
}

TEST(CircuitClosedForm, SeriesResistanceAndBranchesAddUp) {
    const auto t = irregular_times(500, 3);
    std::vector<double> i(t.size());
    for (std::size_t k = 0; k < t.size(); ++k) i[k] = std::sin(0.05 * t[k]) - 0.4;
    const double r[2] = {0.02, 0.05}, c[2] = {500.0, 20000.0};
    std::vector<double> y(t.size());
    ecm::simulate_rc(t.data(), i.data(), t.size(), 0.07, r, c, 2, y.data(), nullptr);
    const auto y1 = branch_only(t, i, r[0], c[0]);
    const auto y2 = branch_only(t, i, r[1], c[1]);
    EXPECT_DOUBLE_EQ(y[0], 0.07 * i[0]);
    for (std::size_t k = 0; k < t.size(); ++k) EXPECT_NEAR(y[k], 0.07 * i[k] + y1[k] + y2[k], 1e-15);
}

TEST(CircuitEdgeCases, ZeroCurrentGivesZeroAndRepeatedStampKeepsState) {
    std::vector<double> t = {0.0, 1.0, 2.0, 2.0, 3.0};
    std::vector<double> zero(t.size(), 0.0);
    const double r = 0.1, c = 100.0;
    std::vector<double> y(t.size(), 1.0);
    ecm::simulate_rc(t.data(), zero.data(), t.size(), 0.5, &r, &c, 1, y.data(), nullptr);
    for (double v : y) EXPECT_EQ(v, 0.0);

    std::vector<double> i(t.size(), 1.0);
    const auto yb = branch_only(t, i, r, c);
    EXPECT_EQ(yb[2], yb[3]);  // no time passes at a repeated stamp
    EXPECT_NEAR(yb[4], r * (1.0 - std::exp(-3.0 / (r * c))), 1e-15);

    // One sample: only the series resistance shows.
    double y1 = 0.0;
    const double t1 = 0.0, i1 = -2.0;
    ecm::simulate_rc(&t1, &i1, 1, 0.3, &r, &c, 1, &y1, nullptr);
    EXPECT_DOUBLE_EQ(y1, -0.6);
}

TEST(CircuitEdgeCases, BadInputThrowsDataError) {
    std::vector<double> t = {0.0, 1.0, 0.5}, i = {1.0, 1.0, 1.0}, y(3);
    const double r = 0.1, c = 100.0, bad_r = 0.0, nan = std::nan("");
    EXPECT_THROW(ecm::simulate_rc(t.data(), i.data(), 3, 0.1, &r, &c, 1, y.data(), nullptr), ecm::DataError);
    t[2] = 2.0;
    i[1] = nan;
    EXPECT_THROW(ecm::simulate_rc(t.data(), i.data(), 3, 0.1, &r, &c, 1, y.data(), nullptr), ecm::DataError);
    i[1] = 1.0;
    t[0] = std::numeric_limits<double>::infinity();
    EXPECT_THROW(ecm::simulate_rc(t.data(), i.data(), 3, 0.1, &r, &c, 1, y.data(), nullptr), ecm::DataError);
    t[0] = 0.0;
    EXPECT_THROW(ecm::simulate_rc(t.data(), i.data(), 3, 0.1, &bad_r, &c, 1, y.data(), nullptr), ecm::DataError);
    EXPECT_THROW(ecm::simulate_rc(t.data(), i.data(), 3, nan, &r, &c, 1, y.data(), nullptr), ecm::DataError);
    EXPECT_NO_THROW(ecm::simulate_rc(t.data(), i.data(), 3, 0.1, &r, &c, 1, y.data(), nullptr));
}

TEST(CircuitJacobian, MatchesCentralDifferences) {
    const auto t = irregular_times(400, 4);
    std::vector<double> i(t.size());
    for (std::size_t k = 0; k < t.size(); ++k) i[k] = (k / 40) % 2 == 0 ? -1.5 : 0.02 * std::cos(t[k]);
    const std::size_t n = t.size();
    struct Case {
        double r0;
        std::vector<double> r, c;
    };
    for (const Case& cs : {Case{0.05, {0.02}, {300.0}}, Case{0.05, {0.02, 0.04}, {3.0, 5000.0}},
                           Case{1e-4, {1e-3, 5e4}, {1e-2, 5e4}}, Case{0.1, {0.3}, {0.2}}}) {
        const std::size_t nb = cs.r.size(), np = 1 + 2 * nb;
        std::vector<double> y(n), J(n * np);
        ecm::simulate_rc(t.data(), i.data(), n, cs.r0, cs.r.data(), cs.c.data(), nb, y.data(), J.data());
        for (std::size_t p = 0; p < np; ++p) {
            std::vector<double> params = {cs.r0};
            for (std::size_t b = 0; b < nb; ++b) {
                params.push_back(cs.r[b]);
                params.push_back(cs.c[b]);
            }
            const double h = 1e-6 * params[p];
            auto eval = [&](double delta) {
                std::vector<double> q = params;
                q[p] += delta;
                std::vector<double> r, c, out(n);
                for (std::size_t b = 0; b < nb; ++b) {
                    r.push_back(q[1 + 2 * b]);
                    c.push_back(q[2 + 2 * b]);
                }
                ecm::simulate_rc(t.data(), i.data(), n, q[0], r.data(), c.data(), nb, out.data(), nullptr);
                return out;
            };
            const auto yp = eval(h), ym = eval(-h);
            double scale = 0.0, ymax = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                scale = std::max(scale, std::abs(J[p * n + k]));
                ymax = std::max(ymax, std::abs(y[k]));
            }
            // truncation error of the difference quotient plus its rounding noise
            const double tol = 1e-6 * scale + 100.0 * 2.2e-16 * ymax / h;
            for (std::size_t k = 0; k < n; ++k) {
                const double fd = (yp[k] - ym[k]) / (2.0 * h);
                EXPECT_NEAR(J[p * n + k], fd, tol) << "param " << p << " sample " << k;
            }
        }
    }
}

TEST(CircuitJacobian, ExtremeTimeConstantsHaveClosedFormDerivatives) {
    // Step response v = I R (1 - e^{-dt/(RC)}):
    //   dv/dR = I (1 - (1+x) e^{-x}),  dv/dC = -I (R/C) x e^{-x},  x = dt/(RC)
    // with 1 - (1+x) e^{-x} = x^2/2 - x^3/3 + x^4/8 - ... for small x.
    auto one_minus = [](double x) {
        if (x < 1e-3) return x * x * (0.5 - x / 3.0 + x * x / 8.0);
        return -std::expm1(-x) - x * std::exp(-x);
    };
    const auto t = irregular_times(1000, 5);
    const double I = 1.3;
    const std::vector<double> i(t.size(), I);
    for (const Branch b : {Branch{1e-4, 1e-4}, Branch{5e4, 5e4}, Branch{0.01, 2000.0}}) {
        const std::size_t n = t.size();
        std::vector<double> y(n), J(3 * n);
        ecm::simulate_rc(t.data(), i.data(), n, 0.0, &b.r, &b.c, 1, y.data(), J.data());
        double scale_r = 0.0, scale_c = 0.0;
        for (std::size_t k = 1; k < n; ++k) {
            const double x = (t[k] - t[0]) / (b.r * b.c);
            scale_r = std::max(scale_r, std::abs(I * one_minus(x)));
            scale_c = std::max(scale_c, std::abs(I * (b.r / b.c) * x * std::exp(-x)));
        }
        for (std::size_t k = 1; k < n; ++k) {
            const double x = (t[k] - t[0]) / (b.r * b.c);
            const double xe = x * std::exp(-x);
            const double dr = I * one_minus(x), dc = -I * (b.r / b.c) * xe;
            ASSERT_TRUE(std::isfinite(J[n + k]) && std::isfinite(J[2 * n + k]));
            // relative to the size of the column: rounding leaves an absolute floor
            EXPECT_NEAR(J[n + k], dr, 1e-12 * scale_r);
            EXPECT_NEAR(J[2 * n + k], dc, 1e-12 * scale_c + 1e-300);
        }
    }
}
