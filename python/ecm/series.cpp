#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "python/ecm/extras.hpp"

namespace ecmbind {

namespace {

py::array_t<double> copy_of(const double* p, std::size_t n) {
    py::array_t<double> a(static_cast<py::ssize_t>(n));
    if (n) std::memcpy(a.mutable_data(), p, n * sizeof(double));
    return a;
}

}  // namespace

void add_series(py::dict& out, const ecmpy::RecordingArrays& arrays, const ecm::RecordingResult& r,
                ecm::FitMethod method) {
    const std::size_t n = std::min<std::size_t>(r.samples, static_cast<std::size_t>(arrays.seconds.size()));
    py::dict s;
    s["t"] = copy_of(arrays.seconds.data(), n);
    s["current"] = copy_of(arrays.current.data(), n);
    s["voltage"] = copy_of(arrays.voltage.data(), n);
    if (r.ocv_diff) s["ocv_diff"] = copy_of(r.ocv_diff->data(), std::min(n, r.ocv_diff->size()));
    std::vector<long long> rest_end;
    for (auto k : r.ind_slice)
        if (k >= 0 && static_cast<std::size_t>(k) < n) rest_end.push_back(k);
    s["rest_end"] = py::cast(rest_end);
    py::list fits;
    for (const auto& row : r.rows) {
        py::dict f;
        f["window_start"] = row.yout_window.a;
        f["window_end"] = row.yout_window.b;
        // The two-pass fits model the overvoltage (voltage minus OCV); the joint fit the voltage itself.
        f["target"] = method == ecm::FitMethod::Joint ? "voltage" : "ocv_diff";
        f["yout"] = copy_of(row.lsq_yout.data(), row.lsq_yout.size());
        fits.append(f);
    }
    s["fits"] = fits;
    out["series"] = s;
}

}  // namespace ecmbind
