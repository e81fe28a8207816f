#pragma once
// Text forms of numbers and strings shared by the parameter and model files.
#include <string>

namespace ecm {

// The shortest decimal text that reads back as the same double, laid out the
// way Python's repr(float) does: positional with ".0" on whole values when the
// decimal exponent lies in [-4, 16), otherwise "1e-05" / "1.5e+16" style;
// non-finite values give "nan", "inf", "-inf".
std::string py_repr(double x);

// Python's "{:.{}f}".format(x, decimals): correctly rounded fixed notation.
std::string fixed_text(double x, int decimals);

// The model file's number rule. A value whose repr is in exponent notation is
// written in fixed point with |floor(exp2 * log10(2))| + 3 decimals, exp2 being
// the power-of-two exponent of frexp; every other value keeps its repr.
// Non-finite values are written "NaN", "Infinity", "-Infinity", the spellings
// JSON readers (Python's json among them) accept.
std::string model_number_text(double x);

// Number of decimals the model file's rule uses for x (finite, non-zero).
int model_number_decimals(double x);

// `text` (UTF-8) as a quoted JSON string, escaped the way Python's json.dumps
// does with its defaults: '"' and '\\' escaped, \n \r \t \b \f by name, every
// other character outside printable ASCII as \uXXXX (surrogate pairs above
// U+FFFF). Surrogate code points encoded in three bytes (Python's
// "surrogatepass") come out as their own \udXXX escape; a byte that is not
// valid UTF-8 comes out as \ufffd.
std::string json_string(const std::string& text);

}  // namespace ecm
