// The builder's collection and model tables.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/build/collect.hpp"
#include "core/build/model_text.hpp"
#include "core/build/tables.hpp"
#include "core/numeric/interp.hpp"

#include "python/common/bind_common.hpp"

namespace py = pybind11;

namespace {

using ecmcore_bind::data_errors_as_value_errors;

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

std::vector<double> vec(const Array& a, const char* what) {
    if (a.ndim() != 1) throw py::value_error(std::string(what) + " must be one-dimensional");
    return std::vector<double>(a.data(), a.data() + a.size());
}

py::array_t<double> arr(const std::vector<double>& v) {
    py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

std::vector<ecm::gen::ParamFile> param_files(const py::list& files) {
    std::vector<ecm::gen::ParamFile> out;
    for (py::handle h : files) {
        py::tuple t = py::cast<py::tuple>(h);
        if (t.size() != 6) throw py::value_error("each file is (name, TempC, Tparam_1, Tparam_2, SOC list, OCV list)");
        ecm::gen::ParamFile f;
        f.name = t[0].cast<std::string>();
        f.temp_c = t[1].cast<double>();
        f.capacity_ah = t[2].cast<double>();
        f.rc = t[3].cast<std::vector<double>>();
        f.soc = t[4].cast<std::vector<double>>();
        f.ocv = t[5].cast<std::vector<double>>();
        out.push_back(std::move(f));
    }
    return out;
}

}  // namespace

void bind_tables(py::module_& m) {
    m.def(
        "linspace",
        [](double start, double stop, std::size_t num) { return arr(ecm::gen::linspace(start, stop, num)); },
        py::arg("start"), py::arg("stop"), py::arg("num"));
    m.def(
        "table_interp",
        [](const Array& x, const Array& xp, const Array& fp) {
            return data_errors_as_value_errors(
                [&] { return arr(ecm::interp_linear(vec(x, "x"), vec(xp, "xp"), vec(fp, "fp"))); });
        },
        py::arg("x"), py::arg("xp"), py::arg("fp"));
    m.def(
        "lstsq",
        [](const Array& A, const Array& B) {
            if (A.ndim() != 2) throw py::value_error("A must be two-dimensional");
            if (B.ndim() != 1 && B.ndim() != 2) throw py::value_error("B must be one- or two-dimensional");
            Eigen::MatrixXd a(A.shape(0), A.shape(1));
            for (py::ssize_t i = 0; i < A.shape(0); ++i)
                for (py::ssize_t j = 0; j < A.shape(1); ++j) a(i, j) = A.at(i, j);
            const py::ssize_t cols = B.ndim() == 2 ? B.shape(1) : 1;
            Eigen::MatrixXd b(B.shape(0), cols);
            const double* pb = B.data();
            for (py::ssize_t i = 0; i < B.shape(0); ++i)
                for (py::ssize_t j = 0; j < cols; ++j) b(i, j) = pb[i * cols + j];
            Eigen::MatrixXd x = data_errors_as_value_errors([&] { return ecm::gen::lstsq(a, b); });
            if (B.ndim() == 1) {
                py::array_t<double> out(x.rows());
                for (Eigen::Index i = 0; i < x.rows(); ++i) out.mutable_at(i) = x(i, 0);
                return out;
            }
            py::array_t<double> out({x.rows(), x.cols()});
            for (Eigen::Index i = 0; i < x.rows(); ++i)
                for (Eigen::Index j = 0; j < x.cols(); ++j) out.mutable_at(i, j) = x(i, j);
            return out;
        },
        py::arg("A"), py::arg("B"), "Minimum-norm least squares, like numpy.linalg.lstsq(A, B, rcond=None)[0].");
    m.def(
        "mean_step",
        [](const Array& grid) {
            return data_errors_as_value_errors([&] { return ecm::gen::mean_step(vec(grid, "grid")); });
        },
        py::arg("grid"));
    m.def(
        "derivative_along_soc",
        [](const Array& values, double dz) {
            return data_errors_as_value_errors(
                [&] { return arr(ecm::gen::derivative_along_soc(vec(values, "values"), dz)); });
        },
        py::arg("values"), py::arg("dz"));
    m.def(
        "collect_param_files",
        [](const py::list& files) {
            auto pf = param_files(files);
            auto c = data_errors_as_value_errors([&] { return ecm::gen::collect(pf); });
            py::dict d;
            d["temperatures"] = arr(c.temperatures);
            d["capacities"] = arr(c.capacities);
            d["rcparams"] = c.rcparams;
            d["soc"] = arr(c.soc);
            d["ocv_temps"] = arr(c.ocv_temps);
            d["ocv_columns"] = c.ocv_columns;
            return d;
        },
        py::arg("files"), "files: list of (name, TempC, Tparam_1, Tparam_2, SOC, OCV) in reading order.");
    m.def(
        "derive_model_tables",
        [](const py::list& files, double vbatlow, double vbathigh) {
            auto pf = param_files(files);
            auto t = data_errors_as_value_errors([&] {
                auto c = ecm::gen::collect(pf);
                return ecm::gen::derive_tables(c, vbatlow, vbathigh);
            });
            py::dict d;
            d["OCV"] = arr(t.vovc);
            d["OCVrel"] = arr(t.ocv_rel);
            d["OCV0"] = arr(t.ocv0);
            d["dOCV0"] = arr(t.docv0);
            d["dOCVrel"] = arr(t.docv_rel);
            d["SOCrel"] = arr(t.soc_rel);
            d["SOC0"] = arr(t.soc0);
            d["R0Param"] = arr(t.r0);
            d["RCParam"] = arr(t.tau);
            d["RParam"] = arr(t.r);
            d["QParam"] = arr(t.q);
            d["soc_temps"] = arr(t.soc_temps);
            d["soc_columns"] = t.soc_columns;
            d["temperature_undetermined"] = t.temperature_undetermined;
            return d;
        },
        py::arg("files"), py::arg("vbatlow"), py::arg("vbathigh"));
    m.def(
        "model_json_text",
        [](const py::list& entries) {
            std::vector<ecm::gen::ModelEntry> es;
            for (py::handle h : entries) {
                py::tuple t = py::cast<py::tuple>(h);
                if (t.size() != 2) throw py::value_error("each entry is (key, list of numbers or text)");
                ecm::gen::ModelEntry e;
                e.key = t[0].cast<std::string>();
                if (py::isinstance<py::str>(t[1])) {
                    e.is_text = true;
                    e.text = t[1].cast<std::string>();
                } else {
                    e.values = t[1].cast<std::vector<double>>();
                }
                es.push_back(std::move(e));
            }
            auto r = ecm::gen::model_json_text(es);
            return py::make_tuple(r.text, r.nonfinite_keys);
        },
        py::arg("entries"), "entries: list of (key, list of numbers or text); returns (text, non-finite keys).");
}
