// ecm._core: the extraction pipeline for the `ecm` package. One call runs one
// recording through the same C++ pipeline as the import-time ecmfit, with the
// GIL released around the numerical work; nothing is kept between calls
// except what the caller holds (the warm starts of one extraction).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/ecm/extras.hpp"
#include "core/base/errors.hpp"
#include "core/base/fileio.hpp"
#include "core/extract/outputs.hpp"
#include "core/extract/pipeline.hpp"
#include "core/extract/protocol.hpp"
#include "core/extract/pulses.hpp"
#include "python/common/pyface.hpp"
#include "python/common/model_io.hpp"
#include "python/common/recording_io.hpp"

namespace py = pybind11;

namespace {

// Raised through the pipeline when a Python callback failed or the user interrupted.
struct Interrupted {};

// Collects nothing the result does not already hold; reports progress and,
// when asked, the pipeline's log lines to Python callbacks (with the GIL).
class ApiObserver : public ecm::PipelineObserver {
public:
    ApiObserver(py::object progress, py::object debug) : progress_(std::move(progress)), debug_(std::move(debug)) {}

    ~ApiObserver() override {
        py::gil_scoped_acquire gil;
        progress_ = py::object();
        debug_ = py::object();
    }

    void log(ecm::LogLevel level, const std::string& message) override {
        if (level != ecm::LogLevel::Info || !has_debug_) return;
        py::gil_scoped_acquire gil;
        call(debug_, py::str(message));
    }

    void progress(long long done, long long total) override { report(done, total); }

    void set_flags() {
        has_progress_ = !progress_.is_none();
        has_debug_ = !debug_.is_none();
    }

    // Re-raises, with the GIL held, the Python error that stopped the pipeline.
    [[noreturn]] void rethrow() {
        PyErr_Restore(type_, value_, trace_);
        type_ = value_ = trace_ = nullptr;
        throw py::error_already_set();
    }

private:
    py::object progress_, debug_;
    bool has_progress_ = false, has_debug_ = false;
    PyObject *type_ = nullptr, *value_ = nullptr, *trace_ = nullptr;

    void report(long long done, long long total) {
        if (!has_progress_) {
            check_signals();
            return;
        }
        py::gil_scoped_acquire gil;
        call(progress_, py::int_(done), py::int_(total));
    }

    void check_signals() {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) stop();
    }

    // Called with the GIL held.
    template <typename... Args>
    void call(const py::object& f, Args&&... args) {
        PyObject* r = PyObject_CallFunctionObjArgs(f.ptr(), args.ptr()..., nullptr);
        if (!r) stop();
        Py_DECREF(r);
        if (PyErr_CheckSignals() != 0) stop();
    }

    [[noreturn]] void stop() {
        PyErr_Fetch(&type_, &value_, &trace_);
        throw Interrupted{};
    }
};

py::array_t<double> column(const std::vector<ecm::CycleRow>& rows, double (*get)(const ecm::CycleRow&)) {
    py::array_t<double> a(static_cast<py::ssize_t>(rows.size()));
    for (std::size_t k = 0; k < rows.size(); ++k) a.mutable_data()[k] = get(rows[k]);
    return a;
}

std::string row_status(const ecm::CycleRow& row) {
    std::vector<std::string> parts;
    for (std::size_t b = 0; b < row.determined.size(); ++b)
        if (!row.determined[b]) parts.push_back("tau" + std::to_string(b + 1) + " undetermined");
    if (row.budget_stop) parts.push_back("not converged (evaluation budget)");
    if (!row.at_bound.empty()) {
        std::string s = "on bound:";
        for (std::size_t k = 0; k < row.at_bound.size(); ++k) s += (k ? ", " : " ") + row.at_bound[k];
        parts.push_back(s);
    }
    if (parts.empty()) return "fitted";
    std::string s = parts[0];
    for (std::size_t k = 1; k < parts.size(); ++k) s += "; " + parts[k];
    return s;
}

// Runs one recording file; the returned dict holds plain values and NumPy arrays.
py::dict run_recording(const std::string& path, double vcut, const std::string& model, ecm::WarmStart& warm,
                       py::object progress, py::object debug, const std::string& method) {
    py::dict out;
    out["path"] = path;
    py::object df = ecmpy::read_table(path);
    std::optional<std::string> name_text;
    const long long temperature = ecmpy::recording_temperature(df, path, name_text);
    out["temperature"] = temperature;
    out["temperature_source"] = name_text ? "file name" : "data";
    const ecmpy::RecordingArrays arrays = ecmpy::recording_arrays(df, path);
    df = py::object();
    const ecm::RecordingColumns cols = arrays.columns(arrays.voltage.data());
    const double* seconds = arrays.seconds.data();
    ecm::PipelineSettings settings;
    settings.vcut = vcut;
    settings.model = ecm::circuit_model_from_name(model);
    if (settings.model == ecm::CircuitModel::Other)
        throw py::value_error("model '" + model + "' is not supported; expected \"model1\" or \"model2\"");
    settings.label = path;
    if (method == "joint")
        settings.method = ecm::FitMethod::Joint;
    else if (method != "pulse")
        throw py::value_error("method '" + method + "' is not known; expected pulse or joint");

    ApiObserver observer(std::move(progress), std::move(debug));
    observer.set_flags();
    ecm::RecordingResult r;
    bool interrupted = false;
    std::optional<std::string> error;
    bool cutoff = false;
    {
        py::gil_scoped_release nogil;
        try {
            r = ecm::process_recording(cols, settings, warm, observer);
        } catch (const Interrupted&) {
            interrupted = true;
        } catch (const ecm::CutoffNotCrossed& e) {
            error = e.what();
            cutoff = true;
        } catch (const ecm::DataError& e) {
            error = e.what();
        }
    }
    if (interrupted) observer.rethrow();
    if (error) {
        py::object cls = py::module_::import("ecm._errors").attr(cutoff ? "CutoffError" : "RecordingError");
        PyErr_SetObject(cls.ptr(), py::str(path + ": " + *error).ptr());
        throw py::error_already_set();
    }

    out["samples"] = r.samples;
    out["charge_Ah"] = r.charge_Ah();
    out["cycles"] = r.cycles;
    const auto& rows = r.rows;
    py::dict table;
    py::array_t<long long> cycle(static_cast<py::ssize_t>(rows.size()));
    for (std::size_t k = 0; k < rows.size(); ++k) cycle.mutable_data()[k] = rows[k].cycle;
    table["cycle"] = cycle;
    std::vector<double> t_start, t_end;
    for (const auto& row : rows) {
        t_start.push_back(seconds[row.pulse_first]);
        t_end.push_back(seconds[row.pulse_last]);
    }
    table["t_start"] = py::cast(t_start);
    table["t_end"] = py::cast(t_end);
    table["soc"] = column(rows, [](const ecm::CycleRow& w) { return w.soc_mid; });
    table["soc_end"] = column(rows, [](const ecm::CycleRow& w) { return w.soc_end; });
    table["current"] = column(rows, [](const ecm::CycleRow& w) { return w.current_mean; });
    const bool two = settings.model == ecm::CircuitModel::TwoRC;
    const char* names[] = {"R0", "R1", "C1", "R2", "C2"};
    for (std::size_t p = 0; p < (two ? 5u : 3u); ++p) {
        py::array_t<double> a(static_cast<py::ssize_t>(rows.size()));
        for (std::size_t k = 0; k < rows.size(); ++k) a.mutable_data()[k] = rows[k].params[p];
        table[names[p]] = a;
    }
    for (std::size_t b = 0; b < (two ? 2u : 1u); ++b) {
        py::array_t<double> tau(static_cast<py::ssize_t>(rows.size()));
        py::array_t<bool> det(static_cast<py::ssize_t>(rows.size()));
        for (std::size_t k = 0; k < rows.size(); ++k) {
            tau.mutable_data()[k] = rows[k].tau[b];
            det.mutable_data()[k] = rows[k].determined[b];
        }
        table[py::str("tau" + std::to_string(b + 1))] = tau;
        table[py::str("tau" + std::to_string(b + 1) + "_determined")] = det;
    }
    table["rms_mV"] = column(rows, [](const ecm::CycleRow& w) { return w.rms * 1000.0; });
    table["batt_val"] = column(rows, [](const ecm::CycleRow& w) { return w.batt_val; });
    py::list status;
    for (const auto& row : rows) status.append(row_status(row));
    table["status"] = status;
    out["pulses"] = table;
    out["SOC"] = py::cast(r.SOC);
    out["OCV"] = py::cast(r.OCV_3rd);
    out["relaxed_soc"] = py::cast(r.relaxed_soc);
    out["relaxed_ocv"] = py::cast(r.relaxed_v);
    out["relaxed_measured"] = py::cast(r.relaxed_v_measured);
    out["ocv_passes"] = r.ocv_passes;
    out["mean"] = py::cast(r.mean);
    out["median"] = py::cast(r.median);
    out["warnings"] = py::cast(r.warnings);
    out["params_text"] = ecm::params_file_text(temperature, r);
    out["ocv_text"] = ecm::ocv_table_text(r.SOC, r.OCV_3rd);
    ecmbind::add_series(out, arrays, r, settings.method);
    return out;
}

using Column = py::array_t<double, py::array::c_style | py::array::forcecast>;

void check_columns(const Column& time, const Column& current, const Column& voltage, const std::string& prefix) {
    if (time.ndim() != 1 || current.ndim() != 1 || voltage.ndim() != 1 || time.size() != current.size() ||
        time.size() != voltage.size())
        throw py::value_error(prefix + "time, current and voltage must be columns of equal length");
}

// Runs one recording of any step protocol (columns already read and scaled by
// the caller); the returned dict holds plain values and NumPy arrays.
py::dict run_protocol(py::array_t<double, py::array::c_style | py::array::forcecast> time,
                      py::array_t<double, py::array::c_style | py::array::forcecast> current,
                      py::array_t<double, py::array::c_style | py::array::forcecast> voltage, const std::string& label,
                      double vcut, const std::string& model, bool step_hold, double nominal_capacity_Ah,
                      double max_pulse_s, double min_ocv_rest_s, double soc_step_window_s, double rms_limit_V,
                      py::object progress,
                      std::optional<py::array_t<double, py::array::c_style | py::array::forcecast>> step_id) {
    check_columns(time, current, voltage, label + ": ");
    ecm::RecordingColumns cols;
    cols.time = time.data();
    cols.current = current.data();
    cols.voltage = voltage.data();
    cols.rows = static_cast<std::size_t>(time.size());
    ecm::ProtocolSettings settings;
    settings.vcut = vcut;
    const ecm::CircuitModel cm = ecm::circuit_model_from_name(model);
    if (cm == ecm::CircuitModel::Other)
        throw py::value_error("model '" + model + "' is not supported; expected \"model1\" or \"model2\"");
    settings.branches = cm == ecm::CircuitModel::OneRC ? 1 : 2;
    settings.step_hold = step_hold;
    settings.nominal_capacity_Ah = nominal_capacity_Ah;
    settings.max_pulse_s = max_pulse_s;
    settings.min_ocv_rest_s = min_ocv_rest_s;
    settings.soc_step_window_s = soc_step_window_s;
    settings.rms_limit_V = rms_limit_V;
    settings.label = label;
    if (step_id) {
        if (step_id->ndim() != 1 || step_id->size() != time.size())
            throw py::value_error(label + ": the step column must be as long as the others");
        settings.step_id = step_id->data();
    }

    ApiObserver observer(std::move(progress), py::none());
    observer.set_flags();
    ecm::ProtocolResult r;
    bool interrupted = false;
    std::optional<std::string> error;
    {
        py::gil_scoped_release nogil;
        try {
            r = ecm::process_protocol(cols, settings, observer);
        } catch (const Interrupted&) {
            interrupted = true;
        } catch (const ecm::DataError& e) {
            error = e.what();
        }
    }
    if (interrupted) observer.rethrow();
    if (error) {
        py::object cls = py::module_::import("ecm._errors").attr("RecordingError");
        PyErr_SetObject(cls.ptr(), py::str(label + ": " + *error).ptr());
        throw py::error_already_set();
    }
    py::dict out;
    out["samples"] = r.samples;
    out["cutoff_crossed"] = r.cutoff_crossed;
    out["charge_positive"] = r.charge_positive;
    out["rest_threshold"] = r.rest_threshold;
    out["jump_tolerance"] = r.jump_tolerance;
    out["export_step_changes"] = r.export_step_changes;
    out["capacity_Ah"] = r.capacity_Ah;
    out["full_charge_found"] = r.full_charge_found;
    py::list steps;
    for (const auto& st : r.steps) {
        py::dict d;
        d["first"] = st.first;
        d["last"] = st.last;
        d["kind"] = ecm::step_kind_name(st.kind);
        d["role"] = ecm::step_role_name(st.role);
        d["t_begin"] = st.t_begin;
        d["t_end"] = st.t_end;
        d["current"] = st.current;
        d["charge_Ah"] = st.charge_Ah;
        steps.append(d);
    }
    out["steps"] = steps;
    py::list pulses;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const auto& p : r.pulses) {
        py::dict d;
        d["number"] = p.number;
        d["step"] = p.step;
        d["direction"] = p.discharge ? "discharge" : "charge";
        d["t_start"] = p.t_start;
        d["t_end"] = p.t_end;
        d["soc"] = p.soc;
        d["soc_end"] = p.soc_end;
        d["current"] = p.current;
        d["R0"] = p.r0;
        for (int b = 0; b < settings.branches; ++b) {
            const auto B = static_cast<std::size_t>(b);
            const std::string k = std::to_string(b + 1);
            const double rv = B < p.r.size() ? p.r[B] : nan, tv = B < p.tau.size() ? p.tau[B] : nan;
            d[("R" + k).c_str()] = rv;
            d[("C" + k).c_str()] = rv > 0.0 ? tv / rv : nan;
            d[("tau" + k).c_str()] = tv;
            d[("tau" + k + "_determined").c_str()] = B < p.determined.size() && p.determined[B];
        }
        d["rms_mV"] = p.rms * 1e3;
        std::string bound;
        for (const auto& ab : p.at_bound) bound += (bound.empty() ? "" : ", ") + ab;
        d["on_bound"] = bound;
        d["status"] = p.status;
        d["window_first"] = p.window_first;
        d["window_last"] = p.window_last;
        pulses.append(d);
    }
    out["pulses"] = pulses;
    py::list windows;
    for (const auto& w : r.windows) {
        py::dict d;
        d["first"] = w.first;
        d["last"] = w.last;
        d["model"] = py::array_t<double>(static_cast<py::ssize_t>(w.model.size()), w.model.data());
        windows.append(d);
    }
    out["windows"] = windows;
    out["current"] = py::array_t<double>(static_cast<py::ssize_t>(r.current.size()), r.current.data());
    out["soc"] = py::array_t<double>(static_cast<py::ssize_t>(r.soc.size()), r.soc.data());
    out["relaxed_soc"] = py::cast(r.relaxed_soc);
    out["relaxed_ocv"] = py::cast(r.relaxed_v);
    out["SOC"] = py::cast(r.SOC);
    out["OCV"] = py::cast(r.OCV);
    out["median"] = py::cast(r.median);
    out["warnings"] = py::cast(r.warnings);
    out["ocv_text"] = ecm::ocv_table_text(r.SOC, r.OCV);
    return out;
}

ecm::gen::ParamFile param_data(const py::handle& h) {
    py::dict d = py::reinterpret_borrow<py::dict>(h);
    ecm::gen::ParamFile f;
    f.name = d["name"].cast<std::string>();
    f.temp_c = d["TempC"].cast<double>();
    f.capacity_ah = d["Tparam_1"].cast<double>();
    f.rc = d["Tparam_2"].cast<std::vector<double>>();
    py::list t3 = d["Tparam_3"];
    f.soc = t3[0].cast<std::vector<double>>();
    f.ocv = t3[1].cast<std::vector<double>>();
    return f;
}

py::dict built(ecmpy::BuiltModel&& b) {
    py::dict out;
    out["text"] = py::str(b.text);
    out["params"] = b.params;
    out["params_json"] = b.params_json;
    out["warnings"] = py::cast(b.warnings);
    return out;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "The extraction pipeline of the ecm package (internal).";

    py::class_<ecm::WarmStart>(m, "WarmStart", "Start values carried from one recording to the next of one run.")
        .def(py::init<>());

    ecmbind::bind_simulate(m);

    m.def("run_recording", &run_recording, py::arg("path"), py::arg("vcut"), py::arg("model"), py::arg("warm"),
          py::arg("progress") = py::none(), py::arg("debug") = py::none(), py::arg("method") = "pulse",
          "Runs one recording file through the pipeline. progress(done, total) is called as pulses are fitted, "
          "debug(message) receives the pipeline's log lines.");

    m.def("run_protocol", &run_protocol, py::arg("time"), py::arg("current"), py::arg("voltage"), py::arg("label"),
          py::arg("vcut"), py::arg("model"), py::arg("step_hold") = true,
          py::arg("nominal_capacity_Ah") = std::numeric_limits<double>::quiet_NaN(), py::arg("max_pulse_s") = 600.0,
          py::arg("min_ocv_rest_s") = 600.0, py::arg("soc_step_window_s") = 60.0, py::arg("rms_limit_V") = 0.005,
          py::arg("progress") = py::none(), py::arg("step_id") = py::none(),
          "Runs one recording of any step protocol: steps, SOC, OCV points, every pulse fitted.");

    m.def(
        "step_series",
        [](py::array_t<double, py::array::c_style | py::array::forcecast> time,
           py::array_t<double, py::array::c_style | py::array::forcecast> current,
           py::array_t<double, py::array::c_style | py::array::forcecast> voltage) {
            check_columns(time, current, voltage, "");
            const auto n = static_cast<std::size_t>(time.size());
            std::vector<double> cur(current.data(), current.data() + n);
            ecm::Segmentation sg;
            ecm::HeldSeries hs;
            {
                py::gil_scoped_release nogil;
                sg = ecm::segment_steps(time.data(), cur.data(), voltage.data(), n);
                hs = ecm::held_series(time.data(), cur.data(), voltage.data(), n, sg.steps);
            }
            py::dict out;
            out["t"] = py::array_t<double>(static_cast<py::ssize_t>(hs.t.size()), hs.t.data());
            out["current"] = py::array_t<double>(static_cast<py::ssize_t>(hs.i.size()), hs.i.data());
            out["voltage"] = py::array_t<double>(static_cast<py::ssize_t>(hs.v.size()), hs.v.data());
            out["weight"] = py::array_t<double>(static_cast<py::ssize_t>(hs.weight.size()), hs.weight.data());
            out["charge_positive"] = sg.charge_positive;
            out["rest_threshold"] = sg.rest_threshold;
            out["steps"] = sg.steps.size();
            return out;
        },
        py::arg("time"), py::arg("current"), py::arg("voltage"),
        "A cycler export's samples as the step analysis sees them: the current charge positive and held over "
        "the interval before each sample (extra points of weight 0 at the step boundaries).");

    m.def(
        "soc_table",
        [](std::vector<double> soc, std::vector<double> values, const std::vector<double>& grid) {
            // Linear in SOC between the points that have a value, flat beyond the first and the last.
            std::vector<std::pair<double, double>> pts;
            for (std::size_t k = 0; k < soc.size() && k < values.size(); ++k)
                if (std::isfinite(soc[k]) && std::isfinite(values[k])) pts.emplace_back(soc[k], values[k]);
            std::sort(pts.begin(), pts.end());
            std::vector<double> xp, fp, out(grid.size(), std::numeric_limits<double>::quiet_NaN());
            for (const auto& p : pts) {
                xp.push_back(p.first);
                fp.push_back(p.second);
            }
            if (!xp.empty()) ecm::interp_linear(grid.data(), grid.size(), xp.data(), fp.data(), xp.size(), out.data());
            return out;
        },
        py::arg("soc"), py::arg("values"), py::arg("grid"),
        "Values on an SOC grid from per-pulse points: linear between them, flat beyond the ends; NaN points "
        "are left out (all NaN: NaN).");

    m.def(
        "output_paths",
        [](const std::string& results_dir, const std::string& recording) {
            ecm::OutputPaths p = ecm::output_paths(results_dir, recording);
            return py::make_tuple(p.params_file, p.ocv_file);
        },
        py::arg("results_dir"), py::arg("recording"));

    m.def("write_text_file", &ecmpy::write_text_file, py::arg("path"), py::arg("text"),
          "Writes the whole text to path through a temporary file renamed over it.");
    m.def("write_mat_file", &ecmpy::write_mat_file, py::arg("path"), py::arg("mdict"));

    m.def(
        "build_model_from_files",
        [](const std::vector<std::string>& paths, const std::vector<std::string>& names, double v_low, double v_high) {
            if (paths.empty()) throw py::value_error("no parameter file to build the model from");
            std::vector<ecm::gen::ParamFile> files;
            py::object last_soc;
            for (const auto& p : paths) {
                ecmpy::ReadParamFile r = ecmpy::read_param_file(py::str(p));
                files.push_back(std::move(r.data));
                last_soc = r.soc_list;
            }
            return built(ecmpy::build_model(files, last_soc, py::str(names.at(0)), v_low, v_high));
        },
        py::arg("paths"), py::arg("names"), py::arg("v_low"), py::arg("v_high"),
        "The builder over parameter files read in the given order; names[0] names the model.");

    m.def(
        "build_model_from_data",
        [](const py::list& records, double v_low, double v_high) {
            if (records.empty()) throw py::value_error("no recording to build the model from");
            std::vector<ecm::gen::ParamFile> files;
            for (py::handle h : records) files.push_back(param_data(h));
            py::list last_soc = py::list(py::reinterpret_borrow<py::dict>(records[records.size() - 1])["Tparam_3"])[0];
            py::str first = py::reinterpret_borrow<py::dict>(records[0])["name"];
            return built(ecmpy::build_model(files, last_soc, first, v_low, v_high));
        },
        py::arg("records"), py::arg("v_low"), py::arg("v_high"),
        "The builder over in-memory parameter records (dicts with name, TempC, Tparam_1..3).");
}
