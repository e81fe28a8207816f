#pragma once
// The one converter between the core's vectors and NumPy arrays, for every
// binding unit, and the core's data errors as Python's ValueError.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <string>

#include <utility>
#include <vector>
#include "core/base/errors.hpp"

namespace ecmpy {

namespace py = pybind11;

// A C-contiguous float64 (or T) array: what the bindings take.
template <typename T = double>
using InArrayOf = py::array_t<T, py::array::c_style | py::array::forcecast>;

// A copy of n values.
template <typename T>
py::array_t<T> to_array(const T* p, std::size_t n) {
    py::array_t<T> a(static_cast<py::ssize_t>(n));
    if (n) std::memcpy(a.mutable_data(), p, n * sizeof(T));
    return a;
}

// A copy of a vector.
template <typename T>
py::array_t<T> to_array(const std::vector<T>& v) {
    return to_array(v.data(), v.size());
}

// Hands a vector's storage to NumPy without copying it.
template <typename T>
py::array_t<T> to_array(std::vector<T>&& v) {
    auto* owner = new std::vector<T>(std::move(v));
    py::capsule free_when_done(owner, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(static_cast<py::ssize_t>(owner->size()), owner->data(), free_when_done);
}

template <typename T>
std::vector<T> to_vector(const InArrayOf<T>& a) {
    return std::vector<T>(a.data(), a.data() + a.size());
}

// The values of a one-dimensional array; ValueError naming it otherwise.
template <typename T>
std::vector<T> to_vector(const InArrayOf<T>& a, const char* what) {
    if (a.ndim() != 1) throw py::value_error(std::string(what) + " must be one-dimensional");
    return to_vector(a);
}

// Runs f; the core's DataError (bad input data) reaches Python as ValueError.
template <typename F>
auto data_errors_as_value_errors(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const ecm::DataError& e) {
        throw py::value_error(e.what());
    }
}

}  // namespace ecmpy
