// Inputs found by the fuzz targets (tests/fuzz) that once broke the core,
// kept as unit tests. Several of them were reads past the end of a table,
// which only a sanitizer build sees for certain (tools/sanitize.sh runs this
// file under AddressSanitizer); without one they still check that the call
// returns sensible values. Every table here is a vector of exactly its own
// length so that any read past it lands outside the allocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/base/errors.hpp"
#include "core/build/collect.hpp"
#include "core/build/tables.hpp"
#include "core/extract/fitting.hpp"
#include "core/extract/pulses.hpp"
#include "core/extract/recording.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Every output is NaN or lies between the smallest and largest table value.
void expect_within_table(const std::vector<double>& out, const std::vector<double>& fp) {
    const double lo = *std::min_element(fp.begin(), fp.end());
    const double hi = *std::max_element(fp.begin(), fp.end());
    for (double v : out) {
        if (!std::isnan(v)) {
            EXPECT_GE(v, lo);
            EXPECT_LE(v, hi);
        }
    }
}

std::vector<double> interp(const std::vector<double>& x, const std::vector<double>& xp, const std::vector<double>& fp) {
    std::vector<double> out(x.size(), -1.0);
    ecm::interp_linear(x.data(), x.size(), xp.data(), fp.data(), xp.size(), out.data());
    return out;
}

// A pulse discharge at 1 s sampling: a first rest, then pulses of -2 A each
// followed by a rest. The voltage falls with the charge taken out and sags
// 0.1 V under load.
struct Recording {
    std::vector<double> t, i, v, cum;
};
Recording pulse_recording(int npulses) {
    Recording r;
    double q = 0.0;
    auto push = [&](double cur) {
        if (!r.t.empty()) q += cur * 1.0;
        r.t.push_back(static_cast<double>(r.t.size()));
        r.i.push_back(cur);
        r.v.push_back(4.1 + q / 200.0 + (cur < 0 ? -0.1 : 0.0));
    };
    for (int k = 0; k < 10; ++k) push(0.0);
    for (int p = 0; p < npulses; ++p) {
        for (int k = 0; k < 10; ++k) push(-2.0);
        for (int k = 0; k < 10; ++k) push(0.0);
    }
    r.cum = ecm::cumulative_charge_mAh(r.t.data(), r.i.data(), r.t.size());
    return r;
}

}  // namespace

// interp_linear looked the interval up with a binary search that assumes an
// ordered table; with a NaN in the table it returned the index of the last
// point and read one element past both tables.
TEST(FuzzRegressionInterp, NanInTheTableNeverReadsPastIt) {
    const std::vector<double> x{-1.0, 0.0, 0.25, 0.5, 1.0, 2.0, kNaN};
    const std::vector<double> fp2{1.0, 2.0};
    expect_within_table(interp(x, {0.0, kNaN}, fp2), fp2);
    expect_within_table(interp(x, {kNaN, 1.0}, fp2), fp2);
    const std::vector<double> fp4{1.0, 2.0, 3.0, 4.0};
    expect_within_table(interp(x, {0.0, 0.5, kNaN, 1.0}, fp4), fp4);
    expect_within_table(interp(x, {0.0, 0.5, 1.0, kNaN}, fp4), fp4);
}

// A single table point that is NaN passed neither the "below the first"
// nor the "from the last point on" test and went on to interpolate between
// point 0 and the non-existent point 1.
TEST(FuzzRegressionInterp, SingleNanPointGivesItsValueEverywhere) {
    const std::vector<double> x{-1e300, -1.0, 0.0, 3.5, 1e300};
    const std::vector<double> out = interp(x, {kNaN}, {7.0});
    for (double v : out) EXPECT_EQ(v, 7.0);
    EXPECT_EQ(interp({kNaN}, {kNaN}, {7.0})[0], 7.0);  // numpy.interp too: fp[0] for a NaN x
}

// Out-of-order tables are outside the contract but must stay in bounds and,
// for finite values, give finite answers.
TEST(FuzzRegressionInterp, UnorderedTableStaysInBounds) {
    const std::vector<double> xp{0.0, 5.0, 1.0, 3.0, 2.0};
    const std::vector<double> fp{0.0, 1.0, 2.0, 3.0, 4.0};
    std::vector<double> x;
    for (int k = -4; k <= 24; ++k) x.push_back(0.125 * k);
    for (double v : interp(x, xp, fp)) EXPECT_TRUE(std::isfinite(v));
}

// The same reads were reachable through analyse_pulses: the OCV-over-time
// table takes its abscissae from the time stamps, so a NaN time stamp put a
// NaN into the table.
TEST(FuzzRegressionPulses, NanTimeStampsStayInBounds) {
    const Recording good = pulse_recording(6);
    const std::size_t n = good.t.size();
    const ecm::PulseAnalysis ref = ecm::analyse_pulses(good.t.data(), good.i.data(), good.v.data(), good.cum.data(), n);
    ASSERT_EQ(ref.idx_rest.size(), 7u);  // six rest ends, then n

    // Rest ends at 9, 29, ..., 109, load ends at 19, 39, ..., 119. The time
    // of the last load end is the last abscissa of the OCV-over-time table
    // (the closing time is cut off to match the value count); the others
    // land in the table's middle, in the charge integral, or nowhere.
    ASSERT_EQ(n, 130u);
    ASSERT_EQ(ref.ind_all.back(), 119);
    for (std::size_t where : {std::size_t{119}, std::size_t{99}, std::size_t{115}, n - 1}) {
        Recording r = good;
        r.t[where] = kNaN;
        ecm::PulseAnalysis a;
        try {
            a = ecm::analyse_pulses(r.t.data(), r.i.data(), r.v.data(), r.cum.data(), n);
        } catch (const ecm::DataError&) {
            continue;  // refusing the recording is fine too
        }
        ASSERT_EQ(a.vsoc_val_itrp.size(), n);
        ASSERT_EQ(a.ocv_diff.size(), n);
        // Samples whose time is finite and lies between two finite table
        // times keep a voltage inside the range of the table's voltages.
        expect_within_table(a.vsoc_val_itrp, a.vsoc_val);
    }
}

// The solver's Huber cost squares f_scale and (f / f_scale). For f_scale
// beyond about 1e+-154 this overflows or underflows: the cost comes out
// infinite (reported as converged at the start vector) or NaN (the whole
// evaluation budget spent without a step), or the rescaled Jacobian is
// reported as "not finite". Such scales are now refused up front.
TEST(FuzzRegressionSolver, ExtremeFScaleIsRefusedAndTheRangeEndsStayFinite) {
    const std::vector<double> t{0, 1, 2, 3, 4, 5}, i{0, -1, -1, -1, -1, 0};
    const std::vector<double> y{0, -0.01, -0.012, -0.013, -0.0135, -0.002};
    const ecm::LsqResult ref =
        ecm::fit_model1(t.data(), i.data(), y.data(), t.size(), {0.01, 0.01, 100.0}, 1.0, 1e-8, 0, nullptr);
    for (double fs : {1e-160, 1e-300, 5e-324, 1e160, 1e300, std::numeric_limits<double>::max(), 0.0, -1.0}) {
        SCOPED_TRACE(fs);
        EXPECT_THROW(ecm::fit_model1(t.data(), i.data(), y.data(), t.size(), {0.01, 0.01, 100.0}, fs, 1e-8, 0, nullptr),
                     std::invalid_argument);
    }
    for (double fs : {1e-150, 1e150}) {
        SCOPED_TRACE(fs);
        ecm::LsqResult r =
            ecm::fit_model1(t.data(), i.data(), y.data(), t.size(), {0.01, 0.01, 100.0}, fs, 1e-8, 0, nullptr);
        EXPECT_TRUE(std::isfinite(r.cost));
        EXPECT_TRUE(std::isfinite(r.initial_cost));
        // With f_scale 1e150 every residual is far inside the quadratic zone: a least-squares fit.
        if (fs > 1.0) EXPECT_NEAR(r.cost, ref.cost, 1e-6 * ref.initial_cost);
    }
}

// Absurd bin counts escaped as std::length_error (nbins + 1 edges wrap
// around to zero for the largest count) or as an allocation failure, which
// AddressSanitizer reports as a crash, instead of a DataError.
TEST(FuzzRegressionHistogram, AbsurdBinCountsAreRefused) {
    const std::vector<double> x{0.0, 1.0, 2.0};
    for (std::size_t nbins : {std::numeric_limits<std::size_t>::max(), std::numeric_limits<std::size_t>::max() / 2,
                              (std::size_t{1} << 24) + 1, std::size_t{1} << 40}) {
        SCOPED_TRACE(nbins);
        EXPECT_THROW(ecm::histogram_equal_bins(x.data(), x.size(), nbins), ecm::DataError);
    }
    // A large supported count still works and puts each value in its bin.
    const std::size_t big = std::size_t{1} << 20;
    const ecm::Histogram h = ecm::histogram_equal_bins(x.data(), x.size(), big);
    ASSERT_EQ(h.counts.size(), big);
    EXPECT_EQ(h.counts.front(), 1);
    EXPECT_EQ(h.counts[big / 2], 1);
    EXPECT_EQ(h.counts.back(), 1);
}

// derive_tables indexed the OCV columns by the position of a temperature in
// ocv_temps, and read one column per entry of ocv_temps, without checking
// that the two lists have the same length.
TEST(FuzzRegressionTables, OcvColumnsMustMatchTheirTemperatures) {
    ecm::gen::Collection c;
    c.temperatures = {10.0, 25.0};
    c.capacities = {2.0, 2.1};
    c.rcparams = {{0.01, 0.02, 1000.0}, {0.01, 0.02, 1000.0}};
    c.soc = {0.0, 0.5, 1.0};
    c.ocv_temps = {10.0, 25.0};
    c.ocv_columns = {{3.0, 3.6, 4.1}, {3.0, 3.7, 4.2}};
    const ecm::gen::ModelTables ok = ecm::gen::derive_tables(c, 3.0, 4.2);
    // Two temperatures, two points per SOC: the line through them exactly.
    EXPECT_NEAR(ok.ocv_rel[1], (3.7 - 3.6) / 15.0, 1e-12);
    EXPECT_NEAR(ok.ocv0[1], 3.6 - 10.0 * (3.7 - 3.6) / 15.0, 1e-12);

    ecm::gen::Collection short_cols = c;
    short_cols.ocv_columns.pop_back();  // 25 degC has no column
    EXPECT_THROW(ecm::gen::derive_tables(short_cols, 3.0, 4.2), ecm::DataError);
    ecm::gen::Collection extra_cols = c;
    extra_cols.ocv_columns.push_back({3.0, 3.5, 4.0});
    EXPECT_THROW(ecm::gen::derive_tables(extra_cols, 3.0, 4.2), ecm::DataError);
}
