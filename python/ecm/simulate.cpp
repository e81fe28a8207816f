// Simulation of a finished model on a recording's current (ecm.validate).
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/circuit/simulate.hpp"
#include "python/ecm/extras.hpp"

namespace ecmbind {

namespace {

using carray = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::array_t<double> to_array(const std::vector<double>& v) {
    py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(double));
    return a;
}

std::vector<double> to_vector(const carray& a, const char* what) {
    if (a.ndim() != 1) throw py::value_error(std::string(what) + " must be one-dimensional");
    return std::vector<double>(a.data(), a.data() + a.size());
}

ecm::SimModel make_model(const carray& ocv_soc, const carray& ocv_v, const carray& param_soc, const carray& r0,
                         const std::vector<carray>& r, const std::vector<carray>& tau, double capacity_ah) {
    ecm::SimModel m;
    m.ocv_soc = to_vector(ocv_soc, "ocv_soc");
    m.ocv_v = to_vector(ocv_v, "ocv_v");
    m.param_soc = to_vector(param_soc, "param_soc");
    m.r0 = to_vector(r0, "r0");
    for (const auto& a : r) m.r.push_back(to_vector(a, "r"));
    for (const auto& a : tau) m.tau.push_back(to_vector(a, "tau"));
    m.capacity_ah = capacity_ah;
    return m;
}

// Reads a recording with the extraction's reader: all rows, no cut-off.
py::dict read_recording(const std::string& path) {
    py::object df = ecmpy::read_table(path);
    std::optional<std::string> name_text;
    py::dict out;
    out["path"] = path;
    try {
        out["temperature"] = ecmpy::recording_temperature(df, path, name_text);
        out["temperature_source"] = name_text ? "file name" : "data";
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        out["temperature"] = py::none();
        out["temperature_source"] = py::str(e.value());  // the message, which names the file
    }
    const ecmpy::RecordingArrays a = ecmpy::recording_arrays(df, path);
    out["t"] = py::array_t<double>(a.seconds.size(), a.seconds.data());
    out["current"] = py::array_t<double>(a.current.size(), a.current.data());
    out["voltage"] = py::array_t<double>(a.voltage.size(), a.voltage.data());
    return out;
}

}  // namespace

void bind_simulate(py::module_& m) {
    m.def("read_recording", &read_recording, py::arg("path"),
          "All rows of a recording file as arrays t, current, voltage, with its temperature (None when "
          "neither the data nor the file name give one; temperature_source then says why).");

    m.def(
        "simulate_model",
        [](const carray& t, const carray& i, const carray& ocv_soc, const carray& ocv_v, const carray& param_soc,
           const carray& r0, const std::vector<carray>& r, const std::vector<carray>& tau, double capacity_ah,
           double soc0) {
            if (t.ndim() != 1 || i.ndim() != 1 || t.size() != i.size())
                throw py::value_error("t and i must be one-dimensional arrays of equal length");
            const ecm::SimModel model = make_model(ocv_soc, ocv_v, param_soc, r0, r, tau, capacity_ah);
            ecm::SimResult res;
            std::optional<std::string> error;
            {
                py::gil_scoped_release nogil;
                try {
                    res = ecm::simulate_model(t.data(), i.data(), static_cast<std::size_t>(t.size()), model, soc0);
                } catch (const ecm::DataError& e) {
                    error = e.what();
                }
            }
            if (error) throw py::value_error(*error);
            py::dict out;
            out["v"] = to_array(res.v);
            out["soc"] = to_array(res.soc);
            out["ocv"] = to_array(res.ocv);
            py::list br;
            for (const auto& b : res.branch) br.append(to_array(b));
            out["branch"] = br;
            return out;
        },
        py::arg("t"), py::arg("i"), py::arg("ocv_soc"), py::arg("ocv_v"), py::arg("param_soc"), py::arg("r0"),
        py::arg("r"), py::arg("tau"), py::arg("capacity_ah"), py::arg("soc0"),
        "Terminal voltage of R0 and RC branches (tables in SOC, linear between points, flat beyond) on the "
        "current i (A, linear between the samples t), from soc0 with the branches at rest; SOC by coulomb "
        "counting over capacity_ah. Returns v, soc, ocv and the branch voltages.");

    m.def(
        "soc_from_ocv",
        [](const carray& ocv_soc, const carray& ocv_v, double v) {
            ecm::SimModel model;
            model.ocv_soc = to_vector(ocv_soc, "ocv_soc");
            model.ocv_v = to_vector(ocv_v, "ocv_v");
            model.param_soc = {0.0};
            model.r0 = {0.0};
            model.capacity_ah = 1.0;
            try {
                return ecm::soc_from_ocv(model, v);
            } catch (const ecm::DataError& e) {
                throw py::value_error(e.what());
            }
        },
        py::arg("ocv_soc"), py::arg("ocv_v"), py::arg("v"),
        "The SOC at which the OCV table (linear between points) reaches v; the table's ends outside it.");
}

}  // namespace ecmbind
