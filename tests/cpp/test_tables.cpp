#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/build/collect.hpp"
#include "core/build/model_text.hpp"
#include "core/build/tables.hpp"

using namespace ecm::gen;

namespace {

ParamFile file(const std::string& name, double t, double cap, std::vector<double> rc, std::vector<double> soc,
               std::vector<double> ocv) {
    ParamFile f;
    f.name = name;
    f.temp_c = t;
    f.capacity_ah = cap;
    f.rc = std::move(rc);
    f.soc = std::move(soc);
    f.ocv = std::move(ocv);
    return f;
}

// A linear OCV curve from 3.0 V to 4.2 V over SOC 0..1, shifted by `shift`.
ParamFile linear_file(const std::string& name, double t, double shift, std::vector<double> rc, double cap = 2.0) {
    std::vector<double> soc, ocv;
    for (int i = 0; i <= 200; ++i) {
        soc.push_back(i * 0.005);
        ocv.push_back(3.0 + 1.2 * (i * 0.005) + shift);
    }
    return file(name, t, cap, std::move(rc), soc, ocv);
}

std::string data_error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const ecm::DataError& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(Linspace, EndsIncludedAndEvenSteps) {
    auto v = linspace(2.99, 4.2, 122);
    ASSERT_EQ(v.size(), 122u);
    EXPECT_EQ(v.front(), 2.99);
    EXPECT_EQ(v.back(), 4.2);
    for (std::size_t i = 1; i < v.size(); ++i) EXPECT_NEAR(v[i] - v[i - 1], 0.01, 1e-12);
    EXPECT_EQ(v[1], 1.0 * ((4.2 - 2.99) / 121) + 2.99);
    auto flat = linspace(3.0, 3.0, 5);
    for (double x : flat) EXPECT_EQ(x, 3.0);
}

TEST(Lstsq, FullRankMatchesNormalEquations) {
    // Fit y = a T + b through three points; closed form from the normal equations.
    Eigen::MatrixXd A(3, 2);
    A << -10, 1, 0, 1, 25, 1;
    Eigen::MatrixXd y(3, 1);
    y << 3.55, 3.6, 3.72;
    Eigen::MatrixXd x = lstsq(A, y);
    double st = 15, stt = 100 + 625, sy = 3.55 + 3.6 + 3.72, sty = -35.5 + 93.0, n = 3;
    double a = (n * sty - st * sy) / (n * stt - st * st);
    double b = (sy - a * st) / n;
    EXPECT_NEAR(x(0, 0), a, 1e-14);
    EXPECT_NEAR(x(1, 0), b, 1e-14);
}

TEST(Lstsq, ExactLineThroughTwoTemperatures) {
    Eigen::MatrixXd A(2, 2);
    A << 0, 1, 25, 1;
    Eigen::MatrixXd y(2, 1);
    y << 3.6, 3.7;
    Eigen::MatrixXd x = lstsq(A, y);
    EXPECT_NEAR(x(0, 0), 0.004, 1e-15);
    EXPECT_NEAR(x(1, 0), 3.6, 1e-14);
}

TEST(Lstsq, UnderDeterminedGivesMinimumNorm) {
    Eigen::MatrixXd A(1, 2);
    A << 25, 1;
    Eigen::MatrixXd y(1, 1);
    y << 3.7;
    Eigen::MatrixXd x = lstsq(A, y);
    EXPECT_NEAR(x(0, 0), 25 * 3.7 / 626, 1e-15);
    EXPECT_NEAR(x(1, 0), 3.7 / 626, 1e-16);
    // Repeated rows are just as rank-deficient.
    Eigen::MatrixXd A2(2, 2);
    A2 << 25, 1, 25, 1;
    Eigen::MatrixXd y2(2, 1);
    y2 << 3.7, 3.7;
    Eigen::MatrixXd x2 = lstsq(A2, y2);
    EXPECT_NEAR(x2(0, 0), 25 * 3.7 / 626, 1e-14);
    EXPECT_NEAR(x2(1, 0), 3.7 / 626, 1e-15);
}

TEST(Lstsq, RejectsBadShapesAndNonFiniteMatrix) {
    EXPECT_THROW(lstsq(Eigen::MatrixXd::Ones(3, 2), Eigen::MatrixXd::Ones(2, 1)), ecm::DataError);
    Eigen::MatrixXd A = Eigen::MatrixXd::Ones(2, 2);
    A(0, 0) = std::nan("");
    EXPECT_THROW(lstsq(A, Eigen::MatrixXd::Ones(2, 1)), ecm::DataError);
}

TEST(DerivativeAlongSoc, WorkedExample) {
    double dz = mean_step({0, 0.25, 0.5, 0.75});
    EXPECT_DOUBLE_EQ(dz, 0.25);
    auto d = derivative_along_soc({3.0, 3.1, 3.3, 3.4}, dz);
    ASSERT_EQ(d.size(), 4u);
    EXPECT_NEAR(d[0], 0.4, 1e-12);
    EXPECT_NEAR(d[1], 0.6, 1e-12);
    EXPECT_NEAR(d[2], 0.6, 1e-12);
    EXPECT_NEAR(d[3], 0.4, 1e-12);
    auto two = derivative_along_soc({1.0, 2.0}, 0.5);
    EXPECT_EQ(two, (std::vector<double>{2.0, 2.0}));
    EXPECT_THROW(derivative_along_soc({1.0}, 0.5), ecm::DataError);
    EXPECT_THROW(mean_step({0.0}), ecm::DataError);
}

TEST(Collect, FileOrderSortedTemperaturesAndColumnOrder) {
    std::vector<ParamFile> files = {linear_file("a_25_params.json", 25, 0.0, {0.01, 0.02, 1000}, 2.5),
                                    linear_file("a_-10_params.json", -10, -0.05, {0.03, 0.04, 2000}, 1.8),
                                    linear_file("a_0_params.json", 0, -0.02, {0.02, 0.03, 1500}, 2.1)};
    Collection c = collect(files);
    EXPECT_EQ(c.temperatures, (std::vector<double>{-10, 0, 25}));
    EXPECT_EQ(c.capacities, (std::vector<double>{1.8, 2.1, 2.5}));
    EXPECT_EQ(c.ocv_temps, (std::vector<double>{25, -10, 0}));
    EXPECT_EQ(c.rcparams[0], (std::vector<double>{0.03, 0.04, 2000}));
}

TEST(Collect, DuplicateTemperatureLaterFileWins) {
    std::vector<ParamFile> files = {linear_file("a_params.json", 25, 0.0, {0.01, 0.02, 1000}, 2.0),
                                    linear_file("b_params.json", 0, 0.0, {0.02, 0.02, 1000}, 1.9),
                                    linear_file("c_params.json", 25, 0.1, {0.05, 0.06, 100}, 2.4)};
    Collection c = collect(files);
    EXPECT_EQ(c.temperatures, (std::vector<double>{0, 25, 25}));
    EXPECT_EQ(c.capacities, (std::vector<double>{1.9, 2.4, 2.4}));
    ASSERT_EQ(c.ocv_temps, (std::vector<double>{25, 0}));
    EXPECT_NEAR(c.ocv_columns[0][0], 3.1, 1e-15);
    ModelTables m = derive_tables(c, 3.0, 4.2);
    EXPECT_EQ(m.r0, (std::vector<double>{0.02, 0.05, 0.05}));
    EXPECT_EQ(m.q, (std::vector<double>{1.9, 2.4, 2.4}));
    EXPECT_EQ(m.soc_temps, (std::vector<double>{0, 25}));
    EXPECT_FALSE(m.temperature_undetermined);
}

TEST(Collect, RejectsBadFilesNamingThem) {
    EXPECT_NE(data_error_of([] { collect({}); }).find("_params.json"), std::string::npos);
    auto msg = data_error_of([] { collect({linear_file("x_params.json", 25, 0, {1, 2, 3, 4})}); });
    EXPECT_NE(msg.find("x_params.json"), std::string::npos);
    EXPECT_NE(msg.find("3 (R0, R1, C1) or 5"), std::string::npos);
    msg = data_error_of([] { collect({file("y_params.json", 25, 2, {1, 2, 3}, {0, 0.5, 1}, {3, 4})}); });
    EXPECT_NE(msg.find("y_params.json"), std::string::npos);
    msg = data_error_of([] {
        collect({linear_file("a_params.json", 25, 0, {1, 2, 3}),
                 file("z_params.json", 0, 2, {1, 2, 3}, {0, 0.5, 1}, {3, 3.5, 4})});
    });
    EXPECT_NE(msg.find("z_params.json"), std::string::npos);
    EXPECT_NE(msg.find("expected 201"), std::string::npos);
    msg = data_error_of([] { collect({file("s_params.json", 25, 2, {1, 2, 3}, {0}, {3})}); });
    EXPECT_NE(msg.find("s_params.json"), std::string::npos);
    msg = data_error_of([] { collect({linear_file("n_params.json", std::nan(""), 0, {1, 2, 3})}); });
    EXPECT_NE(msg.find("TempC"), std::string::npos);
}

TEST(DeriveTables, TwoTemperaturesGiveSlopeAndIntercept) {
    // OCV 3.6 V at 0 C and 3.7 V at 25 C at one SOC point.
    std::vector<ParamFile> files = {file("a_params.json", 0, 2, {1, 2, 3}, {0, 0.5, 1}, {3.0, 3.6, 4.2}),
                                    file("b_params.json", 25, 2, {1, 2, 3}, {0, 0.5, 1}, {3.0, 3.7, 4.2})};
    ModelTables m = derive_tables(collect(files), 3.0, 4.2);
    EXPECT_NEAR(m.ocv_rel[1], 0.004, 1e-14);
    EXPECT_NEAR(m.ocv0[1], 3.6, 1e-13);
    EXPECT_NEAR(m.ocv_rel[0], 0.0, 1e-14);
    EXPECT_NEAR(m.ocv0[0], 3.0, 1e-13);
}

TEST(DeriveTables, SingleTemperatureKeepsMinimumNorm) {
    ModelTables m =
        derive_tables(collect({file("a_params.json", 25, 2, {1, 2, 3}, {0, 0.5, 1}, {3.0, 3.7, 4.2})}), 3.0, 4.2);
    EXPECT_TRUE(m.temperature_undetermined);
    EXPECT_NEAR(m.ocv0[1], 3.7 / 626, 1e-15);
    EXPECT_NEAR(m.ocv_rel[1], 25 * 3.7 / 626, 1e-14);
    EXPECT_NEAR(m.ocv0[1] + 25 * m.ocv_rel[1], 3.7, 1e-13);
    ASSERT_EQ(m.soc0.size(), 122u);
    for (std::size_t i = 0; i < 122; ++i) EXPECT_NEAR(m.soc0[i] + 25 * m.soc_rel[i], m.soc_columns[0][i], 1e-13);
}

TEST(DeriveTables, VoltageAxisAndFlatEnds) {
    ModelTables m = derive_tables(
        collect({linear_file("a_params.json", 25, 0, {1, 2, 3}), linear_file("b_params.json", 0, 0, {1, 2, 3})}), 3.0,
        4.2);
    ASSERT_EQ(m.vovc.size(), 122u);
    EXPECT_EQ(m.vovc.front(), 3.0 - 0.01);
    EXPECT_EQ(m.vovc.back(), 4.2);
    ASSERT_EQ(m.soc_columns.size(), 2u);
    EXPECT_EQ(m.soc_columns[0][0], 0.0);  // 2.99 V is below the curve
    EXPECT_EQ(m.soc_columns[0][121], 1.0);
    EXPECT_NEAR(m.soc_columns[0][61], (m.vovc[61] - 3.0) / 1.2, 1e-12);
    // Same curve at both temperatures: no temperature slope.
    for (std::size_t i = 0; i < 122; ++i) EXPECT_NEAR(m.soc_rel[i], 0.0, 1e-15);
    ASSERT_EQ(m.docv0.size(), 201u);
    for (double d : m.docv0) EXPECT_NEAR(d, 1.2, 1e-9);
}

TEST(DeriveTables, ArrangementDecidedByHighestTemperature) {
    auto run = [](std::vector<double> p_m10, std::vector<double> p_0, std::vector<double> p_25) {
        return derive_tables(
            collect({linear_file("a_params.json", 25, 0, p_25), linear_file("b_params.json", -10, 0, p_m10),
                     linear_file("c_params.json", 0, 0, p_0)}),
            3.0, 4.2);
    };
    auto three = run({1, 2, 3}, {1, 4, 5}, {1, 6, 7});
    EXPECT_EQ(three.tau, (std::vector<double>{6, 20, 42}));
    EXPECT_EQ(three.r, (std::vector<double>{2, 4, 6}));
    auto five = run({1, 2, 3, 8, 9}, {1, 4, 5, 10, 11}, {1, 6, 7, 12, 13});
    EXPECT_EQ(five.tau, (std::vector<double>{6, 20, 42, 72, 110, 156}));
    EXPECT_EQ(five.r, (std::vector<double>{2, 4, 6, 8, 10, 12}));
    auto low_two = run({1, 2, 3, 8, 9}, {1, 4, 5, 10, 11}, {1, 6, 7});
    EXPECT_EQ(low_two.tau, (std::vector<double>{6, 20, 42}));
    auto high_two = run({1, 2, 3}, {1, 4, 5}, {1, 6, 7, 12, 13});
    EXPECT_EQ(high_two.tau, (std::vector<double>{6, 20, 42, 156}));
    EXPECT_EQ(high_two.r, (std::vector<double>{2, 4, 6, 12}));
}

TEST(DeriveTables, RejectsNonFiniteVoltageLimits) {
    auto c = collect({linear_file("a_params.json", 25, 0, {1, 2, 3})});
    EXPECT_THROW(derive_tables(c, std::nan(""), 4.2), ecm::DataError);
}

TEST(ModelJsonText, LayoutEmptyEntriesNameAndNonFinite) {
    std::vector<ModelEntry> e(5);
    e[0].key = "param_1";
    e[0].values = {0.0, 0.5, 1.0};
    e[1].key = "temps";
    e[1].values = {25.0};
    e[2].key = "param_2";
    e[3].key = "param_3";
    e[3].values = {1.234e-05};
    e[4].key = "name";
    e[4].is_text = true;
    e[4].text = "AB12";
    auto t = model_json_text(e);
    EXPECT_EQ(t.text,
              "{\"param_1\": [0.0, 0.5, 1.0], \"temps\": [25.0], \"param_3\": [0.00001234], \"name\": \"AB12\"}");
    EXPECT_TRUE(t.nonfinite_keys.empty());

    e[4].text = "";  // empty name: entry left out
    e[1].values = {std::nan(""), std::numeric_limits<double>::infinity()};
    e[3].values = {-std::numeric_limits<double>::infinity()};
    t = model_json_text(e);
    EXPECT_EQ(t.text, "{\"param_1\": [0.0, 0.5, 1.0], \"temps\": [NaN, Infinity], \"param_3\": [-Infinity]}");
    EXPECT_EQ(t.nonfinite_keys, (std::vector<std::string>{"temps", "param_3"}));

    e[4].text = "a\"b\\";
    EXPECT_NE(model_json_text(e).text.find("\"name\": \"a\\\"b\\\\\""), std::string::npos);
    EXPECT_EQ(model_json_text({}).text, "{}");
}
