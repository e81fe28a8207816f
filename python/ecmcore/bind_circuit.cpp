// _ecmcore.simulate: the exact RC-circuit response and its Jacobian.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/circuit/circuit.hpp"

#include "python/common/bind_common.hpp"

namespace py = pybind11;

namespace {

using ecmcore_bind::as_vector;
using ecmcore_bind::InArray;

py::object simulate(const py::object& t_obj, const py::object& i_obj, double r0, const py::object& r_obj,
                    const py::object& c_obj, bool jac) {
    InArray t = as_vector(t_obj, "t");
    InArray i = as_vector(i_obj, "i");
    InArray r = as_vector(r_obj, "r");
    InArray c = as_vector(c_obj, "c");
    if (t.size() != i.size())
        throw py::value_error("t has " + std::to_string(t.size()) + " samples but i has " + std::to_string(i.size()));
    if (r.size() != c.size())
        throw py::value_error("r has " + std::to_string(r.size()) + " branches but c has " + std::to_string(c.size()));
    const auto n = static_cast<std::size_t>(t.size());
    const auto nb = static_cast<std::size_t>(r.size());
    py::array_t<double> y(static_cast<py::ssize_t>(n));
    // Column-major n x (1+2nb) Jacobian, returned as a NumPy (n, 1+2nb) array.
    py::array_t<double, py::array::f_style> J;
    double* jp = nullptr;
    if (jac) {
        J = py::array_t<double, py::array::f_style>(
            {static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(1 + 2 * nb)});
        jp = J.mutable_data();
    }
    try {
        ecm::simulate_rc(t.data(), i.data(), n, r0, r.data(), c.data(), nb, y.mutable_data(), jp);
    } catch (const ecm::DataError& e) {
        throw py::value_error(e.what());
    }
    if (jac) return py::make_tuple(y, J);
    return std::move(y);
}

}  // namespace

void bind_circuit(py::module_& m) {
    m.def("simulate", &simulate, py::arg("t"), py::arg("i"), py::arg("r0"), py::arg("r"), py::arg("c"),
          py::arg("jac") = false,
          R"doc(Exact response of R0 in series with RC branches (r[b], c[b]) to the current i,
linear between the sample times t, from a zero state at t[0] (y[0] = r0*i[0]).
Returns y, or (y, J) with jac=True; the columns of J are dy/dR0, dy/dR1, dy/dC1, ...)doc");
}
