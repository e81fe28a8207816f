#include <pybind11/pybind11.h>

namespace py = pybind11;

void bind_solver(py::module_& /*m*/) {}
