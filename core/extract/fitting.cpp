#include "core/extract/fitting.hpp"

#include <cmath>
#include <sstream>
#include <vector>

#include "core/base/errors.hpp"
#include "core/circuit/circuit.hpp"

namespace ecm {
namespace {

void check_window(const double* t, const double* i, const double* y, std::size_t n) {
    if (n < 2) {
        throw DataError("fitting window has " + std::to_string(n) + " sample(s); at least 2 are needed");
    }
    check_rc_input(t, i, n);
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(y[k])) {
            std::ostringstream os;
            os.precision(17);
            os << "voltage deviation is not finite at sample " << k << " of the fitting window: " << y[k];
            throw DataError(os.str());
        }
    }
}

LsqOptions fit_options(double f_scale, double tol, int verbose, const std::function<void(const std::string&)>& print) {
    LsqOptions o;
    o.loss = Loss::Huber;
    o.f_scale = f_scale;
    o.ftol = o.xtol = o.gtol = tol;
    o.max_nfev = 0;
    o.verbose = verbose;
    o.print = print;
    return o;
}

// The branch fitted by a window fit: its voltage at the last trial point is
// kept, so that the Jacobian at an accepted point (the solver asks for it
// right after evaluating the residuals there) only forms the derivatives.
class FittedBranch {
public:
    FittedBranch(const double* t, const double* i, std::size_t n) : window_(t, i, n), n_(n), v_(n) {}

    const Eigen::VectorXd& voltage(double r, double c) {
        if (!(valid_ && r == r_ && c == c_)) compute(r, c, nullptr, nullptr);
        return v_;
    }

    // f = target - voltage, formed while the voltage is computed.
    void residual(double r, double c, const double* target, double* f) {
        if (valid_ && r == r_ && c == c_) {
            for (std::size_t k = 0; k < n_; ++k) f[k] = target[k] - v_[k];
            return;
        }
        compute(r, c, target, f);
    }

    // Columns of the Jacobian of (data - model): minus the derivatives.
    void jacobian(double r, double c, double* d_r, double* d_c) {
        const Eigen::VectorXd& v = voltage(r, c);
        window_.derivatives(r, c, v.data(), -1.0, d_r, d_c);
    }

private:
    void compute(double r, double c, const double* target, double* f) {
        valid_ = false;
        window_.voltage(r, c, v_.data(), target, f);
        r_ = r;
        c_ = c;
        valid_ = true;
    }

    BranchWindow window_;
    std::size_t n_;
    Eigen::VectorXd v_;
    double r_ = 0.0, c_ = 0.0;
    bool valid_ = false;
};

}  // namespace

LsqResult fit_model1(const double* t, const double* i, const double* y, std::size_t n, const std::array<double, 3>& x0,
                     double f_scale, double tol, int verbose, const std::function<void(const std::string&)>& print,
                     const double* weight) {
    // The window is checked once here; the simulations inside the fit rely on it.
    check_window(t, i, y, n);
    const Eigen::Index m = static_cast<Eigen::Index>(n);
    Eigen::Map<const Eigen::VectorXd> yv(y, m), iv(i, m);
    FittedBranch branch(t, i, n);

    LsqProblem prob;
    prob.fun = [&](const Eigen::VectorXd& x, Eigen::VectorXd& f) {
        const Eigen::VectorXd& v = branch.voltage(x[1], x[2]);
        f.resize(m);
        f = yv - x[0] * iv - v;
        if (weight != nullptr) f.array() *= Eigen::Map<const Eigen::ArrayXd>(weight, m);
    };
    prob.jac = [&](const Eigen::VectorXd& x, const Eigen::VectorXd&, Eigen::MatrixXd& J) {
        J.resize(m, 3);
        J.col(0) = -iv;
        branch.jacobian(x[1], x[2], J.col(1).data(), J.col(2).data());
        if (weight != nullptr) J.array().colwise() *= Eigen::Map<const Eigen::ArrayXd>(weight, m);
    };
    const Eigen::Vector3d start(x0[0], x0[1], x0[2]);
    return least_squares_trf(prob, start, Eigen::Vector3d::Constant(kFitLowerBound),
                             Eigen::Vector3d::Constant(kFitUpperBound), fit_options(f_scale, tol, verbose, print));
}

LsqResult fit_model2_branch(const double* t, const double* i, const double* y, std::size_t n, double r0, double r1,
                            double c1, const std::array<double, 2>& x0, double f_scale, double tol, int verbose,
                            const std::function<void(const std::string&)>& print, const double* weight) {
    check_window(t, i, y, n);
    const Eigen::Index m = static_cast<Eigen::Index>(n);
    // The fixed part of the circuit does not change during the fit: subtract
    // its response from the data once.
    // (simulate_rc without checking the window again).
    if (!std::isfinite(r0)) {
        std::ostringstream os;
        os.precision(17);
        os << "R0 = " << r0 << " ohm; it must be finite";
        throw DataError(os.str());
    }
    Eigen::VectorXd target = r0 * Eigen::Map<const Eigen::VectorXd>(i, m);
    add_rc_branch(t, i, n, r1, c1, target.data(), nullptr, nullptr);
    target = Eigen::Map<const Eigen::VectorXd>(y, m) - target;
    FittedBranch branch(t, i, n);

    LsqProblem prob;
    prob.fun = [&](const Eigen::VectorXd& x, Eigen::VectorXd& f) {
        f.resize(m);
        branch.residual(x[0], x[1], target.data(), f.data());
        if (weight != nullptr) f.array() *= Eigen::Map<const Eigen::ArrayXd>(weight, m);
    };
    prob.jac = [&](const Eigen::VectorXd& x, const Eigen::VectorXd&, Eigen::MatrixXd& J) {
        J.resize(m, 2);
        branch.jacobian(x[0], x[1], J.col(0).data(), J.col(1).data());
        if (weight != nullptr) J.array().colwise() *= Eigen::Map<const Eigen::ArrayXd>(weight, m);
    };
    const Eigen::Vector2d start(x0[0], x0[1]);
    return least_squares_trf(prob, start, Eigen::Vector2d::Constant(kFitLowerBound),
                             Eigen::Vector2d::Constant(kFitUpperBound), fit_options(f_scale, tol, verbose, print));
}

}  // namespace ecm
