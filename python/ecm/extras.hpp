#pragma once
// Pieces of ecm._core beyond the extraction run: the arrays a fit report
// draws (series.cpp) and the simulation of a finished model on a recording
// (simulate.cpp).
#include <pybind11/pybind11.h>

#include "core/extract/pipeline.hpp"
#include "python/common/recording_io.hpp"

namespace ecmbind {

namespace py = pybind11;

// Registers read_recording, simulate_model and soc_from_ocv.
void bind_simulate(py::module_& m);

}  // namespace ecmbind
