#include <pybind11/pybind11.h>

namespace py = pybind11;

void bind_pulses(py::module_& /*m*/) {}
