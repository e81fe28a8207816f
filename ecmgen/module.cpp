// ecmgen: the model-file builder.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(ecmgen, m) {
    m.doc() = "Battery model builder: turns per-temperature parameter files into battery_model.json";
}
