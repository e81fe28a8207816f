// Interpolation through sampled points: linear (numpy.interp) and the monotone cubic.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/base/errors.hpp"
#include "core/numeric/interp.hpp"

namespace {

TEST(InterpLinear, MatchesHandValues) {
    const std::vector<double> xp{0.0, 1.0, 1.0, 3.0};
    const std::vector<double> fp{2.0, 4.0, 10.0, 6.0};
    const std::vector<double> x{-1.0, 0.0, 0.5, 1.0, 2.0, 3.0, 5.0};
    std::vector<double> out(x.size());
    ecm::interp_linear(x.data(), x.size(), xp.data(), fp.data(), xp.size(), out.data());
    // At the repeated point the value is that of the last of the equal xp.
    const std::vector<double> expect{2.0, 2.0, 3.0, 10.0, 8.0, 6.0, 6.0};
    EXPECT_EQ(out, expect);
    const double one = 7.0, at = 1.0;
    const std::vector<double> q{-1.0, 1.0, 2.0};
    std::vector<double> o1(3);
    ecm::interp_linear(q.data(), q.size(), &at, &one, 1, o1.data());
    EXPECT_EQ(o1, (std::vector<double>{7.0, 7.0, 7.0}));
    EXPECT_THROW(ecm::interp_linear(q.data(), q.size(), &at, &one, 0, o1.data()), ecm::DataError);
}

TEST(Interp, LinearInsideFlatOutside) {
    std::vector<double> xp = {3.0, 3.6, 4.2}, fp = {0.0, 0.5, 1.0};
    auto y = ecm::interp_linear(std::vector<double>{2.5, 3.0, 3.3, 3.6, 4.0, 4.2, 5.0, std::nan("")}, xp, fp);
    EXPECT_EQ(y[0], 0.0);
    EXPECT_EQ(y[1], 0.0);
    EXPECT_NEAR(y[2], 0.25, 1e-15);
    EXPECT_EQ(y[3], 0.5);
    EXPECT_NEAR(y[4], 0.5 + 0.4 / 0.6 * 0.5, 1e-15);
    EXPECT_EQ(y[5], 1.0);
    EXPECT_EQ(y[6], 1.0);
    EXPECT_TRUE(std::isnan(y[7]));
    EXPECT_THROW(ecm::interp_linear({1.0}, {1.0, 2.0}, {1.0}), ecm::DataError);
    EXPECT_THROW(ecm::interp_linear({1.0}, {}, {}), ecm::DataError);
}

TEST(Pchip, MonotoneExactForLinesFlatWhereTheDataIs) {
    const std::vector<double> x = {0, 0.1, 0.5, 0.6, 1.0}, y = {3.0, 3.5, 3.6, 3.9, 4.2};
    std::vector<double> at;
    for (int k = 0; k <= 200; ++k) at.push_back(k / 200.0);
    const auto v = ecm::pchip(x, y, at);
    for (std::size_t k = 1; k < v.size(); ++k) EXPECT_GE(v[k], v[k - 1]);
    for (std::size_t k = 0; k < x.size(); ++k) EXPECT_DOUBLE_EQ(ecm::pchip(x, y, {x[k]})[0], y[k]);
    const auto lin = ecm::pchip({0, 1, 3}, {1, 2, 4}, {0.5, 2.0, 4.0, -1.0});
    EXPECT_NEAR(lin[0], 1.5, 1e-12);
    EXPECT_NEAR(lin[1], 3.0, 1e-12);
    EXPECT_NEAR(lin[2], 5.0, 1e-12);  // linear beyond the ends
    EXPECT_NEAR(lin[3], 0.0, 1e-12);
    // a flat stretch stays flat (no overshoot)
    const auto flat = ecm::pchip({0, 1, 2, 3}, {0, 1, 1, 2}, {1.5});
    EXPECT_DOUBLE_EQ(flat[0], 1.0);
}

}  // namespace
