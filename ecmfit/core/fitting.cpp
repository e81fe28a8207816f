#include "ecmfit/core/fitting.hpp"

#include <cmath>
#include <sstream>
#include <vector>

#include "common/errors.hpp"
#include "ecmfit/core/circuit.hpp"

namespace ecm {
namespace {

void check_window(const double* t, const double* i, const double* y, std::size_t n) {
    if (n < 2) {
        throw DataError("fitting window has " + std::to_string(n) +
                        " sample(s); at least 2 are needed");
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

LsqOptions fit_options(double f_scale, double tol, int verbose,
                       const std::function<void(const std::string&)>& print) {
    LsqOptions o;
    o.loss = Loss::Huber;
    o.f_scale = f_scale;
    o.ftol = o.xtol = o.gtol = tol;
    o.max_nfev = 0;
    o.verbose = verbose;
    o.print = print;
    return o;
}

}  // namespace

LsqResult fit_model1(const double* t, const double* i, const double* y, std::size_t n,
                     const std::array<double, 3>& x0, double f_scale, double tol, int verbose,
                     const std::function<void(const std::string&)>& print) {
    check_window(t, i, y, n);
    const Eigen::Index m = static_cast<Eigen::Index>(n);
    Eigen::Map<const Eigen::VectorXd> yv(y, m), iv(i, m);
    // One work buffer for the branch response, reused by every evaluation.
    Eigen::VectorXd branch(m);

    LsqProblem prob;
    prob.fun = [&](const Eigen::VectorXd& x, Eigen::VectorXd& f) {
        branch.setZero();
        add_rc_branch(t, i, n, x[1], x[2], branch.data(), nullptr, nullptr);
        f.resize(m);
        f = yv - x[0] * iv - branch;
    };
    prob.jac = [&](const Eigen::VectorXd& x, const Eigen::VectorXd&, Eigen::MatrixXd& J) {
        J.resize(m, 3);
        branch.setZero();
        add_rc_branch(t, i, n, x[1], x[2], branch.data(), J.col(1).data(), J.col(2).data());
        J.col(0) = -iv;
        J.col(1) *= -1.0;
        J.col(2) *= -1.0;
    };
    const Eigen::Vector3d start(x0[0], x0[1], x0[2]);
    return least_squares_trf(prob, start, Eigen::Vector3d::Constant(kFitLowerBound),
                             Eigen::Vector3d::Constant(kFitUpperBound),
                             fit_options(f_scale, tol, verbose, print));
}

LsqResult fit_model2_branch(const double* t, const double* i, const double* y, std::size_t n,
                            double r0, double r1, double c1, const std::array<double, 2>& x0,
                            double f_scale, double tol, int verbose,
                            const std::function<void(const std::string&)>& print) {
    check_window(t, i, y, n);
    const Eigen::Index m = static_cast<Eigen::Index>(n);
    // The fixed part of the circuit does not change during the fit: subtract
    // its response from the data once.
    Eigen::VectorXd target(m);
    simulate_rc(t, i, n, r0, &r1, &c1, 1, target.data(), nullptr);
    target = Eigen::Map<const Eigen::VectorXd>(y, m) - target;
    Eigen::VectorXd branch(m);

    LsqProblem prob;
    prob.fun = [&](const Eigen::VectorXd& x, Eigen::VectorXd& f) {
        branch.setZero();
        add_rc_branch(t, i, n, x[0], x[1], branch.data(), nullptr, nullptr);
        f.resize(m);
        f = target - branch;
    };
    prob.jac = [&](const Eigen::VectorXd& x, const Eigen::VectorXd&, Eigen::MatrixXd& J) {
        J.resize(m, 2);
        branch.setZero();
        add_rc_branch(t, i, n, x[0], x[1], branch.data(), J.col(0).data(), J.col(1).data());
        J *= -1.0;
    };
    const Eigen::Vector2d start(x0[0], x0[1]);
    return least_squares_trf(prob, start, Eigen::Vector2d::Constant(kFitLowerBound),
                             Eigen::Vector2d::Constant(kFitUpperBound),
                             fit_options(f_scale, tol, verbose, print));
}

}  // namespace ecm
