// The slow branch fitted on whole recordings: a cell whose slow branch is known
// in closed form (a constant-current load and a rest on a linear OCV), also
// from its settled rests alone, the start SOC from anchors, and the errors for
// input it cannot use.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/base/errors.hpp"
#include "core/extract/slow.hpp"

namespace {

ecm::SimModel fast_model() {
    ecm::SimModel m;
    m.ocv_soc = {0.0, 1.0};
    m.ocv_v = {3.0, 4.2};
    m.param_soc = {0.0};
    m.r0 = {0.02};
    m.r = {{0.01}};
    m.tau = {{5.0}};
    m.capacity_ah = 3.0;
    return m;
}

// Two loads of 2000 s at -1.5 A each followed by a 4000 s rest, 2 s sampling; the voltage of the fast
// model plus a slow branch (r, tau) in closed form (each sample's current held over the interval before it).
struct Cell {
    std::vector<double> t, i, v;
};

Cell cell(double r, double tau, double soc0) {
    Cell c;
    const double cur = -1.5, q = 3.0;
    double fast = 0.0, slow = 0.0, soc = soc0;
    for (int k = 0; k <= 6000; ++k) {
        const double t = 2.0 * k;
        const double phase = std::fmod(t, 6000.0);
        const double i = (phase > 0.0 && phase <= 2000.0) ? cur : 0.0;
        if (k) {
            const double h = 2.0;
            fast = fast * std::exp(-h / 5.0) + 0.01 * i * (1.0 - std::exp(-h / 5.0));
            slow = slow * std::exp(-h / tau) + r * i * (1.0 - std::exp(-h / tau));
            soc += i * h / (3600.0 * q);
        }
        c.t.push_back(t);
        c.i.push_back(i);
        c.v.push_back(3.0 + 1.2 * soc + 0.02 * i + fast + slow);
    }
    return c;
}

ecm::SlowSegment segment(const Cell& c, double soc0) {
    ecm::SlowSegment s;
    s.t = c.t.data();
    s.i = c.i.data();
    s.v = c.v.data();
    s.n = c.t.size();
    s.soc0 = soc0;
    return s;
}

}  // namespace

TEST(SlowBranch, RecoversAKnownSlowBranch) {
    // the cell holds each sample's current over the interval before it, the fit takes it linear between
    // samples: 2 s against 1000 s leaves a small difference only
    const Cell c = cell(0.012, 1000.0, 0.95);
    ecm::SlowSettings s;
    s.smooth = 0.01;
    const ecm::SlowFit f = ecm::fit_slow_branch({segment(c, 0.95)}, fast_model(), s);
    EXPECT_NEAR(f.tau, 1000.0, 30.0);
    // on the SOC the recording covers (0.95 down to 0.39); beyond it the smoothness carries the trend on
    for (std::size_t g = 0; g < f.grid.size(); ++g)
        if (f.grid[g] >= 0.4 && f.grid[g] <= 0.9) EXPECT_NEAR(f.r[g], 0.012, 0.0006) << f.grid[g];
    ASSERT_EQ(f.rms_after_mV.size(), 1u);
    EXPECT_LT(f.rms_after_mV[0], 0.1 * f.rms_before_mV[0]);
    EXPECT_EQ(f.soc0[0], 0.95);
}

TEST(SlowBranch, SettledRestsAloneRecoverIt) {
    // the loads scored for nothing: the rests after them, from 15 s on (three of the fast 5 s), hold it all
    const Cell c = cell(0.012, 1000.0, 0.95);
    ecm::SlowSegment seg = segment(c, 0.95);
    seg.load_weight = 0.0;
    ecm::SlowSettings s;
    s.smooth = 0.01;
    const ecm::SlowFit f = ecm::fit_slow_branch({seg}, fast_model(), s);
    EXPECT_NEAR(f.tau, 1000.0, 30.0);
    for (std::size_t g = 0; g < f.grid.size(); ++g)
        if (f.grid[g] >= 0.4 && f.grid[g] <= 0.9) EXPECT_NEAR(f.r[g], 0.012, 0.0006) << f.grid[g];
}

TEST(SlowBranch, StartSocFromAnchors) {
    const Cell c = cell(0.01, 800.0, 0.9);
    ecm::SlowSegment seg = segment(c, std::nan(""));
    // the SOC after the first load: 0.9 - 1.5 A * 2000 s / 3 Ah
    seg.anchor_t = {2500.0, 9000.0};
    seg.anchor_soc = {0.9 - 1.5 * 2000.0 / 3600.0 / 3.0, 0.9 - 2.0 * 1.5 * 2000.0 / 3600.0 / 3.0};
    ecm::SlowSettings s;
    s.tau = 800.0;
    const ecm::SlowFit f = ecm::fit_slow_branch({seg}, fast_model(), s);
    EXPECT_NEAR(f.soc0[0], 0.9, 2e-4);
    EXPECT_EQ(f.tau, 800.0);
}

TEST(SlowBranch, InputItCannotUseIsAnError) {
    const Cell c = cell(0.01, 800.0, 0.9);
    const ecm::SlowSettings s;
    EXPECT_THROW(ecm::fit_slow_branch({}, fast_model(), s), ecm::DataError);
    Cell bad = c;
    bad.v[10] = std::nan("");
    EXPECT_THROW(ecm::fit_slow_branch({segment(bad, 0.9)}, fast_model(), s), ecm::DataError);
    Cell back = c;
    back.t[20] = back.t[18];
    EXPECT_THROW(ecm::fit_slow_branch({segment(back, 0.9)}, fast_model(), s), ecm::DataError);
    EXPECT_THROW(ecm::fit_slow_branch({segment(c, std::nan(""))}, fast_model(), s), ecm::DataError);
    ecm::SlowSegment none = segment(c, 0.9);
    none.from = 1e9;
    EXPECT_THROW(ecm::fit_slow_branch({none}, fast_model(), s), ecm::DataError);
    ecm::SlowSegment heavy = segment(c, 0.9);
    heavy.load_weight = -0.5;
    EXPECT_THROW(ecm::fit_slow_branch({heavy}, fast_model(), s), ecm::DataError);
    ecm::SlowSettings wide = s;
    wide.grid_step = 0.0;
    EXPECT_THROW(ecm::fit_slow_branch({segment(c, 0.9)}, fast_model(), wide), ecm::DataError);
}
