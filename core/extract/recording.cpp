#include "core/extract/recording.hpp"

namespace ecm {

std::optional<std::size_t> find_cutoff(const double* v, std::size_t n, double vcut) {
    for (std::size_t k = 0; k < n; ++k) {
        if (v[k] < vcut) return k;
    }
    return std::nullopt;
}

}  // namespace ecm
