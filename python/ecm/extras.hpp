#pragma once
// Pieces of ecm._core beyond the extraction run: the arrays a fit report
// draws (series.cpp) and the simulation of a finished model on a recording
// (simulate.cpp).
#include <pybind11/pybind11.h>

#include "core/extract/pipeline.hpp"
#include "python/common/recording_io.hpp"

namespace ecmbind {

namespace py = pybind11;

// Adds to run_recording's result what a report draws: the kept samples
// ("t", "current", "voltage"), the fit target of the two-pass method
// ("ocv_diff"), the rest ends and, per row, its fitted response and window
// ("fits": window_start, window_end, target ("ocv_diff" or "voltage"), yout).
void add_series(py::dict& out, const ecmpy::RecordingArrays& arrays, const ecm::RecordingResult& r,
                ecm::FitMethod method);

// Registers read_recording, simulate_model and soc_from_ocv.
void bind_simulate(py::module_& m);

}  // namespace ecmbind
