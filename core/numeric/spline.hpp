#pragma once
// The OCV-SOC curve: the interpolating cubic spline with not-a-knot end
// conditions. Every data point is a knot of the piecewise polynomial; the third
// derivative is continuous at the second and the last-but-one point, so with
// exactly four points the spline is the single cubic through them. Outside the
// data range it extrapolates with its end polynomials.
#include <cstddef>
#include <vector>

namespace ecm {

class CubicSpline {
public:
    // An empty spline; evaluating it throws DataError.
    CubicSpline() = default;

    // Builds the spline through (x[k], y[k]). Throws DataError when there are
    // fewer than four points, x and y differ in length, a value is not finite,
    // or x does not strictly increase.
    CubicSpline(std::vector<double> x, std::vector<double> y);

    // Value (nu = 0) or derivative of order nu (1, 2 or 3) at xq. NaN for a NaN
    // argument. Throws DataError for an empty spline or nu outside 0..3.
    double operator()(double xq, int nu = 0) const;

    // out[k] = (*this)(xq[k], nu) for k < n.
    void eval(const double* xq, std::size_t n, double* out, int nu = 0) const;

    const std::vector<double>& x() const { return x_; }
    const std::vector<double>& y() const { return y_; }
    std::size_t size() const { return x_.size(); }
    bool empty() const { return x_.empty(); }

    // Polynomial coefficients of piece k (k < size() - 1) about x()[k]:
    // p(x) = c0 + c1 d + c2 d^2 + c3 d^3 with d = x - x()[k].
    const std::vector<double>& c1() const { return c1_; }
    const std::vector<double>& c2() const { return c2_; }
    const std::vector<double>& c3() const { return c3_; }

private:
    std::size_t piece(double xq) const;

    std::vector<double> x_, y_;
    std::vector<double> c1_, c2_, c3_;  // one entry per piece
};

}  // namespace ecm
