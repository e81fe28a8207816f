// The per-recording pipeline on a synthetic cell with known parameters: the
// events a face sees and their order, the warm starts across recordings, the
// failures, and the text of the parameter file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/circuit/circuit.hpp"
#include "core/extract/pipeline.hpp"

namespace {

// Rests at 0 A and pulses at -1 A, 1 s sampling; OCV falling linearly with the
// charge; one RC branch (R0 = 50 mOhm, R1 = 20 mOhm, C1 = 1500 F) simulated
// exactly. The last sample falls below 3.0 V.
struct Cell {
    std::vector<double> t, i, v;
};

Cell make_cell(int pulses = 8) {
    Cell c;
    const int rest = 300, pulse = 60;
    for (int p = 0; p <= pulses; ++p) {
        for (int k = 0; k < rest; ++k) c.i.push_back(0.0);
        for (int k = 0; k < pulse; ++k) c.i.push_back(-1.0);
    }
    for (std::size_t k = 0; k < c.i.size(); ++k) c.t.push_back(static_cast<double>(k));
    std::vector<double> over(c.i.size());
    const double r = 0.02, cap = 1500.0;
    ecm::simulate_rc(c.t.data(), c.i.data(), c.t.size(), 0.05, &r, &cap, 1, over.data(), nullptr);
    double q = 0.0;  // As
    for (std::size_t k = 0; k < c.i.size(); ++k) {
        if (k) q += 0.5 * (c.i[k] + c.i[k - 1]);
        c.v.push_back(4.1 + q * 2.0e-4 + over[k]);
    }
    c.v.back() = 2.5;  // the last pulse crosses the cut-off
    return c;
}

ecm::RecordingColumns columns(const Cell& c) {
    ecm::RecordingColumns in;
    in.time = c.t.data();
    in.current = c.i.data();
    in.voltage = c.v.data();
    in.rows = c.t.size();
    return in;
}

struct Recorder : ecm::PipelineObserver {
    std::vector<std::string> events, info;
    void log(ecm::LogLevel level, const std::string& m) override {
        if (level == ecm::LogLevel::Info)
            info.push_back(m);
        else
            events.push_back("warning");
    }
    void print(const std::string& s) override { events.push_back(s.rfind("Total cycles", 0) == 0 ? s : "report"); }
    void cut(std::size_t) override { events.push_back("cut"); }
    void charged(const ecm::RecordingResult&) override { events.push_back("charged"); }
    void detected(ecm::PulseAnalysis&, const ecm::RecordingResult&) override { events.push_back("detected"); }
    void fitting_started(double, long long) override { events.push_back("started"); }
    void row(const ecm::CycleRow&) override { events.push_back("row"); }
    void finished(double, const std::string&) override { events.push_back("finished"); }
};

TEST(Pipeline, RecoversTheCellAndReportsInOrder) {
    Cell c = make_cell();
    ecm::PipelineSettings s;
    s.vcut = 3.0;
    s.model = ecm::CircuitModel::OneRC;
    ecm::WarmStart warm;
    Recorder rec;
    ecm::RecordingResult r = ecm::process_recording(columns(c), s, warm, rec);

    ASSERT_GE(r.cycles, 5);
    ASSERT_EQ(static_cast<long long>(r.rows.size()), r.cycles);
    for (const auto& row : r.rows) {
        // within the two-pass method's own bias (its OCV baseline falls linearly under load)
        EXPECT_NEAR(row.params[0], 0.05, 0.05 * 1e-2);
        EXPECT_NEAR(row.params[1], 0.02, 0.02 * 5e-2);
        EXPECT_NEAR(row.params[1] * row.params[2], 30.0, 30.0 * 5e-2);
        EXPECT_NEAR(row.current_mean, -1.0, 1e-12);
        EXPECT_GT(row.soc_mid, 0.0);
        EXPECT_LT(row.soc_mid, 1.0);
    }
    for (std::size_t k = 1; k < r.rows.size(); ++k) EXPECT_LT(r.rows[k].soc_mid, r.rows[k - 1].soc_mid);
    EXPECT_EQ(r.median.size(), 3u);
    EXPECT_DOUBLE_EQ(r.charge_Ah(), r.cum_mAh->back() / 1000.0);

    std::vector<std::string> head(rec.events.begin(), rec.events.begin() + 5);
    EXPECT_EQ(head, (std::vector<std::string>{"cut", "charged", "detected", "started",
                                              "Total cycles = " + std::to_string(r.cycles) + "\n"}));
    EXPECT_EQ(rec.events.back(), "finished");
    EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), "row"), r.cycles);
    // without a verbose solver there is no report
    EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), "report"), 0);
    EXPECT_EQ(std::count(rec.info.begin(), rec.info.end(), "Starting with init values"), 1);
    EXPECT_TRUE(warm.has_first && warm.has_init && !warm.has_second);

    // A second recording of the same run starts from the carried solution.
    Recorder again;
    ecm::process_recording(columns(c), s, warm, again);
    EXPECT_EQ(std::count(again.info.begin(), again.info.end(), "Starting with init values"), 0);

    // The solver's report goes to print, one piece per fit, when asked for.
    s.solver_verbose = 2;
    Recorder loud;
    ecm::WarmStart fresh;
    ecm::process_recording(columns(c), s, fresh, loud);
    EXPECT_EQ(std::count(loud.events.begin(), loud.events.end(), "report"), 8 + r.cycles);
}

TEST(Pipeline, TwoBranchesAndOtherModels) {
    Cell c = make_cell();
    ecm::PipelineSettings s;
    s.vcut = 3.0;
    s.model = ecm::CircuitModel::TwoRC;
    ecm::WarmStart warm;
    ecm::PipelineObserver quiet;
    ecm::RecordingResult r = ecm::process_recording(columns(c), s, warm, quiet);
    ASSERT_FALSE(r.rows.empty());
    for (const auto& row : r.rows) {
        EXPECT_EQ(row.params.size(), 5u);
        EXPECT_EQ(row.yout_window.a, row.full_window.a);
        EXPECT_EQ(row.lsq_yout.size(), row.full_window.size());
    }
    EXPECT_EQ(r.median.size(), 5u);
    EXPECT_EQ(ecm::circuit_model_from_name("model3"), ecm::CircuitModel::Other);
    s.model = ecm::CircuitModel::Other;
    ecm::WarmStart w2;
    EXPECT_TRUE(ecm::process_recording(columns(c), s, w2, quiet).rows.empty());
}

TEST(Pipeline, Failures) {
    Cell c = make_cell();
    ecm::PipelineSettings s;
    s.vcut = 1.0;  // never crossed
    ecm::WarmStart warm;
    ecm::PipelineObserver quiet;
    EXPECT_THROW(ecm::process_recording(columns(c), s, warm, quiet), ecm::CutoffNotCrossed);
    s.vcut = 3.0;
    c.t[7] = c.t[6];  // time stands still
    try {
        ecm::process_recording(columns(c), s, warm, quiet);
        FAIL() << "no error for a repeated time stamp";
    } catch (const ecm::DataError& e) {
        EXPECT_NE(std::string(e.what()).find("line 9"), std::string::npos) << e.what();
    }
    ecm::RecordingColumns empty;
    EXPECT_THROW(ecm::process_recording(empty, s, warm, quiet), ecm::DataError);
    // A face that throws stops the pipeline with its own exception.
    struct Stop : ecm::PipelineObserver {
        void fitting_started(double, long long) override { throw std::runtime_error("stop"); }
    } stop;
    Cell ok = make_cell();
    EXPECT_THROW(ecm::process_recording(columns(ok), s, warm, stop), std::runtime_error);
}

TEST(Pipeline, ParameterFileTextAndRounding) {
    ecm::RecordingResult r;
    r.cum_mAh = std::make_shared<const std::vector<double>>(std::vector<double>{0.0, 2000.0});
    r.median = {0.05, NAN, INFINITY, -INFINITY, 1e-05};
    r.SOC = {0.0, 0.5, 1.0};
    r.OCV_3rd = {3.0, 3.7, 4.2};
    EXPECT_EQ(ecm::params_file_text(-10, r),
              "{\"TempC\": -10, \"Tparam_1\": 2.0, \"Tparam_2\": [0.05, NaN, Infinity, -Infinity, 1e-05], "
              "\"Tparam_3\": [[0.0, 0.5, 1.0], [3.0, 3.7, 4.2]]}");
    // Python's round(x, 1): the exact binary value, ties to even
    EXPECT_EQ(ecm::round1(0.25), 0.2);
    EXPECT_EQ(ecm::round1(0.35), 0.3);  // 0.35 is stored just below
    EXPECT_EQ(ecm::round1(0.05), 0.1);  // 0.05 is stored just above
    EXPECT_EQ(ecm::round1(0.0), 0.0);
    EXPECT_EQ(ecm::round1(123.456), 123.5);
}

}  // namespace
