// One recording of the import-time run: the file read through pandas, the
// shared pipeline run with an observer that publishes every value of the run
// on the module (in the order the steps make them), its log lines and solver
// reports, then the result table and the two per-temperature files.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/base/fileio.hpp"
#include "core/extract/outputs.hpp"
#include "python/common/bind_spline.hpp"
#include "python/common/fit_result.hpp"
#include "python/common/pyface.hpp"
#include "python/common/recording_io.hpp"
#include "python/ecmfit/steps.hpp"

namespace ecmpy {

namespace {

const char* kCutoffExit =
    "\nBattery voltage does not cross the defined low cut off voltage. Please define higher cut off level and "
    "run again.\n";

// A vector that the pipeline keeps, published without a copy.
py::array_t<double> shared_array(const std::shared_ptr<const std::vector<double>>& v) {
    auto* owner = new std::shared_ptr<const std::vector<double>>(v);
    py::capsule keep(owner, [](void* p) { delete static_cast<std::shared_ptr<const std::vector<double>>*>(p); });
    py::array_t<double> a(static_cast<py::ssize_t>(v->size()), v->data(), keep);
    return a;
}

class ModuleObserver : public ecm::PipelineObserver {
public:
    ModuleObserver(py::module_& m, const double* time, const double* current, const double* voltage)
        : m_(m), time_(time), current_(current), voltage_(voltage), clock_(py::module_::import("time").attr("time")) {}

    void log(ecm::LogLevel level, const std::string& message) override {
        if (level == ecm::LogLevel::Warning)
            log_warning(message);
        else
            log_info(message);
    }
    void print(const std::string& text) override { write_stdout(text); }
    double now() override { return clock_().cast<double>(); }

    void cut(std::size_t n) override { m_.attr("idx_end") = static_cast<long long>(n); }

    void charged(const ecm::RecordingResult& r) override {
        const std::size_t n = r.samples;
        m_.attr("v") = to_array(voltage_, n);
        m_.attr("t") = to_array(time_, n);
        m_.attr("iload") = to_array(current_, n);
        m_.attr("cum_mAh") = shared_array(r.cum_mAh);
    }

    void detected(ecm::PulseAnalysis& a, const ecm::RecordingResult& r) override {
        m_.attr("counts") = to_array(std::move(a.counts));
        m_.attr("bins") = to_array(std::move(a.bins));
        m_.attr("iload_ix") = a.iload_ix;
        m_.attr("iload_th") = a.iload_th;
        m_.attr("idx_rest") = to_array(std::move(a.idx_rest));
        m_.attr("idx_load") = to_array(r.idx_load);
        m_.attr("soc") = to_array(std::move(a.soc));
        m_.attr("vsoc") = to_array(std::move(a.vsoc));
        m_.attr("relaxpoint") = a.relaxpoint;
        m_.attr("vsample") = a.vsample;
        m_.attr("mAh") = a.mAh;
        m_.attr("socval") = a.socval;
        m_.attr("vsoc_itrp_3rd") = py::cast(std::move(a.spline));
        m_.attr("SOC") = to_array(r.SOC);
        m_.attr("OCV_3rd") = to_array(r.OCV_3rd);
        m_.attr("ind_all") = to_array(std::move(a.ind_all));
        m_.attr("vsoc_time") = to_array(std::move(a.vsoc_time));
        m_.attr("vsoc_val") = to_array(std::move(a.vsoc_val));
        m_.attr("vsoc_val_itrp") = to_array(std::move(a.vsoc_val_itrp));
        ocv_diff_ = r.ocv_diff;
        m_.attr("ocv_diff") = shared_array(r.ocv_diff);
        m_.attr("ind_slice") = m_.attr("idx_rest");  // one vector under both names
    }

    void fitting_started(double start_time, long long) override {
        m_.attr("start_time") = start_time;
        results_ = py::list();
        m_.attr("results") = results_;
    }

    void search_started(long long len_fall) override {
        m_.attr("len_fall") = len_fall;
        m_.attr("rms_min") = 10;
        m_.attr("Cinit") = py::cast(std::vector<int>{1, 10, 50, 100, 500, 1000, 2000, 4000});
    }

    void window(ecm::SampleRange w) override {
        m_.attr("ydata") = to_array(ocv_diff_->data() + w.a, w.size());
        m_.attr("t_vec") = to_array(time_ + w.a, w.size());
        m_.attr("iload_vec") = to_array(current_ + w.a, w.size());
        m_.attr("xdata") = m_.attr("iload_vec");
    }

    void fit_starting(ecm::FitKind kind, const std::vector<double>& start, double c_init) override {
        if (kind == ecm::FitKind::Search)
            m_.attr("params_start") = py::make_tuple(0.5, 0.05, static_cast<int>(c_init));
        else
            m_.attr("params_start") = to_array(start);
    }

    void fitted(ecm::FitKind kind, const ecm::LsqResult& res, const std::vector<double>& yout,
                const std::vector<double>& err, double rms) override {
        py::object result = to_optimize_result(res);
        m_.attr("lsq_yout") = to_array(yout);
        switch (kind) {
            case ecm::FitKind::Search:
                last_search_ = result;
                m_.attr("res_init") = result;
                m_.attr("error_cur") = to_array(err);
                m_.attr("rms_curr") = rms;
                break;
            case ecm::FitKind::First:
                m_.attr("res_opt_1") = result;
                m_.attr("gr0") = res.x[0];
                m_.attr("gr1") = res.x[1];
                m_.attr("gc1") = res.x[2];
                fit_params_ = py::list();
                for (int k = 0; k < 3; ++k) fit_params_.append(res.x[k]);
                m_.attr("fit_params") = fit_params_;
                m_.attr("error_lsq_1") = to_array(err);
                m_.attr("rms_lsq_1") = rms;
                break;
            case ecm::FitKind::Second:
                m_.attr("res_opt_2") = result;
                fit_params_.append(res.x[0]);
                fit_params_.append(res.x[1]);
                m_.attr("error_lsq") = to_array(err);
                m_.attr("rms_lsq") = rms;
                break;
        }
    }

    void search_accepted(double rms_min) override {
        m_.attr("rms_min") = rms_min;
        m_.attr("res_opt_init") = last_search_;
    }

    void search_checked(const std::vector<double>& yout, const std::vector<double>& err, double rms) override {
        m_.attr("lsq_yout_full") = to_array(yout);
        m_.attr("error_lsq_full") = to_array(err);
        m_.attr("rms_lsq_full") = rms;
    }

    void cycle_started(long long, double start_time, long long len_fall) override {
        m_.attr("start_time_i") = start_time;
        m_.attr("len_fall") = len_fall;
    }

    // One result row: RMS error, R0Tau, run time, fit_params, [t_vec, lsq_yout], batt_val.
    void row(const ecm::CycleRow& row) override {
        m_.attr("stop_time_i") = row.stop_time;
        py::tuple R0Tau(row.r0tau.size());
        for (std::size_t k = 0; k < row.r0tau.size(); ++k) R0Tau[k] = py::str(row.r0tau[k]);
        m_.attr("runtime") = row.runtime;
        m_.attr("R0Tau") = R0Tau;
        m_.attr("batt_val") = row.batt_val;
        py::list out;
        out.append(row.rms);
        out.append(R0Tau);
        out.append(row.runtime);
        out.append(fit_params_);
        out.append(py::list(py::make_tuple(m_.attr("t_vec"), m_.attr("lsq_yout"))));
        out.append(row.batt_val);
        results_.append(out);
    }

    void finished(double stop_time, const std::string& runtime_total) override {
        m_.attr("stop_time") = stop_time;
        m_.attr("runtime_total") = runtime_total;
    }

private:
    py::module_& m_;
    const double* time_;
    const double* current_;
    const double* voltage_;
    py::object clock_;
    std::shared_ptr<const std::vector<double>> ocv_diff_;
    py::object last_search_;
    py::list results_, fit_params_;
};

// The result table, its summary vectors and the parameter mapping on the module.
void publish_results(py::module_& m, const RunConfig& cfg, long long temperature, const ecm::RecordingResult& r) {
    const bool model2 = cfg.model == "model2";
    const std::size_t nparams = model2 ? 5 : 3;

    std::vector<double> rms_err, vbat_ocv;
    std::vector<std::vector<double>> cols(nparams);
    for (const auto& row : r.rows) {
        rms_err.push_back(row.rms * 1000.0);
        vbat_ocv.push_back(row.batt_val);
        for (std::size_t k = 0; k < nparams; ++k) cols[k].push_back(row.params[k]);
    }
    m.attr("rms_err") = py::cast(rms_err);
    m.attr("vbat_ocv") = py::cast(vbat_ocv);
    const char* col_vals[] = {"R0", "R1", "C1", "R2", "C2"};
    for (std::size_t k = 0; k < nparams; ++k) m.attr(col_vals[k]) = py::cast(cols[k]);

    const std::vector<std::string> names =
        model2 ? std::vector<std::string>{"R0 (Ohm)", "R1 (Ohm)", "C1 (F)", "R2 (Ohm)", "C2 (F)"}
               : std::vector<std::string>{"R0 (Ohm)", "R1 (Ohm)", "C1 (F)"};
    py::module_ pd = py::module_::import("pandas");
    py::object df = pd.attr("DataFrame")();
    df.attr("__setitem__")("OCV level", py::cast(vbat_ocv));
    for (std::size_t k = 0; k < nparams; ++k) df.attr("__setitem__")(names[k], py::cast(cols[k]));
    df.attr("__setitem__")("RMS error (mV)", py::cast(rms_err));

    m.attr("opt_avg") =
        pd.attr("Series")(py::cast(r.mean), py::arg("index") = py::cast(names), py::arg("dtype") = "float64");
    m.attr("opt_median") =
        pd.attr("Series")(py::cast(r.median), py::arg("index") = py::cast(names), py::arg("dtype") = "float64");

    // The summary rows put text into "OCV level" and "RMS error (mV)": those two
    // columns hold objects from here on, the parameter columns stay float64.
    df.attr("__setitem__")("OCV level", df.attr("__getitem__")("OCV level").attr("astype")("object"));
    df.attr("__setitem__")("RMS error (mV)", df.attr("__getitem__")("RMS error (mV)").attr("astype")("object"));
    const long long n = static_cast<long long>(r.rows.size());
    py::list mean_row, median_row;
    mean_row.append("Mean");
    median_row.append("Median");
    for (std::size_t k = 0; k < nparams; ++k) {
        mean_row.append(r.mean[k]);
        median_row.append(r.median[k]);
    }
    mean_row.append("");
    median_row.append("");
    df.attr("loc").attr("__setitem__")(n, mean_row);
    df.attr("loc").attr("__setitem__")(n + 1, median_row);
    m.attr("df_results") = df;

    py::dict bat_params;
    bat_params["TempC"] = temperature;
    bat_params["Tparam_1"] = r.charge_Ah();
    bat_params["Tparam_2"] = py::cast(r.median);
    py::list tp3;
    tp3.append(py::cast(r.SOC));
    tp3.append(py::cast(r.OCV_3rd));
    bat_params["Tparam_3"] = tp3;
    m.attr("bat_params") = bat_params;
}

void write_text(const std::string& path, const std::string& text) {
    try {
        ecm::write_file_atomic(path, text);
    } catch (const std::runtime_error& e) {
        raise(PyExc_OSError, e.what());
    }
}

}  // namespace

void process_recording(py::module_& m, const RunConfig& cfg, const std::string& infile, ecm::WarmStart& warm) {
    py::object df = read_table(infile);
    m.attr("df") = df;
    std::optional<std::string> name_text;
    const long long temperature = recording_temperature(df, infile, name_text);
    if (name_text) m.attr("temperature_txt") = *name_text;
    m.attr("temperature") = temperature;
    log_info("temperature = " + std::to_string(temperature) + " C");

    RecordingArrays arrays = recording_arrays(df, infile);
    // vraw is a copy: it must not change the table it came from.
    py::array_t<double> vraw = to_array(arrays.voltage.data(), static_cast<std::size_t>(arrays.voltage.size()));
    m.attr("vraw") = vraw;
    const ecm::RecordingColumns cols = arrays.columns(vraw.data());
    ecm::PipelineSettings settings;
    settings.vcut = cfg.vcut;
    settings.model = ecm::circuit_model_from_name(cfg.model);
    settings.solver_verbose = 2;
    settings.label = infile;

    ModuleObserver observer(m, arrays.seconds.data(), arrays.current.data(), vraw.data());
    ecm::RecordingResult r;
    try {
        r = ecm::process_recording(cols, settings, warm, observer);
    } catch (const ecm::CutoffNotCrossed&) {
        py::module_::import("sys").attr("exit")(kCutoffExit);
        throw;  // not reached: sys.exit raises
    } catch (const ecm::DataError& e) {
        raise(PyExc_ValueError, infile + ": " + e.what());
    }

    publish_results(m, cfg, temperature, r);

    // Each file's whole text exists before the file is replaced, and the
    // replacement is atomic: a failure never leaves a partial file behind.
    ecm::OutputPaths paths = ecm::output_paths(cfg.results_dir, infile);
    m.attr("bat_params_file") = paths.params_file;
    write_text(paths.params_file, ecm::params_file_text(temperature, r));
    log_info("file " + paths.params_file + " written");
    m.attr("ocv_file") = paths.ocv_file;
    write_text(paths.ocv_file, ecm::ocv_table_text(r.SOC, r.OCV_3rd));
    log_info("Saved file " + paths.ocv_file);
}

}  // namespace ecmpy
