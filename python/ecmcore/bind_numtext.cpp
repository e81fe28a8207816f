// Number and string texts of the model and parameter files.
#include <pybind11/pybind11.h>

#include <string>

#include "core/base/numtext.hpp"

namespace py = pybind11;

void bind_numtext(py::module_& m) {
    m.def("py_repr", &ecm::py_repr, py::arg("x"), "Shortest round-trip text of x, laid out like repr(float).");
    m.def("fixed_text", &ecm::fixed_text, py::arg("x"), py::arg("decimals"),
          "x in fixed notation with `decimals` digits, like '{:.{}f}'.format(x, decimals).");
    m.def("model_number_text", &ecm::model_number_text, py::arg("x"),
          "Text of one number in battery_model.json (never exponent notation).");
    m.def("model_number_decimals", &ecm::model_number_decimals, py::arg("x"),
          "Decimals the model file uses for a value written in fixed point.");
    m.def(
        "json_string",
        [](const py::str& s) {
            // Lone surrogates (undecodable file names) keep their code point.
            std::string utf8 = py::bytes(s.attr("encode")("utf-8", "surrogatepass")).cast<std::string>();
            return ecm::json_string(utf8);
        },
        py::arg("s"), "s as a JSON string literal, escaped like json.dumps(s).");
}
