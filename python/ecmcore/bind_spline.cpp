#include <pybind11/pybind11.h>

#include "python/common/bind_spline.hpp"

namespace py = pybind11;

void bind_spline(py::module_& m) {
    bind_spline_class(m);
}
