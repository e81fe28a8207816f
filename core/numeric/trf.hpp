#pragma once
// Bounded nonlinear least squares by the trust-region reflective method
// (Branch, Coleman & Li 1999) with Coleman-Li scaling, reflective steps and
// the small trust-region subproblem solved exactly through an SVD (More's
// method). A robust loss is applied by rescaling residuals and Jacobian
// (Triggs et al. 2000). Termination tests, status codes, evaluation counts and
// the progress report follow scipy.optimize.least_squares(method="trf").
#include <functional>
#include <string>

#include <Eigen/Dense>

namespace ecm {

enum class Loss { Linear, Huber };

// Parses "linear" / "huber"; throws std::invalid_argument for anything else.
Loss parse_loss(const std::string& name);

using PrintFn = std::function<void(const std::string&)>;

struct LsqOptions {
    Loss loss = Loss::Linear;
    double f_scale = 1.0;
    double ftol = 1e-8;
    double xtol = 1e-8;
    double gtol = 1e-8;
    int max_nfev = 0;  // 0: 100 * number of parameters
    int verbose = 0;   // 0 silent, 1 closing lines, 2 progress table too
    PrintFn print;     // receives whole lines ending in "\n"; may be empty
};

// The problem: residuals f(x) (m values) and their Jacobian J(x) (m x n).
// `fun` is called at every trial point (these calls are counted in nfev);
// `jac` only at accepted points, with the residuals already computed there.
// Either may throw; the exception leaves the solver unchanged.
struct LsqProblem {
    std::function<void(const Eigen::VectorXd& x, Eigen::VectorXd& f)> fun;
    std::function<void(const Eigen::VectorXd& x, const Eigen::VectorXd& f, Eigen::MatrixXd& J)> jac;
};

struct LsqResult {
    Eigen::VectorXd x;            // solution
    double cost = 0.0;            // 0.5 * sum(f_scale^2 * rho((f/f_scale)^2)) at x
    double initial_cost = 0.0;    // the same at the (feasible) start vector
    Eigen::VectorXd fun;          // residuals at x (unscaled)
    Eigen::MatrixXd jac;          // Jacobian at x (rescaled by the loss, as SciPy returns it)
    Eigen::VectorXd grad;         // gradient of the cost at x
    double optimality = 0.0;      // inf-norm of the Coleman-Li scaled gradient
    Eigen::VectorXi active_mask;  // -1 on the lower bound, +1 on the upper, 0 free
    int nfev = 0;                 // residual evaluations
    int njev = 0;                 // Jacobian evaluations
    int status = 0;               // 0 budget, 1 gtol, 2 ftol, 3 xtol, 4 ftol and xtol
    std::string message;
    bool success = false;  // status > 0
};

// Termination message of a status code, as SciPy words it.
const char* lsq_status_message(int status);

// Minimises 0.5 * sum rho(f_k(x)^2) subject to lb <= x <= ub (infinite bounds
// allowed). x0 must lie within the bounds (std::invalid_argument otherwise);
// a start on a bound is moved strictly inside first. Residuals that are not
// finite at the start vector throw ecm::DataError; at a trial point they
// shrink the trust region.
LsqResult least_squares_trf(const LsqProblem& problem, const Eigen::VectorXd& x0, const Eigen::VectorXd& lb,
                            const Eigen::VectorXd& ub, const LsqOptions& options);

// Formats a vector as "[a, b, c]" with the shortest round-trip digits.
std::string format_vector(const Eigen::VectorXd& x);

}  // namespace ecm
