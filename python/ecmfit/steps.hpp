#pragma once
// The import-time run: configuration and recordings (run.cpp), one recording
// through the shared pipeline with its module values published (recording.cpp).
#include <pybind11/pybind11.h>

#include <string>

#include "core/extract/pipeline.hpp"

namespace ecmpy {

namespace py = pybind11;

struct RunConfig {
    std::string workdir;       // as configured
    std::string workdir_path;  // usable from any current directory
    std::string results_dir;   // workdir_path + "/results"
    double vhigh = 0, vcut = 0;
    std::string model;  // "model1", "model2" or anything else
};

// Loads, fits and writes one recording, publishing every value of the run on
// the module. `warm` carries the warm starts from one recording to the next.
void process_recording(py::module_& m, const RunConfig& cfg, const std::string& infile, ecm::WarmStart& warm);

// Binds model1, model2_r2c2, fit_ls1, fit_ls2 and the spline type.
void bind_model_functions(py::module_& m);

}  // namespace ecmpy
