// The model-file builder's Python-facing pieces, shared by ecmgen and the ecm
// package: reading parameter files, the model records and their text, the
// output writers.
#include "python/common/model_io.hpp"

#include <stdexcept>

#include "core/base/errors.hpp"
#include "core/base/fileio.hpp"
#include "core/build/tables.hpp"
#include "python/common/arrays.hpp"

namespace ecmpy {

using ecm::gen::ModelEntry;
using ecm::gen::ModelText;

namespace {

// Error type for a parameter file without a required key: both a KeyError
// (the missing key) and a ValueError (bad parameter file), with a plain message.
py::object& missing_key_error() {
    static py::object* cls = nullptr;  // created once, kept for the process
    if (!cls) {
        py::object builtins = py::module_::import("builtins");
        py::dict ns;
        ns["__module__"] = "ecmgen";
        ns["__str__"] = builtins.attr("BaseException").attr("__str__");
        ns["__doc__"] = "A parameter file lacks a key the builder needs.";
        cls = new py::object(builtins.attr("type")(
            "ParameterFileKeyError", py::make_tuple(builtins.attr("KeyError"), builtins.attr("ValueError")), ns));
    }
    return *cls;
}

[[noreturn]] void raise(py::handle type, const std::string& msg) {
    PyErr_SetString(type.ptr(), msg.c_str());
    throw py::error_already_set();
}

}  // namespace

// Text of a Python str for messages; undecodable parts are shown escaped.
std::string message_text(py::handle s) {
    return py::bytes(py::str(s).attr("encode")("utf-8", "backslashreplace")).cast<std::string>();
}

namespace {

// Text of a Python str for the JSON escaper: UTF-8 in which lone surrogates
// (from file names that are not valid UTF-8) keep their code point.
std::string escaper_text(py::handle s) {
    return py::bytes(s.attr("encode")("utf-8", "surrogatepass")).cast<std::string>();
}

std::string type_name(py::handle h) {
    return message_text(py::type::handle_of(h).attr("__name__"));
}

std::string short_repr(py::handle h) {
    std::string r = message_text(py::repr(h));
    if (r.size() > 60) r = r.substr(0, 57) + "...";
    return r;
}

// ---- Reading one parameter file -------------------------------------------

bool is_json_number(py::handle h) {
    return (PyLong_Check(h.ptr()) && !PyBool_Check(h.ptr())) || PyFloat_Check(h.ptr());
}

double file_number(py::handle h, const std::string& file, const std::string& where) {
    if (!is_json_number(h))
        raise(PyExc_ValueError,
              file + ": " + where + " is " + short_repr(h) + " (" + type_name(h) + "), expected a number");
    double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        raise(PyExc_ValueError, file + ": " + where + " is " + short_repr(h) + ", too large for a double");
    }
    return v;
}

std::vector<double> file_numbers(py::handle h, const std::string& file, const std::string& where) {
    if (!PyList_Check(h.ptr()))
        raise(PyExc_ValueError,
              file + ": " + where + " is " + short_repr(h) + " (" + type_name(h) + "), expected a list of numbers");
    py::list l = py::reinterpret_borrow<py::list>(h);
    std::vector<double> out;
    out.reserve(l.size());
    for (std::size_t i = 0; i < l.size(); ++i)
        out.push_back(file_number(l[i], file, where + " element " + std::to_string(i)));
    return out;
}

py::object file_key(const py::dict& doc, const char* key, const std::string& file) {
    if (!doc.contains(key))
        raise(missing_key_error(), file + ": no key \"" + key +
                                       "\", expected the keys \"TempC\", \"Tparam_1\", \"Tparam_2\" and \"Tparam_3\"");
    return doc[key];
}

}  // namespace

ReadParamFile read_param_file(py::handle name) {
    const std::string file = message_text(name);
    py::object json = py::module_::import("json");
    py::object builtins = py::module_::import("builtins");

    py::object doc;
    {
        py::object f = builtins.attr("open")(name, "r", py::arg("encoding") = "utf-8");
        try {
            doc = json.attr("load")(f);
        } catch (py::error_already_set& e) {
            py::object err = e.value();
            f.attr("close")();
            if (e.matches(PyExc_ValueError))  // JSONDecodeError, UnicodeDecodeError
                raise(PyExc_ValueError, file + ": not a valid JSON parameter file (" + message_text(err) + ")");
            throw;
        }
        f.attr("close")();
    }
    if (!PyDict_Check(doc.ptr()))
        raise(PyExc_ValueError, file + ": holds " + type_name(doc) +
                                    ", expected a JSON object with the keys "
                                    "\"TempC\", \"Tparam_1\", \"Tparam_2\" and \"Tparam_3\"");
    py::dict d = py::reinterpret_borrow<py::dict>(doc);

    ReadParamFile r;
    r.data.name = file;
    r.data.temp_c = file_number(file_key(d, "TempC", file), file, "\"TempC\"");
    r.data.capacity_ah = file_number(file_key(d, "Tparam_1", file), file, "\"Tparam_1\"");
    r.data.rc = file_numbers(file_key(d, "Tparam_2", file), file, "\"Tparam_2\"");
    py::object t3 = file_key(d, "Tparam_3", file);
    if (!PyList_Check(t3.ptr()) || py::len(t3) != 2 || !PyList_Check(py::list(t3)[0].ptr()) ||
        !PyList_Check(py::list(t3)[1].ptr()))
        raise(PyExc_ValueError,
              file + ": \"Tparam_3\" is " + short_repr(t3) + ", expected two lists (SOC grid, OCV at the grid points)");
    py::list t3l = py::reinterpret_borrow<py::list>(t3);
    r.soc_list = t3l[0];
    r.data.soc = file_numbers(t3l[0], file, "\"Tparam_3\" list 0 (SOC)");
    r.data.ocv = file_numbers(t3l[1], file, "\"Tparam_3\" list 1 (OCV)");
    return r;
}

// ---- The model text ---------------------------------------------------------

namespace {

// One mapping entry as the text builder sees it. The entry "name" is a text
// (its elements joined); every other value is a flat sequence of numbers,
// integers keeping their decimal text.
ModelEntry model_entry(py::handle key, py::handle value) {
    if (!PyUnicode_Check(key.ptr())) raise(PyExc_TypeError, "model record keys must be text, found " + short_repr(key));
    ModelEntry e;
    e.key = escaper_text(key);
    if (py::str(key).equal(py::str("name"))) {
        e.is_text = true;
        py::object joined = py::str("").attr("join")(value);
        e.text = escaper_text(joined);
        return e;
    }
    py::object seq = py::reinterpret_borrow<py::object>(value);
    const std::size_t n = py::len(seq);
    e.values.reserve(n);
    std::size_t i = 0;
    for (py::handle el : seq) {
        PyObject* p = el.ptr();
        if (PyIndex_Check(p) && !PyFloat_Check(p)) {
            // An integer keeps its exact decimal text.
            py::object as_int = py::reinterpret_steal<py::object>(PyNumber_Index(p));
            if (!as_int) throw py::error_already_set();
            if (e.literal.empty()) e.literal.assign(n, std::string());
            if (i < e.literal.size()) e.literal[i] = message_text(py::str(as_int));
            e.values.push_back(0.0);
        } else {
            double v = PyFloat_AsDouble(p);
            if (v == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                raise(PyExc_TypeError, "model entry " + message_text(key) + ": element " + std::to_string(i) + " is " +
                                           short_repr(el) + ", expected a number");
            }
            e.values.push_back(v);
        }
        ++i;
    }
    if (!e.literal.empty()) e.literal.resize(e.values.size());
    return e;
}

}  // namespace

ModelText mapping_text(py::handle o) {
    if (!PyDict_Check(o.ptr()) && !py::hasattr(o, "items"))
        raise(PyExc_TypeError, "CustomEncoder encodes a mapping of keys to lists, found " + type_name(o));
    std::vector<ModelEntry> entries;
    for (py::handle item : o.attr("items")()) {
        if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
            raise(PyExc_TypeError, "CustomEncoder: the mapping's items() must give (key, value) pairs");
        py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
        entries.push_back(model_entry(kv[0], kv[1]));
    }
    return ecm::gen::model_json_text(entries);
}

// ---- Output files -----------------------------------------------------------

void write_text_file(const std::string& path, const std::string& text) {
    try {
        ecm::write_file_atomic(path, text);
    } catch (const std::runtime_error& e) {
        raise(PyExc_OSError, e.what());
    }
}

// scipy.io.savemat into a temporary file of the same directory, renamed over
// the target when complete: the previous MAT file survives any failure.
void write_mat_file(const std::string& path, const py::dict& mdict) {
    py::object os = py::module_::import("os");
    py::object ospath = os.attr("path");
    py::object tempfile = py::module_::import("tempfile");
    py::object savemat = py::module_::import("scipy.io").attr("savemat");
    py::object dir = ospath.attr("dirname")(path);
    if (py::len(dir) == 0) dir = py::str(".");
    std::string base = ospath.attr("basename")(path).cast<std::string>();
    py::tuple made = tempfile.attr("mkstemp")(py::arg("prefix") = "." + base + ".", py::arg("suffix") = ".tmp",
                                              py::arg("dir") = dir);
    py::object fd = made[0];
    py::object tmp = made[1];
    try {
        py::object f = os.attr("fdopen")(fd, "wb");
        try {
            savemat(f, mdict);
            f.attr("flush")();
            os.attr("fsync")(f.attr("fileno")());
        } catch (...) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
        // mkstemp makes the file private; give it the mode an ordinary open() gives.
        py::object mask = os.attr("umask")(0);
        os.attr("umask")(mask);
        os.attr("chmod")(tmp, py::int_(0666 & ~mask.cast<int>()));
        os.attr("replace")(tmp, path);
    } catch (py::error_already_set&) {
        try {
            os.attr("unlink")(tmp);
        } catch (py::error_already_set&) {}
        throw;
    }
}

// ---- The model records ---------------------------------------------------------

namespace {

py::list as_list(const std::vector<double>& v) {
    py::list l;
    for (double x : v) l.append(py::float_(x));
    return l;
}

std::string join(const std::vector<std::string>& parts, const std::string& sep) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? sep : "") + parts[i];
    return out;
}

}  // namespace

BuiltModel build_model(const std::vector<ecm::gen::ParamFile>& files, py::object last_soc, py::str first_name,
                       double v_low, double v_high) {
    BuiltModel b;
    ecm::gen::Collection c;
    ecm::gen::ModelTables t;
    try {
        c = ecm::gen::collect(files);
        t = ecm::gen::derive_tables(c, v_low, v_high);
    } catch (const ecm::DataError& e) {
        raise(PyExc_ValueError, e.what());
    }
    py::dict& params = b.params;
    py::dict& params_json = b.params_json;

    params["SOC"] = last_soc;
    params_json["param_1"] = last_soc;
    params["temps"] = ecmpy::to_array(c.temperatures);
    params_json["temps"] = as_list(c.temperatures);

    if (t.temperature_undetermined)
        b.warnings.push_back("Only one temperature (" + message_text(py::repr(py::float_(c.temperatures.front()))) +
                             " C) in the parameter files: the temperature dependence of the model is not determined "
                             "by one temperature; the fits keep their minimum-norm answer");

    struct Table {
        const char* mat_key;
        const char* json_key;
        const std::vector<double>* values;
        bool as_plain_list;
    };
    const Table tables[] = {
        {"OCV", "param_2", &t.vovc, false},         {"OCVrel", "param_3", &t.ocv_rel, false},
        {"OCV0", "param_4", &t.ocv0, false},        {"dOCV0", "param_5", &t.docv0, false},
        {"dOCVrel", "param_6", &t.docv_rel, false}, {"SOCrel", "param_7", &t.soc_rel, false},
        {"SOC0", "param_8", &t.soc0, false},        {"R0Param", "param_9", &t.r0, true},
        {"RCParam", "param_10", &t.tau, true},      {"RParam", "param_11", &t.r, true},
        {"QParam", "param_12", &t.q, true},
    };
    for (const auto& tab : tables) {
        py::list l = as_list(*tab.values);
        if (tab.as_plain_list)
            params[tab.mat_key] = l;
        else
            params[tab.mat_key] = ecmpy::to_array(*tab.values);
        params_json[tab.json_key] = l;
    }

    // The model name is the first file's name up to its first underscore.
    py::str name = py::str(first_name.attr("split")("_", 1)[py::int_(0)]);
    py::str quoted =
        py::str("").attr("join")(py::module_::import("builtins").attr("map")(py::str("'{}'").attr("format"), name));
    params["name"] = quoted;
    params_json["name"] = py::list(name);

    ModelText text = mapping_text(params_json);
    if (!text.nonfinite_keys.empty()) {
        std::vector<std::string> named;
        for (const auto& key : text.nonfinite_keys) {
            std::string label = key;
            for (const auto& tab : tables)
                if (key == tab.json_key) label += std::string(" (") + tab.mat_key + ")";
            if (key == "param_1") label += " (SOC)";
            if (key == "temps") label += " (temps)";
            named.push_back(label);
        }
        b.warnings.push_back("Non-finite values in the model, written as NaN/Infinity/-Infinity: " + join(named, ", "));
    }
    b.text = std::move(text.text);
    return b;
}

}  // namespace ecmpy
