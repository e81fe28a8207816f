#pragma once
// The one way into the extraction: a recording's columns, how it is read and
// how its pulses are fitted, and one Result out.
//
//   read (the faces)  ->  columns  ->  the reading: classic cut-off, rests and
//   pulses, or the step analysis of any protocol  ->  the fit: two-pass
//   (pulse) or joint  ->  Result
//
// The two choices are independent: either reading with either fit.
#include <optional>
#include <string>

#include "core/extract/pipeline.hpp"
#include "core/extract/protocol.hpp"
#include "core/extract/result.hpp"

namespace ecm {

struct ExtractionSettings {
    Reading reading = Reading::Classic;
    FitMethod method = FitMethod::Pulse;
    CircuitModel model = CircuitModel::TwoRC;
    double vcut = 0.0;
    std::string label;       // names the recording in warnings (its path)
    int solver_verbose = 0;  // classic reading: 2 sends the solver's progress to the observer
    // When the current's steps happened within their sample intervals (edges.hpp; the joint
    // method of the classic reading, either method of the step analysis); none: the reading's own
    // convention (classic: linear between samples; steps: step_hold).
    std::optional<EdgeTiming> edge_timing;
    // The step analysis's own settings (Reading::Steps); its vcut, branches, method and label
    // are taken from the fields above.
    ProtocolSettings steps;
};

// One recording through the chosen reading and fit. Throws CutoffNotCrossed
// (classic reading: no sample below the cut-off) or DataError (without the
// file name) when the recording cannot be used.
Result extract(const RecordingColumns& in, const ExtractionSettings& settings, WarmStart& warm,
               PipelineObserver& observer);

}  // namespace ecm
