// Interpolation through sampled points: linear (numpy.interp) and the monotone cubic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
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

// Values from numpy.interp (NumPy 2.4.6), pasted as printed: the shortest
// decimal that reads back to the same double, so the comparison is exact.
TEST(InterpLinear, EqualsNumpyBitForBit) {
    const std::vector<double> xp{0.0, 0.1, 0.35, 0.35, 0.8, 1.0};
    const std::vector<double> fp{3.0, 3.4, 3.55, 3.6, 3.9, 4.2};
    const std::vector<double> x{-0.5, 0.0, 0.05, 0.1, 0.2, 0.35, 0.5, 0.7999999999999999, 0.8, 0.93, 1.0, 1.5};
    const std::vector<double> numpy{3.0, 3.0, 3.2, 3.4, 3.46, 3.6, 3.7, 3.9, 3.9, 4.095, 4.2, 4.2};
    EXPECT_EQ(ecm::interp_linear(x, xp, fp), numpy);
    std::vector<double> out(x.size());
    ecm::interp_linear(x.data(), x.size(), xp.data(), fp.data(), xp.size(), out.data());
    EXPECT_EQ(out, numpy);
    // One x at a time, in reverse order: the interval hint must not change a value.
    std::size_t hint = xp.size();
    for (std::size_t k = x.size(); k-- > 0;)
        EXPECT_EQ(ecm::interp_linear_at(x[k], xp.data(), fp.data(), xp.size(), hint), numpy[k]) << "x = " << x[k];
}

TEST(InterpLinear, EqualsNumpyOnRandomPoints) {
    // numpy.random.default_rng(3): 7 sorted points, 8 random x and two of the points.
    const std::vector<double> xp{2.654168500858524, 2.6694315560327184, 2.9262589118729796, 3.279628492425653,
                                 3.362292336653501, 3.547891664915862,  3.9422940373715143};
    const std::vector<double> fp{0.15973891463707857, 0.7345771514092145, 0.11367201992140341, 0.39122819049566204,
                                 0.5167401826213637,  0.4306280204141778, 0.5867985714381407};
    const std::vector<double> x{3.8756755745843208, 4.312534509672197,  2.968402327497583,  3.6970944141596505,
                                3.792431993340311,  2.9854414980249744, 2.4029801670176725, 4.346920549532825,
                                2.6694315560327184, 3.362292336653501};
    const std::vector<double> numpy{0.5604198202732622, 0.5867985714381407,  0.14677380824565542, 0.48970747122633707,
                                    0.5274580612677512, 0.16015732279138345, 0.15973891463707857, 0.5867985714381407,
                                    0.7345771514092145, 0.5167401826213637};
    EXPECT_EQ(ecm::interp_linear(x, xp, fp), numpy);
    std::vector<double> out(x.size());
    ecm::interp_linear(x.data(), x.size(), xp.data(), fp.data(), xp.size(), out.data());
    EXPECT_EQ(out, numpy);
}

TEST(InterpLinear, NanAndInfiniteValuesAsNumpy) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    // A NaN x: NaN, except with a single point (numpy.interp gives fp[0] there).
    const std::vector<double> two_x{0.0, 1.0}, two_f{1.0, 2.0};
    EXPECT_TRUE(std::isnan(ecm::interp_linear({nan}, two_x, two_f)[0]));
    EXPECT_EQ(ecm::interp_linear({nan, -1.0, 2.0}, {1.0}, {7.0}), (std::vector<double>{7.0, 7.0, 7.0}));
    const double one_x = 1.0, one_f = 7.0;
    std::size_t hint = 0;
    EXPECT_EQ(ecm::interp_linear_at(nan, &one_x, &one_f, 1, hint), 7.0);
    // (inf - inf) / 1 is NaN; numpy falls back to the equal end values: inf.
    EXPECT_EQ(ecm::interp_linear({0.5, 0.0, 1.0}, {0.0, 1.0}, {inf, inf}), (std::vector<double>{inf, inf, inf}));
    EXPECT_EQ(ecm::interp_linear({0.25}, {0.0, 1.0}, {0.0, inf}), (std::vector<double>{inf}));
    EXPECT_THROW(ecm::interp_linear_at(0.0, &one_x, &one_f, 0, hint), ecm::DataError);
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
