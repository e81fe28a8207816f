#include "core/extract/extraction.hpp"

#include <utility>

#include <algorithm>
#include <cmath>

#include "core/base/errors.hpp"
#include "core/extract/uncertainty.hpp"

namespace ecm {

namespace {

// The uncertainty of each OCV point from the rest it ends: its samples back to the last load.
void relaxed_errors(const RecordingColumns& in, Result& r) {
    const std::size_t m = r.relaxed_soc.size();
    r.relaxed_se.assign(m, PulseFit::kNaN);
    const std::size_t n = std::min(r.samples, in.rows);
    double imax = 0.0;
    for (std::size_t k = 0; k < n; ++k) imax = std::max(imax, std::fabs(in.current[k]));
    auto rest_from = [&](std::size_t last) {
        std::size_t a = last;
        while (a > 0 && std::fabs(in.current[a - 1]) <= 1e-3 * imax) --a;
        return a;
    };
    if (r.reading == Reading::Steps) {
        for (const Step& st : r.steps) {
            if (st.role != StepRole::OcvRest && st.role != StepRole::FullChargeRest) continue;
            if (st.last >= n || st.last >= r.soc.size()) continue;
            const double soc = r.soc[st.last];
            for (std::size_t j = 0; j < m; ++j)
                if (r.relaxed_soc[j] == soc && std::isnan(r.relaxed_se[j]))
                    r.relaxed_se[j] =
                        relaxed_voltage_se(in.time + st.first, in.voltage + st.first, st.last - st.first + 1, true);
        }
        return;
    }
    // Classic recordings: point j ends two samples before the j-th rest end.
    if (r.rest_ends.size() != m) return;
    for (std::size_t j = 0; j < m; ++j) {
        const std::int64_t e = r.rest_ends[j] - 2;
        if (e < 1 || static_cast<std::size_t>(e) >= n) continue;
        const auto last = static_cast<std::size_t>(e);
        const std::size_t first = rest_from(last);
        // the joint method's points are levels (a fit's, or a line's for the first), not one reading
        r.relaxed_se[j] =
            relaxed_voltage_se(in.time + first, in.voltage + first, last - first + 1, r.method == FitMethod::Joint);
    }
}

}  // namespace

Result extract(const RecordingColumns& in, const ExtractionSettings& s, WarmStart& warm, PipelineObserver& observer) {
    if (s.model == CircuitModel::Other) throw DataError("the extraction fits one or two RC branches");
    if (s.reading == Reading::Classic) {
        PipelineSettings p;
        p.vcut = s.vcut;
        p.model = s.model;
        p.method = s.method;
        p.solver_verbose = s.solver_verbose;
        p.label = s.label;
        p.edge_timing = s.edge_timing;
        RecordingResult r = process_recording(in, p, warm, observer);
        Result out = result_of(r, in.time, p.model, p.method);
        out.edge_timing = r.edge_timing;
        relaxed_errors(in, out);
        return out;
    }
    ProtocolSettings p = s.steps;
    p.vcut = s.vcut;
    p.branches = s.model == CircuitModel::OneRC ? 1 : 2;
    p.method = s.method;
    p.label = s.label;
    p.edge_timing = s.edge_timing;
    Result r = result_of(process_protocol(in, p, observer), p.branches);
    r.method = s.method;
    relaxed_errors(in, r);
    return r;
}

}  // namespace ecm
