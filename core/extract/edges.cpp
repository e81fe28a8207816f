#include "core/extract/edges.hpp"

#include <cmath>
#include <cstdio>

namespace ecm {

std::string EdgeTiming::text() const {
    if (linear) return "linear between samples";
    if (phase <= 0.0) return "steps right after the last sample of the old current";
    if (phase >= 1.0) return "steps at the first sample of the new current (it reports the new current)";
    char buf[96];
    std::snprintf(buf, sizeof buf, "steps between samples, %.0f %% into the sample interval", phase * 100.0);
    return buf;
}

TimedSeries timed_series(const double* t, const double* i, const double* y, const double* shape, std::size_t n,
                         const std::vector<std::size_t>& edges, const EdgeTiming& timing) {
    TimedSeries s;
    s.point_of.resize(n);
    const std::size_t reserve = n + 2 * edges.size();
    s.t.reserve(reserve);
    s.i.reserve(reserve);
    s.y.reserve(reserve);
    s.weight.reserve(reserve);
    auto push = [&](double tt, double ii, double yy, double sh, double w) {
        s.t.push_back(tt);
        s.i.push_back(ii);
        s.y.push_back(yy);
        if (shape != nullptr) s.shape.push_back(sh);
        s.weight.push_back(w);
    };
    std::size_t e = 0;
    for (std::size_t k = 0; k < n; ++k) {
        s.point_of[k] = s.t.size();
        push(t[k], i[k], y[k], shape != nullptr ? shape[k] : 0.0, 1.0);
        while (e < edges.size() && edges[e] < k) ++e;
        if (timing.linear || e >= edges.size() || edges[e] != k || k + 1 >= n) continue;
        const double when = t[k] + timing.phase * (t[k + 1] - t[k]);
        const double sh = shape != nullptr ? shape[k] : 0.0;
        push(when, i[k], y[k], sh, 0.0);
        push(when, i[k + 1], y[k], sh, 0.0);
    }
    return s;
}

std::vector<double> TimedSeries::at_samples(const std::vector<double>& per_point) const {
    std::vector<double> out(point_of.size());
    for (std::size_t k = 0; k < point_of.size(); ++k)
        out[k] = point_of[k] < per_point.size() ? per_point[point_of[k]] : std::nan("");
    return out;
}

}  // namespace ecm
