#pragma once
// A finished model driven by a measured current: R0 and RC branches whose
// values may depend on SOC, the open-circuit voltage from an OCV-SOC table,
// the SOC by coulomb counting. Used to validate a model on a recording it was
// not fitted on.
#include <cstddef>
#include <vector>

namespace ecm {

// The model at one temperature. Tables are linear between their points and
// flat beyond the first and the last (SOC outside the table's range keeps the
// end value).
struct SimModel {
    std::vector<double> ocv_soc, ocv_v;  // OCV table, SOC ascending (at least 2 points)
    // SOC grid of the circuit tables; one point: constant parameters.
    std::vector<double> param_soc;
    std::vector<double> r0;                   // ohm, per grid point
    std::vector<std::vector<double>> r, tau;  // per branch, per grid point (ohm, s)
    double capacity_ah = 0.0;                 // the charge that moves SOC from 0 to 1
};

struct SimResult {
    std::vector<double> v;                    // V, terminal voltage per sample
    std::vector<double> soc;                  // per sample
    std::vector<double> ocv;                  // V, open-circuit part per sample
    std::vector<std::vector<double>> branch;  // V, per branch, per sample
};

// Checks the model's tables (sizes, ascending SOC, finite values, R >= 0,
// tau > 0, capacity > 0); throws DataError saying what is wrong.
void check_sim_model(const SimModel& m);

// One branch voltage u (V) carried over a step of h seconds by its exact response
// to a current linear from i0 to i1 (A), with resistance r (ohm) and time
// constant tau (s). Shared by every simulation of the model.
double rc_branch_step(double u, double r, double tau, double h, double i0, double i1);

// The SOC whose open-circuit voltage is v on the model's OCV table (linear
// between points; the table is read through its running maximum, so a curve
// that dips is inverted at its first rise to v; outside the table's voltage
// range: the end SOC).
double soc_from_ocv(const SimModel& m, double v);

// Simulates the model on the current i (A, negative = discharge) at times t
// (s), linear between samples, starting at soc0 with the branches at rest.
// Over each sample interval the parameters are those at the SOC of the
// interval's middle, and each branch moves by its exact response to the
// linear current over the interval. v[k] = OCV(soc[k]) + R0(soc[k]) i[k] +
// sum of branch voltages. With constant parameters this is the response the
// fits use. O(n). Throws DataError for bad input.
SimResult simulate_model(const double* t, const double* i, std::size_t n, const SimModel& m, double soc0);

}  // namespace ecm
