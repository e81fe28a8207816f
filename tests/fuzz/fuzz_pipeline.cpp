// Fuzz target: a whole recording through the per-recording pipeline both
// faces drive (cut-off, charge, detection, every fit, rows, medians, the
// parameter file text), with a warm start carried into a second recording.
//
// Recordings come from a fuzzed pulse protocol with a simple cell response
// (so the fits run) or are raw numbers. Invariants: one row per cycle for the
// one- and two-branch models, parameters inside the fit bounds, the file text
// one line that starts with {"TempC":.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/extract/fitting.hpp"
#include "core/extract/pipeline.hpp"
#include "fuzz_common.hpp"

namespace {

struct Rec {
    std::vector<double> t, i, v;
};

Rec protocol(FuzzedDataProvider& p) {
    Rec r;
    const double amp = -std::pow(10.0, p.ConsumeFloatingPointInRange<double>(-2, 1));
    const double dt = std::pow(10.0, p.ConsumeFloatingPointInRange<double>(-1, 1));
    const double r0 = p.ConsumeFloatingPointInRange<double>(0.001, 0.2);
    const double tau = std::pow(10.0, p.ConsumeFloatingPointInRange<double>(0, 3));
    const int npulses = p.ConsumeIntegralInRange<int>(0, 8);
    double t = 0.0, soc = 1.0, over = 0.0;
    auto segment = [&](double cur) {
        const int len = p.ConsumeIntegralInRange<int>(2, 60);
        for (int k = 0; k < len; ++k) {
            over += (cur * 0.5 * r0 - over) * (1.0 - std::exp(-dt / tau));
            double vv = 3.2 + soc + r0 * cur + over;
            if (p.ConsumeIntegralInRange<int>(0, 127) == 0) vv = fuzz::any_double(p);
            r.t.push_back(t);
            r.i.push_back(cur);
            r.v.push_back(vv);
            t += dt;
            soc += cur * dt / 3600.0 / std::fabs(amp) / (npulses + 1) * 0.8;
        }
    };
    segment(0.0);
    for (int k = 0; k < npulses; ++k) {
        segment(amp);
        segment(0.0);
    }
    segment(amp);
    r.v.push_back(1.0);  // past the cut-off
    r.t.push_back(t);
    r.i.push_back(amp);
    return r;
}

Rec raw(FuzzedDataProvider& p) {
    Rec r;
    const auto n = p.ConsumeIntegralInRange<std::size_t>(0, 200);
    for (std::size_t k = 0; k < n; ++k) {
        r.t.push_back(fuzz::mostly_in(p, 0, 1e4, 8));
        r.i.push_back(fuzz::mostly_in(p, -5, 1, 8));
        r.v.push_back(fuzz::mostly_in(p, 2, 4.5, 8));
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider p(data, size);
    const bool structured = p.ConsumeIntegralInRange<int>(0, 3) != 0;
    ecm::PipelineSettings s;
    s.vcut = structured ? 3.0 : fuzz::mostly_in(p, 2.5, 4.0);
    const int model = p.ConsumeIntegralInRange<int>(0, 4);
    s.model = model == 0 ? ecm::CircuitModel::Other : model <= 2 ? ecm::CircuitModel::OneRC : ecm::CircuitModel::TwoRC;
    s.solver_verbose = p.ConsumeBool() ? 2 : 0;
    ecm::WarmStart warm;
    ecm::PipelineObserver quiet;
    for (int pass = 0; pass < 2; ++pass) {
        Rec r = structured ? protocol(p) : raw(p);
        ecm::RecordingColumns in;
        in.time = r.t.data();
        in.current = r.i.data();
        in.voltage = r.v.data();
        in.rows = r.t.size();
        ecm::RecordingResult res;
        if (!fuzz::expect_ok_or_documented([&] { res = ecm::process_recording(in, s, warm, quiet); })) continue;
        FUZZ_CHECK(res.samples <= in.rows);
        if (s.model == ecm::CircuitModel::Other) {
            FUZZ_CHECK(res.rows.empty());
        } else {
            FUZZ_CHECK(static_cast<long long>(res.rows.size()) == res.cycles);
        }
        for (const auto& row : res.rows) {
            for (double x : row.params) FUZZ_CHECK(x >= ecm::kFitLowerBound && x <= ecm::kFitUpperBound);
            FUZZ_CHECK(row.full_window.b <= res.samples && row.first_window.a < row.first_window.b);
        }
        const std::string text = ecm::params_file_text(25, res);
        FUZZ_CHECK(text.rfind("{\"TempC\": 25, ", 0) == 0 && text.find('\n') == std::string::npos);
    }
    return 0;
}
