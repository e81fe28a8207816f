#pragma once
// The steps of one extraction run. Each step publishes its values on the module
// and keeps the C++ copies it hands to the next step in a Recording.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ecmpy {

namespace py = pybind11;

struct RunConfig {
    std::string workdir;       // as configured
    std::string workdir_path;  // usable from any current directory
    std::string results_dir;   // workdir_path + "/results"
    double vhigh = 0, vcut = 0;
    std::string model;         // "model1", "model2" or anything else
};

// A float64 NumPy vector that the C++ steps read as well: the module value
// and the C++ view share one buffer.
struct DArray {
    py::array_t<double> a;
    const double* data() const { return a.data(); }
    std::size_t size() const { return static_cast<std::size_t>(a.size()); }
    double operator[](std::size_t k) const { return a.data()[k]; }
    double back() const { return a.data()[a.size() - 1]; }
};

struct Recording {
    std::string infile;
    long long temperature = 0;
    DArray t, iload, v, cum_mAh, ocv_diff;
    std::vector<double> SOC, OCV_3rd;
    std::vector<int64_t> idx_load, ind_slice;
    // per-pulse rows: rms (V), fit params, batt_val (V)
    struct Row {
        double rms;
        std::vector<double> params;
        double batt_val;
    };
    std::vector<Row> rows;
};

void load_recording(py::module_& m, const RunConfig& cfg, Recording& rec);
void detect_pulses(py::module_& m, Recording& rec);
void fit_pulses(py::module_& m, const RunConfig& cfg, Recording& rec);
void write_results(py::module_& m, const RunConfig& cfg, Recording& rec);

// Binds model1, model2_r2c2, fit_ls1, fit_ls2 and the spline type.
void bind_model_functions(py::module_& m);

}  // namespace ecmpy
