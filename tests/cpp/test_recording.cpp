#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/extract/recording.hpp"

TEST(FindCutoff, FirstSampleStrictlyBelow) {
    const std::vector<double> v{4.1, 3.0, 2.999, 3.5, 2.0};
    EXPECT_EQ(ecm::find_cutoff(v.data(), v.size(), 3.0), std::optional<std::size_t>(2));  // equal does not cut
    EXPECT_EQ(ecm::find_cutoff(v.data(), v.size(), 4.2), std::optional<std::size_t>(0));
    EXPECT_EQ(ecm::find_cutoff(v.data(), v.size(), 2.0), std::nullopt);
    EXPECT_EQ(ecm::find_cutoff(v.data(), 0, 5.0), std::nullopt);
    const std::vector<double> w{3.5, NAN, 3.4};
    EXPECT_EQ(ecm::find_cutoff(w.data(), w.size(), 3.45), std::optional<std::size_t>(2));

    std::vector<double> big(5000, 3.7);
    big[1000] = 2.9;
    big[1001] = 3.8;  // rising back above the cut-off does not matter
    big[3000] = 2.0;
    EXPECT_EQ(ecm::find_cutoff(big.data(), big.size(), 3.0), std::optional<std::size_t>(1000));
}

TEST(CumulativeCharge, ConstantAndLinearCurrentsMatchClosedForm) {
    // -2 A for 1 s steps: 2000 mA * k s / 3600.
    const std::size_t n = 50;
    std::vector<double> t(n), i(n, -2.0);
    for (std::size_t k = 0; k < n; ++k) t[k] = static_cast<double>(k);
    auto c = ecm::cumulative_charge_mAh(t.data(), i.data(), n);
    ASSERT_EQ(c.size(), n);
    EXPECT_EQ(c[0], 0.0);
    for (std::size_t k = 0; k < n; ++k) EXPECT_NEAR(c[k], 2000.0 * k / 3600.0, 1e-12);

    // i(t) = -(0.5 + 0.1 t) on uneven times: the trapezoid rule is exact for a
    // linear integrand, so the charge is the integral |-(0.5 t + 0.05 t^2)| * 1000 / 3600.
    std::vector<double> tu{0, 0.3, 1.0, 1.1, 2.7, 5.0, 5.05, 9.0};
    std::vector<double> iu(tu.size());
    for (std::size_t k = 0; k < tu.size(); ++k) iu[k] = -(0.5 + 0.1 * tu[k]);
    c = ecm::cumulative_charge_mAh(tu.data(), iu.data(), tu.size());
    for (std::size_t k = 0; k < tu.size(); ++k)
        EXPECT_NEAR(c[k], (0.5 * tu[k] + 0.05 * tu[k] * tu[k]) * 1000.0 / 3600.0, 1e-12);
}

TEST(CumulativeCharge, AbsoluteValueOfTheRunningIntegral) {
    // +1 A for 2 s, then -1 A: the running integral rises to +2 A s and falls
    // through zero; the absolute value is of the running integral.
    const std::vector<double> t{0, 1, 2, 3, 4, 5, 6};
    const std::vector<double> i{1, 1, 1, -1, -1, -1, -1};
    const auto c = ecm::cumulative_charge_mAh(t.data(), i.data(), t.size());
    const std::vector<double> as{0, 1, 2, 2, 1, 0, -1};  // ampere-seconds
    for (std::size_t k = 0; k < t.size(); ++k) EXPECT_NEAR(c[k], std::fabs(as[k]) * 1000.0 / 3600.0, 1e-12);
    EXPECT_TRUE(ecm::cumulative_charge_mAh(t.data(), i.data(), 0).empty());
    EXPECT_EQ(ecm::cumulative_charge_mAh(t.data(), i.data(), 1), std::vector<double>{0.0});
}

TEST(CumulativeCharge, NeverDecreasesWhileTheCurrentKeepsItsSign) {
    std::vector<double> t, i;
    double tt = 0;
    for (int k = 0; k < 2000; ++k) {
        t.push_back(tt);
        tt += 0.5 + (k % 7) * 0.25;
        i.push_back((k / 100) % 2 ? -2.0 : -1e-4 * (k % 3));
    }
    const auto c = ecm::cumulative_charge_mAh(t.data(), i.data(), t.size());
    for (std::size_t k = 1; k < c.size(); ++k) EXPECT_GE(c[k], c[k - 1]);
}
