// _ecmcore: the numerical core exposed to Python for tests and benchmarks.
// Importing it has no side effects (unlike ecmfit, whose import runs the extraction).
#include <pybind11/pybind11.h>

namespace py = pybind11;

void bind_recording(py::module_& m);
void bind_pulses(py::module_& m);
void bind_spline(py::module_& m);
void bind_circuit(py::module_& m);
void bind_solver(py::module_& m);
void bind_tables(py::module_& m);
void bind_numtext(py::module_& m);

PYBIND11_MODULE(_ecmcore, m) {
    m.doc() = "Numerical core of ecmfit/ecmgen (internal; for tests and benchmarks)";
    bind_recording(m);
    bind_pulses(m);
    bind_spline(m);
    bind_circuit(m);
    bind_solver(m);
    bind_tables(m);
    bind_numtext(m);
}
