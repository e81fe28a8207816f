// Fuzz target: circuit simulation (check_rc_input, add_rc_branch, simulate_rc).
//
// Besides "no crash", for valid input it checks properties that hold for the
// exact response of the circuit whatever the numbers:
//  - y[0] = R0 * i[0] and the R0 column of the Jacobian is the current;
//  - the voltage of an RC branch that starts discharged never exceeds
//    R * max|i| in magnitude (the capacitor only ever relaxes towards R*i);
//  - simulate_rc equals R0*i plus the branch voltages added one by one.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/circuit/circuit.hpp"
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider p(data, size);
    const auto n = p.ConsumeIntegralInRange<std::size_t>(0, 200);
    const bool raw = p.ConsumeIntegralInRange<int>(0, 7) == 0;  // arbitrary times and currents
    std::vector<double> t(n), i(n);
    double tk = fuzz::mostly_in(p, -1e6, 1e6, 32);
    for (std::size_t k = 0; k < n; ++k) {
        if (raw) {
            t[k] = fuzz::any_double(p);
            i[k] = fuzz::any_double(p);
        } else {
            // Non-decreasing times with steps from zero (repeated stamps) to large.
            const int kind = p.ConsumeIntegralInRange<int>(0, 9);
            const double h = kind == 0   ? 0.0
                             : kind == 1 ? p.ConsumeFloatingPointInRange<double>(0, 1e-9)
                             : kind == 2 ? p.ConsumeFloatingPointInRange<double>(0, 1e9)
                                         : p.ConsumeFloatingPointInRange<double>(0, 10);
            if (k > 0) tk += h;
            t[k] = tk;
            i[k] = fuzz::mostly_in(p, -100, 100, 64);
        }
    }
    const double r0 = fuzz::mostly_in(p, -1, 1);
    const auto nb = p.ConsumeIntegralInRange<std::size_t>(0, 3);
    std::vector<double> r(nb), c(nb);
    for (std::size_t b = 0; b < nb; ++b) {
        // Cover the whole range the solver bounds allow and beyond.
        r[b] = std::pow(10.0, p.ConsumeFloatingPointInRange<double>(-9, 9));
        c[b] = std::pow(10.0, p.ConsumeFloatingPointInRange<double>(-9, 9));
        if (p.ConsumeIntegralInRange<int>(0, 15) == 0) r[b] = fuzz::any_double(p);
        if (p.ConsumeIntegralInRange<int>(0, 15) == 0) c[b] = fuzz::any_double(p);
    }

    const std::size_t ncol = 1 + 2 * nb;
    std::vector<double> y(n, 12345.0), jac(n * ncol, 12345.0);
    const bool with_jac = p.ConsumeBool();
    const bool ok = fuzz::expect_ok_or_documented([&] {
        ecm::simulate_rc(t.data(), i.data(), n, r0, r.data(), c.data(), nb, y.data(), with_jac ? jac.data() : nullptr);
    });
    if (!ok) return 0;

    // A successful run implies valid input.
    bool valid = std::isfinite(r0);
    bool data_ok = fuzz::expect_ok_or_documented([&] { ecm::check_rc_input(t.data(), i.data(), n); });
    FUZZ_CHECK(valid && data_ok);
    if (n == 0) return 0;
    FUZZ_CHECK(y[0] == r0 * i[0] || (std::isnan(y[0]) && std::isnan(r0 * i[0])));
    if (with_jac) {
        for (std::size_t k = 0; k < n; ++k) FUZZ_CHECK(jac[k] == i[k]);
    }

    double imax = 0.0;
    for (double v : i) imax = std::max(imax, std::fabs(v));
    std::vector<double> sum(n);
    for (std::size_t k = 0; k < n; ++k) sum[k] = r0 * i[k];
    for (std::size_t b = 0; b < nb; ++b) {
        std::vector<double> vb(n, 0.0), dr(n), dc(n);
        ecm::add_rc_branch(t.data(), i.data(), n, r[b], c[b], vb.data(), dr.data(), dc.data());
        FUZZ_CHECK(vb[0] == 0.0 && dr[0] == 0.0 && dc[0] == 0.0);
        const double bound = r[b] * imax;
        for (std::size_t k = 0; k < n; ++k) {
            // Currents near the largest double overflow in their differences;
            // below that the branch voltage must stay finite and bounded.
            if (std::isfinite(bound) && imax < 1e300) {
                FUZZ_CHECK(std::isfinite(vb[k]));
                FUZZ_CHECK(std::fabs(vb[k]) <= bound * (1.0 + 1e-9) + 1e-300);
            }
            sum[k] += vb[k];
        }
        if (with_jac) {
            // The Jacobian columns of simulate_rc are those of the branch alone.
            for (std::size_t k = 0; k < n; ++k) {
                const double a = jac[n * (1 + 2 * b) + k], bb = dr[k];
                FUZZ_CHECK(a == bb || (std::isnan(a) && std::isnan(bb)));
                const double e = jac[n * (2 + 2 * b) + k], ee = dc[k];
                FUZZ_CHECK(e == ee || (std::isnan(e) && std::isnan(ee)));
            }
        }
    }
    for (std::size_t k = 0; k < n; ++k) {
        if (std::isfinite(sum[k])) FUZZ_CHECK(y[k] == sum[k]);
    }
    return 0;
}
