#pragma once
// Reading one recording file into the columns the pipeline works on, for both
// Python faces: the table through pandas, the temperature from the data or the
// file name, the nominal capacity from the file name. Every error is a Python
// exception whose message names the file (and the line and column where a
// cell is bad) and says what was expected.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "core/extract/pipeline.hpp"

namespace ecmpy {

namespace py = pybind11;
using darray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// pandas.read_csv(path, header=0, delimiter=",", decimal="."); ValueError naming the file when it cannot be read.
py::object read_table(const std::string& path);

// The temperature: the median of "Temperature(C)" rounded half to even when the
// data give one, otherwise the file name's _Tp25 / _Tn10. `name_text` receives
// the text taken from the file name when the name is used. ValueError when
// neither gives a temperature.
long long recording_temperature(const py::object& df, const std::string& path, std::optional<std::string>& name_text);

// A column of the table as doubles (possibly a view of the table's data).
// KeyError when the column is missing, ValueError naming line and column for a
// cell that is not a number.
darray numeric_column(const py::object& df, const std::string& path, const char* name);

// The three columns the pipeline needs, read in the order "Voltage(V)",
// "Seconds", "Current(A)" (the first missing or bad one is the error), checked
// for equal length. `columns(voltage)` gives the pipeline's view with the
// voltage taken from `voltage` (the table's own, or a copy of it).
struct RecordingArrays {
    darray voltage, seconds, current;
    ecm::RecordingColumns columns(const double* voltage_data) const;
};
RecordingArrays recording_arrays(const py::object& df, const std::string& path);

// The nominal capacity in mAh: the text before the first "mAh", its last
// "_"-separated piece, as an integer. ValueError naming the file otherwise.
long long nominal_capacity(const std::string& path);

}  // namespace ecmpy
