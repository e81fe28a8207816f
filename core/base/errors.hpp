#pragma once
// Errors raised by the numerical core. The Python modules turn a DataError into
// ValueError, prefixed with the file the data came from.
#include <stdexcept>
#include <string>

namespace ecm {

// The input data cannot be processed (too few rests, a window too short, ...).
// The message says what was found and what was expected; it does not name the
// file, which the caller adds.
struct DataError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace ecm
