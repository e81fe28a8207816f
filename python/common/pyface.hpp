#pragma once
// Small helpers for the Python face of ecmfit: logging, text of numbers,
// conversions between core vectors and NumPy arrays, clear errors.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/base/numtext.hpp"
#include "python/common/arrays.hpp"

namespace ecmpy {

namespace py = pybind11;

// Python callables looked up once; kept for the life of the process (never
// released, so nothing is torn down after the interpreter has finalised).
struct PyCallables {
    py::object info, warning, error, sys;
    static const PyCallables& get() {
        static const PyCallables* c = [] {
            auto* p = new PyCallables;
            py::module_ logging = py::module_::import("logging");
            p->info = logging.attr("info");
            p->warning = logging.attr("warning");
            p->error = logging.attr("error");
            p->sys = py::module_::import("sys");
            return p;
        }();
        return *c;
    }
};

inline void log_info(const std::string& msg) {
    PyCallables::get().info(msg);
}
inline void log_warning(const std::string& msg) {
    PyCallables::get().warning(msg);
}
inline void log_error(const std::string& msg) {
    PyCallables::get().error(msg);
}

// The interpreter's own text of an object (str()).
inline std::string text(py::handle h) {
    return py::str(h).cast<std::string>();
}
// The shortest round-trip text of a double, as the interpreter writes it.
inline std::string float_text(double x) {
    return ecm::py_repr(x);
}

// Writes one line to sys.stdout, as print() does.
// sys.stdout is looked up at every call: callers (pytest's capsys, Jupyter) may replace it.
inline void write_stdout(const std::string& s) {
    PyCallables::get().sys.attr("stdout").attr("write")(s);
}
// Raises `exc_type(message)` chained to the exception being handled (raise ... from e).
[[noreturn]] inline void raise_from(py::error_already_set& cause, PyObject* exc_type, const std::string& msg) {
    py::raise_from(cause, exc_type, msg.c_str());
    throw py::error_already_set();
}

[[noreturn]] inline void raise(PyObject* exc_type, const std::string& msg) {
    PyErr_SetString(exc_type, msg.c_str());
    throw py::error_already_set();
}

}  // namespace ecmpy
