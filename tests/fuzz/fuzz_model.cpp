// Fuzz target: the model evaluator on model files of any size and content
// (repeated, unordered or non-finite temperatures, tables with gaps).
//
// Besides "no crash", for a model the evaluator accepts:
//  - the capacity between two temperatures lies between their values;
//  - every parameter from at() comes on the tables' SOC grid (or one point).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/circuit/model.hpp"
#include "fuzz_common.hpp"

namespace {

std::vector<double> values(FuzzedDataProvider& p, std::size_t n, double lo, double hi) {
    std::vector<double> y(n);
    for (auto& v : y)
        v = p.ConsumeIntegralInRange<int>(0, 15) == 0 ? fuzz::any_double(p) : fuzz::mostly_in(p, lo, hi, 16);
    return y;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider p(data, size);
    ecm::ModelData d;
    const auto n_soc = p.ConsumeIntegralInRange<std::size_t>(0, 6);
    d.soc = values(p, n_soc, 0, 1);
    std::sort(d.soc.begin(), d.soc.end());
    d.ocv0 = values(p, n_soc, 3, 4.2);
    d.ocvrel = values(p, p.ConsumeBool() ? n_soc : n_soc + 1, -1e-3, 1e-3);
    const auto n_t = p.ConsumeIntegralInRange<std::size_t>(0, 5);
    d.temps = values(p, n_t, -20, 45);
    d.r0 = values(p, n_t, 1e-3, 0.1);
    d.capacity_ah = values(p, n_t, 0.5, 5);
    const int nb = p.ConsumeIntegralInRange<int>(0, 2);
    for (int b = 0; b < nb; ++b) {
        d.r.push_back(values(p, n_t, 1e-3, 0.1));
        d.tau.push_back(values(p, p.ConsumeBool() ? n_t : n_t + 1, 1, 1000));
    }
    if (p.ConsumeBool()) {
        const auto n_ts = p.ConsumeIntegralInRange<std::size_t>(0, 4);
        d.table_soc = values(p, n_ts, 0, 1);
        if (p.ConsumeBool()) std::sort(d.table_soc.begin(), d.table_soc.end());
        const auto n_tt = p.ConsumeIntegralInRange<std::size_t>(0, 3);
        d.table_temps = values(p, n_tt, -20, 45);
        std::vector<std::string> names{"R0"};
        for (int b = 0; b < nb; ++b) {
            names.push_back("R" + std::to_string(b + 1));
            names.push_back("tau" + std::to_string(b + 1));
        }
        for (const auto& name : names) {
            std::vector<std::vector<double>> rows(p.ConsumeBool() ? n_tt : n_tt + 1);
            for (auto& row : rows) {
                row = values(p, n_ts, 1e-3, 1);
                for (auto& x : row)
                    if (p.ConsumeIntegralInRange<int>(0, 3) == 0) x = std::nan("");
            }
            d.tables[name] = rows;
        }
    }
    try {
        const ecm::ModelEvaluator m(d);
        const double t = fuzz::mostly_in(p, -30, 60, 16);
        const double cap = m.capacity_ah(t);
        const auto& caps = m.capacity_by_temperature();
        if (std::isfinite(t) && std::isfinite(cap)) {
            const auto [lo, hi] = std::minmax_element(caps.begin(), caps.end());
            const double tol = 1e-12 * std::max(std::fabs(*lo), std::fabs(*hi));
            if (cap < *lo - tol || cap > *hi + tol) fuzz::fail("capacity outside its temperatures' values");
        }
        const ecm::SimModel s = m.at(t, p.ConsumeBool());
        const std::size_t grid = s.param_soc.size();
        if (s.r0.size() != grid || s.r.size() != s.tau.size()) fuzz::fail("parameters off the grid");
        for (std::size_t b = 0; b < s.r.size(); ++b)
            if (s.r[b].size() != grid || s.tau[b].size() != grid) fuzz::fail("branch off the grid");
        if (m.has_tables()) (void)m.table_by_temperature("R0");
    } catch (const ecm::DataError&) {}
    return 0;
}
