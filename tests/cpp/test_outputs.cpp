#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/base/stats.hpp"
#include "core/extract/outputs.hpp"

TEST(OutputPaths, FormedFromTheResultsDirectoryAndTheFileName) {
    auto p = ecm::output_paths("/data/cells/cellA/results", "/data/cells/cellA/raw_data/cellA_800mAh_Tp25.csv");
    EXPECT_EQ(p.params_file, "/data/cells/cellA/results/cellA_800mAh_Tp25_params.json");
    EXPECT_EQ(p.ocv_file, "/data/cells/cellA/results/cellA_800mAh_Tp25_ocv.csv");
}

TEST(OutputPaths, RawDataOrCsvInTheFolderPathStayWhereTheyAre) {
    auto p =
        ecm::output_paths("/data/raw_data_2024/x.csv.d/results", "/data/raw_data_2024/x.csv.d/raw_data/c_1mAh_Tp5.csv");
    EXPECT_EQ(p.params_file, "/data/raw_data_2024/x.csv.d/results/c_1mAh_Tp5_params.json");
    EXPECT_EQ(p.ocv_file, "/data/raw_data_2024/x.csv.d/results/c_1mAh_Tp5_ocv.csv");
}

// Expected text as numpy.savetxt(..., header="SOC,OCV", delimiter=",") writes it.
TEST(OcvTableText, HeaderAndEighteenDigitLines) {
    std::string text = ecm::ocv_table_text({0.0, 0.005, 1.0}, {3.0021, 3.1873, 4.1902});
    EXPECT_EQ(text,
              "# SOC,OCV\n"
              "0.000000000000000000e+00,3.002099999999999991e+00\n"
              "5.000000000000000104e-03,3.187300000000000022e+00\n"
              "1.000000000000000000e+00,4.190199999999999925e+00\n");
}

TEST(OcvTableText, NonFiniteValuesAsNumpyWritesThem) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::string text = ecm::ocv_table_text({-nan, inf}, {-inf, -0.0});
    EXPECT_EQ(text, "# SOC,OCV\nnan,-inf\ninf,-0.000000000000000000e+00\n");
}

TEST(Stats, MedianFollowsNumpy) {
    EXPECT_DOUBLE_EQ(ecm::median({3.0, 1.0, 2.0}), 2.0);
    EXPECT_DOUBLE_EQ(ecm::median({4.0, 1.0, 3.0, 2.0}), 2.5);
    EXPECT_TRUE(std::isnan(ecm::median({1.0, std::nan(""), 2.0})));
    EXPECT_TRUE(std::isnan(ecm::median({})));
}

TEST(Stats, ColumnMeanAndMedianSkipNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> mean, med;
    ecm::column_mean_median({{1.0, nan, 3.0, 10.0}, {nan, nan}, {2.0}}, mean, med);
    ASSERT_EQ(mean.size(), 3u);
    EXPECT_DOUBLE_EQ(mean[0], 14.0 / 3.0);
    EXPECT_DOUBLE_EQ(med[0], 3.0);
    EXPECT_TRUE(std::isnan(mean[1]) && std::isnan(med[1]));
    EXPECT_DOUBLE_EQ(mean[2], 2.0);
    EXPECT_DOUBLE_EQ(med[2], 2.0);
}

TEST(Stats, RmsOfAConstantAndOfAnAlternatingSignal) {
    std::vector<double> c(1001, -0.25), alt(1000);
    for (std::size_t k = 0; k < alt.size(); ++k) alt[k] = (k % 2 ? 1.0 : -1.0) * 3.0;
    EXPECT_DOUBLE_EQ(ecm::rms(c.data(), c.size()), 0.25);
    EXPECT_DOUBLE_EQ(ecm::rms(alt.data(), alt.size()), 3.0);
}
