#pragma once
// The model-file builder's Python-facing pieces, shared by ecmgen and the ecm
// package: reading a parameter file, the two model records and the model
// text, and the writers of the output files (whole files, replaced atomically).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "core/build/collect.hpp"
#include "core/build/model_text.hpp"

namespace ecmpy {

namespace py = pybind11;

// Text of a Python str for messages; undecodable parts are shown escaped.
std::string message_text(py::handle s);

struct ReadParamFile {
    ecm::gen::ParamFile data;
    py::object soc_list;  // "Tparam_3"[0] as read, kept for the model records
};

// Reads and checks one `<name>_params.json` (`name` is the path as given; it
// names the file in errors). ValueError / ParameterFileKeyError otherwise.
ReadParamFile read_param_file(py::handle name);

// The records `params` (MAT side) and `params_json` (JSON side), the JSON text
// and the warnings about the model (one temperature only, non-finite values).
struct BuiltModel {
    py::dict params, params_json;
    std::string text;
    std::vector<std::string> warnings;
};

// Builds the model from the parameter files in listing order. `last_soc` is
// the SOC list of the file read last (as read), `first_name` the name of the
// file listed first (its part before the first "_" names the model).
BuiltModel build_model(const std::vector<ecm::gen::ParamFile>& files, py::object last_soc, py::str first_name,
                       double v_low, double v_high);

// The one-line model text of a mapping of keys to number lists (and "name").
ecm::gen::ModelText mapping_text(py::handle o);

// Whole-file writers; OSError naming the file on failure, the old file kept.
void write_text_file(const std::string& path, const std::string& text);
void write_mat_file(const std::string& path, const py::dict& mdict);

}  // namespace ecmpy
