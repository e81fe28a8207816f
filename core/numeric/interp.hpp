#pragma once
// Interpolation through sampled points.
#include <cstddef>
#include <vector>

namespace ecm {

// numpy.interp(x, xp, fp): linear interpolation in the points (xp, fp), xp
// non-decreasing. fp[0] below xp[0], fp[np-1] from xp[np-1] on; at a point of
// xp its value exactly (the last of equal points); a NaN x gives NaN, except
// with a single point, whose value holds everywhere. Between points
// slope * (x - xp[j]) + fp[j] with slope = (fp[j+1] - fp[j]) / (xp[j+1] - xp[j]),
// the value from the right end where that is NaN. With xp out of order or
// holding NaN the values mean nothing, but no read goes past the tables.
// Throws DataError when np is 0.
void interp_linear(const double* x, std::size_t n, const double* xp, const double* fp, std::size_t np, double* out);

// The same for one x. `hint` holds the interval found last (start at 0): the
// search tries it and the next one before a binary search, which suits an x
// that moves little from call to call.
double interp_linear_at(double x, const double* xp, const double* fp, std::size_t np, std::size_t& hint);

// The same on vectors, with a fresh binary search for every x (the forms
// above search from the interval found last). For an ordered table the two
// searches find the same interval; out of order they may not. Throws
// DataError when xp and fp differ in length or are empty.
std::vector<double> interp_linear(const std::vector<double>& x, const std::vector<double>& xp,
                                  const std::vector<double>& fp);

// Monotone cubic (Fritsch-Carlson) interpolation through (x, y), x strictly
// increasing; linear with the end slopes beyond the ends.
std::vector<double> pchip(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& at);

}  // namespace ecm
