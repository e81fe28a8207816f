#pragma once
// File output that never leaves a partial or empty file behind.
#include <string>

namespace ecm {

// Writes `text` to `path` by writing a temporary file in the same directory,
// flushing it to disk and renaming it over the target. Either the old file or
// the complete new one is there at every moment. Throws std::runtime_error
// naming the path and the system error on failure; the temporary is removed.
void write_file_atomic(const std::string& path, const std::string& text);

}  // namespace ecm
