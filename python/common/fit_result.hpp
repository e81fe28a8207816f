#pragma once
// A solver result as the object SciPy's least_squares returns (OptimizeResult),
// used by ecmfit and by the private _ecmcore module.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <iterator>

#include "core/numeric/trf.hpp"

namespace ecmpy {

namespace detail {

inline pybind11::array_t<double> vector_array(const Eigen::VectorXd& v) {
    pybind11::array_t<double> a(static_cast<pybind11::ssize_t>(v.size()));
    if (v.size()) std::memcpy(a.mutable_data(), v.data(), static_cast<std::size_t>(v.size()) * sizeof(double));
    return a;
}

}  // namespace detail

inline pybind11::object to_optimize_result(const ecm::LsqResult& r) {
    namespace py = pybind11;
    // Looked up once and kept for the life of the process.
    static py::object* cls = new py::object(py::module_::import("scipy.optimize").attr("OptimizeResult"));
    static const char* const names[] = {"x",    "cost", "fun",    "jac",     "grad",    "optimality",  "active_mask",
                                        "nfev", "njev", "status", "message", "success", "initial_cost"};

    // The Jacobian is held column by column: NumPy gets it in Fortran order, one copy.
    const auto m = static_cast<py::ssize_t>(r.jac.rows());
    const auto n = static_cast<py::ssize_t>(r.jac.cols());
    py::array_t<double, py::array::f_style> jac({m, n});
    if (m * n) std::memcpy(jac.mutable_data(), r.jac.data(), static_cast<std::size_t>(m * n) * sizeof(double));
    py::array_t<std::int64_t> active(static_cast<py::ssize_t>(r.active_mask.size()));
    for (Eigen::Index k = 0; k < r.active_mask.size(); ++k) active.mutable_data()[k] = r.active_mask[k];

    py::object values[] = {detail::vector_array(r.x),
                           py::float_(r.cost),
                           detail::vector_array(r.fun),
                           std::move(jac),
                           detail::vector_array(r.grad),
                           py::float_(r.optimality),
                           std::move(active),
                           py::int_(r.nfev),
                           py::int_(r.njev),
                           py::int_(r.status),
                           py::str(r.message),
                           py::bool_(r.success),
                           py::float_(r.initial_cost)};
    static_assert(std::size(names) == std::size(values), "one name per value");
    py::object res = (*cls)();
    for (std::size_t k = 0; k < std::size(values); ++k) {
        if (PyDict_SetItemString(res.ptr(), names[k], values[k].ptr()) != 0) throw py::error_already_set();
    }
    return res;
}

}  // namespace ecmpy
