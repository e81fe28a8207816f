// Interpolation through sampled points: the monotone cubic.
#include <gtest/gtest.h>

#include <vector>

#include "core/numeric/interp.hpp"

namespace {

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
