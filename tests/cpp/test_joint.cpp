// The joint fit of one cycle on windows simulated exactly: every parameter
// recovered, the initial branch voltages accounted for, the reduced window
// equivalent to the full one, and the determinability flags.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "core/base/errors.hpp"
#include "core/circuit/circuit.hpp"
#include "core/extract/joint.hpp"

namespace {

// 300 s of rest, a 60 s pulse at -2 A, `rest` s of rest, 1 s sampling. The
// open-circuit voltage falls by 20 mV in proportion to the charge; branch
// voltages u0 are left over from before and decay with their own tau.
struct Cycle {
    std::vector<double> t, i, y;
    std::size_t pulse_first = 0, pulse_last = 0;
};

Cycle make_cycle(double rest, const std::vector<double>& u0 = {}) {
    Cycle c;
    const double r0 = 0.04, r[2] = {0.02, 0.025}, tau[2] = {30.0, 400.0};
    const int pre = 300, pulse = 60;
    for (int k = 0; k < pre + pulse + static_cast<int>(rest); ++k) {
        c.t.push_back(k);
        c.i.push_back(k >= pre && k < pre + pulse ? -2.0 : 0.0);
    }
    c.pulse_first = pre;
    c.pulse_last = pre + pulse - 1;
    const std::size_t n = c.t.size();
    std::vector<double> cap = {tau[0] / r[0], tau[1] / r[1]}, rr = {r[0], r[1]};
    c.y.assign(n, 0.0);
    ecm::simulate_rc(c.t.data(), c.i.data(), n, r0, rr.data(), cap.data(), 2, c.y.data(), nullptr);
    double q = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        if (k) q += 0.5 * (c.i[k] + c.i[k - 1]);
        double v = 3.7 + 20e-3 * q / 120.0;  // -20 mV over the pulse's 120 As
        for (std::size_t b = 0; b < u0.size(); ++b) v += u0[b] * std::exp(-c.t[k] / tau[b]);
        c.y[k] += v;
    }
    return c;
}

ecm::JointWindow window(const Cycle& c) {
    ecm::JointWindow w;
    w.t = c.t.data();
    w.i = c.i.data();
    w.y = c.y.data();
    w.n = c.t.size();
    w.pulse_last = c.pulse_last;
    return w;
}

TEST(JointFit, RecoversBothBranchesAndTheOcvLevels) {
    Cycle c = make_cycle(1800.0);
    ecm::JointFit f = ecm::fit_cycle_joint(window(c), 2);
    EXPECT_NEAR(f.r0, 0.04, 0.04 * 1e-4);
    EXPECT_NEAR(f.r[0], 0.02, 0.02 * 1e-3);
    EXPECT_NEAR(f.tau[0], 30.0, 30.0 * 1e-3);
    EXPECT_NEAR(f.r[1], 0.025, 0.025 * 1e-3);
    EXPECT_NEAR(f.tau[1], 400.0, 400.0 * 1e-3);
    EXPECT_NEAR(f.ocv_before, 3.7, 1e-6);
    EXPECT_NEAR(f.ocv_after, 3.7 - 20e-3, 1e-6);
    EXPECT_LT(f.rms, 1e-6);
    EXPECT_TRUE(f.determined[0] && f.determined[1]);
    EXPECT_TRUE(f.at_bound.empty());
    ASSERT_EQ(f.model.size(), c.t.size());
}

TEST(JointFit, InitialBranchVoltagesAndTheReducedWindow) {
    const std::vector<double> u0 = {-1e-3, -4e-3};
    Cycle c = make_cycle(1800.0, u0);
    ecm::JointWindow w = window(c);
    w.u0 = u0;
    ecm::ReducedWindow red = ecm::reduce_window(w, c.pulse_first);
    // every sample stands in exactly one bin; samples next to the steps stay single
    EXPECT_DOUBLE_EQ(std::accumulate(red.weight.begin(), red.weight.end(), 0.0), static_cast<double>(c.t.size()));
    EXPECT_LT(red.t.size(), c.t.size() / 5);
    EXPECT_EQ(red.t.front(), c.t.front());
    EXPECT_EQ(red.t[red.pulse_last], c.t[c.pulse_last]);
    EXPECT_EQ(red.weight[red.pulse_last], 1.0);
    ecm::JointWindow rw = red.window();
    rw.u0 = u0;
    ecm::JointFit f = ecm::fit_cycle_joint(w, 2, {}, &rw);
    EXPECT_NEAR(f.tau[0], 30.0, 30.0 * 2e-3);
    EXPECT_NEAR(f.tau[1], 400.0, 400.0 * 2e-3);
    EXPECT_NEAR(f.r[1], 0.025, 0.025 * 2e-3);
    EXPECT_NEAR(f.ocv_after, 3.7 - 20e-3, 2e-6);
    // a warm start from nearby time constants lands on the same answer
    ecm::JointFit g = ecm::fit_cycle_joint(w, 2, {25.0, 500.0}, &rw);
    EXPECT_NEAR(g.tau[1], f.tau[1], f.tau[1] * 1e-4);
}

TEST(JointFit, TheDataDecideWhatIsDetermined) {
    // tau2 = 400 s behind a 600 s rest: longer than half the rest, but the relaxation pins it
    Cycle c = make_cycle(600.0);
    ecm::JointFit f = ecm::fit_cycle_joint(window(c), 2);
    EXPECT_TRUE(f.determined[0]);
    EXPECT_TRUE(f.determined[1]);
    EXPECT_NEAR(f.tau[1], 400.0, 400.0 * 1e-2);
    EXPECT_LT(f.tau_se[1], 0.25 * f.tau[1]);
    EXPECT_LT(f.r0_se, 1e-3 * f.r0);
    // bad requests: three branches, a window too short
    Cycle one = make_cycle(1800.0);
    EXPECT_THROW(ecm::fit_cycle_joint(window(one), 3), ecm::DataError);
    ecm::JointWindow tiny = window(one);
    tiny.n = 5;
    EXPECT_THROW(ecm::fit_cycle_joint(tiny, 1), ecm::DataError);
}

}  // namespace
