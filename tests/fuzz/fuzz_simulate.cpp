// Fuzz target: a finished model on a sampled current (simulate_model,
// soc_from_ocv), with tables of any size and content.
//
// Besides "no crash", for valid input:
//  - the SOC at each sample is soc0 plus the trapezoid charge over the capacity;
//  - with zero current every branch stays at rest and the voltage is the OCV;
//  - soc_from_ocv returns a SOC on the table's axis.
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/circuit/simulate.hpp"
#include "fuzz_common.hpp"

namespace {

std::vector<double> axis(FuzzedDataProvider& p, std::size_t n) {
    std::vector<double> x(n);
    double v = fuzz::mostly_in(p, -2, 2, 16);
    for (std::size_t k = 0; k < n; ++k) {
        x[k] = v;
        v += p.ConsumeIntegralInRange<int>(0, 15) == 0 ? fuzz::any_double(p)
                                                       : p.ConsumeFloatingPointInRange<double>(1e-6, 1);
    }
    return x;
}

std::vector<double> values(FuzzedDataProvider& p, std::size_t n, double lo, double hi) {
    std::vector<double> y(n);
    for (auto& v : y) v = fuzz::mostly_in(p, lo, hi, 16);
    return y;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider p(data, size);
    ecm::SimModel m;
    const auto n_ocv = p.ConsumeIntegralInRange<std::size_t>(0, 8);
    m.ocv_soc = axis(p, n_ocv);
    m.ocv_v = values(p, n_ocv + (p.ConsumeIntegralInRange<int>(0, 31) == 0), 2.5, 4.5);
    const auto n_par = p.ConsumeIntegralInRange<std::size_t>(0, 6);
    m.param_soc = axis(p, n_par);
    m.r0 = values(p, n_par, 0, 0.1);
    const auto nb = p.ConsumeIntegralInRange<std::size_t>(0, 2);
    for (std::size_t b = 0; b < nb; ++b) {
        m.r.push_back(values(p, n_par, 0, 0.1));
        m.tau.push_back(values(p, n_par, 1e-6, 1e5));
    }
    m.capacity_ah = fuzz::mostly_in(p, 1e-3, 100, 16);
    const double soc0 = fuzz::mostly_in(p, -0.5, 1.5, 16);
    const auto n = p.ConsumeIntegralInRange<std::size_t>(0, 200);
    const bool idle = p.ConsumeIntegralInRange<int>(0, 7) == 0;
    std::vector<double> t(n), i(n);
    double tk = fuzz::mostly_in(p, -1e6, 1e6, 32);
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0)
            tk += p.ConsumeIntegralInRange<int>(0, 31) == 0 ? fuzz::any_double(p)
                                                            : p.ConsumeFloatingPointInRange<double>(0, 100);
        t[k] = tk;
        i[k] = idle ? 0.0 : fuzz::mostly_in(p, -50, 50, 32);
    }

    ecm::SimResult res;
    const bool ok = fuzz::expect_ok_or_documented([&] { res = ecm::simulate_model(t.data(), i.data(), n, m, soc0); });
    double s = 0.0;
    const bool inverted = fuzz::expect_ok_or_documented([&] { s = ecm::soc_from_ocv(m, 3.7); });
    if (inverted) FUZZ_CHECK(s >= m.ocv_soc.front() && s <= m.ocv_soc.back());
    if (!ok) return 0;
    FUZZ_CHECK(res.v.size() == n && res.soc.size() == n && res.branch.size() == nb);
    double want = soc0, moved = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0) {
            const double step = 0.5 * (i[k - 1] + i[k]) * (t[k] - t[k - 1]) / (m.capacity_ah * 3600.0);
            want += step;
            moved += std::fabs(step);
        }
        if (std::isfinite(want) && std::isfinite(moved))
            FUZZ_CHECK(std::fabs(res.soc[k] - want) <= 1e-12 * (1.0 + std::fabs(soc0) + moved));
        if (idle) {
            for (std::size_t b = 0; b < nb; ++b) FUZZ_CHECK(res.branch[b][k] == 0.0);
            FUZZ_CHECK(res.v[k] == res.ocv[k]);
        }
    }
    return 0;
}
