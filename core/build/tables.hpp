#pragma once
// Derivation of the temperature-dependent model tables from the collection.
#include <cstddef>
#include <vector>

#include <Eigen/Dense>

#include "core/build/collect.hpp"

namespace ecm::gen {

// Number of points of the open-circuit voltage axis.
constexpr std::size_t kVoltageAxisSize = 122;

// `num` evenly spaced values from `start` to `stop`, both included, computed as
// NumPy's linspace does: start + i * step with step = (stop - start) / (num - 1),
// the last value set to `stop` exactly.
std::vector<double> linspace(double start, double stop, std::size_t num);

// Least-squares solution of A X ~ B with the minimum norm when A is rank
// deficient, singular values at or below eps * max(rows, cols) * s_max taken
// as zero (numpy.linalg.lstsq with rcond=None). Every column of B is solved.
// Throws DataError on mismatched shapes or non-finite entries of A.
Eigen::MatrixXd lstsq(const Eigen::MatrixXd& A, const Eigen::MatrixXd& B);

// Mean of the successive differences of `grid` (at least two points).
double mean_step(const std::vector<double>& grid);

// Derivative of `values` along a grid of mean step `dz`: the forward
// differences d_k = (v[k+1] - v[k]) / dz, then d_0 at the first point, the mean
// of neighbouring differences inside and d_{n-2} at the last point.
std::vector<double> derivative_along_soc(const std::vector<double>& values, double dz);

// Values on an SOC grid from per-pulse points (soc, values): linear between the points that have a
// value, flat beyond the first and the last; NaN points are left out (all NaN: NaN). Points closer in
// SOC than `cluster` (a chain of them: the several currents of one SOC point of an HPPC test) count as
// one point, their median value at their median SOC, so one poor pulse moves nothing.
std::vector<double> soc_table(const std::vector<double>& soc, const std::vector<double>& values,
                              const std::vector<double>& grid, double cluster = 0.0);

// The standard error on an SOC grid of the table soc_table makes from per-pulse points with standard
// errors se: per cluster the error of its median (from the values' errors, or from their scatter
// where that is beyond what their errors allow), then linear between the clusters
// with the clusters independent (between a and b at weight w: sqrt((1-w)^2 se_a^2 + w^2 se_b^2)),
// flat beyond the ends. NaN where no point has a value and an error. Throws DataError when the
// three lists differ in length.
std::vector<double> soc_table_error(const std::vector<double>& soc, const std::vector<double>& values,
                                    const std::vector<double>& se, const std::vector<double>& grid,
                                    double cluster = 0.0);

// The model tables, one vector per entry of the model records.
struct ModelTables {
    std::vector<double> vovc;      // "OCV", 122 points
    std::vector<double> ocv_rel;   // "OCVrel", per SOC point
    std::vector<double> ocv0;      // "OCV0"
    std::vector<double> docv0;     // "dOCV0"
    std::vector<double> docv_rel;  // "dOCVrel"
    std::vector<double> soc_rel;   // "SOCrel", per voltage
    std::vector<double> soc0;      // "SOC0"
    std::vector<double> r0;        // "R0Param"
    std::vector<double> tau;       // "RCParam"
    std::vector<double> r;         // "RParam"
    std::vector<double> q;         // "QParam"
    // SOC over voltage per distinct temperature, ascending (the SOC table).
    std::vector<double> soc_temps;
    std::vector<std::vector<double>> soc_columns;
    // Fewer than two distinct temperatures: the temperature fits are
    // under-determined and hold their minimum-norm answer.
    bool temperature_undetermined = false;
};

// Runs the whole derivation on a collection and the two voltage limits.
ModelTables derive_tables(const Collection& c, double vbatlow, double vbathigh);

}  // namespace ecm::gen
