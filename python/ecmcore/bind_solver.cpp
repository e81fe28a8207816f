// _ecmcore.least_squares, fit_model1, fit_model2_branch: the bounded robust
// solver and the window fits, returning scipy.optimize.OptimizeResult objects.
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "core/base/errors.hpp"
#include "core/extract/fitting.hpp"
#include "core/numeric/trf.hpp"
#include "python/common/fit_result.hpp"

#include "python/common/bind_common.hpp"

namespace py = pybind11;

using ecmpy::to_optimize_result;

namespace {

using ecmcore_bind::as_vector;
using ecmcore_bind::InArray;

// Progress lines go to whatever sys.stdout is at the moment of writing.
ecm::PrintFn python_stdout() {
    return [](const std::string& line) { py::module_::import("sys").attr("stdout").attr("write")(line); };
}

// Bounds: a scalar applies to every parameter, an array gives one per parameter.
Eigen::VectorXd bound_vector(const py::handle& obj, Eigen::Index n, const char* name) {
    InArray a = InArray::ensure(obj);
    if (!a) throw py::type_error(std::string(name) + " bound must be a number or a sequence of numbers");
    if (a.ndim() == 0 || a.size() == 1) return Eigen::VectorXd::Constant(n, a.data()[0]);
    if (a.ndim() != 1 || a.size() != n)
        throw py::value_error(std::string(name) + " bound has " + std::to_string(a.size()) + " entries for " +
                              std::to_string(n) + " parameters");
    return Eigen::Map<const Eigen::VectorXd>(a.data(), n);
}

// Calls a Python residual function; the result must be a 1-D float array
// (a scalar counts as one residual).
void call_fun(const py::function& fun, const Eigen::VectorXd& x, Eigen::VectorXd& f) {
    py::object out = fun(py::cast(Eigen::VectorXd(x)));
    InArray a = InArray::ensure(out);
    if (!a) throw py::type_error("residual function must return an array of numbers");
    if (a.ndim() > 1)
        throw py::value_error("residual function must return a one-dimensional array, got " + std::to_string(a.ndim()) +
                              " dimensions");
    f = Eigen::Map<const Eigen::VectorXd>(a.data(), a.size());
}

void call_jac(const py::function& jac, const Eigen::VectorXd& x, Eigen::Index m, Eigen::Index n, Eigen::MatrixXd& J) {
    py::object out = jac(py::cast(Eigen::VectorXd(x)));
    InArray a = InArray::ensure(out);
    if (!a) throw py::type_error("Jacobian function must return an array of numbers");
    // A 1-D result is one row (as numpy.atleast_2d reads it).
    const py::ssize_t rows = a.ndim() == 2 ? a.shape(0) : 1;
    const py::ssize_t cols = a.ndim() == 2 ? a.shape(1) : (a.ndim() == 1 ? a.shape(0) : 1);
    if (a.ndim() > 2 || rows != m || cols != n)
        throw py::value_error("Jacobian function returned shape (" + std::to_string(rows) + ", " +
                              std::to_string(cols) + ") where (" + std::to_string(m) + ", " + std::to_string(n) +
                              ") was expected");
    J = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(a.data(), m, n);
}

ecm::LsqOptions make_options(const std::string& loss, double f_scale, double ftol, double xtol, double gtol,
                             const py::object& max_nfev, int verbose) {
    ecm::LsqOptions o;
    o.loss = ecm::parse_loss(loss);
    o.f_scale = f_scale;
    o.ftol = ftol;
    o.xtol = xtol;
    o.gtol = gtol;
    if (!max_nfev.is_none()) {
        const long v = max_nfev.cast<long>();
        if (v < 1) throw py::value_error("max_nfev must be None or a positive integer");
        o.max_nfev = static_cast<int>(std::min<long>(v, std::numeric_limits<int>::max()));
    }
    if (verbose < 0 || verbose > 2) throw py::value_error("verbose must be 0, 1 or 2");
    o.verbose = verbose;
    if (verbose > 0) o.print = python_stdout();
    return o;
}

py::object least_squares(const py::function& fun, const py::object& x0_obj, const py::function& jac,
                         const py::object& bounds_obj, const std::string& loss, double f_scale, double ftol,
                         double xtol, double gtol, const py::object& max_nfev, int verbose) {
    InArray x0a = InArray::ensure(x0_obj);
    if (!x0a || x0a.ndim() > 1) throw py::value_error("x0 must be a number or a one-dimensional array");
    const Eigen::VectorXd x0 = Eigen::Map<const Eigen::VectorXd>(x0a.data(), x0a.size());
    if (!py::isinstance<py::sequence>(bounds_obj) || py::isinstance<py::str>(bounds_obj) || py::len(bounds_obj) != 2)
        throw py::value_error("bounds must be a pair (lb, ub)");
    const py::sequence bounds = bounds_obj.cast<py::sequence>();
    const Eigen::Index n = x0.size();
    const Eigen::VectorXd lb = bound_vector(bounds[0], n, "lower");
    const Eigen::VectorXd ub = bound_vector(bounds[1], n, "upper");
    const ecm::LsqOptions opt = make_options(loss, f_scale, ftol, xtol, gtol, max_nfev, verbose);

    Eigen::Index m = -1;
    ecm::LsqProblem prob;
    prob.fun = [&](const Eigen::VectorXd& x, Eigen::VectorXd& f) {
        call_fun(fun, x, f);
        if (m < 0) m = f.size();
    };
    prob.jac = [&](const Eigen::VectorXd& x, const Eigen::VectorXd&, Eigen::MatrixXd& J) { call_jac(jac, x, m, n, J); };
    try {
        return to_optimize_result(ecm::least_squares_trf(prob, x0, lb, ub, opt));
    } catch (const ecm::DataError& e) {
        throw py::value_error(e.what());
    }
}

struct Window {
    InArray t, i, y;
    std::size_t n;
};

Window window(const py::object& t, const py::object& i, const py::object& y) {
    Window w{as_vector(t, "t"), as_vector(i, "i"), as_vector(y, "y"), 0};
    if (w.t.size() != w.i.size() || w.t.size() != w.y.size())
        throw py::value_error("t, i and y must have the same length, got " + std::to_string(w.t.size()) + ", " +
                              std::to_string(w.i.size()) + " and " + std::to_string(w.y.size()));
    w.n = static_cast<std::size_t>(w.t.size());
    return w;
}

template <std::size_t N>
std::array<double, N> start_vector(const py::object& obj) {
    InArray a = as_vector(obj, "x0");
    if (a.size() != static_cast<py::ssize_t>(N))
        throw py::value_error("x0 must have " + std::to_string(N) + " entries, got " + std::to_string(a.size()));
    std::array<double, N> out{};
    for (std::size_t k = 0; k < N; ++k) out[k] = a.data()[k];
    return out;
}

py::object fit_model1(const py::object& t, const py::object& i, const py::object& y, const py::object& x0,
                      double f_scale, double tol, int verbose) {
    const Window w = window(t, i, y);
    const auto start = start_vector<3>(x0);
    if (verbose < 0 || verbose > 2) throw py::value_error("verbose must be 0, 1 or 2");
    try {
        return to_optimize_result(
            ecm::fit_model1(w.t.data(), w.i.data(), w.y.data(), w.n, start, f_scale, tol, verbose, python_stdout()));
    } catch (const ecm::DataError& e) {
        throw py::value_error(e.what());
    }
}

py::object fit_model2_branch(const py::object& t, const py::object& i, const py::object& y, double r0, double r1,
                             double c1, const py::object& x0, double f_scale, double tol, int verbose) {
    const Window w = window(t, i, y);
    const auto start = start_vector<2>(x0);
    if (verbose < 0 || verbose > 2) throw py::value_error("verbose must be 0, 1 or 2");
    try {
        return to_optimize_result(ecm::fit_model2_branch(w.t.data(), w.i.data(), w.y.data(), w.n, r0, r1, c1, start,
                                                         f_scale, tol, verbose, python_stdout()));
    } catch (const ecm::DataError& e) {
        throw py::value_error(e.what());
    }
}

}  // namespace

void bind_solver(py::module_& m) {
    const double inf = std::numeric_limits<double>::infinity();
    m.def("least_squares", &least_squares, py::arg("fun"), py::arg("x0"), py::arg("jac"),
          py::arg("bounds") = py::make_tuple(-inf, inf), py::arg("loss") = "linear", py::arg("f_scale") = 1.0,
          py::arg("ftol") = 1e-8, py::arg("xtol") = 1e-8, py::arg("gtol") = 1e-8, py::arg("max_nfev") = py::none(),
          py::arg("verbose") = 0,
          R"doc(Bounded trust-region reflective least squares with exact Jacobian, the method
and semantics of scipy.optimize.least_squares(method="trf"). fun(x) -> residuals (m,),
jac(x) -> (m, n). Returns a scipy.optimize.OptimizeResult.)doc");
    m.def("fit_model1", &fit_model1, py::arg("t"), py::arg("i"), py::arg("y"), py::arg("x0"), py::arg("f_scale"),
          py::arg("tol"), py::arg("verbose") = 0,
          "First-pass fit of (R0, R1, C1), residual y - model, bounds [1e-4, 5e4], Huber loss.");
    m.def("fit_model2_branch", &fit_model2_branch, py::arg("t"), py::arg("i"), py::arg("y"), py::arg("r0"),
          py::arg("r1"), py::arg("c1"), py::arg("x0"), py::arg("f_scale"), py::arg("tol"), py::arg("verbose") = 0,
          "Second-pass fit of (R2, C2) with R0, R1, C1 fixed, residual y - model, Huber loss.");
}
