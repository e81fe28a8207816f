#pragma once
// Pieces shared by the _ecmcore binding units.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "python/common/arrays.hpp"

namespace ecmcore_bind {

namespace py = pybind11;

using InArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A one-dimensional float64 view of obj, or a TypeError / ValueError naming it.
inline InArray as_vector(const py::handle& obj, const char* name) {
    InArray a = InArray::ensure(obj);
    if (!a) throw py::type_error(std::string(name) + " must be a sequence of numbers");
    if (a.ndim() != 1)
        throw py::value_error(std::string(name) + " must be one-dimensional, got " + std::to_string(a.ndim()) +
                              " dimensions");
    return a;
}

using ecmpy::to_array;

using ecmpy::data_errors_as_value_errors;

}  // namespace ecmcore_bind
