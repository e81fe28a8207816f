#include "python/common/recording_io.hpp"

#include <cmath>
#include <vector>

#include "core/base/stats.hpp"
#include "python/common/pyface.hpp"

namespace ecmpy {

namespace {

const char* kColumns = "\"Seconds\", \"Current(A)\", \"Voltage(V)\" (and optionally \"Temperature(C)\")";

// Line of the file that holds data row k (the header is line 1).
std::string line_of(py::ssize_t k) {
    return std::to_string(k + 2);
}

// The temperature from the data: median of the column, rounded half to even.
// Any failure (no column, text, a median that is not a number) gives nothing.
bool temperature_from_data(const py::object& df, long long& temperature) {
    try {
        if (!df.attr("columns").attr("__contains__")("Temperature(C)").cast<bool>()) return false;
        auto a = df.attr("__getitem__")("Temperature(C)").attr("to_numpy")(py::arg("dtype") = "float64").cast<darray>();
        std::vector<double> x(a.data(), a.data() + a.size());
        if (x.empty()) return false;
        double med = ecm::median(x);
        if (!std::isfinite(med)) return false;
        double r = std::nearbyint(med);  // ties to even in the default rounding mode
        if (std::fabs(r) > 9.0e15) return false;
        temperature = static_cast<long long>(r);
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    } catch (py::cast_error&) {
        return false;
    }
}

long long temperature_from_name(const std::string& infile, std::optional<std::string>& name_text) {
    std::string last = infile.substr(infile.rfind('_') == std::string::npos ? 0 : infile.rfind('_') + 1);
    last = last.substr(0, last.find('.'));
    const std::string expected =
        "; expected the file name to end in _T followed by p (plus) or n (minus) and whole degrees, "
        "for example _Tp25.csv or _Tn10.csv (the recording has no usable \"Temperature(C)\" column)";
    auto t1 = last.find('T');
    if (t1 == std::string::npos) raise(PyExc_ValueError, infile + ": no temperature in the file name" + expected);
    auto t2 = last.find('T', t1 + 1);
    std::string txt = last.substr(t1 + 1, t2 == std::string::npos ? std::string::npos : t2 - t1 - 1);
    name_text = txt;
    if (txt.empty() || (txt[0] != 'p' && txt[0] != 'n')) {
        raise(PyExc_ValueError, infile + ": cannot read the temperature '" + txt + "' from the file name" + expected);
    }
    long long deg;
    try {
        deg = py::int_(py::str(txt.substr(1))).cast<long long>();
    } catch (py::error_already_set& e) {
        raise_from(e, PyExc_ValueError,
                   infile + ": cannot read the temperature '" + txt + "' from the file name" + expected);
    } catch (py::cast_error&) {
        raise(PyExc_ValueError, infile + ": the temperature '" + txt + "' in the file name is out of range");
    }
    return txt[0] == 'p' ? deg : -deg;
}

}  // namespace

py::object read_table(const std::string& path) {
    py::object read_csv = py::module_::import("pandas").attr("read_csv");
    try {
        return read_csv(path, py::arg("header") = 0, py::arg("delimiter") = ",", py::arg("decimal") = ".");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        std::string why = text(e.value());
        if (e.matches(PyExc_UnicodeDecodeError)) why = "the file is not UTF-8 text (" + why + ")";
        raise_from(e, PyExc_ValueError, path + ": cannot read the recording as comma-separated text: " + why);
    }
}

long long recording_temperature(const py::object& df, const std::string& path, std::optional<std::string>& name_text) {
    long long temperature = 0;
    if (temperature_from_data(df, temperature)) return temperature;
    return temperature_from_name(path, name_text);
}

darray numeric_column(const py::object& df, const std::string& infile, const char* name) {
    if (!df.attr("columns").attr("__contains__")(name).cast<bool>()) {
        std::string found = text(py::repr(py::list(df.attr("columns"))));
        raise(PyExc_KeyError,
              infile + ": no column \"" + name + "\"; a recording needs the columns " + kColumns + ", found " + found);
    }
    py::object col = df.attr("__getitem__")(name);
    if (py::isinstance(col, py::module_::import("pandas").attr("DataFrame"))) {
        raise(PyExc_ValueError, infile + ": the column \"" + std::string(name) + "\" occurs more than once");
    }
    std::string kind = text(col.attr("dtype").attr("kind"));
    if (kind == "f" || kind == "i" || kind == "u" || kind == "b") {
        return col.attr("to_numpy")(py::arg("dtype") = "float64").cast<darray>();
    }
    // Mixed or text column: convert cell by cell as float() does, and say where it fails.
    py::list cells = col.attr("tolist")();
    darray out(static_cast<py::ssize_t>(py::len(cells)));
    double* dst = out.mutable_data();
    py::object to_float = py::module_::import("builtins").attr("float");
    for (py::ssize_t k = 0; k < out.size(); ++k) {
        py::object cell = cells[static_cast<std::size_t>(k)];
        try {
            dst[k] = to_float(cell).cast<double>();
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
            raise_from(e, PyExc_ValueError,
                       infile + ": line " + line_of(k) + ": column \"" + name + "\" holds " + text(py::repr(cell)) +
                           ", expected a number");
        }
    }
    return out;
}

RecordingArrays recording_arrays(const py::object& df, const std::string& path) {
    RecordingArrays a{numeric_column(df, path, "Voltage(V)"), numeric_column(df, path, "Seconds"),
                      numeric_column(df, path, "Current(A)")};
    if (a.voltage.size() != a.seconds.size() || a.voltage.size() != a.current.size())
        raise(PyExc_ValueError, path + ": the columns differ in length");
    return a;
}

ecm::RecordingColumns RecordingArrays::columns(const double* voltage_data) const {
    ecm::RecordingColumns c;
    c.time = seconds.data();
    c.current = current.data();
    c.voltage = voltage_data;
    c.rows = static_cast<std::size_t>(voltage.size());
    return c;
}

long long nominal_capacity(const std::string& infile) {
    std::string head = infile.substr(0, infile.find("mAh"));
    std::string piece = head.substr(head.rfind('_') == std::string::npos ? 0 : head.rfind('_') + 1);
    try {
        return py::int_(py::str(piece)).cast<long long>();
    } catch (py::error_already_set& e) {
        raise_from(e, PyExc_ValueError,
                   infile +
                       ": cannot read the nominal capacity from the file name: expected "
                       "'<name>_<capacity>mAh_T<p|n><degrees>.csv' with a whole number of mAh, found '" +
                       piece + "'");
    } catch (py::cast_error&) {
        raise(PyExc_ValueError, infile + ": the nominal capacity '" + piece + "' in the file name is out of range");
    }
}

}  // namespace ecmpy
