// The result table and the two per-temperature files of a recording.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "common/fileio.hpp"
#include "ecmfit/core/outputs.hpp"
#include "ecmfit/pyface.hpp"
#include "ecmfit/steps.hpp"

namespace ecmpy {

void write_results(py::module_& m, const RunConfig& cfg, Recording& rec) {
    const bool model2 = cfg.model == "model2";
    const std::size_t nparams = model2 ? 5 : 3;

    std::vector<double> rms_err, vbat_ocv;
    std::vector<std::vector<double>> cols(nparams);
    for (const auto& row : rec.rows) {
        rms_err.push_back(row.rms * 1000.0);
        vbat_ocv.push_back(row.batt_val);
        for (std::size_t k = 0; k < nparams; ++k) cols[k].push_back(row.params[k]);
    }
    m.attr("rms_err") = py::cast(rms_err);
    m.attr("vbat_ocv") = py::cast(vbat_ocv);
    const char* col_vals[] = {"R0", "R1", "C1", "R2", "C2"};
    for (std::size_t k = 0; k < nparams; ++k) m.attr(col_vals[k]) = py::cast(cols[k]);

    const std::vector<std::string> names = model2 ? std::vector<std::string>{"R0 (Ohm)", "R1 (Ohm)", "C1 (F)",
                                                                             "R2 (Ohm)", "C2 (F)"}
                                                  : std::vector<std::string>{"R0 (Ohm)", "R1 (Ohm)", "C1 (F)"};
    py::module_ pd = py::module_::import("pandas");
    py::object df = pd.attr("DataFrame")();
    df.attr("__setitem__")("OCV level", py::cast(vbat_ocv));
    for (std::size_t k = 0; k < nparams; ++k) df.attr("__setitem__")(names[k], py::cast(cols[k]));
    df.attr("__setitem__")("RMS error (mV)", py::cast(rms_err));

    std::vector<double> avg, med;
    ecm::column_mean_median(cols, avg, med);
    py::object opt_avg = pd.attr("Series")(py::cast(avg), py::arg("index") = py::cast(names), py::arg("dtype") = "float64");
    py::object opt_median = pd.attr("Series")(py::cast(med), py::arg("index") = py::cast(names), py::arg("dtype") = "float64");
    m.attr("opt_avg") = opt_avg;
    m.attr("opt_median") = opt_median;

    // The summary rows put text into "OCV level" and "RMS error (mV)": those two
    // columns hold objects from here on, the parameter columns stay float64.
    df.attr("__setitem__")("OCV level", df.attr("__getitem__")("OCV level").attr("astype")("object"));
    df.attr("__setitem__")("RMS error (mV)", df.attr("__getitem__")("RMS error (mV)").attr("astype")("object"));
    const long long n = static_cast<long long>(rec.rows.size());
    py::list mean_row, median_row;
    mean_row.append("Mean");
    median_row.append("Median");
    for (std::size_t k = 0; k < nparams; ++k) {
        mean_row.append(avg[k]);
        median_row.append(med[k]);
    }
    mean_row.append("");
    median_row.append("");
    df.attr("loc").attr("__setitem__")(n, mean_row);
    df.attr("loc").attr("__setitem__")(n + 1, median_row);
    m.attr("df_results") = df;

    py::dict bat_params;
    bat_params["TempC"] = rec.temperature;
    bat_params["Tparam_1"] = rec.cum_mAh.back() / 1000.0;
    bat_params["Tparam_2"] = py::cast(med);
    py::list tp3;
    tp3.append(py::cast(rec.SOC));
    tp3.append(py::cast(rec.OCV_3rd));
    bat_params["Tparam_3"] = tp3;
    m.attr("bat_params") = bat_params;

    // Each file's whole text exists before the file is replaced, and the
    // replacement is atomic: a failure never leaves a partial file behind.
    ecm::OutputPaths paths = ecm::output_paths(cfg.results_dir, rec.infile);
    m.attr("bat_params_file") = paths.params_file;
    std::string params_text = py::module_::import("json").attr("dumps")(bat_params).cast<std::string>();
    try {
        ecm::write_file_atomic(paths.params_file, params_text);
    } catch (const std::runtime_error& e) {
        raise(PyExc_OSError, e.what());
    }
    log_info("file " + paths.params_file + " written");

    m.attr("ocv_file") = paths.ocv_file;
    try {
        ecm::write_file_atomic(paths.ocv_file, ecm::ocv_table_text(rec.SOC, rec.OCV_3rd));
    } catch (const std::runtime_error& e) {
        raise(PyExc_OSError, e.what());
    }
    log_info("Saved file " + paths.ocv_file);
}

}  // namespace ecmpy
