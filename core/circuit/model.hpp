#pragma once
// The one evaluator of a finished battery model: the open-circuit voltage
// OCV(SOC, T), every circuit parameter at (SOC, T) from the model and its SOC
// x temperature tables, and the capacity at T. Validation, export, the tables
// and the report all read the model through it.
//
// In temperature nothing is used that the data do not determine: resistances
// and time constants follow the Arrhenius law between the model's temperatures
// and that of all of them beyond (never falling as the cell gets colder); the
// OCV follows the builder's linear law between the temperatures and is held at
// the ends beyond them (or, where the model carries an OCV table per temperature,
// is linear between the table's temperatures and held beyond); the capacity is linear between them and held beyond. A
// model of one temperature is that temperature's model at any T. In SOC the
// tables are linear between their points and flat beyond the ends.
#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/circuit/simulate.hpp"

namespace ecm {

// The SOC tables of the slow branch fitted on whole recordings.
inline constexpr const char* kSlowR = "R_slow";
inline constexpr const char* kSlowTau = "tau_slow";
// A calibration's offsets of the OCV (V), per table temperature and SOC.
inline constexpr const char* kOcvOffset = "OCV_offset";

// A model as its files hold it. Per-temperature values come one per file, so a
// temperature may repeat (its values are averaged).
struct ModelData {
    std::vector<double> soc;                  // the OCV tables' SOC axis, ascending
    std::vector<double> ocv0, ocvrel;         // V at 0 C and V/C, per SOC point
    std::vector<double> temps;                // C, per file
    std::vector<double> r0, capacity_ah;      // per file
    std::vector<std::vector<double>> r, tau;  // per branch, per file
    // SOC x temperature tables (empty table_soc: none): per quantity ("R0", "R1", "tau1", ...)
    // [temperature][soc], NaN where no pulse determines a value.
    std::vector<double> table_soc, table_temps;
    std::map<std::string, std::vector<std::vector<double>>> tables;
    // OCV per temperature on the SOC axis `soc` (empty ocv_temps: none), [temperature][soc]; when given it
    // replaces the builder's linear law.
    std::vector<double> ocv_temps;
    std::vector<std::vector<double>> ocv_table;
};

class ModelEvaluator {
public:
    // Checks sizes and finiteness; throws DataError saying what is wrong.
    explicit ModelEvaluator(ModelData data);

    int branches() const { return static_cast<int>(tau_.size()); }
    bool has_tables() const { return !d_.table_soc.empty(); }
    // Unique ascending temperatures and the per-temperature values there (averaged).
    const std::vector<double>& temperatures() const { return temps_; }
    const std::vector<double>& r0_by_temperature() const { return r0_; }
    const std::vector<double>& capacity_by_temperature() const { return cap_; }
    const std::vector<double>& r_by_temperature(int b) const { return r_.at(static_cast<std::size_t>(b)); }
    const std::vector<double>& tau_by_temperature(int b) const { return tau_.at(static_cast<std::size_t>(b)); }

    bool has_ocv_table() const { return !ocv_temps_.empty(); }
    const std::vector<double>& soc_axis() const { return d_.soc; }
    // OCV on the model's SOC axis at temperature T (T clamped to the model's temperatures, or to the OCV
    // table's).
    std::vector<double> ocv(double temperature) const;
    // dOCV/dT (V/K) on the model's SOC axis at T: the slope of the OCV table's segment holding T (its end
    // segments beyond), else the builder's OCVrel; zero where one temperature determines none.
    std::vector<double> ocv_slope(double temperature) const;
    double capacity_ah(double temperature) const;
    // A quantity of the SOC tables at the tables' own temperatures, [temperature][soc], gaps filled: linear
    // in SOC between determined points, the model's value at that temperature where none is determined.
    std::vector<std::vector<double>> table_grid(const std::string& name) const;
    // The same with repeated temperatures averaged: (unique ascending temperatures, rows).
    std::pair<std::vector<double>, std::vector<std::vector<double>>> table_by_temperature(
        const std::string& name) const;
    // Whether the tables hold a slow branch (the R_slow and tau_slow tables of a whole-test fit).
    bool has_slow_branch() const;
    // The model at one temperature as the simulation takes it: parameters over the tables' SOC grid
    // (use_tables and tables present) or constant. The slow branch, where the tables hold one and
    // use_slow, is the last RC branch.
    SimModel at(double temperature, bool use_tables, bool use_slow = true) const;

private:
    ModelData d_;
    std::vector<double> temps_, r0_, cap_;
    std::vector<std::vector<double>> r_, tau_;
    std::vector<double> ocv_temps_;  // unique ascending, with the rows averaged
    std::vector<std::vector<double>> ocv_rows_;
    const std::vector<double>& by_temperature(const std::string& name) const;
};

}  // namespace ecm
