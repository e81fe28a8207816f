#include "core/extract/extraction.hpp"

#include <utility>

#include "core/base/errors.hpp"

namespace ecm {

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
    return r;
}

}  // namespace ecm
