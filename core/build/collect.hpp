#pragma once
// Collection of the per-temperature parameter files into the builder's tables.
#include <string>
#include <vector>

namespace ecm::gen {

// What the builder reads from one `<name>_params.json`.
struct ParamFile {
    std::string name;          // file name, relative to the results directory
    double temp_c = 0.0;       // "TempC"
    double capacity_ah = 0.0;  // "Tparam_1"
    std::vector<double> rc;    // "Tparam_2": R0, R1, C1[, R2, C2]
    std::vector<double> soc;   // "Tparam_3"[0], the SOC grid
    std::vector<double> ocv;   // "Tparam_3"[1], OCV at the grid points
};

// The collection tables, in the shape the derivation needs them.
struct Collection {
    // One entry per file read, ascending (a temperature read twice occurs twice).
    std::vector<double> temperatures;
    // Capacity ("Tparam_1") per entry of `temperatures`; the file read later wins.
    std::vector<double> capacities;
    // "Tparam_2" per entry of `temperatures`; the file read later wins.
    std::vector<std::vector<double>> rcparams;
    // SOC grid of the file read last.
    std::vector<double> soc;
    // Distinct temperatures in the order their files were first read, and the
    // OCV column of each (replaced by a later file of the same temperature).
    std::vector<double> ocv_temps;
    std::vector<std::vector<double>> ocv_columns;
};

// Checks one file's content against what the builder needs and against the
// grid length `rows` fixed by the files read before (0 for the first file).
// Throws DataError naming the file and what was expected.
void check_param_file(const ParamFile& f, std::size_t rows);

// Builds the collection tables from the files in reading order. Throws
// DataError when there is no file or a file fails check_param_file.
Collection collect(const std::vector<ParamFile>& files);

}  // namespace ecm::gen
