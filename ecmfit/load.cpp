// Loading a recording: the table, its temperature, the cut-off and the charge.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "ecmfit/core/recording.hpp"
#include "ecmfit/core/stats.hpp"
#include "ecmfit/pyface.hpp"
#include "ecmfit/steps.hpp"

namespace ecmpy {

namespace {

const char* kCutoffExit =
    "\nBattery voltage does not cross the defined low cut off voltage. Please define higher cut off level and "
    "run again.\n";

const char* kColumns = "\"Seconds\", \"Current(A)\", \"Voltage(V)\" (and optionally \"Temperature(C)\")";

// Line of the file that holds data row k (the header is line 1).
std::string line_of(py::ssize_t k) { return std::to_string(k + 2); }

// A column of the table as doubles (a NumPy array, possibly a view of the
// table's own data). Text that does not read as a number is an error naming
// the file, the line and the column.
using darray = py::array_t<double, py::array::c_style | py::array::forcecast>;
darray numeric_column(const py::object& df, const std::string& infile, const char* name) {
    if (!df.attr("columns").attr("__contains__")(name).cast<bool>()) {
        std::string found = text(py::repr(py::list(df.attr("columns"))));
        raise(PyExc_KeyError, infile + ": no column \"" + name + "\"; a recording needs the columns " + kColumns +
                                  ", found " + found);
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
                       infile + ": line " + line_of(k) + ": column \"" + name + "\" holds " +
                           text(py::repr(cell)) + ", expected a number");
        }
    }
    return out;
}

// The temperature from the data: median of the column, rounded half to even.
// Any failure (no column, text, a median that is not a number) gives nothing.
bool temperature_from_data(const py::object& df, long long& temperature) {
    try {
        if (!df.attr("columns").attr("__contains__")("Temperature(C)").cast<bool>()) return false;
        auto a = df.attr("__getitem__")("Temperature(C)")
                     .attr("to_numpy")(py::arg("dtype") = "float64")
                     .cast<py::array_t<double, py::array::c_style | py::array::forcecast>>();
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

long long temperature_from_name(py::module_& m, const std::string& infile) {
    std::string last = infile.substr(infile.rfind('_') == std::string::npos ? 0 : infile.rfind('_') + 1);
    last = last.substr(0, last.find('.'));
    const std::string expected =
        "; expected the file name to end in _T followed by p (plus) or n (minus) and whole degrees, "
        "for example _Tp25.csv or _Tn10.csv (the recording has no usable \"Temperature(C)\" column)";
    auto t1 = last.find('T');
    if (t1 == std::string::npos) raise(PyExc_ValueError, infile + ": no temperature in the file name" + expected);
    auto t2 = last.find('T', t1 + 1);
    std::string txt = last.substr(t1 + 1, t2 == std::string::npos ? std::string::npos : t2 - t1 - 1);
    m.attr("temperature_txt") = txt;
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

void load_recording(py::module_& m, const RunConfig& cfg, Recording& rec) {
    const std::string& infile = rec.infile;
    py::object read_csv = py::module_::import("pandas").attr("read_csv");
    py::object df;
    try {
        df = read_csv(infile, py::arg("header") = 0, py::arg("delimiter") = ",", py::arg("decimal") = ".");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        std::string why = text(e.value());
        if (e.matches(PyExc_UnicodeDecodeError)) why = "the file is not UTF-8 text (" + why + ")";
        raise_from(e, PyExc_ValueError, infile + ": cannot read the recording as comma-separated text: " + why);
    }
    m.attr("df") = df;

    if (temperature_from_data(df, rec.temperature)) {
        // the data give the temperature
    } else {
        rec.temperature = temperature_from_name(m, infile);
    }
    m.attr("temperature") = rec.temperature;
    log_info("temperature = " + std::to_string(rec.temperature) + " C");

    darray voltage = numeric_column(df, infile, "Voltage(V)");
    darray seconds = numeric_column(df, infile, "Seconds");
    darray current = numeric_column(df, infile, "Current(A)");
    // vraw is a copy: it must not change the table it came from.
    py::array_t<double> vraw = to_array(voltage.data(), static_cast<std::size_t>(voltage.size()));
    m.attr("vraw") = vraw;
    if (vraw.size() == 0) raise(PyExc_ValueError, infile + ": the recording has no data rows");

    auto cut = ecm::find_cutoff(vraw.data(), static_cast<std::size_t>(vraw.size()), cfg.vcut);
    if (!cut) py::module_::import("sys").attr("exit")(kCutoffExit);
    const std::size_t n = *cut;
    m.attr("idx_end") = static_cast<long long>(n);

    // Every kept sample must be a finite number, and time must increase.
    const std::pair<const char*, const double*> cols[] = {
        {"Seconds", seconds.data()}, {"Current(A)", current.data()}, {"Voltage(V)", vraw.data()}};
    for (const auto& c : cols) {
        for (std::size_t k = 0; k < n; ++k) {
            if (!std::isfinite(c.second[k])) {
                raise(PyExc_ValueError, infile + ": line " + line_of(static_cast<py::ssize_t>(k)) + ": column \"" +
                                            c.first + "\" is empty or not a finite number (" +
                                            float_text(c.second[k]) + ")");
            }
        }
    }
    const double* ts = seconds.data();
    for (std::size_t k = 1; k < n; ++k) {
        if (!(ts[k] > ts[k - 1])) {
            raise(PyExc_ValueError, infile + ": line " + line_of(static_cast<py::ssize_t>(k)) + ": time " +
                                        float_text(ts[k]) + " s does not increase from the previous sample (" +
                                        float_text(ts[k - 1]) + " s); the \"Seconds\" column must increase");
        }
    }
    if (n < 2) {
        raise(PyExc_ValueError, infile + ": only " + std::to_string(n) +
                                    " sample(s) lie above the cut-off voltage before it is crossed; "
                                    "a pulse recording is needed");
    }

    rec.v = DArray{to_array(vraw.data(), n)};
    rec.t = DArray{to_array(seconds.data(), n)};
    rec.iload = DArray{to_array(current.data(), n)};
    rec.cum_mAh = DArray{to_array(ecm::cumulative_charge_mAh(rec.t.data(), rec.iload.data(), n))};

    m.attr("v") = rec.v.a;
    m.attr("t") = rec.t.a;
    m.attr("iload") = rec.iload.a;
    m.attr("cum_mAh") = rec.cum_mAh.a;
}

}  // namespace ecmpy
