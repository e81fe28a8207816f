// _ecmcore: current threshold, rest and load ends, relaxed points, OCV over
// time, all as the extraction computes them.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <sstream>
#include <vector>

#include "core/base/errors.hpp"
#include "core/extract/pulses.hpp"

#include "python/common/bind_common.hpp"

namespace py = pybind11;

namespace {

using ecmcore_bind::data_errors_as_value_errors;
using ecmcore_bind::InArray;
using ecmcore_bind::to_array;

using IndexArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

template <class A>
void require_1d(const A& a, const char* fn, const char* name) {
    if (a.ndim() != 1) {
        std::ostringstream m;
        m << fn << ": " << name << " must be one-dimensional, got " << a.ndim() << " dimensions";
        throw py::value_error(m.str());
    }
}

void require_same_length(py::ssize_t n, py::ssize_t other, const char* fn, const char* first, const char* name) {
    if (other != n) {
        std::ostringstream m;
        m << fn << ": " << first << " has " << n << " samples but " << name << " has " << other;
        throw py::value_error(m.str());
    }
}

// Hands a vector over to NumPy without copying it.

}  // namespace

void bind_pulses(py::module_& m) {
    m.def(
        "histogram21",
        [](const InArray& x) {
            require_1d(x, "histogram21", "x");
            ecm::Histogram h = data_errors_as_value_errors(
                [&] { return ecm::histogram21(x.data(), static_cast<std::size_t>(x.size())); });
            return py::make_tuple(to_array(std::move(h.counts)), to_array(std::move(h.edges)));
        },
        py::arg("x"), "(counts int64[21], edges float64[22]) as numpy.histogram(x, bins=21) gives them.");

    m.def(
        "load_threshold",
        [](const InArray& x) {
            require_1d(x, "load_threshold", "iload");
            return data_errors_as_value_errors([&] {
                const ecm::LoadThreshold th =
                    ecm::load_threshold(ecm::histogram21(x.data(), static_cast<std::size_t>(x.size())));
                return py::make_tuple(th.iload_ix, th.iload_th);
            });
        },
        py::arg("iload"), "(iload_ix, iload_th) from the 21-bin current histogram.");

    m.def(
        "find_current_steps",
        [](const InArray& i, double th) {
            require_1d(i, "find_current_steps", "iload");
            ecm::CurrentSteps s = ecm::find_current_steps(i.data(), static_cast<std::size_t>(i.size()), th);
            return py::make_tuple(to_array(std::move(s.idx_rest)), to_array(std::move(s.idx_load)));
        },
        py::arg("iload"), py::arg("th"), "(idx_rest, idx_load): the k with diff(iload)[k] < -th and > th.");

    m.def("soc_grid", [] { return to_array(ecm::soc_grid()); }, "The 201-point SOC grid 0, 0.005, ..., 1.0.");

    m.def(
        "interp",
        [](const InArray& x, const InArray& xp, const InArray& fp) {
            require_1d(x, "interp", "x");
            require_1d(xp, "interp", "xp");
            require_1d(fp, "interp", "fp");
            require_same_length(xp.size(), fp.size(), "interp", "xp", "fp");
            std::vector<double> out(static_cast<std::size_t>(x.size()));
            data_errors_as_value_errors([&] {
                ecm::interp_linear(x.data(), out.size(), xp.data(), fp.data(), static_cast<std::size_t>(xp.size()),
                                   out.data());
                return 0;
            });
            return to_array(std::move(out));
        },
        py::arg("x"), py::arg("xp"), py::arg("fp"), "Linear interpolation as numpy.interp(x, xp, fp).");

    m.def(
        "ocv_over_time",
        [](const InArray& t, const InArray& v, const IndexArray& idx_rest, const IndexArray& idx_load) {
            require_1d(t, "ocv_over_time", "t");
            require_1d(v, "ocv_over_time", "v");
            require_1d(idx_rest, "ocv_over_time", "idx_rest");
            require_1d(idx_load, "ocv_over_time", "idx_load");
            require_same_length(t.size(), v.size(), "ocv_over_time", "t", "v");
            std::vector<std::int64_t> rest(idx_rest.data(), idx_rest.data() + idx_rest.size());
            std::vector<std::int64_t> load(idx_load.data(), idx_load.data() + idx_load.size());
            ecm::OcvOverTime o = data_errors_as_value_errors(
                [&] { return ecm::ocv_over_time(t.data(), v.data(), static_cast<std::size_t>(t.size()), rest, load); });
            py::dict d;
            d["ind_all"] = to_array(std::move(o.ind_all));
            d["vsoc_time"] = to_array(std::move(o.vsoc_time));
            d["vsoc_val"] = to_array(std::move(o.vsoc_val));
            d["vsoc_val_itrp"] = to_array(std::move(o.vsoc_val_itrp));
            d["ocv_diff"] = to_array(std::move(o.ocv_diff));
            return d;
        },
        py::arg("t"), py::arg("v"), py::arg("idx_rest"), py::arg("idx_load"),
        "The OCV-over-time estimate: dict with ind_all, vsoc_time, vsoc_val, vsoc_val_itrp, ocv_diff.");

    m.def(
        "analyse_pulses",
        [](const InArray& t, const InArray& iload, const InArray& v, const InArray& cum_mAh) {
            require_1d(t, "analyse_pulses", "t");
            require_1d(iload, "analyse_pulses", "iload");
            require_1d(v, "analyse_pulses", "v");
            require_1d(cum_mAh, "analyse_pulses", "cum_mAh");
            require_same_length(t.size(), iload.size(), "analyse_pulses", "t", "iload");
            require_same_length(t.size(), v.size(), "analyse_pulses", "t", "v");
            require_same_length(t.size(), cum_mAh.size(), "analyse_pulses", "t", "cum_mAh");
            ecm::PulseAnalysis a = data_errors_as_value_errors([&] {
                py::gil_scoped_release nogil;
                return ecm::analyse_pulses(t.data(), iload.data(), v.data(), cum_mAh.data(),
                                           static_cast<std::size_t>(t.size()));
            });
            py::dict d;
            d["counts"] = to_array(std::move(a.counts));
            d["bins"] = to_array(std::move(a.bins));
            d["iload_ix"] = a.iload_ix;
            d["iload_th"] = a.iload_th;
            // ind_slice is the very same vector as idx_rest (with N appended).
            py::array_t<std::int64_t> idx_rest = to_array(std::move(a.idx_rest));
            d["idx_rest"] = idx_rest;
            d["idx_load"] = to_array(std::move(a.idx_load));
            d["soc"] = to_array(std::move(a.soc));
            d["vsoc"] = to_array(std::move(a.vsoc));
            d["vsoc_itrp_3rd"] = py::cast(std::move(a.spline));
            d["SOC"] = to_array(std::move(a.SOC));
            d["OCV_3rd"] = to_array(std::move(a.OCV_3rd));
            d["ind_all"] = to_array(std::move(a.ind_all));
            d["vsoc_time"] = to_array(std::move(a.vsoc_time));
            d["vsoc_val"] = to_array(std::move(a.vsoc_val));
            d["vsoc_val_itrp"] = to_array(std::move(a.vsoc_val_itrp));
            d["ocv_diff"] = to_array(std::move(a.ocv_diff));
            d["ind_slice"] = idx_rest;
            d["vsample"] = a.vsample;
            d["mAh"] = a.mAh;
            d["socval"] = a.socval;
            d["relaxpoint"] = a.relaxpoint;
            return d;
        },
        py::arg("t"), py::arg("iload"), py::arg("v"), py::arg("cum_mAh"),
        "Threshold, rest/load ends, relaxed points, OCV-SOC spline and table, OCV over time and ocv_diff "
        "of a trimmed recording, as a dict. Bad data raise ValueError.");
}
