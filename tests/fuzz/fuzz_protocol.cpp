// Fuzz target: a recording of any step protocol through the step analysis
// (steps, roles, SOC, OCV points, every pulse window fitted in turn by
// direction).
//
// Recordings come from a fuzzed protocol of rests, discharge and charge steps
// of random length, level and sampling with a simple cell response (so the
// fits run), with optional export step numbers, or are raw numbers.
// Invariants: the steps cover the kept samples in order, every pulse has a
// status, a fitted pulse has finite non-negative parameters (R0 alone for a
// pulse of one or two samples) and an RMS within the limit or its window's
// share of the swing, the SOC has one value per kept sample.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/extract/protocol.hpp"
#include "fuzz_common.hpp"

namespace {

struct Rec {
    std::vector<double> t, i, v, step;
};

Rec protocol(FuzzedDataProvider& p) {
    Rec r;
    const double r0 = p.ConsumeFloatingPointInRange<double>(0.0005, 0.1);
    const double tau = std::pow(10.0, p.ConsumeFloatingPointInRange<double>(0, 2.5));
    const double sign = p.ConsumeBool() ? 1.0 : -1.0;  // the export's sign convention
    const int nsteps = p.ConsumeIntegralInRange<int>(1, 14);
    double t = 0.0, soc = 0.95, over = 0.0;
    for (int s = 0; s < nsteps && r.t.size() < 4000; ++s) {
        const int kind = p.ConsumeIntegralInRange<int>(0, 2);
        const double level =
            kind == 0 ? p.ConsumeFloatingPointInRange<double>(0.0, 0.02)
                      : std::pow(10.0, p.ConsumeFloatingPointInRange<double>(-1, 1.5)) * (kind == 1 ? -1 : 1);
        const double dt = std::pow(10.0, p.ConsumeFloatingPointInRange<double>(-1, 1.8));
        const int len = p.ConsumeIntegralInRange<int>(1, 300);
        for (int k = 0; k < len; ++k) {
            t += dt;
            over += (level * r0 - over) * (1.0 - std::exp(-dt / tau));
            soc += level * dt / (3600.0 * 20.0);
            double vv = 3.3 + 0.8 * soc + r0 * level + over;
            if (p.ConsumeIntegralInRange<int>(0, 255) == 0) vv = fuzz::any_double(p);
            r.t.push_back(t);
            r.i.push_back(sign * level);
            r.v.push_back(vv);
            r.step.push_back(s);
        }
    }
    return r;
}

Rec raw(FuzzedDataProvider& p) {
    Rec r;
    const auto n = p.ConsumeIntegralInRange<std::size_t>(0, 300);
    double t = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        t += fuzz::mostly_in(p, 0, 100, 16);
        r.t.push_back(t);
        r.i.push_back(fuzz::mostly_in(p, -30, 30, 8));
        r.v.push_back(fuzz::mostly_in(p, 2, 4.5, 8));
        r.step.push_back(fuzz::mostly_in(p, 0, 5, 8));
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider p(data, size);
    const bool structured = p.ConsumeIntegralInRange<int>(0, 3) != 0;
    ecm::ProtocolSettings s;
    s.vcut = structured ? 2.5 : fuzz::mostly_in(p, 2.5, 4.0);
    s.branches = p.ConsumeBool() ? 1 : 2;
    s.step_hold = p.ConsumeBool();
    s.max_pulse_s = p.ConsumeFloatingPointInRange<double>(5, 600);
    s.min_ocv_rest_s = p.ConsumeFloatingPointInRange<double>(10, 600);
    if (p.ConsumeBool()) s.nominal_capacity_Ah = fuzz::mostly_in(p, 0.1, 50, 8);
    if (p.ConsumeBool()) s.rms_limit_share = 0.0;
    Rec r = structured ? protocol(p) : raw(p);
    if (p.ConsumeBool()) s.step_id = r.step.data();
    ecm::RecordingColumns in;
    in.time = r.t.data();
    in.current = r.i.data();
    in.voltage = r.v.data();
    in.rows = r.t.size();
    ecm::PipelineObserver quiet;
    ecm::ProtocolResult res;
    if (!fuzz::expect_ok_or_documented([&] { res = ecm::process_protocol(in, s, quiet); })) return 0;
    FUZZ_CHECK(res.samples <= in.rows && res.soc.size() == res.samples);
    FUZZ_CHECK(!res.steps.empty() && res.steps.front().first == 0 && res.steps.back().last + 1 == res.samples);
    for (std::size_t k = 1; k < res.steps.size(); ++k) FUZZ_CHECK(res.steps[k].first == res.steps[k - 1].last + 1);
    for (const auto& pl : res.pulses) {
        FUZZ_CHECK(!pl.status.empty());
        if (!pl.fitted) continue;
        FUZZ_CHECK(std::isfinite(pl.r0) && pl.r0 >= 0.0);
        // a pulse of one or two samples: R0 from its voltage step, no branch
        if (std::all_of(pl.r.begin(), pl.r.end(), [](double x) { return std::isnan(x); })) {
            for (bool d : pl.determined) FUZZ_CHECK(!d);
            continue;
        }
        // within the limit, or within the share of its window's swing when there is one
        FUZZ_CHECK(std::isfinite(pl.rms) && (pl.rms <= s.rms_limit_V || s.rms_limit_share > 0.0));
        for (double x : pl.r) FUZZ_CHECK(std::isfinite(x) && x >= 0.0);
        for (double x : pl.tau) FUZZ_CHECK(std::isfinite(x) && x > 0.0);
    }
    FUZZ_CHECK(res.SOC.size() == res.OCV.size());
    return 0;
}
