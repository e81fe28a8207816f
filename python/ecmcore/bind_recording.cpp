// _ecmcore: trimming at the cut-off and the cumulative charge.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <sstream>
#include <vector>

#include "core/extract/recording.hpp"

#include "python/common/bind_common.hpp"

namespace py = pybind11;

namespace {

using ecmcore_bind::InArray;
using ecmcore_bind::to_array;

void require_1d(const InArray& a, const char* fn, const char* name) {
    if (a.ndim() != 1) {
        std::ostringstream m;
        m << fn << ": " << name << " must be one-dimensional, got " << a.ndim() << " dimensions";
        throw py::value_error(m.str());
    }
}

}  // namespace

void bind_recording(py::module_& m) {
    m.def(
        "find_cutoff",
        [](const InArray& v, double vcut) -> py::object {
            require_1d(v, "find_cutoff", "v");
            const auto k = ecm::find_cutoff(v.data(), static_cast<std::size_t>(v.size()), vcut);
            if (!k) return py::none();
            return py::int_(*k);
        },
        py::arg("v"), py::arg("vcut"), "Index of the first sample with v < vcut (strictly below), or None.");

    m.def(
        "cumulative_charge_mAh",
        [](const InArray& t, const InArray& i) {
            require_1d(t, "cumulative_charge_mAh", "t");
            require_1d(i, "cumulative_charge_mAh", "i");
            if (t.size() != i.size()) {
                std::ostringstream msg;
                msg << "cumulative_charge_mAh: t has " << t.size() << " samples but i has " << i.size();
                throw py::value_error(msg.str());
            }
            std::vector<double> out;
            {
                py::gil_scoped_release nogil;
                out = ecm::cumulative_charge_mAh(t.data(), i.data(), static_cast<std::size_t>(t.size()));
            }
            return to_array(std::move(out));
        },
        py::arg("t"), py::arg("i"),
        "|cumulative trapezoid integral of 1000*i over t, from 0| / 3600, in mAh; element 0 is 0.");
}
