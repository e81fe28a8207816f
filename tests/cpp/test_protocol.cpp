// The step analysis on protocols built here: steps and their roles, the sign
// convention, rest offsets, the SOC from coulomb counting, and the errors that
// say what was found.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/extract/protocol.hpp"

namespace {

struct Rec {
    std::vector<double> t, i, v;
};

// (seconds, amperes charge positive, sampling) per step; the cell: OCV linear
// in SOC, R0 = 2 mOhm, one 10 s branch of 1 mOhm (exact for a held current).
Rec build(const std::vector<std::array<double, 3>>& steps, double soc0, double sign = 1.0, double rest_offset = 0.0) {
    Rec r;
    double t = 0.0, soc = soc0, u = 0.0;
    for (const auto& s : steps) {
        const double cur = s[1];
        for (double e = s[2]; e <= s[0] + 1e-9; e += s[2]) {
            const double h = s[2];
            soc += cur * h / (3600.0 * 5.0);
            u = u * std::exp(-h / 10.0) + 1e-3 * cur * (1 - std::exp(-h / 10.0));
            r.t.push_back(t + e);
            r.i.push_back(sign * (cur == 0.0 ? rest_offset : cur));
            r.v.push_back(3.4 + 0.7 * soc + 2e-3 * cur + u);
        }
        t += s[0];
    }
    return r;
}

ecm::ProtocolResult run(const Rec& r, int branches = 1) {
    ecm::RecordingColumns in;
    in.time = r.t.data();
    in.current = r.i.data();
    in.voltage = r.v.data();
    in.rows = r.t.size();
    ecm::ProtocolSettings s;
    s.vcut = 2.5;
    s.branches = branches;
    s.nominal_capacity_Ah = 5.0;
    ecm::PipelineObserver quiet;
    return ecm::process_protocol(in, s, quiet);
}

const std::vector<std::array<double, 3>> kHppc = {
    {1200, 2.0, 1}, {1800, 0, 60},                                             // charge, full-charge rest
    {20, -10, 0.5}, {30, 0, 1},    {10, 8, 0.1}, {700, -4, 1}, {1800, 0, 60},  // block 1
    {20, -10, 0.5}, {30, 0, 1},    {10, 8, 0.1}, {700, -4, 1}, {1800, 0, 60},  // block 2
};

TEST(Protocol, StepsRolesAndBothDirections) {
    const auto res = run(build(kHppc, 0.7));
    ASSERT_EQ(res.steps.size(), kHppc.size());
    EXPECT_EQ(res.steps[1].role, ecm::StepRole::FullChargeRest);
    EXPECT_EQ(res.steps[2].role, ecm::StepRole::Pulse);
    EXPECT_EQ(res.steps[3].role, ecm::StepRole::ShortRest);
    EXPECT_EQ(res.steps[5].role, ecm::StepRole::SocStep);
    EXPECT_TRUE(res.charge_positive);
    EXPECT_TRUE(res.full_charge_found);
    ASSERT_EQ(res.pulses.size(), 4u);
    for (const auto& p : res.pulses) {
        EXPECT_TRUE(p.fitted) << p.status;
        EXPECT_NEAR(p.r0, 2e-3, 2e-5);
        EXPECT_NEAR(p.r[0], 1e-3, 2e-5);
        EXPECT_NEAR(p.tau[0], 10.0, 0.2);
        EXPECT_LT(p.rms, 1e-5);
    }
    EXPECT_TRUE(res.pulses[0].discharge);
    EXPECT_FALSE(res.pulses[1].discharge);
    // SOC 1 at the end of the full-charge rest; a pulse's charge moves it by charge / capacity
    EXPECT_NEAR(res.soc[res.steps[1].last], 1.0, 1e-12);
    EXPECT_NEAR(res.soc[res.steps[2].last] - res.soc[res.steps[1].last], -10.0 * 20.0 / 3600.0 / 5.0, 1e-9);
}

TEST(Protocol, DischargePositiveExportsAndRestOffsets) {
    const auto res = run(build(kHppc, 0.7, -1.0, 0.01));
    EXPECT_FALSE(res.charge_positive);
    ASSERT_EQ(res.pulses.size(), 4u);
    EXPECT_TRUE(res.pulses[0].discharge);
    EXPECT_NEAR(res.pulses[0].current, -10.0, 1e-9);
    EXPECT_TRUE(res.pulses[0].fitted) << res.pulses[0].status;
}

TEST(Protocol, SaysWhatItFoundWhenNothingIsUsable) {
    try {
        run(build({{1800, 0, 60}, {2000, -2, 1}, {1800, 0, 60}, {2000, -2, 1}}, 0.9));
        FAIL() << "no error";
    } catch (const ecm::DataError& e) {
        EXPECT_NE(std::string(e.what()).find("0 pulses: all 2 loaded steps are longer than 600 s"), std::string::npos)
            << e.what();
    }
    EXPECT_THROW(run(build({{100, 0, 1}}, 0.9)), ecm::DataError);  // no current at all
    Rec back = build(kHppc, 0.7);
    back.t[50] = back.t[49] - 1.0;
    EXPECT_THROW(run(back), ecm::DataError);
}

}  // namespace
