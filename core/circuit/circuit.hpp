#pragma once
// Exact response of an equivalent circuit (R0 in series with parallel RC
// branches) to a current that is linear between samples, with the exact
// Jacobian with respect to the circuit parameters.
#include <cstddef>
#include <vector>

namespace ecm {

// Checks a sampled current for simulation: times and currents finite, times
// non-decreasing (a repeated time stamp is a step of zero length). Throws
// ecm::DataError otherwise.
void check_rc_input(const double* t, const double* i, std::size_t n);

// Adds to y[0..n) the voltage of one R||C branch driven by the current i,
// starting from a discharged capacitor at t[0] (so y[0] gets nothing).
// When dv_dr / dv_dc are not null they receive (overwrite, not add) the
// derivative of that branch voltage with respect to r and c at every sample.
// Requires r > 0 and c > 0 (finite); t and i must pass check_rc_input.
// O(n), no allocation.
void add_rc_branch(const double* t, const double* i, std::size_t n, double r, double c, double* y, double* dv_dr,
                   double* dv_dc);

// The two halves of add_rc_branch for repeated simulation on one window (the
// fits evaluate the voltage at every trial point and the derivatives only at
// accepted ones, where the voltage is already known):
// rc_branch_voltage writes (not adds) the branch voltage to v[0..n), v[0] = 0;
// rc_branch_derivatives writes sign * dv/dr and sign * dv/dc (sign +1 or -1)
// given that voltage v from rc_branch_voltage with the same t, i, r, c.
// The values are the ones add_rc_branch adds and writes. Requirements as for
// add_rc_branch; O(n), no allocation.
void rc_branch_voltage(const double* t, const double* i, std::size_t n, double r, double c, double* v);
void rc_branch_derivatives(const double* t, const double* i, std::size_t n, double r, double c, const double* v,
                           double sign, double* dv_dr, double* dv_dc);

// rc_branch_voltage and rc_branch_derivatives for many (r, c) on one window
// of n samples: the pattern of the sample steps is examined once, here. t
// and i must pass check_rc_input and stay unchanged while the object is used.
// voltage also writes f[k] = target[k] - v[k] when target and f are given.
// The values are those of the free functions.
class BranchWindow {
public:
    BranchWindow(const double* t, const double* i, std::size_t n);
    void voltage(double r, double c, double* v, const double* target = nullptr, double* f = nullptr) const;
    void derivatives(double r, double c, const double* v, double sign, double* dv_dr, double* dv_dc) const;

private:
    const double* t_;
    const double* i_;
    std::size_t n_;
    std::vector<double> block_h_;
};

// Output of R0 in series with nb RC branches (r[b], c[b]), zero state at the
// first sample: y[k] = r0*i[k] + sum of branch voltages; y[0] = r0*i[0].
// y: n outputs. jac: nullptr or an n x (1+2*nb) column-major matrix whose
// columns are dy/dR0, dy/dR1, dy/dC1, dy/dR2, dy/dC2, ...
// Throws ecm::DataError for non-finite input, decreasing time, or a branch
// with r or c not finite and positive.
void simulate_rc(const double* t, const double* i, std::size_t n, double r0, const double* r, const double* c,
                 std::size_t nb, double* y, double* jac);

// The voltage of each branch at every sample of t[0..n) for the current i,
// with initial voltages u0 (empty: zero): out[b][k].
std::vector<std::vector<double>> branch_voltages(const double* t, const double* i, std::size_t n,
                                                 const std::vector<double>& r, const std::vector<double>& tau,
                                                 const std::vector<double>& u0);

}  // namespace ecm
