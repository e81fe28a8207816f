// The model simulation used for validation: closed-form responses, the
// per-sample (SOC-dependent) path against the constant-parameter one, and
// the OCV inversion.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/base/errors.hpp"
#include "core/circuit/simulate.hpp"
#include "core/circuit/thermal.hpp"

namespace {

ecm::SimModel linear_ocv_model(double r0, double r1, double tau1, double q_ah) {
    ecm::SimModel m;
    m.ocv_soc = {0.0, 1.0};
    m.ocv_v = {3.0, 4.2};  // OCV = 3 + 1.2 soc
    m.param_soc = {0.0};
    m.r0 = {r0};
    m.r = {{r1}};
    m.tau = {{tau1}};
    m.capacity_ah = q_ah;
    return m;
}

TEST(Simulate, ConstantCurrentMatchesClosedForm) {
    const double r0 = 0.03, r1 = 0.02, tau = 40.0, q = 2.0, cur = -3.0, soc0 = 0.9;
    std::vector<double> t, i;
    for (int k = 0; k < 500; ++k) {
        t.push_back(0.7 * k);
        i.push_back(cur);
    }
    const auto res = ecm::simulate_model(t.data(), i.data(), t.size(), linear_ocv_model(r0, r1, tau, q), soc0);
    for (std::size_t k = 0; k < t.size(); ++k) {
        const double soc = soc0 + cur * t[k] / (3600.0 * q);
        const double want = 3.0 + 1.2 * soc + r0 * cur + r1 * cur * (1.0 - std::exp(-t[k] / tau));
        EXPECT_NEAR(res.soc[k], soc, 1e-13);
        EXPECT_NEAR(res.v[k], want, 1e-12) << k;
    }
}

TEST(Simulate, PerSamplePathAgreesWithConstantPath) {
    // Tables whose values change only above SOC 2: the SOC never gets there, so the
    // per-sample path sees constant values and must give the constant path's response.
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> step(0.05, 3.0), amp(-5.0, 2.0);
    std::vector<double> t = {0.0}, i = {0.0};
    for (int k = 1; k < 3000; ++k) {
        t.push_back(t.back() + (k % 211 == 0 ? 0.0 : step(gen)));
        i.push_back(k % 50 < 20 ? amp(gen) : 0.0);
    }
    ecm::SimModel fixed = linear_ocv_model(0.03, 0.015, 25.0, 2.5);
    fixed.r.push_back({0.02});
    fixed.tau.push_back({700.0});
    ecm::SimModel varying = fixed;
    varying.param_soc = {2.0, 3.0};
    varying.r0 = {0.03, 0.06};
    varying.r = {{0.015, 0.03}, {0.02, 0.04}};
    varying.tau = {{25.0, 50.0}, {700.0, 1400.0}};
    const auto a = ecm::simulate_model(t.data(), i.data(), t.size(), fixed, 0.8);
    const auto b = ecm::simulate_model(t.data(), i.data(), t.size(), varying, 0.8);
    for (std::size_t k = 0; k < t.size(); ++k) ASSERT_NEAR(a.v[k], b.v[k], 1e-12) << k;
}

TEST(Simulate, SocDependentResistanceFollowsTheSoc) {
    // R0 alone, linear in SOC: the voltage drop at each sample is R0(soc) * i.
    ecm::SimModel m = linear_ocv_model(0.0, 0.0, 1.0, 1.0);
    m.r.clear();
    m.tau.clear();
    m.param_soc = {0.0, 1.0};
    m.r0 = {0.05, 0.01};
    std::vector<double> t, i;
    for (int k = 0; k < 100; ++k) {
        t.push_back(10.0 * k);
        i.push_back(-1.0);
    }
    const auto res = ecm::simulate_model(t.data(), i.data(), t.size(), m, 0.9);
    for (std::size_t k = 0; k < t.size(); ++k) {
        const double soc = res.soc[k];
        EXPECT_NEAR(res.v[k], 3.0 + 1.2 * soc - (0.05 - 0.04 * soc), 1e-12);
    }
}

TEST(Simulate, OcvInversionAndBadModels) {
    ecm::SimModel m = linear_ocv_model(0.01, 0.01, 10.0, 1.0);
    EXPECT_NEAR(ecm::soc_from_ocv(m, 3.6), 0.5, 1e-15);
    EXPECT_EQ(ecm::soc_from_ocv(m, 2.0), 0.0);
    EXPECT_EQ(ecm::soc_from_ocv(m, 5.0), 1.0);
    // a dip: read through the running maximum (3.0, 3.8, 3.8, 4.2)
    m.ocv_soc = {0.0, 0.4, 0.6, 1.0};
    m.ocv_v = {3.0, 3.8, 3.7, 4.2};
    EXPECT_NEAR(ecm::soc_from_ocv(m, 3.4), 0.2, 1e-15);
    EXPECT_NEAR(ecm::soc_from_ocv(m, 4.0), 0.8, 1e-15);

    const double t[] = {0.0, 1.0}, i[] = {0.0, -1.0};
    ecm::SimModel bad = linear_ocv_model(0.01, -0.02, 10.0, 1.0);
    EXPECT_THROW(ecm::simulate_model(t, i, 2, bad, 0.5), ecm::DataError);
    bad = linear_ocv_model(0.01, 0.02, 10.0, 0.0);
    EXPECT_THROW(ecm::simulate_model(t, i, 2, bad, 0.5), ecm::DataError);
    bad = linear_ocv_model(0.01, 0.02, 10.0, 1.0);
    bad.ocv_soc = {1.0, 0.0};
    EXPECT_THROW(ecm::simulate_model(t, i, 2, bad, 0.5), ecm::DataError);
    const double back[] = {1.0, 0.0};
    EXPECT_THROW(ecm::simulate_model(back, i, 2, linear_ocv_model(0.01, 0.02, 10.0, 1.0), 0.5), ecm::DataError);
}

}  // namespace

TEST(Simulate, NoCurrentNoDropWhateverTheResistanceTable) {
    // an R0 table at the largest double interpolates to an infinite value between its points (found by
    // fuzzing); at rest the voltage is still the OCV
    ecm::SimModel m = linear_ocv_model(0.01, 0.0, 1.0, 2.0);
    m.param_soc = {0.0, 0.5, 1.0};
    m.r0 = {1.7976931348623157e308, 0.1, 0.02};
    m.r = {{7.2e-5, 1.7976931348623157e308, 0.1}};
    m.tau = {{26746.0, 25251.2, 64313.7}};
    const std::vector<double> t{0.0, 1.0, 2.0}, i(3, 0.0);
    const ecm::SimResult res = ecm::simulate_model(t.data(), i.data(), t.size(), m, 0.3);
    for (std::size_t k = 0; k < t.size(); ++k) EXPECT_EQ(res.v[k], res.ocv[k]);
}

// A lumped mass heated by a square-wave overpotential heat: the temperature in closed form per
// interval, the fit recovers heat capacity, conductance and ambient; a flat temperature and bad
// samples are errors.
TEST(ThermalFit, RecoversTheLumpedModelFromItsTemperature) {
    const double c = 80.0, g = 0.2, amb = 18.0;
    std::vector<double> t, i, v, ocv, temp;
    double x = 23.0;
    for (int k = 0; k < 5000; ++k) {
        const double cur = (k / 200) % 2 ? -5.0 : 1.0;
        t.push_back(k);
        i.push_back(cur);
        ocv.push_back(3.7);
        v.push_back(3.7 + 0.04 * cur);  // heat 0.04 i^2
        if (k > 0) {
            const double q = 0.5 * (i[k - 1] * (v[k - 1] - 3.7) + i[k] * (v[k] - 3.7));
            const double settle = amb + q / g;
            x = settle + (x - settle) * std::exp(-g / c);
        }
        temp.push_back(x);
    }
    std::vector<double> heat(t.size());
    for (std::size_t k = 0; k < t.size(); ++k) heat[k] = i[k] * (v[k] - ocv[k]);
    const auto f = ecm::fit_lumped_thermal(t.data(), heat.data(), temp.data(), t.size());
    EXPECT_NEAR(f.thermal.heat_capacity_j_per_k, c, 1e-3 * c);
    EXPECT_NEAR(f.thermal.conductance_w_per_k, g, 1e-3 * g);
    EXPECT_NEAR(f.ambient_c, amb, 1e-3);
    EXPECT_LT(f.rms_k, 1e-3);
    EXPECT_FALSE(f.on_bound);

    std::vector<double> flat(t.size(), 25.0);
    EXPECT_THROW(ecm::fit_lumped_thermal(t.data(), heat.data(), flat.data(), t.size()), ecm::DataError);
    temp[10] = std::nan("");
    EXPECT_THROW(ecm::fit_lumped_thermal(t.data(), heat.data(), temp.data(), t.size()), ecm::DataError);
}
