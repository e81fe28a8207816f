// The extraction run: configuration, battery folder, recordings, builder call.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <string>

#include "python/common/pyface.hpp"
#include "python/common/recording_io.hpp"
#include "python/ecmfit/steps.hpp"

namespace ecmpy {

namespace {

const char* kConfigFile = "input_params.json";
const char* kConfigExit = "\nInput parameter definition file not found in './input_params.json'\n";

// values[key], or a KeyError that names the configuration file and the key.
py::object config_value(const py::dict& values, const char* key) {
    if (!values.contains(key)) {
        raise(PyExc_KeyError, std::string(kConfigFile) + ": missing key '" + key +
                                  "' (expected keys: battery_database, battery_folder, high_cutoff, "
                                  "low_cutoff, model)");
    }
    return values[key];
}

std::string config_text(const py::dict& values, const char* key) {
    py::object v = config_value(values, key);
    if (!py::isinstance<py::str>(v)) {
        raise(PyExc_TypeError,
              std::string(kConfigFile) + ": key '" + key + "' must be a string, found " + text(py::repr(v)));
    }
    return v.cast<std::string>();
}

double config_voltage(const py::dict& values, const char* key) {
    py::object v = config_value(values, key);
    double x;
    try {
        x = py::float_(v).cast<double>();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        raise_from(
            e, PyExc_ValueError,
            std::string(kConfigFile) + ": key '" + key + "' must be a number of volts, found " + text(py::repr(v)));
    }
    if (!std::isfinite(x)) {
        raise(PyExc_ValueError, std::string(kConfigFile) + ": key '" + key +
                                    "' must be a finite number of volts, found " + text(py::repr(v)));
    }
    return x;
}

void check_model(const RunConfig& cfg) {
    if (cfg.model != "model1" && cfg.model != "model2") {
        raise(PyExc_ValueError, std::string(kConfigFile) + ": model '" + cfg.model +
                                    "' is not supported; expected \"model1\" (one RC branch) or "
                                    "\"model2\" (two RC branches)");
    }
}

}  // namespace

void run_extraction(py::module_& m) {
    // Library set-up: the facilities of the run under their usual names.
    py::module_ os = py::module_::import("os");
    py::module_ sys = py::module_::import("sys");
    py::module_ json = py::module_::import("json");
    py::module_ logging = py::module_::import("logging");
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("optimize") = py::module_::import("scipy.optimize");
    m.attr("integrate") = py::module_::import("scipy.integrate");
    m.attr("tp") = py::module_::import("time").attr("time");
    m.attr("gl") = py::module_::import("glob").attr("glob");
    m.attr("json") = json;
    m.attr("os") = os;
    m.attr("sys") = sys;
    m.attr("lg") = logging;

    // Every public name of the builder.
    py::module_ ecmgen = py::module_::import("ecmgen");
    for (auto item : ecmgen.attr("__dict__").cast<py::dict>()) {
        std::string name = item.first.cast<std::string>();
        if (!name.empty() && name[0] != '_') m.attr(name.c_str()) = item.second;
    }

    logging.attr("basicConfig")(py::arg("format") = "%(levelname)s:%(message)s",
                                py::arg("level") = logging.attr("INFO"));

    // The configuration: opening and parsing are one guarded step.
    py::object values;
    try {
        py::object f = py::module_::import("builtins").attr("open")("./input_params.json", "r");
        try {
            values = json.attr("load")(f);
        } catch (...) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        sys.attr("exit")(kConfigExit);
    }
    m.attr("values") = values;
    if (!py::isinstance<py::dict>(values)) {
        raise(PyExc_TypeError, std::string(kConfigFile) +
                                   ": expected one JSON object with the keys "
                                   "battery_database, battery_folder, high_cutoff, low_cutoff, model; found " +
                                   text(py::type::of(values).attr("__name__")));
    }
    py::dict cfgd = values.cast<py::dict>();

    RunConfig cfg;
    cfg.workdir = config_text(cfgd, "battery_database") + config_text(cfgd, "battery_folder");
    m.attr("workdir") = cfg.workdir;

    // A relative battery folder is taken from the directory the run started in.
    py::object ospath = os.attr("path");
    cfg.workdir_path = cfg.workdir;
    if (!ospath.attr("isabs")(cfg.workdir).cast<bool>()) {
        cfg.workdir_path = ospath.attr("abspath")(cfg.workdir).cast<std::string>();
    }
    try {
        os.attr("chdir")(cfg.workdir_path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        std::string why = e.matches(PyExc_FileNotFoundError) ? "does not exist" : "cannot be entered";
        raise_from(e, PyExc_FileNotFoundError,
                   std::string(kConfigFile) + ": the battery folder '" + cfg.workdir +
                       "' (battery_database + battery_folder) " + why);
    }

    cfg.vhigh = config_voltage(cfgd, "high_cutoff");
    cfg.vcut = config_voltage(cfgd, "low_cutoff");
    m.attr("vhigh") = cfg.vhigh;
    m.attr("vcut") = cfg.vcut;

    log_info("workdir = " + cfg.workdir);
    log_info("vhigh = " + float_text(cfg.vhigh) + " V");
    log_info("vcut = " + float_text(cfg.vcut) + " V");

    py::object model = config_value(cfgd, "model");
    cfg.model = py::isinstance<py::str>(model) ? model.cast<std::string>() : text(py::repr(model));
    if (cfg.model == "model1")
        log_info("model1 selected");
    else if (cfg.model == "model2")
        log_info("model2 selected");

    // The recordings, in the order of the directory listing.
    py::list infiles;
    try {
        infiles = py::list(py::module_::import("glob").attr("glob")(cfg.workdir_path + "/raw_data/*.csv"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        infiles = py::list();
    }
    m.attr("infiles") = infiles;
    if (py::len(infiles) == 0) log_error("No *.csv files found!");

    cfg.results_dir = cfg.workdir_path + "/results";
    if (!ospath.attr("exists")(cfg.results_dir).cast<bool>()) os.attr("makedirs")(cfg.results_dir);

    ecm::WarmStart warm;  // carries from one recording to the next
    for (auto item : infiles) {
        const std::string infile = item.cast<std::string>();
        m.attr("infile") = infile;
        log_info("started processing file '" + infile + "'");
        long long capacity = nominal_capacity(infile);
        m.attr("battery_capacity") = capacity;
        log_info("nominal capacity = " + std::to_string(capacity) + " mAh");
        check_model(cfg);
        process_recording(m, cfg, infile, warm);
    }

    m.attr("write_battery_model_file")(cfg.workdir_path, cfg.vcut, cfg.vhigh);
}

}  // namespace ecmpy
