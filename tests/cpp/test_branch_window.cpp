// The per-window branch simulation used by the fits agrees with the plain
// recurrences on every step pattern, and with the closed-form step response.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "core/circuit/circuit.hpp"

namespace {

struct Window {
    std::vector<double> t, i, target;
};

// mode 0 uniform, 1 uniform with repeated time stamps, 2 irregular, 3 the step changes halfway
Window make_window(std::mt19937_64& rng, std::size_t n, int mode) {
    Window w{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)};
    double tt = 100.0;
    for (std::size_t k = 0; k < n; ++k) {
        w.t[k] = tt;
        double h = 1.0;
        if (mode == 1 && rng() % 300 == 0) h = 0.0;
        if (mode == 2) h = 0.5 + static_cast<double>(rng() % 3) * 0.25;
        if (mode == 3 && k > n / 2) h = 2.0;
        tt += h;
        w.i[k] = static_cast<double>(rng() % 5) * 0.5 - 1.0;
        w.target[k] = std::ldexp(static_cast<double>(rng() % 1000), -12);
    }
    return w;
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(BranchWindow, MatchesThePlainRecurrencesBitForBit) {
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 120; ++trial) {
        const int mode = trial % 4;
        const std::size_t n = 2 + rng() % 1500;  // mostly beyond one block of 256 steps
        SCOPED_TRACE(::testing::Message() << "trial " << trial << " mode " << mode << " n " << n);
        Window w = make_window(rng, n, mode);
        const double r = 0.001 + static_cast<double>(rng() % 1000) * 0.01;
        const double c = 0.5 + static_cast<double>(rng() % 1000) * 3.0;

        std::vector<double> v1(n), v2(n), f(n), dr1(n), dc1(n), dr2(n), dc2(n);
        ecm::rc_branch_voltage(w.t.data(), w.i.data(), n, r, c, v1.data());
        ecm::rc_branch_derivatives(w.t.data(), w.i.data(), n, r, c, v1.data(), -1.0, dr1.data(), dc1.data());
        ecm::BranchWindow bw(w.t.data(), w.i.data(), n);
        bw.voltage(r, c, v2.data(), w.target.data(), f.data());
        bw.derivatives(r, c, v2.data(), -1.0, dr2.data(), dc2.data());
        for (std::size_t k = 0; k < n; ++k) {
            ASSERT_TRUE(same_bits(v1[k], v2[k])) << "voltage at " << k;
            ASSERT_TRUE(same_bits(w.target[k] - v1[k], f[k])) << "residual at " << k;
            ASSERT_TRUE(same_bits(dr1[k], dr2[k])) << "dv/dr at " << k;
            ASSERT_TRUE(same_bits(dc1[k], dc2[k])) << "dv/dc at " << k;
        }
    }
}

TEST(BranchWindow, ConstantCurrentGivesTheClosedFormCharging) {
    // A current that is constant from the first sample charges the branch as
    // I R (1 - exp(-(t - t0) / (R C))).
    const std::size_t n = 3000;
    std::vector<double> t(n), i(n, -2.0), v(n);
    for (std::size_t k = 0; k < n; ++k) t[k] = 0.5 * static_cast<double>(k);
    const double r = 0.02, c = 1500.0, tau = r * c;
    ecm::BranchWindow bw(t.data(), i.data(), n);
    bw.voltage(r, c, v.data());
    for (std::size_t k = 0; k < n; ++k) {
        const double expected = -2.0 * r * -std::expm1(-t[k] / tau);
        ASSERT_NEAR(v[k], expected, 1e-13 * 2.0 * r) << "sample " << k;
    }
}
