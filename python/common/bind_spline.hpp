#pragma once
// Python face of the OCV-SOC spline (ecm::CubicSpline). Header only, so that
// both the ecmfit module and the private _ecmcore module can register the class;
// py::module_local() keeps the two registrations apart.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "core/base/errors.hpp"
#include "core/numeric/spline.hpp"

namespace ecm_bind_spline_detail {

namespace py = pybind11;
using InArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

inline py::array_t<double> readonly_copy(const std::vector<double>& v) {
    py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(double));
    a.attr("setflags")(py::arg("write") = false);
    return a;
}

inline std::vector<double> points_from(const InArray& a, const char* name) {
    if (a.ndim() != 1) {
        std::ostringstream m;
        m << "CubicSpline: " << name << " must be one-dimensional, got " << a.ndim() << " dimensions";
        throw py::value_error(m.str());
    }
    return std::vector<double>(a.data(), a.data() + a.size());
}

}  // namespace ecm_bind_spline_detail

inline void bind_spline_class(pybind11::module_& m) {
    namespace py = pybind11;
    namespace d = ecm_bind_spline_detail;
    py::class_<ecm::CubicSpline>(m, "CubicSpline", py::module_local(),
                                 "Interpolating cubic spline with not-a-knot end conditions through "
                                 "(x, y), x strictly increasing, at least four points. Outside the data it "
                                 "extrapolates with its end polynomials. Calling it with a number returns "
                                 "a float, with an array a float64 array of the same shape.")
        .def(py::init([](const d::InArray& x, const d::InArray& y) {
                 std::vector<double> xv = d::points_from(x, "x");
                 std::vector<double> yv = d::points_from(y, "y");
                 try {
                     return ecm::CubicSpline(std::move(xv), std::move(yv));
                 } catch (const ecm::DataError& e) {
                     throw py::value_error(e.what());
                 }
             }),
             py::arg("x"), py::arg("y"))
        .def(
            "__call__",
            [](const ecm::CubicSpline& s, const py::object& x, int nu) -> py::object {
                if (nu < 0 || nu > 3) throw py::value_error("CubicSpline: nu must be 0, 1, 2 or 3");
                if (py::isinstance<py::float_>(x) || py::isinstance<py::int_>(x)) {
                    return py::float_(s(x.cast<double>(), nu));
                }
                auto a = d::InArray::ensure(x);
                if (!a) throw py::type_error("CubicSpline: expected a number or an array of numbers");
                if (a.ndim() == 0) return py::float_(s(*a.data(), nu));
                std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
                py::array_t<double> out(shape);
                s.eval(a.data(), static_cast<std::size_t>(a.size()), out.mutable_data(), nu);
                return std::move(out);
            },
            py::arg("x"), py::arg("nu") = 0,
            "Value (nu=0) or derivative of order nu at x, extrapolating outside the data.")
        .def_property_readonly(
            "x", [](const ecm::CubicSpline& s) { return d::readonly_copy(s.x()); }, "The data x values (knots).")
        .def_property_readonly(
            "y", [](const ecm::CubicSpline& s) { return d::readonly_copy(s.y()); }, "The data y values.")
        .def(
            "get_knots",
            [](const ecm::CubicSpline& s) {
                // The not-a-knot spline as a B-spline has no knot at the second
                // and the last-but-one point.
                const auto& x = s.x();
                std::vector<double> k;
                for (std::size_t i = 0; i < x.size(); ++i) {
                    if (i != 1 && i + 2 != x.size()) k.push_back(x[i]);
                }
                return d::readonly_copy(k);
            },
            "Interior and end knots of the equivalent B-spline: x without its second and last-but-one value.")
        .def(
            "__reduce__",
            [](const ecm::CubicSpline& s) {
                // Rebuilt from its points by the side-effect-free _ecmcore
                // module, so unpickling never has to import ecmfit (whose
                // import runs the extraction).
                py::object cls = py::module_::import("_ecmcore").attr("CubicSpline");
                return py::make_tuple(cls, py::make_tuple(d::readonly_copy(s.x()), d::readonly_copy(s.y())));
            },
            "Pickles as _ecmcore.CubicSpline through the same points.")
        .def("__repr__", [](const ecm::CubicSpline& s) {
            std::ostringstream r;
            r.precision(6);
            r << "<CubicSpline through " << s.size() << " points";
            if (!s.empty()) r << " on [" << s.x().front() << ", " << s.x().back() << "]";
            r << '>';
            return r.str();
        });
}
