// The model evaluator against values worked out by hand: averages of repeated
// temperatures, linear in temperature and held beyond, the SOC tables' gaps.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/base/errors.hpp"
#include "core/circuit/model.hpp"

namespace {

const double kNaN = std::nan("");

ecm::ModelData two_temperatures() {
    ecm::ModelData d;
    d.soc = {0.0, 0.5, 1.0};
    d.ocv0 = {3.0, 3.6, 4.1};
    d.ocvrel = {1e-3, 0.0, -2e-3};
    // 25 C twice (two files): their values are averaged
    d.temps = {25.0, 0.0, 25.0};
    d.r0 = {0.010, 0.030, 0.012};
    d.capacity_ah = {2.0, 1.8, 2.2};
    d.r = {{0.004, 0.010, 0.006}};
    d.tau = {{10.0, 30.0, 14.0}};
    return d;
}

TEST(ModelEvaluator, RepeatedTemperaturesAveragedAndLinearBetween) {
    const ecm::ModelEvaluator m(two_temperatures());
    EXPECT_EQ(m.temperatures(), (std::vector<double>{0.0, 25.0}));
    EXPECT_DOUBLE_EQ(m.r0_by_temperature()[1], 0.011);
    EXPECT_NEAR(m.capacity_ah(12.5), (1.8 + 2.1) / 2, 1e-15);
    // held at the end values beyond the model's temperatures
    EXPECT_DOUBLE_EQ(m.capacity_ah(-20.0), 1.8);
    EXPECT_NEAR(m.capacity_ah(45.0), 2.1, 1e-15);
    const std::vector<double> ocv = m.ocv(10.0);
    EXPECT_DOUBLE_EQ(ocv[0], 3.01);
    EXPECT_DOUBLE_EQ(ocv[2], 4.08);
    const ecm::SimModel at = m.at(5.0, true);  // no tables: constant parameters
    ASSERT_EQ(at.param_soc.size(), 1u);
    // resistances and time constants: the Arrhenius law through the two temperatures
    auto arrhenius = [](double a, double b, double t) {
        const double x0 = 1.0 / 273.15, x1 = 1.0 / 298.15, x = 1.0 / (t + 273.15);
        return std::exp(std::log(a) + (x - x0) / (x1 - x0) * (std::log(b) - std::log(a)));
    };
    EXPECT_NEAR(at.r0[0], arrhenius(0.030, 0.011, 5.0), 1e-15);
    EXPECT_NEAR(at.tau[0][0], arrhenius(30.0, 12.0, 5.0), 1e-12);
}

TEST(ModelEvaluator, TableGapsFilledInSocThenFromTheModel) {
    ecm::ModelData d = two_temperatures();
    d.table_soc = {0.0, 0.5, 1.0};
    d.table_temps = {0.0, 25.0};
    d.tables["R0"] = {{0.04, kNaN, 0.02}, {kNaN, kNaN, kNaN}};
    d.tables["R1"] = {{0.01, 0.01, 0.01}, {0.006, 0.004, 0.002}};
    d.tables["tau1"] = {{30.0, 30.0, 30.0}, {10.0, 12.0, 14.0}};
    const ecm::ModelEvaluator m(d);
    const auto grid = m.table_grid("R0");
    EXPECT_DOUBLE_EQ(grid[0][1], 0.03);                   // linear between the determined points
    EXPECT_EQ(grid[1], (std::vector<double>(3, 0.011)));  // nothing determined: the model's value
    const ecm::SimModel at = m.at(12.5, true);
    ASSERT_EQ(at.param_soc.size(), 3u);
    // between the temperatures the Arrhenius law: the logarithm linear in 1/T
    const double w = (1.0 / 285.65 - 1.0 / 273.15) / (1.0 / 298.15 - 1.0 / 273.15);
    EXPECT_NEAR(at.r0[0], std::exp(std::log(0.04) + w * (std::log(0.011) - std::log(0.04))), 1e-15);
    EXPECT_NEAR(at.r[0][2], std::exp(std::log(0.01) + w * (std::log(0.002) - std::log(0.01))), 1e-15);
    EXPECT_NEAR(at.tau[0][1], std::exp(std::log(30.0) + w * (std::log(12.0) - std::log(30.0))), 1e-12);
    EXPECT_THROW(m.table_grid("R7"), ecm::DataError);
}

TEST(ModelEvaluator, RepeatedTableTemperaturesAveraged) {
    ecm::ModelData d = two_temperatures();
    d.table_soc = {0.0, 1.0};
    d.table_temps = {25.0, 25.0};
    d.tables["R0"] = {{0.01, 0.02}, {0.03, 0.04}};
    const ecm::ModelEvaluator m(d);
    const auto [temps, rows] = m.table_by_temperature("R0");
    EXPECT_EQ(temps, (std::vector<double>{25.0}));
    EXPECT_DOUBLE_EQ(rows[0][0], 0.02);
    EXPECT_DOUBLE_EQ(rows[0][1], 0.03);
}

TEST(ModelEvaluator, MalformedModelsAreRefused) {
    ecm::ModelData d = two_temperatures();
    d.r0.pop_back();
    EXPECT_THROW(ecm::ModelEvaluator{d}, ecm::DataError);
    d = two_temperatures();
    d.soc = {0.0, 0.5, 0.5};
    EXPECT_THROW(ecm::ModelEvaluator{d}, ecm::DataError);
    d = two_temperatures();
    d.capacity_ah[1] = kNaN;
    EXPECT_THROW(ecm::ModelEvaluator{d}, ecm::DataError);
    d = two_temperatures();
    d.table_soc = {0.0, 1.0};
    d.table_temps = {25.0};
    d.tables["R0"] = {{0.01}};
    EXPECT_THROW(ecm::ModelEvaluator{d}, ecm::DataError);
    d.table_temps = {std::nan("")};
    d.tables["R0"] = {{0.01, 0.02}};
    EXPECT_THROW(ecm::ModelEvaluator{d}, ecm::DataError);
}

}  // namespace

TEST(ModelEvaluator, OcvTableReplacesTheLinearLaw) {
    ecm::ModelData d = two_temperatures();
    // 10 C twice (averaged) and 30 C
    d.ocv_temps = {30.0, 10.0, 10.0};
    d.ocv_table = {{3.2, 3.7, 4.2}, {3.0, 3.5, 4.0}, {3.1, 3.6, 4.1}};
    const ecm::ModelEvaluator m(d);
    ASSERT_TRUE(m.has_ocv_table());
    const std::vector<double> mid = m.ocv(20.0);
    EXPECT_NEAR(mid[0], 3.125, 1e-15);
    EXPECT_NEAR(mid[2], 4.125, 1e-15);
    EXPECT_EQ(m.ocv(-5.0), (std::vector<double>{3.05, 3.55, 4.05}));  // held beyond
    EXPECT_EQ(m.ocv(50.0), (std::vector<double>{3.2, 3.7, 4.2}));
    const std::vector<double> slope = m.ocv_slope(0.0);  // the end segment's
    EXPECT_NEAR(slope[1], 0.15 / 20.0, 1e-15);
    // the simulation takes it too
    EXPECT_EQ(m.at(30.0, true).ocv_v, (std::vector<double>{3.2, 3.7, 4.2}));
    // without a table: the builder's slope, none for one temperature
    EXPECT_EQ(ecm::ModelEvaluator(two_temperatures()).ocv_slope(5.0), two_temperatures().ocvrel);
    d.ocv_table[1].pop_back();
    EXPECT_THROW(ecm::ModelEvaluator{d}, ecm::DataError);
}
