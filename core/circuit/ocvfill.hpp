#pragma once
// The open-circuit voltage between the relaxed points of a pulse test, from a
// slow (C/20-like) discharge of the same cell, optionally followed by a charge.
//
// The slow test's pseudo-OCV is the mean of its discharge and charge branches
// where both cover an SOC (half their gap carried to the ends the charge does
// not reach), else the discharge plus the drop over a resistance. A smooth
// correction (monotone cubic in SOC through the differences at the relaxed
// points, held at its end values beyond them) makes the curve pass through the
// relaxed points; beyond the lowest and highest relaxed point the curve keeps
// the slow test's shape instead of an extrapolation. Where the slow test does
// not reach, the given base curve is used, shifted to meet the filled one.
#include <cstddef>
#include <vector>

namespace ecm {

struct OcvFill {
    std::vector<double> ocv;               // V, per point of the SOC axis
    std::vector<double> pseudo;            // V, the slow test's pseudo-OCV (NaN where it does not reach)
    std::vector<double> correction;        // V, added to the pseudo-OCV (NaN where it does not reach)
    double soc_low = 0.0, soc_high = 0.0;  // the SOC range the slow test covers
    double discharge_ah = 0.0, charge_ah = 0.0;
    bool has_charge = false;  // a charge branch entered the pseudo-OCV
    bool flipped = false;     // the file's current was discharge-positive
    int relaxed_used = 0;     // relaxed points inside the slow test's range
};

// t (s), i (A, discharge negative; a file whose first load is positive while the
// voltage falls is read as discharge-positive) and v (V) of the slow test, the
// model's SOC axis (ascending), the relaxed points (soc, V) of the pulse test
// at the same temperature, the base curve on the axis (the pulse test's own),
// the capacity (Ah: SOC 1 at the start of the discharge, falling by the charge
// over it) and the resistance (ohm) whose drop is added to a discharge without
// a charge. Throws DataError saying what is wrong.
OcvFill fill_ocv(const double* t, const double* i, const double* v, std::size_t n, const std::vector<double>& soc_axis,
                 const std::vector<double>& relaxed_soc, const std::vector<double>& relaxed_ocv,
                 const std::vector<double>& base_ocv, double capacity_ah, double resistance_ohm);

}  // namespace ecm
