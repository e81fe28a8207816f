#pragma once
// The per-temperature output files of one recording.
#include <cstddef>
#include <string>
#include <vector>

namespace ecm {

// Paths of the two outputs of a recording: `<results_dir>/<name>_params.json`
// and `<results_dir>/<name>_ocv.csv` for the recording file `<name>.csv`.
// Only the file name of the recording is used, so nothing in the directory
// part of its path can move the outputs elsewhere.
struct OutputPaths {
    std::string params_file;
    std::string ocv_file;
};
OutputPaths output_paths(const std::string& results_dir, const std::string& recording_path);

// The OCV table as text: the line "# SOC,OCV", then one line per point with both
// numbers in "%.18e" format separated by ",", every line ending in "\n".
std::string ocv_table_text(const std::vector<double>& soc, const std::vector<double>& ocv);

// The parameter file's text, exactly what Python's json.dumps writes for
// {"TempC": temperature, "Tparam_1": charge_Ah, "Tparam_2": median, "Tparam_3": [soc, ocv]}.
// A whole-number temperature (within 1e-9) is written as an integer.
std::string params_file_text(double temperature, double charge_Ah, const std::vector<double>& median,
                             const std::vector<double>& soc, const std::vector<double>& ocv);

// Mean and median of each column, skipping NaN; NaN where a column has no number.
// `columns` holds one vector per column.
void column_mean_median(const std::vector<std::vector<double>>& columns, std::vector<double>& mean,
                        std::vector<double>& median);

}  // namespace ecm
