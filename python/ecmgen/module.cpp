// ecmgen: the model-file builder. Collects the per-temperature parameter files
// of a battery folder, derives the model tables in the core and writes
// battery_model.json (and, on request, battery_model.mat).
//
// Everything that touches Python objects, files or logging lives here; the
// numbers come from ecmgen/core.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "python/common/model_io.hpp"

namespace py = pybind11;
using ecmpy::message_text;

namespace {

[[noreturn]] void raise(py::handle type, const std::string& msg) {
    PyErr_SetString(type.ptr(), msg.c_str());
    throw py::error_already_set();
}

std::string short_repr(py::handle h) {
    std::string r = message_text(py::repr(h));
    if (r.size() > 60) r = r.substr(0, 57) + "...";
    return r;
}

// A voltage limit: any real number (int, float, NumPy scalar), not a text.
double voltage(py::handle h, const char* what) {
    if (PyUnicode_Check(h.ptr()) || PyBytes_Check(h.ptr()))
        raise(PyExc_TypeError, std::string(what) + " must be a number of volts, found " + short_repr(h));
    double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        raise(PyExc_TypeError, std::string(what) + " must be a number of volts, found " + short_repr(h));
    }
    return v;
}

void write_battery_model_file(py::object wdir, py::object vbatlow, py::object vbathigh, py::object veltrarun) {
    py::object logging = py::module_::import("logging");
    py::object os = py::module_::import("os");
    py::object glob = py::module_::import("glob");

    const double v_low = voltage(vbatlow, "vbatlow");
    const double v_high = voltage(vbathigh, "vbathigh");
    const int truth = PyObject_IsTrue(veltrarun.ptr());
    if (truth < 0) throw py::error_already_set();
    const bool want_mat = truth == 1;

    // Frame: logging (no effect when already configured), records, directory.
    logging.attr("basicConfig")(py::arg("format") = "%(levelname)s:%(message)s",
                                py::arg("level") = logging.attr("INFO"));
    os.attr("chdir")(wdir + py::str("/results"));

    // Collection: every file is read and checked before anything is written.
    py::list json_files = glob.attr("glob")("*_params.json");
    if (json_files.empty())
        raise(PyExc_ValueError, "no '*_params.json' file in " + message_text(os.attr("getcwd")()) +
                                    ", expected at least one parameter file");
    std::vector<ecm::gen::ParamFile> files;
    py::object last_soc;
    for (py::handle name : json_files) {
        ecmpy::ReadParamFile r = ecmpy::read_param_file(name);
        files.push_back(std::move(r.data));
        last_soc = r.soc_list;
    }

    ecmpy::BuiltModel model = ecmpy::build_model(files, last_soc, py::str(json_files[0]), v_low, v_high);
    for (const auto& w : model.warnings) logging.attr("warning")(w);

    const char* json_model_file = "battery_model.json";
    ecmpy::write_text_file(json_model_file, model.text);
    logging.attr("info")(std::string("Saved file '") + json_model_file + "'");

    if (want_mat) {
        py::dict mdict;
        mdict["model"] = model.params;
        ecmpy::write_mat_file("battery_model.mat", mdict);
        logging.attr("info")("Saved file: 'battery_model.mat'");
    }
}

// JSONEncoder subclass whose encode() is the model text builder.
py::object make_custom_encoder() {
    py::object builtins = py::module_::import("builtins");
    py::object base = py::module_::import("json.encoder").attr("JSONEncoder");

    py::cpp_function encode(
        [](py::object /*self*/, py::object o) { return py::str(ecmpy::mapping_text(o).text); }, py::arg("self"),
        py::arg("o"),
        "The one-line JSON text of a mapping of keys to number lists (and \"name\" to its characters), "
        "numbers never in exponent notation.");
    py::cpp_function default_([](py::object /*self*/, py::object obj) { return obj.attr("__dict__"); }, py::arg("self"),
                              py::arg("obj"), "The attribute mapping of obj.");

    auto method = [](const py::cpp_function& f) {
        PyObject* m = PyInstanceMethod_New(f.ptr());
        if (!m) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(m);
    };
    py::dict ns;
    ns["__module__"] = "ecmgen";
    ns["__doc__"] = "JSON encoder of the battery model text (one line, fixed-point numbers).";
    ns["default"] = method(default_);
    ns["encode"] = method(encode);
    return builtins.attr("type")("CustomEncoder", py::make_tuple(base), ns);
}

}  // namespace

PYBIND11_MODULE(ecmgen, m) {
    m.doc() = "Battery model builder: turns per-temperature parameter files into battery_model.json";
    m.attr("CustomEncoder") = make_custom_encoder();
    m.def("write_battery_model_file", &write_battery_model_file, py::arg("wdir"), py::arg("vbatlow"),
          py::arg("vbathigh"), py::arg("veltrarun") = false,
          "Collect results/*_params.json of the battery folder wdir, derive the temperature-dependent model "
          "and write results/battery_model.json (and battery_model.mat when veltrarun is true). The working "
          "directory stays in wdir/results.");
}
