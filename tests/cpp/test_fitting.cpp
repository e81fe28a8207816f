// The window fits recover the parameters that synthesised their data.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/circuit/circuit.hpp"
#include "core/extract/fitting.hpp"

namespace {

// One cycle at 1 s sampling: 5 s rest, a -2 A pulse of 180 s, then rest.
struct Window {
    std::vector<double> t, i, y;
};

Window pulse_window(std::size_t n, double r0, std::vector<double> r, std::vector<double> c, double noise = 0.0,
                    unsigned seed = 3) {
    Window w;
    w.t.resize(n);
    w.i.resize(n);
    w.y.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        w.t[k] = 1000.0 + static_cast<double>(k);
        w.i[k] = (k >= 5 && k < 185) ? -2.0 : 0.0;
    }
    ecm::simulate_rc(w.t.data(), w.i.data(), n, r0, r.data(), c.data(), r.size(), w.y.data(), nullptr);
    std::mt19937 gen(seed);
    std::normal_distribution<double> nd(0.0, noise > 0.0 ? noise : 1.0);
    if (noise > 0.0)
        for (auto& v : w.y) v += nd(gen);
    return w;
}

}  // namespace

TEST(FitModel1, RecoversOneBranchParametersFromNoiseFreeData) {
    const double r0 = 0.05, r1 = 0.02, c1 = 1500.0;  // tau 30 s
    const auto w = pulse_window(130, r0, {r1}, {c1});
    for (const std::array<double, 3> x0 :
         {std::array<double, 3>{0.5, 0.05, 100.0}, std::array<double, 3>{0.5, 0.05, 1000.0}}) {
        const auto res = ecm::fit_model1(w.t.data(), w.i.data(), w.y.data(), w.t.size(), x0, 0.1, 1e-11, 0, nullptr);
        EXPECT_TRUE(res.success) << res.message;
        EXPECT_NEAR(res.x[0], r0, 1e-6 * r0);
        EXPECT_NEAR(res.x[1], r1, 1e-5 * r1);
        EXPECT_NEAR(res.x[2], c1, 1e-5 * c1);
        EXPECT_LT(res.fun.lpNorm<Eigen::Infinity>(), 1e-9);
    }
}

TEST(FitModel1, NoisyDataAndParametersOnTheBounds) {
    const auto w = pulse_window(130, 0.05, {0.02}, {1500.0}, 1e-4);
    const auto res =
        ecm::fit_model1(w.t.data(), w.i.data(), w.y.data(), w.t.size(), {0.5, 0.05, 100.0}, 0.1, 1e-11, 0, nullptr);
    EXPECT_NEAR(res.x[0], 0.05, 0.01 * 0.05);
    EXPECT_NEAR(res.x[1], 0.02, 0.05 * 0.02);
    EXPECT_NEAR(res.x[1] * res.x[2], 30.0, 0.1 * 30.0);
    // every solution stays within [1e-4, 5e4]
    for (int j = 0; j < 3; ++j) {
        EXPECT_GE(res.x[j], ecm::kFitLowerBound);
        EXPECT_LE(res.x[j], ecm::kFitUpperBound);
    }
    // Data of a pure resistor: the branch resistance goes to its lower bound.
    const auto flat = pulse_window(130, 0.05, {}, {});
    const auto rb = ecm::fit_model1(flat.t.data(), flat.i.data(), flat.y.data(), flat.t.size(), {0.5, 0.05, 100.0}, 0.1,
                                    1e-11, 0, nullptr);
    EXPECT_NEAR(rb.x[0], 0.05, 1e-4);
    EXPECT_LT(rb.x[1], 1e-3);
}

TEST(FitModel2Branch, RecoversSecondBranchWithFirstHeldFixed) {
    const double r0 = 0.05, r1 = 0.02, c1 = 1500.0, r2 = 0.03, c2 = 20000.0;  // tau2 600 s
    const auto w = pulse_window(2000, r0, {r1, r2}, {c1, c2});
    const auto res = ecm::fit_model2_branch(w.t.data(), w.i.data(), w.y.data(), w.t.size(), r0, r1, c1, {1.0, 100.0},
                                            1.0, 1e-9, 0, nullptr);
    EXPECT_TRUE(res.success) << res.message;
    EXPECT_NEAR(res.x[0], r2, 1e-5 * r2);
    EXPECT_NEAR(res.x[1], c2, 1e-4 * c2);
    // residuals are data minus the full two-branch model
    std::vector<double> model(w.t.size());
    const double r[2] = {r1, res.x[0]}, c[2] = {c1, res.x[1]};
    ecm::simulate_rc(w.t.data(), w.i.data(), w.t.size(), r0, r, c, 2, model.data(), nullptr);
    for (std::size_t k = 0; k < w.t.size(); ++k) EXPECT_NEAR(res.fun[k], w.y[k] - model[k], 1e-13);
    ASSERT_EQ(res.jac.rows(), static_cast<Eigen::Index>(w.t.size()));
    ASSERT_EQ(res.jac.cols(), 2);
}

TEST(FitWindows, BadWindowsThrowDataErrorAndReportGoesToCallback) {
    const auto w = pulse_window(50, 0.05, {0.02}, {1500.0});
    EXPECT_THROW(ecm::fit_model1(w.t.data(), w.i.data(), w.y.data(), 1, {0.5, 0.05, 1.0}, 0.1, 1e-8, 0, nullptr),
                 ecm::DataError);
    EXPECT_THROW(ecm::fit_model2_branch(w.t.data(), w.i.data(), w.y.data(), 0, 0.05, 0.02, 1500.0, {1.0, 100.0}, 1.0,
                                        1e-9, 0, nullptr),
                 ecm::DataError);
    auto bad = w;
    bad.y[7] = std::nan("");
    EXPECT_THROW(ecm::fit_model1(bad.t.data(), bad.i.data(), bad.y.data(), bad.t.size(), {0.5, 0.05, 1.0}, 0.1, 1e-8, 0,
                                 nullptr),
                 ecm::DataError);
    bad = w;
    bad.t[9] = bad.t[8] - 1.0;
    EXPECT_THROW(ecm::fit_model2_branch(bad.t.data(), bad.i.data(), bad.y.data(), bad.t.size(), 0.05, 0.02, 1500.0,
                                        {1.0, 100.0}, 1.0, 1e-9, 0, nullptr),
                 ecm::DataError);

    std::string out;
    const auto res = ecm::fit_model1(w.t.data(), w.i.data(), w.y.data(), w.t.size(), {0.5, 0.05, 1.0}, 0.1, 1e-8, 2,
                                     [&](const std::string& s) { out += s; });
    EXPECT_EQ(out.rfind("   Iteration     Total nfev", 0), 0u);
    EXPECT_NE(out.find(res.message + "\nFunction evaluations " + std::to_string(res.nfev) + ", initial cost "),
              std::string::npos);
}
