// Fuzz target: a recording through the pulse detection -- the cut-off, the
// cumulative charge, the 21-bin histogram, the threshold, the current steps,
// the relaxed points, the OCV over time, analyse_pulses as a whole -- and the
// small statistics and output helpers that read the same numbers.
//
// Recordings are either built from a fuzzed pulse protocol (so the deep paths
// are reached) or taken as raw numbers (NaN, infinities, decreasing time).
// Invariants checked against independent computations:
//  - histogram: counts add up to n and every value lies in its bin as found by
//    a binary search over the returned edges (last bin closed);
//  - interp_linear stays within the range of the table values;
//  - analyse_pulses: SOC strictly falls, the indices lie inside the recording.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/base/stats.hpp"
#include "core/extract/outputs.hpp"
#include "core/extract/pulses.hpp"
#include "core/extract/recording.hpp"
#include "fuzz_common.hpp"

namespace {

struct Rec {
    std::vector<double> t, i, v;
};

Rec protocol(FuzzedDataProvider& p) {
    Rec r;
    const double amp = -std::pow(10.0, p.ConsumeFloatingPointInRange<double>(-3, 2));
    const double dt = std::pow(10.0, p.ConsumeFloatingPointInRange<double>(-3, 3));
    const double noise = p.ConsumeBool() ? 0.0 : std::fabs(amp) * p.ConsumeFloatingPointInRange<double>(0, 0.5);
    const int npulses = p.ConsumeIntegralInRange<int>(0, 12);
    double t = 0.0, soc = 1.0;
    auto push = [&](double cur) {
        // Occasional glitches: repeated or backwards time, a NaN or huge cell.
        double tt = t, cc = cur + noise * p.ConsumeFloatingPointInRange<double>(-1, 1);
        double vv = 3.0 + soc + 0.05 * cur;
        if (p.ConsumeIntegralInRange<int>(0, 63) == 0) {
            switch (p.ConsumeIntegralInRange<int>(0, 3)) {
                case 0:
                    tt = fuzz::any_double(p);
                    break;
                case 1:
                    cc = fuzz::any_double(p);
                    break;
                case 2:
                    vv = fuzz::any_double(p);
                    break;
                default:
                    t -= dt;
            }
        }
        r.t.push_back(tt);
        r.i.push_back(cc);
        r.v.push_back(vv);
        t += dt;
        soc += cur * dt / 36000.0;
    };
    auto segment = [&](double cur) {
        const int len = p.ConsumeIntegralInRange<int>(0, 40);
        for (int k = 0; k < len; ++k) push(cur);
    };
    segment(0.0);
    for (int k = 0; k < npulses; ++k) {
        segment(amp * p.ConsumeFloatingPointInRange<double>(0.5, 1.0));
        segment(0.0);
    }
    return r;
}

Rec raw(FuzzedDataProvider& p) {
    Rec r;
    const auto n = p.ConsumeIntegralInRange<std::size_t>(0, 300);
    for (std::size_t k = 0; k < n; ++k) {
        r.t.push_back(fuzz::mostly_in(p, 0, 1e4, 8));
        r.i.push_back(fuzz::mostly_in(p, -5, 1, 8));
        r.v.push_back(fuzz::mostly_in(p, 2, 4.5, 8));
    }
    if (p.ConsumeBool()) std::sort(r.t.begin(), r.t.end());
    return r;
}

void check_histogram(const std::vector<double>& x, std::size_t nbins) {
    ecm::Histogram h;
    if (!fuzz::expect_ok_or_documented([&] { h = ecm::histogram_equal_bins(x.data(), x.size(), nbins); })) return;
    FUZZ_CHECK(h.counts.size() == nbins && h.edges.size() == nbins + 1);
    for (std::size_t k = 0; k < nbins; ++k) FUZZ_CHECK(h.edges[k] < h.edges[k + 1]);
    std::vector<std::int64_t> expect(nbins, 0);
    for (double v : x) {
        FUZZ_CHECK(v >= h.edges.front() && v <= h.edges.back());
        auto b = static_cast<std::size_t>(std::upper_bound(h.edges.begin(), h.edges.end(), v) - h.edges.begin());
        b = std::min(b - 1, nbins - 1);
        ++expect[b];
    }
    FUZZ_CHECK(expect == h.counts);
}

void check_interp(FuzzedDataProvider& p) {
    const auto np = p.ConsumeIntegralInRange<std::size_t>(0, 12);
    std::vector<double> xp(np), fp(np);
    const bool sorted = p.ConsumeBool();
    for (std::size_t k = 0; k < np; ++k) {
        xp[k] = sorted ? p.ConsumeFloatingPointInRange<double>(-10, 10) : fuzz::any_double(p);
        fp[k] = sorted ? p.ConsumeFloatingPointInRange<double>(-10, 10) : fuzz::any_double(p);
    }
    if (sorted) std::sort(xp.begin(), xp.end());
    std::vector<double> x(p.ConsumeIntegralInRange<std::size_t>(0, 16));
    for (auto& v : x) v = p.ConsumeBool() ? p.ConsumeFloatingPointInRange<double>(-12, 12) : fuzz::any_double(p);
    std::vector<double> out(x.size());
    if (!fuzz::expect_ok_or_documented(
            [&] { ecm::interp_linear(x.data(), x.size(), xp.data(), fp.data(), np, out.data()); }))
        return;
    if (!sorted || np == 0) return;
    const double lo = *std::min_element(fp.begin(), fp.end()), hi = *std::max_element(fp.begin(), fp.end());
    for (std::size_t k = 0; k < x.size(); ++k) {
        if (std::isnan(x[k]) && np > 1)  // a single point holds its value even at a NaN x
            FUZZ_CHECK(std::isnan(out[k]));
        else
            FUZZ_CHECK(out[k] >= lo && out[k] <= hi);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider p(data, size);
    const int what = p.ConsumeIntegralInRange<int>(0, 7);
    if (what == 0) {
        check_interp(p);
        return 0;
    }
    Rec r = what <= 4 ? protocol(p) : raw(p);
    const std::size_t n = r.t.size();

    // The recording helpers.
    const double vcut = fuzz::mostly_in(p, 2.5, 4.0);
    const auto cut = ecm::find_cutoff(r.v.data(), n, vcut);
    if (cut) FUZZ_CHECK(*cut < n && r.v[*cut] < vcut);
    std::vector<double> cum = ecm::cumulative_charge_mAh(r.t.data(), r.i.data(), n);
    FUZZ_CHECK(cum.size() == n);
    if (n > 0) FUZZ_CHECK(cum[0] == 0.0);
    if (p.ConsumeIntegralInRange<int>(0, 15) == 0 && n > 0) cum[n - 1] = fuzz::any_double(p);

    (void)ecm::median(r.v);
    (void)ecm::mean(r.i.data(), n);
    (void)ecm::rms(r.v.data(), n);
    {
        std::vector<double> mean, med;
        ecm::column_mean_median({r.t, r.i, r.v, {}}, mean, med);
        FUZZ_CHECK(mean.size() == 4 && med.size() == 4);
        std::vector<double> a = r.i, b = r.v;
        b.resize(p.ConsumeBool() ? a.size() : a.size() / 2);
        (void)fuzz::expect_ok_or_documented([&] { (void)ecm::ocv_table_text(a, b); });
    }

    {
        // Bin counts: small ones, and now and then absurd ones that must be
        // refused rather than allocated (or wrapped around).
        std::size_t nbins = p.ConsumeIntegralInRange<std::size_t>(0, 40);
        if (p.ConsumeIntegralInRange<int>(0, 31) == 0) nbins = p.ConsumeIntegral<std::size_t>();
        check_histogram(r.i, nbins);
    }
    check_histogram(r.i, 21);

    // Steps and the pieces of analyse_pulses with fuzzed indices.
    const double th = fuzz::mostly_in(p, 0, 2);
    const ecm::CurrentSteps st = ecm::find_current_steps(r.i.data(), n, th);
    for (auto k : st.idx_rest) FUZZ_CHECK(k >= 0 && static_cast<std::size_t>(k) + 1 < n);
    for (auto k : st.idx_load) FUZZ_CHECK(k >= 0 && static_cast<std::size_t>(k) + 1 < n);
    std::vector<std::int64_t> rest = st.idx_rest, load = st.idx_load;
    if (p.ConsumeIntegralInRange<int>(0, 3) == 0) {
        for (int k = p.ConsumeIntegralInRange<int>(0, 4); k > 0; --k)
            rest.push_back(p.ConsumeIntegralInRange<std::int64_t>(-5, static_cast<std::int64_t>(n) + 5));
        for (int k = p.ConsumeIntegralInRange<int>(0, 4); k > 0; --k)
            load.push_back(p.ConsumeIntegralInRange<std::int64_t>(-5, static_cast<std::int64_t>(n) + 5));
    }
    const double total = n > 0 ? cum[n - 1] : 0.0;
    (void)fuzz::expect_ok_or_documented(
        [&] { (void)ecm::relaxed_points(r.t.data(), r.i.data(), r.v.data(), n, total, rest); });
    (void)fuzz::expect_ok_or_documented([&] { (void)ecm::ocv_over_time(r.t.data(), r.v.data(), n, rest, load); });

    ecm::PulseAnalysis a;
    if (!fuzz::expect_ok_or_documented(
            [&] { a = ecm::analyse_pulses(r.t.data(), r.i.data(), r.v.data(), cum.data(), n); }))
        return 0;
    FUZZ_CHECK(a.idx_rest.size() >= 5 && a.idx_rest.back() == static_cast<std::int64_t>(n));
    for (std::size_t j = 0; j + 1 < a.soc.size(); ++j) FUZZ_CHECK(a.soc[j + 1] < a.soc[j]);
    FUZZ_CHECK(a.SOC.size() == 201 && a.OCV_3rd.size() == 201);
    FUZZ_CHECK(a.vsoc_val_itrp.size() == n && a.ocv_diff.size() == n);
    FUZZ_CHECK(a.vsoc_time.size() == a.vsoc_val.size());
    for (auto k : a.ind_all) FUZZ_CHECK(k >= 0 && static_cast<std::size_t>(k) < n);
    return 0;
}
