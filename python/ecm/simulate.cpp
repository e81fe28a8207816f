// Simulation of a finished model on a recording's current (ecm.validate).
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/circuit/model.hpp"
#include "core/circuit/ocvfill.hpp"
#include "core/circuit/simulate.hpp"
#include "core/circuit/thermal.hpp"
#include "core/extract/slow.hpp"
#include "python/common/arrays.hpp"
#include "python/ecm/extras.hpp"

namespace ecmbind {

namespace {

using carray = py::array_t<double, py::array::c_style | py::array::forcecast>;

using ecmpy::data_errors_as_value_errors;
using ecmpy::to_array;
using ecmpy::to_vector;

// Runs f without the GIL; a DataError it throws becomes a ValueError (raised with the GIL held).
template <class F>
auto without_gil(F&& f) -> decltype(f()) {
    std::optional<std::string> error;
    std::optional<decltype(f())> out;
    {
        py::gil_scoped_release nogil;
        try {
            out.emplace(f());
        } catch (const ecm::DataError& e) {
            error = e.what();
        }
    }
    if (error) throw py::value_error(*error);
    return std::move(*out);
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
// strict: a recording without a temperature is an error (raised before the
// columns are read).
py::dict read_recording(const std::string& path, bool strict) {
    py::object df = ecmpy::read_table(path);
    std::optional<std::string> name_text;
    py::dict out;
    out["path"] = path;
    try {
        out["temperature"] = ecmpy::recording_temperature(df, path, name_text);
        out["temperature_source"] = name_text ? "file name" : "data";
    } catch (py::error_already_set& e) {
        if (strict || !e.matches(PyExc_ValueError)) throw;
        out["temperature"] = py::none();
        out["temperature_source"] = py::str(e.value());  // the message, which names the file
    }
    const ecmpy::RecordingArrays a = ecmpy::recording_arrays(df, path);
    out["t"] = py::array_t<double>(a.seconds.size(), a.seconds.data());
    out["current"] = py::array_t<double>(a.current.size(), a.current.data());
    out["voltage"] = py::array_t<double>(a.voltage.size(), a.voltage.data());
    // the measured temperature per row, when the file has the column (NaN where a row holds no number)
    if (df.attr("columns").attr("__contains__")("Temperature(C)").cast<bool>()) {
        using namespace pybind11::literals;
        py::object col = py::module_::import("pandas").attr("to_numeric")(df["Temperature(C)"], "errors"_a = "coerce");
        out["temperature_column"] = col.attr("to_numpy")("dtype"_a = "float64");
    } else {
        out["temperature_column"] = py::none();
    }
    return out;
}

py::array_t<double> to_array_2d(const std::vector<std::vector<double>>& rows) {
    const auto n = static_cast<py::ssize_t>(rows.size());
    const auto m = static_cast<py::ssize_t>(rows.empty() ? 0 : rows[0].size());
    py::array_t<double> a({n, m});
    auto w = a.mutable_unchecked<2>();
    for (py::ssize_t k = 0; k < n; ++k)
        for (py::ssize_t j = 0; j < m; ++j) w(k, j) = rows[static_cast<std::size_t>(k)][static_cast<std::size_t>(j)];
    return a;
}

ecm::ModelEvaluator make_evaluator(const carray& soc, const carray& ocv0, const carray& ocvrel, const carray& temps,
                                   const carray& r0, const carray& capacity_ah, const std::vector<carray>& r,
                                   const std::vector<carray>& tau, const carray& table_soc, const carray& table_temps,
                                   const py::dict& tables, const carray& ocv_temps,
                                   const std::vector<carray>& ocv_table) {
    ecm::ModelData d;
    d.soc = to_vector(soc, "soc");
    d.ocv0 = to_vector(ocv0, "ocv0");
    d.ocvrel = to_vector(ocvrel, "ocvrel");
    d.temps = to_vector(temps, "temps");
    d.r0 = to_vector(r0, "r0");
    d.capacity_ah = to_vector(capacity_ah, "capacity_ah");
    for (const auto& a : r) d.r.push_back(to_vector(a, "r"));
    for (const auto& a : tau) d.tau.push_back(to_vector(a, "tau"));
    d.table_soc = to_vector(table_soc, "table_soc");
    d.table_temps = to_vector(table_temps, "table_temps");
    for (auto item : tables) {
        std::vector<std::vector<double>> rows;
        for (py::handle row : item.second) {
            std::vector<double> values;
            for (py::handle x : row) values.push_back(x.is_none() ? std::nan("") : x.cast<double>());
            rows.push_back(std::move(values));
        }
        d.tables[item.first.cast<std::string>()] = std::move(rows);
    }
    d.ocv_temps = to_vector(ocv_temps, "ocv_temps");
    for (const auto& a : ocv_table) d.ocv_table.push_back(to_vector(a, "ocv_table"));
    return data_errors_as_value_errors([&] { return ecm::ModelEvaluator(std::move(d)); });
}

void bind_evaluator(py::module_& m) {
    using E = ecm::ModelEvaluator;
    py::class_<E>(m, "ModelEvaluator",
                  "A finished model evaluated at (SOC, T): OCV, every circuit parameter (from the SOC tables "
                  "where given) and the capacity. Resistances and time constants follow the Arrhenius law "
                  "between the model's temperatures and that of all of them beyond (never falling as the cell "
                  "gets colder); the OCV is the builder's linear law between the temperatures, held beyond; the "
                  "capacity linear between, held beyond; a one-temperature model is that temperature's at any T.")
        .def(py::init(&make_evaluator), py::arg("soc"), py::arg("ocv0"), py::arg("ocvrel"), py::arg("temps"),
             py::arg("r0"), py::arg("capacity_ah"), py::arg("r"), py::arg("tau"), py::arg("table_soc"),
             py::arg("table_temps"), py::arg("tables"), py::arg("ocv_temps") = py::array_t<double>(0),
             py::arg("ocv_table") = std::vector<carray>{})
        .def_property_readonly("has_ocv_table", &E::has_ocv_table)
        .def_property_readonly("soc_axis", [](const E& e) { return to_array(e.soc_axis()); })
        .def(
            "ocv_slope", [](const E& e, double t) { return to_array(e.ocv_slope(t)); }, py::arg("temperature"))
        .def_property_readonly("branches", &E::branches)
        .def_property_readonly("has_slow_branch", &E::has_slow_branch)
        .def_property_readonly("temperatures", [](const E& e) { return to_array(e.temperatures()); })
        .def_property_readonly("r0_by_temperature", [](const E& e) { return to_array(e.r0_by_temperature()); })
        .def_property_readonly("capacity_by_temperature",
                               [](const E& e) { return to_array(e.capacity_by_temperature()); })
        .def("r_by_temperature", [](const E& e, int b) { return to_array(e.r_by_temperature(b)); })
        .def("tau_by_temperature", [](const E& e, int b) { return to_array(e.tau_by_temperature(b)); })
        .def(
            "ocv", [](const E& e, double t) { return to_array(e.ocv(t)); }, py::arg("temperature"))
        .def("capacity_ah", &E::capacity_ah, py::arg("temperature"))
        .def(
            "table_grid",
            [](const E& e, const std::string& name) {
                return to_array_2d(data_errors_as_value_errors([&] { return e.table_grid(name); }));
            },
            py::arg("name"))
        .def(
            "table_by_temperature",
            [](const E& e, const std::string& name) {
                auto tr = data_errors_as_value_errors([&] { return e.table_by_temperature(name); });
                return py::make_tuple(to_array(tr.first), to_array_2d(tr.second));
            },
            py::arg("name"))
        .def(
            "at",
            [](const E& e, double t, bool use_tables, bool use_slow) {
                const ecm::SimModel s = data_errors_as_value_errors([&] { return e.at(t, use_tables, use_slow); });
                py::dict out;
                out["ocv_soc"] = to_array(s.ocv_soc);
                out["ocv_v"] = to_array(s.ocv_v);
                out["param_soc"] = to_array(s.param_soc);
                out["r0"] = to_array(s.r0);
                py::list r, tau;
                for (const auto& x : s.r) r.append(to_array(x));
                for (const auto& x : s.tau) tau.append(to_array(x));
                out["r"] = r;
                out["tau"] = tau;
                out["capacity_ah"] = s.capacity_ah;
                return out;
            },
            py::arg("temperature"), py::arg("use_tables") = true, py::arg("use_slow") = true);
}

py::dict sim_dict(const ecm::SimResult& res) {
    py::dict out;
    out["v"] = to_array(res.v);
    out["soc"] = to_array(res.soc);
    out["ocv"] = to_array(res.ocv);
    py::list br;
    for (const auto& b : res.branch) br.append(to_array(b));
    out["branch"] = br;
    return out;
}

std::vector<double> series(const py::object& o, std::size_t n, const char* name) {
    const carray a = o.cast<carray>();
    if (a.ndim() != 1 || static_cast<std::size_t>(a.size()) != n)
        throw py::value_error(std::string(name) + " must be one value per sample (" + std::to_string(n) + ")");
    return std::vector<double>(a.data(), a.data() + n);
}

void bind_temperature(py::module_& m) {
    m.def(
        "simulate_model_at_temperatures",
        [](const ecm::ModelEvaluator& ev, const carray& t, const carray& i, double soc0, const py::object& temperature,
           const py::object& ambient, double heat_capacity, double conductance, double initial_temperature,
           bool use_tables, double step) {
            if (t.ndim() != 1 || i.ndim() != 1 || t.size() != i.size())
                throw py::value_error("t and i must be one-dimensional arrays of equal length");
            const auto n = static_cast<std::size_t>(t.size());
            if (temperature.is_none() == ambient.is_none())
                throw py::value_error(
                    "give either temperature (measured, per sample) or ambient (with the thermal model)");
            std::vector<double> measured, amb;
            ecm::TemperatureInput in;
            if (!temperature.is_none()) {
                measured = series(temperature, n, "temperature");
                in.measured = measured.data();
            } else {
                amb = series(ambient, n, "ambient");
                in.ambient = amb.data();
                in.thermal.heat_capacity_j_per_k = heat_capacity;
                in.thermal.conductance_w_per_k = conductance;
                in.initial = initial_temperature;
            }
            const ecm::ThermalSimResult res = without_gil([&] {
                return ecm::simulate_model_at_temperatures(t.data(), i.data(), n, ev, soc0, use_tables, in, step);
            });
            py::dict out = sim_dict(res);
            out["temperature"] = to_array(res.temperature);
            out["heat"] = to_array(res.heat);
            out["temperatures_evaluated"] = res.temperatures_evaluated;
            return out;
        },
        py::arg("evaluator"), py::arg("t"), py::arg("i"), py::arg("soc0"), py::arg("temperature") = py::none(),
        py::arg("ambient") = py::none(), py::arg("heat_capacity") = std::nan(""), py::arg("conductance") = std::nan(""),
        py::arg("initial_temperature") = std::nan(""), py::arg("use_tables") = true, py::arg("step") = 0.1,
        "The model simulated on the current i (A, charge positive) at a temperature per sample: the measured "
        "one (temperature, C) or the lumped thermal model's from the ambient (C) with heat_capacity (J/K) and "
        "conductance (W/K), from initial_temperature (NaN: the first ambient). Parameters, OCV and capacity "
        "from the evaluator at each sample's temperature rounded to step (C). Returns v, soc, ocv, branch, "
        "temperature, heat (W) and temperatures_evaluated.");

    m.def(
        "fit_lumped_thermal",
        [](const carray& t, const carray& heat, const carray& temperature, double min_tau) {
            const auto n = static_cast<std::size_t>(t.size());
            for (const carray* a : {&t, &heat, &temperature})
                if (a->ndim() != 1 || static_cast<std::size_t>(a->size()) != n)
                    throw py::value_error("t, heat and temperature must be one-dimensional arrays of equal length");
            const ecm::ThermalFit f = data_errors_as_value_errors(
                [&] { return ecm::fit_lumped_thermal(t.data(), heat.data(), temperature.data(), n, min_tau); });
            py::dict out;
            out["heat_capacity"] = f.thermal.heat_capacity_j_per_k;
            out["conductance"] = f.thermal.conductance_w_per_k;
            out["ambient"] = f.ambient_c;
            out["rms_k"] = f.rms_k;
            out["tau"] = f.tau_s;
            out["on_bound"] = f.on_bound;
            return out;
        },
        py::arg("t"), py::arg("heat"), py::arg("temperature"), py::arg("min_tau") = 10.0,
        "The lumped thermal model (heat capacity J/K, conductance W/K, ambient C, tau = C / G s) that explains a "
        "measured cell temperature (C) from the heat per sample (W, as simulate_model_at_temperatures reports it), "
        "by the temperature it predicts from the first sample's (least squares; tau from min_tau to the "
        "recording's length, on_bound when it ends at either); rms_k: how closely. ValueError when the "
        "temperature does not determine it.");

    m.def(
        "smooth_in_time",
        [](const carray& t, const carray& x, double window_s, const py::object& at) {
            if (t.ndim() != 1 || x.ndim() != 1 || t.size() != x.size())
                throw py::value_error("t and x must be one-dimensional arrays of equal length");
            const carray out_t = at.is_none() ? t : at.cast<carray>();
            if (out_t.ndim() != 1) throw py::value_error("at must be a one-dimensional array");
            return to_array(data_errors_as_value_errors([&] {
                return ecm::smooth_in_time(t.data(), x.data(), static_cast<std::size_t>(t.size()), window_s,
                                           out_t.data(), static_cast<std::size_t>(out_t.size()));
            }));
        },
        py::arg("t"), py::arg("x"), py::arg("window_s"), py::arg("at") = py::none(),
        "x (sampled at t) at the times `at` (default t): the mean of the finite samples within window_s / 2, "
        "else linear between the finite samples.");

    m.def(
        "fill_ocv",
        [](const carray& t, const carray& i, const carray& v, const carray& soc_axis, const carray& relaxed_soc,
           const carray& relaxed_ocv, const carray& base_ocv, double capacity_ah, const carray& resistances) {
            double resistance_ohm = 0.0;
            for (double r : to_vector(resistances, "resistances")) resistance_ohm += r;
            if (t.ndim() != 1 || i.ndim() != 1 || v.ndim() != 1 || t.size() != i.size() || t.size() != v.size())
                throw py::value_error("t, i and v must be one-dimensional arrays of equal length");
            const ecm::OcvFill f = data_errors_as_value_errors([&] {
                return ecm::fill_ocv(t.data(), i.data(), v.data(), static_cast<std::size_t>(t.size()),
                                     to_vector(soc_axis, "soc_axis"), to_vector(relaxed_soc, "relaxed_soc"),
                                     to_vector(relaxed_ocv, "relaxed_ocv"), to_vector(base_ocv, "base_ocv"),
                                     capacity_ah, resistance_ohm);
            });
            py::dict out;
            out["ocv"] = to_array(f.ocv);
            out["pseudo"] = to_array(f.pseudo);
            out["correction"] = to_array(f.correction);
            out["soc_low"] = f.soc_low;
            out["soc_high"] = f.soc_high;
            out["discharge_ah"] = f.discharge_ah;
            out["charge_ah"] = f.charge_ah;
            out["has_charge"] = f.has_charge;
            out["flipped"] = f.flipped;
            out["relaxed_used"] = f.relaxed_used;
            return out;
        },
        py::arg("t"), py::arg("i"), py::arg("v"), py::arg("soc_axis"), py::arg("relaxed_soc"), py::arg("relaxed_ocv"),
        py::arg("base_ocv"), py::arg("capacity_ah"), py::arg("resistances"),
        "The OCV on soc_axis from a slow discharge (and charge) test corrected to the relaxed points of a "
        "pulse test: the pseudo-OCV (mean of the branches, else the discharge plus |I| times the sum of resistances), "
        "a "
        "monotone cubic correction through the relaxed points (held beyond them), base_ocv shifted beyond "
        "the slow test's range. Returns ocv, pseudo, correction, soc_low, soc_high, discharge_ah, charge_ah, "
        "has_charge, flipped, relaxed_used.");
}

}  // namespace

void bind_simulate(py::module_& m) {
    bind_evaluator(m);
    bind_temperature(m);
    m.def("read_recording", &read_recording, py::arg("path"), py::arg("strict") = false,
          "All rows of a recording file as arrays t, current, voltage, with its temperature (None when "
          "neither the data nor the file name give one; temperature_source then says why; strict: an error).");

    m.def(
        "simulate_model",
        [](const carray& t, const carray& i, const carray& ocv_soc, const carray& ocv_v, const carray& param_soc,
           const carray& r0, const std::vector<carray>& r, const std::vector<carray>& tau, double capacity_ah,
           double soc0) {
            if (t.ndim() != 1 || i.ndim() != 1 || t.size() != i.size())
                throw py::value_error("t and i must be one-dimensional arrays of equal length");
            const ecm::SimModel model = make_model(ocv_soc, ocv_v, param_soc, r0, r, tau, capacity_ah);
            const ecm::SimResult res = without_gil([&] {
                return ecm::simulate_model(t.data(), i.data(), static_cast<std::size_t>(t.size()), model, soc0);
            });
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
        "fit_slow_branch",
        [](const py::list& segments, const carray& ocv_soc, const carray& ocv_v, const carray& param_soc,
           const carray& r0, const std::vector<carray>& r, const std::vector<carray>& tau, double capacity_ah,
           double tau_min, double tau_max, double tau_given, double grid_step, double smooth, double soc_min,
           bool ocv_offsets, const carray& out_soc) {
            const ecm::SimModel model = make_model(ocv_soc, ocv_v, param_soc, r0, r, tau, capacity_ah);
            std::vector<carray> keep;
            std::vector<ecm::SlowSegment> segs;
            for (py::handle h : segments) {
                const py::dict d = h.cast<py::dict>();
                carray t = d["t"].cast<carray>(), i = d["i"].cast<carray>(), v = d["v"].cast<carray>();
                if (t.ndim() != 1 || i.ndim() != 1 || v.ndim() != 1 || t.size() != i.size() || t.size() != v.size())
                    throw py::value_error("each recording's t, i and v must be one-dimensional arrays of equal length");
                ecm::SlowSegment s;
                s.t = t.data();
                s.i = i.data();
                s.v = v.data();
                s.n = static_cast<std::size_t>(t.size());
                s.soc0 = d.contains("soc0") ? d["soc0"].cast<double>() : std::nan("");
                if (d.contains("anchor_t")) {
                    s.anchor_t = to_vector(d["anchor_t"].cast<carray>(), "anchor_t");
                    s.anchor_soc = to_vector(d["anchor_soc"].cast<carray>(), "anchor_soc");
                }
                if (d.contains("from")) s.from = d["from"].cast<double>();
                if (d.contains("to")) s.to = d["to"].cast<double>();
                if (d.contains("weight")) s.weight = d["weight"].cast<double>();
                if (d.contains("load_weight")) s.load_weight = d["load_weight"].cast<double>();
                keep.push_back(t), keep.push_back(i), keep.push_back(v);
                segs.push_back(s);
            }
            ecm::SlowSettings st;
            st.tau_min = tau_min;
            st.tau_max = tau_max;
            st.tau = tau_given;
            st.grid_step = grid_step;
            st.smooth = smooth;
            st.soc_min = soc_min;
            st.ocv_offsets = ocv_offsets;
            const std::vector<double> at = to_vector(out_soc, "out_soc");
            const ecm::SlowFit fit = without_gil([&] { return ecm::fit_slow_branch(segs, model, st); });
            py::dict out;
            out["grid"] = to_array(fit.grid);
            out["r_grid"] = to_array(fit.r);
            out["ocv_offset_grid"] = to_array(fit.ocv_offset);
            out["soc"] = to_array(at);
            out["r"] = to_array(ecm::slow_on(fit, fit.r, at));
            out["ocv_offset"] = to_array(ecm::slow_on(fit, fit.ocv_offset, at));
            out["tau"] = fit.tau;
            out["x0"] = to_array(fit.x0);
            out["soc0"] = to_array(fit.soc0);
            out["rms_before_mV"] = to_array(fit.rms_before_mV);
            out["rms_after_mV"] = to_array(fit.rms_after_mV);
            out["scan_tau"] = to_array(fit.scan_tau);
            out["scan_rms_mV"] = to_array(fit.scan_rms_mV);
            return out;
        },
        py::arg("segments"), py::arg("ocv_soc"), py::arg("ocv_v"), py::arg("param_soc"), py::arg("r0"), py::arg("r"),
        py::arg("tau"), py::arg("capacity_ah"), py::arg("tau_min") = 300.0, py::arg("tau_max") = 20000.0,
        py::arg("slow_tau") = std::nan(""), py::arg("grid_step") = 0.1, py::arg("smooth") = 1.0,
        py::arg("soc_min") = 0.0, py::arg("ocv_offsets") = false, py::arg("out_soc") = carray(),
        "One slow RC branch fitted on whole recordings (segments: dicts of t, i (A, charge positive), v, soc0 (or "
        "anchor_t/anchor_soc: known SOC at known times), and "
        "optionally from/to (s, the scored stretch), weight and load_weight (how a sample under load counts against a "
        "settled one at rest)) on top of a finished fast model: its resistance per "
        "point of a SOC grid (smooth over SOC, >= 0), one time constant (sought in [tau_min, tau_max] unless slow_tau "
        "is given), each segment's starting slow state x0 and, with ocv_offsets, an OCV offset per grid point. "
        "r and ocv_offset are given on out_soc; rms_before_mV/rms_after_mV per segment over its scored samples.");

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
