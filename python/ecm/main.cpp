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

#include "core/base/errors.hpp"
#include "core/base/fileio.hpp"
#include "core/build/tables.hpp"
#include "core/extract/extraction.hpp"
#include "core/extract/outputs.hpp"
#include "core/extract/pipeline.hpp"
#include "core/extract/protocol.hpp"
#include "core/extract/pulses.hpp"
#include "core/extract/result.hpp"
#include "core/numeric/charge.hpp"
#include "python/common/model_io.hpp"
#include "python/common/pyface.hpp"
#include "python/common/recording_io.hpp"
#include "python/ecm/extras.hpp"

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

// The result of one recording as Python sees it: the core's one Result, the
// recording's name and temperature, and the kept samples as read.
struct BoundResult {
    ecm::Result r;
    std::string path;
    double temperature = 0.0;
    std::string temperature_source;
    std::vector<double> t, current, voltage;  // classic recordings: the kept samples as read
};

using ecmpy::to_array;

// Runs fn with the GIL released; a Python error raised by a callback comes
// back as itself, a recording that cannot be used as RecordingError (or
// CutoffError) naming the file.
template <typename F>
ecm::Result run_released(ApiObserver& observer, const std::string& label, F&& fn) {
    ecm::Result r;
    bool interrupted = false, cutoff = false;
    std::optional<std::string> error;
    {
        py::gil_scoped_release nogil;
        try {
            r = fn();
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
        PyErr_SetObject(cls.ptr(), py::str(label + ": " + *error).ptr());
        throw py::error_already_set();
    }
    return r;
}

ecm::CircuitModel circuit_model(const std::string& model) {
    const ecm::CircuitModel cm = ecm::circuit_model_from_name(model);
    if (cm == ecm::CircuitModel::Other)
        throw py::value_error("model '" + model + "' is not supported; expected \"model1\" or \"model2\"");
    return cm;
}

using Column = py::array_t<double, py::array::c_style | py::array::forcecast>;

void check_columns(const Column& time, const Column& current, const Column& voltage, const std::string& prefix) {
    if (time.ndim() != 1 || current.ndim() != 1 || voltage.ndim() != 1 || time.size() != current.size() ||
        time.size() != voltage.size())
        throw py::value_error(prefix + "time, current and voltage must be columns of equal length");
}

// One recording's columns (read and scaled by the caller) through the chosen
// reading and fit.
BoundResult extract(Column time, Column current, Column voltage, const std::string& label, const std::string& reading,
                    const std::string& method, const std::string& model, double vcut, py::object warm,
                    py::object progress, py::object debug, bool step_hold, double nominal_capacity_Ah,
                    double max_pulse_s, double min_ocv_rest_s, double soc_step_window_s, double rms_limit_V,
                    double rms_limit_share, std::optional<Column> step_id, double temperature,
                    const std::string& temperature_source, const std::string& edge_timing,
                    std::optional<Column> charge_counter) {
    check_columns(time, current, voltage, label + ": ");
    ecm::ExtractionSettings settings;
    if (edge_timing == "linear")
        settings.edge_timing = ecm::EdgeTiming{};
    else if (edge_timing == "after-sample")
        settings.edge_timing = ecm::EdgeTiming{false, 0.0};
    else if (edge_timing == "mid-interval")
        settings.edge_timing = ecm::EdgeTiming{false, 0.5};
    else if (edge_timing == "at-sample")
        settings.edge_timing = ecm::EdgeTiming{false, 1.0};
    else if (edge_timing != "reading")
        throw py::value_error("edge_timing '" + edge_timing +
                              "' is not known; expected reading, linear, after-sample, mid-interval or at-sample");
    if (reading == "steps")
        settings.reading = ecm::Reading::Steps;
    else if (reading != "classic")
        throw py::value_error("reading '" + reading + "' is not known; expected classic or steps");
    if (method == "joint")
        settings.method = ecm::FitMethod::Joint;
    else if (method != "pulse")
        throw py::value_error("method '" + method + "' is not known; expected pulse or joint");
    settings.model = circuit_model(model);
    settings.vcut = vcut;
    settings.label = label;
    ecm::ProtocolSettings& st = settings.steps;
    st.step_hold = step_hold;
    st.nominal_capacity_Ah = nominal_capacity_Ah;
    st.max_pulse_s = max_pulse_s;
    st.min_ocv_rest_s = min_ocv_rest_s;
    st.soc_step_window_s = soc_step_window_s;
    st.rms_limit_V = rms_limit_V;
    st.rms_limit_share = rms_limit_share;
    if (step_id) {
        if (step_id->ndim() != 1 || step_id->size() != time.size())
            throw py::value_error(label + ": the step column must be as long as the others");
        st.step_id = step_id->data();
    }
    if (charge_counter) {
        if (charge_counter->ndim() != 1 || charge_counter->size() != time.size())
            throw py::value_error(label + ": the charge counter column must be as long as the others");
        st.charge_counter = charge_counter->data();
    }
    ecm::WarmStart local;
    ecm::WarmStart& ws = warm.is_none() ? local : warm.cast<ecm::WarmStart&>();
    ecm::RecordingColumns cols;
    cols.time = time.data();
    cols.current = current.data();
    cols.voltage = voltage.data();
    cols.rows = static_cast<std::size_t>(time.size());

    ApiObserver observer(std::move(progress), std::move(debug));
    observer.set_flags();
    BoundResult out;
    out.path = label;
    out.temperature = temperature;
    out.temperature_source = temperature_source;
    out.r = run_released(observer, label, [&] { return ecm::extract(cols, settings, ws, observer); });
    const std::size_t n = std::min<std::size_t>(out.r.samples, static_cast<std::size_t>(time.size()));
    out.t.assign(time.data(), time.data() + n);
    out.current.assign(current.data(), current.data() + n);
    out.voltage.assign(voltage.data(), voltage.data() + n);
    return out;
}

// The pulse rows as columns: one NumPy array (or list of texts) per quantity.
py::dict pulse_table(const ecm::Result& r) {
    const auto n = static_cast<py::ssize_t>(r.pulses.size());
    auto column = [&](auto get) {
        using T = decltype(get(r.pulses[0]));
        py::array_t<T> a(n);
        for (py::ssize_t k = 0; k < n; ++k) a.mutable_data()[k] = get(r.pulses[static_cast<std::size_t>(k)]);
        return a;
    };
    auto texts = [&](auto get) {
        py::list l;
        for (const auto& p : r.pulses) l.append(get(p));
        return l;
    };
    using P = ecm::PulseFit;
    py::dict d;
    d["cycle"] = column([](const P& p) -> std::int64_t { return p.number; });
    d["direction"] = texts([](const P& p) { return p.discharge ? "discharge" : "charge"; });
    d["t_start"] = column([](const P& p) { return p.t_start; });
    d["t_end"] = column([](const P& p) { return p.t_end; });
    d["soc"] = column([](const P& p) { return p.soc; });
    d["soc_end"] = column([](const P& p) { return p.soc_end; });
    d["current"] = column([](const P& p) { return p.current; });
    d["R0"] = column([](const P& p) { return p.r0; });
    for (std::size_t b = 0; b < static_cast<std::size_t>(r.branches); ++b) {
        const std::string k = std::to_string(b + 1);
        auto at = [b](const std::vector<double>& v) { return b < v.size() ? v[b] : ecm::PulseFit::kNaN; };
        d[py::str("R" + k)] = column([&](const P& p) { return at(p.r); });
        d[py::str("C" + k)] = column([&](const P& p) { return at(p.c); });
        d[py::str("tau" + k)] = column([&](const P& p) { return at(p.tau); });
        d[py::str("tau" + k + "_determined")] =
            column([&](const P& p) -> bool { return b < p.determined.size() && p.determined[b]; });
    }
    d["R0_se"] = column([](const P& p) { return p.r0_se; });
    for (std::size_t b = 0; b < static_cast<std::size_t>(r.branches); ++b) {
        const std::string k = std::to_string(b + 1);
        auto at = [b](const std::vector<double>& v) { return b < v.size() ? v[b] : ecm::PulseFit::kNaN; };
        d[py::str("R" + k + "_se")] = column([&](const P& p) { return at(p.r_se); });
        d[py::str("C" + k + "_se")] = column([&](const P& p) { return at(p.c_se); });
        d[py::str("tau" + k + "_se")] = column([&](const P& p) { return at(p.tau_se); });
    }
    // 95 % intervals and each branch's R-tau correlation
    d["R0_lo"] = column([](const P& p) { return p.unc.r0_lo; });
    d["R0_hi"] = column([](const P& p) { return p.unc.r0_hi; });
    for (std::size_t b = 0; b < static_cast<std::size_t>(r.branches); ++b) {
        const std::string k = std::to_string(b + 1);
        auto at = [b](const std::vector<double>& v) { return b < v.size() ? v[b] : ecm::PulseFit::kNaN; };
        d[py::str("R" + k + "_lo")] = column([&](const P& p) { return at(p.unc.r_lo); });
        d[py::str("R" + k + "_hi")] = column([&](const P& p) { return at(p.unc.r_hi); });
        d[py::str("C" + k + "_lo")] = column([&](const P& p) { return at(p.unc.c_lo); });
        d[py::str("C" + k + "_hi")] = column([&](const P& p) { return at(p.unc.c_hi); });
        d[py::str("tau" + k + "_lo")] = column([&](const P& p) { return at(p.unc.tau_lo); });
        d[py::str("tau" + k + "_hi")] = column([&](const P& p) { return at(p.unc.tau_hi); });
        d[py::str("R" + k + "_tau" + k + "_corr")] = column([&](const P& p) { return at(p.unc.r_tau_corr); });
    }
    d["rms_mV"] = column([](const P& p) { return p.rms * 1000.0; });
    d["ocv_level"] = column([](const P& p) { return p.ocv_level; });
    d["on_bound"] = texts([](const P& p) {
        std::string s;
        for (const auto& ab : p.at_bound) s += (s.empty() ? "" : ", ") + ab;
        return s;
    });
    d["status"] = texts([](const P& p) { return p.status; });
    d["window_first"] = column([](const P& p) -> std::int64_t { return static_cast<std::int64_t>(p.window_first); });
    d["window_last"] = column([](const P& p) -> std::int64_t { return static_cast<std::int64_t>(p.window_last); });
    return d;
}

py::dict steps_table(const ecm::Result& r) {
    py::dict d;
    std::vector<std::int64_t> first, last;
    std::vector<double> t_begin, t_end, current, charge;
    py::list kind, role;
    for (const auto& st : r.steps) {
        first.push_back(static_cast<std::int64_t>(st.first));
        last.push_back(static_cast<std::int64_t>(st.last));
        kind.append(ecm::step_kind_name(st.kind));
        role.append(ecm::step_role_name(st.role));
        t_begin.push_back(st.t_begin);
        t_end.push_back(st.t_end);
        current.push_back(st.current);
        charge.push_back(st.charge_Ah);
    }
    d["first"] = to_array(first);
    d["last"] = to_array(last);
    d["kind"] = kind;
    d["role"] = role;
    d["t_begin"] = to_array(t_begin);
    d["t_end"] = to_array(t_end);
    d["current"] = to_array(current);
    d["charge_Ah"] = to_array(charge);
    return d;
}

// What a report draws of a recording: the kept samples (the current charge
// positive where the step analysis found it the other way), the two-pass
// method's fit target, the rest ends and each row's fitted response (exports:
// from a minute before the pulse; the long rest before it is flat).
py::dict series(const BoundResult& b) {
    py::dict s;
    s["t"] = to_array(b.t);
    s["current"] = to_array(b.r.reading == ecm::Reading::Steps ? b.r.current : b.current);
    s["voltage"] = to_array(b.voltage);
    if (b.r.ocv_diff) {
        const std::size_t n = std::min(b.t.size(), b.r.ocv_diff->size());
        s["ocv_diff"] = to_array(b.r.ocv_diff->data(), n);
    }
    std::vector<long long> rest_end(b.r.rest_ends.begin(), b.r.rest_ends.end());
    for (const auto& st : b.r.steps)
        if (st.role == ecm::StepRole::OcvRest || st.role == ecm::StepRole::FullChargeRest)
            rest_end.push_back(static_cast<long long>(st.last) + 2);
    s["rest_end"] = py::cast(rest_end);
    py::list fits;
    for (const auto& p : b.r.pulses) {
        py::dict f;
        std::size_t first = p.response_first, end = p.response_first + p.response.size();
        std::vector<double> yout = p.response;
        if (b.r.reading == ecm::Reading::Steps) {
            end = std::min(p.window_last + 1, b.t.size());
            if (p.response_first != p.window_first || first + yout.size() != end) {
                first = std::min(p.window_first, end);
                yout.assign(end - first, ecm::PulseFit::kNaN);
            }
            std::size_t off = static_cast<std::size_t>(
                std::lower_bound(b.t.begin() + static_cast<std::ptrdiff_t>(first),
                                 b.t.begin() + static_cast<std::ptrdiff_t>(end), p.t_start - 60.0) -
                (b.t.begin() + static_cast<std::ptrdiff_t>(first)));
            off = std::min(off, end - first >= 2 ? end - first - 2 : 0);
            first += off;
            yout.erase(yout.begin(), yout.begin() + static_cast<std::ptrdiff_t>(off));
        }
        f["window_start"] = first;
        f["window_end"] = end;
        f["target"] = p.response_is_voltage ? "voltage" : "ocv_diff";
        f["yout"] = to_array(yout);
        fits.append(f);
    }
    s["fits"] = fits;
    return s;
}

void bind_result(py::module_& m) {
    using R = BoundResult;
    py::class_<R>(m, "Result", "One recording extracted: pulse rows, OCV points and curve, medians, warnings.")
        .def_readonly("path", &R::path)
        .def_readonly("temperature", &R::temperature)
        .def_readonly("temperature_source", &R::temperature_source)
        .def_property_readonly("reading",
                               [](const R& b) { return b.r.reading == ecm::Reading::Steps ? "steps" : "classic"; })
        .def_property_readonly("method",
                               [](const R& b) { return b.r.method == ecm::FitMethod::Joint ? "joint" : "pulse"; })
        .def_property_readonly("branches", [](const R& b) { return b.r.branches; })
        .def_property_readonly("samples", [](const R& b) { return b.r.samples; })
        .def_property_readonly("charge_Ah", [](const R& b) { return b.r.charge_Ah; })
        .def_property_readonly("relaxed_soc", [](const R& b) { return to_array(b.r.relaxed_soc); })
        .def_property_readonly("relaxed_ocv", [](const R& b) { return to_array(b.r.relaxed_ocv); })
        .def_property_readonly("relaxed_measured", [](const R& b) { return to_array(b.r.relaxed_measured); })
        .def_property_readonly("relaxed_se", [](const R& b) { return to_array(b.r.relaxed_se); })
        .def_property_readonly("ocv_passes", [](const R& b) { return b.r.ocv_passes; })
        .def_property_readonly("soc_grid", [](const R& b) { return to_array(b.r.soc_grid); })
        .def_property_readonly("ocv", [](const R& b) { return to_array(b.r.ocv); })
        .def_property_readonly("mean", [](const R& b) { return to_array(b.r.mean); })
        .def_property_readonly("median", [](const R& b) { return to_array(b.r.median); })
        .def_property_readonly("warnings", [](const R& b) { return b.r.warnings; })
        .def_property_readonly("edge_timing", [](const R& b) { return b.r.edge_timing; })
        .def_property_readonly("cutoff_crossed", [](const R& b) { return b.r.cutoff_crossed; })
        .def_property_readonly("charge_positive", [](const R& b) { return b.r.charge_positive; })
        .def_property_readonly("full_charge_found", [](const R& b) { return b.r.full_charge_found; })
        .def_property_readonly("min_ocv_rest_s", [](const R& b) { return b.r.min_ocv_rest_s; })
        .def_property_readonly("gap_times", [](const R& b) { return b.r.gap_times; })
        .def_property_readonly("rest_threshold", [](const R& b) { return b.r.rest_threshold; })
        .def_property_readonly("jump_tolerance", [](const R& b) { return b.r.jump_tolerance; })
        .def_property_readonly("export_step_changes", [](const R& b) { return b.r.export_step_changes; })
        .def_property_readonly("soc", [](const R& b) { return to_array(b.r.soc); })
        .def_property_readonly("current", [](const R& b) { return to_array(b.r.current); })
        .def(
            "pulse_table", [](const R& b) { return pulse_table(b.r); }, "The pulse rows as columns.")
        .def(
            "steps_table", [](const R& b) { return steps_table(b.r); }, "The steps found (step analysis).")
        .def(
            "responses",
            [](const R& b) {
                py::list out;
                for (const auto& p : b.r.pulses)
                    out.append(py::make_tuple(p.response_first, to_array(p.response), p.response_is_voltage));
                return out;
            },
            "Per pulse row: (first sample, fitted response, whether it is the voltage or the overvoltage).")
        .def("series", &series, "The arrays a report draws: kept samples, rest ends, each row's fitted response.")
        .def(
            "params_text",
            [](const R& b) {
                return ecm::params_file_text(b.temperature, b.r.charge_Ah, b.r.median, b.r.soc_grid, b.r.ocv);
            },
            "The text of the recording's parameter file.")
        .def(
            "ocv_text", [](const R& b) { return ecm::ocv_table_text(b.r.soc_grid, b.r.ocv); },
            "The text of the recording's OCV table.");
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
    bind_result(m);

    m.def(
        "extract", &extract, py::arg("time"), py::arg("current"), py::arg("voltage"), py::arg("label"), py::kw_only(),
        py::arg("reading"), py::arg("method"), py::arg("model"), py::arg("vcut"), py::arg("warm") = py::none(),
        py::arg("progress") = py::none(), py::arg("debug") = py::none(), py::arg("step_hold") = true,
        py::arg("nominal_capacity_Ah") = std::numeric_limits<double>::quiet_NaN(), py::arg("max_pulse_s") = 600.0,
        py::arg("min_ocv_rest_s") = std::numeric_limits<double>::quiet_NaN(), py::arg("soc_step_window_s") = 60.0,
        py::arg("rms_limit_V") = 0.005, py::arg("rms_limit_share") = 0.0, py::arg("step_id") = py::none(),
        py::arg("temperature") = 0.0, py::arg("temperature_source") = "given", py::arg("edge_timing") = "reading",
        py::arg("charge_counter") = py::none(),
        "One recording's columns through the chosen reading (classic: cut-off, rests and pulses; steps: the "
        "step analysis of any protocol) and fit (pulse: two-pass; joint). warm carries the start values from "
        "one classic recording to the next; progress(done, total) is called as pulses are fitted, "
        "debug(message) receives the classic reading's log lines. The step analysis's options apply to "
        "reading='steps'. edge_timing: when the current's steps happened within their sample intervals: 'reading' (the "
        "reading's convention: classic linear between samples, steps step_hold), 'linear', 'after-sample' "
        "(right after the last sample of the old current), 'mid-interval', 'at-sample' (at the first sample "
        "of the new current). charge_counter: the cycler's Ah counter (reading='steps'), which carries the charge "
        "across gaps in time; min_ocv_rest_s NaN: from the protocol's own long rests; rms_limit_share: a fit within "
        "this share of its window's voltage swing passes even above rms_limit_V.");

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
                hs = ecm::held_series(time.data(), cur.data(), voltage.data(), n);
            }
            py::dict out;
            out["t"] = to_array(std::move(hs.t));
            out["current"] = to_array(std::move(hs.i));
            out["voltage"] = to_array(std::move(hs.v));
            out["weight"] = to_array(std::move(hs.weight));
            out["charge_positive"] = sg.charge_positive;
            out["rest_threshold"] = sg.rest_threshold;
            out["steps"] = sg.steps.size();
            return out;
        },
        py::arg("time"), py::arg("current"), py::arg("voltage"),
        "A cycler export's samples as the step analysis sees them: the current charge positive and held over "
        "the interval before each sample (extra points of weight 0 wherever the current changes).");

    m.def(
        "data_cutoffs",
        [](Column current, Column voltage) {
            if (current.ndim() != 1 || voltage.ndim() != 1 || current.size() != voltage.size())
                throw py::value_error("current and voltage must be columns of equal length");
            const auto n = static_cast<std::size_t>(current.size());
            ecm::DataCutoffs c = ecmpy::data_errors_as_value_errors(
                [&] { return ecm::data_cutoffs(current.data(), voltage.data(), n); });
            py::dict out;
            out["low"] = c.low;
            out["high"] = c.high;
            out["low_source"] = c.low_source;
            out["high_source"] = c.high_source;
            return out;
        },
        py::arg("current"), py::arg("voltage"),
        "Cut-off voltages from a recording given none: the lowest and highest voltage reached under load (else "
        "the recording's own), rounded outwards to the millivolt, each with where it came from.");

    m.def(
        "current_segments",
        [](Column time, Column current, Column voltage) {
            check_columns(time, current, voltage, "");
            const auto n = static_cast<std::size_t>(time.size());
            const double* i = current.data();
            std::vector<std::int8_t> kind(n, 0);
            std::vector<double> charge;
            {
                py::gil_scoped_release nogil;
                std::vector<double> cur(i, i + n);
                try {
                    const ecm::Segmentation sg = ecm::segment_steps(time.data(), cur.data(), voltage.data(), n);
                    for (const ecm::Step& st : sg.steps) {
                        if (st.kind == ecm::StepKind::Rest) continue;
                        // the direction of the current as given (the analysis may flip a discharge-positive one)
                        double sum = 0.0;
                        for (std::size_t k = st.first; k <= st.last && k < n; ++k) sum += i[k];
                        for (std::size_t k = st.first; k <= st.last && k < n; ++k) kind[k] = sum < 0.0 ? -1 : 1;
                    }
                } catch (const ecm::DataError&) {
                    // no current anywhere: all of it is rest
                }
                charge = ecm::cumulative_charge_As(time.data(), i, n);
            }
            py::dict out;
            out["kind"] = to_array(std::move(kind));
            out["charge_As"] = to_array(std::move(charge));
            return out;
        },
        py::arg("time"), py::arg("current"), py::arg("voltage"),
        "The samples' segments as the step analysis finds them (kind: 0 rest, -1 discharge, 1 charge, by the "
        "current as given) and the charge moved since the first sample (A s, trapezoid rule).");

    m.def("soc_table", &ecm::gen::soc_table, py::arg("soc"), py::arg("values"), py::arg("grid"),
          py::arg("cluster") = 0.0,
          "Values on an SOC grid from per-pulse points: linear between them, flat beyond the ends; NaN points "
          "are left out (all NaN: NaN). Points closer in SOC than cluster count as one: their median value at "
          "their median SOC.");

    m.def("soc_table_se", &ecm::gen::soc_table_error, py::arg("soc"), py::arg("values"), py::arg("se"), py::arg("grid"),
          py::arg("cluster") = 0.0,
          "The standard error on an SOC grid of the table soc_table makes from per-pulse points with standard "
          "errors se (per cluster the error of its median; NaN where no point has a value and an error).");

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
