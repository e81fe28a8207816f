#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/extract/pulses.hpp"

namespace {

// OCV of the synthetic cell, increasing in SOC.
double ocv_of(double soc) {
    return 3.0 + soc * (1.1 + soc * (-0.4 + soc * 0.5));
}

// A pulse-discharge recording at 1 s sampling: a first rest, then load pulses
// at `amp` A each followed by a rest; the last pulse is cut half-way, as the
// cut-off does. During a rest the voltage is the OCV at the SOC of that rest's
// end; under load it is 0.1 V lower.
struct Recording {
    std::vector<double> t, i, v, cum;
    std::vector<std::int64_t> rest_ends, load_ends;
    std::vector<double> soc_at_rest;  // from a direct trapezoid sum, time order
};

Recording make_recording(int first_rest, int pulse_len, int rest_len, int npulses, double amp = -2.0) {
    Recording r;
    std::vector<int> rest_of;  // -1 under load, else the rest number
    auto push = [&](double cur, int rest) {
        r.t.push_back(static_cast<double>(r.t.size()));
        r.i.push_back(cur);
        rest_of.push_back(rest);
    };
    for (int k = 0; k < first_rest; ++k) push(0.0, 0);
    r.rest_ends.push_back(first_rest - 1);
    for (int p = 0; p < npulses; ++p) {
        const bool last = p + 1 == npulses;
        const int len = last ? pulse_len / 2 : pulse_len;
        for (int k = 0; k < len; ++k) push(amp, -1);
        if (last) break;
        r.load_ends.push_back(static_cast<std::int64_t>(r.t.size()) - 1);
        for (int k = 0; k < rest_len; ++k) push(0.0, p + 1);
        r.rest_ends.push_back(static_cast<std::int64_t>(r.t.size()) - 1);
    }
    const std::size_t n = r.t.size();
    // Signed charge from sample 0 to k, mA s, summed directly.
    std::vector<double> q(n, 0.0);
    for (std::size_t k = 1; k < n; ++k) q[k] = q[k - 1] + (r.t[k] - r.t[k - 1]) * 1000.0 * (r.i[k] + r.i[k - 1]) / 2.0;
    r.cum.resize(n);
    for (std::size_t k = 0; k < n; ++k) r.cum[k] = std::fabs(q[k] / 3600.0);
    for (auto e : r.rest_ends) r.soc_at_rest.push_back(1.0 + (q[e - 1] / 3600.0) / r.cum[n - 1]);
    // Under load: 0.1 V below the OCV of the rest that follows (of SOC 0 for
    // the cut pulse), so the voltage falls through each pulse.
    r.v.resize(n);
    int next_rest = -1;
    for (std::size_t k = n; k-- > 0;) {
        if (rest_of[k] >= 0) next_rest = rest_of[k];
        const double ocv = ocv_of(next_rest >= 0 ? r.soc_at_rest[next_rest] : 0.0);
        r.v[k] = rest_of[k] >= 0 ? ocv : ocv - 0.1;
    }
    return r;
}

ecm::PulseAnalysis analyse(const Recording& r) {
    return ecm::analyse_pulses(r.t.data(), r.i.data(), r.v.data(), r.cum.data(), r.t.size());
}

std::string data_error_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const ecm::DataError& e) {
        return e.what();
    }
    return "no DataError";
}

}  // namespace

TEST(Histogram, EdgesAndBinsOnAnExactGrid) {
    // Range [0, 21]: the edges are the integers, so every integer value sits
    // on an edge and goes to the upper bin, and the maximum to the last bin.
    std::vector<double> x;
    for (int k = 0; k <= 21; ++k) x.push_back(k);
    x.push_back(20.5);
    x.push_back(0.25);
    const auto h = ecm::histogram21(x.data(), x.size());
    ASSERT_EQ(h.edges.size(), 22u);
    ASSERT_EQ(h.counts.size(), 21u);
    for (int k = 0; k <= 21; ++k) EXPECT_EQ(h.edges[k], k);
    for (int k = 0; k < 21; ++k) {
        const std::int64_t expect = 1 + (k == 0 ? 1 : 0) + (k == 20 ? 2 : 0);
        EXPECT_EQ(h.counts[k], expect) << k;
    }
}

TEST(Histogram, ConstantEmptyAndBadInput) {
    const std::vector<double> c{3.0, 3.0, 3.0};
    auto h = ecm::histogram21(c.data(), c.size());
    EXPECT_EQ(h.edges.front(), 2.5);
    EXPECT_EQ(h.edges.back(), 3.5);
    EXPECT_EQ(h.counts[10], 3);  // 3.0 is the centre of the middle bin

    h = ecm::histogram21(nullptr, 0);
    EXPECT_EQ(h.edges.front(), 0.0);
    EXPECT_EQ(h.edges.back(), 1.0);
    for (auto n : h.counts) EXPECT_EQ(n, 0);

    const std::vector<double> bad{1.0, NAN, 2.0};
    EXPECT_THROW(ecm::histogram21(bad.data(), bad.size()), ecm::DataError);
    const std::vector<double> inf{1.0, INFINITY};
    EXPECT_THROW(ecm::histogram21(inf.data(), inf.size()), ecm::DataError);
    // Two neighbouring doubles cannot be split into 21 bins of positive width.
    const std::vector<double> narrow{1.0, std::nextafter(1.0, 2.0)};
    EXPECT_THROW(ecm::histogram21(narrow.data(), narrow.size()), ecm::DataError);
}

TEST(LoadThreshold, RestsAtZeroPulsesAtMinusTwo) {
    const Recording r = make_recording(50, 30, 60, 6);
    const auto a = analyse(r);
    EXPECT_EQ(a.bins.front(), -2.0);
    EXPECT_EQ(a.bins.back(), 0.0);
    EXPECT_EQ(a.iload_ix, 0);
    EXPECT_NEAR(a.iload_th, (4.0 - 2.0 / 21.0) / 8.0, 1e-15);  // ~0.488 A
    EXPECT_NEAR(a.iload_th, 0.488, 5e-4);
}

TEST(LoadThreshold, TwoPulseLevelsTakeTheUpperLevel) {
    std::vector<double> i;
    for (int rep = 0; rep < 3; ++rep) {
        for (int k = 0; k < 20; ++k) i.push_back(0.0);
        for (int k = 0; k < 15; ++k) i.push_back(-1.0);
        for (int k = 0; k < 20; ++k) i.push_back(0.0);
        for (int k = 0; k < 15; ++k) i.push_back(-2.0);
    }
    const auto th = ecm::load_threshold(ecm::histogram21(i.data(), i.size()));
    EXPECT_EQ(th.iload_ix, 10);  // -1 A lies in bin 10 of [-2, 0]
    EXPECT_NEAR(th.iload_th, 0.25, 1e-12);
}

TEST(LoadThreshold, NoBinWithMoreThanTenSamplesIsAnError) {
    std::vector<double> i{0, 0, 0, -2, -2, -2, 0, 0, -2, -2, 0, 0};
    for (int k = 0; k < 30; ++k) i.push_back(0.0);  // the rest bin is the last one and does not count
    const std::string msg = data_error_message([&] { ecm::load_threshold(ecm::histogram21(i.data(), i.size())); });
    EXPECT_NE(msg.find("more than ten samples"), std::string::npos) << msg;
    EXPECT_NE(msg.find("no load pulses"), std::string::npos) << msg;
}

TEST(CurrentSteps, StrictComparisonsAndOneSampleSpike) {
    const std::vector<double> i{0.0, -0.5, 0.0, 0.0, -0.5000001, 0.0, 0.0};
    auto s = ecm::find_current_steps(i.data(), i.size(), 0.5);
    EXPECT_EQ(s.idx_rest, (std::vector<std::int64_t>{3}));  // a step of exactly 0.5 is not detected
    EXPECT_EQ(s.idx_load, (std::vector<std::int64_t>{4}));
    const std::vector<double> spike{0, 0, -2, 0, 0};
    s = ecm::find_current_steps(spike.data(), spike.size(), 0.488);
    EXPECT_EQ(s.idx_rest, (std::vector<std::int64_t>{1}));
    EXPECT_EQ(s.idx_load, (std::vector<std::int64_t>{2}));
}

TEST(AnalysePulses, IndicesSocAndBoundariesOfAUsualRecording) {
    const Recording r = make_recording(40, 25, 80, 7);
    const std::size_t n = r.t.size();
    const auto a = analyse(r);
    std::vector<std::int64_t> rest_then_n = r.rest_ends;
    rest_then_n.push_back(static_cast<std::int64_t>(n));
    EXPECT_EQ(a.idx_rest, rest_then_n);
    EXPECT_EQ(a.ind_slice, rest_then_n);
    EXPECT_EQ(a.ind_slice.back(), static_cast<std::int64_t>(n));
    EXPECT_EQ(a.idx_load, r.load_ends);
    ASSERT_EQ(a.soc.size(), r.rest_ends.size());
    for (std::size_t j = 0; j < a.soc.size(); ++j) {
        EXPECT_NEAR(a.soc[j], r.soc_at_rest[j], 1e-14);
        EXPECT_EQ(a.vsoc[j], r.v[r.rest_ends[j] - 2]);
    }
    EXPECT_EQ(a.soc.front(), 1.0);
    EXPECT_EQ(a.relaxpoint, static_cast<std::int64_t>(r.rest_ends.size()) - 1);
    EXPECT_EQ(a.socval, a.soc.back());
    EXPECT_NEAR(a.mAh, (a.socval - 1.0) * r.cum.back(), 1e-12);
    EXPECT_EQ(a.vsample, r.v[n - 2]);
}

TEST(AnalysePulses, SocGridAndExtrapolatedCubicOcv) {
    const Recording r = make_recording(40, 25, 80, 9);
    const auto a = analyse(r);
    ASSERT_EQ(a.SOC.size(), 201u);
    EXPECT_EQ(a.SOC.back(), 1.0);
    for (std::size_t k = 0; k < 201; ++k) EXPECT_EQ(a.SOC[k], k * 0.005);
    // The relaxed points lie on a cubic, which the not-a-knot spline
    // reproduces, also below the SOC of the last rest (no clamping).
    ASSERT_GT(a.soc.back(), 0.05);
    for (std::size_t k = 0; k < 201; ++k) EXPECT_NEAR(a.OCV_3rd[k], ocv_of(a.SOC[k]), 1e-10) << a.SOC[k];
    EXPECT_LT(a.OCV_3rd[0], a.vsoc.back() - 0.01);
}

TEST(AnalysePulses, OcvOverTimeOfAUsualRecording) {
    const Recording r = make_recording(40, 25, 80, 6);
    const std::size_t n = r.t.size();
    const auto a = analyse(r);
    const std::size_t nr = r.rest_ends.size();
    ASSERT_EQ(a.vsoc_time.size(), 2 * nr + 1);
    ASSERT_EQ(a.vsoc_val.size(), 2 * nr + 1);
    auto w = [&](std::size_t j) { return (r.v[r.rest_ends[j] - 3] + r.v[r.rest_ends[j] - 2]) / 2.0; };
    EXPECT_EQ(a.vsoc_time[0], 0.0);
    EXPECT_EQ(a.vsoc_val[0], w(0));
    for (std::size_t j = 0; j < nr; ++j) {
        EXPECT_EQ(a.vsoc_time[2 * j + 1], r.t[r.rest_ends[j]]);
        EXPECT_EQ(a.vsoc_val[2 * j + 1], w(j));
        if (j + 1 < nr) {
            EXPECT_EQ(a.vsoc_time[2 * j + 2], r.t[r.load_ends[j]]);
            EXPECT_EQ(a.vsoc_val[2 * j + 2], w(j + 1));
        }
    }
    EXPECT_EQ(a.vsoc_time.back(), r.t[n - 1]);
    EXPECT_EQ(a.vsoc_val.back(), r.v[n - 2]);
    // In a rest after a load the estimate is that rest's constant value, which
    // here equals the voltage; under load the overvoltage is negative.
    for (std::size_t j = 1; j < nr; ++j) {
        for (auto k = r.load_ends[j - 1] + 1; k <= r.rest_ends[j]; ++k) EXPECT_EQ(a.ocv_diff[k], 0.0) << k;
        EXPECT_LT(a.ocv_diff[r.load_ends[j - 1]], -0.09);
    }
    for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(a.ocv_diff[k], r.v[k] - a.vsoc_val_itrp[k]);
}

TEST(AnalysePulses, RestEndingAtSample100ReadsSamples97And98) {
    Recording r = make_recording(101, 25, 80, 5);
    ASSERT_EQ(r.rest_ends[0], 100);
    r.v[96] = 4.5;
    r.v[97] = 4.0;
    r.v[98] = 4.05;
    r.v[99] = 4.6;
    r.v[100] = 4.7;
    const auto a = analyse(r);
    EXPECT_EQ(a.vsoc[0], 4.05);
    EXPECT_EQ(a.vsoc_val[0], (4.0 + 4.05) / 2.0);
    EXPECT_EQ(a.vsoc_val[1], (4.0 + 4.05) / 2.0);
}

TEST(AnalysePulses, ClearErrorsForRecordingsItCannotUse) {
    // Three rests only.
    Recording r = make_recording(40, 25, 80, 3);
    std::string msg = data_error_message([&] { analyse(r); });
    EXPECT_NE(msg.find("found 3 rest ends"), std::string::npos) << msg;
    EXPECT_NE(msg.find("at least four"), std::string::npos) << msg;

    // The first rest ends at sample 1.
    r = make_recording(2, 25, 80, 6);
    msg = data_error_message([&] { analyse(r); });
    EXPECT_NE(msg.find("rest 1 ends at sample 1"), std::string::npos) << msg;

    // No charge at all.
    r = make_recording(40, 25, 80, 6);
    std::vector<double> zeros(r.t.size(), 0.0);
    msg =
        data_error_message([&] { ecm::analyse_pulses(r.t.data(), r.i.data(), r.v.data(), zeros.data(), r.t.size()); });
    EXPECT_NE(msg.find("total charge"), std::string::npos) << msg;
    std::vector<double> nan_total = r.cum;
    nan_total.back() = NAN;
    EXPECT_THROW(ecm::analyse_pulses(r.t.data(), r.i.data(), r.v.data(), nan_total.data(), r.t.size()), ecm::DataError);

    // A charge pulse between discharges: the SOC rises from one rest to the next.
    Recording c;
    auto seg = [&](double cur, int len) {
        for (int k = 0; k < len; ++k) {
            c.t.push_back(static_cast<double>(c.t.size()));
            c.i.push_back(cur);
            c.v.push_back(3.7);
        }
    };
    seg(0, 30);
    seg(-2, 20);
    seg(0, 30);
    seg(-2, 20);
    seg(0, 30);
    seg(2, 60);
    seg(0, 30);
    seg(-2, 20);
    seg(0, 30);
    seg(-2, 20);
    c.cum.assign(c.t.size(), 0.0);
    c.cum.back() = 2000.0 * 20.0 / 3600.0;
    msg = data_error_message([&] { analyse(c); });
    EXPECT_NE(msg.find("state of charge"), std::string::npos) << msg;
    EXPECT_NE(msg.find("rest 2 (ending at sample 79)"), std::string::npos) << msg;
    EXPECT_NE(msg.find("rest 3 (ending at sample 189)"), std::string::npos) << msg;
}
