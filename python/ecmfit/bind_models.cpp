// model1, model2_r2c2, fit_ls1 and fit_ls2: the circuit models and residuals on
// the current fitting window, read from the module at every call.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/circuit/circuit.hpp"
#include "python/common/pyface.hpp"
#include "python/ecmfit/steps.hpp"

namespace ecmpy {

namespace {

using darray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The module, kept alive for the functions that read its values.
PyObject* g_module = nullptr;

py::object module_value(const char* name) {
    py::module_ m = py::reinterpret_borrow<py::module_>(g_module);
    if (!py::hasattr(m, name)) {
        raise(PyExc_NameError, std::string("ecmfit.") + name + " is not set; it is assigned while pulses are fitted");
    }
    return m.attr(name);
}

darray vector_value(py::handle h, const char* what) {
    darray a = darray::ensure(h);
    if (!a) raise(PyExc_TypeError, std::string(what) + " must be a sequence of numbers");
    if (a.ndim() != 1) raise(PyExc_ValueError, std::string(what) + " must be one-dimensional");
    return a;
}

py::array_t<double> simulate(const darray& x, double r0, const std::vector<double>& r, const std::vector<double>& c) {
    darray t = vector_value(module_value("t_vec"), "t_vec");
    if (t.size() != x.size()) {
        raise(PyExc_ValueError, "the current vector has " + std::to_string(x.size()) + " samples but t_vec has " +
                                    std::to_string(t.size()));
    }
    py::array_t<double> y(t.size());
    try {
        ecm::simulate_rc(t.data(), x.data(), static_cast<std::size_t>(t.size()), r0, r.data(), c.data(), r.size(),
                         y.mutable_data(), nullptr);
    } catch (const ecm::DataError& e) {
        raise(PyExc_ValueError, e.what());
    }
    return y;
}

py::array_t<double> model1(py::handle x, double r0, double r1, double c1) {
    return simulate(vector_value(x, "x"), r0, {r1}, {c1});
}

py::array_t<double> model2_r2c2(py::handle x, double r2, double c2) {
    double r0 = module_value("gr0").cast<double>();
    double r1 = module_value("gr1").cast<double>();
    double c1 = module_value("gc1").cast<double>();
    return simulate(vector_value(x, "x"), r0, {r1, r2}, {c1, c2});
}

py::array_t<double> data_minus(const py::array_t<double>& model) {
    darray y = vector_value(module_value("ydata"), "ydata");
    if (y.size() != model.size()) {
        raise(PyExc_ValueError,
              "ydata has " + std::to_string(y.size()) + " samples but the window has " + std::to_string(model.size()));
    }
    py::array_t<double> out(y.size());
    for (py::ssize_t k = 0; k < y.size(); ++k) out.mutable_data()[k] = y.data()[k] - model.data()[k];
    return out;
}

std::vector<double> params_of(py::handle params, std::size_t n, const char* fn) {
    darray p = vector_value(params, "params");
    if (static_cast<std::size_t>(p.size()) != n) {
        raise(PyExc_ValueError,
              std::string(fn) + " takes " + std::to_string(n) + " parameters, got " + std::to_string(p.size()));
    }
    return std::vector<double>(p.data(), p.data() + p.size());
}

}  // namespace

void bind_model_functions(py::module_& m) {
    g_module = m.ptr();
    Py_INCREF(g_module);
    m.def("model1", &model1, py::arg("x"), py::arg("r0"), py::arg("r1"), py::arg("c1"),
          "Voltage deviation of R0 + R1||C1 for the current x at the times t_vec (zero state at t_vec[0]).");
    m.def("model2_r2c2", &model2_r2c2, py::arg("x"), py::arg("r2"), py::arg("c2"),
          "Voltage deviation of R0 + R1||C1 + R2||C2 with R0, R1, C1 from gr0, gr1, gc1.");
    m.def(
        "fit_ls1",
        [](py::handle params) {
            auto p = params_of(params, 3, "fit_ls1");
            return data_minus(model1(module_value("xdata"), p[0], p[1], p[2]));
        },
        py::arg("params"), "ydata minus model1(xdata, R0, R1, C1).");
    m.def(
        "fit_ls2",
        [](py::handle params) {
            auto p = params_of(params, 2, "fit_ls2");
            return data_minus(model2_r2c2(module_value("xdata"), p[0], p[1]));
        },
        py::arg("params"), "ydata minus model2_r2c2(xdata, R2, C2).");
}

}  // namespace ecmpy
