// The step analysis's view of time and of the cycler's limits, on cases whose
// answers follow by hand: the shortest OCV rest a protocol implies, the gaps
// in a time axis, a current held at a voltage limit, a pulse of one sample,
// and cut-off voltages taken from the data.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/extract/protocol.hpp"

namespace {

using ecm::Step;
using ecm::StepKind;

// Steps of the given kinds and lengths (s), back to back from t = 0.
std::vector<Step> steps_of(const std::vector<std::pair<StepKind, double>>& kinds) {
    std::vector<Step> out;
    double t = 0.0;
    std::size_t k = 0;
    for (const auto& [kind, dur] : kinds) {
        Step s;
        s.kind = kind;
        s.t_begin = t;
        s.t_end = t + dur;
        s.first = k;
        s.last = k + 9;
        k += 10;
        t += dur;
        out.push_back(s);
    }
    return out;
}

constexpr StepKind R = StepKind::Rest, D = StepKind::Discharge, C = StepKind::Charge;

TEST(OcvRestOf, EightTenthsOfTheRestAfterTheSocSteps) {
    // three SOC steps (700 s > 600 s), each followed by a 1800 s rest: 0.8 * 1800 s
    const auto steps = steps_of({{R, 10},
                                 {D, 10},
                                 {R, 40},
                                 {C, 10},
                                 {R, 600},
                                 {D, 700},
                                 {R, 1800},
                                 {D, 10},
                                 {R, 600},
                                 {D, 700},
                                 {R, 1800},
                                 {D, 700},
                                 {R, 1800},
                                 {D, 10}});
    EXPECT_DOUBLE_EQ(ecm::ocv_rest_of(steps, 600.0), 1440.0);
    // the same steps with a longer limit on pulses hold no SOC step: the longest rests (at least half
    // the longest) decide, 1800 s three times
    EXPECT_DOUBLE_EQ(ecm::ocv_rest_of(steps, 1000.0), 1440.0);
}

TEST(OcvRestOf, MedianOfTheRestsAfterSocStepsOfUnequalLength) {
    // rests after the SOC steps: 1000, 3600, 3600, 3600 s -> median 3600, 0.8 of it 2880; three rests that long
    const auto steps =
        steps_of({{R, 5}, {D, 900}, {R, 1000}, {D, 900}, {R, 3600}, {D, 900}, {R, 3600}, {D, 900}, {R, 3600}, {D, 10}});
    EXPECT_DOUBLE_EQ(ecm::ocv_rest_of(steps, 600.0), 2880.0);
}

TEST(OcvRestOf, WithoutSocStepsTheLongestRestsDecide) {
    // rests 40, 300, 310, 320 s: those at least half the longest (300, 310, 320) -> median 310 -> 248 s
    const auto steps =
        steps_of({{R, 5}, {D, 10}, {R, 40}, {D, 10}, {R, 300}, {D, 10}, {R, 310}, {D, 10}, {R, 320}, {D, 10}});
    EXPECT_DOUBLE_EQ(ecm::ocv_rest_of(steps, 600.0), 248.0);
}

TEST(OcvRestOf, TooFewLongRestsForACurveFallBackTo600s) {
    // one rest after a SOC step (5000 s): 4000 s would leave a single OCV rest, so 600 s
    const auto steps = steps_of({{R, 5}, {D, 900}, {R, 5000}, {D, 10}, {R, 40}, {D, 10}});
    EXPECT_DOUBLE_EQ(ecm::ocv_rest_of(steps, 600.0), 600.0);
    // ... but a shorter typical rest stays itself: one rest after a SOC step of 200 s -> 160 s
    const auto short_rests = steps_of({{R, 5}, {D, 900}, {R, 200}, {D, 10}, {R, 40}, {D, 10}});
    EXPECT_DOUBLE_EQ(ecm::ocv_rest_of(short_rests, 600.0), 160.0);
}

TEST(OcvRestOf, NoRestBetweenTheEnds) {
    // the rests at either end do not count
    EXPECT_DOUBLE_EQ(ecm::ocv_rest_of(steps_of({{R, 3000}, {D, 10}, {C, 10}, {R, 3000}}), 600.0), 600.0);
    EXPECT_DOUBLE_EQ(ecm::ocv_rest_of({}, 600.0), 600.0);
}

std::vector<double> uniform(double dt, std::size_t n, double t0 = 0.0) {
    std::vector<double> t(n);
    for (std::size_t k = 0; k < n; ++k) t[k] = t0 + dt * static_cast<double>(k);
    return t;
}

TEST(TimeGaps, OneJumpInAnEvenAxis) {
    auto t = uniform(1.0, 100);
    for (std::size_t k = 40; k < t.size(); ++k) t[k] += 99.0;  // 100 s between samples 39 and 40
    EXPECT_EQ(ecm::time_gaps(t.data(), t.size()), std::vector<std::size_t>({40}));
}

TEST(TimeGaps, FiveTimesTheTypicalStepIsTheBoundary) {
    auto at = uniform(1.0, 60);
    for (std::size_t k = 30; k < at.size(); ++k) at[k] += 4.0;  // 5 s: not above five typical steps
    EXPECT_TRUE(ecm::time_gaps(at.data(), at.size()).empty());
    auto above = uniform(1.0, 60);
    for (std::size_t k = 30; k < above.size(); ++k) above[k] += 4.01;
    EXPECT_EQ(ecm::time_gaps(above.data(), above.size()), std::vector<std::size_t>({30}));
}

TEST(TimeGaps, ASamplingChangeIsNoGap) {
    // 0.1 s in a pulse, then 10 s in the rest after it: the larger typical step of either side decides
    std::vector<double> t = uniform(0.1, 50);
    for (int k = 1; k <= 50; ++k) t.push_back(t[49] + 10.0 * k);
    EXPECT_TRUE(ecm::time_gaps(t.data(), t.size()).empty());
    // ... and 60 s (six of the 10 s steps) after the 10 s rest is one
    t.push_back(t.back() + 60.01);
    for (int k = 1; k <= 20; ++k) t.push_back(t.back() + 10.0);
    EXPECT_EQ(ecm::time_gaps(t.data(), t.size()), std::vector<std::size_t>({100}));
}

TEST(TimeGaps, RepeatedStampsAndShortAxes) {
    auto t = uniform(1.0, 40);
    t[20] = t[19];  // a repeated time stamp: no interval, no gap, and no typical step of 0
    for (std::size_t k = 21; k < t.size(); ++k) t[k] = t[19] + static_cast<double>(k - 20);
    EXPECT_TRUE(ecm::time_gaps(t.data(), t.size()).empty());
    const double two[] = {0.0, 1000.0};
    EXPECT_TRUE(ecm::time_gaps(two, 2).empty());
}

// A recording of a cell with OCV linear in SOC and R0 only (3 mOhm), sampled at dt.
struct Rec {
    std::vector<double> t, i, v;
    void add(double dur, double cur, double dt, double& soc) {
        const double t0 = t.empty() ? 0.0 : t.back();
        for (double e = dt; e <= dur + 1e-9; e += dt) {
            soc += cur * dt / (3600.0 * 5.0);
            t.push_back(t0 + e);
            i.push_back(cur);
            v.push_back(3.4 + 0.7 * soc + 3e-3 * cur);
        }
    }
};

TEST(Segmentation, ACurrentHeldAtTheUpperLimitStaysOneStep) {
    // a charge pulse of 8 A that meets the upper limit after 2 s: the cycler lowers the current in
    // steps of its own (6, 4.5, 3.5 A, each held 0.5 s) while the voltage creeps up by 2 mV at each;
    // then a rest
    Rec r;
    double soc = 0.99;
    r.add(600, 0.0, 10, soc);
    r.add(2, 8.0, 0.1, soc);
    for (double level : {6.0, 4.5, 3.5}) {
        const double v = r.v.back() + 2e-3;  // up while the current falls
        for (int k = 0; k < 5; ++k) {
            r.t.push_back(r.t.back() + 0.1);
            r.i.push_back(level);
            r.v.push_back(v);
        }
    }
    r.add(600, 0.0, 10, soc);
    std::vector<double> cur = r.i;
    const auto sg = ecm::segment_steps(r.t.data(), cur.data(), r.v.data(), r.t.size());
    ASSERT_EQ(sg.steps.size(), 3u);
    EXPECT_TRUE(sg.charge_positive);
    EXPECT_EQ(sg.steps[1].kind, StepKind::Charge);
    EXPECT_EQ(sg.steps[1].last - sg.steps[1].first + 1, 35u);
    // a lower current that lets the voltage fall back is a step of its own (a two-level pulse)
    Rec two;
    soc = 0.5;
    two.add(600, 0.0, 10, soc);
    two.add(10, -8.0, 0.1, soc);
    two.add(10, -2.0, 0.1, soc);
    two.add(600, 0.0, 10, soc);
    std::vector<double> cur2 = two.i;
    EXPECT_EQ(ecm::segment_steps(two.t.data(), cur2.data(), two.v.data(), two.t.size()).steps.size(), 4u);
}

TEST(DataCutoffs, TheExtremesUnderLoadRoundedOutwards) {
    // rests at 3.5 .. 4.1 V; a discharge down to 2.7994 V, a charge up to 4.2003 V
    const std::vector<double> i = {0, -5, -5, 0, 0, 3, 3, 0};
    const std::vector<double> v = {3.9, 3.2, 2.7994, 3.5, 4.1, 4.15, 4.2003, 4.0};
    const auto c = ecm::data_cutoffs(i.data(), v.data(), i.size());
    EXPECT_DOUBLE_EQ(c.low, 2.799);
    EXPECT_DOUBLE_EQ(c.high, 4.201);
    EXPECT_NE(c.low_source.find("under load (row 3)"), std::string::npos) << c.low_source;
    EXPECT_NE(c.high_source.find("under load (row 7)"), std::string::npos) << c.high_source;
    // no charge: the highest voltage is the recording's (its first sample, the top of the OCV)
    const std::vector<double> i2 = {0, -5, -5, 0};
    const std::vector<double> v2 = {4.187, 3.9, 3.8, 4.0};
    const auto c2 = ecm::data_cutoffs(i2.data(), v2.data(), i2.size());
    EXPECT_DOUBLE_EQ(c2.high, 4.187);
    EXPECT_DOUBLE_EQ(c2.low, 3.8);
    EXPECT_NE(c2.high_source.find("of the recording (row 1)"), std::string::npos) << c2.high_source;
    const std::vector<double> flat = {3.7, 3.7};
    const std::vector<double> none = {0, 0};
    EXPECT_THROW(ecm::data_cutoffs(none.data(), flat.data(), 2), ecm::DataError);
}

TEST(ShortPulses, OneSampleGivesR0FromTheVoltageStep) {
    // full charge, then blocks of [10 s discharge pulse, 40 s rest, charge pulse, 600 s rest, SOC step,
    // 1800 s rest]; the last block's charge pulse lasts one 0.1 s sample
    Rec r;
    double soc = 0.7;
    r.add(1200, 2.0, 1, soc);
    r.add(1800, 0.0, 60, soc);
    for (int b = 0; b < 3; ++b) {
        r.add(10, -10.0, 0.1, soc);
        r.add(40, 0.0, 1, soc);
        r.add(b == 2 ? 0.1 : 10, 8.0, 0.1, soc);
        r.add(600, 0.0, 10, soc);
        r.add(700, -4.0, 1, soc);
        r.add(1800, 0.0, 60, soc);
    }
    ecm::RecordingColumns in;
    in.time = r.t.data();
    in.current = r.i.data();
    in.voltage = r.v.data();
    in.rows = r.t.size();
    ecm::ProtocolSettings s;
    s.vcut = 2.5;
    s.branches = 1;
    s.nominal_capacity_Ah = 5.0;
    ecm::PipelineObserver quiet;
    const auto res = ecm::process_protocol(in, s, quiet);
    ASSERT_EQ(res.pulses.size(), 6u);
    const auto& p = res.pulses.back();
    EXPECT_FALSE(p.discharge);
    EXPECT_TRUE(p.fitted) << p.status;
    EXPECT_NEAR(p.r0, 3e-3, 1e-5);  // the voltage step over the current step at its one sample
    ASSERT_EQ(p.determined.size(), 1u);
    EXPECT_FALSE(p.determined[0]);
    EXPECT_TRUE(std::isnan(p.r[0]));
    bool said = false;
    for (const auto& w : res.warnings) said = said || w.find("R0 from the voltage's step alone") != std::string::npos;
    EXPECT_TRUE(said);
}

}  // namespace
