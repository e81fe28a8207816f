// The charge integrators against closed forms (the trapezoid rule is exact
// for a current linear in time) and against numpy.trapezoid.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "core/numeric/charge.hpp"

namespace {

// i(t) = a + b t sampled at uneven times; its charge from 0 is a t + b t^2 / 2.
struct Linear {
    std::vector<double> t, i;
    double a = -2.5, b = 0.75;
    double charge(double at) const { return a * at + b * at * at / 2.0; }
};
Linear linear_current() {
    Linear c;
    double at = 0.0;
    for (int k = 0; k < 400; ++k) {
        c.t.push_back(at);
        c.i.push_back(c.a + c.b * at);
        at += 0.05 + 0.01 * (k % 7);
    }
    return c;
}

TEST(Charge, AmpereSecondsAreTheClosedForm) {
    const Linear c = linear_current();
    const auto q = ecm::cumulative_charge_As(c.t.data(), c.i.data(), c.t.size());
    ASSERT_EQ(q.size(), c.t.size());
    EXPECT_EQ(q[0], 0.0);
    for (std::size_t k = 0; k < q.size(); ++k) EXPECT_NEAR(q[k], c.charge(c.t[k]), 1e-12 * (1.0 + std::fabs(q[k])));
    EXPECT_TRUE(ecm::cumulative_charge_As(c.t.data(), c.i.data(), 0).empty());
}

TEST(Charge, MilliampereHoursAreTheClosedForm) {
    const Linear c = linear_current();
    const std::size_t n = c.t.size();
    const auto abs_mAh = ecm::cumulative_charge_mAh(c.t.data(), c.i.data(), n);
    const auto signed_mAh = ecm::signed_charge_mAh(c.t.data(), c.i.data(), n);
    std::vector<std::size_t> last;
    for (std::size_t k = 0; k < n; k += 37) last.push_back(k);
    last.push_back(n - 1);
    const auto at_mAh = ecm::compensated_charge_mAh(c.t.data(), c.i.data(), last);
    ASSERT_EQ(abs_mAh.size(), n);
    ASSERT_EQ(signed_mAh.size(), n);
    ASSERT_EQ(at_mAh.size(), last.size());
    for (std::size_t k = 0; k < n; ++k) {
        const double want = c.charge(c.t[k]) / 3.6;  // A s -> mAh
        const double tol = 1e-12 * (1.0 + std::fabs(want));
        EXPECT_NEAR(signed_mAh[k], want, tol);
        EXPECT_NEAR(abs_mAh[k], std::fabs(want), tol);  // the absolute value of the running total
    }
    for (std::size_t j = 0; j < last.size(); ++j) {
        const double want = c.charge(c.t[last[j]]) / 3.6;
        EXPECT_NEAR(at_mAh[j], want, 1e-12 * (1.0 + std::fabs(want)));
    }
    EXPECT_EQ(at_mAh[0], 0.0);  // to sample 0: nothing
}

// numpy.trapezoid(i[:k+1], t[:k+1]) (NumPy 2.4.6) for every k, as printed.
TEST(Charge, EveryVariantIsNumpyTrapezoid) {
    const std::vector<double> t{0.0, 0.5, 1.7, 2.0, 3.25, 4.0};
    const std::vector<double> i{0.0, -1.5, -1.5, 2.0, 0.25, -3.0};
    const std::vector<double> numpy{0.0, -0.375, -2.175, -2.0999999999999996, -0.6937499999999996, -1.7249999999999996};
    const std::size_t n = t.size();
    const auto as = ecm::cumulative_charge_As(t.data(), i.data(), n);
    const auto abs_mAh = ecm::cumulative_charge_mAh(t.data(), i.data(), n);
    const auto signed_mAh = ecm::signed_charge_mAh(t.data(), i.data(), n);
    const auto at_mAh = ecm::compensated_charge_mAh(t.data(), i.data(), {0, 1, 2, 3, 4, 5});
    for (std::size_t k = 0; k < n; ++k) {
        const double tol = 1e-15 * (1.0 + std::fabs(numpy[k]));
        EXPECT_NEAR(as[k], numpy[k], tol);
        EXPECT_NEAR(signed_mAh[k] * 3.6, numpy[k], tol);
        EXPECT_NEAR(at_mAh[k] * 3.6, numpy[k], tol);
        EXPECT_NEAR(abs_mAh[k] * 3.6, std::fabs(numpy[k]), tol);
    }
}

// Many small steps on a constant current: the compensated sums stay at the
// closed form i * t to a few units in the last place.
TEST(Charge, CompensatedSumsHoldOverLongRecordings) {
    const std::size_t n = 200001;
    std::vector<double> t(n), i(n, -1.3);
    for (std::size_t k = 0; k < n; ++k) t[k] = 0.1 * static_cast<double>(k);
    const double want = -1.3 * t[n - 1] / 3.6;
    const auto signed_mAh = ecm::signed_charge_mAh(t.data(), i.data(), n);
    const auto at_mAh = ecm::compensated_charge_mAh(t.data(), i.data(), {n - 1});
    EXPECT_NEAR(signed_mAh[n - 1], want, 1e-13 * std::fabs(want));
    EXPECT_NEAR(at_mAh[0], want, 1e-13 * std::fabs(want));
}

}  // namespace
