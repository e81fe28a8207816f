#pragma once
// A solver result as the object SciPy's least_squares returns (OptimizeResult),
// used by ecmfit and by the private _ecmcore module.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "ecmfit/core/trf.hpp"

namespace ecmpy {

inline pybind11::object to_optimize_result(const ecm::LsqResult& r) {
    namespace py = pybind11;
    // Looked up once and kept for the life of the process.
    static py::object* cls = new py::object(py::module_::import("scipy.optimize").attr("OptimizeResult"));
    py::dict d;
    d["x"] = py::cast(Eigen::VectorXd(r.x));
    d["cost"] = r.cost;
    d["fun"] = py::cast(Eigen::VectorXd(r.fun));
    d["jac"] = py::cast(Eigen::MatrixXd(r.jac));
    d["grad"] = py::cast(Eigen::VectorXd(r.grad));
    d["optimality"] = r.optimality;
    d["active_mask"] =
        py::cast(Eigen::Matrix<std::int64_t, Eigen::Dynamic, 1>(r.active_mask.cast<std::int64_t>()));
    d["nfev"] = r.nfev;
    d["njev"] = r.njev;
    d["status"] = r.status;
    d["message"] = r.message;
    d["success"] = r.success;
    d["initial_cost"] = r.initial_cost;
    return (*cls)(**d);
}

}  // namespace ecmpy
