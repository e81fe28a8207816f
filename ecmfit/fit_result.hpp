#pragma once
// A solver result as the object SciPy's least_squares returns (OptimizeResult).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "ecmfit/core/trf.hpp"

namespace ecmpy {

inline pybind11::object to_optimize_result(const ecm::LsqResult& r) {
    namespace py = pybind11;
    const auto m = static_cast<py::ssize_t>(r.fun.size());
    const auto n = static_cast<py::ssize_t>(r.x.size());
    py::array_t<double> x(n), fun(m), grad(n);
    py::array_t<double> jac({m, n});
    py::array_t<int64_t> active(n);
    for (py::ssize_t k = 0; k < n; ++k) {
        x.mutable_at(k) = r.x[k];
        grad.mutable_at(k) = static_cast<std::size_t>(k) < static_cast<std::size_t>(r.grad.size()) ? r.grad[k] : 0.0;
        active.mutable_at(k) = static_cast<std::size_t>(k) < static_cast<std::size_t>(r.active_mask.size())
                                   ? static_cast<int64_t>(r.active_mask[k]) : 0;
    }
    for (py::ssize_t k = 0; k < m; ++k) fun.mutable_at(k) = r.fun[k];
    if (r.jac.rows() == m && r.jac.cols() == n) {
        for (py::ssize_t a = 0; a < m; ++a)
            for (py::ssize_t b = 0; b < n; ++b) jac.mutable_at(a, b) = r.jac(a, b);
    }
    py::object OptimizeResult = py::module_::import("scipy.optimize").attr("OptimizeResult");
    return OptimizeResult(py::arg("x") = x, py::arg("cost") = r.cost, py::arg("fun") = fun, py::arg("jac") = jac,
                          py::arg("grad") = grad, py::arg("optimality") = r.optimality,
                          py::arg("active_mask") = active, py::arg("nfev") = r.nfev, py::arg("njev") = r.njev,
                          py::arg("status") = r.status, py::arg("message") = r.message,
                          py::arg("success") = r.success);
}

}  // namespace ecmpy
